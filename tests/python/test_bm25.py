import math

import pytest

import pymiratext
from pymiratext import BM25


@pytest.fixture
def example():
    model = BM25()
    model.train(["a", "b", "a"])
    model.train(["b"])
    return model


def test_document_weights_of_worked_example(example):
    weights = example.encode_document(["a", "b", "a"])
    assert weights == pytest.approx({"a": 2 / 3.65, "b": 1 / 2.65}, abs=1e-12)


@pytest.mark.parametrize(
    "query",
    [["a", "c"], ["a", "a", "c"], ["c", "a"]],
    ids=["plain", "repeat", "reordered"],
)
def test_query_weights_of_worked_example(example, query):
    idf_a, idf_c = math.log(3 / 2.5), math.log(3 / 1.5)
    expected = {"a": idf_a / (idf_a + idf_c), "c": idf_c / (idf_a + idf_c)}
    assert example.encode_query(query) == pytest.approx(expected, abs=1e-12)


def test_single_token_query_weighs_one(example):
    assert example.encode_query(["a"]) == {"a": 1.0}


@pytest.mark.parametrize(
    "b, k1, document",
    [(0.75, 1.2, ["x"]), (0.0, 2.0, ["x", "x", "y"]), (1.0, 0.5, ["y", "z", "y", "y"])],
)
def test_document_weights_follow_the_formula(example, b, k1, document):
    model = BM25(b=b, k1=k1)
    model.train(["x", "y"])
    model.train(["y", "z", "z", "z"])
    average = 3.0
    norm = ((len(document) / average) * b + (1.0 - b)) * k1
    expected = {t: document.count(t) / (norm + document.count(t)) for t in set(document)}
    assert model.encode_document(document) == pytest.approx(expected, abs=1e-12)


def test_keyword_arguments_and_defaults():
    only_k1 = BM25(k1=2.0)
    only_k1.train(["a", "a"])
    only_k1.train(["b"])
    # b stays 0.75: norm = ((2 / 1.5) * 0.75 + 0.25) * 2.0
    norm = ((2 / 1.5) * 0.75 + 0.25) * 2.0
    assert only_k1.encode_document(["a", "a"])["a"] == pytest.approx(2 / (norm + 2), abs=1e-12)
    with pytest.raises(TypeError):
        BM25(c=1.0)


@pytest.mark.parametrize(
    "tokens, keys",
    [([3, 1, 2], [1, 2, 3]), (["b", "a"], ["a", "b"]), (["é", "z", "a"], ["a", "z", "é"])],
    ids=["ints", "strs", "utf8-byte-order"],
)
def test_result_keys_iterate_in_ascending_order(example, tokens, keys):
    assert list(example.encode_document(tokens)) == keys
    assert list(example.encode_query(tokens)) == keys


def test_integer_tokens_share_entries_with_decimal_text():
    model = BM25()
    model.train(["5", "6"])
    by_id = model.encode_query([5, 9])
    assert list(by_id) == [5, 9]
    assert by_id == pytest.approx(dict(zip([5, 9], model.encode_query(["5", "9"]).values())))


@pytest.mark.parametrize("method", ["encode_document", "encode_query"])
def test_empty_input_gives_empty_dict_even_untrained(method):
    assert getattr(BM25(), method)([]) == {}


@pytest.mark.parametrize("method", ["encode_document", "encode_query"])
@pytest.mark.parametrize("tokens", [["a"], [1]], ids=["str", "int"])
def test_untrained_model_raises(method, tokens):
    with pytest.raises(RuntimeError) as info:
        getattr(BM25(), method)(tokens)
    assert str(info.value) == "BM25 has not been initialized"


def test_empty_training_raises_and_changes_nothing(example):
    before = example.encode_query(["a", "b", "c"])
    with pytest.raises(RuntimeError) as info:
        example.train([])
    assert str(info.value) == "trainning tokens_vec should not be empty"
    assert example.encode_query(["a", "b", "c"]) == before


@pytest.mark.parametrize(
    "bad",
    [["a", 1], "ab", [1.5], [2**63], [None], {"a"}, (t for t in ["a"])],
    ids=["mixed", "str", "float", "int-too-big", "none", "set", "generator"],
)
def test_wrong_argument_types_raise_type_error_and_change_nothing(example, bad):
    before = example.encode_query(["a", "b", "c"])
    with pytest.raises(TypeError):
        example.train(bad)
    assert example.encode_query(["a", "b", "c"]) == before


def test_type_error_lists_both_train_signatures():
    with pytest.raises(TypeError) as info:
        BM25().train(["a", 1])
    message = str(info.value)
    assert "(self: pymiratext.BM25, arg0: List[str]) -> None" in message
    assert "(self: pymiratext.BM25, arg0: List[int]) -> None" in message


@pytest.mark.parametrize(
    "method, signatures",
    [
        ("encode_document", ["List[str]) -> Dict[str, float]", "List[int]) -> Dict[int, float]"]),
        ("encode_query", ["List[str]) -> Dict[str, float]", "List[int]) -> Dict[int, float]"]),
        ("__init__", ["b: float = 0.75, k1: float = 1.2) -> None"]),
    ],
)
def test_docstring_signatures(method, signatures):
    doc = getattr(BM25, method).__doc__
    for signature in signatures:
        assert signature in doc


def test_public_names():
    assert BM25.__module__ == "pymiratext"
    assert pymiratext.pymiratext.__name__ == "pymiratext"


def test_pickle_round_trip_continues_training_identically(example):
    import pickle

    example.train(["ü\x00\"", "b"])
    copy = pickle.loads(pickle.dumps(example))
    assert type(copy) is BM25
    for model in (example, copy):
        model.train(["a", "z", "z"])
    query = ["a", "b", "z", "ü\x00\""]
    assert copy.encode_query(query) == example.encode_query(query)
    assert copy.encode_document(query) == example.encode_document(query)



def test_training_past_the_64_bit_count_range_raises_overflow_error(tmp_path):
    model = BM25()
    model.load('{"_doc_token_frequency": {"x": 9223372036854775807}, "_doc_count": 9223372036854775806,'
               ' "_doc_length_average": 1.0, "_b": 0.75, "_k1": 1.2}')
    with pytest.raises(OverflowError):
        model.train(["x"])
    model.dump(str(tmp_path / "m.json"))
    text = (tmp_path / "m.json").read_text()
    assert '"_doc_count" : 9223372036854775806,' in text and '"x" : 9223372036854775807' in text


def test_object_without_init_raises_instead_of_crashing():
    import subprocess
    import sys

    # Run apart: before the holder check this killed the interpreter.
    script = (
        "import pymiratext\n"
        "m = pymiratext.BM25.__new__(pymiratext.BM25)\n"
        "for call in (lambda: m.train(['a']), lambda: m.encode_query(['a']),\n"
        "             lambda: m.load('{}'), lambda: m.__getstate__()):\n"
        "    try:\n"
        "        call()\n"
        "    except (RuntimeError, TypeError):\n"
        "        pass\n"
        "    else:\n"
        "        raise SystemExit('no error')\n"
        "print('ok')\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (out.returncode, out.stdout) == (0, "ok\n"), out.stderr

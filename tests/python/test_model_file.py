import locale
import os
import resource
import signal
from collections import Counter

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from pymiratext import BM25

ESCAPES = {0x08: b"\\b", 0x09: b"\\t", 0x0A: b"\\n", 0x0C: b"\\f", 0x0D: b"\\r",
           0x22: b'\\"', 0x5C: b"\\\\"}


def escape(raw: bytes) -> bytes:
    return b"".join(ESCAPES.get(byte, bytes([byte])) for byte in raw)


def expected_file(b, k1, docs) -> bytes:
    """The model file for docs, built independently of the module."""
    table = Counter(str(token).encode() for doc in docs for token in doc)
    total = sum(len(doc) for doc in docs)
    average = total / len(docs) if docs else 0.0
    inner = b",\n".join(b'    "%s" : %d' % (escape(key), table[key]) for key in sorted(table))
    return (b'{\n  "_b" : %s,\n  "_doc_count" : %d,\n  "_doc_length_average" : %s,\n'
            b'  "_doc_token_frequency" : {\n%s\n  },\n  "_k1" : %s\n}'
            % (b"%f" % b, len(docs), b"%f" % average, inner, b"%f" % k1))


def dumped(model, path) -> bytes:
    model.dump(str(path))
    return path.read_bytes()


def trained(docs, b=0.75, k1=1.2):
    model = BM25(b, k1)
    for doc in docs:
        model.train(doc)
    return model


def test_load_and_dump_sit_between_train_and_encode_document():
    # Later additions are registered after the original five.
    names = [name for name in vars(BM25) if not name.startswith("_")]
    assert names[:5] == ["train", "load", "dump", "encode_document", "encode_query"]
    for name in ("load", "dump"):
        assert getattr(BM25, name).__doc__.startswith(f"{name}(self: pymiratext.BM25, arg0: str) -> None")


def test_dump_writes_six_decimals_in_member_and_text_order(tmp_path):
    docs = [["a", "b", "a"], [9, 10, 9], ["z"]]
    text = dumped(trained(docs), tmp_path / "m.json")
    assert text == expected_file(0.75, 1.2, docs)
    assert b'"_doc_length_average" : 2.333333' in text
    assert text.index(b'"10"') < text.index(b'"9"')
    assert not text.endswith(b"\n")


AWKWARD = {
    "quote": ['say "hi"'],
    "backslash": ["C:\\path\\", "\\u0041"],
    "newline_tab": ["line\nbreak", "tab\tbed", "cr\r"],
    "control_bytes": ["\x00", "\x01\x0b\x1f", "\x7f"],
    "utf8": ["中文", "é", "😀"],
    "json_like": ['{"a": 1}', "[1, 2]", ":", ","],
    "empty_and_spaces": ["", " ", "  padded  "],
    "integers": [0, -1, 2**63 - 1, -(2**63)],
}


@pytest.mark.parametrize("tokens", AWKWARD.values(), ids=AWKWARD.keys())
def test_every_token_survives_dump_and_load(tmp_path, tokens):
    model = trained([tokens, tokens[:1]])
    text = dumped(model, tmp_path / "m.json")
    assert text == expected_file(0.75, 1.2, [tokens, tokens[:1]])

    restored = BM25()
    restored.load(text.decode())
    assert dumped(restored, tmp_path / "again.json") == text
    assert restored.encode_query(tokens) == model.encode_query(tokens)
    assert restored.encode_document(tokens) == model.encode_document(tokens)


GOOD = '"_doc_count": 2, "_doc_length_average": 1.5, "_b": 0.5, "_k1": 1.1'
FAILURES = {
    "empty": ("", RuntimeError, "json data should not be empty"),
    "not_an_object": ("[1, 2]", RuntimeError, "load doc_count failed"),
    "count_not_integral": ('{"_doc_token_frequency": {"a": 1, "b": 1.0}, %s}' % GOOD,
                           RuntimeError, "load doc_token_frequency failed"),
    "doc_count_floating": ('{"_doc_count": 2.0}', RuntimeError, "load doc_count failed"),
    "average_integral": ('{"_doc_count": 2, "_doc_length_average": 2}', RuntimeError,
                         "load doc_length_average failed"),
    "b_integral": ('{"_doc_count": 2, "_doc_length_average": 1.5, "_b": 1, "_k1": 1.0}',
                   RuntimeError, "load b failed"),
    "k1_missing": ('{"_doc_count": 2, "_doc_length_average": 1.5, "_b": 1.0}',
                   RuntimeError, "load k1 failed"),
    "lone_minus": ('{"_doc_count": -, %s}' % GOOD, ValueError, "'-'"),
    "no_exponent_digits": ('{"_b": 1e, %s}' % GOOD, ValueError, "'1e'"),
    "count_out_of_range": ('{"_doc_token_frequency": {"a": 99999999999999999999}, %s}' % GOOD,
                           ValueError, "'99999999999999999999'"),
    "exponent_out_of_range": ('{"_b": 1e99999999999999999999}', ValueError,
                              "'1e99999999999999999999'"),
    "too_deep": ("[" * 5000 + "]" * 5000, RuntimeError, "load doc_count failed"),
    "negative_doc_count": ('{"_doc_count": -3, "_doc_length_average": 1.5, "_b": 0.5, "_k1": 1.1}',
                           RuntimeError, "load doc_count failed"),
    "negative_token_count": ('{"_doc_token_frequency": {"a": 2, "b": -1}, %s}' % GOOD,
                             RuntimeError, "load doc_token_frequency failed"),
}


@pytest.mark.parametrize("text, error, message", FAILURES.values(), ids=FAILURES.keys())
def test_failed_load_raises_and_leaves_model_unchanged(tmp_path, text, error, message):
    model = trained([["a", "b"], ["a"]], b=0.3, k1=0.9)
    before = dumped(model, tmp_path / "before.json")
    with pytest.raises(error) as raised:
        model.load(text)
    assert message in str(raised.value)
    assert dumped(model, tmp_path / "after.json") == before
    # The running length total is untouched too: training on shows it.
    model.train(["c"])
    assert b'"_doc_length_average" : 1.333333' in dumped(model, tmp_path / "next.json")


@pytest.mark.parametrize("field", [2, 3, 5, 6], ids=["doc_count", "doc_length_total", "token_count", "doc_holding"])
def test_pickled_state_with_a_negative_count_is_refused(field):
    model = BM25(idf="documents")
    for document in [["a", "b"], ["a"]]:
        model.train(document)
    state = list(model.__getstate__())
    state[field] = {b"a": -2} if field >= 5 else -1
    with pytest.raises(ValueError, match="invalid BM25 pickle state"):
        BM25.__new__(BM25).__setstate__(tuple(state))


def test_load_merges_into_the_existing_table(tmp_path):
    model = trained([["kept", "shared"]])
    model.load('{"_doc_token_frequency": {"shared": 9, "new": 2}, %s}' % GOOD)
    text = dumped(model, tmp_path / "m.json")
    assert b'"kept" : 1,\n    "new" : 2,\n    "shared" : 9\n' in text


@pytest.mark.parametrize("where", ["missing_dir", "directory", "empty", "nul_byte"])
def test_dump_reports_unopenable_target(tmp_path, where):
    path = {"missing_dir": str(tmp_path / "missing" / "m.json"), "directory": str(tmp_path),
            "empty": "", "nul_byte": str(tmp_path / "m.json") + "\0.bak"}[where]
    with pytest.raises(RuntimeError, match="^Failed to dump: Unable to open file$"):
        BM25().dump(path)
    assert os.listdir(tmp_path) == []


def test_failed_dump_keeps_the_previous_file(tmp_path):
    path = tmp_path / "m.json"
    path.write_bytes(b"previous")
    model = trained([[i] for i in range(300)])
    limits = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (64, limits[1]))
    try:
        with pytest.raises(RuntimeError, match="^Failed to dump: "):
            model.dump(str(path))
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limits)
        signal.signal(signal.SIGXFSZ, handler)
    assert path.read_bytes() == b"previous"
    assert os.listdir(tmp_path) == ["m.json"]


text_tokens = st.lists(st.text(st.characters(blacklist_categories=("Cs",)), max_size=6),
                       min_size=1, max_size=8)
int_tokens = st.lists(st.integers(-(2**63), 2**63 - 1) | st.integers(-20, 20),
                      min_size=1, max_size=8)
finite = st.floats(allow_nan=False, allow_infinity=False)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(docs=st.lists(text_tokens | int_tokens, max_size=6), b=finite, k1=finite)
def test_random_models_round_trip(tmp_path, docs, b, k1):
    text = dumped(trained(docs, b, k1), tmp_path / "m.json")
    assert text == expected_file(b, k1, docs)
    restored = BM25()
    restored.load(text.decode())
    assert dumped(restored, tmp_path / "again.json") == text


def test_model_file_ignores_a_decimal_comma_locale(tmp_path):
    saved = locale.setlocale(locale.LC_NUMERIC)
    for name in ("de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8"):
        try:
            locale.setlocale(locale.LC_NUMERIC, name)
            break
        except locale.Error:
            pass
    else:
        pytest.skip("no locale with a decimal comma is installed")
    try:
        text = dumped(trained([["a", "b", "a"]]), tmp_path / "m.json")
        restored = BM25()
        restored.load(text.decode())
        again = dumped(restored, tmp_path / "again.json")
    finally:
        locale.setlocale(locale.LC_NUMERIC, saved)
    assert b'"_b" : 0.750000,' in text and b'"_doc_length_average" : 3.000000,' in text
    assert again == text


def test_deepest_model_file_loads_on_a_128_kib_thread_stack():
    import subprocess
    import sys

    # Run apart: overflowing the stack would kill the interpreter.
    script = (
        "import threading\n"
        "from pymiratext import BM25\n"
        "nested = '{\"k\": ' * 999 + '1' + '}' * 999\n"
        "rest = '\"_doc_count\": 2, \"_doc_length_average\": 1.5, \"_b\": 0.75, \"_k1\": 1.2}'\n"
        "out = []\n"
        "def run():\n"
        "    model = BM25()\n"
        "    model.load('{\"x\": ' + nested + ', ' + rest)\n"
        "    out.append(model.doc_count)\n"
        "    try:\n"
        "        BM25().load('{\"_doc_token_frequency\": ' + nested + ', ' + rest)\n"
        "    except RuntimeError as error:\n"
        "        out.append(str(error))\n"
        "threading.stack_size(128 * 1024)\n"
        "thread = threading.Thread(target=run)\n"
        "thread.start()\n"
        "thread.join()\n"
        "print(out)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (out.returncode, out.stdout) == (0, "[2, 'load doc_token_frequency failed']\n"), out.stderr


def test_malformed_number_message_stays_short():
    model = BM25()
    with pytest.raises(ValueError) as info:
        model.load('{"_doc_count": --%s}' % ("7" * 10_000_000))
    assert str(info.value) == "Invalid JSON number: '--%s...' (10000002 bytes)" % ("7" * 38)


def _uneven_documents(n, seed):
    """n documents of 1 to 9 tokens: their averages need more than six decimals."""
    import random

    rng = random.Random(seed)
    return [[f"t{rng.randrange(40)}" for _ in range(rng.randint(1, 9))] for _ in range(n)]


def _from_file(path):
    model = BM25()  # the file decides the kind
    model.load(path.read_text(encoding="utf-8"))
    return model


def _merged_files(shards, idf, tmp_path):
    merged = BM25()
    for i, shard in enumerate(shards):
        model = BM25(idf=idf)
        model.train_many(shard)
        model.dump(str(tmp_path / f"shard{i}.json"))
        merged.merge(_from_file(tmp_path / f"shard{i}.json"))
    return merged


def _trained_on_after_load(shards, idf, tmp_path):
    first = BM25(idf=idf)
    first.train_many(shards[0])
    first.dump(str(tmp_path / "first.json"))
    model = _from_file(tmp_path / "first.json")
    for shard in shards[1:]:
        for document in shard:
            model.train(document)
    return model


# Shards trained on workers, kept as files and brought together, give the
# file of training everything in one process: the document-counting file
# keeps the length total, and the classic one's average times the count
# gives it back (to the nearest integer, exact below a million documents).
@pytest.mark.parametrize("idf", ["documents", "occurrences"])
@pytest.mark.parametrize("combine", [_merged_files, _trained_on_after_load], ids=["merge", "train"])
@pytest.mark.parametrize("sizes", [(7, 3), (1, 1, 1), (333, 1, 50)], ids=["two", "singles", "uneven"])
def test_models_restored_from_files_go_on_as_in_one_process(tmp_path, idf, combine, sizes):
    documents = _uneven_documents(sum(sizes), seed=len(sizes))
    shards, start = [], 0
    for size in sizes:
        shards.append(documents[start:start + size])
        start += size
    whole = BM25(idf=idf)
    whole.train_many(documents)
    combined = combine(shards, idf, tmp_path)
    assert combined.doc_length_average == whole.doc_length_average
    assert dumped(combined, tmp_path / "a.json") == dumped(whole, tmp_path / "b.json")


def test_a_classic_file_trains_on_from_its_average(tmp_path):
    model = trained([["a"] * 50] * 1000)
    model.dump(str(tmp_path / "m.json"))
    text = (tmp_path / "m.json").read_bytes()
    assert b"_doc_length_total" not in text  # the five members, as they were
    loaded = _from_file(tmp_path / "m.json")
    assert dumped(loaded, tmp_path / "again.json") == text
    loaded.train(["a"] * 50)
    assert loaded.doc_length_average == 50.0
    assert loaded.encode_document(["a"] * 50)["a"] == pytest.approx(50 / (1.2 + 50))

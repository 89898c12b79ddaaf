"""TextEncoder and Jieba.cut_many against plain-Python references built from
the per-call API: cut, the letter-or-digit filter, the stop-word file read as
text, and BM25's per-document methods."""

import pickle
import random
import re
import shutil
import sys
import threading
import unicodedata

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pymiratext
from pymiratext import BM25, TextEncoder
from pymiratext._data import default_paths, paths_in, sample_corpus_path

THREADS = [1, 2, 3, 0]


def is_term(word):
    return any(unicodedata.category(ch)[0] in "LN" for ch in word)


def stop_words_as_text(path):
    with open(path, encoding="utf-8") as stream:
        return frozenset(line.rstrip("\r\n") for line in stream) - {""}


def reference_tokens(jieba, text, search=False, stop=frozenset()):
    words = jieba.cut_for_search(text) if search else jieba.cut(text)
    return [w for w in words if is_term(w) and w not in stop]


@pytest.fixture(scope="module")
def sample_lines():
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        return [line.rstrip("\n") for line in stream]


@pytest.fixture(scope="module")
def texts(sample_lines):
    # Blank lines, punctuation-only and stop-word-only lines give no tokens.
    return sample_lines + ["", "。，！", "的了", "Python 3.14 与 ２８度", "\u00e9t\u00e9 \u0660\u0661 ٪"]


@pytest.fixture(scope="module")
def bundled_stop():
    return stop_words_as_text(default_paths()["stop_word_path"])


def trained(docs, **params):
    model = BM25(**params)
    for doc in docs:
        if doc:
            model.train(doc)
    return model


def dumped(model, path):
    model.dump(str(path))
    return path.read_bytes()


# ---------------------------------------------------------------- tokens


@pytest.mark.parametrize("search", [False, True], ids=["cut", "search"])
@pytest.mark.parametrize("stop_words", [True, False], ids=["drop-stop", "keep-stop"])
def test_tokens_match_the_python_filter(bundled_jieba, bundled_stop, texts, search, stop_words):
    encoder = TextEncoder(bundled_jieba, search=search, stop_words=stop_words, legacy=True)
    stop = bundled_stop if stop_words else frozenset()
    for text in texts:
        assert encoder.tokens(text) == reference_tokens(bundled_jieba, text, search, stop), text


def _table_version(root):
    source = (root / "csrc" / "common" / "TermChars.cpp").read_text(encoding="utf-8")
    return re.search(r"Unicode (\d+\.\d+\.\d+)", source).group(1)


def _version(text):
    return tuple(int(part) for part in text.split("."))


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.text(st.characters(blacklist_categories=("Cs", "Cn")), max_size=30))
def test_letter_or_digit_rule_matches_unicodedata(bundled_jieba, root_dir, text):
    if _version(unicodedata.unidata_version) > _version(_table_version(root_dir)):
        pytest.skip("the interpreter knows characters the native table does not")
    encoder = TextEncoder(bundled_jieba, stop_words=False, legacy=True)
    assert encoder.tokens(text) == reference_tokens(bundled_jieba, text)


@pytest.mark.parametrize("name, render", [("TermChars.cpp", "render"), ("CharFoldTable.cpp", "render_fold")])
def test_term_table_is_what_the_generator_gives(root_dir, name, render):
    gen_term_chars = pytest.importorskip("gen_term_chars")
    if unicodedata.unidata_version != _table_version(root_dir):
        pytest.skip("the table follows another Unicode version than this interpreter")
    committed = (root_dir / "csrc" / "common" / name).read_text(encoding="utf-8")
    assert committed == getattr(gen_term_chars, render)()


def test_stop_words_are_the_lines_of_the_file_as_text(tmp_path, cli_data):
    # Line ends of every kind, blank lines, a word with inner blanks, and a
    # byte-order mark that keeps the first word from matching (as in Python).
    for name in ("dict.txt", "hmm_model.txt", "user_dict.txt", "idf.txt"):
        shutil.copy(cli_data / name, tmp_path / name)
    raw = "\ufeff天气\r\n\r\n喜欢\r编程\n\n学习 \n语言\r\n".encode("utf-8")
    (tmp_path / "stop_words.txt").write_bytes(raw)
    jieba = pymiratext.Jieba(**paths_in(str(tmp_path)))
    stop = stop_words_as_text(tmp_path / "stop_words.txt")
    assert stop == {"\ufeff天气", "喜欢", "编程", "学习 ", "语言"}
    encoder = TextEncoder(jieba, legacy=True)
    for text in ["今天的天气很好", "我们喜欢学习编程语言", "天气 学习 语言"]:
        assert encoder.tokens(text) == reference_tokens(jieba, text, stop=stop)
    assert "天气" in encoder.tokens("今天的天气很好")


# ---------------------------------------------------------------- cut_many


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("search", [False, True], ids=["cut", "search"])
def test_cut_many_equals_cut_in_order(bundled_jieba, texts, threads, search):
    expected = [(bundled_jieba.cut_for_search if search else bundled_jieba.cut)(t) for t in texts]
    assert bundled_jieba.cut_many(texts, search=search, threads=threads) == expected
    assert bundled_jieba.cut_many([], search=search, threads=threads) == []


# ---------------------------------------------------------------- encoding


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("search", [False, True], ids=["cut", "search"])
def test_encodings_equal_the_per_call_results(bundled_jieba, bundled_stop, texts, threads, search):
    docs = [reference_tokens(bundled_jieba, t, search, bundled_stop) for t in texts]
    model = trained(docs, b=0.6, k1=1.4)
    encoder = TextEncoder(bundled_jieba, model, search=search, legacy=True)
    documents = encoder.encode_documents(texts, threads=threads)
    queries = encoder.encode_queries(texts, threads=threads)
    # Key order is part of the result.
    assert [list(v.items()) for v in documents] == [list(model.encode_document(d).items()) for d in docs]
    assert [list(v.items()) for v in queries] == [list(model.encode_query(d).items()) for d in docs]


def csr_from_dicts(vectors):
    """The CSR arrays of vectors keyed by token: each row keyed by token id, float32 weights."""
    indptr, indices, data = [0], [], []
    for vector in vectors:
        row = pymiratext.id_vector(vector)
        indices += row
        data += row.values()
        indptr.append(len(indices))
    return data, indices, indptr


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize(
    "options",
    [{}, {"legacy": True}, {"search": True, "bigrams": False}, {"search": True, "stop_words": False}],
    ids=["default", "legacy", "terms-0.2", "search-all-words"],
)
def test_document_rows_on_threads_are_those_of_the_weights(bundled_jieba, sample_lines, threads, options):
    # Several streaming chunks of texts of every length, empty ones among
    # them: rows counted on threads must equal, byte for byte, the rows of the
    # weights of each text's tokens.
    np = pytest.importorskip("numpy")
    rng = random.Random(5)
    corpus = [rng.choice(sample_lines)[: rng.randrange(0, 300)] for _ in range(2500)]
    encoder = TextEncoder(bundled_jieba, **options)
    encoder.train(corpus[::3], threads=1)
    data, indices, indptr = csr_from_dicts(encoder.encode_documents(corpus, threads=1))
    want = [np.float32(data), np.uint32(indices), np.int64(indptr)]
    got = encoder.encode_documents_csr(iter(corpus), threads=threads, format="numpy")
    assert [a.tobytes() for a in got] == [a.tobytes() for a in want]


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("side", ["documents", "queries"])
def test_csr_holds_the_dict_vectors_by_token_id(bundled_jieba, texts, threads, side):
    np = pytest.importorskip("numpy")
    encoder = TextEncoder(bundled_jieba, search=True)
    encoder.train(texts)
    data, indices, indptr = csr_from_dicts(getattr(encoder, f"encode_{side}")(texts, threads=threads))
    got = getattr(encoder, f"encode_{side}_csr")(iter(texts), threads=threads, format="numpy")
    assert [a.dtype for a in got] == [np.float32, np.uint32, np.int64]
    assert [a.tolist() for a in got] == [np.float32(data).tolist(), indices, indptr]
    if side == "documents":  # the empty row of a text without tokens, and texts in any iterable
        assert [a.tolist() for a in encoder.encode_documents_csr(["。"], format="numpy")] == [[], [], [0, 0]]
    scipy_sparse = pytest.importorskip("scipy.sparse")
    matrix = getattr(encoder, f"encode_{side}_csr")(texts, threads=threads)
    assert scipy_sparse.issparse(matrix) and matrix.format == "csr"
    assert matrix.shape == (len(texts), 2**32 - 1)
    assert (matrix.data.tolist(), matrix.indices.tolist(), matrix.indptr.tolist()) == (
        np.float32(data).tolist(), indices, indptr)


def test_csr_format_is_checked_before_encoding(bundled_jieba, monkeypatch):
    encoder = TextEncoder(bundled_jieba)  # untrained: encoding would raise RuntimeError
    with pytest.raises(ValueError, match="^format must be 'scipy' or 'numpy', not 'dict'$"):
        encoder.encode_documents_csr(["天气"], format="dict")
    monkeypatch.setitem(sys.modules, "scipy.sparse", None)  # as if SciPy were not installed
    with pytest.raises(ImportError, match=r"needs SciPy \(pip install scipy\); format='numpy'"):
        encoder.encode_queries_csr(["天气"])


def test_encoding_an_untrained_model(bundled_jieba):
    encoder = TextEncoder(bundled_jieba)
    assert encoder.encode_documents([]) == []
    # Texts without tokens encode as {} whatever the model, as empty token lists do.
    assert encoder.encode_queries(["", "。", "的"]) == [{}, {}, {}]
    for encode in (encoder.encode_documents, encoder.encode_queries):
        with pytest.raises(RuntimeError, match="^BM25 has not been initialized$"):
            encode(["", "红烧肉怎么做"], threads=2)


# ---------------------------------------------------------------- training


@pytest.mark.parametrize("threads", [1, 2, 0])
@pytest.mark.parametrize("search", [False, True], ids=["cut", "search"])
def test_training_gives_the_model_file_of_per_line_training(
    bundled_jieba, bundled_stop, sample_lines, tmp_path, threads, search
):
    # More lines than one streaming chunk holds, from a generator.
    corpus = sample_lines * 70 + ["", "。"]
    expected = trained([reference_tokens(bundled_jieba, t, search, bundled_stop) for t in corpus], b=0.5, k1=2.0)
    model = BM25(b=0.5, k1=2.0)
    encoder = TextEncoder(bundled_jieba, model, search=search, legacy=True)
    encoder.train((line for line in corpus), threads=threads)
    assert encoder.model is model
    assert dumped(model, tmp_path / "got.json") == dumped(expected, tmp_path / "expected.json")


@pytest.mark.parametrize("threads", [1, 2])
def test_training_and_encoding_at_once_equals_doing_them_in_turn(bundled_jieba, sample_lines, tmp_path, threads):
    np = pytest.importorskip("numpy")
    corpus = sample_lines * 40 + ["", "。"]  # several streaming chunks
    apart, together = TextEncoder(bundled_jieba, search=True), TextEncoder(bundled_jieba, search=True)
    for encoder in (apart, together):
        encoder.train(sample_lines[:5])  # it adds to a trained model, as train does
    apart.train(corpus)
    expected = apart.encode_documents_csr(corpus, format="numpy")
    got = together.train_and_encode_csr((line for line in corpus), threads=threads, format="numpy")
    assert all(np.array_equal(a, b) for a, b in zip(got, expected)) and [a.dtype for a in got] == [
        a.dtype for a in expected]
    assert dumped(together.model, tmp_path / "got.json") == dumped(apart.model, tmp_path / "expected.json")


def test_training_adds_to_a_trained_model(bundled_jieba, sample_lines, tmp_path):
    encoder = TextEncoder(bundled_jieba)
    encoder.train(sample_lines[:20])
    encoder.train(sample_lines[20:])
    whole = TextEncoder(bundled_jieba)
    whole.train(sample_lines)
    assert dumped(encoder.model, tmp_path / "a.json") == dumped(whole.model, tmp_path / "b.json")


def test_training_on_texts_without_tokens_leaves_the_model_untrained(bundled_jieba):
    encoder = TextEncoder(bundled_jieba)
    encoder.train(["", "。，", "的了吗"])
    encoder.train([])
    with pytest.raises(RuntimeError, match="not been initialized"):
        encoder.model.encode_document(["a"])


# ---------------------------------------------------------------- arguments


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda e: e.train(["a"], threads=-1), ValueError),
        (lambda e: e.encode_documents(["a"], threads=-1), ValueError),
        (lambda e: e.encode_queries(["a"], threads=-2), ValueError),
        (lambda e: e.jieba.cut_many(["a"], threads=-1), ValueError),
        (lambda e: e.train("一段文字"), TypeError),
        (lambda e: e.encode_documents("一段文字"), TypeError),
        (lambda e: e.encode_queries(["a", 1]), TypeError),
        (lambda e: e.train(["a", b"b"]), TypeError),
        (lambda e: e.train(None), TypeError),
        (lambda e: e.tokens(1), TypeError),
        (lambda e: e.jieba.cut_many("ab"), TypeError),
        (lambda e: e.encode_documents(["\ud800"]), UnicodeEncodeError),
    ],
    ids=[
        "train-threads", "documents-threads", "queries-threads", "cut-many-threads", "train-str",
        "documents-str", "queries-int-item", "train-bytes-item", "train-none", "tokens-int",
        "cut-many-str", "lone-surrogate",
    ],
)
def test_bad_arguments_raise(bundled_jieba, call, error):
    with pytest.raises(error):
        call(TextEncoder(bundled_jieba))


def test_constructor_arguments(bundled_jieba):
    with pytest.raises(TypeError):
        TextEncoder(None)
    with pytest.raises(TypeError):
        TextEncoder(bundled_jieba, "model")
    encoder = TextEncoder(bundled_jieba)
    assert isinstance(encoder.model, BM25) and encoder.model is encoder.model
    assert encoder.jieba is bundled_jieba
    assert encoder.options == {"search": False, "stop_words": True, "unknown_words": True, "normalize": True,
                               "fold_script": True, "script_table": None, "bigrams": True, "characters": True}
    assert encoder.model.idf == "documents"
    old = TextEncoder(bundled_jieba, legacy=True)
    assert (old.search, old.stop_words, old.unknown_words, old.normalize, old.fold_script) == (
        False, True, False, False, False)
    assert old.model.idf == "occurrences"


def _raising(lines, error):
    yield from lines
    raise error


@pytest.mark.parametrize("train", ["train", "train_and_encode_csr"])
@pytest.mark.parametrize(
    "tail, error",
    [(lambda: _raising(["今天天气很好"], KeyError("stop")), KeyError), (lambda: ["好", 3], TypeError)],
    ids=["iterable-raises", "bad-item"],
)
def test_failed_training_leaves_the_model_as_it_was(bundled_jieba, sample_lines, tmp_path, tail, error, train):
    encoder = TextEncoder(bundled_jieba)
    encoder.train(sample_lines[:10])
    before = dumped(encoder.model, tmp_path / "before.json")

    def texts():  # several streaming chunks go by before the failure
        yield from sample_lines * 100
        yield from tail()

    with pytest.raises(error):
        if train == "train":
            encoder.train(texts())
        else:
            encoder.train_and_encode_csr(texts(), format="numpy")
    assert dumped(encoder.model, tmp_path / "after.json") == before


# ---------------------------------------------------------------- pickling


@pytest.mark.parametrize("search, stop_words", [(False, True), (True, False)], ids=["default", "search-keep"])
def test_pickle_round_trip_keeps_segmenter_model_and_options(bundled_jieba, sample_lines, search, stop_words):
    encoder = TextEncoder(bundled_jieba, BM25(b=0.3), search=search, stop_words=stop_words)
    encoder.train(sample_lines)
    copy = pickle.loads(pickle.dumps(encoder))
    assert (copy.search, copy.stop_words, copy.model.b) == (search, stop_words, 0.3)
    assert copy.model is not encoder.model
    assert copy.encode_documents(sample_lines) == encoder.encode_documents(sample_lines)
    assert copy.encode_queries(sample_lines) == encoder.encode_queries(sample_lines)


def test_python_threads_share_one_encoder(bundled_jieba, sample_lines):
    # Each call releases the lock while cutting; concurrent calls must not
    # disturb each other's results.
    encoder = TextEncoder(bundled_jieba)
    encoder.train(sample_lines)
    expected = (encoder.encode_documents(sample_lines, threads=1), encoder.encode_queries(sample_lines, threads=1))
    results = []

    def work():
        for _ in range(5):
            results.append((encoder.encode_documents(sample_lines, threads=2), encoder.encode_queries(sample_lines)))

    pool = [threading.Thread(target=work) for _ in range(3)]
    for thread in pool:
        thread.start()
    for thread in pool:
        thread.join()
    assert results == [expected] * 15


@pytest.mark.parametrize(
    "call",
    [lambda o: o.tokens("a"), lambda o: o.train(["a"]), lambda o: o.encode_queries(["a"]), lambda o: o.model,
     lambda o: pickle.dumps(o)],
    ids=["tokens", "train", "encode", "model", "pickle"],
)
def test_an_encoder_whose_init_never_ran_raises(call):
    with pytest.raises((TypeError, RuntimeError)):
        call(TextEncoder.__new__(TextEncoder))


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("legacy", [False, True], ids=["default", "legacy"])
def test_training_on_threads_gives_the_state_of_training_in_turn(bundled_jieba, sample_lines, threads, legacy):
    # Rare tokens in every line and lines of every length, over several
    # streaming chunks: the tables' order, not only their counts, must be
    # that of training one text after another.
    rng = random.Random(3)
    corpus = [rng.choice(sample_lines)[: rng.randrange(1, 400)] + f" x{rng.randrange(5000)} 编号{i}"
              for i in range(3000)] + ["", "。"]
    encoder = TextEncoder(bundled_jieba, legacy=legacy)
    expected = BM25(idf="occurrences" if legacy else "documents")
    for text in corpus:
        tokens = encoder.tokens(text)
        if tokens:
            expected.train(tokens)
    encoder.train(iter(corpus), threads=threads)
    got, want = encoder.model.__getstate__(), expected.__getstate__()
    assert got == want
    assert [list(table) for table in got[5:]] == [list(table) for table in want[5:]]

"""The pymiratext command line, run in-process through cli.main and once as a real process."""

import json
import os
import random
import subprocess
import sys
import unicodedata
from pathlib import Path

import pytest

import pymiratext
from pymiratext import BM25, cli

from conftest import run_cli as run

DATA = Path(__file__).resolve().parents[1] / "data" / "cli"
CORPUS = DATA / "corpus.txt"
DICT = ["--dict", str(DATA)]
TOKENS = ["a b a", "b", "", "c d a", "e"]


def jieba():
    return pymiratext.Jieba(**cli.paths_in(str(DATA)))


@pytest.fixture
def token_corpus(tmp_path):
    path = tmp_path / "tokens.txt"
    path.write_text("\n".join(TOKENS) + "\n", encoding="utf-8")
    return path


@pytest.fixture
def token_model(tmp_path, token_corpus, capsys):
    path = tmp_path / "model.json"
    assert cli.main(["train", "--tokens", str(token_corpus), "-o", str(path)]) == 0
    capsys.readouterr()
    return path


def reference_model(documents, b=0.75, k1=1.2):
    model = BM25(b=b, k1=k1, idf="documents")  # what train makes unless --legacy
    for doc in documents:
        if doc:
            model.train(doc)
    return model


# ---------------------------------------------------------------- cut


@pytest.mark.parametrize(
    "flags, expected",
    [([], "我们 喜欢 学习 编程 语言\n"), (["--json"], '["我们", "喜欢", "学习", "编程", "语言"]\n')],
    ids=["plain", "json"],
)
def test_cut_from_stdin(capsys, monkeypatch, flags, expected):
    status, out, _ = run(capsys, "cut", *DICT, *flags, stdin="我们喜欢学习编程语言\n".encode(), monkeypatch=monkeypatch)
    assert (status, out) == (0, expected)


@pytest.mark.parametrize("search", [False, True], ids=["cut", "cut_for_search"])
def test_cut_agrees_with_the_library_line_by_line(capsys, search):
    segmenter = jieba()
    lines = CORPUS.read_text(encoding="utf-8").splitlines()
    status, out, _ = run(capsys, "cut", *DICT, "--json", *(["--search"] if search else []), CORPUS, CORPUS)
    expected = [(segmenter.cut_for_search if search else segmenter.cut)(line) for line in lines] * 2
    assert status == 0
    assert [json.loads(row) for row in out.splitlines()] == expected


def test_plain_cut_leaves_out_blank_words_but_json_keeps_them(capsys, tmp_path):
    path = tmp_path / "blank.txt"
    path.write_text("今天 天气\r\n", encoding="utf-8")
    _, plain, _ = run(capsys, "cut", *DICT, path)
    _, as_json, _ = run(capsys, "cut", *DICT, "--json", path)
    assert plain == "今天 天气\n"
    assert " " in json.loads(as_json)


def test_byte_order_mark_is_not_part_of_the_first_word(capsys, tmp_path):
    path = tmp_path / "bom.txt"
    path.write_bytes("\ufeff我们喜欢\n".encode("utf-8"))
    assert run(capsys, "cut", *DICT, path)[1] == "我们 喜欢\n"


# ---------------------------------------------------------------- train / encode / search


@pytest.mark.parametrize(
    "flags, params",
    [([], {}), (["--b", "0.5", "--k1", "2"], {"b": 0.5, "k1": 2.0})],
    ids=["defaults", "b-and-k1"],
)
def test_train_writes_the_same_model_as_the_library(capsys, token_corpus, tmp_path, flags, params):
    written, expected = tmp_path / "written.json", tmp_path / "expected.json"
    assert run(capsys, "train", "--tokens", token_corpus, "-o", written, *flags)[0] == 0
    reference_model([line.split() for line in TOKENS], **params).dump(str(expected))
    assert written.read_bytes() == expected.read_bytes()


@pytest.mark.parametrize("query", [False, True], ids=["documents", "queries"])
def test_encode_matches_the_library_one_object_per_line(capsys, token_model, token_corpus, query):
    model = reference_model([line.split() for line in TOKENS])
    encode = model.encode_query if query else model.encode_document
    status, out, _ = run(capsys, "encode", "-m", token_model, "--tokens", *(["--query"] if query else []), token_corpus)
    assert status == 0
    # The empty line still gets its (empty) object so output lines match input lines.
    assert [json.loads(row) for row in out.splitlines()] == [encode(line.split()) for line in TOKENS]


def test_search_ranks_by_dot_product_and_skips_lines_without_shared_tokens(capsys, token_model, token_corpus):
    status, out, _ = run(capsys, "search", "-m", token_model, "--tokens", "--corpus", token_corpus, "a", "c")
    model = reference_model([line.split() for line in TOKENS])
    q = model.encode_query(["a", "c"])
    scores = {n: sum(w * model.encode_document(TOKENS[n - 1].split()).get(t, 0.0) for t, w in q.items()) for n in (1, 4)}
    assert status == 0
    rows = out.splitlines()
    assert [int(r.split("(line ")[1].split(")")[0]) for r in rows] == sorted(scores, key=lambda n: -scores[n])
    assert rows[0] == f" 1. {scores[4]:.4f}  (line 4)  c d a"


@pytest.mark.parametrize("flags, shown", [([], 10), (["--top", "3"], 3), (["--top", "0"], 15)],
                         ids=["default", "top-3", "top-0-all"])
def test_search_top_limits_and_keeps_corpus_order_on_ties(capsys, tmp_path, flags, shown):
    corpus = tmp_path / "same.txt"
    corpus.write_text("x y\n" * 15 + "z\n", encoding="utf-8")
    model = tmp_path / "m.json"
    run(capsys, "train", "--tokens", corpus, "-o", model)
    _, out, _ = run(capsys, "search", "-m", model, "--tokens", "--corpus", corpus, *flags, "x")
    assert [r.split("(line ")[1].split(")")[0] for r in out.splitlines()] == [str(n) for n in range(1, shown + 1)]


def test_segmented_training_drops_blanks_punctuation_and_stop_words(capsys, tmp_path):
    default, kept = tmp_path / "default.json", tmp_path / "kept.json"
    run(capsys, "train", *DICT, CORPUS, "-o", default)
    run(capsys, "train", *DICT, "--keep-stop-words", CORPUS, "-o", kept)
    table = json.loads(default.read_text(encoding="utf-8"))
    assert table["_doc_count"] == 7  # the empty line is no document
    assert not {"的", "了", "是", "吗", "，", "。"} & set(table["_doc_token_frequency"])
    assert {"天气", "北京", "火锅"} <= set(table["_doc_token_frequency"])
    assert "的" in json.loads(kept.read_text(encoding="utf-8"))["_doc_token_frequency"]


def test_segmented_search_finds_the_matching_documents(capsys, tmp_path):
    model = tmp_path / "m.json"
    run(capsys, "train", *DICT, CORPUS, "-o", model)
    status, out, _ = run(capsys, "search", "-m", model, *DICT, "--corpus", CORPUS, "北京的天气")
    lines = [int(r.split("(line ")[1].split(")")[0]) for r in out.splitlines()]
    assert status == 0
    assert lines[0] == 5  # the only line with both words
    assert set(lines) == {1, 2, 5, 6}  # line 2 by the character 天 alone


def per_line_model(jieba, stop_word_path, lines, search=False, keep_stop_words=False):
    """The model of the per-line pipeline: cut, the letter-or-digit filter, and the
    stop-word file read as text."""
    with open(stop_word_path, encoding="utf-8") as stream:
        stop = frozenset() if keep_stop_words else frozenset(line.rstrip("\r\n") for line in stream) - {""}
    model = BM25()
    for line in lines:
        words = jieba.cut_for_search(line) if search else jieba.cut(line)
        tokens = [w for w in words if any(unicodedata.category(c)[0] in "LN" for c in w) and w not in stop]
        if tokens:
            model.train(tokens)
    return model


@pytest.fixture(scope="module")
def shuffled_corpus(tmp_path_factory):
    lines = pymiratext._data.sample_corpus_path()
    with open(lines, encoding="utf-8") as stream:
        lines = [line.rstrip("\n") for line in stream] * 12
    random.Random(7).shuffle(lines)
    path = tmp_path_factory.mktemp("corpus") / "corpus.txt"
    # Windows line ends and a byte-order mark are no part of any document.
    path.write_bytes(b"\xef\xbb\xbf" + "\r\n".join(lines).encode("utf-8") + b"\r\n")
    return path, lines


@pytest.mark.parametrize("threads", ["1", "2"])
@pytest.mark.parametrize("flags", [[], ["--search"], ["--keep-stop-words"]], ids=["cut", "search", "keep-stop"])
def test_segmented_training_writes_the_per_line_model(capsys, tmp_path, shuffled_corpus, flags, threads):
    path, lines = shuffled_corpus
    written, expected = tmp_path / "written.json", tmp_path / "expected.json"
    # --legacy: the per-line pipeline below is the plain cut of 0.1.
    status, _, err = run(capsys, "train", *DICT, "--legacy", *flags, "--threads", threads, path, "-o", written)
    assert status == 0, err
    model = per_line_model(jieba(), DATA / "stop_words.txt", lines,
                           search="--search" in flags, keep_stop_words="--keep-stop-words" in flags)
    model.dump(str(expected))
    assert written.read_bytes() == expected.read_bytes()
    assert f"trained on {json.loads(expected.read_text(encoding='utf-8'))['_doc_count']} documents" in err


@pytest.mark.parametrize("query", [False, True], ids=["documents", "queries"])
def test_segmented_encode_and_search_agree_with_the_library(capsys, tmp_path, shuffled_corpus, query):
    path, lines = shuffled_corpus
    model_path = tmp_path / "m.json"
    run(capsys, "train", *DICT, path, "-o", model_path)
    model = cli.load_model(str(model_path))
    encoder = pymiratext.TextEncoder(jieba(), model)
    status, out, _ = run(capsys, "encode", *DICT, "-m", model_path, "--threads", "2", *(["--query"] if query else []), path)
    encode = encoder.encode_queries if query else encoder.encode_documents
    assert status == 0
    assert out.splitlines() == [json.dumps(v, ensure_ascii=False) for v in encode(lines, threads=1)]
    status, out, _ = run(capsys, "search", *DICT, "-m", model_path, "--corpus", path, "--threads", "2", "--top", "5", "天气")
    scores = [cli.dot(model.encode_query(["天气"]), v) for v in encoder.encode_documents(lines)]
    best = sorted((-s, n) for n, s in enumerate(scores, 1) if s is not None)[:5]
    assert [int(r.split("(line ")[1].split(")")[0]) for r in out.splitlines()] == [n for _, n in best]


# ---------------------------------------------------------------- failures


def _write(tmp_path, name, content):
    path = tmp_path / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    return path


def _broken_dict_folder(tmp_path):
    folder = tmp_path / "broken"
    folder.mkdir()
    for name in ("dict.txt", "user_dict.txt", "idf.txt", "stop_words.txt"):
        (folder / name).write_bytes((DATA / name).read_bytes())
    (folder / "hmm_model.txt").write_text("0 0 0\n", encoding="utf-8")
    return folder


FAILURES = [
    # (id, argv builder, expected exit status, fragment of the error line)
    ("missing-input", lambda t, m: ["cut", *DICT, t / "absent.txt"], 1, "absent.txt: No such file"),
    ("missing-model", lambda t, m: ["encode", "-m", t / "absent.json", "--tokens"], 1, "absent.json: No such file"),
    ("model-not-json", lambda t, m: ["encode", "-m", _write(t, "x.json", "a b c"), "--tokens"], 1, "not a model file"),
    ("model-not-utf8", lambda t, m: ["encode", "-m", _write(t, "x.json", b"\xff{}"), "--tokens"], 1, "not UTF-8"),
    ("model-wrong-json", lambda t, m: ["encode", "-m", _write(t, "x.json", "[1, 2]"), "--tokens"], 1, "not a model"),
    ("model-bad-member", lambda t, m: ["encode", "-m", _write(t, "x.json", m.read_text().replace('"_b" : 0.750000', '"_b" : 1')), "--tokens"], 1, "load b failed"),
    ("model-untrained", lambda t, m: ["encode", "-m", _write(t, "x.json", m.read_text().replace('"_doc_count" : 4', '"_doc_count" : 0')), "--tokens"], 1, "no trained documents"),
    ("input-not-utf8", lambda t, m: ["encode", "-m", m, "--tokens", _write(t, "in.txt", b"a b\nc \xe4\xb8\n")], 1, "in.txt:2: not valid UTF-8"),
    ("corpus-without-words", lambda t, m: ["train", "--tokens", _write(t, "c.txt", "\n  \n"), "-o", t / "o.json"], 1, "no documents"),
    ("output-folder-missing", lambda t, m: ["train", "--tokens", _write(t, "c.txt", "a\n"), "-o", t / "no" / "o.json"], 1, "cannot write"),
    ("output-is-a-folder", lambda t, m: ["train", "--tokens", _write(t, "c.txt", "a\n"), "-o", t], 1, "Is a directory"),
    ("output-folder-is-a-file", lambda t, m: ["train", "--tokens", _write(t, "c.txt", "a\n"), "-o", t / "c.txt" / "o.json"], 1, "c.txt/o.json: Not a directory"),
    ("dict-folder-missing", lambda t, m: ["cut", "--dict", t / "nowhere", _write(t, "c.txt", "a\n")], 1, "no such folder"),
    ("dict-file-missing", lambda t, m: ["cut", "--dict", t, _write(t, "c.txt", "a\n")], 1, "missing dict.txt"),
    ("dict-broken", lambda t, m: ["cut", "--dict", _broken_dict_folder(t), _write(t, "c.txt", "a\n")], 1, "cannot load the segmenter data"),
    ("query-without-words", lambda t, m: ["search", "-m", m, "--corpus", _write(t, "c.txt", "a\n"), *DICT, "。"], 1, "no words"),
    ("no-command", lambda t, m: [], 2, "required"),
    ("unknown-command", lambda t, m: ["reindex"], 2, "invalid choice"),
    ("train-without-output", lambda t, m: ["train", "c.txt"], 2, "-o/--output"),
    ("b-out-of-range", lambda t, m: ["train", "c.txt", "-o", "m.json", "--b", "1.5"], 2, "between 0 and 1"),
    ("k1-not-finite", lambda t, m: ["train", "c.txt", "-o", "m.json", "--k1", "nan"], 2, "not a finite number"),
    ("top-negative", lambda t, m: ["search", "-m", m, "--corpus", "c.txt", "--top", "-1", "q"], 2, "at least 0"),
    ("threads-negative", lambda t, m: ["encode", "-m", m, "--threads", "-1"], 2, "at least 0"),
    ("corpus-not-utf8", lambda t, m: ["train", *DICT, _write(t, "c.txt", b"\xe5\xa4\xa9\n\xff\n"), "-o", t / "o.json"], 1, "c.txt:2: not valid UTF-8"),
]


@pytest.mark.parametrize("build, status, fragment", [f[1:] for f in FAILURES], ids=[f[0] for f in FAILURES])
def test_failures_are_one_line_on_stderr(capsys, tmp_path, token_model, build, status, fragment):
    argv = build(tmp_path, token_model)
    code, out, err = run(capsys, *argv)
    assert code == status
    assert err.startswith("pymiratext") and err.count("\n") == 1, err
    assert fragment in err


# Every command that reads text, fed each kind of input: standard input must
# give what the file gives; a bad input is one line naming it, as for cut.
READERS = {
    "cut": lambda src, t: ["cut", *DICT, src],
    "cut-offsets": lambda src, t: ["cut", *DICT, "--offsets", src],
    "keywords": lambda src, t: ["keywords", *DICT, src],
    "train": lambda src, t: ["train", *DICT, src, "-o", t / "out.json"],
    "encode": lambda src, t: ["encode", *DICT, "-m", t / "model.json", src],
    "search": lambda src, t: ["search", *DICT, "-m", t / "model.json", "--corpus", src, "天气"],
}


@pytest.mark.parametrize("source", ["stdin", "missing", "folder", "not-utf8"])
@pytest.mark.parametrize("command", READERS)
def test_every_reader_takes_standard_input_and_reports_bad_input_in_one_line(
        capsys, monkeypatch, tmp_path, command, source):
    assert run(capsys, "train", *DICT, CORPUS, "-o", tmp_path / "model.json")[0] == 0
    argv = READERS[command]
    if source == "stdin":
        expected = run(capsys, *argv(CORPUS, tmp_path))
        written = (tmp_path / "out.json").read_bytes() if command == "train" else None
        (tmp_path / "out.json").unlink(missing_ok=True)
        assert run(capsys, *argv("-", tmp_path), stdin=CORPUS.read_bytes(), monkeypatch=monkeypatch) == expected
        assert written is None or (tmp_path / "out.json").read_bytes() == written
        return
    path, reason = {
        "missing": (tmp_path / "absent.txt", "No such file or directory"),
        "folder": (tmp_path, "Is a directory"),
        "not-utf8": (_write(tmp_path, "bad.txt", "天气\n".encode() + b"\xff\n"),
                     "not valid UTF-8 text (byte 0xff at column 1)"),
    }[source]
    place = f"{path}:2" if source == "not-utf8" else str(path)
    status, _out, err = run(capsys, *argv(path, tmp_path))
    assert (status, err) == (1, f"pymiratext: error: {place}: {reason}\n")
    assert not (tmp_path / "out.json").exists()


def test_model_with_control_byte_tokens_reads_back(capsys, tmp_path):
    # The model file keeps such bytes raw; the command must still read its own output.
    corpus = _write(tmp_path, "c.txt", "a\x01b c\nc d\n")
    model = tmp_path / "m.json"
    assert run(capsys, "train", "--tokens", corpus, "-o", model)[0] == 0
    status, out, err = run(capsys, "encode", "-m", model, "--tokens", corpus)
    assert status == 0, err
    assert "a\x01b" in json.loads(out.splitlines()[0])


# argv carries undecodable bytes as lone surrogates (surrogateescape).
@pytest.mark.parametrize("flags", [["--tokens"], DICT], ids=["tokens", "segmented"])
def test_undecodable_query_is_reported_on_one_line(capsys, token_model, token_corpus, flags):
    status, _, err = run(capsys, "search", "-m", token_model, "--corpus", token_corpus, *flags, "c\udcff")
    assert status == 1
    assert err.startswith("pymiratext: error: the query") and err.count("\n") == 1, err


def test_output_name_that_is_not_utf8_is_written_as_given(tmp_path, token_corpus):
    # A real process: the name reaches the command as raw bytes.
    target = os.fsencode(str(tmp_path)) + b"/m\xff.json"
    proc = subprocess.run(
        [sys.executable.encode(), b"-m", b"pymiratext", b"train", b"--tokens",
         os.fsencode(str(token_corpus)), b"-o", target],
        capture_output=True, cwd=tmp_path, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    assert os.path.isfile(target)


def test_unexpected_errors_are_reported_on_one_line(capsys, monkeypatch):
    def fail(_args):
        raise TypeError("first line\n    second line\n\nthird")

    monkeypatch.setattr(cli, "cmd_cut", fail)
    status, _, err = run(capsys, "cut")
    assert status == 1
    assert err == "pymiratext: error: TypeError: first line second line third\n"


def test_model_file_is_not_changed_by_a_failed_train(capsys, token_model, tmp_path):
    before = token_model.read_bytes()
    empty = _write(tmp_path, "empty.txt", "")
    assert run(capsys, "train", "--tokens", empty, "-o", token_model)[0] == 1
    assert token_model.read_bytes() == before


def test_module_run_reports_a_broken_dictionary_in_one_line(tmp_path):
    # A real process, so that the native loader's own log on descriptor 2 is seen too.
    folder = _broken_dict_folder(tmp_path)
    proc = subprocess.run(
        [sys.executable, "-m", "pymiratext", "cut", "--dict", str(folder)],
        input="今天\n".encode(), capture_output=True, cwd=tmp_path, timeout=60,
    )
    err = proc.stderr.decode("utf-8", "replace")
    assert proc.returncode == 1
    assert "Traceback" not in err
    assert err.count("\n") == 1 and err.startswith(f"pymiratext: error: cannot load the segmenter data from {folder}")


# ---------------------------------------------------------------- bundled data and demo


def test_default_paths_name_existing_files_for_every_constructor_argument():
    paths = pymiratext.default_paths()
    assert set(paths) == {"dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"}
    assert all(os.path.isabs(p) and os.path.isfile(p) for p in paths.values())


def test_demo_runs_the_whole_pipeline(capsys, tmp_path):
    status, out, err = run(capsys, "demo", "--out", tmp_path)
    assert status == 0, err
    assert (tmp_path / "model.json").is_file()
    assert str(tmp_path / "model.json") in out
    assert out.count("Query: ") == len(cli.DEMO_QUERIES)
    # Every example query finds something in the sample corpus.
    assert "(no match)" not in out
    assert int(out.split(" documents")[0].split()[-1]) >= 50

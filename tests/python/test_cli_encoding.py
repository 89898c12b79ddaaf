"""Input in other encodings than UTF-8: --encoding reads it, and input that
fails to decode is reported with the encoding it looks like. Also the
progress bars of train and index, which count the input read."""

import io
import re
import sys
from pathlib import Path

import pytest

from pymiratext import cli

from conftest import run_cli as run

DATA = Path(__file__).resolve().parents[1] / "data" / "cli"
DICT = ["--dict", str(DATA)]

# Traditional characters only, so that Big5 holds them too; a blank line and
# one without words, which are no documents.
TEXT = ["今天的天氣很好，我們去公園散步。", "明天會下雨嗎？", "", "臺北的電腦公司很多，工程師每天寫程式。",
        "機器學習需要大量的訓練資料。", "，。", "我們喜歡學習程式語言"]
QUERIES = ["學習程式", "", "下雨"]
# Codec name, and the name the error message gives it.
ENCODINGS = {"utf-8": "UTF-8", "gb18030": "GB18030", "utf-16": "UTF-16", "big5": "Big5"}


def write(path: Path, lines, encoding: str) -> Path:
    path.write_bytes("".join(line + "\n" for line in lines).encode(encoding))
    return path


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """The text in each encoding, and a model trained on it."""
    folder = tmp_path_factory.mktemp("encodings")
    files = {encoding: write(folder / f"{encoding}.txt", TEXT, encoding) for encoding in ENCODINGS}
    model = folder / "model.json"
    assert cli.main(["train", *DICT, str(files["utf-8"]), "-o", str(model)]) == 0
    return files, model


# argv for a command reading *source*; the file a command writes, if any, is out.json.
READERS = {
    "cut": lambda src, m, t: ["cut", *DICT, src],
    "cut-offsets": lambda src, m, t: ["cut", *DICT, "--offsets", src],
    "keywords": lambda src, m, t: ["keywords", *DICT, src],
    "train": lambda src, m, t: ["train", *DICT, src, "-o", t / "out.json"],
    "encode": lambda src, m, t: ["encode", *DICT, "-m", m, src],
    "search": lambda src, m, t: ["search", *DICT, "-m", m, "--corpus", src, "天氣"],
}


@pytest.mark.parametrize("via", ["file", "stdin"])
@pytest.mark.parametrize("command", READERS)
@pytest.mark.parametrize("encoding", ENCODINGS)
def test_readers_decode_the_encoding_given_and_name_it_when_not_given(
        capsys, monkeypatch, tmp_path, inputs, encoding, command, via):
    files, model = inputs
    argv = READERS[command]
    expected = run(capsys, *argv(files["utf-8"], model, tmp_path))
    written = (tmp_path / "out.json").read_bytes() if command == "train" else None
    assert expected[0] == 0 and expected[1] + (written or b"").decode() != ""
    source, stdin = (files[encoding], None) if via == "file" else ("-", files[encoding].read_bytes())
    got = run(capsys, *argv(source, model, tmp_path), "--encoding", encoding, stdin=stdin, monkeypatch=monkeypatch)
    assert got == expected
    assert written is None or (tmp_path / "out.json").read_bytes() == written
    if encoding == "utf-8":
        return
    (tmp_path / "out.json").unlink(missing_ok=True)
    status, out, err = run(capsys, *argv(source, model, tmp_path), stdin=stdin, monkeypatch=monkeypatch)
    name = "<stdin>" if via == "stdin" else files[encoding]
    assert (status, out) == (1, "")
    assert re.fullmatch(rf"pymiratext: error: {re.escape(str(name))}:1: not valid UTF-8 text "
                        rf"\(byte 0x[0-9a-f]{{2}} at column \d+\); "
                        rf"it looks like {ENCODINGS[encoding]}: try --encoding {encoding}\n", err), err
    assert not (tmp_path / "out.json").exists()


BLOCK = "天氣很好\n" * 10000  # 100,000 bytes in UTF-16: more than one block is read


@pytest.mark.parametrize("data, encoding, message", [
    # The place is a line and a byte offset where the text is decoded before it is split.
    (BLOCK.encode("utf-16") + b"\x00\xd8a\x00\n\x00", "utf-16",
     "10001: not valid UTF-16 text (byte 0x00 at offset 100002)"),
    (BLOCK.encode("utf-16") + b"x", "utf-16", "10001: not valid UTF-16 text (byte 0x78 at offset 100002)"),
    ("天氣\n".encode("utf-16-le"), "utf-16",
     "1: not valid UTF-16 text (no byte-order mark); name the byte order: --encoding utf-16-le or --encoding utf-16-be"),
    (b"ascii\n\nok\n" + "天氣很好".encode("gb18030"), "utf-8",
     "4: not valid UTF-8 text (byte 0xcc at column 1); it looks like GB18030: try --encoding gb18030"),
    ("天氣很好\n".encode("utf-8"), "big5", "1: not valid Big5 text (byte 0x88 at column 9); "
                                         "it looks like UTF-8: try --encoding utf-8"),
    (b"ok\n\xff\xfe\n", "utf-8", "2: not valid UTF-8 text (byte 0xff at column 1)"),  # no guess
    ("天氣".encode("utf-16-le") + b"\n\x00", "utf-16-le", None),  # no mark needed with the order named
], ids=["surrogate", "odd-length", "no-mark", "gb-after-ascii", "utf8-as-big5", "no-guess", "utf-16-le"])
def test_decoding_errors_name_the_place_and_the_likely_encoding(capsys, tmp_path, data, encoding, message):
    path = tmp_path / "in.txt"
    path.write_bytes(data)
    status, out, err = run(capsys, "cut", *DICT, "--encoding", encoding, path)
    if message is None:
        assert (status, out, err) == run(capsys, "cut", *DICT, write(tmp_path / "utf8.txt", ["天氣"], "utf-8"))
    else:
        assert (status, err) == (1, f"pymiratext: error: {path}:{message}\n")


@pytest.mark.parametrize("encoding", ["no-such-codec", "base64"])
def test_encoding_that_reads_no_text_is_a_usage_error(capsys, encoding):
    status, _out, err = run(capsys, "cut", "--encoding", encoding)
    assert status == 2 and err.count("\n") == 1 and f"encoding: {encoding}" in err


class _Terminal(io.StringIO):
    def isatty(self) -> bool:
        return True


@pytest.fixture
def bars(monkeypatch):
    """The progress bars made from now on."""
    import tqdm

    made = []

    class Recorded(tqdm.tqdm):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            made.append(self)

    monkeypatch.setattr(tqdm, "tqdm", Recorded)
    return made


def test_progress_counts_bytes_against_the_file_size_and_the_documents_indexed(monkeypatch, tmp_path, inputs, bars):
    pytest.importorskip("milvus_lite", reason="the 'milvus' extra is not installed")
    files, _model = inputs
    monkeypatch.setattr(sys, "stderr", _Terminal())  # bars show on a terminal only
    source = files["gb18030"]
    size = source.stat().st_size
    assert cli.main(["train", *DICT, "--encoding", "gb18030", str(source), "-o", str(tmp_path / "m.json")]) == 0
    # Standard input has no size to show progress against.
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(source.read_bytes())))
    assert cli.main(["train", *DICT, "--encoding", "gb18030", "-", "-o", str(tmp_path / "m.json")]) == 0
    db = tmp_path / "c.db"
    assert cli.main(["index", "--db", str(db), "--encoding", "gb18030", str(source)]) == 0
    summary = sys.stderr.getvalue().splitlines()[-1]
    documents = int(re.search(r"indexed (\d+) documents", summary).group(1))
    assert documents == 5  # the blank line and the one without words are none
    # The engine scores the collection: index reads the file once, its bar
    # counting bytes up to the file's size, all of it read for the summary.
    assert [(bar.desc, bar.total, bar.n) for bar in bars] == [
        ("training", size, size), ("training", None, size), ("indexing", size, size)]
    assert bars[-1].unit == "B"


def test_index_and_search_db_read_the_encoding_given(capsys, tmp_path, inputs):
    pytest.importorskip("milvus_lite", reason="the 'milvus' extra is not installed")
    files, _model = inputs
    db = tmp_path / "c.db"
    answers = {}
    for number, encoding in enumerate(ENCODINGS):
        queries = write(tmp_path / f"q-{encoding}.txt", QUERIES, encoding)
        collection = f"c{number}"
        assert run(capsys, "index", "--db", db, "--collection", collection, "--encoding", encoding,
                   files[encoding])[0] == 0
        answers[encoding] = run(capsys, "search", "--db", db, "--collection", collection, "--encoding", encoding,
                                "--queries", queries)
    assert answers["utf-8"][0] == 0 and answers["utf-8"][1].count("Query:") == 2
    assert all(answer == answers["utf-8"] for answer in answers.values())

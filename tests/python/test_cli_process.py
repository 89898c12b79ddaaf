"""The pymiratext command as a real process, where exit status, pipes and
file permissions are what is tested."""

import errno
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from pymiratext import cli

DATA = Path(__file__).resolve().parents[1] / "data" / "cli"
CORPUS = DATA / "corpus.txt"
DICT = ["--dict", str(DATA)]
COMMAND = [sys.executable, "-m", "pymiratext"]


def command(*argv):
    return COMMAND + [str(a) for a in argv]


@pytest.fixture(scope="module")
def inputs(tmp_path_factory):
    """A corpus whose output outgrows any pipe buffer, and a model of it."""
    folder = tmp_path_factory.mktemp("process")
    big = folder / "big.txt"
    big.write_bytes(CORPUS.read_bytes() * 400)
    model = folder / "model.json"
    assert cli.main(["train", *DICT, str(CORPUS), "-o", str(model)]) == 0
    return {"big": big, "small": CORPUS, "model": model}


# The reader closes the pipe before reading anything: a large output breaks
# while being printed, a small one only when it is flushed at the end.
@pytest.mark.parametrize(
    "argv",
    [
        ["cut", *DICT, "{big}"],
        ["cut", *DICT, "{small}"],
        ["cut", *DICT, "--offsets", "{big}"],
        ["keywords", *DICT, "{big}"],
        ["encode", *DICT, "-m", "{model}", "{big}"],
        ["search", *DICT, "-m", "{model}", "--corpus", "{big}", "天气"],
    ],
    ids=["cut", "cut-small", "cut-offsets", "keywords", "encode", "search"],
)
def test_a_reader_that_closes_the_pipe_early_is_no_failure(inputs, argv):
    proc = subprocess.Popen(command(*[a.format(**inputs) for a in argv]),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdout.close()
    err = proc.stderr.read()
    assert (proc.wait(timeout=120), err) == (0, b"")


def test_train_reads_a_pipe(tmp_path):
    piped, named = tmp_path / "piped.json", tmp_path / "named.json"
    proc = subprocess.run(command("train", *DICT, "-", "-o", piped), input=CORPUS.read_bytes(),
                          capture_output=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert cli.main(["train", *DICT, str(CORPUS), "-o", str(named)]) == 0
    assert piped.read_bytes() == named.read_bytes()


def _without_override():
    """A command prefix under which permission bits bind this user, or None."""
    if os.geteuid() != 0:
        return []
    setpriv = shutil.which("setpriv")
    # Root keeps its identity but loses the right to ignore permission bits.
    return None if setpriv is None else [setpriv, "--bounding-set", "-dac_override,-dac_read_search"]


@pytest.fixture
def locked(tmp_path):
    """(command prefix, a folder nobody may write in that holds a stale database lock)."""
    prefix = _without_override()
    if prefix is None:
        pytest.skip("needs a user bound by file permissions (or setpriv)")
    folder = tmp_path / "locked"
    folder.mkdir()
    (folder / ".x.db.lock").touch(mode=0o444)
    folder.chmod(0o555)
    probe = subprocess.run(prefix + [sys.executable, "-c", f"open({str(folder / 'probe')!r}, 'w')"],
                           capture_output=True)
    if probe.returncode == 0:
        pytest.skip("this user may write anywhere")
    yield prefix, folder
    folder.chmod(0o755)


def _milvus():
    return pytest.importorskip("milvus_lite", reason="needs the 'milvus' extra")


@pytest.mark.parametrize(
    "argv, message, needs",
    [
        (["train", *DICT, "{corpus}", "-o", "{locked}/m.json"],
         "cannot write {locked}/m.json: {denied}", None),
        (["index", *DICT, "--db", "{tmp}/x.db", "-m", "{locked}/m.json", "{corpus}"],
         "cannot write {locked}/m.json: {denied}", _milvus),
        (["index", *DICT, "--db", "{locked}/x.db", "{corpus}"], "cannot write {locked}/x.db: {denied}", _milvus),
    ],
    ids=["train-model", "index-model", "index-database"],
)
def test_an_unwritable_place_is_named_with_the_reason_in_one_line(locked, tmp_path, argv, message, needs):
    if needs is not None:
        needs()
    prefix, folder = locked
    fill = {"locked": folder, "tmp": tmp_path, "corpus": CORPUS, "denied": os.strerror(errno.EACCES)}
    proc = subprocess.run(prefix + command(*[a.format(**fill) for a in argv]), capture_output=True, timeout=120)
    err = proc.stderr.decode()
    assert proc.returncode == 1
    assert err.startswith("pymiratext: error: " + message.format(**fill)) and err.count("\n") == 1, err

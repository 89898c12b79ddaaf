"""Writes cut short in a real process: the name answers exactly as before, and nothing is left behind."""

import os
import shutil
import signal
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("pymilvus", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")
pytest.importorskip("milvus_lite", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")

from pymiratext import Jieba, TextEncoder, default_paths, milvus  # noqa: E402
from pymiratext._data import sample_corpus_path  # noqa: E402

QUERIES = ["手机理财", "天气", "孩子 专家"]

# The child runs one write whose input pauses once two batches are in (or
# before the first): it says READY and waits for a line on standard input,
# during which the parent interrupts it in one of the ways below.
CHILD = textwrap.dedent("""
    import sys
    from pymiratext import Jieba, TextEncoder, default_paths
    from pymiratext.milvus import TextCollection

    db, operation, pause_at = sys.argv[1], sys.argv[2], int(sys.argv[3])
    texts = [line.rstrip("\\n") for line in open(sys.argv[4], encoding="utf-8") if line.strip()]

    def items(first):
        for number, text in enumerate(texts * 5):
            if number == pause_at:
                print("READY", flush=True)
                sys.stdin.readline()
            yield first + number, text, {"n": number}

    encoder = TextEncoder(Jieba(**default_paths()), search=True)
    if operation == "add":
        with TextCollection.open(db, "news") as collection:
            collection.add_items(items(1000), batch_size=10)
    else:
        scoring = "vectors" if operation == "replace-vectors" else None
        if scoring:
            encoder.train(texts)
        name = "fresh" if operation == "build" else "news"
        TextCollection.build(db, encoder, items(1000), name=name, replace=name == "news", batch_size=10,
                             scoring=scoring).close()
""")


def answers(collection):
    return len(collection), [[hit[:3] for hit in collection.search(query, top=50)] for query in QUERIES]


def release(db):
    """Stops this process's embedded server of *db*, so that another process may open the file."""
    from milvus_lite.server_manager import server_manager_instance

    server_manager_instance.release_server(os.path.abspath(db))


@pytest.fixture(scope="module")
def corpus():
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        return [line.rstrip("\n") for line in stream if line.strip()]


@pytest.fixture(scope="module")
def template(tmp_path_factory, corpus):
    """A database whose collection "news" holds 30 documents, and what it answers."""
    folder = tmp_path_factory.mktemp("template")
    db = str(folder / "t.db")
    encoder = TextEncoder(Jieba(**default_paths()), search=True)
    with milvus.TextCollection.build(db, encoder, enumerate(corpus[:30], 1), name="news") as collection:
        before = answers(collection)
    release(db)
    return folder, before


def child_processes(pid):
    children = []
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/children") as stream:
            children += [int(child) for child in stream.read().split()]
    return children


def interrupt(process, how):
    if how == "database error":  # the embedded engine dies under the write
        for child in child_processes(process.pid):
            os.kill(child, signal.SIGKILL)
        process.stdin.write(b"go\n")
        process.stdin.flush()
    else:
        process.send_signal(how)


@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL, "database error"],
                         ids=["ctrl-c", "sigterm", "killed", "database-error"])
@pytest.mark.parametrize("where", [0, 25], ids=["before-sending", "while-sending"])
@pytest.mark.parametrize("operation", ["build", "replace", "add", "replace-vectors"])
def test_an_interrupted_write_leaves_the_name_as_it_was(template, tmp_path, corpus, operation, where, how):
    folder, before = template
    for entry in os.listdir(folder):
        shutil.copy(folder / entry, tmp_path / entry)
    db = str(tmp_path / "t.db")
    script = tmp_path / "corpus.txt"
    script.write_text("\n".join(corpus) + "\n", encoding="utf-8")
    process = subprocess.Popen([sys.executable, "-c", CHILD, db, operation, str(where), str(script)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        assert process.stdout.readline() == b"READY\n", process.stderr.read().decode()[-3000:]
        interrupt(process, how)
        _out, err = process.communicate(timeout=120)
    finally:
        process.kill()
    assert process.returncode != 0, err.decode()[-2000:]
    if how == signal.SIGINT or how == signal.SIGTERM:
        assert b"Traceback" in err and (b"KeyboardInterrupt" in err or b"Terminated" in err), err.decode()[-2000:]
    # The name answers exactly as before; the next write in the database
    # clears whatever the interrupted one left, and only that.
    with milvus.TextCollection.open(db, "news") as collection:
        assert answers(collection) == before
        kept = collection.milvus_name
    with pytest.raises(milvus.CollectionNotFoundError):
        milvus.TextCollection.open(db, "fresh")
    encoder = TextEncoder(Jieba(**default_paths()), search=True)
    with milvus.TextCollection.build(db, encoder, [(1, "手机")], name="other") as other:
        assert sorted(other.client.list_collections()) == sorted(["_pymiratext_catalog", kept, other.milvus_name])
        rows = other.client.query("_pymiratext_catalog", filter='name != ""', output_fields=["name"])
        assert sorted(row["name"] for row in rows) == ["news", "other"]  # no journal of an add left
    with milvus.TextCollection.open(db, "news") as collection:
        assert answers(collection) == before
    release(db)
    # No model file of the build that did not happen, not even a temporary one.
    assert [entry for entry in os.listdir(tmp_path) if ".bm25.json" in entry] == []


@pytest.mark.parametrize("number, raised", [(signal.SIGINT, KeyboardInterrupt), (signal.SIGTERM, KeyboardInterrupt)])
def test_a_signal_during_a_commit_waits_for_its_end(number, raised):
    from pymiratext.milvus._signals import deferred_signals, terminate_as_interrupt

    if signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
        pytest.skip("this process handles SIGTERM itself")
    steps = []
    with pytest.raises(raised):
        with terminate_as_interrupt(), deferred_signals():
            os.kill(os.getpid(), number)
            steps.append("first")  # the handler ran, and raised nothing yet
            steps.append("second")
    assert steps == ["first", "second"]
    assert signal.getsignal(signal.SIGTERM) is signal.SIG_DFL

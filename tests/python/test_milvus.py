"""Search through a real Milvus Lite database: the same answers as in-process ranking."""

import functools
import io
import json
import os
import pathlib
import random
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

pytest.importorskip("pymilvus", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")
pytest.importorskip("milvus_lite", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")

import pymiratext  # noqa: E402
from pymilvus import DataType, MilvusClient  # noqa: E402
from pymiratext import Jieba, TextEncoder, cli, default_paths, id_vector, milvus  # noqa: E402
from pymiratext._data import sample_corpus_path  # noqa: E402

# These tests cover collections of client-side vectors, which `index` makes
# when asked (`--scoring vectors`); engine-scored ones are tested on their own.
create = functools.partial(milvus.TextCollection.create, scoring="vectors")
build = functools.partial(milvus.TextCollection.build, scoring="vectors")
VECTORS = ["--scoring", "vectors"]

QUERIES = list(cli.DEMO_QUERIES) + ["专家提醒孩子", "今天天气怎么样", "手机"]


@pytest.fixture(scope="module")
def corpus():
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        return [line.rstrip("\n") for line in stream]


@pytest.fixture(scope="module")
def jieba():
    return Jieba(**default_paths())


@pytest.fixture(scope="module")
def encoder(jieba, corpus):
    encoder = TextEncoder(jieba, search=True)
    encoder.train(corpus)
    return encoder


@pytest.fixture(scope="module")
def db(tmp_path_factory, encoder, corpus):
    """A database holding the sample corpus, numbered by line from 1, closed again."""
    path = str(tmp_path_factory.mktemp("milvus") / "sample.db")
    numbered = [(number, text) for number, text in enumerate(corpus, 1) if text.strip()]
    with create(path, encoder, name="sample") as collection:
        assert collection.add_items(numbered, batch_size=7, progress=False) == len(numbered)
    return path


@pytest.fixture(scope="module")
def scratch(tmp_path_factory):
    """One database for the tests that make collections of their own: each new
    database file starts a Milvus Lite server, which costs a second or two."""
    return str(tmp_path_factory.mktemp("scratch") / "scratch.db")


def brute_force(encoder, corpus, query):
    """Every line sharing a token with the query, scored by a plain dot product, best first."""
    q = id_vector(encoder.encode_queries([query])[0])
    hits = []
    for number, vector in enumerate(encoder.encode_documents(corpus), 1):
        d = id_vector(vector)
        shared = [k for k in q if k in d]
        if shared:
            hits.append((sum(q[k] * d[k] for k in shared), number))
    return sorted(hits, key=lambda hit: (-hit[0], hit[1]))


@pytest.fixture(scope="module")
def opened(db, jieba):
    with milvus.TextCollection.open(db, "sample", jieba=jieba) as collection:
        yield collection


@pytest.mark.parametrize("query", QUERIES)
def test_search_equals_in_process_ranking(opened, encoder, corpus, query):
    expected = brute_force(encoder, corpus, query)
    hits = opened.search(query, top=len(corpus))
    assert [hit.id for hit in hits] == [number for _score, number in expected]
    assert [hit.score for hit in hits] == pytest.approx([score for score, _n in expected], rel=1e-6, abs=1e-7)
    assert all(hit.text == corpus[hit.id - 1] for hit in hits)


def test_reopened_database_answers_the_same(db, jieba):
    answers = []
    for _ in range(2):
        with milvus.TextCollection.open(db, "sample", jieba=jieba) as collection:
            answers.append([collection.search(query, top=5) for query in QUERIES])
            assert len(collection) == 65
    assert answers[0] == answers[1]


@pytest.mark.parametrize("prepared_insert", [True, False], ids=["prepared", "public"])
def test_ids_and_texts_round_trip(scratch, encoder, monkeypatch, prepared_insert):
    # Rows go through the client's prepared batch insert where it has one and
    # through its public insert where not: both must store the same rows.
    if not prepared_insert:
        from pymilvus.client.grpc_handler import GrpcHandler

        monkeypatch.delattr(GrpcHandler, "batch_insert")
    long_text = "手机" * 20000  # 120,000 UTF-8 bytes: over the text field's limit
    texts = ["手机理财的风险 𠀀", "", long_text, "手机\t电池"]
    ids = [2**40, 7, -3, 0]
    with create(scratch, encoder, name=f"ids_{prepared_insert:d}") as collection:
        assert collection.add(texts, ids=ids, progress=False) == 3  # the empty text has no terms
        rows = collection.client.query(collection.name, filter="id in [1099511627776, -3, 0, 7]",
                                       output_fields=["text"])
        assert {row["id"]: row["text"] for row in rows} == {2**40: texts[0], -3: "", 0: texts[3]}
        hits = collection.search("手机", top=10)
        assert {hit.id: hit.text for hit in hits} == {2**40: texts[0], -3: None, 0: texts[3]}
        stored = collection.client.query(collection.name, filter="id == 0", output_fields=["vector"])
        assert stored[0]["vector"] == pytest.approx(id_vector(encoder.encode_documents([texts[3]])[0]))


def test_ids_default_to_running_numbers(scratch, encoder):
    with create(scratch, encoder, name="numbered") as collection:
        collection.add(["手机", "电池"], progress=False)
        collection.add(["理财"], progress=False)
        rows = collection.client.query(collection.name, filter="id >= 0", output_fields=["text"])
        assert sorted((row["id"], row["text"]) for row in rows) == [(0, "手机"), (1, "电池"), (2, "理财")]


@pytest.mark.parametrize("ids", [[1], [1, 2, 3]], ids=["fewer", "more"])
def test_ids_must_match_texts(scratch, encoder, ids):
    with create(scratch, encoder, name="mismatch", replace=True) as collection:
        with pytest.raises(ValueError, match="ids"):
            collection.add(["手机", "电池"], ids=ids)
        with pytest.raises(ValueError, match="ids"):
            collection.add(iter(["手机", "电池"]), ids=iter(ids))


def test_adding_after_further_training_is_refused(scratch, jieba, corpus):
    encoder = TextEncoder(jieba, search=True)
    encoder.train(corpus)
    with create(scratch, encoder, name="stale") as collection:
        collection.add(corpus[:3], progress=False)
        encoder.train(["新的文档改变了统计"])
        with pytest.raises(milvus.ModelMismatchError, match="statistics have changed"):
            collection.add(corpus[3:6], progress=False)
        assert len(collection) == 3


def test_model_file_is_checked_on_open(scratch, jieba, corpus, encoder):
    create(scratch, encoder, name="c").close()
    model_path = milvus.model_path_for(scratch, "c")
    other = TextEncoder(jieba, search=True)
    other.train(corpus[:10])
    other.model.dump(model_path)
    with pytest.raises(milvus.ModelMismatchError, match="not the model"):
        milvus.TextCollection.open(scratch, "c", jieba=jieba)


def test_create_refuses_an_existing_collection_unless_replaced(scratch, encoder):
    with create(scratch, encoder, name="twice") as collection:
        collection.add(["手机"], progress=False)
    with pytest.raises(ValueError, match="already exists"):
        create(scratch, encoder, name="twice")
    with create(scratch, encoder, name="twice", replace=True) as collection:
        assert len(collection) == 0


def test_options_are_kept_with_the_collection(scratch, jieba, corpus):
    encoder = TextEncoder(jieba, search=False, stop_words=False)
    encoder.train(corpus)
    create(scratch, encoder, name="options").close()
    with milvus.TextCollection.open(scratch, "options", jieba=jieba) as collection:
        assert (collection.encoder.search, collection.encoder.stop_words) == (False, False)
        assert collection.encoder.tokens("红烧肉怎么做") == encoder.tokens("红烧肉怎么做")


def test_server_needs_an_explicit_model_path(encoder):
    with pytest.raises(ValueError, match="explicit model path"):
        create("http://127.0.0.1:1", encoder)


def test_untrained_encoder_is_refused(tmp_path, jieba):
    with pytest.raises(ValueError, match="not trained"):
        create(str(tmp_path / "u.db"), TextEncoder(jieba))


# --------------------------------------------------------------------------
# Ids, all-or-nothing writes, ties


def stored(collection):
    rows = collection.client.query(collection.milvus_name, filter="", output_fields=["text"], limit=1000,
                                   consistency_level="Strong")
    return {row["id"]: row["text"] for row in rows}


def test_default_ids_are_never_reused(scratch, encoder, jieba):
    with create(scratch, encoder, name="defaults") as collection:
        # The text without terms is skipped but uses up its id, as the ids given do.
        assert collection.add(["上海的天气", "，", "北京的天气"], progress=False) == 2
        assert collection.add(["天气预报"], ids=[7], progress=False) == 1
        assert collection.add(["天气"], progress=False) == 1
    with milvus.TextCollection.open(scratch, "defaults", jieba=jieba) as collection:
        collection.add(["北京"], progress=False)  # the next free id is kept with the collection
        assert stored(collection) == {0: "上海的天气", 2: "北京的天气", 7: "天气预报", 8: "天气", 9: "北京"}
        assert {hit.id: hit.text for hit in collection.search("北京")} == {2: "北京的天气", 9: "北京"}


@pytest.fixture(scope="module")
def guarded(scratch, encoder):
    """A collection holding ids 0 and 2, for the calls that must leave it as it was."""
    with create(scratch, encoder, name="guarded") as collection:
        collection.add(["上海的天气", "，", "北京的天气"], progress=False)
        yield collection


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda c: c.add(["手机", "电池"], ids=[5, 5]), ValueError, "^id 5 is given twice$"),
        (lambda c: c.add(["手机"], ids=[1.0]), ValueError, r"^ids must be integers, not 1\.0 \(float\)$"),
        (lambda c: c.add(["手机"], ids=["3"]), ValueError, "^ids must be integers, not '3'"),
        (lambda c: c.add(["手机"], ids=[True]), ValueError, "^ids must be integers, not True$"),
        (lambda c: c.add(["手机"], ids=[2**63]), ValueError, "^id 9223372036854775808 is outside the signed 64-bit"),
        (lambda c: c.add(["手机", "电池"], ids=range(1, 3)), ValueError, "^id 2 is already in the collection 'guarded'$"),
        (lambda c: c.add(iter(["手机", "电池"]), ids=iter([40])), ValueError, "^fewer ids than texts$"),
        # Failures part way: the documents of the earlier batches are removed again.
        (lambda c: c.add_items([(50, "手机"), (51, "电池"), (2, "理财")], batch_size=1), ValueError,
         r"^id 2 is already in the collection 'guarded'; the documents this call had added \(2\) were removed$"),
        (lambda c: c.add_items([(60, "手机"), (61, "电池"), (62, "理财"), (60, "天气")], batch_size=1), ValueError,
         r"^id 60 is given twice; the documents this call had added \(2\) were removed$"),
        (lambda c: c.add_items([(70, "手机"), (71, 5)], batch_size=1), TypeError,
         r"^texts must hold str, not int; the documents this call had added \(1\) were removed$"),
    ],
    ids=["twice", "float", "str", "bool", "range", "existing", "fewer-ids", "existing-later",
         "twice-later", "bad-text-later"],
)
def test_a_refused_add_leaves_the_collection_as_it_was(guarded, call, error, message):
    before = stored(guarded)
    with pytest.raises(error, match=message):
        call(guarded)
    assert stored(guarded) == before


@pytest.fixture(scope="module")
def ties(scratch, encoder):
    """Forty documents that score alike, inserted in batches in shuffled id order, and two others."""
    ids = list(range(100, 140))
    random.Random(5).shuffle(ids)
    items = [(doc_id, "手机电池") for doc_id in ids] + [(150, "手机"), (5, "电池")]
    with create(scratch, encoder, name="ties") as collection:
        collection.add_items(items, batch_size=7, progress=False)
        yield collection


# 8: fewer results than the tied documents in one search, so that the rest are found by id bounds.
@pytest.mark.parametrize("most", [milvus._database._MAX_LIMIT, 8], ids=["one-search", "many-searches"])
@pytest.mark.parametrize("top", [1, 3, 20])
def test_ties_are_ordered_by_id(ties, monkeypatch, most, top):
    monkeypatch.setattr(milvus._collection, "_MAX_LIMIT", most)
    hits = ties.search("手机", top=top)  # no more than the most one search returns
    assert [hit.id for hit in hits] == [150, *range(100, 100 + min(top, most) - 1)]
    assert len({hit.score for hit in hits[1:]}) <= 1


def test_collections_of_the_previous_release_still_work(scratch, encoder, corpus, jieba):
    # As the previous release made them: found by their own name, no catalog, no recorded next id,
    # with the terms of that release.
    encoder = TextEncoder(jieba, search=True, bigrams=False, characters=False)
    encoder.train(corpus)
    name = "previous"
    model_path = milvus.model_path_for(scratch, name)
    encoder.model.dump(model_path)
    with open(model_path, "rb") as stream:  # that release kept no length total
        text = re.sub(rb'\n  "_doc_length_total" : \d+,', b"", stream.read())
    assert text.count(b"_doc_token_document_frequency") == 1 and b"_doc_length_total" not in text
    with open(model_path, "wb") as stream:
        stream.write(text)
    record = json.dumps({"format": 1, "model_sha256": milvus._model._file_digest(model_path), "search": True,
                         "stop_words": True}, sort_keys=True)
    client = MilvusClient(uri=scratch)
    schema = client.create_schema(auto_id=False, enable_dynamic_field=False, description=record)
    schema.add_field("id", DataType.INT64, is_primary=True)
    schema.add_field("vector", DataType.SPARSE_FLOAT_VECTOR)
    schema.add_field("text", DataType.VARCHAR, max_length=65535)
    index = client.prepare_index_params()
    index.add_index(field_name="vector", index_type="SPARSE_INVERTED_INDEX", metric_type="IP",
                    params={"drop_ratio_build": 0.0})
    client.create_collection(name, schema=schema, index_params=index, properties={"pymiratext": record})
    vectors = encoder.encode_documents(corpus[:10])
    client.insert(name, [{"id": number, "vector": id_vector(vector), "text": text}
                         for number, (text, vector) in enumerate(zip(corpus[:10], vectors), 1) if vector])
    client.close()
    with milvus.TextCollection.open(scratch, name, jieba=jieba) as collection:
        assert [hit.id for hit in collection.search("天气", top=10)] == [
            number for _score, number in brute_force(encoder, corpus[:10], "天气")]
        assert collection.add(["红烧肉"], progress=False) == 1  # numbered on after the largest id
        assert max(stored(collection)) == 11
    with build(scratch, encoder, [(1, "手机")], name=name, replace=True) as collection:
        assert collection.milvus_name != name and stored(collection) == {1: "手机"}
        assert name not in collection.client.list_collections()  # the replaced collection is dropped


# --------------------------------------------------------------------------
# Builds: all or nothing


def broken_items(corpus):
    """Enough items for several batches, then a text that is not a str."""
    yield from enumerate(corpus * 3, 1)
    yield 999, b"not a str"


def leftovers(folder, keep=()):
    return sorted(set(os.listdir(folder)) - set(keep))


@pytest.mark.parametrize("encoded", [False, True], ids=["encoding", "encoded"])
def test_a_failed_build_in_a_new_file_leaves_nothing(tmp_path, encoder, corpus, encoded):
    db = str(tmp_path / "new.db")
    if encoded:  # rows for one item fewer than there are
        items, rows = enumerate(corpus * 3, 1), encoder.encode_documents_csr((corpus * 3)[:-1], format="numpy")
        error, message = ValueError, f"^{len(corpus) * 3 - 1} encoded rows for more items$"
    else:
        items, rows, error, message = broken_items(corpus), None, TypeError, "texts must hold str"
    with pytest.raises(error, match=message):
        build(db, encoder, items, batch_size=50, encoded=rows)
    assert leftovers(tmp_path) == []


def test_a_failed_replacement_leaves_the_previous_collection(scratch, encoder, corpus, jieba):
    name = "kept"
    with build(scratch, encoder, enumerate(corpus[:20], 1), name=name) as collection:
        before = (collection.search("天气"), collection.milvus_name)
    model = pathlib.Path(milvus.model_path_for(scratch, name)).read_bytes()
    other = TextEncoder(jieba, search=True)
    other.train(corpus[20:])
    folder = os.path.dirname(scratch)
    files = os.listdir(folder)
    with pytest.raises(TypeError, match="texts must hold str"):
        build(scratch, other, broken_items(corpus), name=name, replace=True, batch_size=50)
    with milvus.TextCollection.open(scratch, name, jieba=jieba) as collection:
        assert (collection.search("天气"), collection.milvus_name) == before
        assert not [c for c in collection.client.list_collections() if c.startswith(name + "_")]
    assert pathlib.Path(milvus.model_path_for(scratch, name)).read_bytes() == model
    assert leftovers(folder, files) == []


def index_cut_short(db, folder, lines, signal_number, *flags):
    """Runs `pymiratext index` on a named pipe and sends it *signal_number* once it is inserting."""
    fifo = os.path.join(folder, "corpus.fifo")
    os.mkfifo(fifo)
    text = "".join(line + "\n" for line in lines).encode("utf-8")
    process = subprocess.Popen([sys.executable, "-m", "pymiratext", "index", "--db", db, *VECTORS, *flags, fifo],
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        for _pass in ("train", "index"):  # index reads its corpus twice
            descriptor = open_for_writing(fifo, process)
            if _pass == "train":
                with os.fdopen(descriptor, "wb") as stream:
                    stream.write(text)
                continue
            with os.fdopen(descriptor, "wb") as stream:
                # Once this returns, the command holds all but a pipe's worth: two batches at least.
                stream.write(text)
                time.sleep(1.5)  # the first batch reaches the database
                process.send_signal(signal_number)
                process.wait(timeout=60)
    finally:
        process.kill()
        process.wait()
    wait_for_release(db)
    return process.returncode, process.stderr.read().decode()


def open_for_writing(fifo, process, seconds=60):
    deadline = time.monotonic() + seconds
    while True:
        try:
            descriptor = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError:  # no reader yet
            if process.poll() is not None or time.monotonic() > deadline:
                raise AssertionError(f"index never read its corpus: {process.stderr.read().decode()}")
            time.sleep(0.05)
            continue
        os.set_blocking(descriptor, True)
        return descriptor


def wait_for_release(db, seconds=30):
    """Waits until no embedded Milvus server has *db* open (a killed command's server stops by itself)."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        busy = False
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                with open(f"/proc/{pid}/cmdline", "rb") as stream:
                    busy = busy or os.fsencode(db) in stream.read()
            except OSError:
                pass
        if not busy:
            return
        time.sleep(0.1)


def test_an_interrupted_index_in_a_new_file_leaves_nothing(tmp_path, corpus):
    db = str(tmp_path / "new.db")
    status, err = index_cut_short(db, str(tmp_path), corpus * 200, signal.SIGINT)
    assert (status, err) == (130, "pymiratext: error: interrupted\n")
    assert leftovers(tmp_path, ["corpus.fifo"]) == []


def test_a_killed_replacement_leaves_the_previous_collection(tmp_path, corpus, encoder, jieba):
    db = str(tmp_path / "kept.db")
    first = tmp_path / "first.txt"
    first.write_text("\n".join(corpus[:30]) + "\n", encoding="utf-8")
    subprocess.run([sys.executable, "-m", "pymiratext", "index", "--db", db, "--search", *VECTORS, first], check=True,
                   stderr=subprocess.DEVNULL)
    model = pathlib.Path(milvus.model_path_for(db)).read_bytes()
    status, _err = index_cut_short(db, str(tmp_path), corpus * 200, signal.SIGKILL, "--replace")
    assert status == -signal.SIGKILL
    with milvus.TextCollection.open(db, jieba=jieba) as collection:
        assert len(collection) == 30
        assert [hit.id for hit in collection.search("天气", top=30)] == [
            number for _score, number in brute_force(collection.encoder, corpus[:30], "天气")]
        # What a build killed after Milvus kept its collection leaves: a collection the name does not find.
        gone = subprocess.Popen(["true"])
        gone.wait()
        meta = {**collection._meta, "builder": f"{socket.gethostname()}:{gone.pid}"}
        milvus._schema._create_collection(collection.client, "pymiratext_0badf00d", meta)
    assert pathlib.Path(milvus.model_path_for(db)).read_bytes() == model
    # The next build clears it away.
    with build(db, encoder, [(1, "手机")], replace=True) as collection:
        assert sorted(collection.client.list_collections()) == sorted(["_pymiratext_catalog", collection.milvus_name])
    release(db)
    assert leftovers(tmp_path, ["corpus.fifo", "first.txt", "kept.db", "kept.db.pymiratext.bm25.json"]) == []


def release(db):
    """Stops this process's embedded server of *db*, which outlives its clients."""
    from milvus_lite.server_manager import server_manager_instance

    server_manager_instance.release_server(db)


# --------------------------------------------------------------------------
# Command line


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture(scope="module")
def cli_db(tmp_path_factory, encoder):
    """An indexed database, and the model that in-process search needs for the same answers."""
    folder = tmp_path_factory.mktemp("cli")
    db = folder / "corpus.db"
    model = folder / "model.json"
    assert cli.main(["index", "--db", str(db), "--search", "--threads", "2", *VECTORS, sample_corpus_path()]) == 0
    encoder.model.dump(str(model))
    assert model.read_bytes() == (folder / "corpus.db.pymiratext.bm25.json").read_bytes()
    return db, model


# The last query matches more lines than the default count of results.
@pytest.mark.parametrize("query, top", [(QUERIES[0], 5), (QUERIES[1], 5), ("今天天气手机理财专家提醒孩子红烧肉感冒", 0)])
def test_search_db_prints_what_search_corpus_prints(capsys, cli_db, query, top):
    db, model = cli_db
    status, from_db, _err = run(capsys, "search", "--db", db, "--top", top, query)
    assert status == 0
    _status, from_corpus, _err = run(capsys, "search", "--search", "-m", model, "--corpus", sample_corpus_path(),
                                     "--top", top, query)
    assert from_db == from_corpus
    assert len(from_db.splitlines()) > 10 or top != 0


def test_index_reports_and_keeps_the_model_beside_the_database(capsys, cli_db):
    db, _model = cli_db
    status, _out, err = run(capsys, "index", "--db", db, "--collection", "news", *VECTORS, sample_corpus_path())
    assert status == 0
    assert err == (f"pymiratext: indexed 65 documents in the collection news of {db}; "
                   f"model written to {db}.news.bm25.json\n")
    with open(f"{db}.news.bm25.json", encoding="utf-8") as stream:
        assert json.load(stream)["_doc_count"] == 65


@pytest.mark.parametrize(
    "argv, message",
    [
        (["search", "--db", "{db}", "--collection", "nope", "手机"],
         "the database {db} has no collection 'nope'"),
        (["search", "--db", "{tmp}/missing/x.db", "手机"],
         "cannot open the database {tmp}/missing/x.db: no such folder {tmp}/missing"),
        (["search", "--db", "{tmp}/absent.db", "手机"], "cannot open the database {tmp}/absent.db: no such file"),
        (["search", "--db", "{tmp}/x.sqlite", "手机"],
         "cannot open the database {tmp}/x.sqlite: a local Milvus Lite file name ends in .db"),
        (["search", "--db", "{db}", "，。"], "the query '，。' has no words to search for"),
        (["index", "--db", "{db}", "{corpus}"],
         "the collection 'pymiratext' already exists in {db}: --replace replaces it\n"),
        (["index", "--db", "http://127.0.0.1:1", *VECTORS, "{corpus}"],
         "a collection on a Milvus server needs an explicit model path (model_path=...)"),
        (["search", "--db", "http://127.0.0.1:1", "-m", "{tmp}/m.json", "手机"],
         "cannot open the database http://127.0.0.1:1:"),
        (["index", "--db", "{tmp}/new.db", "{tmp}/absent.txt"], "{tmp}/absent.txt: No such file or directory"),
        (["index", "--db", "{db}", "--collection", "new", "-m", "{tmp}", "{corpus}"], "cannot write {tmp}: Is a directory"),
    ],
    ids=["no-collection", "no-folder", "no-file", "not-db", "no-words", "exists", "server-without-model",
         "server-unreachable", "no-corpus", "model-unwritable"],
)
def test_cli_errors_are_one_line(capsys, cli_db, tmp_path, argv, message):
    db, _model = cli_db
    fill = {"db": db, "tmp": tmp_path, "corpus": sample_corpus_path()}
    status, out, err = run(capsys, *[a.format(**fill) for a in argv])
    assert status == 1 and out == ""
    assert err.startswith("pymiratext: error: " + message.format(**fill))
    assert err.count("\n") == 1
    assert list(tmp_path.iterdir()) == []  # no database, no model


def test_cli_without_the_extra_says_how_to_install_it(capsys, monkeypatch, tmp_path):
    monkeypatch.setitem(sys.modules, "pymilvus", None)  # makes `import pymilvus` fail
    monkeypatch.delitem(sys.modules, "pymiratext.milvus", raising=False)
    monkeypatch.delattr(pymiratext, "milvus", raising=False)
    status, _out, err = run(capsys, "search", "--db", tmp_path / "x.db", "手机")
    assert (status, err) == (1, 'pymiratext: error: the Milvus integration is not installed: '
                                'pip install "pymiratext[milvus]"\n')
    status, out, _err = run(capsys, "demo", "--top", 1, "--show", 0)
    assert status == 0
    assert "(Milvus extra not installed: scoring in process instead" in out


def test_index_numbers_lines_on_through_the_files(capsys, cli_db, tmp_path):
    db, _model = cli_db
    first, second = tmp_path / "a.txt", tmp_path / "b.txt"
    first.write_text("手机理财的风险\n\n", encoding="utf-8")
    second.write_text("红烧肉很好吃\n", encoding="utf-8")
    assert run(capsys, "index", "--db", db, "--collection", "two", first, second)[0] == 0
    status, out, _err = run(capsys, "search", "--db", db, "--collection", "two", "红烧肉")
    assert (status, out.split("(line ")[1]) == (0, "3)  红烧肉很好吃\n")


def test_search_db_answers_several_queries_as_it_answers_each(capsys, cli_db, tmp_path, monkeypatch):
    db, _model = cli_db
    queries = QUERIES[:3]
    singles = [run(capsys, "search", "--db", db, "--top", 3, query)[1] for query in queries]
    blocks = [f"Query: {query}\n{single}" for query, single in zip(queries, singles)]
    assert run(capsys, "search", "--db", db, "--top", 3, *queries[:2]) == (0, "\n".join(blocks[:2]), "")
    # From a file or standard input, after the arguments; blank lines are no queries.
    lines = f"{queries[1]}\n\n，。\nzebra\n{queries[2]}\n"
    (tmp_path / "queries.txt").write_text(lines, encoding="utf-8")
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(lines.encode("utf-8"))))
    expected = "\n".join([*blocks[:2], "Query: ，。\n(no words to search for)\n", "Query: zebra\n(no match)\n", blocks[2]])
    for source in (tmp_path / "queries.txt", "-"):
        assert run(capsys, "search", "--db", db, "--top", 3, queries[0], "--queries", source) == (0, expected, "")


def test_index_that_fails_creates_no_database(capsys, tmp_path):
    (tmp_path / "empty.txt").write_text("，。\n\n", encoding="utf-8")
    status, _out, err = run(capsys, "index", "--db", tmp_path / "new.db", *VECTORS, tmp_path / "empty.txt")
    assert (status, err) == (1, "pymiratext: error: no documents to train on: the corpus has no words\n")
    assert sorted(os.listdir(tmp_path)) == ["empty.txt"]

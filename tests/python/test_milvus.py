"""Search through a real Milvus Lite database: the same answers as in-process ranking."""

import json
import sys

import pytest

pytest.importorskip("pymilvus", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")
pytest.importorskip("milvus_lite", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")

import pymiratext  # noqa: E402
from pymiratext import Jieba, TextEncoder, cli, default_paths, id_vector, milvus  # noqa: E402
from pymiratext._data import sample_corpus_path  # noqa: E402

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
    with milvus.TextCollection.create(path, encoder, name="sample") as collection:
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


def test_ids_and_texts_round_trip(scratch, encoder):
    long_text = "手机" * 20000  # 120,000 UTF-8 bytes: over the text field's limit
    texts = ["手机理财的风险 𠀀", "", long_text, "手机\t电池"]
    ids = [2**40, 7, -3, 0]
    with milvus.TextCollection.create(scratch, encoder, name="ids") as collection:
        assert collection.add(texts, ids=ids, progress=False) == 3  # the empty text has no terms
        rows = collection.client.query(collection.name, filter="id in [1099511627776, -3, 0, 7]",
                                       output_fields=["text"])
        assert {row["id"]: row["text"] for row in rows} == {2**40: texts[0], -3: "", 0: texts[3]}
        hits = collection.search("手机", top=10)
        assert {hit.id: hit.text for hit in hits} == {2**40: texts[0], -3: None, 0: texts[3]}


def test_ids_default_to_running_numbers(scratch, encoder):
    with milvus.TextCollection.create(scratch, encoder, name="numbered") as collection:
        collection.add(["手机", "电池"], progress=False)
        collection.add(["理财"], progress=False)
        rows = collection.client.query(collection.name, filter="id >= 0", output_fields=["text"])
        assert sorted((row["id"], row["text"]) for row in rows) == [(0, "手机"), (1, "电池"), (2, "理财")]


@pytest.mark.parametrize("ids", [[1], [1, 2, 3]], ids=["fewer", "more"])
def test_ids_must_match_texts(scratch, encoder, ids):
    with milvus.TextCollection.create(scratch, encoder, name="mismatch", replace=True) as collection:
        with pytest.raises(ValueError, match="ids"):
            collection.add(["手机", "电池"], ids=ids)
        with pytest.raises(ValueError, match="ids"):
            collection.add(iter(["手机", "电池"]), ids=iter(ids))


def test_adding_after_further_training_is_refused(scratch, jieba, corpus):
    encoder = TextEncoder(jieba, search=True)
    encoder.train(corpus)
    with milvus.TextCollection.create(scratch, encoder, name="stale") as collection:
        collection.add(corpus[:3], progress=False)
        encoder.train(["新的文档改变了统计"])
        with pytest.raises(milvus.ModelMismatchError, match="statistics have changed"):
            collection.add(corpus[3:6], progress=False)
        assert len(collection) == 3


def test_model_file_is_checked_on_open(scratch, jieba, corpus, encoder):
    milvus.TextCollection.create(scratch, encoder, name="c").close()
    model_path = milvus.model_path_for(scratch, "c")
    other = TextEncoder(jieba, search=True)
    other.train(corpus[:10])
    other.model.dump(model_path)
    with pytest.raises(milvus.ModelMismatchError, match="not the model"):
        milvus.TextCollection.open(scratch, "c", jieba=jieba)


def test_create_refuses_an_existing_collection_unless_replaced(scratch, encoder):
    with milvus.TextCollection.create(scratch, encoder, name="twice") as collection:
        collection.add(["手机"], progress=False)
    with pytest.raises(ValueError, match="already exists"):
        milvus.TextCollection.create(scratch, encoder, name="twice")
    with milvus.TextCollection.create(scratch, encoder, name="twice", replace=True) as collection:
        assert len(collection) == 0


def test_options_are_kept_with_the_collection(scratch, jieba, corpus):
    encoder = TextEncoder(jieba, search=False, stop_words=False)
    encoder.train(corpus)
    milvus.TextCollection.create(scratch, encoder, name="options").close()
    with milvus.TextCollection.open(scratch, "options", jieba=jieba) as collection:
        assert (collection.encoder.search, collection.encoder.stop_words) == (False, False)
        assert collection.encoder.tokens("红烧肉怎么做") == encoder.tokens("红烧肉怎么做")


def test_server_needs_an_explicit_model_path(encoder):
    with pytest.raises(ValueError, match="explicit model path"):
        milvus.TextCollection.create("http://127.0.0.1:1", encoder)


def test_untrained_encoder_is_refused(tmp_path, jieba):
    with pytest.raises(ValueError, match="not trained"):
        milvus.TextCollection.create(str(tmp_path / "u.db"), TextEncoder(jieba))


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
    assert cli.main(["index", "--db", str(db), "--search", "--threads", "2", sample_corpus_path()]) == 0
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
    status, _out, err = run(capsys, "index", "--db", db, "--collection", "news", sample_corpus_path())
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
        (["index", "--db", "{db}", "{corpus}"], "the collection 'pymiratext' already exists in {db}"),
        (["index", "--db", "http://127.0.0.1:1", "{corpus}"],
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

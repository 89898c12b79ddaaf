"""Engine-scored collections as the data changes: the same answers as a fresh build; metadata and filters."""

import json
import os
import random
import subprocess
import sys

import pytest

pytest.importorskip("pymilvus", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")
pytest.importorskip("milvus_lite", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")

from pymiratext import Jieba, TextEncoder, cli, default_paths, milvus  # noqa: E402
from pymiratext._data import sample_corpus_path  # noqa: E402

QUERIES = ["手机理财", "天气 气温", "孩子 专家 提醒", "红烧肉", "风险"]
# Terms beyond one field's 65,535 bytes: such a document is stored as several rows.
LONG = "手机理财的风险很高，" * 5000


@pytest.fixture(scope="module")
def corpus():
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        return [line.rstrip("\n") for line in stream if line.strip()]


@pytest.fixture(scope="module")
def encoder():
    return TextEncoder(Jieba(**default_paths()), search=True)


@pytest.fixture(scope="module")
def db(tmp_path_factory):
    return str(tmp_path_factory.mktemp("changes") / "changes.db")


def answers(collection, queries=QUERIES, **options):
    return {query: [(hit.id, pytest.approx(hit.score, rel=1e-5), hit.text, hit.metadata)
                    for hit in collection.search(query, top=100, **options)] for query in queries}


def test_a_changed_collection_answers_as_a_fresh_build_of_what_it_holds(db, encoder, corpus):
    rng = random.Random(25)
    pool = corpus + [LONG, "。"]
    held = {}  # id -> (text, metadata) of what the collection should hold
    with milvus.TextCollection.create(db, encoder, name="live") as live:
        assert live.scoring == "engine" and live.model_path is None
        for step in range(40):
            kind = rng.choice(["add", "add-ids", "delete", "delete-filter", "upsert"])
            texts = rng.sample(pool, rng.randint(1, 6))
            metadata = [{"group": rng.randint(0, 3), "step": step} for _ in texts]
            if kind == "add":
                first = live._first_free_id()
                live.add(texts, metadata=metadata, batch_size=4)
                ids = range(first, first + len(texts))
            elif kind == "add-ids":
                ids = rng.sample([i for i in range(1000, 1100) if i not in held], len(texts))
                live.add(texts, ids=ids, metadata=metadata)
            elif kind == "upsert":
                ids = rng.sample(sorted(held) + list(range(2000, 2010)), min(len(texts), len(held) + 10))
                texts, metadata = texts[:len(ids)], metadata[:len(ids)]
                live.upsert(texts, ids, metadata=metadata)
            elif kind == "delete":
                gone = rng.sample(sorted(held), min(len(held), 3)) + [99999]
                assert live.delete(gone) == len(gone) - 1
                for doc_id in gone:
                    held.pop(doc_id, None)
                continue
            else:
                group = rng.randint(0, 3)
                expected = [doc_id for doc_id, (_t, meta) in held.items() if meta["group"] == group]
                assert live.delete(filter=f'metadata["group"] == {group}') == len(expected)
                for doc_id in expected:
                    del held[doc_id]
                continue
            for doc_id, text, meta in zip(ids, texts, metadata):
                if text == "。":  # no index terms: not stored (and an upsert removes the old one)
                    held.pop(doc_id, None)
                else:
                    held[doc_id] = (text, meta)
            assert len(live) == len(held)
        changed = answers(live)
    items = [(doc_id, text, meta) for doc_id, (text, meta) in sorted(held.items())]
    assert any(text == LONG for _i, text, _m in items)
    with milvus.TextCollection.build(db, encoder, items, name="fresh") as fresh:
        assert changed == answers(fresh)
        assert sum(1 for hits in changed.values() for hit in hits if hit[2] is None) > 0  # the long one


METADATA = [
    {"source": "news", "year": 2021, "score": 0.9, "tags": ["health", "kids"], "draft": False,
     "author": {"name": "王"}},
    {"source": "blog", "year": 2019, "score": 0.2, "tags": ["money"], "draft": True, "author": {"name": "李"}},
    {"source": "forum", "year": 2023, "score": 0.45, "tags": [], "draft": False},
    {},
]


@pytest.fixture(scope="module")
def tagged(db, encoder, corpus):
    items = [(n, text, METADATA[n % len(METADATA)]) for n, text in enumerate(corpus)]
    with milvus.TextCollection.build(db, encoder, items, name="tagged") as collection:
        yield collection


@pytest.mark.parametrize("expression, keep", [
    ('metadata["source"] == "news"', lambda m: m.get("source") == "news"),
    ('metadata["year"] >= 2020', lambda m: m.get("year", 0) >= 2020),
    ('metadata["score"] < 0.5', lambda m: m.get("score", 1) < 0.5),
    ('json_contains(metadata["tags"], "health")', lambda m: "health" in m.get("tags", [])),
    ('metadata["draft"] == true', lambda m: m.get("draft") is True),
    ('metadata["author"]["name"] == "王"', lambda m: m.get("author", {}).get("name") == "王"),
    ('metadata["source"] in ["news", "blog"] and id > 10', None),
])
def test_filters_keep_the_ranking_of_the_documents_they_match(tagged, corpus, expression, keep):
    meta = {n: METADATA[n % len(METADATA)] for n in range(len(corpus))}
    if keep is None:
        keep = lambda m, n: m.get("source") in ("news", "blog") and n > 10  # noqa: E731
    else:
        keep = (lambda test: lambda m, n: test(m))(keep)
    for query in QUERIES:
        every = tagged.search(query, top=100)
        expected = [hit for hit in every if keep(meta[hit.id], hit.id)]
        assert tagged.search(query, top=100, filter=expression) == expected
        assert all(hit.metadata == meta[hit.id] for hit in every)


@pytest.mark.parametrize("call, message", [
    (lambda c: c.add(["手机"], metadata=[["not", "a", "dict"]]), "is a list, not a dict"),
    (lambda c: c.add(["手机"], metadata=[{"x": float("nan")}]), "is not JSON"),
    (lambda c: c.add(["手机", "天气"], metadata=[{}]), "fewer metadata than texts"),
    (lambda c: c.search("手机", filter='metadata["source" =='), "cannot search"),
    (lambda c: c.delete(), "ids or a filter"),
    (lambda c: c.delete([1], filter="id > 0"), "ids or a filter"),
])
def test_bad_metadata_and_filters_are_refused_and_change_nothing(tagged, call, message):
    before = answers(tagged)
    with pytest.raises((ValueError, milvus.DatabaseError), match=message):
        call(tagged)
    assert answers(tagged) == before


def test_client_vector_collections_refuse_changes_they_cannot_score(db, encoder, corpus):
    trained = TextEncoder(Jieba(**default_paths()), search=True)
    trained.train(corpus)
    with milvus.TextCollection.build(db, trained, enumerate(corpus), name="frozen", scoring="vectors") as frozen:
        for call in (lambda: frozen.delete([1]), lambda: frozen.upsert(["手机"], [1])):
            with pytest.raises(ValueError, match="statistics of its model"):
                call()
        assert len(frozen) == len(corpus)
        frozen.add(["手机"], metadata=[{"source": "x"}])  # adding is still possible
        assert frozen.search("手机", filter='metadata["source"] == "x"')[0].metadata == {"source": "x"}


def test_index_reads_json_lines_and_search_filters(capsys, tmp_path):
    corpus = tmp_path / "docs.jsonl"
    records = [{"id": 7, "text": "手机理财要注意风险", "source": "bank"},
               {"text": "新手机的电池很耐用", "source": "shop", "year": 2024},
               {"id": 9, "text": "理财产品的风险评级", "source": "bank"}]
    corpus.write_text("".join(json.dumps(r, ensure_ascii=False) + "\n" for r in records), encoding="utf-8")
    db = tmp_path / "j.db"
    assert cli.main(["index", "--db", str(db), str(corpus)]) == 0
    assert capsys.readouterr().err == (f"pymiratext: indexed 3 documents in the collection pymiratext of {db}; "
                                       "scored by the engine, no model file\n")
    assert cli.main(["search", "--db", str(db), "--filter", 'metadata["source"] == "bank"', "手机 风险"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert [line.split(")  ", 1)[1] for line in lines] == [
        '手机理财要注意风险  {"source": "bank"}', '理财产品的风险评级  {"source": "bank"}']
    assert "(line 7)" in lines[0]


@pytest.mark.parametrize("log_dir", [False, True], ids=["nowhere", "asked-for"])
def test_the_engine_logs_only_where_asked(tmp_path, log_dir):
    env = {**os.environ, "TMPDIR": str(tmp_path / "tmp")}
    env = {key: value for key, value in env.items() if not key.startswith("GLOG_")}
    if log_dir:
        env["PYMIRATEXT_MILVUS_LOG_DIR"] = str(tmp_path / "logs")
    for folder in ("tmp", "logs"):
        (tmp_path / folder).mkdir()
    code = ("import sys; from pymiratext import Jieba, TextEncoder, default_paths; "
            "from pymiratext.milvus import TextCollection; "
            "TextCollection.create(sys.argv[1], TextEncoder(Jieba(**default_paths()))).close()")
    subprocess.run([sys.executable, "-c", code, str(tmp_path / "l.db")], env=env, check=True, capture_output=True)
    assert os.listdir(tmp_path / "tmp") == []
    assert bool(os.listdir(tmp_path / "logs")) == log_dir

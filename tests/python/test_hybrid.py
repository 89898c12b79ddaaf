"""Hybrid search in a real Milvus Lite: the fused rankings are those computed
here from the two sides' own searches."""

import math

import numpy as np
import pytest

pytest.importorskip("pymilvus", reason="the 'milvus' extra is not installed")
pytest.importorskip("milvus_lite", reason="the 'milvus' extra is not installed")

from pymiratext import TextEncoder, id_vector  # noqa: E402
from pymiratext.milvus import TextCollection  # noqa: E402
from pymiratext._data import sample_corpus_path  # noqa: E402

QUERIES = ["手机理财有什么风险", "感冒发烧怎么办", "机器学习需要什么数据", "今天天气怎么样", "专家提醒孩子"]
DIMENSION = 16
SEARCH = {"metric_type": "IP", "params": {"drop_ratio_search": 0.0}}


@pytest.fixture(scope="module")
def corpus():
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        return [line.rstrip("\n") for line in stream if line.strip()]


@pytest.fixture(scope="module")
def encoder(bundled_jieba, corpus):
    encoder = TextEncoder(bundled_jieba, search=True)
    encoder.train(corpus)
    return encoder


def project(encoder, texts, queries=False):
    """A stand-in embedding: the BM25 vectors through a fixed random projection."""
    encode = encoder.encode_queries if queries else encoder.encode_documents
    rows = np.zeros((len(texts), DIMENSION), dtype=np.float32)
    for row, vector in zip(rows, encode(list(texts))):
        for token, weight in id_vector(vector).items():
            row += weight * np.random.default_rng(token).standard_normal(DIMENSION).astype(np.float32)
    return rows


@pytest.fixture(scope="module", params=[("engine", "cosine"), ("vectors", "ip")])
def collection(request, tmp_path_factory, encoder, corpus):
    db = str(tmp_path_factory.mktemp("hybrid") / "hybrid.db")
    scoring, metric = request.param
    with TextCollection.create(db, encoder, name="hybrid", scoring=scoring, dense_dimension=DIMENSION,
                               dense_metric=metric) as collection:
        collection.add(corpus, dense=project(encoder, corpus), batch_size=9)
        yield collection


def side(collection, field, data, limit, expression):
    if field == "dense":
        params = {"metric_type": collection._meta["dense"]["metric"]}
    else:
        params = {"metric_type": "BM25"} if collection.scoring == "engine" else SEARCH
    found = collection.client.search(collection.milvus_name, data=[data], anns_field=field, limit=limit,
                                     filter=expression, search_params=params, output_fields=["id"])[0]
    return [(int(hit["entity"]["id"]), float(hit["distance"])) for hit in found]


def reference(collection, encoder, query, top, fusion, weights, expression):
    """The fusion of the two sides' own best top + 16, each found by a plain search."""
    limit = top + 16
    if collection.scoring == "engine":
        sparse = " ".join(encoder.tokens(query))
    else:
        sparse = {k: w for k, w in id_vector(encoder.encode_queries([query])[0]).items() if w > 0}
    dense = project(encoder, [query], queries=True)[0].tolist()
    sides = {"sparse": side(collection, "vector", sparse, limit, expression) if sparse else [],
             "dense": side(collection, "dense", dense, limit, expression)}
    cosine = collection._meta["dense"]["metric"] == "COSINE"
    scores, found_by = {}, {}
    for (name, hits), weight in zip(sides.items(), weights or (0, 0)):
        for rank, (doc_id, score) in enumerate(hits, 1):
            if fusion == "rrf":
                part = 1 / (60 + rank)
            else:
                normal = (1 + score) / 2 if name == "dense" and cosine else 0.5 + math.atan(score) / math.pi
                part = weight * normal
            scores[doc_id] = scores.get(doc_id, 0.0) + part
            found_by[doc_id] = found_by.get(doc_id, ()) + (name,)
    ranked = sorted(scores, key=lambda doc_id: (-round(scores[doc_id], 6), doc_id))[:top]
    return [(doc_id, pytest.approx(scores[doc_id], rel=1e-5), found_by[doc_id]) for doc_id in ranked], dense


@pytest.mark.parametrize("fusion, weights", [("rrf", None), ("weighted", (0.5, 0.5)), ("weighted", (0.8, 0.3))])
@pytest.mark.parametrize("expression", ["", "id % 3 != 0"])
@pytest.mark.parametrize("top", [3, 20])
def test_fusion_is_the_reference_fusion_of_both_sides(collection, encoder, corpus, fusion, weights, expression, top):
    if fusion == "weighted" and collection.scoring == "engine":
        with pytest.raises(ValueError, match="weighted fusion is not available"):
            collection.search(QUERIES[0], dense=[0.1] * DIMENSION, fusion=fusion)
        return
    for query in QUERIES + ["。"]:  # the last has no index terms: the dense side alone
        want, dense = reference(collection, encoder, query, top, fusion, weights or (1, 1), expression)
        options = {"fusion": fusion} if weights is None else {"fusion": fusion, "weights": weights}
        hits = collection.search(query, top=top, dense=dense, filter=expression or None, **options)
        got = [(hit.id, hit.score, hit.found_by) for hit in hits]
        assert sorted(got, key=lambda hit: (-round(hit[1], 6), hit[0])) == want, query
        assert all(hit.text == corpus[hit.id] for hit in hits)
        assert not expression or all(hit.id % 3 != 0 for hit in hits)


def test_the_embedding_callable_is_called_once_a_batch(tmp_path, encoder, corpus):
    calls = []

    def embed(texts):
        calls.append(list(texts))
        return project(encoder, texts)

    texts = corpus[:20] + ["。", "……"] + corpus[20:30]  # two without index terms, which are skipped
    with TextCollection.create(str(tmp_path / "embed.db"), encoder, dense_dimension=DIMENSION) as collection:
        assert collection.add(texts, dense=embed, batch_size=7) == 30
        assert calls == [[t for t in texts[i:i + 7] if t not in ("。", "……")] for i in range(0, len(texts), 7)]
        stored = collection.client.query(collection.milvus_name, filter="id >= 0", output_fields=["id", "dense"],
                                         limit=100)
        vectors = {row["id"]: row["dense"] for row in stored}
        assert np.allclose([vectors[i] for i in range(20)], project(encoder, corpus[:20]))
        query = "手机理财有什么风险"
        assert collection.search(query, dense=True) == collection.search(query, dense=project(encoder, [query])[0])
        # An upsert replaces the dense vector with the text.
        collection.upsert([corpus[40]], ids=[3], dense=project(encoder, [corpus[40]]))
        row, = collection.client.query(collection.milvus_name, filter="id == 3", output_fields=["dense"])
        assert np.allclose(row["dense"], project(encoder, [corpus[40]])[0])


@pytest.fixture(scope="module")
def pair(tmp_path_factory, encoder):
    """Two empty collections, one with a dense field and one without."""
    db = str(tmp_path_factory.mktemp("refusals") / "refusals.db")
    with TextCollection.create(db, encoder, name="with_dense", dense_dimension=DIMENSION) as dense, \
            TextCollection.create(db, encoder, name="plain") as plain:
        yield dense, plain


@pytest.mark.parametrize("call, message", [
    (lambda c, d: d.search("手机", dense=[0.1] * DIMENSION), "has no dense field"),
    (lambda c, d: d.add(["手机"], dense=[[0.1] * DIMENSION]), "has no dense field"),
    (lambda c, d: c.add(["手机理财"]), "needs dense="),
    (lambda c, d: c.add(["手机理财", "天气"], dense=[[0.1] * DIMENSION]), "2 rows"),
    (lambda c, d: c.add(["手机理财"], dense=[[0.1] * 3]), "16 numbers"),
    (lambda c, d: c.add(["手机理财"], dense=[[float("nan")] * DIMENSION]), "finite"),
    (lambda c, d: c.add(["手机理财"], dense=lambda texts: [[0.1] * 3]), "16 numbers"),
    (lambda c, d: c.add(iter(["手机理财", "天气"]), dense=[[0.1] * DIMENSION]), "1 dense vectors for more"),
    (lambda c, d: c.search("手机", dense=True), "dense=True"),
    (lambda c, d: c.search("手机", dense=[0.1] * 3), "16 numbers"),
    (lambda c, d: c.search("手机", dense=[0.1] * DIMENSION, fusion="sum"), "fusion must be"),
    (lambda c, d: c.search("手机", dense=[0.1] * DIMENSION, weights=(1, 1)), "weights apply"),
    (lambda c, d: c.search("手机", dense=[0.1] * DIMENSION, fusion="weighted", weights=(2, 1)), "two numbers"),
    (lambda c, d: c.search("手机", dense=[0.1] * DIMENSION, rrf_k=0), "rrf_k"),
    (lambda c, d: TextCollection.create(c.db, c.encoder, name="bad", dense_dimension=1), "dense_dimension"),
    (lambda c, d: TextCollection.create(c.db, c.encoder, name="bad", dense_dimension=4, dense_metric="l2"),
     "dense_metric"),
])
def test_refusals_leave_the_collections_as_they_were(pair, call, message):
    with pytest.raises(ValueError, match=message):
        call(*pair)
    assert [len(collection) for collection in pair] == [0, 0]

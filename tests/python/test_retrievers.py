"""The LangChain and LlamaIndex retrievers: the collection's answers, in the frameworks' shapes."""

import asyncio
import gc
import importlib
import os
import subprocess
import sys

import pytest

pytest.importorskip("pymilvus", reason="the 'milvus' extra is not installed")
pytest.importorskip("milvus_lite", reason="the 'milvus' extra is not installed")

from pymiratext import milvus  # noqa: E402
from pymiratext._data import sample_corpus_path  # noqa: E402

QUERIES = ["手机理财有什么风险", "感冒发烧怎么办", "机器学习需要什么数据", "今天天气怎么样", "红烧肉怎么做"]
FRAMEWORKS = {"langchain": "langchain_core", "llama_index": "llama_index.core"}


@pytest.fixture(scope="module")
def corpus():
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        return [line.rstrip("\n") for line in stream if line.strip()]


def _metadatas(corpus):
    return [{"line": number, "kind": "even" if number % 2 == 0 else "odd"} for number in range(len(corpus))]


def _supports_metadata():
    import inspect

    return "metadata" in inspect.signature(milvus.TextCollection.add).parameters


@pytest.fixture(scope="module", params=sorted(FRAMEWORKS))
def framework(request, corpus):
    """(module, retriever over the corpus with k=3, function turning a query into [(id, score, text, metadata)])."""
    pytest.importorskip(FRAMEWORKS[request.param], reason=f"the {request.param} extra is not installed")
    module = importlib.import_module(f"pymiratext.{request.param}")
    metadatas = _metadatas(corpus) if _supports_metadata() else None
    if request.param == "langchain":
        retriever = module.PymiratextRetriever.from_texts(corpus, metadatas=metadatas, k=3)

        def ask(query, **options):
            return [_from_document(d) for d in retriever.invoke(query, **options)]
    else:
        retriever = module.PymiratextRetriever.from_texts(corpus, metadatas=metadatas, similarity_top_k=3)

        def ask(query, **options):
            for name, value in options.items():
                setattr(retriever, name, value)
            try:
                return [_from_node(n) for n in retriever.retrieve(query)]
            finally:
                for name in options:
                    setattr(retriever, name, None)
    yield module, retriever, ask
    retriever.close()


def _from_document(document):
    metadata = dict(document.metadata)
    return int(document.id), metadata.pop("score"), document.page_content, metadata


def _from_node(scored):
    return int(scored.node.node_id), scored.score, scored.node.get_content(), dict(scored.node.metadata)


def _from_hit(hit):
    return hit.id, hit.score, hit.text, dict(getattr(hit, "metadata", None) or {})


def test_answers_are_the_collections_through_every_entry_point(framework):
    _module, retriever, ask = framework
    want = [[_from_hit(hit) for hit in retriever.collection.search(query, top=3)] for query in QUERIES]
    assert any(want) and all(len(hits) <= 3 for hits in want)
    assert [ask(query) for query in QUERIES] == want
    if hasattr(retriever, "batch"):  # LangChain: batch, ainvoke and abatch
        assert [[_from_document(d) for d in docs] for docs in retriever.batch(QUERIES)] == want

        async def both():
            one = await retriever.ainvoke(QUERIES[0])
            return one, await retriever.abatch(QUERIES)

        one, many = asyncio.run(both())
        assert [_from_document(d) for d in one] == want[0]
        assert [[_from_document(d) for d in docs] for docs in many] == want
        assert [_from_document(d) for d in retriever.invoke(QUERIES[0], k=1)] == want[0][:1]
    else:  # LlamaIndex: aretrieve
        async def all_at_once():
            return await asyncio.gather(*(retriever.aretrieve(query) for query in QUERIES))

        assert [[_from_node(n) for n in nodes] for nodes in asyncio.run(all_at_once())] == want


def test_metadata_and_filters_round_trip(framework, corpus):
    if not _supports_metadata():
        pytest.skip("this collection stores no metadata")
    _module, retriever, ask = framework
    metadatas = _metadatas(corpus)
    for query in QUERIES:
        for _id, _score, text, metadata in ask(query):
            assert metadata == metadatas[metadata["line"]] and corpus[metadata["line"]] == text
        filtered = ask(query, filter='metadata["kind"] == "even"')
        want = [_from_hit(hit) for hit in retriever.collection.search(query, top=3, filter='metadata["kind"] == "even"')]
        assert filtered == want and all(meta["kind"] == "even" for *_rest, meta in filtered)


@pytest.mark.parametrize("name", sorted(FRAMEWORKS))
def test_temporary_database_goes_with_the_retriever(name):
    pytest.importorskip(FRAMEWORKS[name], reason=f"the {name} extra is not installed")
    module = importlib.import_module(f"pymiratext.{name}")
    texts = ["高血压病人可以喝绿茶吗", "糖尿病如何控制血糖"]
    closed = module.PymiratextRetriever.from_texts(texts)
    dropped = module.PymiratextRetriever.from_texts(texts)
    paths = [closed.collection.db, dropped.collection.db]
    assert all(os.path.exists(path) for path in paths)
    closed.close()
    del dropped
    gc.collect()
    assert not any(os.path.exists(os.path.dirname(path)) for path in paths)


def test_adapters_need_their_extra_and_the_package_never_imports_them():
    code = """
import sys
import pymiratext, pymiratext.milvus
assert not {"langchain_core", "llama_index", "pymiratext.langchain", "pymiratext.llama_index"} & set(sys.modules)
for module, blocked, extra in [("langchain", "langchain_core", "langchain"),
                               ("llama_index", "llama_index", "llama-index")]:
    sys.modules[blocked] = None  # as if not installed
    try:
        __import__("pymiratext." + module)
    except ImportError as exc:
        assert f"pymiratext[{extra}]" in str(exc), exc
    else:
        raise AssertionError(module + " imported without its framework")
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("name", sorted(FRAMEWORKS))
def test_hybrid_options_reach_the_collection(name, corpus):
    pytest.importorskip(FRAMEWORKS[name], reason=f"the {name} extra is not installed")
    module = importlib.import_module(f"pymiratext.{name}")

    def embed(texts):  # any fixed embedding will do: the collection's answer is the reference
        return [[len(text) % 7 + 1.0, text.count("的") + 1.0, float(len(set(text)))] for text in texts]

    top = {"k": 3} if name == "langchain" else {"similarity_top_k": 3}
    retriever = module.PymiratextRetriever.from_texts(corpus, dense_vectors=embed, dense_dimension=3, dense=True,
                                                      rrf_k=30, **top)
    try:
        for query in QUERIES:
            want = retriever.collection.search(query, top=3, dense=True, rrf_k=30)
            if name == "langchain":
                got = [(int(d.id), d.metadata["score"], d.metadata["found_by"]) for d in retriever.invoke(query)]
            else:
                got = [(int(n.node.node_id), n.score, n.node.metadata["found_by"]) for n in retriever.retrieve(query)]
            assert got == [(hit.id, hit.score, hit.found_by) for hit in want]
    finally:
        retriever.close()


def test_llama_index_nodes_keep_their_ids_metadata_and_embeddings():
    pytest.importorskip("llama_index.core", reason="the llama-index extra is not installed")
    from llama_index.core.schema import QueryBundle, TextNode

    from pymiratext.llama_index import PymiratextRetriever

    texts = ["高血压病人可以喝绿茶吗", "糖尿病如何控制饮食", "高血压要少吃盐"]
    nodes = [TextNode(text=text, id_=f"node-{i}", metadata={"n": i}, embedding=[1.0, float(i)])
             for i, text in enumerate(texts)]
    retriever = PymiratextRetriever.from_nodes(nodes, similarity_top_k=3)
    try:
        found = [(n.node.node_id, n.node.metadata.get("n"), n.node.get_content()) for n in retriever.retrieve("高血压")]
        assert sorted(found) == [("node-0", 0, texts[0]), ("node-2", 2, texts[2])]
        assert retriever.collection._meta["dense"]["dimension"] == 2  # the nodes' embeddings are its dense side
        hybrid = retriever.retrieve(QueryBundle("糖尿病", embedding=[1.0, 1.0]))
        assert hybrid[0].node.node_id == "node-1" and hybrid[0].node.metadata["found_by"] == ("sparse", "dense")
    finally:
        retriever.close()

#!/usr/bin/env python3
"""Hybrid search and the framework retrievers on a retrieval set, in one run.

Indexes the corpus of a retrieval set (a folder holding corpus.tsv,
queries.tsv and qrels.tsv) in a temporary Milvus Lite collection with a dense
field, then measures:

- fusion: ``TextCollection.search`` with a dense vector (reciprocal-rank and
  weighted fusion) against the same search without one, per query the best of
  --repeat turns of each (target: at most
  1.5 times the sparse search), and the Milvus client's hybrid call and
  dense search by themselves. The dense side is a stand-in computed here:
  each document's BM25 vector through a fixed random projection to --dimension
  numbers, which ranks like a blurred keyword search (its quality means nothing);
- adapters: the LangChain and LlamaIndex retrievers' ``invoke`` / ``retrieve``
  against ``TextCollection.search`` on the same collection, interleaved
  (target: at most 10 % more time a query), and beside them the cost of a
  framework's call by itself (a retriever of each that finds nothing) and of
  the adapters' own work (turning ten hits into the framework's objects);
- keyword quality: nDCG@10 and MRR@10 of our search beside the frameworks' own
  BM25 retrievers (LangChain's, over rank_bm25; LlamaIndex's, over bm25s) with
  their default tokenization, and how many questions each leaves with no
  document scoring above zero.

Usage: python3 bench/hybrid_bench.py DATASET_DIR [--queries 300] [--repeat 5]
       [--dimension 64] [--scoring engine|vectors] [--only fusion,adapters,quality]
(weighted fusion is timed for --scoring vectors, the collections that offer it)
(needs the milvus extra; the adapters need langchain-core and llama-index-core;
the quality comparison also needs langchain-community with rank_bm25 and
llama-index-retrievers-bm25, skipped where missing)
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

from pymiratext import Jieba, TextEncoder, default_paths, id_vector
from pymiratext.milvus import TextCollection

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
import eval_retrieval as ev  # noqa: E402


def read_set(folder, count):
    corpus = ev.read_tsv(os.path.join(folder, "corpus.tsv"), 2)
    queries = ev.read_tsv(os.path.join(folder, "queries.tsv"), 2)
    qrels = {}
    for query_id, doc_id, grade in ev.read_tsv(os.path.join(folder, "qrels.tsv"), 3):
        qrels.setdefault(query_id, {})[doc_id] = int(grade)
    queries = [(query_id, text) for query_id, text in queries if query_id in qrels][:count]
    return corpus, queries, qrels


class Projection:
    """BM25 vectors through a random projection, the same for documents and queries."""

    def __init__(self, encoder, dimension):
        self.encoder, self.dimension, self.rows = encoder, dimension, {}

    def _row(self, token):
        row = self.rows.get(token)
        if row is None:
            row = self.rows[token] = np.random.default_rng(token).standard_normal(self.dimension).astype(np.float32)
        return row

    def __call__(self, texts, queries=False):
        encode = self.encoder.encode_queries if queries else self.encoder.encode_documents
        out = np.zeros((len(texts), self.dimension), dtype=np.float32)
        for row, vector in zip(out, encode(list(texts))):
            for token, weight in id_vector(vector).items():
                row += weight * self._row(token)
        return out


def interleaved(functions, queries, repeat):
    """Per-query time of each function: for every query the functions take turns
    *repeat* times and the fastest of each counts, which keeps a shared
    machine's stalls out of the comparison; the mean over the queries."""
    total = {name: 0.0 for name in functions}
    for query in queries:
        best = {name: float("inf") for name in functions}
        for _ in range(repeat):
            for name, function in functions.items():
                start = time.perf_counter()
                function(query)
                best[name] = min(best[name], time.perf_counter() - start)
        for name in functions:
            total[name] += best[name]
    return {name: seconds / len(queries) for name, seconds in total.items()}


def bench_fusion(collection, projection, queries, repeat):
    from pymilvus import AnnSearchRequest, RRFRanker

    vectors = {query: projection([query], queries=True)[0] for query in queries}
    engine = collection.scoring == "engine"
    if engine:
        sparse = {query: " ".join(collection.encoder.tokens(query)) for query in queries}
        search = {"metric_type": "BM25"}
    else:
        sparse = {query: {k: w for k, w in id_vector(collection.encoder.encode_queries([query])[0]).items() if w > 0}
                  for query in queries}
        search = {"metric_type": "IP", "params": {"drop_ratio_search": 0.0}}

    def engine_hybrid(query):  # the client's call alone, as the collection makes it
        requests = [AnnSearchRequest([sparse[query]], "vector", search, 26),
                    AnnSearchRequest([vectors[query].tolist()], "dense", {"metric_type": "COSINE"}, 26)]
        return collection.client.hybrid_search(collection.milvus_name, requests, RRFRanker(60), limit=26,
                                               output_fields=["text"])

    def engine_dense(query):
        return collection.client.search(collection.milvus_name, data=[vectors[query].tolist()], anns_field="dense",
                                        limit=26, output_fields=["text"], search_params={"metric_type": "COSINE"})

    functions = {
        "sparse": lambda q: collection.search(q, top=10),
        "hybrid rrf": lambda q: collection.search(q, top=10, dense=vectors[q]),
        "engine hybrid": engine_hybrid,
        "engine dense": engine_dense,
    }
    if not engine:  # weighted fusion needs scores on a fixed scale
        functions["hybrid weighted"] = lambda q: collection.search(q, top=10, dense=vectors[q], fusion="weighted")
    best = interleaved(functions, queries, repeat)
    for name, seconds in best.items():
        print(f"  {name:16} {seconds / best['sparse']:.2f}x the sparse search")


def bench_adapters(collection, queries, repeat):
    functions = {"collection": lambda q: collection.search(q, top=10)}
    try:
        from pymiratext.langchain import PymiratextRetriever as LangChainRetriever

        chain = LangChainRetriever(collection=collection, k=10)
        functions["langchain"] = chain.invoke
    except ImportError as exc:
        print(f"  langchain: skipped ({exc})")
    try:
        from pymiratext.llama_index import PymiratextRetriever as LlamaRetriever

        llama = LlamaRetriever(collection, similarity_top_k=10)
        functions["llama_index"] = llama.retrieve
    except ImportError as exc:
        print(f"  llama_index: skipped ({exc})")
    functions.update(empty_retrievers())
    # The adapters' own work: turning a search's hits into the framework's objects.
    hits = {query: collection.search(query, top=10) for query in queries}
    if "langchain" in functions:
        from pymiratext.langchain import _document

        functions["langchain hits"] = lambda q: [_document(hit) for hit in hits[q]]
    if "llama_index" in functions:
        functions["llama_index hits"] = lambda q: [llama._node(hit) for hit in hits[q]]
    best = interleaved(functions, queries, repeat)
    for name, seconds in best.items():
        print(f"  {name:17} {seconds / best['collection']:.3f}x TextCollection.search")


def empty_retrievers():
    """Retrievers that find nothing: what each framework's call costs by itself."""
    functions = {}
    try:
        from langchain_core.retrievers import BaseRetriever

        class Nothing(BaseRetriever):
            def _get_relevant_documents(self, query, *, run_manager):
                return []

        functions["langchain empty"] = Nothing().invoke
    except ImportError:
        pass
    try:
        from llama_index.core.retrievers import BaseRetriever as LlamaBase

        class NothingLlama(LlamaBase):
            def _retrieve(self, query_bundle):
                return []

        functions["llama_index empty"] = NothingLlama().retrieve
    except ImportError:
        pass
    return functions


def quality(label, rank, queries, qrels):
    scores = {"nDCG@10": [], "MRR@10": []}
    empty = 0
    for query_id, text in queries:
        ranked = rank(text)
        empty += not ranked
        scores["nDCG@10"].append(ev.ndcg(ranked, qrels[query_id]))
        scores["MRR@10"].append(ev.mrr(ranked, qrels[query_id]))
    means = "  ".join(f"{name} {np.mean(values):.3f}" for name, values in scores.items())
    print(f"  {label:34} {means}  no document above zero: {empty}/{len(queries)}")


def bench_quality(collection, corpus, queries, qrels):
    doc_ids = [doc_id for doc_id, _text in corpus]
    quality("pymiratext", lambda q: [doc_ids[hit.id] for hit in collection.search(q, top=10)], queries, qrels)
    texts = [text for _doc_id, text in corpus]
    try:
        from langchain_community.retrievers import BM25Retriever
        from rank_bm25 import BM25Okapi

        chain = BM25Retriever.from_texts(texts, metadatas=[{"id": i} for i in doc_ids], k=10)

        def chain_rank(query):
            # The retriever returns k documents whatever they score; those scoring zero found nothing.
            scores = chain.vectorizer.get_scores(chain.preprocess_func(query))
            return [chain.docs[i].metadata["id"] for i in np.argsort(-scores, kind="stable")[:10] if scores[i] > 0]

        assert isinstance(chain.vectorizer, BM25Okapi)
        quality("LangChain BM25Retriever", chain_rank, queries, qrels)
    except ImportError as exc:
        print(f"  LangChain BM25Retriever: skipped ({exc})")
    try:
        from llama_index.core.schema import TextNode
        from llama_index.retrievers.bm25 import BM25Retriever as LlamaBM25

        nodes = [TextNode(text=text, id_=doc_id) for doc_id, text in corpus]
        llama = LlamaBM25.from_defaults(nodes=nodes, similarity_top_k=10)
        quality("LlamaIndex BM25Retriever", lambda q: [n.node.node_id for n in llama.retrieve(q) if n.score > 0],
                queries, qrels)
    except ImportError as exc:
        print(f"  LlamaIndex BM25Retriever: skipped ({exc})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("dataset")
    parser.add_argument("--queries", type=int, default=300)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--dimension", type=int, default=64)
    parser.add_argument("--only", default="fusion,adapters,quality")
    parser.add_argument("--scoring", default="engine", choices=("engine", "vectors"))
    args = parser.parse_args(argv)
    parts = set(args.only.split(","))
    corpus, queries, qrels = read_set(args.dataset, args.queries)
    texts = [text for _doc_id, text in corpus]
    encoder = TextEncoder(Jieba(**default_paths()), search=True)
    encoder.train(texts)
    projection = Projection(encoder, args.dimension)
    questions = [text for _query_id, text in queries]
    print(f"{len(texts)} documents, {len(questions)} questions, dense side {args.dimension} numbers")
    with tempfile.TemporaryDirectory(prefix="pymiratext-bench-") as folder:
        db = os.path.join(folder, "bench.db")
        with TextCollection.create(db, encoder, name="bench", dense_dimension=args.dimension,
                                   scoring=args.scoring) as collection:
            collection.add(texts, dense=projection(texts), progress=False)
            for query in questions[:20]:  # warm up
                collection.search(query, dense=projection([query], queries=True)[0])
            if "fusion" in parts:
                print("fusion (per query, best of turns):")
                bench_fusion(collection, projection, questions, args.repeat)
            if "adapters" in parts:
                print("adapters (per query, best of turns):")
                bench_adapters(collection, questions, args.repeat)
            if "quality" in parts:
                print("keyword search quality:")
                bench_quality(collection, corpus, queries, qrels)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Search in Milvus Lite against in-process search over the corpus file.

Builds a corpus of short documents (dictionary words drawn by their
frequency, so that token statistics look like text), then measures, in one
run:

- indexing end to end: training the model with TextEncoder, then encoding and
  inserting every document into a Milvus Lite database (MB/s of text);
- query latency of TextCollection.search (top 10): median and 95th percentile;
- the same for the in-process ranking behind `pymiratext search --corpus`,
  which encodes and scores every line for each query (fewer queries: it is slow);

and prints the ratio of the medians, and whether both give the same top ids.

Usage: python3 bench/milvus_bench.py [--docs 50000] [--queries 1000]
       [--baseline-queries 10] [--threads 0] [--seed 1]
(needs pymiratext installed with its milvus extra)
"""

import argparse
import os
import random
import statistics
import tempfile
import time

from pymiratext import Jieba, TextEncoder, default_paths
from pymiratext._pipeline import Tokenizer, rank
from pymiratext.milvus import TextCollection

PUNCTUATION = "，，，。、；"


def make_corpus(count, rng):
    """*count* documents of 6 to 16 dictionary words with some punctuation."""
    words, weights = [], []
    with open(default_paths()["dict_path"], encoding="utf-8") as stream:
        for line in stream:
            parts = line.split()
            if len(parts) >= 2:
                words.append(parts[0])
                weights.append(float(parts[1]))
    drawn = iter(rng.choices(words, weights, k=count * 16))
    docs = []
    for _ in range(count):
        n = rng.randint(6, 16)
        pieces = []
        for i in range(n):
            pieces.append(next(drawn))
            if i + 1 < n and rng.random() < 0.15:
                pieces.append(rng.choice(PUNCTUATION))
        docs.append("".join(pieces) + "。")
    return docs


def make_queries(docs, count, rng, encoder):
    """Short queries cut from random documents (2 to 4 of their tokens)."""
    queries = []
    while len(queries) < count:
        tokens = encoder.tokens(rng.choice(docs))
        if len(tokens) >= 2:
            start = rng.randrange(len(tokens) - 1)
            queries.append("".join(tokens[start : start + rng.randint(2, 4)]))
    return queries


def percentiles(seconds):
    ordered = sorted(seconds)
    p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
    return statistics.median(ordered), p95


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--docs", type=int, default=50000)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--baseline-queries", type=int, default=10)
    parser.add_argument("--threads", type=int, default=0)
    parser.add_argument("--seed", type=int, default=1)
    args = parser.parse_args()
    rng = random.Random(args.seed)

    jieba = Jieba(**default_paths())
    docs = make_corpus(args.docs, rng)
    megabytes = sum(len(d.encode("utf-8")) + 1 for d in docs) / 1e6
    print(f"corpus: {len(docs)} documents, {megabytes:.2f} MB, "
          f"{sum(map(len, docs)) / len(docs):.1f} characters a document")

    with tempfile.TemporaryDirectory(prefix="milvus-bench-") as folder:
        corpus_path = os.path.join(folder, "corpus.txt")
        with open(corpus_path, "w", encoding="utf-8") as stream:
            stream.write("\n".join(docs) + "\n")

        encoder = TextEncoder(jieba, search=True)
        t0 = time.perf_counter()
        encoder.train(docs, threads=args.threads)
        t1 = time.perf_counter()
        collection = TextCollection.create(os.path.join(folder, "bench.db"), encoder, "bench")
        added = collection.add(docs, ids=range(1, len(docs) + 1), threads=args.threads, progress=False)
        t2 = time.perf_counter()
        print(f"indexing: train {t1 - t0:.2f} s, encode and insert {t2 - t1:.2f} s ({added} documents); "
              f"end to end {megabytes / (t2 - t0):.2f} MB/s")

        queries = make_queries(docs, args.queries, rng, encoder)
        collection.search(queries[0], top=10)  # the first search loads the index
        latencies, results = [], {}
        for query in queries:
            start = time.perf_counter()
            hits = collection.search(query, top=10)
            latencies.append(time.perf_counter() - start)
            results[query] = [hit.id for hit in hits]
        median, p95 = percentiles(latencies)
        print(f"Milvus Lite search: median {median * 1e3:.2f} ms, p95 {p95 * 1e3:.2f} ms "
              f"over {len(queries)} queries")

        tokenizer = Tokenizer(search=True, threads=args.threads)
        tokenizer.jieba  # loads the segmenter before the clock starts
        baseline, same = [], 0
        for query in queries[: args.baseline_queries]:
            start = time.perf_counter()
            _tokens, hits = rank(encoder.model, tokenizer, query, [corpus_path], 10)
            baseline.append(time.perf_counter() - start)
            same += [number for _score, number, _text in hits] == results[query]
        base_median, base_p95 = percentiles(baseline)
        print(f"in-process search --corpus: median {base_median * 1e3:.1f} ms, p95 {base_p95 * 1e3:.1f} ms "
              f"over {len(baseline)} queries; same top 10 ids for {same} of them")
        print(f"ratio (in-process median / Milvus Lite median): {base_median / median:.0f}x")
        collection.close()


if __name__ == "__main__":
    main()

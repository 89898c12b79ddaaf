#!/usr/bin/env python3
"""Indexing into Milvus Lite and searching it, against the work each replaces.

Builds a news-like corpus (dictionary words drawn by their frequency, 12 to
48 a line with some punctuation, about 180 bytes a line), then measures, in
one run:

- index: ``pymiratext index --db`` on the corpus file (engine-scored, the
  default, and ``--scoring vectors``) against ``pymiratext train`` on the
  same file, all as fresh processes, run in turns; the best of --repeat runs
  of each, and their ratios (target: at most 3);
- delete: 10 % of a collection of --delete-docs documents deleted, then the
  queries' results compared with a fresh build on the documents that remain
  (target: equal);
- queries: 1,000 queries through one ``pymiratext search --db --queries FILE``
  against separate ``search --db`` calls, of which the first 20 are timed and
  scaled to 1,000 (target: at least 20 times faster), and the first 20 queries'
  results compared between the two;
- csr: ``TextEncoder.encode_documents_csr`` of 50,000 short documents against
  building the same CSR matrix in Python from ``encode_documents``' dicts
  (target: at least 3 times faster); the best of --repeat runs of each, checked equal;
- latency: the median and 95th percentile of ``TextCollection.search`` in
  one process (top 10).

Usage: python3 bench/milvus_bench.py [--megabytes 10] [--queries 1000]
       [--separate 20] [--csr-docs 50000] [--delete-docs 50000] [--repeat 3]
       [--only index,delete,queries,csr,latency]
(needs pymiratext installed with its milvus extra; scipy is not needed)
"""

import argparse
import functools
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

from pymiratext import Jieba, TextEncoder, default_paths, id_vector

PUNCTUATION = "，，，。、；"
print = functools.partial(print, flush=True)  # noqa: A001 - results show as they come, even through a pipe
SECTIONS = ("index", "delete", "queries", "csr", "latency")


def dictionary_words():
    """The bundled dictionary's words and their cumulative frequencies."""
    words, cumulative, total = [], [], 0.0
    with open(default_paths()["dict_path"], encoding="utf-8") as stream:
        for line in stream:
            parts = line.split()
            if len(parts) >= 2:
                words.append(parts[0])
                total += float(parts[1])
                cumulative.append(total)
    return words, cumulative


def make_lines(rng, count=None, size=None, shortest=12, longest=48):
    """Lines of *shortest* to *longest* dictionary words: *count* of them, or about *size* bytes."""
    words, cumulative = dictionary_words()
    lines, total = [], 0
    while (count is None or len(lines) < count) and (size is None or total < size):
        n = rng.randint(shortest, longest)
        pieces = []
        for i, word in enumerate(rng.choices(words, cum_weights=cumulative, k=n)):
            pieces.append(word)
            if i + 1 < n and rng.random() < 0.12:
                pieces.append(rng.choice(PUNCTUATION))
        line = "".join(pieces) + "。"
        lines.append(line)
        total += len(line.encode("utf-8")) + 1
    return lines


def make_queries(lines, count, rng, encoder):
    """Short queries cut from random lines (2 to 4 of their tokens)."""
    queries = []
    while len(queries) < count:
        tokens = encoder.tokens(rng.choice(lines))
        if len(tokens) >= 2:
            start = rng.randrange(len(tokens) - 1)
            queries.append("".join(tokens[start : start + rng.randint(2, 4)]))
    return queries


def command(*argv, stdout=subprocess.DEVNULL):
    """Runs ``pymiratext ARGV`` in a fresh interpreter; returns (seconds, output)."""
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "pymiratext", *map(str, argv)], stdout=stdout,
                          stderr=subprocess.PIPE, text=True)
    seconds = time.perf_counter() - start
    if done.returncode != 0:
        raise SystemExit(f"pymiratext {' '.join(map(str, argv))} failed: {done.stderr.strip()}")
    return seconds, done.stdout


def remove_database(db):
    for path in (db, os.path.join(os.path.dirname(db), f".{os.path.basename(db)}.lock"),
                 f"{db}.pymiratext.bm25.json"):
        if os.path.exists(path):
            os.remove(path)


def bench_index(folder, corpus, repeat):
    db = os.path.join(folder, "index.db")
    trains, indexes, vectors = [], [], []
    for _ in range(repeat):
        trains.append(command("train", corpus, "-o", os.path.join(folder, "model.json"))[0])
        remove_database(db)
        vectors.append(command("index", "--db", db, "--scoring", "vectors", corpus)[0])
        remove_database(db)
        indexes.append(command("index", "--db", db, corpus)[0])
    train, index, vector = min(trains), min(indexes), min(vectors)
    print(f"index: train {train:.2f} s, index --db {index:.2f} s, index --db --scoring vectors {vector:.2f} s "
          f"(best of {repeat}; all: train {', '.join(f'{t:.1f}' for t in trains)}; "
          f"index {', '.join(f'{t:.1f}' for t in indexes)}; vectors {', '.join(f'{t:.1f}' for t in vectors)})")
    print(f"  index / train = {index / train:.2f} (target <= 3); vectors / train = {vector / train:.2f}")
    return db


def bench_delete(folder, rng, count, queries):
    """Deletes a tenth of *count* documents; the answers must equal a fresh build's."""
    from pymiratext.milvus import TextCollection

    lines = make_lines(rng, count=count)
    encoder = TextEncoder(Jieba(**default_paths()), search=True)
    db = os.path.join(folder, "delete.db")
    gone = set(rng.sample(range(count), count // 10))
    with TextCollection.build(db, encoder, enumerate(lines), name="changed") as changed:
        start = time.perf_counter()
        removed = changed.delete(sorted(gone))
        seconds = time.perf_counter() - start
        after = [changed.search(query, top=10) for query in queries]
    kept = [(n, text) for n, text in enumerate(lines) if n not in gone]
    with TextCollection.build(db, encoder, kept, name="fresh") as fresh:
        expected = [fresh.search(query, top=10) for query in queries]
    same = sum(1 for a, b in zip(after, expected)
               if [h.id for h in a] == [h.id for h in b]
               and all(abs(x.score - y.score) <= 1e-5 * max(1.0, abs(y.score)) for x, y in zip(a, b)))
    print(f"delete: {removed} of {count} documents deleted in {seconds:.2f} s; "
          f"{same} of {len(queries)} queries answer as a fresh build on the rest (target: all)")


def bench_queries(folder, db, queries, separate):
    path = os.path.join(folder, "queries.txt")
    with open(path, "w", encoding="utf-8") as stream:
        stream.write("\n".join(queries) + "\n")
    many, output = command("search", "--db", db, "--queries", path, stdout=subprocess.PIPE)
    blocks = output.split("\n\n")
    one_by_one, same = 0.0, 0
    for query, block in zip(queries[:separate], blocks):
        seconds, single = command("search", "--db", db, query, stdout=subprocess.PIPE)
        one_by_one += seconds
        same += block.split("\n", 1)[1].rstrip("\n") == single.rstrip("\n")
    scaled = one_by_one / separate * len(queries)
    print(f"queries: {len(queries)} through --queries {many:.2f} s; {separate} separate calls "
          f"{one_by_one:.1f} s, scaled to {len(queries)}: {scaled:.0f} s; same output for {same} of {separate}")
    print(f"  separate / --queries = {scaled / many:.0f} (target >= 20)")


def python_csr(encoder, docs):
    """The CSR arrays built in Python from encode_documents' dicts, as a user would."""
    indptr, indices, data = [0], [], []
    for vector in encoder.encode_documents(docs):
        row = id_vector(vector)
        indices.extend(row)
        data.extend(row.values())
        indptr.append(len(indices))
    return np.array(data, np.float32), np.array(indices, np.uint32), np.array(indptr, np.int64)


def best_of(repeat, function):
    seconds, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = function()
        seconds.append(time.perf_counter() - start)
    return min(seconds), result


def bench_csr(jieba, rng, count, repeat):
    docs = make_lines(rng, count=count, shortest=6, longest=16)
    encoder = TextEncoder(jieba, search=True)
    encoder.train(docs)
    python, expected = best_of(repeat, lambda: python_csr(encoder, docs))
    native, got = best_of(repeat, lambda: encoder.encode_documents_csr(docs, format="numpy"))
    equal = all(np.array_equal(a, b) for a, b in zip(expected, got))
    print(f"csr: {count} documents, {len(got[0])} weights: Python from dicts {python:.2f} s, "
          f"encode_documents_csr {native:.2f} s (best of {repeat}); equal: {equal}")
    print(f"  python / csr = {python / native:.2f} (target >= 3)")


def bench_latency(db, queries):
    from pymiratext.milvus import TextCollection

    with TextCollection.open(db) as collection:
        collection.search(queries[0], top=10)
        latencies = []
        for query in queries:
            start = time.perf_counter()
            collection.search(query, top=10)
            latencies.append(time.perf_counter() - start)
    median, p95 = percentiles(latencies)
    print(f"latency: TextCollection.search median {median * 1e3:.2f} ms, "
          f"p95 {p95 * 1e3:.2f} ms over {len(queries)} queries")


def percentiles(seconds):
    """The median and the 95th percentile of *seconds*."""
    ordered = sorted(seconds)
    p95 = ordered[min(len(ordered) - 1, int(round(0.95 * (len(ordered) - 1))))]
    return statistics.median(ordered), p95


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--megabytes", type=float, default=10.0)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--separate", type=int, default=20)
    parser.add_argument("--csr-docs", type=int, default=50000)
    parser.add_argument("--delete-docs", type=int, default=50000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--only", default=",".join(SECTIONS))
    args = parser.parse_args()
    only = set(args.only.split(","))
    rng = random.Random(args.seed)
    jieba = Jieba(**default_paths())

    with tempfile.TemporaryDirectory(prefix="milvus-bench-") as folder:
        lines = make_lines(rng, size=args.megabytes * 1e6)
        corpus = os.path.join(folder, "corpus.txt")
        with open(corpus, "w", encoding="utf-8") as stream:
            stream.write("\n".join(lines) + "\n")
        print(f"corpus: {len(lines)} lines, {os.path.getsize(corpus) / 1e6:.1f} MB")
        db = os.path.join(folder, "index.db")
        if "index" in only:
            bench_index(folder, corpus, args.repeat)
        elif only & {"queries", "latency"}:
            command("index", "--db", db, corpus)
        queries = make_queries(lines, args.queries, rng, TextEncoder(jieba))
        if "delete" in only:
            bench_delete(folder, rng, args.delete_docs, queries[:200])
        if "queries" in only:
            bench_queries(folder, db, queries, args.separate)
        if "latency" in only:
            bench_latency(db, queries)
        if "csr" in only:
            bench_csr(jieba, rng, args.csr_docs, args.repeat)


if __name__ == "__main__":
    main()

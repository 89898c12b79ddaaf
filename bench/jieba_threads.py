#!/usr/bin/env python3
"""Throughput of Jieba.cut with one and with two Python threads.

cut and cut_for_search release the interpreter lock, so two threads sharing
one Jieba should cut close to twice as fast as one on a two-core machine.

Usage: python3 bench/jieba_threads.py [--repeat N] [--rounds R]
(needs pymiratext installed; uses the shipped data and sample corpus)
"""

import argparse
import threading
import time

import pymiratext
from pymiratext import default_paths
from pymiratext._data import sample_corpus_path


def run(jieba, method, docs, threads):
    """Cuts every document once per thread; returns (seconds, bytes cut)."""
    cut = getattr(jieba, method)
    start = threading.Barrier(threads + 1)

    def worker():
        start.wait()
        for doc in docs:
            cut(doc)

    pool = [threading.Thread(target=worker) for _ in range(threads)]
    for t in pool:
        t.start()
    start.wait()
    t0 = time.perf_counter()
    for t in pool:
        t.join()
    elapsed = time.perf_counter() - t0
    return elapsed, threads * sum(len(d.encode("utf-8")) for d in docs)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=40, help="copies of the corpus per document")
    parser.add_argument("--rounds", type=int, default=3, help="timed rounds; the best is kept")
    args = parser.parse_args()

    t0 = time.perf_counter()
    jieba = pymiratext.Jieba(**default_paths())
    print(f"load: {time.perf_counter() - t0:.2f} s")
    with open(sample_corpus_path(), encoding="utf-8") as f:
        corpus = [line.strip() for line in f if line.strip()]
    # Long documents keep the lock-free part of each call dominant.
    docs = ["".join(corpus)] * args.repeat
    jieba.cut(docs[0])  # warm up caches and allocator before timing

    for method in ("cut", "cut_for_search"):
        rates = {}
        for threads in (1, 2):
            best = min(run(jieba, method, docs, threads) for _ in range(args.rounds))
            rates[threads] = best[1] / best[0] / 1e6
            print(f"{method:15s} threads={threads}: {rates[threads]:6.2f} MB/s")
        print(f"{method:15s} speed-up 2 vs 1 thread: {rates[2] / rates[1]:.2f}x")


if __name__ == "__main__":
    main()

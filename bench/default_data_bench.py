#!/usr/bin/env python3
"""Cost of the bundled data: file sizes, Jieba load time and resident memory,
and single-thread cut throughput on a large text, with BM25 training on the
result as a baseline run in the same process.

Usage: python3 bench/default_data_bench.py [--megabytes N]
(needs pymiratext installed)
"""

import argparse
import os
import time

import pymiratext
from pymiratext._data import sample_corpus_path


def rss_mib():
    """Resident set size of this process, from /proc."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return float("nan")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--megabytes", type=float, default=20.0, help="size of the text to cut")
    args = parser.parse_args()

    paths = pymiratext.default_paths()
    for key, path in paths.items():
        print(f"{os.path.basename(path):16s} {os.path.getsize(path) / 1e6:8.2f} MB")

    before = rss_mib()
    t0 = time.perf_counter()
    jieba = pymiratext.Jieba(**paths)
    load = time.perf_counter() - t0
    print(f"load time        {load:8.2f} s")
    print(f"resident memory  {rss_mib() - before:8.1f} MiB for the loaded Jieba")

    with open(sample_corpus_path(), encoding="utf-8") as f:
        corpus = [line.strip() for line in f if line.strip()]
    size = sum(len(d.encode("utf-8")) for d in corpus)
    docs = corpus * max(1, int(args.megabytes * 1e6 / size))
    total = sum(len(d.encode("utf-8")) for d in docs)
    chars = sum(len(d) for d in docs)

    for method in ("cut", "cut_for_search"):
        cut = getattr(jieba, method)
        t0 = time.perf_counter()
        tokens = [cut(d) for d in docs]
        elapsed = time.perf_counter() - t0
        print(f"{method:16s} {total / elapsed / 1e6:8.2f} MB/s  {chars / elapsed / 1e6:6.2f} M chars/s"
              f"  ({total / 1e6:.1f} MB, {sum(map(len, tokens))} words)")

    model = pymiratext.BM25()
    t0 = time.perf_counter()
    for words in tokens:
        model.train(words)
    train = time.perf_counter() - t0
    print(f"BM25 train       {total / train / 1e6:8.2f} MB/s of text "
          f"(ratio cut_for_search : train time = {elapsed / train:.2f})")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Cost of tokenize, tag and extract_keywords relative to cut, in one run.

Each method runs over the same documents, interleaved round by round so that
machine load hits all alike; the best round of each is compared with cut's.
The native extract_keywords should cost clearly less than cut followed by the
same TF-IDF in Python (its own extra cost is mostly look-ups in the large IDF
table).

Usage: python3 bench/analysis_bench.py [--repeat N] [--rounds R]
(needs pymiratext installed; uses the shipped data and sample corpus)
"""

import argparse
import time
import unicodedata

import pymiratext
from pymiratext import default_paths
from pymiratext._data import sample_corpus_path


def python_keywords(jieba, idf, mean, stop, text, top_k=20):
    """The same ranking as extract_keywords, in Python over cut."""
    counts = {}
    total = 0
    for w in jieba.cut(text):
        if len(w) >= 2 and w not in stop and any(unicodedata.category(c)[0] in "LN" for c in w):
            counts[w] = counts.get(w, 0) + 1
            total += 1
    ranked = sorted(((w, n / total * idf.get(w, mean)) for w, n in counts.items()), key=lambda p: -p[1])
    return ranked[:top_k] if top_k else ranked


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=20, help="copies of the sample corpus")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()

    paths = default_paths()
    jieba = pymiratext.Jieba(**paths)
    with open(sample_corpus_path(), encoding="utf-8") as f:
        docs = [line.rstrip("\n") for line in f if line.strip()] * args.repeat
    idf, total, lines = {}, 0.0, 0
    with open(paths["idf_path"], encoding="utf-8") as f:
        for line in f:
            lines += 1
            word, value = line.rstrip("\n").split(" ")
            idf[word] = float(value)
            total += float(value)
    with open(paths["stop_word_path"], encoding="utf-8") as f:
        stop = {line.rstrip("\n") for line in f}

    methods = {
        "cut": jieba.cut,
        "tokenize": jieba.tokenize,
        "tag": jieba.tag,
        "extract_keywords": jieba.extract_keywords,
        "Python TF-IDF over cut": lambda d: python_keywords(jieba, idf, total / lines, stop, d),
    }
    best = {name: float("inf") for name in methods}
    for _ in range(args.rounds):
        for name, method in methods.items():
            t0 = time.perf_counter()
            for d in docs:
                method(d)
            best[name] = min(best[name], time.perf_counter() - t0)
    print(f"{len(docs)} documents, best of {args.rounds} rounds")
    for name, seconds in best.items():
        print(f"  {name:24s} {seconds * 1000:8.1f} ms  {seconds / best['cut']:5.2f} x cut")


if __name__ == "__main__":
    main()

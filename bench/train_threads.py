#!/usr/bin/env python3
"""How TextEncoder.train scales with threads, as ratios measured in one run.

For the default and the legacy encoder: train(texts, threads=2) against
threads=1 (best of --rounds, wall time), and the two model files compared
byte for byte.

The texts are the bundled sample corpus's lines shuffled and repeated, or
with --corpus FILE the lines of FILE (the text after the last tab of a TSV
line) up to --megabytes MB: a real corpus has the many rare tokens that
make the count tables large.

Usage: python3 bench/train_threads.py [--corpus FILE] [--megabytes 4] [--rounds 5]
"""

import argparse
import os
import sys
import tempfile
import time

import pymiratext
from pymiratext import TextEncoder
from pymiratext._data import default_paths

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from encoder_bench import corpus_lines  # noqa: E402


def read_corpus(path, megabytes):
    lines, size = [], 0
    with open(path, encoding="utf-8") as stream:
        for line in stream:
            text = line.rstrip("\n").rsplit("\t", 1)[-1]
            if not text.strip():
                continue
            lines.append(text)
            size += len(text.encode("utf-8"))
            if size >= megabytes * 1e6:
                break
    return lines


def best(rounds, fn):
    times = []
    for _ in range(rounds):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def model_file(encoder):
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "m.json")
        encoder.model.dump(path)
        with open(path, "rb") as stream:
            return stream.read()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--corpus")
    parser.add_argument("--megabytes", type=float, default=4.0)
    parser.add_argument("--texts", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    texts = read_corpus(args.corpus, args.megabytes) if args.corpus else corpus_lines(args.texts)
    size = sum(len(t.encode("utf-8")) for t in texts) / 1e6
    jieba = pymiratext.Jieba(**default_paths())
    print(f"{len(texts)} texts, {size:.1f} MB, best of {args.rounds}")
    for name, options in [("default", {}), ("legacy", {"legacy": True})]:
        files, times = {}, {}
        for threads in (1, 2):
            encoders = []

            def train():
                encoder = TextEncoder(jieba, **options)
                encoder.train(texts, threads=threads)
                encoders.append(encoder)
            times[threads] = best(args.rounds, train)
            files[threads] = model_file(encoders[-1])
        same = "same model file" if files[1] == files[2] else "MODEL FILES DIFFER"
        print(f"{name:8} train threads=2 / threads=1: {times[1] / times[2]:5.2f}x  ({same})")


if __name__ == "__main__":
    main()

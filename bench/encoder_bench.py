#!/usr/bin/env python3
"""Speed of the native text-to-vector path, as ratios measured in one run.

1. TextEncoder.encode_documents(texts, threads=1) against a per-line loop of
   the per-call API (cut, the letter-or-digit filter, encode_document), and
   against bare Jieba.cut_many(texts, threads=1).
2. encode_documents with threads=2 against threads=1.
3. `pymiratext train --threads 2` against the command of another installation
   (--baseline PYTHON: an interpreter with that pymiratext installed) on a
   generated corpus of about --megabytes MB; both model files must be equal.
4. With --baseline, the default TextEncoder of each installation on one
   thread: indexing (train, then encode_documents) of the texts, and
   encode_queries of short queries cut from them.

The corpus repeats the bundled sample corpus's lines, shuffled with a fixed
seed. Timings are the best of --rounds runs.

Usage: python3 bench/encoder_bench.py [--texts N] [--rounds R]
                                      [--baseline /path/to/old/python] [--megabytes 10]
"""

import argparse
import os
import random
import subprocess
import sys
import tempfile
import time
import unicodedata

import pymiratext
from pymiratext import TextEncoder
from pymiratext._data import default_paths, sample_corpus_path


def best(rounds, fn, clock=time.perf_counter):
    times = []
    for _ in range(rounds):
        t0 = clock()
        fn()
        times.append(clock() - t0)
    return min(times)


def cpu(rounds, fn):
    """Best processor time of the process: steadier than wall time on a busy
    machine, and the same measure for work that runs on one thread."""
    return best(rounds, fn, time.process_time)


def corpus_lines(count, seed=7):
    with open(sample_corpus_path(), encoding="utf-8") as stream:
        lines = [line.rstrip("\n") for line in stream if line.strip()]
    rng = random.Random(seed)
    out = []
    while len(out) < count:
        batch = lines[:]
        rng.shuffle(batch)
        out.extend(batch)
    return out[:count]


def is_term(word):
    return any(unicodedata.category(ch)[0] in "LN" for ch in word)


def read_stop_words(path):
    with open(path, encoding="utf-8") as stream:
        return frozenset(line.rstrip("\r\n") for line in stream) - {""}


def bench_encoder(args):
    jieba = pymiratext.Jieba(**default_paths())
    stop = read_stop_words(default_paths()["stop_word_path"])
    texts = corpus_lines(args.texts)
    size = sum(len(t.encode("utf-8")) for t in texts) / 1e6
    encoder = TextEncoder(jieba)
    encoder.train(texts, threads=1)
    model = encoder.model

    def per_line():
        for text in texts:
            tokens = [w for w in jieba.cut(text) if is_term(w) and w not in stop]
            model.encode_document(tokens)

    loop = best(args.rounds, per_line)
    one = best(args.rounds, lambda: encoder.encode_documents(texts, threads=1))
    two = best(args.rounds, lambda: encoder.encode_documents(texts, threads=2))
    cut = best(args.rounds, lambda: jieba.cut_many(texts, threads=1))
    loop_cpu = cpu(args.rounds, per_line)
    one_cpu = cpu(args.rounds, lambda: encoder.encode_documents(texts, threads=1))
    cut_cpu = cpu(args.rounds, lambda: jieba.cut_many(texts, threads=1))

    print(f"{len(texts)} texts, {size:.2f} MB, best of {args.rounds} (wall time)")
    print(f"  per-line loop (cut, filter, encode_document): {size / loop:6.2f} MB/s")
    print(f"  cut_many(threads=1):                          {size / cut:6.2f} MB/s")
    print(f"  encode_documents(threads=1):                  {size / one:6.2f} MB/s")
    print(f"  encode_documents(threads=2):                  {size / two:6.2f} MB/s")
    print("ratio                                          wall    cpu")
    print(f"encode_documents(threads=1) / per-line loop:   {loop / one:5.2f}x {loop_cpu / one_cpu:5.2f}x  (target >= 3)")
    print(f"encode_documents(threads=1) / cut_many:        {cut / one:5.2f}x {cut_cpu / one_cpu:5.2f}x  (target >= 0.8)")
    print(f"encode_documents threads=2 / threads=1:        {one / two:5.2f}x          (target >= 1.8)")


def bench_command(args):
    with tempfile.TemporaryDirectory(prefix="encoder-bench-") as scratch:
        corpus = os.path.join(scratch, "corpus.txt")
        rng = random.Random(11)
        base = corpus_lines(10_000)
        with open(corpus, "w", encoding="utf-8") as stream:
            written = 0
            while written < args.megabytes * 1e6:
                rng.shuffle(base)
                chunk = "\n".join(base) + "\n"
                stream.write(chunk)
                written += len(chunk.encode("utf-8"))
        size = os.path.getsize(corpus) / 1e6

        # Both builds segment with one data folder, so their model files compare.
        data = args.dict or os.path.dirname(pymiratext.default_paths()["dict_path"])

        def train(python, output, *extra, source=corpus):
            command = [python, "-m", "pymiratext", "train", source, "-o", output, "--dict", data, *extra]
            subprocess.run(command, check=True, stderr=subprocess.DEVNULL)

        new_model = os.path.join(scratch, "new.json")
        old_model = os.path.join(scratch, "old.json")
        # --legacy: the index terms of the baseline's release, so both do the
        # same work (their model files still differ where cuts were mended).
        new = best(args.rounds, lambda: train(sys.executable, new_model, "--threads", "2", "--legacy"))
        old = best(args.rounds, lambda: train(args.baseline, old_model))
        with open(new_model, "rb") as a, open(old_model, "rb") as b:
            same = a.read() == b.read()
        # The fixed cost of a run (interpreter, data load) on a one-line corpus.
        one_line = os.path.join(scratch, "one.txt")
        with open(one_line, "w", encoding="utf-8") as stream:
            stream.write(base[0] + "\n")
        new_start = best(args.rounds,
                         lambda: train(sys.executable, new_model, "--threads", "2", "--legacy", source=one_line))
        old_start = best(args.rounds, lambda: train(args.baseline, old_model, source=one_line))
        print(f"pymiratext train on {size:.1f} MB, best of {args.rounds} (start-up: a one-line corpus)")
        print(f"  baseline:              {old:6.2f} s  (start-up {old_start:5.2f} s)")
        print(f"  --threads 2:           {new:6.2f} s  (start-up {new_start:5.2f} s)")
        print(f"train --threads 2 / baseline:                  {old / new:5.2f}x  (target >= 3)")
        print(f"  the same without start-up:                   {(old - old_start) / (new - new_start):5.2f}x")
        print(f"same model file: {same}")


# Run in each installation's interpreter: processor seconds of indexing and
# of query encoding with that installation's default TextEncoder.
_DEFAULTS_CHILD = r"""
import json, sys, time
import pymiratext
texts = json.load(sys.stdin)
queries = [q for t in texts for q in t.replace("，", "。").split("。") if 2 <= len(q) <= 20]
jieba = pymiratext.Jieba(**pymiratext.default_paths())

def run(fn, rounds):
    best = float("inf")
    for _ in range(rounds):
        t0 = time.process_time()
        fn()
        best = min(best, time.process_time() - t0)
    return best

def index():
    encoder = pymiratext.TextEncoder(jieba)
    encoder.train(texts, threads=1)
    encoder.encode_documents(texts, threads=1)

encoder = pymiratext.TextEncoder(jieba)
encoder.train(texts, threads=1)
rounds = int(sys.argv[1])
print(json.dumps({"index": run(index, rounds),
                  "query": run(lambda: encoder.encode_queries(queries, threads=1), rounds),
                  "queries": len(queries)}))
"""


def bench_defaults(args):
    import json

    texts = corpus_lines(args.texts)
    size = sum(len(t.encode("utf-8")) for t in texts) / 1e6

    def measure(python):
        done = subprocess.run([python, "-c", _DEFAULTS_CHILD, str(args.rounds)], input=json.dumps(texts),
                              capture_output=True, text=True, check=True)
        return json.loads(done.stdout)

    # The two alternate, so that a busy spell of the machine hits both.
    new, old = measure(sys.executable), measure(args.baseline)
    for _ in range(args.rounds - 1):
        for best, python in ((new, sys.executable), (old, args.baseline)):
            again = measure(python)
            best.update({key: min(best[key], again[key]) for key in ("index", "query")})
    print(f"default TextEncoder, one thread, {len(texts)} texts ({size:.2f} MB), "
          f"{new['queries']} queries; best of {args.rounds}x{args.rounds} (processor time)")
    print(f"  indexing (train + encode_documents): baseline {old['index']:.3f} s, this {new['index']:.3f} s")
    print(f"  encode_queries:                       baseline {old['query']:.3f} s, this {new['query']:.3f} s")
    print(f"indexing speed / baseline's:                   {old['index'] / new['index']:5.2f}x  (target >= 0.8)")
    print(f"query encoding speed / baseline's:             {old['query'] / new['query']:5.2f}x  (target >= 0.8)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--texts", type=int, default=20000, help="texts encoded (default 20000)")
    parser.add_argument("--rounds", type=int, default=3, help="timed rounds; the best is kept")
    parser.add_argument("--baseline", metavar="PYTHON", help="interpreter of the installation to compare the command with")
    parser.add_argument("--megabytes", type=float, default=10.0, help="corpus size for the command (default 10)")
    parser.add_argument("--dict", metavar="DIR", help="data folder both commands use (default: this installation's)")
    args = parser.parse_args()
    bench_encoder(args)
    if args.baseline:
        bench_defaults(args)
        bench_command(args)


if __name__ == "__main__":
    main()

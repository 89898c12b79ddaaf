#!/usr/bin/env python3
"""BM25 speed against a plain-Python implementation of the same formulas.

Prints, from one run, the ratio of each BM25 method's throughput to that of
`CounterBM25` below (collections.Counter, the same formulas, the same output
order), the batch methods with threads=1 against the same per-call loop, and
the batch methods with threads=2 against threads=1.

Usage: python3 bench/bm25_bench.py [--tokens corpus|zipf] [--documents N] [--rounds R]
(needs pymiratext installed; `corpus` cuts the shipped sample corpus with the
shipped data, `zipf` draws Chinese-like words from a Zipf distribution)
"""

import argparse
import math
import random
import time
from collections import Counter

import pymiratext
from pymiratext import BM25


class CounterBM25:
    """The reference: BM25 in plain Python, results equal to BM25's."""

    def __init__(self, b=0.75, k1=1.2):
        self.b, self.k1 = b, k1
        self.doc_count = 0
        self.doc_length_total = 0
        self.doc_length_average = 0.0
        self.frequency = Counter()

    def train(self, tokens):
        if not tokens:
            raise RuntimeError("trainning tokens_vec should not be empty")
        self.frequency.update(tokens)
        self.doc_count += 1
        self.doc_length_total += len(tokens)
        self.doc_length_average = self.doc_length_total / self.doc_count

    def encode_document(self, tokens):
        if not tokens:
            return {}
        norm = ((len(tokens) / self.doc_length_average) * self.b + (1.0 - self.b)) * self.k1
        counts = Counter(tokens)
        return {t: counts[t] / (norm + counts[t]) for t in sorted(counts)}

    def encode_query(self, tokens):
        if not tokens:
            return {}
        documents = float(self.doc_count + 1)
        frequency = self.frequency
        weights = {
            t: math.log(documents / (frequency[t] + 0.5)) if t in frequency else math.log(documents / 1.5)
            for t in sorted(set(tokens))
        }
        total = sum(weights.values())
        return {t: w / total for t, w in weights.items()}


def corpus_documents(count, rng):
    """Documents of about 100 words, each a run of cut sample-corpus lines."""
    jieba = pymiratext.Jieba(**pymiratext.default_paths())
    from pymiratext._data import sample_corpus_path

    with open(sample_corpus_path(), encoding="utf-8") as f:
        lines = [jieba.cut(line.strip()) for line in f if line.strip()]
    documents = []
    for _ in range(count):
        document = []
        while len(document) < 100:
            document += rng.choice(lines)
        documents.append(document)
    return documents


def zipf_documents(count, rng, vocabulary=50000):
    """Documents of 50 to 150 words drawn with Zipf weights from 1-4 character words."""
    words = ["".join(chr(0x4E00 + rng.randrange(20000)) for _ in range(rng.choice((1, 2, 2, 2, 3, 4))))
             for _ in range(vocabulary)]
    weights = [1.0 / (rank + 1) for rank in range(vocabulary)]
    return [rng.choices(words, weights, k=rng.randint(50, 150)) for _ in range(count)]


def measure(variants, rounds, clock):
    """The shortest time of each variant over `rounds` rounds, the variants
    taking turns so that a busy spell on the machine hits all of them."""
    best = {name: float("inf") for name in variants}
    for _ in range(rounds):
        for name, run in variants.items():
            start = clock()
            run()
            best[name] = min(best[name], clock() - start)
    return best


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tokens", choices=("corpus", "zipf"), default="corpus")
    parser.add_argument("--documents", type=int, default=3000)
    parser.add_argument("--rounds", type=int, default=7)
    args = parser.parse_args()
    rng = random.Random(7)
    documents = (corpus_documents if args.tokens == "corpus" else zipf_documents)(args.documents, rng)
    tokens = sum(map(len, documents))
    print(f"{len(documents)} documents, {tokens} {args.tokens} tokens, best of {args.rounds} rounds")

    def train_python():
        model = CounterBM25()
        for d in documents:
            model.train(d)

    def train_native():
        model = BM25()
        for d in documents:
            model.train(d)

    python, native = CounterBM25(), BM25()
    for d in documents:
        python.train(d)
        native.train(d)
    assert native.encode_documents(documents) == [python.encode_document(d) for d in documents]
    assert native.encode_queries(documents) == [python.encode_query(d) for d in documents]

    loops = {
        "train": (train_python, train_native, lambda t: BM25().train_many(documents, threads=t)),
        "encode_document": (
            lambda: [python.encode_document(d) for d in documents],
            lambda: [native.encode_document(d) for d in documents],
            lambda t: native.encode_documents(documents, threads=t),
        ),
        "encode_query": (
            lambda: [python.encode_query(d) for d in documents],
            lambda: [native.encode_query(d) for d in documents],
            lambda t: native.encode_queries(documents, threads=t),
        ),
    }
    batch_names = {"train": "train_many", "encode_document": "encode_documents",
                   "encode_query": "encode_queries"}
    print(f"{'per call, batch':<34}{'per call / Python':>19}{'batch 1 thread / Python':>25}"
          f"{'2 threads / 1':>15}")
    for name, (python_loop, native_loop, batch) in loops.items():
        # Single-threaded runs are timed in CPU time, which other processes
        # on a shared machine disturb less; the thread comparison in wall time.
        cpu = measure({"python": python_loop, "native": native_loop, "one": lambda: batch(1)},
                      args.rounds, time.process_time)
        wall = measure({"one": lambda: batch(1), "two": lambda: batch(2)}, args.rounds,
                       time.perf_counter)
        print(f"{name + ', ' + batch_names[name]:<34}{cpu['python'] / cpu['native']:>18.2f}x"
              f"{cpu['python'] / cpu['one']:>24.2f}x{wall['one'] / wall['two']:>14.2f}x")


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
"""Score retrieval with TextEncoder vectors against a character-bigram BM25
baseline: nDCG@10, Recall@100 and MRR@10.

Each DATASET is a folder of three UTF-8 files of tab-separated lines:
``corpus.tsv`` (doc_id, text), ``queries.tsv`` (query_id, text) and
``qrels.tsv`` (query_id, doc_id, relevance).  The encoder is trained on the
corpus, documents and queries are encoded with its document and query
weights, and documents are ranked by the dot product of the two vectors.
Documents sharing no token with the query are not retrieved; equal scores
keep corpus order.  Queries without a relevant document are left out.

The baseline is what search engines do for Chinese by default: width folding
(full-width ASCII to ASCII) and lower case; overlapping bigrams over each run
of Han characters (a lone character as itself); every other run of letters
and digits whole; classic BM25 with k1 = 1.2, b = 0.75 and the
document-frequency IDF ln(1 + (N - df + 0.5) / (df + 0.5)); a query term
counts once however often it occurs.

Usage:  python3 tools/eval_retrieval.py DATASET... [--dict DIR]
            [--set NAME=VALUE]... [--bm25 NAME=VALUE]...
            [--variant 'NAME=VALUE ...']... [--no-baseline]

A DATASET folder without a corpus stands for its subfolders that have one
(``tools/eval_retrieval.py ../shared/eval/retrieval`` scores every set).
``--set`` passes a keyword to TextEncoder (``--set search=True``), ``--bm25``
one to BM25 (``--bm25 idf=documents``; without it the encoder's default model
is used); values are Python literals, or text.  Each ``--variant`` adds a row
of another encoder, its options given the same way (``bm25.k1=1.5`` for a
BM25 one).  The scores of each set are printed as they come, then one
Markdown table of every row and set, with the gain over the baseline when
only one encoder is scored.
"""

import argparse
import ast
import math
import os
import re
import sys
import time

import numpy as np

DEPTH = 100  # ranks kept per query: enough for Recall@100

# --------------------------------------------------------------------------
# Data


def read_tsv(path, fields):
    """Rows of a tab-separated file, each split into at most `fields` fields."""
    rows = []
    with open(path, encoding="utf-8") as stream:
        for number, line in enumerate(stream, 1):
            line = line.rstrip("\r\n")
            if not line:
                continue
            row = line.split("\t", fields - 1)
            if len(row) != fields:
                raise ValueError("%s:%d: expected %d tab-separated fields" % (path, number, fields))
            rows.append(row)
    return rows


class Dataset:
    """A corpus, its queries, and the relevance of documents to each query."""

    def __init__(self, folder):
        self.name = os.path.basename(os.path.normpath(folder))
        corpus = read_tsv(os.path.join(folder, "corpus.tsv"), 2)
        self.doc_ids = [doc_id for doc_id, _text in corpus]
        self.docs = [text for _doc_id, text in corpus]
        self.qrels = {}
        for query_id, doc_id, relevance in read_tsv(os.path.join(folder, "qrels.tsv"), 3):
            if int(relevance) > 0:
                self.qrels.setdefault(query_id, {})[doc_id] = int(relevance)
        judged = [row for row in read_tsv(os.path.join(folder, "queries.tsv"), 2) if row[0] in self.qrels]
        self.query_ids = [query_id for query_id, _text in judged]
        self.queries = [text for _query_id, text in judged]


# --------------------------------------------------------------------------
# Ranking and metrics


class Index:
    """Sparse document vectors laid out by token, for dot products with queries."""

    def __init__(self, vectors):
        self.size = len(vectors)
        postings = {}
        for doc, vector in enumerate(vectors):
            for token, weight in vector.items():
                entry = postings.get(token)
                if entry is None:
                    postings[token] = entry = ([], [])
                entry[0].append(doc)
                entry[1].append(weight)
        self.postings = {token: (np.array(docs, dtype=np.int64), np.array(weights, dtype=np.float64))
                         for token, (docs, weights) in postings.items()}

    def search(self, query, depth=DEPTH):
        """Indices of the `depth` best documents for a query vector, best first;
        ties in corpus order, documents sharing no token left out."""
        scores = np.zeros(self.size)
        hit = np.zeros(self.size, dtype=bool)
        for token, weight in query.items():
            entry = self.postings.get(token)
            if entry is not None:
                scores[entry[0]] += weight * entry[1]
                hit[entry[0]] = True
        found = np.flatnonzero(hit)
        order = np.lexsort((found, -scores[found]))
        return found[order[:depth]].tolist()


def ndcg(ranked, relevance, k=10):
    """nDCG@k with linear gains: sum of rel / log2(rank + 1) over the ideal sum."""
    gain = sum(relevance.get(doc, 0) / math.log2(rank + 1) for rank, doc in enumerate(ranked[:k], 1))
    ideal = sum(rel / math.log2(rank + 1)
                for rank, rel in enumerate(sorted(relevance.values(), reverse=True)[:k], 1))
    return gain / ideal


def recall(ranked, relevance, k=DEPTH):
    return sum(1 for doc in ranked[:k] if doc in relevance) / len(relevance)


def mrr(ranked, relevance, k=10):
    for rank, doc in enumerate(ranked[:k], 1):
        if doc in relevance:
            return 1.0 / rank
    return 0.0


METRICS = (("nDCG@10", ndcg), ("Recall@100", recall), ("MRR@10", mrr))


def rankings(doc_vectors, query_vectors, depth=DEPTH, batch=256):
    """What Index(doc_vectors).search gives for each query, by sparse matrix
    products over batches of queries (with scipy; else by Index)."""
    try:
        from scipy import sparse
    except ImportError:
        index = Index(doc_vectors)
        return [index.search(query, depth) for query in query_vectors]
    columns = {}

    def matrix(vectors, add):
        indptr, indices, data = [0], [], []
        for vector in vectors:
            for token, weight in vector.items():
                column = columns.get(token)
                if column is None:
                    if not add:
                        continue
                    column = columns[token] = len(columns)
                indices.append(column)
                data.append(weight)
            indptr.append(len(indices))
        return indptr, indices, data

    docs = matrix(doc_vectors, True)
    shape = (len(doc_vectors), len(columns))
    weights = sparse.csr_matrix((docs[2], docs[1], docs[0]), shape=shape).T.tocsr()
    present = sparse.csr_matrix((np.ones(len(docs[1])), docs[1], docs[0]), shape=shape).T.tocsr()
    ranked = []
    for start in range(0, len(query_vectors), batch):
        indptr, indices, data = matrix(query_vectors[start:start + batch], False)
        rows = len(indptr) - 1
        queries = sparse.csr_matrix((data, indices, indptr), shape=(rows, len(columns)))
        hits = sparse.csr_matrix((np.ones(len(indices)), indices, indptr), shape=(rows, len(columns)))
        scores = (queries @ weights).toarray()
        shared = (hits @ present).toarray() > 0
        for row in range(rows):
            found = np.flatnonzero(shared[row])
            order = np.lexsort((found, -scores[row][found]))
            ranked.append(found[order[:depth]].tolist())
    return ranked


def evaluate(dataset, doc_vectors, query_vectors):
    """Mean of each metric over the dataset's queries, as {name: value}."""
    totals = {name: 0.0 for name, _f in METRICS}
    for query_id, found in zip(dataset.query_ids, rankings(doc_vectors, query_vectors)):
        relevance = dataset.qrels[query_id]
        ranked = [dataset.doc_ids[i] for i in found]
        for name, metric in METRICS:
            totals[name] += metric(ranked, relevance)
    n = max(1, len(dataset.query_ids))
    return {name: total / n for name, total in totals.items()}


# --------------------------------------------------------------------------
# The character-bigram baseline

_HAN = "\u3400-\u4dbf\u4e00-\u9fff\uf900-\ufaff\U00020000-\U0003134f"
# A run of Han characters, or a run of other letters and digits.
_RUNS = re.compile("([%s]+)|([^\\W_%s]+)" % (_HAN, _HAN))
# Full-width ASCII forms and the ideographic space to their ASCII counterparts.
_WIDTH = {code: code - 0xFEE0 for code in range(0xFF01, 0xFF5F)}
_WIDTH[0x3000] = 0x20


def bigram_tokens(text):
    """The baseline's terms of a text, in text order."""
    tokens = []
    for han, other in _RUNS.findall(text.translate(_WIDTH).lower()):
        if other:
            tokens.append(other)
        elif len(han) == 1:
            tokens.append(han)
        else:
            tokens.extend(han[i:i + 2] for i in range(len(han) - 1))
    return tokens


def classic_bm25(doc_tokens, query_tokens, k1=1.2, b=0.75):
    """Document vectors (saturated term frequency) and query vectors (IDF per
    distinct term) whose dot products are the classic BM25 scores."""
    n = len(doc_tokens)
    df = {}
    for tokens in doc_tokens:
        for token in set(tokens):
            df[token] = df.get(token, 0) + 1
    average = sum(len(tokens) for tokens in doc_tokens) / max(1, n)
    docs = []
    for tokens in doc_tokens:
        tf = {}
        for token in tokens:
            tf[token] = tf.get(token, 0) + 1
        norm = k1 * (1 - b + b * len(tokens) / average)
        docs.append({t: f * (k1 + 1) / (f + norm) for t, f in tf.items()})
    queries = [{t: math.log(1 + (n - df[t] + 0.5) / (df[t] + 0.5)) for t in set(tokens) if t in df}
               for tokens in query_tokens]
    return docs, queries


def baseline_vectors(dataset):
    return classic_bm25([bigram_tokens(t) for t in dataset.docs], [bigram_tokens(t) for t in dataset.queries])


# --------------------------------------------------------------------------
# The encoder


def encoder_vectors(dataset, make_encoder):
    encoder = make_encoder()
    encoder.train(dataset.docs)
    return encoder.encode_documents(dataset.docs), encoder.encode_queries(dataset.queries)


def make_encoder_factory(data_dir, encoder_options, bm25_options):
    import pymiratext
    from pymiratext import _data

    paths = _data.paths_in(data_dir) if data_dir else pymiratext.default_paths()
    jieba = pymiratext.Jieba(**paths)
    # Without BM25 options the encoder makes the model it makes by default.
    return lambda: pymiratext.TextEncoder(
        jieba, pymiratext.BM25(**bm25_options) if bm25_options else None, **encoder_options)


def parse_option(text):
    """NAME=VALUE with VALUE a Python literal, or else the text itself."""
    name, sep, value = text.partition("=")
    if not sep or not name.isidentifier():
        raise argparse.ArgumentTypeError("expected NAME=VALUE, not %r" % text)
    try:
        return name, ast.literal_eval(value)
    except (ValueError, SyntaxError):
        return name, value


def parse_variant(text):
    """Space-separated NAME=VALUE options of one more encoder row; a name
    starting with ``bm25.`` is a BM25 option."""
    options = [parse_option(item) if not item.startswith("bm25.") else
               (("bm25",) + parse_option(item[len("bm25."):])) for item in text.split()]
    if not options:
        raise argparse.ArgumentTypeError("a variant needs at least one NAME=VALUE")
    return options


def dataset_folders(paths):
    """Each path that holds a corpus, or else its subfolders that do, by name."""
    folders = []
    for path in paths:
        if os.path.isfile(os.path.join(path, "corpus.tsv")):
            folders.append(path)
            continue
        inside = sorted(os.path.join(path, name) for name in os.listdir(path)
                        if os.path.isfile(os.path.join(path, name, "corpus.tsv")))
        if not inside:
            raise ValueError("no corpus.tsv in %s or its subfolders" % path)
        folders.extend(inside)
    return folders


def format_row(label, scores):
    return "  %-22s" % label + "".join("%12.4f" % scores[name] for name, _f in METRICS)


def format_table(datasets, rows, baseline):
    """The Markdown table of the scores: one row per configuration, three
    columns per dataset; with a baseline, a last row of each row's gain over
    it when there is one other row."""
    head = ["Index terms"]
    for name in datasets:
        head += ["%s nDCG@10" % name, "Recall@100", "MRR@10"]
    lines = ["| " + " | ".join(head) + " |", "|" + " --- |" * len(head)]
    for label, scores in rows:
        cells = ["%.4f" % per_set[name] for per_set in scores for name, _f in METRICS]
        lines.append("| " + " | ".join([label] + cells) + " |")
    if baseline is not None and len(rows) == 2:
        cells = ["%+.4f" % (ours[name] - base[name])
                 for ours, base in zip(rows[0][1], rows[baseline][1]) for name, _f in METRICS]
        lines.append("| " + " | ".join(["gain over bigrams"] + cells) + " |")
    return lines


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("datasets", nargs="+", metavar="DATASET",
                    help="folder holding corpus.tsv, queries.tsv and qrels.tsv, or folders that do")
    ap.add_argument("--dict", metavar="DIR", dest="data_dir",
                    help="data folder for the Jieba instead of the bundled data")
    ap.add_argument("--set", type=parse_option, action="append", default=[], metavar="NAME=VALUE",
                    help="a TextEncoder keyword option")
    ap.add_argument("--bm25", type=parse_option, action="append", default=[], metavar="NAME=VALUE",
                    help="a BM25 keyword option")
    ap.add_argument("--variant", type=parse_variant, action="append", default=[], metavar="'NAME=VALUE ...'",
                    help="one more encoder row with these options (bm25.NAME for a BM25 option)")
    ap.add_argument("--no-baseline", action="store_true", help="skip the bigram baseline")
    args = ap.parse_args(argv)
    for folder in args.datasets:
        if not os.path.isdir(folder):
            ap.error("no such dataset folder: " + folder)
    try:
        folders = dataset_folders(args.datasets)
    except ValueError as error:
        ap.error(str(error))
    configs = [("encoder" + "".join(" %s=%r" % option for option in args.set + args.bm25),
                dict(args.set), dict(args.bm25))]
    for variant in args.variant:
        encoder = dict(option for option in variant if len(option) == 2)
        bm25 = dict(option[1:] for option in variant if len(option) == 3)
        label = " ".join("%s%s=%r" % ("bm25." if len(o) == 3 else "", o[-2], o[-1]) for o in variant)
        configs.append((label, encoder, bm25))
    factories = [make_encoder_factory(args.data_dir, encoder, bm25) for _l, encoder, bm25 in configs]
    names = []
    scores = [[] for _c in configs] + ([] if args.no_baseline else [[]])
    for folder in folders:
        dataset = Dataset(folder)
        names.append(dataset.name)
        print("%s: %d queries, %d documents" % (dataset.name, len(dataset.queries), len(dataset.docs)))
        print("  %-22s" % "" + "".join("%12s" % name for name, _f in METRICS))
        for (label, _e, _b), make_encoder, row in zip(configs, factories, scores):
            started = time.perf_counter()
            row.append(evaluate(dataset, *encoder_vectors(dataset, make_encoder)))
            print(format_row(label, row[-1]), " %.1fs" % (time.perf_counter() - started))
        if not args.no_baseline:
            scores[-1].append(evaluate(dataset, *baseline_vectors(dataset)))
            print(format_row("bigram BM25", scores[-1][-1]))
        sys.stdout.flush()
    rows = [(label, row) for (label, _e, _b), row in zip(configs, scores)]
    if not args.no_baseline:
        rows.append(("character bigrams, BM25", scores[-1]))
    print()
    for line in format_table(names, rows, None if args.no_baseline else len(rows) - 1):
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())

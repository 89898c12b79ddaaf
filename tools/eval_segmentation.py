#!/usr/bin/env python3
"""Score the segmenter against gold segmentations: precision, recall and F1
over word spans.

A gold file holds one sentence a line, its words separated by blanks (any
run of white space).  Each sentence is rebuilt by joining its words, cut by
``Jieba.cut`` (the bundled data, or the files of ``--dict DIR``), and a
predicted word counts as correct when a gold word covers exactly the same
characters.

Usage:  python3 tools/eval_segmentation.py GOLD... [--dict DIR] [--errors N]
"""

import argparse
import collections
import os
import sys


class Score:
    """Word-span counts of one comparison; adding two scores pools them."""

    def __init__(self, correct=0, gold=0, predicted=0):
        self.correct = correct
        self.gold = gold
        self.predicted = predicted

    def __add__(self, other):
        return Score(self.correct + other.correct, self.gold + other.gold,
                     self.predicted + other.predicted)

    @property
    def precision(self):
        return self.correct / self.predicted if self.predicted else 0.0

    @property
    def recall(self):
        return self.correct / self.gold if self.gold else 0.0

    @property
    def f1(self):
        p, r = self.precision, self.recall
        return 2 * p * r / (p + r) if p + r else 0.0


def read_gold(path):
    """Sentences of a gold file as word lists; blank lines are skipped."""
    sentences = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            words = line.split()
            if words:
                sentences.append(words)
    return sentences


def spans(words):
    """(start, end) character offsets of the words, end exclusive."""
    out, pos = set(), 0
    for w in words:
        out.add((pos, pos + len(w)))
        pos += len(w)
    return out


def score_sentence(gold, predicted):
    """Score one sentence; both word lists must spell the same text."""
    if "".join(gold) != "".join(predicted):
        raise ValueError("segmentation changed the text: %r -> %r"
                         % ("".join(gold), "".join(predicted)))
    g, p = spans(gold), spans(predicted)
    return Score(len(g & p), len(g), len(p))


def evaluate(sentences, cut):
    """Pooled score of cut(text) over gold word lists, and the per-sentence cuts."""
    total, cuts = Score(), []
    for gold in sentences:
        predicted = [w for w in cut("".join(gold)) if w.strip()]
        total = total + score_sentence(gold, predicted)
        cuts.append(predicted)
    return total, cuts


def error_counts(sentences, cuts):
    """How often each wrong predicted word and each missed gold word occurs."""
    wrong, missed = collections.Counter(), collections.Counter()
    for gold, predicted in zip(sentences, cuts):
        g, p = spans(gold), spans(predicted)
        text = "".join(gold)
        wrong.update(text[a:b] for a, b in p - g)
        missed.update(text[a:b] for a, b in g - p)
    return wrong, missed


def make_cutter(data_dir=None):
    """``Jieba.cut`` over the bundled data, or over the standard files in data_dir."""
    import pymiratext
    from pymiratext import _data
    paths = _data.paths_in(data_dir) if data_dir else pymiratext.default_paths()
    return pymiratext.Jieba(**paths).cut


def format_score(name, s):
    return "%s: precision %.4f  recall %.4f  F1 %.4f  (%d correct, %d gold, %d predicted)" % (
        name, s.precision, s.recall, s.f1, s.correct, s.gold, s.predicted)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("gold", nargs="+", help="gold file: one sentence a line, words blank-separated")
    ap.add_argument("--dict", metavar="DIR", dest="data_dir",
                    help="data folder (dict.txt, hmm_model.txt, ...) instead of the bundled data")
    ap.add_argument("--errors", type=int, default=0, metavar="N",
                    help="also list the N commonest wrong and missed words")
    args = ap.parse_args(argv)
    if args.data_dir and not os.path.isdir(args.data_dir):
        ap.error("no such data folder: " + args.data_dir)
    cut = make_cutter(args.data_dir)
    overall = Score()
    for path in args.gold:
        sentences = read_gold(path)
        s, cuts = evaluate(sentences, cut)
        overall = overall + s
        print(format_score(path, s))
        if args.errors:
            wrong, missed = error_counts(sentences, cuts)
            print("  wrong:  " + " ".join("%s:%d" % x for x in wrong.most_common(args.errors)))
            print("  missed: " + " ".join("%s:%d" % x for x in missed.most_common(args.errors)))
    if len(args.gold) > 1:
        print(format_score("all", overall))
    return 0


if __name__ == "__main__":
    sys.exit(main())

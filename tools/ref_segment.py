#!/usr/bin/env python3
"""Plain-Python reference segmenter over the pymiratext data files.

It reads the same files as the native ``Jieba`` class and cuts the way its
``cut`` does: split at separators, pick the most probable dictionary path,
then re-cut stretches of one-character words with the BEMS hidden Markov
model (ASCII letter and number runs by fixed rules).  It is slow and simple
on purpose: it judges the data and is the oracle for differential tests of
the native code, so clarity wins over speed.

Usage:  python3 tools/ref_segment.py [--data DIR] [sentence ...]
        (reads sentences from standard input, one a line, when none is given)
"""

import argparse
import math
import os
import re
import sys

# Score of an impossible path and of an emission the model lacks.
MIN_DOUBLE = -3.14e100
MAX_WORD_LENGTH = 512
SEPARATORS = frozenset(" \t\n\uff0c\u3002")
STATES = "BEMS"  # index order of the model file: 0 B, 1 E, 2 M, 3 S
B, E, M, S = 0, 1, 2, 3

_ATOF = re.compile(r"\s*[+-]?(\d+\.?\d*([eE][+-]?\d+)?|\.\d+([eE][+-]?\d+)?|inf(inity)?|nan)",
                   re.IGNORECASE)


def atof(text):
    """C atof: the longest numeric prefix, 0.0 when there is none."""
    if text.isdigit() and text.isascii():
        return float(text)  # the common case, without the regex
    m = _ATOF.match(text)
    return float(m.group(0)) if m else 0.0


def atoi(text):
    m = re.match(r"\s*[+-]?\d+", text)
    return int(m.group(0)) if m else 0


def split(src, pattern):
    """The loaders' splitter: cut at any byte of pattern; adjacent separators
    give empty fields, a trailing separator adds no empty last field."""
    if len(pattern) == 1:
        res = src.split(pattern)
    else:
        res = re.split(b"[" + re.escape(pattern) + b"]" if isinstance(src, bytes)
                       else "[" + re.escape(pattern) + "]", src)
    if res and res[-1] == src[:0]:
        res.pop()
    return res


class DataError(Exception):
    """A data file that the native loader would reject as fatal."""


def _lines(path):
    """Lines split at newline bytes only; a final newline adds no line."""
    with open(path, "rb") as f:
        data = f.read()
    lines = data.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return lines


class Dictionary:
    """Main dictionary plus user dictionaries, weights as natural logs."""

    def __init__(self, dict_path, user_dict_paths=""):
        self.weights = {}        # word -> weight; a later entry wins
        self.prefixes = set()    # every proper prefix of a word, to stop early
        self.user_single_runes = set()
        weights = []
        entries = []
        for raw in _lines(dict_path):
            fields = split(raw, b" ")
            if len(fields) != 3:
                raise DataError("split result illegal, line:" + raw.decode("utf-8", "replace"))
            try:
                word = fields[0].decode("utf-8")
            except UnicodeDecodeError:
                continue  # never found, so it must not weigh in the total either
            freq = atof(fields[1].decode("ascii", "replace"))
            entries.append((word, freq))
        if not entries:
            raise DataError("empty main dictionary")
        self.total = sum(f for _, f in entries)
        for word, freq in entries:
            w = math.log(freq / self.total) if freq > 0 else -math.inf
            weights.append(w)
            self._add(word, w)
        ordered = sorted(weights)
        self.lowest = ordered[0]
        self.highest = ordered[-1]
        self.middle = ordered[len(ordered) // 2]
        if user_dict_paths:
            for path in split(user_dict_paths, "|;"):
                self._load_user(path)

    def _add(self, word, weight):
        if not word:
            return
        self.weights[word] = weight
        for i in range(1, len(word)):
            self.prefixes.add(word[:i])

    def _load_user(self, path):
        for raw in _lines(path):
            if not raw:
                continue
            fields = [f.decode("utf-8") for f in split(raw, b" ")]
            if len(fields) == 3:
                f = float(atoi(fields[1]))
                weight = math.log(f / self.total) if f > 0 else -math.inf
            elif len(fields) in (1, 2):
                weight = self.middle
            else:
                continue
            self._add(fields[0], weight)
            if len(fields[0]) == 1:
                self.user_single_runes.add(fields[0])

    def candidates(self, text, i, max_len=MAX_WORD_LENGTH):
        """(end index, weight or None) of the words starting at i, shortest first."""
        out = [(i, self.weights.get(text[i]))]
        for j in range(i + 1, len(text)):
            if j - i + 1 > max_len:
                break
            piece = text[i:j + 1]
            if piece in self.weights:
                out.append((j, self.weights[piece]))
            if piece not in self.prefixes:
                break
        return out


class HMM:
    """BEMS model: start, transition and emission natural logs."""

    def __init__(self, path):
        lines = []
        for raw in _lines(path):
            line = raw.strip(b" \t\n\v\f\r")
            if not line or line.startswith(b"#"):
                continue
            lines.append(line.decode("utf-8"))
            if len(lines) == 9:
                break
        if len(lines) < 9:
            raise DataError("fewer than nine model lines")
        rows = []
        for line in lines[:5]:
            fields = split(line, " ")
            if len(fields) != 4:
                raise DataError("row without 4 values: " + line)
            rows.append([atof(x) for x in fields])
        self.start = rows[0]
        self.trans = rows[1:5]
        self.emit = [self._emissions(line) for line in lines[5:9]]

    @staticmethod
    def _emissions(line):
        table = {}
        for item in split(line, ","):
            parts = split(item, ":")
            if len(parts) != 2:
                raise DataError("emitProb illegal: " + item)
            if len(parts[0]) != 1:
                raise DataError("TransCode failed: " + item)
            table[parts[0]] = atof(parts[1])
        return table

    def viterbi(self, runes):
        n = len(runes)
        score = [[0.0] * 4 for _ in range(n)]
        back = [[-1] * 4 for _ in range(n)]
        for y in range(4):
            score[0][y] = self.start[y] + self.emit[y].get(runes[0], MIN_DOUBLE)
        for x in range(1, n):
            for y in range(4):
                best, arg = MIN_DOUBLE, E
                e = self.emit[y].get(runes[x], MIN_DOUBLE)
                for p in range(4):
                    cand = (score[x - 1][p] + self.trans[p][y]) + e
                    if cand > best:
                        best, arg = cand, p
                score[x][y] = best
                back[x][y] = arg
        state = E if score[n - 1][E] >= score[n - 1][S] else S
        status = [0] * n
        for x in range(n - 1, -1, -1):
            status[x] = state
            state = back[x][state]
        return status

    def cut_chinese(self, runes):
        words, left = [], 0
        for i, st in enumerate(self.viterbi(runes)):
            if st in (E, S):
                words.append(runes[left:i + 1])
                left = i + 1
        return words

    def cut(self, text):
        """ASCII letter and number runs by rule, the rest by Viterbi."""
        words = []
        left = right = 0
        n = len(text)
        while right < n:
            c = text[right]
            if ord(c) >= 0x80:
                right += 1
                continue
            if left != right:
                words.extend(self.cut_chinese(text[left:right]))
            end = right + 1
            if c.isascii() and c.isalpha():
                while end < n and text[end].isascii() and (text[end].isalpha() or text[end].isdigit()):
                    end += 1
            elif "0" <= c <= "9":
                while end < n and ("0" <= text[end] <= "9" or text[end] == "."):
                    end += 1
            words.append(text[right:end])
            left = right = end
        if left != n:
            words.extend(self.cut_chinese(text[left:n]))
        return words


class Segmenter:
    def __init__(self, dict_path, hmm_path, user_dict_path=""):
        self.dict = Dictionary(dict_path, user_dict_path)
        self.hmm = HMM(hmm_path)

    @classmethod
    def from_dir(cls, data_dir):
        return cls(os.path.join(data_dir, "dict.txt"),
                   os.path.join(data_dir, "hmm_model.txt"),
                   os.path.join(data_dir, "user_dict.txt"))

    def cut_dag(self, text):
        """Most probable dictionary path, scored right to left."""
        n = len(text)
        best = [(0.0, None)] * (n + 1)  # best[n] is the empty tail
        for i in range(n - 1, -1, -1):
            top, top_end = MIN_DOUBLE, None
            for end, weight in self.dict.candidates(text, i):
                value = best[end + 1][0] if end + 1 < n else 0.0
                value += weight if weight is not None else self.dict.lowest
                if value > top:  # ties keep the shorter word
                    top, top_end = value, (end if weight is not None else None)
            best[i] = (top, top_end)
        words, i = [], 0
        while i < n:
            end = best[i][1]
            end = i if end is None else end
            words.append(text[i:end + 1])
            i = end + 1
        return words

    def cut_piece(self, text, use_hmm=True):
        words = self.cut_dag(text)
        if not use_hmm:
            return words
        out, i = [], 0
        while i < len(words):
            w = words[i]
            if len(w) > 1 or w in self.dict.user_single_runes:
                out.append(w)
                i += 1
                continue
            j = i
            while j < len(words) and len(words[j]) == 1 and words[j] not in self.dict.user_single_runes:
                j += 1
            out.extend(self.hmm.cut("".join(words[i:j])))
            i = j
        return out

    def cut(self, sentence, use_hmm=True):
        words, piece = [], []
        for c in sentence:
            if c in SEPARATORS:
                if piece:
                    words.extend(self.cut_piece("".join(piece), use_hmm))
                    piece = []
                words.append(c)
            else:
                piece.append(c)
        if piece:
            words.extend(self.cut_piece("".join(piece), use_hmm))
        return words


def default_data_dir():
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.join(os.path.dirname(here), "src", "pymiratext", "data")


def main(argv=None):
    ap = argparse.ArgumentParser(description="Cut sentences with the reference segmenter.")
    ap.add_argument("--data", default=default_data_dir(), help="data directory")
    ap.add_argument("--no-hmm", action="store_true")
    ap.add_argument("sentences", nargs="*")
    args = ap.parse_args(argv)
    seg = Segmenter.from_dir(args.data)
    sentences = args.sentences or (line.rstrip("\n") for line in sys.stdin)
    for s in sentences:
        print(" / ".join(seg.cut(s, use_hmm=not args.no_hmm)))


if __name__ == "__main__":
    main()

"""The native segmenter against the reference one (tools/ref_segment.py) on a
large random sample of the bundled data's words, characters the HMM knows,
letters, digits, full-width forms, separators and rare characters: every
way of cutting must give the reference's words, whatever the thread count."""

import os
import random

import pytest
import ref_segment

pytest.importorskip("pymiratext.pymiratext")  # the built extension

from pymiratext import Jieba  # noqa: E402
from pymiratext._data import default_paths, sample_corpus_path  # noqa: E402

DATA = os.path.dirname(default_paths()["dict_path"])


def sample_texts(count=2500, seed=29):
    rng = random.Random(seed)
    with open(default_paths()["dict_path"], encoding="utf-8") as f:
        words = [line.split(" ")[0] for line in f]
    with open(sample_corpus_path(), encoding="utf-8") as f:
        real = [line.rstrip("\n") for line in f if line.strip()]
    han = [chr(c) for c in range(0x4E00, 0x4E00 + 400)]
    other = list("abcXYZ0129.-_ \t，。！？ＡＢｃ１２．、　") + ["\U00020001", "é", "\u0301", "😀"]
    texts = []
    for _ in range(count):
        pieces = []
        for _ in range(rng.randrange(0, 40)):
            pick = rng.random()
            if pick < 0.45:
                pieces.append(rng.choice(words))
            elif pick < 0.8:
                pieces.append(rng.choice(han))
            elif pick < 0.97:
                pieces.append(rng.choice(other))
            else:  # a stretch of real text
                line = rng.choice(real)
                start = rng.randrange(len(line))
                pieces.append(line[start:start + rng.randrange(1, 30)])
        texts.append("".join(pieces))
    return texts + real


def search_words(reference, words):
    """cut_for_search from the words of cut: the dictionary's two- and then
    three-character words inside each longer word, before it."""
    out = []
    for word in words:
        for size in (2, 3):
            if len(word) > size:
                out += [word[i:i + size] for i in range(len(word) - size + 1)
                        if word[i:i + size] in reference.dict.weights]
        out.append(word)
    return out


@pytest.fixture(scope="module")
def cases():
    reference = ref_segment.Segmenter.from_dir(DATA)
    texts = sample_texts()
    cuts = [reference.cut(text) for text in texts]
    return texts, cuts, [search_words(reference, cut) for cut in cuts]


@pytest.fixture(scope="module")
def native():
    return Jieba(**default_paths())


@pytest.mark.parametrize("way", ["cut", "search", "tag", "tokenize", "many1", "many2",
                                 "many_search2"])
def test_every_cut_matches_the_reference(native, cases, way):
    texts, cuts, searches = cases
    if way == "cut":
        got, want = [native.cut(t) for t in texts], cuts
    elif way == "search":
        got, want = [native.cut_for_search(t) for t in texts], searches
    elif way == "tag":
        got, want = [[w for w, _ in native.tag(t)] for t in texts], cuts
    elif way == "tokenize":
        # Each word as the slice of the text its offsets name.
        got = [[t[s:e] for _, s, e in native.tokenize(t, search=True)] for t in texts]
        want = searches
    elif way == "many_search2":
        got, want = native.cut_many(texts, search=True, threads=2), searches
    else:
        got, want = native.cut_many(texts, threads=int(way[-1])), cuts
    for text, g, w in zip(texts, got, want):
        assert g == w, text

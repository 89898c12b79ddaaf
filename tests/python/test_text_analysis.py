"""Jieba.tokenize, Jieba.tag and Jieba.extract_keywords through the binding."""

import threading
import unicodedata
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pymiratext

DATA = Path(__file__).resolve().parent.parent / "data"


def hand_made(**override):
    """The small segmenter data with the keyword tables and user words of tests/data/keywords."""
    paths = {
        "dict_path": str(DATA / "jieba" / "dict.utf8"),
        "hmm_path": str(DATA / "jieba" / "hmm_model.utf8"),
        "user_dict_path": str(DATA / "keywords" / "user_dict.txt"),
        "idf_path": str(DATA / "keywords" / "idf.txt"),
        "stop_word_path": str(DATA / "keywords" / "stop_words.txt"),
    }
    paths.update(override)
    return paths


@pytest.fixture(scope="module")
def jieba():
    return pymiratext.Jieba(**hand_made())


@pytest.fixture(scope="module")
def bundled():
    return pymiratext.Jieba(**pymiratext.default_paths())


# ---------------------------------------------------------------- tokenize

SENTENCES = [
    "",
    " ",
    "\t \n",
    "我是北京大学的学生",
    "𠀀北京😀大学 𠀀",  # beyond U+FFFF: one index each, as in Python
    " 北京\t大学 ",
    "abc2024，，de 3.14。",
]
SENTENCE_IDS = ["empty", "blank", "blanks", "chinese", "astral", "edge-blanks", "ascii-punct"]


@pytest.mark.parametrize("sentence", SENTENCES, ids=SENTENCE_IDS)
def test_offsets_tile_cut_and_point_at_search_words(jieba, sentence):
    spans = jieba.tokenize(sentence)
    assert [w for w, _, _ in spans] == jieba.cut(sentence)
    ends = [0] + [end for _, _, end in spans]
    assert [start for _, start, _ in spans] == ends[:-1]  # contiguous
    assert ends[-1] == len(sentence)
    assert all(sentence[s:e] == w for w, s, e in spans)
    spans = jieba.tokenize(sentence=sentence, search=True)
    assert [w for w, _, _ in spans] == jieba.cut_for_search(sentence)
    assert all(sentence[s:e] == w for w, s, e in spans)


@settings(max_examples=200, deadline=None)
@given(st.text(alphabet="北京大学的学生韩冰林森甲乙丙ab12 \t\n，。😀𠀀é"))
def test_offsets_hold_for_any_text(jieba, sentence):
    spans = jieba.tokenize(sentence)
    assert "".join(w for w, _, _ in spans) == sentence
    assert all(sentence[s:e] == w for w, s, e in spans)
    assert all(sentence[s:e] == w for w, s, e in jieba.tokenize(sentence, True))


# ---------------------------------------------------------------- tag


@pytest.mark.parametrize("sentence", SENTENCES + ["北京大学de林森7，韩冰 2024 abc"], ids=SENTENCE_IDS + ["mixed"])
def test_tag_words_are_the_cut_words(jieba, sentence):
    assert [w for w, _ in jieba.tag(sentence)] == jieba.cut(sentence)


@pytest.mark.parametrize(
    "word, tag",
    [
        ("北京大学", "nt"),  # main dictionary
        ("abc", "nz"),  # the user dictionary's tag beats the ASCII fallback
        ("2025", "t"),
        ("云计算", "x"),  # user word without a tag: classified, no ASCII
        ("xyz", "eng"),
        ("2024", "m"),
        ("3.14", "eng"),  # half ASCII seen ('3', '.'), not all digits
        ("韩冰", "x"),  # unknown Chinese word
        ("森", "x"),  # one character is always "x"
        ("7", "x"),
        ("，", "x"),
    ],
)
def test_dictionary_tags_and_fallbacks(jieba, word, tag):
    assert jieba.tag(word) == [(word, tag)]


# ---------------------------------------------------------------- extract_keywords

# Cut: 北京大学 ， 韩冰 ， 北京 ， 学生 的 ， 2024 ， de ， 学. Counted (5): 北京大学,
# 韩冰 and 2024 at the mean IDF (2 + 4 + 1 + 3) / 4 = 2.5, 北京 (2), de (3).
# Left out: the stop words 学生 (though it has an IDF) and 的, the single 学,
# punctuation.
KEYWORD_TEXT = "北京大学，韩冰，北京，学生的，2024，de，学"
RANKED = [("de", 1 / 5 * 3.0), ("北京大学", 1 / 5 * 2.5), ("韩冰", 1 / 5 * 2.5), ("2024", 1 / 5 * 2.5),
          ("北京", 1 / 5 * 2.0)]


@pytest.mark.parametrize("top_k, count", [(0, 5), (1, 1), (3, 3), (5, 5), (6, 5), (10**30, 5)],
                         ids=["all", "one", "inside-a-tie", "exact", "more", "huge"])
def test_keyword_weights_by_hand(jieba, top_k, count):
    got = jieba.extract_keywords(KEYWORD_TEXT, top_k=top_k)
    assert [w for w, _ in got] == [w for w, _ in RANKED[:count]]
    assert [x for _, x in got] == pytest.approx([x for _, x in RANKED[:count]], rel=1e-15)


def test_keyword_defaults_and_empty_input(jieba):
    words = ["w%02d" % i for i in range(30)]  # unknown words that all tie
    assert jieba.extract_keywords(" ".join(words)) == [(w, 2.5 / 30) for w in words[:20]]
    assert jieba.extract_keywords("") == []
    assert jieba.extract_keywords("的，学生。学") == []


@pytest.mark.parametrize("top_k, error", [(-1, ValueError), (-(10**30), ValueError), (1.0, TypeError)])
def test_bad_top_k_raises(jieba, top_k, error):
    with pytest.raises(error):
        jieba.extract_keywords(KEYWORD_TEXT, top_k)


def test_empty_idf_file_weighs_unknown_words_zero(tmp_path):
    empty = tmp_path / "idf.txt"
    empty.write_text("")
    j = pymiratext.Jieba(**hand_made(idf_path=str(empty)))
    assert j.extract_keywords("北京，大学") == [("北京", 0.0), ("大学", 0.0)]


def _file_lines(path):
    """The lines as the native loaders read them: split at newline bytes, kept verbatim."""
    lines = Path(path).read_text(encoding="utf-8").split("\n")
    return lines[:-1] if lines[-1] == "" else lines


@pytest.fixture(scope="module")
def reference_tables():
    paths = pymiratext.default_paths()
    lines = _file_lines(paths["idf_path"])
    fields = [line.rstrip(" ").split(" ") for line in lines]  # a trailing blank adds no field
    idf = {f[0]: float(f[1]) for f in fields if len(f) == 2}
    total = sum(float(f[1]) for f in fields if len(f) == 2)
    return idf, total / len(lines), set(_file_lines(paths["stop_word_path"]))


def _reference_keywords(words, tables):
    """Plain-Python TF-IDF over the words of cut."""
    idf, mean, stop = tables
    counted = [
        w for w in words
        if len(w) >= 2 and w not in stop and any(unicodedata.category(c)[0] in "LN" for c in w)
    ]
    counts = {}
    for w in counted:
        counts[w] = counts.get(w, 0) + 1
    weights = [(w, n / len(counted) * idf.get(w, mean)) for w, n in counts.items()]
    return sorted(weights, key=lambda item: -item[1])  # stable: ties keep first appearance


def test_bundled_data_agrees_with_a_plain_python_reference(bundled, reference_tables):
    corpus = Path(pymiratext.__file__).parent / "data" / "sample_corpus.txt"
    lines = corpus.read_text(encoding="utf-8").splitlines()
    lines.append("ＧＰＵ和CPU，2024年Ⅻ①号 Python3 的的的")
    for line in lines:
        expected = _reference_keywords(bundled.cut(line), reference_tables)
        assert bundled.extract_keywords(line, 0) == expected, line


# ---------------------------------------------------------------- binding


def test_threads_get_the_results_of_one_thread(bundled):
    corpus = Path(pymiratext.__file__).parent / "data" / "sample_corpus.txt"
    lines = corpus.read_text(encoding="utf-8").splitlines()
    expected = [(bundled.tokenize(s), bundled.tag(s), bundled.extract_keywords(s)) for s in lines]
    results = [None] * 4

    def worker(k):
        results[k] = [(bundled.tokenize(s), bundled.tag(s), bundled.extract_keywords(s)) for s in lines]

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [expected] * 4


@pytest.mark.parametrize("method", ["tokenize", "tag", "extract_keywords"])
def test_lone_surrogate_is_rejected(jieba, method):
    with pytest.raises((UnicodeEncodeError, TypeError)):
        getattr(jieba, method)("北京\ud800")

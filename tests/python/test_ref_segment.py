"""Rules of the reference segmenter (tools/ref_segment.py) on tiny hand-made
data, so that it can be trusted as the oracle for the native segmenter."""

import math
import os

import pytest
import ref_segment

DATA = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "data")


def data(name):
    return os.path.join(DATA, name)


@pytest.fixture(scope="module")
def seg():
    return ref_segment.Segmenter(data("ref_dict.txt"), data("ref_hmm.txt"))


def test_weights_are_logs_of_frequency_shares():
    d = ref_segment.Dictionary(data("ref_dict.txt"))
    assert d.total == 880.0
    assert d.weights["北京"] == pytest.approx(math.log(100 / 880))
    assert d.lowest == pytest.approx(math.log(20 / 880))
    assert d.highest == pytest.approx(math.log(300 / 880))
    assert d.middle == pytest.approx(math.log(60 / 880))  # index 9 // 2 of the sorted weights


@pytest.mark.parametrize("sentence,expected", [
    ("北京大学", ["北京大学"]),
    ("我的大学", ["我", "的", "大学"]),
    ("北京大学生", ["北京大学", "生"]),          # beats 北京 + 大 + 学生
    ("甲乙", ["甲乙"]),                           # Viterbi: B then E
    ("甲乙丙", ["甲乙", "丙"]),
    ("丙丙", ["丙", "丙"]),
    ("丁戊", ["丁", "戊"]),                       # no emission anywhere: one rune per word
    ("甲乙，丙", ["甲乙", "，", "丙"]),
    ("我 的", ["我", " ", "的"]),
    ("，", ["，"]),
    ("", []),
], ids=["dict-word", "dict-path", "dict-then-unknown", "hmm-join", "hmm-join-then-single",
        "hmm-singles", "unknown-runes", "separator", "space", "separator-only", "empty"])
def test_cut(seg, sentence, expected):
    assert seg.cut(sentence) == expected


@pytest.mark.parametrize("text,expected", [
    ("abc123def", ["abc123def"]),
    ("123abc", ["123", "abc"]),
    ("3.14", ["3.14"]),
    ("1.2.3.", ["1.2.3."]),
    (".5", [".", "5"]),
    ("a-b", ["a", "-", "b"]),
    ("甲乙ab甲乙", ["甲乙", "ab", "甲乙"]),
], ids=["letters-digits", "digits-letters", "decimal", "dotted", "leading-dot",
        "punctuation", "ascii-inside-han"])
def test_ascii_rules(seg, text, expected):
    assert seg.hmm.cut(text) == expected


def test_without_hmm_single_runes_stay(seg):
    assert seg.cut("甲乙", use_hmm=False) == ["甲", "乙"]


def test_user_words_override_and_single_runes_split_stretches():
    s = ref_segment.Segmenter(data("ref_dict.txt"), data("ref_hmm.txt"),
                              data("ref_user_dict.txt"))
    assert s.dict.user_single_runes == {"学"}
    assert s.dict.weights["学"] == s.dict.middle
    assert s.cut("北京大学生") == ["北京大学生"]
    # 学 is a user single rune, so 甲 and 乙 around it are re-cut separately
    assert s.cut("甲学乙") == ["甲", "学", "乙"]


@pytest.mark.parametrize("content,ok", [
    ("我 1 r\n", True),
    ("我 1 r \n", True),         # a trailing blank adds no field
    ("我  1 r\n", False),        # two blanks make an empty field
    ("我 1\n", False),
    ("我 1 r\n\n的 2 u\n", False),
    ("", False),
], ids=["plain", "trailing-blank", "double-blank", "two-fields", "blank-line", "empty-file"])
def test_dictionary_line_format(tmp_path, content, ok):
    path = tmp_path / "d.txt"
    path.write_text(content, encoding="utf-8")
    if ok:
        ref_segment.Dictionary(str(path))
    else:
        with pytest.raises(ref_segment.DataError):
            ref_segment.Dictionary(str(path))


def test_hmm_file_skips_comments_and_reads_nine_lines(seg):
    assert seg.hmm.start == [-0.7, -3.14e100, -3.14e100, -0.7]
    assert seg.hmm.trans[1] == [-0.7, -3.14e100, -3.14e100, -0.7]
    assert seg.hmm.emit[3]["丙"] == -0.1


@pytest.mark.parametrize("emission", ["甲:1:2", "甲乙:1", "甲"],
                         ids=["three-parts", "two-rune-key", "no-value"])
def test_bad_emission_items_are_rejected(tmp_path, emission):
    lines = ["0 0 0 0"] * 5 + [emission] + ["甲:0"] * 3
    path = tmp_path / "h.txt"
    path.write_text("\n".join(lines) + "\n", encoding="utf-8")
    with pytest.raises(ref_segment.DataError):
        ref_segment.HMM(str(path))


def test_equal_paths_keep_the_shorter_first_word(tmp_path):
    # 子 + 丑寅 and 子丑 + 寅 sum the same two weights, so they tie exactly
    path = tmp_path / "d.txt"
    path.write_text("子 10 x\n丑 1 x\n寅 10 x\n子丑 5 x\n丑寅 5 x\n", encoding="utf-8")
    s = ref_segment.Segmenter(str(path), data("ref_hmm.txt"))
    assert s.cut_dag("子丑寅") == ["子", "丑寅"]

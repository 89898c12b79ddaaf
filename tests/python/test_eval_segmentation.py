"""Word-span scoring of tools/eval_segmentation.py."""

import itertools
import os
import sys

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import eval_segmentation as ev  # noqa: E402

TINY_GOLD = os.path.join(ROOT, "tests", "data", "eval", "tiny_gold.txt")
DEV_SET = os.path.join(os.path.dirname(ROOT), "shared", "eval", "ud_gsdsimp_dev.txt")


def boundary_score(gold, predicted):
    """Plain reference: a word is right when both its edges are edges in the
    gold cut and no gold edge falls inside it."""
    def edges(words):
        return set(itertools.accumulate(len(w) for w in words)) | {0}
    g = edges(gold)
    correct, pos = 0, 0
    for w in predicted:
        end = pos + len(w)
        if pos in g and end in g and not any(pos < e < end for e in g):
            correct += 1
        pos = end
    return correct


@pytest.mark.parametrize("gold,predicted,correct", [
    (["我们", "去", "公园"], ["我们", "去", "公园"], 3),
    (["我们", "去", "公园"], ["我们去", "公园"], 1),          # joined: one word lost
    (["我们", "去", "公园"], ["我", "们", "去", "公", "园"], 1),  # split too finely
    (["电视机"], ["电视", "机"], 0),
    (["北京", "大学"], ["北京大学"], 0),
    (["a"], ["a"], 1),
], ids=["same", "joined", "split", "suffix-split", "compound-joined", "one-char"])
def test_span_score_counts_exact_matches(gold, predicted, correct):
    s = ev.score_sentence(gold, predicted)
    assert (s.correct, s.gold, s.predicted) == (correct, len(gold), len(predicted))
    assert s.correct == boundary_score(gold, predicted)


def test_every_cut_of_a_short_text_agrees_with_the_boundary_reference():
    text = "今天天气很好"
    gold = ["今天", "天气", "很", "好"]
    for mask in range(1 << (len(text) - 1)):
        words, start = [], 0
        for i in range(1, len(text)):
            if mask >> (i - 1) & 1:
                words.append(text[start:i])
                start = i
        words.append(text[start:])
        assert ev.score_sentence(gold, words).correct == boundary_score(gold, words)


def test_changed_text_is_an_error_not_a_score():
    with pytest.raises(ValueError, match="changed the text"):
        ev.score_sentence(["我们"], ["我"])


@pytest.mark.parametrize("correct,gold,predicted,p,r,f", [
    (8, 10, 8, 1.0, 0.8, 2 * 0.8 / 1.8),
    (0, 5, 5, 0.0, 0.0, 0.0),
    (0, 0, 0, 0.0, 0.0, 0.0),  # nothing to score must not divide by zero
], ids=["partial", "none-right", "empty"])
def test_precision_recall_f1(correct, gold, predicted, p, r, f):
    s = ev.Score(correct, gold, predicted)
    assert (s.precision, s.recall) == pytest.approx((p, r))
    assert s.f1 == pytest.approx(f)


def test_scores_pool_over_sentences_and_list_errors():
    sentences = ev.read_gold(TINY_GOLD)
    assert len(sentences) == 3  # the blank line is no sentence
    cuts = {"我们明天去公园散步": ["我们", "明天", "去", "公园散步"],
            "这本书很有意思": ["这", "本书", "很", "有意思"],
            "他买了三斤苹果": ["他", "买", "了", "三", "斤", "苹果"]}
    s, got = ev.evaluate(sentences, lambda text: cuts[text] + [" "])  # blanks are no words
    assert (s.correct, s.gold, s.predicted) == (3 + 3 + 6, 5 + 5 + 6, 4 + 4 + 6)
    wrong, missed = ev.error_counts(sentences, got)
    assert wrong == {"公园散步": 1, "本书": 1}
    assert missed == {"公园": 1, "散步": 1, "本": 1, "书": 1}


def test_command_line_scores_a_data_folder(capsys):
    pytest.importorskip("pymiratext")
    data = os.path.join(ROOT, "src", "pymiratext", "data")
    assert ev.main([TINY_GOLD, TINY_GOLD, "--dict", data, "--errors", "3"]) == 0
    lines = capsys.readouterr().out.splitlines()
    assert lines[0].startswith(TINY_GOLD + ": precision ")
    assert "  wrong:" in lines[1] and "  missed:" in lines[2]
    assert lines[-1].startswith("all: precision ")


def test_missing_data_folder_is_a_usage_error(tmp_path, capsys):
    with pytest.raises(SystemExit) as e:
        ev.main([TINY_GOLD, "--dict", str(tmp_path / "absent")])
    assert e.value.code == 2



@pytest.mark.skipif(not os.path.exists(DEV_SET), reason="development set not present")
def test_bundled_data_keeps_its_development_set_score():
    pytest.importorskip("pymiratext")
    s, _ = ev.evaluate(ev.read_gold(DEV_SET), ev.make_cutter())
    assert s.f1 >= 0.83 and s.precision >= 0.85 and s.recall >= 0.80

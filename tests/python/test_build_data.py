"""Rules of the phrase pruning in tools/build_data.py, on small frequency tables."""

import collections
import math

import build_data
import pytest

STOP = frozenset("的了在上这个为") | {"这个", "为了"}
SUFFIXES = frozenset("的了上里")
TOTAL = 10_000_000


def freq_for_pmi(fa, fb, pmi):
    """Frequency of a + b giving that PMI against a total of TOTAL."""
    return max(1, round(math.exp(pmi + math.log(fa) + math.log(fb) - math.log(TOTAL))))


def prune(table, **kw):
    freqs = dict(table)
    freqs["填"] = TOTAL - sum(freqs.values())  # filler: fixes the corpus size
    stats, examples = collections.Counter(), []
    options = dict(threshold=3.0, max_len=0, rounds=3, stop=STOP, function_threshold=5.0,
                   suffixes=SUFFIXES, suffix_threshold=6.0, protected=STOP,
                   two_char_rounds=2)
    options.update(kw)
    build_data.prune_compositional(freqs, dict(freqs), stats=stats, examples=examples,
                                   **options)
    return freqs


PARTS = {"好": 50000, "吃": 40000, "新": 30000, "的": 200000, "为": 60000, "了": 150000,
         "服务器": 2000, "上": 100000, "这个": 50000, "问题": 20000, "火车": 3000, "站": 30000}


@pytest.mark.parametrize("word,a,b,pmi,kept", [
    ("好吃", "好", "吃", 1.0, True),          # no function character: an everyday word
    ("的新", "的", "新", 1.0, False),         # function character and a low PMI
    ("为了", "为", "了", 1.0, True),          # stop words are never judged
    ("服务器上", "服务器", "上", 5.0, False),  # locative suffix: stricter threshold
    ("服务器上", "服务器", "上", 6.5, True),
    ("这个问题", "这个", "问题", 4.0, False),  # stop-word part: stricter threshold
    ("这个问题", "这个", "问题", 5.5, True),
    ("火车站", "火车", "站", 4.0, True),       # plain compound: only the base threshold
    ("火车站", "火车", "站", 2.0, False),
], ids=lambda v: str(v))
def test_pruning_rules(word, a, b, pmi, kept):
    table = dict(PARTS)
    table[word] = freq_for_pmi(PARTS[a], PARTS[b], pmi)
    out = prune(table)
    assert (word in out) == kept
    if not kept:
        # the phrase's mass goes to both parts, none is lost
        assert out[a] == PARTS[a] + table[word] and out[b] == PARTS[b] + table[word]


def test_two_character_words_are_judged_only_in_the_early_rounds():
    # 要 grows in round 1 (要的 is pruned into it), which would sink 不要 in round 2
    table = {"不": 100000, "要": 20000}
    table["要的"] = freq_for_pmi(20000, 200000, 2.5)
    table["的"] = 200000
    table["不要"] = freq_for_pmi(100000, 20000, 3.1)
    stop = STOP | {"不", "要"}
    late = prune(table, stop=stop, protected=STOP, two_char_rounds=3)
    early = prune(table, stop=stop, protected=STOP, two_char_rounds=1)
    assert "要的" not in early and "要的" not in late
    assert "不要" in early and "不要" not in late


@pytest.mark.parametrize("text", ["0.3,0.3,0.3", "0.5,0.5,0.5,0.5", "1,0.5,-0.5,0"])
def test_bad_fullwidth_shares_are_rejected(text):
    with pytest.raises(Exception):
        build_data.shares_arg(text)

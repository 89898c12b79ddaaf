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


CLASSIFIERS = frozenset(build_data.DEFAULT_CLASSIFIERS)
DETERMINERS = frozenset(build_data.DEFAULT_DETERMINERS)
KEEP = build_data.NUMERAL_KEEP | {"这个"}


@pytest.mark.parametrize("word,parts", [
    ("一个", ("一", "个")),
    ("三十年", ("三十", "年")),
    ("两种", ("两", "种")),
    ("这一", ("这", "一")),
    ("这三个", ("这", "三个")),
    ("那位", ("那", "位")),
    ("十分", None),      # lexicalised: "very"
    ("一点", None),
    ("这个", None),      # kept like a stop word
    ("一九九八", None),  # a number, not a phrase
    ("第一", None),      # ordinal
    ("三月", None),      # month name: 月 is no classifier here
    ("每天", None),      # 每 is no determiner here
    ("一样", None),      # 样 is no classifier
    ("个", None),
], ids=lambda v: str(v))
def test_numeral_split(word, parts):
    assert build_data.numeral_split(word, CLASSIFIERS, DETERMINERS, KEEP) == parts


def test_numeral_phrases_pass_their_frequency_down_to_new_parts():
    freqs = {"这三个": 10, "三个": 100, "这": 1000, "个": 2000, "十分": 50}
    stats = collections.Counter()
    build_data.split_numeral_phrases(freqs, CLASSIFIERS, DETERMINERS, KEEP, stats)
    # 这三个 -> 这 + 三个, then 三个 (with its grown mass) -> 三 + 个; 三 is created
    assert freqs == {"这": 1010, "三": 110, "个": 2110, "十分": 50}
    assert stats["numeral_phrases_split"] == 2


def parse_chinese_number(text):
    """Plain reference reader of the Chinese numerals chinese_number writes."""
    total = section = digit = 0
    for c in text:
        if c in build_data.DIGIT_NAMES:
            digit = build_data.DIGIT_NAMES.index(c)
        elif c in "十百千":
            section += (digit or 1) * {"十": 10, "百": 100, "千": 1000}[c]
            digit = 0
        elif c == "万":
            total += (section + digit) * 10000
            section = digit = 0
    return total + section + digit


def test_chinese_numbers_read_back_and_are_written_as_in_text():
    for n in range(1, 100000):
        assert parse_chinese_number(build_data.chinese_number(n)) == n, n
    assert [build_data.chinese_number(n) for n in (10, 11, 20, 105, 1010, 10500)] == \
        ["十", "十一", "二十", "一百零五", "一千零一十", "一万零五百"]


def test_generated_numerals_cover_years_with_each_zero():
    words = build_data.numeral_words("〇○零")
    assert {"二○○○", "二〇〇〇", "二零零八", "一九九八", "二十一", "一百零八", "第九百零一",
            "两千", "九万"} <= set(words)
    assert words == sorted(set(words))
    assert all(c in build_data.NUMERAL_CHARS or c == "第" for w in words for c in w)


def test_raised_words_beat_every_split_and_keep_higher_frequencies():
    freqs = {"有": 50000, "的": 200000, "有的": 10, "在": 60000, "于": 30000, "在于": 5000,
             "填": 9_000_000}
    freqs["总"] = TOTAL - sum(freqs.values())
    stats = collections.Counter()
    build_data.ensure_words(freqs, ["有的", "在于", "○○"], 1.0, 7, stats, "raised")
    log_total = math.log(sum(freqs.values()) - freqs["○○"])  # the total the margins used
    pmi = math.log(freqs["有的"]) - math.log(50000) - math.log(200000) + log_total
    assert pmi >= 1.0 and pmi < 1.01
    assert freqs["在于"] == 5000  # already far above its split
    assert freqs["○○"] == 7       # no split in the dictionary: the fallback
    assert stats["raised"] == 2


def test_cedict_lines_give_simplified_headwords_and_header():
    lines = [
        "# a comment",
        "#! date=2023-11-07T06:42:16Z",
        "#! entries=3",
        "經濟 经济 [jing1 ji4] /economy/",
        "電腦 电脑 [dian4 nao3] /computer/",
        "A型 A型 [A xing2] /type A/",
        "broken line",
        "",
    ]
    words, header = build_data.read_cedict(lines)
    assert words == {"经济", "电脑", "A型"}
    assert header == {"date": "2023-11-07T06:42:16Z", "entries": "3"}


LEX = frozenset({"经济", "发展", "经济发展", "信息", "技术"})


@pytest.mark.parametrize("word,a,b,pmi,kept", [
    ("总面积", "总", "面积", 8.0, False),    # unlisted: judged at the unlexical limit
    ("总面积", "总", "面积", 10.5, True),
    ("陈志强", "陈", "志强", 8.0, True),     # led by a surname: judged as a listed word
    ("经济发展", "经济", "发展", 6.0, False),  # listed compound of two listed words
    ("经济发展", "经济", "发展", 7.5, True),
    ("信息技术", "信息", "技术", 6.0, False),  # unlisted compound
    ("台新", "台", "新", 3.0, False),        # unlisted, led by a classifier
    ("本书", "本", "书", 5.0, False),        # ... judged at the classifier limit
    ("本书", "本", "书", 6.5, True),
    ("新台", "新", "台", 3.0, True),         # no stop word, no leading classifier
], ids=lambda v: str(v))
def test_lexicon_sets_the_limits(word, a, b, pmi, kept):
    parts = {"总": 40000, "面积": 5000, "陈": 30000, "志强": 900, "经济": 20000,
             "发展": 30000, "信息": 20000, "技术": 25000, "台": 30000, "新": 60000,
             "本": 50000, "书": 20000}
    table = dict(parts)
    table[word] = freq_for_pmi(parts[a], parts[b], pmi)
    out = prune(table, lexicon=LEX, unlexical_threshold=10.0, compound_threshold=7.0,
                unlexical_two_threshold=4.0, surnames=frozenset("陈"),
                classifiers=frozenset("台本"), classifier_two_threshold=6.0, rounds=1)
    assert (word in out) == kept


def test_dead_words_go_unless_kept():
    freqs = {"他": 50000, "用": 40000, "好": 60000, "吃": 30000, "有": 50000, "的": 90000,
             "填": 10_000_000}
    freqs.update({"他用": 3, "好吃": 5000, "有的": 2})  # PMI < 0, > 0, < 0
    stats = collections.Counter()
    build_data.drop_dead_words(freqs, frozenset({"有的"}), stats)
    assert ("他用" in freqs, "好吃" in freqs, "有的" in freqs) == (False, True, True)
    assert stats["dead_words_dropped"] == 1


def test_traditional_forms_take_their_words_frequencies():
    freqs = {"后来": 900, "干": 800, "乾": 50, "着": 3000, "著": 100, "台": 600, "苔": 10,
             "粮": 40, "么": 5000, "幺": 30}
    forms = {"后来": {"後來"}, "干": {"幹", "乾"}, "着": {"著"}, "台": {"臺"}, "苔": {"臺"},
             "粮": {"糧"}, "幺": {"么"}}
    out = build_data.traditional_frequencies(freqs, forms, collections.Counter(), min_freq=100)
    assert {t: f for t, (f, _) in out.items()} == {
        "後來": 900, "幹": 800,
        "乾": 800, "著": 3000,  # a Simplified word's string too: the commoner reading wins
        "臺": 610,              # many to one: the frequencies add up
    }                           # 糧 is too light; 么 stays the Simplified word it is
    assert out["臺"][1] == ("台", "苔")


def test_counterpart_emissions_change_no_decision_and_sum_to_one():
    chars = ["个", "们", "人"]
    probs = {"B": [.5, .3, .2], "E": [.2, .2, .6], "M": [.1, .8, .1], "S": [.6, .1, .3]}
    emissions = {s: [(c, math.log(p)) for c, p in zip(chars, probs[s])] for s in "BEMS"}
    unseen = {s: math.log(0.01) for s in "BEMS"}
    out = build_data.add_counterpart_emissions(emissions, unseen, {"個", "們", "龘"},
                                               {"個": "个", "們": "们"})
    new = {s: dict(out[s]) for s in "BEMS"}
    old = {s: dict(emissions[s]) for s in "BEMS"}
    for s in "BEMS":
        assert math.fsum(math.exp(v) for v in new[s].values()
                         if v > build_data.IMPOSSIBLE) == pytest.approx(1.0)
    # one shift for every emission of every state, so every path moves alike;
    # a new character is its counterpart (an unseen one's when it has none)
    shift = new["B"]["个"] - old["B"]["个"]
    for s in "BEMS":
        for c in chars:
            assert new[s][c] - old[s][c] == pytest.approx(shift, abs=1e-12)
        assert new[s]["個"] == pytest.approx(old[s]["个"] + shift)
        assert new[s]["們"] == pytest.approx(old[s]["们"] + shift)
        assert new[s]["龘"] == pytest.approx(unseen[s] + shift)

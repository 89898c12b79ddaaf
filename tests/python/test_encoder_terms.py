"""TextEncoder's index terms beyond the plain cut: unknown-word pieces, letter
and script folding, their places (tokenize), and the options that rebuild an
encoder. Hand-checked cuts of the bundled data, and a reference fold."""

import pickle

import pytest

import fold_table
import gen_term_chars
from pymiratext import BM25, TextEncoder
from pymiratext._data import script_table_path


def read_table(path):
    with open(path, encoding="utf-8") as stream:
        return dict(line.rstrip("\n").split("\t") for line in stream)


def reference_fold(text, table):
    """Letters folded per code point, then the longest table entry at each place."""
    text = "".join(chr(gen_term_chars.fold(ord(ch))) for ch in text)
    return fold_table.fold(text, table, max(map(len, table)))


@pytest.fixture(scope="module")
def encoder(bundled_jieba):
    """The defaults of 0.3: words and bigrams, no characters."""
    return TextEncoder(bundled_jieba, characters=False)


@pytest.fixture(scope="module")
def search_encoder(bundled_jieba):
    """The defaults of 0.2: search mode, no bigrams."""
    return TextEncoder(bundled_jieba, search=True, bigrams=False, characters=False)


# Cuts of the bundled data (in search mode, without bigrams): 归脾丸 and 白岳峰 are no dictionary words; 吗 is a
# particle (and a stop word), 吃虾 an HMM pair, 高血压 a word whose search
# pieces include 血压, 是 and 谁 stop words.
TERMS = [
    ("能吃归脾丸吗？", ["吃", "归", "归脾", "脾", "脾丸", "丸", "归脾丸"]),
    ("白岳峰现在好吗", ["白", "白岳", "岳", "岳峰", "峰", "白岳峰", "现在", "好"]),
    ("吃虾吗", ["吃", "虾", "吃虾"]),
    ("是谁", []),
    ("我的ＩＰＨＯＮＥ和iPhone", ["iphone", "iphone"]),
    ("Ｂ超检查", ["b", "超", "检查"]),
    # width is folded before cutting, so full-width numbers meet the ASCII
    # rules (the segmenter alone joins 8到 and 10度)
    ("气温下降８到１０度", ["气温", "下降", "8", "10", "度"]),
    ("臺灣的電腦", ["台湾", "电脑"]),
    ("高血壓患者", ["血压", "高血压", "患者"]),
    ("中华人民共和国", ["中华", "华人", "人民", "共和", "共和国", "中华人民共和国"]),
]


@pytest.mark.parametrize("text, terms", TERMS, ids=[t for t, _ in TERMS])
def test_search_terms(search_encoder, text, terms):
    assert search_encoder.tokens(text) == terms


# The terms of 0.3: the words of the plain cut, folded, then the bigrams of each
# Han run in the text's own script, none of two stop words (的了, 了吗).
DEFAULT_TERMS = [
    ("能吃归脾丸吗？", ["吃", "归", "归脾", "脾", "脾丸", "丸", "归脾丸", "能吃", "吃归", "归脾", "脾丸", "丸吗"]),
    ("臺灣的電腦", ["台湾", "电脑", "臺灣", "灣的", "的電", "電腦"]),
    ("高血壓患者", ["高血压", "患者", "高血", "血壓", "壓患", "患者"]),
    ("的了吗", []),
    ("Ｂ超ａｂ检查", ["b", "超", "ab", "检查", "检查"]),
]


@pytest.mark.parametrize("text, terms", DEFAULT_TERMS, ids=[t for t, _ in DEFAULT_TERMS])
def test_default_terms(encoder, text, terms):
    assert encoder.tokens(text) == terms


# The defaults (characters=True): each character of the words kept, in the text's own
# script, after the bigram that ends at it; no bigram reaching into a stop
# word (候能, 啡吗, 能吃) or at a two-character term's place (时候, 咖啡, 血壓,
# 归脾 of the unknown word's pieces). Without bigrams, the characters alone.
CHARACTER_TERMS = [
    ("胃疼的时候能喝咖啡吗", ["胃疼", "时候", "喝", "咖啡", "胃", "疼", "时", "候", "喝", "喝咖", "咖", "啡"],
     ["胃疼", "时候", "喝", "咖啡", "胃", "疼", "时", "候", "喝", "咖", "啡"]),
    ("臺灣的電腦", ["台湾", "电脑", "臺", "灣", "電", "腦"], ["台湾", "电脑", "臺", "灣", "電", "腦"]),
    ("高血壓患者", ["高血压", "患者", "高", "高血", "血", "血壓", "壓", "壓患", "患", "者"],
     ["高血压", "患者", "高", "血", "壓", "患", "者"]),
    ("能吃归脾丸吗？", ["吃", "归", "归脾", "脾", "脾丸", "丸", "归脾丸", "吃", "吃归", "归", "脾", "丸"],
     ["吃", "归", "归脾", "脾", "脾丸", "丸", "归脾丸", "吃", "归", "脾", "丸"]),
    ("Ｂ超ａｂ检查", ["b", "超", "ab", "检查", "超", "检", "查"], ["b", "超", "ab", "检查", "超", "检", "查"]),
    ("我们一起去𠀋𠀋", ["𠀋", "𠀋", "𠀋", "𠀋𠀋", "𠀋"], ["𠀋", "𠀋", "𠀋", "𠀋"]),
    ("的了吗", [], []),
]


@pytest.mark.parametrize("text, terms, without_bigrams", CHARACTER_TERMS, ids=[t for t, _a, _b in CHARACTER_TERMS])
def test_character_terms(bundled_jieba, text, terms, without_bigrams):
    assert TextEncoder(bundled_jieba).tokens(text) == terms
    assert TextEncoder(bundled_jieba, characters=True).tokens(text) == terms
    assert TextEncoder(bundled_jieba, characters=True, bigrams=False).tokens(text) == without_bigrams


def test_characters_match_where_no_word_or_bigram_does(bundled_jieba):
    docs = ["胃痛的时候吃什么药", "今天北京的天气很好"]
    scores = {}
    for characters in (False, True):
        encoder = TextEncoder(bundled_jieba, characters=characters)
        encoder.train(docs)
        query = encoder.encode_queries(["胃疼"])[0]
        scores[characters] = [sum(w * v.get(t, 0.0) for t, w in query.items()) for v in encoder.encode_documents(docs)]
    assert scores[False] == [0.0, 0.0]
    assert scores[True][0] > 0 and scores[True][1] == 0.0


@pytest.mark.parametrize("options", [{}, {"search": True, "bigrams": False}, {"characters": True}],
                         ids=["defaults", "search", "characters"])
def test_places_are_those_of_the_original_characters(bundled_jieba, sample_texts, options):
    encoder = TextEncoder(bundled_jieba, **options)
    table = read_table(script_table_path())
    for text in sample_texts + [t for t, _ in TERMS + DEFAULT_TERMS] + [t for t, _a, _b in CHARACTER_TERMS]:
        spans = encoder.tokenize(text)
        assert [term for term, _s, _e in spans] == encoder.tokens(text)
        for term, start, end in spans:
            # A word is folded; a bigram keeps the script (letters still folded).
            assert term in (reference_fold(text[start:end], table), reference_fold(text[start:end], {"": ""})), \
                (text, term, start, end)


# A Traditional (or Taiwan) query and a Simplified document that must share
# the Simplified word; regional words fold to the mainland word.
SHARED = [
    ("臺灣的電腦", "台湾的电脑", "电脑"),
    ("我用軟體上網路", "我用软件上网络", "软件"),
    ("搭計程車", "坐出租车", "出租车"),
    ("義大利麵", "意大利面", "意大利面"),
    ("頭髮護理", "头发护理", "头发"),
]


@pytest.mark.parametrize("query, document, word", SHARED, ids=[q for q, _d, _w in SHARED])
def test_either_script_and_region_meet_on_the_simplified_word(encoder, query, document, word):
    assert word in set(encoder.tokens(query)) & set(encoder.tokens(document))


def test_the_folding_table_holds_taiwan_words_but_not_shared_ones():
    table = read_table(script_table_path())
    assert {k: table.get(k) for k in ("軟體", "網路", "計程車", "印表機", "資料庫")} == {
        "軟體": "软件", "網路": "网络", "計程車": "出租车", "印表機": "打印机", "資料庫": "数据库"}
    # Written alike in Simplified text, or its own characters the commoner reading.
    assert not {"智慧", "呼叫", "複製"} & set(table)


@pytest.fixture(scope="module")
def sample_texts():
    from pymiratext._data import sample_corpus_path

    with open(sample_corpus_path(), encoding="utf-8") as stream:
        return [line.rstrip("\n") for line in stream][:60]


def test_either_script_finds_the_other(bundled_jieba):
    encoder = TextEncoder(bundled_jieba)
    docs = ["台湾的电脑公司发布了新产品", "今天北京的天气很好", "头发护理的方法"]
    encoder.train(docs)
    vectors = encoder.encode_documents(docs)
    query = encoder.encode_queries(["臺灣電腦"])[0]
    scores = [sum(w * v.get(t, 0.0) for t, w in query.items()) for v in vectors]
    assert scores[0] > 0 and scores[1:] == [0.0, 0.0]


def test_options_rebuild_the_encoder(bundled_jieba, test_data, tmp_path):
    table = str(test_data / "script" / "t2s.txt")
    for options in ({}, {"legacy": True}, {"search": False, "unknown_words": False}, {"search": True, "bigrams": False},
                    {"normalize": False, "fold_script": True, "script_table": table}, {"characters": True},
                    {"characters": True, "bigrams": False, "search": True}):
        encoder = TextEncoder(bundled_jieba, BM25(), **options)
        rebuilt = TextEncoder(bundled_jieba, BM25(), **encoder.options)
        unpickled = pickle.loads(pickle.dumps(encoder))
        assert rebuilt.options == unpickled.options == encoder.options
        for text, _terms in TERMS:
            assert rebuilt.tokens(text) == unpickled.tokens(text) == encoder.tokens(text)
    # A table of its own: the longest entry wins, phrases included.
    encoder = TextEncoder(bundled_jieba, script_table=table, normalize=False, unknown_words=False, bigrams=False,
                          characters=False)
    assert encoder.options["script_table"] == table
    assert encoder.tokenize("乾隆的頭髮") == [("乾隆", 0, 2), ("头发", 3, 5)]


@pytest.mark.parametrize("content, error, message", [
    ("臺\t台\n乾\t干\n", ValueError, r"t2s.txt:2: FROM out of byte order or repeated"),
    ("乾\t干\n乾\t干\n", ValueError, r"t2s.txt:2: FROM out of byte order or repeated"),
    ("乾 干\n", ValueError, r"t2s.txt:1: expected FROM<TAB>TO"),
    ("乾\t\n", ValueError, r"t2s.txt:1: expected FROM<TAB>TO"),
    ("乾\t干\t干\n", ValueError, r"t2s.txt:1: expected FROM<TAB>TO"),
    ("臺灣\t台\n", ValueError, r"t2s.txt:1: FROM and TO differ in length"),
    (b"\xff\t\xe5\xb9\xb2\n", ValueError, r"t2s.txt:1: not UTF-8 text"),
    (None, FileNotFoundError, r"cannot open the script table"),
])
def test_bad_script_tables_are_refused(bundled_jieba, tmp_path, content, error, message):
    path = tmp_path / "t2s.txt"
    if content is not None:
        path.write_bytes(content if isinstance(content, bytes) else content.encode("utf-8"))
    with pytest.raises(error, match=message):
        TextEncoder(bundled_jieba, script_table=str(path))
    TextEncoder(bundled_jieba, fold_script=False, script_table=str(path))  # not read unless folding

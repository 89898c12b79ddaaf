"""Checks of the shipped default data set, with the plain-Python reference
segmenter in tools/ref_segment.py standing in for the native one.

The native ``pymiratext.Jieba`` must give the same cuts as the reference
and as SEGMENTATION_CASES (at the end of this file).
"""

import math
import os
import runpy

import pytest
import ref_segment

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DATA = os.path.join(ROOT, "src", "pymiratext", "data")

# (id, sentence, words a reader expects)
SEGMENTATION_CASES = [
    # a degree adverb stands apart from the adjective it modifies
    ("weather", "今天天气很好", ["今天", "天气", "很", "好"]),
    # full-width digits are no ASCII: the HMM labels them with what follows
    ("weather-fullwidth", "明天下午北京有小雨，气温１８度。",
     ["明天", "下午", "北京", "有", "小雨", "，", "气温", "１８度", "。"]),
    ("weather-range-fullwidth", "受冷空气影响，气温下降８到１０度。",
     ["受", "冷空气", "影响", "，", "气温", "下降", "８到", "１０度", "。"]),
    ("compositional-phrase", "我的新电脑运行得很快。",
     ["我", "的", "新", "电脑", "运行", "得", "很快", "。"]),
    # numeral and classifier are two words; so are modifier and head of a compound
    ("new-laptop", "他买了一台新的笔记本电脑",
     ["他", "买", "了", "一", "台", "新", "的", "笔记本", "电脑"]),
    ("travel-name", "张伟坐高铁去上海出差。",
     ["张伟", "坐", "高铁", "去", "上海", "出差", "。"]),
    ("travel-distance", "火车站离这里大约有三公里。",
     ["火车站", "离", "这里", "大约", "有", "三", "公里", "。"]),
    ("computing-ascii", "他用Python写了一个程序，版本是3.14。",
     ["他", "用", "Python", "写", "了", "一", "个", "程序", "，", "版本", "是", "3.14", "。"]),
    ("computing-server", "服务器宕机了三个小时，工程师正在排查原因。",
     ["服务器", "宕机", "了", "三", "个", "小时", "，", "工程师", "正在", "排查", "原因", "。"]),
    ("computing-os", "这款软件支持Windows和Linux系统",
     ["这款", "软件", "支持", "Windows", "和", "Linux", "系统"]),
    ("news-percent", "据新华社报道，国内生产总值同比增长５．２％。",
     ["据", "新华社", "报道", "，", "国内生产总值", "同比", "增长", "５．２％", "。"]),
    ("news-date-fullwidth", "会议定于１０月２０日召开",
     ["会议", "定于", "１０月", "２０日", "召开"]),
    ("hmm-name", "陈志强明天到广州开会", ["陈志强", "明天", "到", "广州", "开会"]),
    ("food", "这家餐厅的红烧肉味道不错，价格也不贵。",
     ["这", "家", "餐厅", "的", "红烧肉", "味道", "不错", "，", "价格", "也", "不", "贵", "。"]),
    ("question", "周末去爬山吗", ["周末", "去", "爬山", "吗"]),
    # everyday words made of frequent characters must not be pruned as phrases
    ("food-everyday-word", "这家餐厅的红烧肉非常好吃",
     ["这", "家", "餐厅", "的", "红烧肉", "非常", "好吃"]),
    ("function-words-kept", "为了健康，我不要再熬夜了",
     ["为了", "健康", "，", "我", "不要", "再", "熬夜", "了"]),
    ("movie", "你真的觉得这部电影好看吗",
     ["你", "真的", "觉得", "这", "部", "电影", "好看", "吗"]),
    # a locative after a dictionary word stands apart
    ("computing-locative", "运行在Linux服务器上",
     ["运行", "在", "Linux", "服务器", "上"]),
    ("park-locative", "周末我们去公园里玩", ["周末", "我们", "去", "公园", "里", "玩"]),
    ("demonstrative-phrase", "这个问题我们明天再讨论",
     ["这个", "问题", "我们", "明天", "再", "讨论"]),
    # ASCII year next to full-width month and day
    ("date-mixed-width", "2024年１０月１日", ["2024", "年", "１０月", "１日"]),
    ("date-fullwidth-deadline", "请在１２月３１日之前提交报告",
     ["请", "在", "１２月", "３１日", "之前", "提交", "报告"]),
    ("weather-highs", "上海今天最高气温３２度",
     ["上海", "今天", "最高", "气温", "３２度"]),
    # years in Chinese numerals, zero written ○ or 〇
    ("year-circle-zero", "二○○○年他大学毕业", ["二○○○", "年", "他", "大学", "毕业"]),
    ("year-and-month", "一九九八年七月", ["一九九八", "年", "七月"]),
    # function-word compounds stay whole
    ("function-compounds", "有的人还要努力，问题在于能否做到",
     ["有的", "人", "还要", "努力", "，", "问题", "在于", "能否", "做到"]),
    ("especially", "特别是信息技术和经济发展", ["特别是", "信息", "技术", "和", "经济", "发展"]),
    ("demonstrative-numeral", "他在这一年里读书", ["他", "在", "这", "一", "年", "里", "读书"]),
    # a classifier after a numeral stands apart from the noun it counts
    ("numeral-classifier-noun", "他买了三千本书和iPhone",
     ["他", "买", "了", "三千", "本", "书", "和", "iPhone"]),
    ("numeral-classifier-hmm", "市政府新建三座公园", ["市政府", "新建", "三", "座", "公园"]),
    # a verb and its result complement make one word
    ("verb-complement", "市民出门请带好雨具。", ["市民", "出门", "请", "带好", "雨具", "。"]),
    ("numeral-zero", "他跑了一百零八公里", ["他", "跑", "了", "一百零八", "公里"]),
    # Traditional and regional forms cut as their Simplified words
    ("trad-name", "張偉坐高鐵去上海出差。", ["張偉", "坐", "高鐵", "去", "上海", "出差", "。"]),
    ("trad-place-taiwan", "我們今天去臺北看電影", ["我們", "今天", "去", "臺北", "看", "電影"]),
    ("trad-place-hong-kong", "台灣的高鐵連接台北和高雄",
     ["台灣", "的", "高鐵", "連接", "台北", "和", "高雄"]),
    ("trad-function-words", "為了健康，我不要再熬夜了",
     ["為了", "健康", "，", "我", "不要", "再", "熬夜", "了"]),
    ("trad-demonstrative", "這個問題我們明天再討論", ["這個", "問題", "我們", "明天", "再", "討論"]),
    ("trad-year-zero", "二〇二〇年全球經濟受到衝擊", ["二〇二〇", "年", "全球", "經濟", "受到", "衝擊"]),
    ("trad-year-ling", "二零零八年北京舉辦奧運", ["二零零八", "年", "北京", "舉辦", "奧運"]),
    ("trad-verb-complement", "市民出門請帶好雨具。", ["市民", "出門", "請", "帶好", "雨具", "。"]),
    # 綫 is in no word of the dictionary: the HMM reads it as 线
    ("trad-variant-by-hmm", "這條綫路明天起暫停服務",
     ["這", "條", "綫路", "明天", "起", "暫停", "服務"]),
    ("mixed-scripts", "我们今天去臺北看電影，这部電影很好看",
     ["我们", "今天", "去", "臺北", "看", "電影", "，", "这", "部", "電影", "很", "好看"]),
]

SEPARATORS = set(" \t\n\r\uff0c\u3002")


def read_lines(name):
    with open(os.path.join(DATA, name), "rb") as f:
        data = f.read()
    assert data == b"" or data.endswith(b"\n"), name + " must end with a newline"
    return data.decode("utf-8").split("\n")[:-1] if data else []


@pytest.fixture(scope="module")
def dict_lines():
    return read_lines("dict.txt")


@pytest.fixture(scope="module")
def segmenter():
    return ref_segment.Segmenter.from_dir(DATA)


def test_dictionary_lines_parse_as_the_loader_requires(dict_lines):
    assert len(dict_lines) >= 200000
    seen = set()
    for line in dict_lines:
        fields = ref_segment.split(line, " ")
        assert len(fields) == 3 and all(fields), repr(line)
        word, freq, tag = fields
        assert not SEPARATORS & set(word), repr(line)
        assert freq.isdigit() and int(freq) > 0, repr(line)
        assert tag in ("x", "m"), repr(line)
        assert word not in seen, "duplicate " + word
        seen.add(word)
    assert dict_lines == sorted(dict_lines, key=lambda s: s.split(" ")[0])


def test_hmm_model_is_complete_and_normalised(dict_lines):
    model = ref_segment.HMM(os.path.join(DATA, "hmm_model.txt"))
    floor = ref_segment.MIN_DOUBLE

    def mass(values):
        return sum(math.exp(v) for v in values if v > floor)

    assert mass(model.start) == pytest.approx(1.0)
    for row in model.trans:
        assert mass(row) == pytest.approx(1.0)
    for table in model.emit:
        assert "," not in table and ":" not in table
        assert mass(table.values()) == pytest.approx(1.0)
    chars = set("".join(line.split(" ")[0] for line in dict_lines))
    for table in model.emit:
        assert chars <= set(table), "characters without an emission"


def test_hmm_file_has_exactly_nine_meaningful_lines():
    meaningful = [l for l in read_lines("hmm_model.txt")
                  if l.strip() and not l.strip().startswith("#")]
    assert len(meaningful) == 9


def test_idf_covers_the_dictionary_with_finite_values(dict_lines):
    lines = read_lines("idf.txt")
    words = []
    for line in lines:
        fields = ref_segment.split(line, " ")
        assert len(fields) == 2 and all(fields), repr(line)
        value = float(fields[1])
        assert math.isfinite(value) and value >= 0.0, repr(line)
        words.append(fields[0])
    assert words == [line.split(" ")[0] for line in dict_lines]


def test_stop_words_are_clean_lines():
    words = read_lines("stop_words.txt")
    assert len(words) > 300
    assert len(set(words)) == len(words)
    for w in words:
        assert w and w == w.strip() and "\r" not in w, repr(w)
    assert {"的", "了", "，", "。"} <= set(words)


def test_user_dictionary_is_empty_and_licences_ship():
    assert os.path.getsize(os.path.join(DATA, "user_dict.txt")) == 0
    licences = os.listdir(os.path.join(DATA, "licenses"))
    assert {"LGPL-3", "GPL-3", "rime-essay.copyright", "CC-BY-SA-4.0",
            "cc-cedict.notice"} <= set(licences)
    with open(os.path.join(DATA, "licenses", "cc-cedict.notice"), encoding="utf-8") as f:
        assert "Creative Commons Attribution-ShareAlike 4.0" in f.read()


def fold(text, table):
    """Longest-match folding, as readers of t2s.txt apply it."""
    longest = max(map(len, table))
    out, i = [], 0
    while i < len(text):
        n = next((n for n in range(min(longest, len(text) - i), 0, -1)
                  if text[i:i + n] in table), 0)
        out.append(table[text[i:i + n]] if n else text[i])
        i += max(n, 1)
    return "".join(out)


def test_fold_table_format_and_results():
    with open(os.path.join(DATA, "t2s.txt"), "rb") as f:
        data = f.read()
    assert data.endswith(b"\n") and len(data) < 1 << 20
    keys, table = [], {}
    for line in data.split(b"\n")[:-1]:
        fields = line.split(b"\t")
        assert len(fields) == 2 and all(fields) and fields[0] != fields[1], line
        assert not any(ch.isspace() for ch in line.decode("utf-8").replace("\t", "")), line
        keys.append(fields[0])
        table[fields[0].decode("utf-8")] = fields[1].decode("utf-8")
    assert keys == sorted(set(keys)), "keys sorted by bytes, each once"
    cases = {
        "臺灣的頭髮": "台湾的头发",
        "裡面裏面": "里面里面",     # Taiwan and standard forms of the same word
        "綫路線路": "线路线路",     # Hong Kong and standard forms
        "衞生": "卫生",
        "瞭解乾燥": "了解干燥",     # a phrase overrides its characters' choice
        "乾坤一擲": "乾坤一掷",
        "著名抬頭": "著名抬头",     # forms Simplified text writes too stay
        "电脑显示器": "电脑显示器",  # Simplified text is left alone
    }
    assert {t: fold(t, table) for t in cases} == cases


def test_sample_corpus_has_enough_short_documents():
    docs = read_lines("sample_corpus.txt")
    assert len(docs) >= 60
    assert all(0 < len(d) <= 120 for d in docs)
    assert len(set(docs)) == len(docs)


def test_default_paths_name_the_constructor_keywords():
    # run the module directly: importing pymiratext would need the built extension
    paths = runpy.run_path(os.path.join(DATA, os.pardir, "_data.py"))["default_paths"]()
    assert set(paths) == {"dict_path", "hmm_path", "user_dict_path", "idf_path", "stop_word_path"}
    assert all(os.path.isfile(p) for p in paths.values())


@pytest.mark.parametrize("sentence,expected",
                         [(s, e) for _, s, e in SEGMENTATION_CASES],
                         ids=[i for i, _, _ in SEGMENTATION_CASES])
def test_everyday_sentences_segment_as_a_reader_expects(segmenter, sentence, expected):
    assert segmenter.cut(sentence) == expected


# The native segmenter on the shipped data must agree with the reference
# segmenter and with the readers' cuts.


@pytest.fixture(scope="module")
def native(request):
    pytest.importorskip("pymiratext.pymiratext")  # the built extension
    return request.getfixturevalue("bundled_jieba")


@pytest.mark.parametrize("sentence,expected", [(s, e) for _, s, e in SEGMENTATION_CASES],
                         ids=[i for i, _, _ in SEGMENTATION_CASES])
def test_default_data_cuts_as_a_reader_expects(native, sentence, expected):
    assert native.cut(sentence) == expected


def test_default_data_matches_the_reference_segmenter(native, segmenter):
    from pymiratext._data import sample_corpus_path

    with open(sample_corpus_path(), encoding="utf-8") as f:
        lines = [line.rstrip("\n") for line in f if line.strip()]
    assert lines
    for line in lines:
        assert native.cut(line) == segmenter.cut(line), line

import pickle
import sys
import threading
from pathlib import Path

import pytest

import pymiratext

DATA = Path(__file__).resolve().parent.parent / "data" / "jieba"


def paths(**override):
    p = {
        "dict_path": str(DATA / "dict.utf8"),
        "hmm_path": str(DATA / "hmm_model.utf8"),
        "user_dict_path": str(DATA / "user_dict.utf8"),
        "idf_path": str(DATA / "idf.utf8"),
        "stop_word_path": str(DATA / "stop_words.utf8"),
    }
    p.update(override)
    return p


@pytest.fixture(scope="module")
def jieba():
    return pymiratext.Jieba(**paths())


# Segmentation itself is covered by the C++ tests; these check the binding's
# conversions end to end (multi-byte and four-byte runes, order of words).
@pytest.mark.parametrize(
    "sentence, cut, search",
    [
        ("", [], []),
        (
            "我是北京大学的学生",
            ["我", "是", "北京大学", "的", "学生"],
            ["我", "是", "北京", "京大", "大学", "北京大", "北京大学", "的", "学生"],
        ),
        ("韩冰林森", ["韩冰", "林", "森"], ["韩冰", "林", "森"]),
        ("abcdef 3.14", ["abcdef", " ", "3.14"], ["de", "abcdef", " ", "3.14"]),
        ("甲乙丙，😀", ["甲", "乙丙", "，", "😀"], ["甲", "乙丙", "，", "😀"]),
    ],
    ids=["empty", "sentence", "user-single-rune", "ascii-and-subword", "tie-and-emoji"],
)
def test_cut_and_cut_for_search(jieba, sentence, cut, search):
    assert jieba.cut(sentence) == cut
    assert jieba.cut_for_search(sentence=sentence) == search


def test_empty_user_dictionary_path():
    j = pymiratext.Jieba(**paths(user_dict_path=""))
    assert j.cut("韩冰林森云计算") == ["韩冰", "林森", "云", "计算"]


def test_arguments_are_required_keywords(jieba):
    with pytest.raises(TypeError, match=r"Jieba\(\*\*pymiratext\.default_paths\(\)\)"):
        pymiratext.Jieba()
    with pytest.raises(TypeError):
        pymiratext.Jieba(**{k: v for k, v in paths().items() if k != "idf_path"})
    with pytest.raises(TypeError):
        jieba.cut(text="我")
    with pytest.raises(TypeError):
        jieba.cut(123)


@pytest.mark.parametrize("method", ["cut", "cut_for_search"])
def test_lone_surrogate_is_rejected(jieba, method):
    with pytest.raises((UnicodeEncodeError, TypeError)):
        getattr(jieba, method)("北京\ud800")


@pytest.mark.parametrize("key", ["dict_path", "hmm_path", "user_dict_path", "idf_path",
                                 "stop_word_path"])
def test_missing_file_raises_file_not_found(tmp_path, key):
    missing = str(tmp_path / "missing.utf8")
    with pytest.raises(FileNotFoundError) as info:
        pymiratext.Jieba(**paths(**{key: missing}))
    assert "exp: [" in str(info.value)
    assert "open " + missing + " failed" in str(info.value)


# A directory would read as an empty file, and a NUL byte would cut the path
# short at the file system: neither may load as if it were the named file.
@pytest.mark.parametrize("key", ["dict_path", "user_dict_path", "stop_word_path"])
@pytest.mark.parametrize("bad", ["directory", "nul"])
def test_unopenable_path_raises_file_not_found(key, bad):
    path = str(DATA) if bad == "directory" else paths()[key] + "\0.bak"
    with pytest.raises(FileNotFoundError):
        pymiratext.Jieba(**paths(**{key: path}))


@pytest.mark.parametrize(
    "key, content, message",
    [
        ("dict_path", "北京 10\n", "exp: [buf.size() == DICT_COLUMN_NUM] false. "),
        ("dict_path", "", "exp: [!static_node_infos_.empty()] false. "),
        ("hmm_path", "0 0 0 0\n", "exp: [GetLine(ifile, line)] false. "),
        ("hmm_path", "0 0 0\n", "exp: [tmp.size() == STATUS_SUM] false. "),
        # Files with text but not one usable line: a corpus where a table belongs.
        ("idf_path", "我们 今天 去 北京\n北京 大学\n\n天气\n",
         "exp: [HasEntryOrNothing(text)] false. no line of {path} is a word and its IDF value"),
        ("user_dict_path", "\n我们 今天 去 北京 天安门\n",
         "exp: [blank || static_node_infos_.size() > before] false. "
         "no line of {path} names a word"),
        ("dict_path", "我们 去 北京\n大学 0 n\n",
         "exp: [total_frequency_ > 0 && std::isfinite(total_frequency_)] false. "
         "no word of {path} has a usable frequency"),
    ],
    ids=["dict-fields", "dict-empty", "hmm-short", "hmm-fields", "idf-corpus", "user-corpus",
         "dict-no-frequency"],
)
def test_malformed_file_raises_value_error(tmp_path, capfd, key, content, message):
    bad = tmp_path / "bad.utf8"
    bad.write_text(content, encoding="utf-8")
    message = message.format(path=bad)
    with pytest.raises(ValueError) as info:
        pymiratext.Jieba(**paths(**{key: str(bad)}))
    assert str(info.value).startswith(message)
    # The FATAL line still reaches standard error, alone.
    err = capfd.readouterr().err
    assert " FATAL " + message in err and err.count("\n") == 1, err


@pytest.mark.parametrize("key, content", [("idf_path", ""), ("idf_path", "\n\n"),
                                          ("user_dict_path", ""), ("stop_word_path", "")])
def test_a_file_without_text_loads_as_an_empty_table(tmp_path, key, content):
    empty = tmp_path / "empty.utf8"
    empty.write_text(content, encoding="utf-8")
    assert pymiratext.Jieba(**paths(**{key: str(empty)})).cut("北京大学") == ["北京大学"]


def test_threads_cut_like_one_thread(jieba):
    sentences = ["我是北京大学的学生，韩冰林森abc123", "云计算 蓝莓3.14", "甲乙丙中国人民"]
    long_text = "".join(sentences) * 50
    sentences.append(long_text)
    expected = [(jieba.cut(s), jieba.cut_for_search(s)) for s in sentences]
    failures = []

    def worker(offset):
        for i in range(60):
            k = (i + offset) % len(sentences)
            got = (jieba.cut(sentences[k]), jieba.cut_for_search(sentences[k]))
            if got != expected[k]:
                failures.append((offset, k))

    threads = [threading.Thread(target=worker, args=(t,)) for t in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_pickle_round_trip(jieba):
    clone = pickle.loads(pickle.dumps(jieba))
    assert clone is not jieba
    text = "我是北京大学的学生，韩冰林森"
    assert clone.cut(text) == jieba.cut(text)
    assert clone.cut_for_search(text) == jieba.cut_for_search(text)


# An object made with __new__ has no native segmenter behind it yet; using it
# must raise, not run on uninitialised memory. A subprocess keeps a crash from
# taking the test run down with it.
@pytest.mark.parametrize("call", ["o.cut('x')", "o.cut_for_search('x')", "o.__getstate__()",
                                  "pickle.dumps(o)", "o.tokenize('x')", "o.tag('x')",
                                  "o.extract_keywords('x')", "o.cut_many(['x'])"])
def test_uninitialised_object_raises(call):
    import subprocess

    code = (
        "import pickle, pymiratext\n"
        "o = pymiratext.Jieba.__new__(pymiratext.Jieba)\n"
        "try:\n"
        f"    {call}\n"
        "except (TypeError, RuntimeError):\n"
        "    raise SystemExit(0)\n"
        "raise SystemExit(1)\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr

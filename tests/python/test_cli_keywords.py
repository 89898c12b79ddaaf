"""pymiratext keywords and pymiratext cut --offsets / --tags."""

import json
from pathlib import Path

import pytest

import pymiratext
from pymiratext import cli

from conftest import run_cli as run

DATA = Path(__file__).resolve().parents[1] / "data" / "cli"
CORPUS = DATA / "corpus.txt"
DICT = ["--dict", str(DATA)]


@pytest.fixture(scope="module")
def segmenter():
    return pymiratext.Jieba(**cli.paths_in(str(DATA)))


def corpus_lines():
    return CORPUS.read_text(encoding="utf-8").splitlines()


@pytest.mark.parametrize("flags, top_k", [([], 20), (["--top", "1"], 1), (["--top", "0"], 0)],
                         ids=["default", "top-1", "all"])
def test_keywords_json_agrees_with_the_library_line_by_line(capsys, segmenter, flags, top_k):
    status, out, err = run(capsys, "keywords", *DICT, "--json", *flags, CORPUS)
    assert status == 0, err
    rows = [json.loads(row) for row in out.splitlines()]
    expected = [segmenter.extract_keywords(line, top_k) for line in corpus_lines()]
    assert rows == [[list(pair) for pair in keywords] for keywords in expected]


def test_keywords_plain_prints_word_colon_weight(capsys, tmp_path):
    # 今天 lacks an IDF: the mean (3.5 + 6.2 + 7.1) / 3 = 5.6, halved; 天气 3.5, halved.
    path = tmp_path / "in.txt"
    path.write_text("今天的天气很好\n\n。。\n", encoding="utf-8")
    status, out, _ = run(capsys, "keywords", *DICT, path)
    assert (status, out) == (0, "今天:2.8000 天气:1.7500\n\n\n")


@pytest.mark.parametrize("search", [False, True], ids=["cut", "cut_for_search"])
def test_cut_offsets_agree_with_tokenize(capsys, segmenter, search):
    flags = ["--search"] if search else []
    status, out, err = run(capsys, "cut", *DICT, "--offsets", *flags, CORPUS)
    assert status == 0, err
    rows = [json.loads(row) for row in out.splitlines()]
    lines = corpus_lines()
    assert rows == [[list(span) for span in segmenter.tokenize(line, search)] for line in lines]
    for line, spans in zip(lines, rows):
        assert all(line[start:end] == word for word, start, end in spans)
        if not search:
            assert "".join(word for word, _, _ in spans) == line


def test_cut_tags_agree_with_tag(capsys, segmenter):
    status, out, err = run(capsys, "cut", *DICT, "--tags", CORPUS)
    assert status == 0, err
    rows = [json.loads(row) for row in out.splitlines()]
    assert rows == [[list(pair) for pair in segmenter.tag(line)] for line in corpus_lines()]


@pytest.mark.parametrize(
    "argv, fragment",
    [
        (["cut", "--tags", "--search"], "--tags: not allowed with argument --search"),
        (["cut", "--offsets", "--tags"], "not allowed with argument"),
        (["keywords", "--top", "-1"], "at least 0"),
        (["keywords", "--top", "x"], "not a whole number"),
    ],
    ids=["tags-search", "offsets-tags", "top-negative", "top-not-a-number"],
)
def test_usage_errors_exit_2_on_one_line(capsys, argv, fragment):
    status, out, err = run(capsys, *argv, CORPUS)
    assert (status, out) == (2, "")
    assert err.startswith("pymiratext") and err.count("\n") == 1 and fragment in err, err

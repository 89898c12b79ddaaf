"""The command line's index terms: the library's defaults, --legacy, and model
files written before document counts existed, which keep their old terms."""

import json

import pytest

import pymiratext
from pymiratext import TextEncoder, cli

TEXTS = ["臺灣的電腦公司", "能吃归脾丸吗", "ＩＰＨＯＮＥ手机", "台湾电脑"]


def run(capsys, *argv):
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    assert status == 0, err
    return out


@pytest.fixture(scope="module")
def corpus(tmp_path_factory):
    path = tmp_path_factory.mktemp("terms") / "corpus.txt"
    path.write_text("\n".join(TEXTS) + "\n", encoding="utf-8")
    return path


@pytest.mark.parametrize("train_flags, encode_flags, options", [
    ([], [], {}),
    (["--legacy"], [], {"legacy": True}),                       # implied by the model file
    (["--legacy"], ["--search", "--fold-script"], {"legacy": True, "search": True, "fold_script": True}),
    ([], ["--no-search", "--no-fold-script"], {"search": False, "fold_script": False}),
], ids=["defaults", "legacy-file", "legacy-file-with-flags", "flags-off"])
def test_encode_uses_the_terms_of_the_library(capsys, tmp_path, bundled_jieba, corpus, train_flags,
                                              encode_flags, options):
    model_path = tmp_path / "m.json"
    run(capsys, "train", corpus, "-o", model_path, *train_flags)
    stored = json.loads(model_path.read_text(encoding="utf-8"))
    assert ("_doc_token_document_frequency" in stored) == ("--legacy" not in train_flags)
    out = run(capsys, "encode", "-m", model_path, "--query", corpus, *encode_flags)
    model = cli.load_model(str(model_path))
    expected = TextEncoder(bundled_jieba, model, **options).encode_queries(TEXTS)
    assert [json.loads(line) for line in out.splitlines()] == expected


def test_a_traditional_query_finds_the_simplified_line(capsys, tmp_path, corpus):
    model_path = tmp_path / "m.json"
    run(capsys, "train", corpus, "-o", model_path)
    out = run(capsys, "search", "-m", model_path, "--corpus", corpus, "臺灣電腦", "--top", "2")
    assert sorted(line.split("(line ")[1].split(")")[0] for line in out.splitlines()) == ["1", "4"]
    legacy = tmp_path / "legacy.json"
    run(capsys, "train", corpus, "-o", legacy, "--legacy")
    out = run(capsys, "search", "-m", legacy, "--corpus", corpus, "臺灣電腦", "--top", "2")
    assert "(line 4)" not in out

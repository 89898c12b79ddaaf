"""tools/eval_retrieval.py: the bigram baseline, ranking and metrics, on a
tiny set whose ranks are worked out by hand."""

import math
import shutil

import pytest

import eval_retrieval as ev

LOG3 = math.log2(3)


@pytest.mark.parametrize("text, tokens", [
    ("北京大学", ["北京", "京大", "大学"]),
    ("大", ["大"]),
    ("ＡＢｃ１２３", ["abc123"]),                       # width folding and lower case
    ("iPhone手机", ["iphone", "手机"]),
    ("中文,English 字。a_b", ["中文", "english", "字", "a", "b"]),
    ("𠀀𠀁", ["𠀀𠀁"]),                                  # Han beyond the first plane
    ("。，！", []),
])
def test_bigram_tokens(text, tokens):
    assert ev.bigram_tokens(text) == tokens


@pytest.mark.parametrize("ranked, relevance, scores", [
    (["a", "b"], {"a": 1}, (1.0, 1.0, 1.0)),
    (["b", "a"], {"a": 1}, (1 / LOG3, 1.0, 0.5)),
    (["b", "a"], {"a": 1, "b": 2}, ((2 + 1 / LOG3) / (2 + 1 / LOG3), 1.0, 1.0)),
    (["a", "b"], {"a": 1, "b": 2}, ((1 + 2 / LOG3) / (2 + 1 / LOG3), 1.0, 1.0)),
    (["x"] * 10 + ["a"], {"a": 1}, (0.0, 1.0, 0.0)),       # found past the tenth place
    ([], {"a": 1, "b": 1}, (0.0, 0.0, 0.0)),
])
def test_metrics(ranked, relevance, scores):
    got = tuple(metric(ranked, relevance) for _name, metric in ev.METRICS)
    assert got == pytest.approx(scores)


def test_ranking_keeps_corpus_order_for_ties_and_leaves_out_unmatched_documents():
    index = ev.Index([{"a": 1.0}, {"b": 1.0}, {"a": 2.0}, {"a": 1.0, "c": 0.0}])
    assert index.search({"a": 0.5, "z": 1.0}) == [2, 0, 3]
    assert index.search({"c": 1.0}) == [3]
    assert index.search({"z": 1.0}) == []
    assert index.search({"a": 1.0}, depth=2) == [2, 0]


def test_classic_bm25_by_hand():
    docs, queries = ev.classic_bm25([["a", "b", "a"], ["b"]], [["a", "a", "c"]])
    # Average length 2; norm = 1.2 * (0.25 + 0.75 * length / 2).
    assert docs[0] == pytest.approx({"a": 2 * 2.2 / (2 + 1.65), "b": 2.2 / (1 + 1.65)})
    assert docs[1] == pytest.approx({"b": 2.2 / (1 + 0.75)})
    # A repeated query term counts once; one the corpus lacks has no weight.
    assert queries == [pytest.approx({"a": math.log(1 + 1.5 / 1.5)})]


def test_the_tiny_set_end_to_end(test_data, capsys):
    # Bigrams: d1 北京 京大 大学, d2 北京 京天 天气, d3 python 教程, d4 天气.
    # q1 北京天气 ranks d2 (all three terms), then d4 before d1 (one term of
    # equal IDF each, d4 the shorter): its relevant d4 comes second. q2 finds
    # d3 alone; q3's lone 大 matches no bigram; q4 has no judgement.
    folder = str(test_data / "retrieval")
    dataset = ev.Dataset(folder)
    assert dataset.query_ids == ["q1", "q2", "q3"]
    docs, queries = ev.baseline_vectors(dataset)
    index = ev.Index(docs)
    assert [index.search(q) for q in queries] == [[1, 3, 0], [2], []]
    assert ev.rankings(docs, queries) == [[1, 3, 0], [2], []]  # the matrix path ranks alike
    scores = ev.evaluate(dataset, docs, queries)
    assert scores == pytest.approx({"nDCG@10": (1 / LOG3 + 1) / 3, "Recall@100": 2 / 3, "MRR@10": 0.5})

    assert ev.main([folder, "--dict", str(test_data / "cli"), "--set", "stop_words=False"]) == 0
    out = capsys.readouterr().out.splitlines()
    assert out[0] == "retrieval: 3 queries, 4 documents"
    assert out[3].split() == ["bigram", "BM25", "0.5436", "0.6667", "0.5000"]
    rows = [line.strip("| ").split(" | ") for line in out[-3:]]
    assert [row[0] for row in rows] == ["encoder stop_words=False", "character bigrams, BM25", "gain over bigrams"]
    assert rows[1][1:] == ["0.5436", "0.6667", "0.5000"]
    ours, base, gain = ([float(cell) for cell in row[1:]] for row in rows)
    assert gain == pytest.approx([a - b for a, b in zip(ours, base)], abs=2e-4)


def test_a_folder_of_sets_gives_one_table_with_every_set_and_variant(test_data, tmp_path, capsys):
    for name in ("b_set", "a_set"):
        shutil.copytree(test_data / "retrieval", tmp_path / name)
    (tmp_path / "notes").mkdir()  # no corpus: not a set
    assert ev.main([str(tmp_path), "--dict", str(test_data / "cli"), "--variant", "legacy=True bm25.k1=2.0"]) == 0
    table = [line for line in capsys.readouterr().out.splitlines() if line.startswith("|")]
    assert table[0].split(" | ")[1:5] == ["a_set nDCG@10", "Recall@100", "MRR@10", "b_set nDCG@10"]
    assert [row.split(" | ")[0] for row in table[2:]] == [
        "| encoder", "| legacy=True bm25.k1=2.0", "| character bigrams, BM25"]  # no gain row: two encoders
    for row in table[2:]:
        cells = row.strip("| ").split(" | ")[1:]
        assert cells[:3] == cells[3:]  # the same set twice scores the same
    assert table[-1].endswith("| 0.5436 | 0.6667 | 0.5000 |")


def test_a_bad_row_names_its_place(tmp_path):
    (tmp_path / "corpus.tsv").write_text("d1\tok\nd2 no tab\n", encoding="utf-8")
    with pytest.raises(ValueError, match=r"corpus.tsv:2: expected 2"):
        ev.read_tsv(str(tmp_path / "corpus.tsv"), 2)

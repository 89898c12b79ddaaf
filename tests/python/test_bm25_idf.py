"""BM25(idf="documents"): query weights from the documents holding each token,
against a plain-Python reference, through every way a model is built or kept."""

import math
import pickle

import pytest

from pymiratext import BM25

CORPUS = [["年", "年", "年", "患者"], ["年", "患者", "患者"], ["高血压"], ["年", "月", "月", "月"]]


def reference_query(corpus, query):
    n = len(corpus)
    df = {t: sum(t in doc for doc in corpus) for t in query}
    # A token no document holds weighs as one held once.
    idf = {t: math.log((n + 1) / (df[t] + 0.5 if df[t] else 1.5)) for t in query}
    total = sum(idf.values())
    return {t: idf[t] / total for t in sorted(idf)}


def trained(**options):
    model = BM25(**options)
    for doc in CORPUS:
        model.train(doc)
    return model


def batch_trained():
    model = BM25(idf="documents")
    model.train_many(CORPUS, threads=2)
    return model


def merged():
    model = BM25(idf="documents")
    model.train_many(CORPUS[:2])
    other = BM25(idf="documents")
    other.train_many(CORPUS[2:])
    model.merge(other)
    return model


def pickled():
    return pickle.loads(pickle.dumps(trained(idf="documents")))


def reloaded(tmp_path):
    trained(idf="documents").dump(str(tmp_path / "m.json"))
    model = BM25()  # the file, not the object, decides what is counted
    model.load((tmp_path / "m.json").read_text(encoding="utf-8"))
    return model


@pytest.mark.parametrize("make", [lambda _p: trained(idf="documents"), lambda _p: batch_trained(),
                                  lambda _p: merged(), lambda _p: pickled(), reloaded],
                         ids=["train", "train_many", "merge", "pickle", "file"])
def test_query_weights_count_documents(tmp_path, make):
    model = make(tmp_path)
    assert model.idf == "documents"
    for query in (["年", "患者", "高血压"], ["年", "月"], ["年"], ["年", "未见"]):
        weights = model.encode_query(query)
        assert weights == pytest.approx(reference_query(CORPUS, query))
        assert min(weights.values()) > 0
        assert model.encode_queries([query]) == [weights]
    # Documents are weighed as by occurrences.
    assert model.encode_document(CORPUS[0]) == trained().encode_document(CORPUS[0])


def test_occurrence_counting_is_unchanged_and_can_go_negative(tmp_path):
    plain, explicit = trained(), trained(idf="occurrences")
    assert plain.idf == explicit.idf == "occurrences"
    plain.dump(str(tmp_path / "a.json"))
    explicit.dump(str(tmp_path / "b.json"))
    assert (tmp_path / "a.json").read_bytes() == (tmp_path / "b.json").read_bytes()
    assert "_doc_token_document_frequency" not in (tmp_path / "a.json").read_text()
    assert pickle.dumps(plain) == pickle.dumps(explicit)
    assert plain.encode_query(["年", "高血压"])["年"] < 0  # 6 occurrences, 4 documents


def test_options_and_mismatches_raise():
    with pytest.raises(ValueError, match="idf must be 'occurrences' or 'documents'"):
        BM25(idf="tokens")
    with pytest.raises(TypeError):
        BM25(0.75, 1.2, "documents")  # keyword only
    model = trained(idf="documents")
    with pytest.raises(ValueError, match="^cannot merge BM25 models that count the idf differently$"):
        model.merge(trained())
    empty = BM25()  # holds nothing yet, so it takes the kind of what it merges
    empty.merge(model)
    assert empty.idf == "documents" and pickle.dumps(empty) == pickle.dumps(model)
    assert model.encode_query(["年", "月"]) == pytest.approx(reference_query(CORPUS, ["年", "月"]))

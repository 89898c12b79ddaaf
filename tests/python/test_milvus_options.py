"""A collection records every encoder option; one made before the options
existed opens with the encoder it was indexed with."""

import pytest

pytest.importorskip("pymilvus", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")
pytest.importorskip("milvus_lite", reason="the 'milvus' extra is not installed: pip install 'pymiratext[milvus]'")

from pymiratext import BM25, TextEncoder, milvus  # noqa: E402

TEXTS = ["臺灣的電腦公司", "能吃归脾丸吗", "台湾电脑", "红烧肉怎么做"]


@pytest.mark.parametrize("options", [{}, {"legacy": True, "search": True}, {"unknown_words": False, "fold_script": False},
                                     {"characters": True}],
                         ids=["defaults", "legacy-search", "some-off", "characters"])
def test_every_option_is_kept_with_the_collection(tmp_path, bundled_jieba, options):
    encoder = TextEncoder(bundled_jieba, **options)
    encoder.train(TEXTS)
    db = str(tmp_path / "options.db")
    with milvus.TextCollection.create(db, encoder, name="options", scoring="vectors") as collection:
        collection.add(TEXTS, progress=False)
    with milvus.TextCollection.open(db, "options", jieba=bundled_jieba) as collection:
        assert collection.encoder.options == encoder.options
        hits = collection.search("臺灣電腦", top=4)
    query = encoder.encode_queries(["臺灣電腦"])[0]
    expected = [i for i, doc in enumerate(encoder.encode_documents(TEXTS)) if set(doc) & set(query)]
    assert sorted(hit.id for hit in hits) == expected


def test_a_record_without_the_new_options_means_the_old_encoder(bundled_jieba):
    old_record = {"format": 1, "model_sha256": "0" * 64, "search": True, "stop_words": False}
    rebuilt = milvus._model._make_encoder(bundled_jieba, BM25(), old_record)
    assert rebuilt.options == TextEncoder(bundled_jieba, legacy=True, search=True, stop_words=False).options
    # A collection of 0.2 records every option but bigrams: indexed without them.
    record = dict(old_record, stop_words=True, unknown_words=True, normalize=True, fold_script=True,
                  script_table=None)
    rebuilt = milvus._model._make_encoder(bundled_jieba, BM25(), record)
    assert rebuilt.options == TextEncoder(bundled_jieba, search=True, bigrams=False, characters=False).options
    # One made by 0.3, before characters were an option: indexed without them.
    rebuilt = milvus._model._make_encoder(bundled_jieba, BM25(), dict(record, search=False, bigrams=True))
    assert rebuilt.options == TextEncoder(bundled_jieba, characters=False).options

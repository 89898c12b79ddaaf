"""Pickled segmenters and models give workers in other processes exactly the serial results."""

import multiprocessing
import pickle

import pytest

from pymiratext import BM25, TextEncoder

STRING_DOCS = [["a", "b", "a"], ["b", "c"], ["a", "d", "d", "d"]]
INT_DOCS = [[1, 2, 1], [2, 3], [1, 4, 4, 4]]


def _trained(docs, **params):
    model = BM25(**params)
    for doc in docs:
        model.train(doc)
    return model


def _dumped(model, path):
    model.dump(str(path))
    return path.read_bytes()


# ---------------------------------------------------------------- pickling


@pytest.mark.parametrize(
    "docs, extra",
    [(STRING_DOCS, ["d", "e", "e", "e", "e", "e", "e"]), (INT_DOCS, [4, 5, 5, 5, 5, 5, 5])],
    ids=["str-tokens", "int-tokens"],
)
def test_bm25_round_trip_trains_on_identically(tmp_path, docs, extra):
    original = _trained(docs, b=0.5, k1=1.7)
    copy = pickle.loads(pickle.dumps(original))
    assert copy.encode_query(docs[0]) == original.encode_query(docs[0])
    # The average after further training depends on the running length
    # total, which the model file does not keep: only a full copy agrees.
    original.train(extra)
    copy.train(extra)
    for doc in docs + [extra]:
        assert copy.encode_document(doc) == original.encode_document(doc)
    assert _dumped(copy, tmp_path / "copy.json") == _dumped(original, tmp_path / "original.json")


def test_untrained_bm25_round_trip_keeps_parameters_and_stays_untrained(tmp_path):
    copy = pickle.loads(pickle.dumps(BM25(b=0.3, k1=2.0)))
    with pytest.raises(RuntimeError, match="not been initialized"):
        copy.encode_document(["a"])
    assert _dumped(copy, tmp_path / "c.json") == _dumped(BM25(b=0.3, k1=2.0), tmp_path / "o.json")


@pytest.fixture(scope="module")
def lines(cli_data):
    return [line for line in (cli_data / "corpus.txt").read_text(encoding="utf-8").splitlines() if line]


def test_jieba_round_trip_cuts_the_same(cli_jieba, lines):
    original = cli_jieba
    copy = pickle.loads(pickle.dumps(original))
    for line in lines:
        assert copy.cut(line) == original.cut(line)
        assert copy.cut_for_search(line) == original.cut_for_search(line)


# ---------------------------------------------------------------- workers


def segment_and_encode(jieba, model, lines):
    """The unit of work a worker runs: documents and queries for a chunk of lines."""
    out = []
    for line in lines:
        tokens = jieba.cut(line)
        out.append((tokens, model.encode_document(tokens), model.encode_query(jieba.cut_for_search(line))))
    return out


def _serial(jieba, lines):
    model = BM25()
    for line in lines:
        model.train(jieba.cut(line))
    return jieba, model, segment_and_encode(jieba, model, lines)


def _chunks(items, n):
    return [items[i::n] for i in range(n)]


def _interleave(parts):
    merged = [None] * sum(len(p) for p in parts)
    for i, part in enumerate(parts):
        merged[i :: len(parts)] = part
    return merged


def test_spawned_process_pool_gives_the_serial_result(cli_jieba, lines):
    jieba, model, expected = _serial(cli_jieba, lines)
    context = multiprocessing.get_context("spawn")
    with context.Pool(2) as pool:
        parts = pool.starmap(segment_and_encode, [(jieba, model, chunk) for chunk in _chunks(lines, 2)])
    assert _interleave(parts) == expected


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("dask.distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
    ) as cluster, distributed.Client(cluster) as client:
        yield client


def test_dask_local_cluster_gives_the_serial_result(cli_jieba, lines, dask_client):
    jieba, model, expected = _serial(cli_jieba, lines)
    # Scatter once so each worker unpickles the segmenter a single time.
    jieba_f, model_f = dask_client.scatter([jieba, model], broadcast=True, hash=False)
    futures = [dask_client.submit(segment_and_encode, jieba_f, model_f, chunk) for chunk in _chunks(lines, 2)]
    parts = dask_client.gather(futures)
    assert _interleave(parts) == expected


def train_shard(jieba, lines):
    """What a worker runs: a model of its own, trained on its shard."""
    encoder = TextEncoder(jieba)
    encoder.train(lines, threads=1)
    return encoder.model


@pytest.mark.parametrize("split", [0, 1, 17], ids=["first-shard-empty", "one-line", "middle"])
def test_dask_workers_train_shards_that_merge_into_the_sequential_model(
    cli_jieba, lines, dask_client, tmp_path, split
):
    corpus = lines * 5
    sequential = TextEncoder(cli_jieba)
    for line in corpus:
        sequential.train([line])
    # hash=False: every test scatters under a fresh key; reusing the key of a
    # previous test's future while the scheduler releases it can hang older Dask.
    jieba_f = dask_client.scatter(cli_jieba, broadcast=True, hash=False)
    shards = dask_client.gather(
        [dask_client.submit(train_shard, jieba_f, part, pure=False) for part in (corpus[:split], corpus[split:])]
    )
    merged = BM25()
    for shard in shards:
        merged.merge(shard)
    assert _dumped(merged, tmp_path / "merged.json") == _dumped(sequential.model, tmp_path / "sequential.json")

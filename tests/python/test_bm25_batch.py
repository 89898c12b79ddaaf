"""Batch methods, merge and properties of BM25, against the per-call methods
and a plain-Python model of the formulas."""

import math
import pickle
import random
import subprocess
import sys
import threading
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pymiratext import BM25

THREADS = [0, 1, 2, 3]
TOP = 9223372036854775807


def plain_document(tokens, average, b=0.75, k1=1.2):
    if not tokens:
        return {}
    norm = ((len(tokens) / average) * b + (1.0 - b)) * k1
    counts = Counter(tokens)
    return {t: counts[t] / (norm + counts[t]) for t in sorted(counts)}


def plain_query(tokens, frequency, count):
    if not tokens:
        return {}
    documents = float(count + 1)
    weights = {
        t: math.log(documents / (frequency[str(t)] + 0.5)) if str(t) in frequency
        else math.log(documents / 1.5)
        for t in sorted(set(tokens))
    }
    total = sum(weights.values())
    return {t: w / total for t, w in weights.items()}


def corpus(seed, documents=400, ids=False):
    rng = random.Random(seed)
    words = ["中文", "a", "é", "z" * 20, "42", "-7", "\x00", "ab\x00", "词"] + [f"w{i}" for i in range(300)]
    out = []
    for i in range(documents):
        n = 0 if i % 13 == 0 else rng.randint(1, 90)
        if ids:
            out.append([rng.randint(-50, 400) for _ in range(n)])
        else:
            out.append([rng.choice(words[: rng.randint(1, len(words))]) for _ in range(n)])
    return out


def sequential(documents, **parameters):
    model = BM25(**parameters)
    for d in documents:
        if d:
            model.train(d)
    return model


def model_file(model, tmp_path, name="m.json"):
    path = tmp_path / name
    model.dump(str(path))
    return path.read_bytes()


def items(dicts):
    """Entries in iteration order, so that key order is compared too."""
    return [list(d.items()) for d in dicts]


@pytest.mark.parametrize("ids", [False, True], ids=["str", "int"])
@pytest.mark.parametrize("threads", THREADS)
def test_batch_results_equal_per_call_results_in_key_order(ids, threads, tmp_path):
    documents = corpus(1, ids=ids)
    trained = BM25()
    trained.train_many(documents, threads=threads)
    expected = sequential(documents)
    assert model_file(trained, tmp_path, "a") == model_file(expected, tmp_path, "b")
    assert pickle.dumps(trained) == pickle.dumps(expected)
    queries = corpus(2, 200, ids=ids)
    assert items(expected.encode_documents(queries, threads=threads)) == items(
        expected.encode_document(q) for q in queries)
    assert items(expected.encode_queries(queries, threads)) == items(
        expected.encode_query(q) for q in queries)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.lists(st.sampled_from(["a", "b", "é", "中", "ab", "a\x00", "10", "9"]), max_size=12),
                min_size=1, max_size=12),
       st.sampled_from(THREADS))
def test_results_equal_a_plain_python_model_exactly(documents, threads):
    if not any(documents):
        return
    model = BM25()
    model.train_many(documents, threads=threads)
    frequency = Counter(t for d in documents for t in d)
    count = sum(1 for d in documents if d)
    average = sum(map(len, documents)) / count
    assert items(model.encode_documents(documents, threads)) == items(
        plain_document(d, average) for d in documents)
    assert items(model.encode_queries(documents, threads)) == items(
        plain_query(d, frequency, count) for d in documents)
    assert (model.doc_count, model.doc_length_average, model.b, model.k1) == (count, average, 0.75, 1.2)


@settings(max_examples=40, deadline=None)
@given(st.lists(st.lists(st.sampled_from(["x", "y", "中文", "7"]), max_size=6), max_size=10),
       st.lists(st.integers(0, 10), max_size=3))
def test_merged_shards_write_the_sequential_model_file(documents, cuts):
    import tempfile
    from pathlib import Path

    bounds = [0] + sorted(min(c, len(documents)) for c in cuts) + [len(documents)]
    merged = BM25()
    for start, end in zip(bounds, bounds[1:]):
        merged.merge(sequential(documents[start:end]))
    with tempfile.TemporaryDirectory() as folder:
        assert model_file(merged, Path(folder), "a") == model_file(sequential(documents), Path(folder), "b")
    assert merged.doc_count == sum(1 for d in documents if d)


def test_merging_a_model_with_itself_doubles_it(tmp_path):
    documents = corpus(3, 50)
    model = sequential(documents)
    model.merge(model)
    assert model_file(model, tmp_path, "a") == model_file(sequential(documents + documents), tmp_path, "b")


def test_merge_refuses_other_parameters_and_overflow_leaving_both(tmp_path):
    model = sequential(corpus(4, 20))
    for other in (BM25(b=0.5), BM25(k1=2.0)):
        with pytest.raises(ValueError):
            model.merge(other)
    with pytest.raises(TypeError):
        model.merge("not a model")
    top = BM25()
    top.load('{"_doc_token_frequency": {"x": %d}, "_doc_count": 1,'
             ' "_doc_length_average": 1.0, "_b": 0.75, "_k1": 1.2}' % TOP)
    other = sequential([["a", "x"]])
    before = (model_file(top, tmp_path, "top"), model_file(other, tmp_path, "other"))
    with pytest.raises(OverflowError):
        top.merge(other)
    assert (model_file(top, tmp_path, "top"), model_file(other, tmp_path, "other")) == before


@pytest.mark.parametrize(
    "documents, error",
    [
        ([["a"], ["b", 1]], TypeError),
        ([["a"], "ab"], TypeError),
        ([["a"], ["x"]], OverflowError),
        ([], RuntimeError),
    ],
    ids=["mixed-kinds", "str-document", "overflow", "empty-batch"],
)
@pytest.mark.parametrize("threads", [1, 2])
def test_failed_batch_training_leaves_the_model(documents, error, threads, tmp_path):
    model = BM25()
    model.load('{"_doc_token_frequency": {"x": %d, "b": 3}, "_doc_count": 4,'
               ' "_doc_length_average": 2.0, "_b": 0.75, "_k1": 1.2}' % TOP)
    before = model_file(model, tmp_path, "before")
    with pytest.raises(error) as info:
        model.train_many(documents * 3000 if error is OverflowError else documents, threads=threads)
    if error is RuntimeError:
        assert str(info.value) == "trainning tokens_vec should not be empty"
    assert model_file(model, tmp_path, "after") == before


def test_failed_single_training_leaves_the_whole_model(tmp_path):
    model = BM25()
    model.load('{"_doc_token_frequency": {"x": %d}, "_doc_count": 1,'
               ' "_doc_length_average": 1.0, "_b": 0.75, "_k1": 1.2}' % TOP)
    before = model_file(model, tmp_path, "before")
    with pytest.raises(OverflowError):
        model.train(["new", "x"])
    assert model_file(model, tmp_path, "after") == before


@pytest.mark.parametrize("method", ["train_many", "encode_documents", "encode_queries"])
def test_thread_count_must_not_be_negative(method):
    model = sequential([["a"]])
    with pytest.raises(ValueError):
        getattr(model, method)([["a"]], threads=-1)


def test_empty_documents_are_skipped_and_encode_to_empty_dicts():
    model = BM25()
    model.train_many([[], ["a", "b"], []])
    assert model.doc_count == 1
    assert model.encode_documents([[], ["a"]]) == [{}, model.encode_document(["a"])]
    assert BM25().encode_queries([[], []]) == [{}, {}]
    with pytest.raises(RuntimeError, match="BM25 has not been initialized"):
        BM25().encode_queries([[], ["a"]], threads=2)


def test_batch_accepts_what_the_per_call_methods_accept():
    class Word(str):
        pass

    model = sequential([["a", "b"], [b"c"]])
    documents = [("a", "b"), [Word("a")], [b"c", "a"], [True, 2]]
    assert model.encode_queries(documents[:3]) == [model.encode_query(list(d)) for d in documents[:3]]
    assert [type(k) for k in model.encode_queries([[Word("a")]])[0]] == [str]
    assert model.encode_documents([documents[3]]) == [model.encode_document(documents[3])]
    with pytest.raises(TypeError):
        model.encode_documents(["ab"])
    with pytest.raises(TypeError):
        model.encode_documents([["a", "\ud800"]])


def test_signatures_and_properties():
    doc = BM25.encode_documents.__doc__
    assert "(self: pymiratext.BM25, documents: List[List[str]], threads: int = 0) -> List[Dict[str, float]]" in doc
    assert "(self: pymiratext.BM25, documents: List[List[int]], threads: int = 0) -> List[Dict[int, float]]" in doc
    model = BM25(b=0.5, k1=2.0)
    model.train_many([["a", "b"], ["c"]])
    assert (model.b, model.k1, model.doc_count, model.doc_length_average) == (0.5, 2.0, 2, 1.5)
    with pytest.raises(AttributeError):
        model.doc_count = 3


def test_batches_on_other_threads_do_not_disturb_per_call_methods():
    documents = corpus(5, 300)
    model = sequential(documents)
    expected = model.encode_documents(documents, threads=1)
    failures = []

    def encode():
        for _ in range(5):
            if model.encode_documents(documents, threads=2) != expected:
                failures.append("encode")

    def train():
        copy = BM25()
        for _ in range(5):
            copy.train_many(documents, threads=2)
            model.encode_document(documents[1])

    workers = [threading.Thread(target=encode), threading.Thread(target=train)]
    for w in workers:
        w.start()
    for d in documents[:50]:
        model.encode_query(d)
    for w in workers:
        w.join()
    assert failures == []


def test_training_waits_for_a_running_batch_instead_of_racing():
    documents = corpus(6, 2000)
    model = sequential(documents)
    script = (
        "import threading, pickle, sys\n"
        "from pymiratext import BM25\n"
        "docs = pickle.loads(sys.stdin.buffer.read())\n"
        "m = BM25()\n"
        "m.train_many(docs)\n"
        "stop = []\n"
        "def trainer():\n"
        "    while not stop:\n"
        "        m.train(['a', 'b'])\n"
        "t = threading.Thread(target=trainer); t.start()\n"
        "for _ in range(20):\n"
        "    m.encode_documents(docs, threads=2)\n"
        "    m.train_many(docs[:50], threads=2)\n"
        "stop.append(1); t.join(); print(m.doc_count > len(docs))\n"
    )
    out = subprocess.run([sys.executable, "-c", script], input=pickle.dumps(documents),
                         capture_output=True, timeout=300)
    assert (out.returncode, out.stdout) == (0, b"True\n"), out.stderr
    assert model.doc_count == sum(1 for d in documents if d)


def test_merge_against_batches_on_both_models_equals_a_sequential_order():
    # Round r of either model trains n new tokens plus one shared token, so
    # the merged model tells exactly which rounds of b each merge saw.
    script = (
        "import threading, time\n"
        "from pymiratext import BM25\n"
        "n, merges = 5000, 10\n"
        "a, b, done, rounds = BM25(), BM25(), [], {'a': 0, 'b': 0}\n"
        "def batches(model, name):\n"
        "    while not done:\n"
        "        rounds[name] += 1\n"
        "        model.train_many([[f'{name}{rounds[name]}_{i}', name] for i in range(n)])\n"
        "def merge():\n"
        "    for _ in range(merges):\n"
        "        a.merge(b)\n"
        "        time.sleep(0.01)\n"
        "    done.append(1)\n"
        "workers = [threading.Thread(target=batches, args=(b, 'b')), threading.Thread(target=merge)]\n"
        "for w in workers:\n"
        "    w.start()\n"
        "batches(a, 'a')\n"
        "for w in workers:\n"
        "    w.join()\n"
        "table = {k.decode(): v for k, v in a.__getstate__()[5].items()}\n"
        "seen = [table.get(f'b{r}_0', 0) for r in range(1, rounds['b'] + 1)]\n"
        "assert all(table.get(f'a{r}_{i}') == 1 for r in range(1, rounds['a'] + 1) for i in range(n))\n"
        "assert all(table.get(f'b{r}_{i}', 0) == seen[r - 1] for r in range(1, rounds['b'] + 1) for i in range(n))\n"
        "assert seen == sorted(seen, reverse=True) and seen[0] <= merges\n"
        "assert table['a'] == n * rounds['a'] and table.get('b', 0) == n * sum(seen)\n"
        "assert a.doc_count == n * (rounds['a'] + sum(seen))\n"
        "print('ok')\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=300)
    assert (out.returncode, out.stdout) == (0, b"ok\n"), out.stderr[-2000:]


def test_a_child_forked_during_a_batch_refuses_the_model_being_trained():
    script = (
        "import os, threading, time\n"
        "from pymiratext import BM25\n"
        "tokens = [f'w{i}' for i in range(4_000_000)]\n"
        "busy, read = BM25(), BM25()\n"
        "read.train(['a', 'b'])\n"
        "started = threading.Event()\n"
        "def run(call):\n"
        "    started.set()\n"
        "    call()\n"
        "workers = [threading.Thread(target=run, args=(lambda: busy.train_many([tokens], threads=1),)),\n"
        "           threading.Thread(target=run, args=(lambda: read.encode_documents([tokens], threads=1),))]\n"
        "for w in workers:\n"
        "    w.start()\n"
        "started.wait()\n"
        "time.sleep(0.1)\n"
        "pid = os.fork()\n"
        "if pid == 0:\n"
        "    calls = {'doc_count': lambda: busy.doc_count, 'train': lambda: busy.train(['a']),\n"
        "             'train_many': lambda: busy.train_many([['a']]),\n"
        "             'merged into another': lambda: BM25().merge(busy)}\n"
        "    lines = []\n"
        "    for name, call in calls.items():\n"
        "        try:\n"
        "            call()\n"
        "            lines.append(f'{name} ran')\n"
        "        except RuntimeError as e:\n"
        "            lines.append(f'{name} refused' if 'forked' in str(e) else repr(e))\n"
        "    read.train(['c'])\n"
        "    fresh = BM25()\n"
        "    fresh.train_many([['a']])\n"
        "    lines.append(f'others: {read.doc_count} {fresh.doc_count}')\n"
        "    os.write(1, ('\\n'.join(lines) + '\\n').encode())\n"
        "    os._exit(0)\n"
        "for w in workers:\n"
        "    w.join()\n"
        "deadline = time.time() + 30\n"
        "while os.waitpid(pid, os.WNOHANG) == (0, 0):\n"
        "    if time.time() > deadline:\n"
        "        os.kill(pid, 9)\n"
        "        os.waitpid(pid, 0)\n"
        "        print('child hung')\n"
        "        break\n"
        "    time.sleep(0.05)\n"
        "else:\n"
        "    print('parent', busy.doc_count, read.doc_count)\n"
    )
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, timeout=120)
    assert out.stdout.decode().splitlines() == [
        "doc_count refused", "train refused", "train_many refused", "merged into another refused",
        "others: 2 1", "parent 1 1",
    ], out.stderr[-2000:]

"""Ctrl-C during a long native batch: KeyboardInterrupt soon, the model as it was."""

import subprocess
import sys

# Each call runs for some tenths of a second at least (the quickest, on a
# quiet machine, about 0.3 s); SIGINT comes 0.1 s into it. A call that ignores
# signals until it ends reports "late" (or "finished"), and a training call
# that stops after changing the model reports "changed".
SCRIPT = """
import os, pickle, signal, threading, time
import pymiratext
from pymiratext import BM25, TextEncoder

jieba = pymiratext.Jieba(**pymiratext.default_paths())
model = BM25()
model.train(["天气", "seed"])
tokens = [f"w{i}" for i in range(3_000_000)]
documents = [tokens[i:i + 100] for i in range(0, len(tokens), 100)]
texts = ["今天天气很好，我们去公园散步，看见许多人在跑步和打太极拳。" * 4] * 100_000
calls = {
    "BM25.train_many": lambda: model.train_many(documents),
    "BM25.encode_documents": lambda: model.encode_documents(documents * 3),
    "BM25.encode_queries": lambda: model.encode_queries(documents * 3),
    "TextEncoder.train": lambda: TextEncoder(jieba, model).train(texts),
    "TextEncoder.encode_documents": lambda: TextEncoder(jieba, model).encode_documents(texts),
    "TextEncoder.encode_queries": lambda: TextEncoder(jieba, model).encode_queries(texts),
    "Jieba.cut_many": lambda: jieba.cut_many(texts),
}
for name, call in calls.items():
    before = pickle.dumps(model.__getstate__())
    sent = []
    def interrupt():
        time.sleep(0.1)
        sent.append(time.perf_counter())
        os.kill(os.getpid(), signal.SIGINT)
    timer = threading.Thread(target=interrupt)
    timer.start()
    try:
        call()
        result = "finished"
    except KeyboardInterrupt:
        late = time.perf_counter() - sent[0]
        result = "stopped" if late < 1.0 else f"late ({late:.1f} s)"
        if pickle.dumps(model.__getstate__()) != before:
            result += ", changed"
    timer.join()
    print(name, result, flush=True)
"""


def test_ctrl_c_stops_long_batches_before_they_change_the_model():
    out = subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, timeout=600)
    assert out.stdout.decode().splitlines() == [
        f"{name} stopped"
        for name in (
            "BM25.train_many", "BM25.encode_documents", "BM25.encode_queries",
            "TextEncoder.train", "TextEncoder.encode_documents", "TextEncoder.encode_queries",
            "Jieba.cut_many",
        )
    ], out.stderr[-2000:]

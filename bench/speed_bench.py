#!/usr/bin/env python3
"""The segmenter and encoder hot paths against another build, in one run.

Each measure runs in a fresh interpreter per build, the builds alternating,
so that both see the same machine; the figure is the best of --rounds, in
processor time except for the two-thread measure (wall time). A
build is a directory holding an importable `pymiratext` package (the source
tree's src/, or a copy of it with another build's extension).

Measures, on one corpus:
- encode_csr1: TextEncoder(jieba).encode_documents_csr(texts, threads=1)
- encode_csr2: the same with threads=2 (reported against its threads=1)
- cut_many1: Jieba.cut_many(texts, threads=1)
- load: Jieba(**default_paths()) time and the resident memory it adds

The corpus: --corpus FILE (one text a line; with tabs, the last field), its
first --megabytes MB; without it, the bundled sample corpus repeated.

--new-options 'search=True,bigrams=False,characters=False' gives the new build's encoder those
options (Python literals), so that both builds make the same terms when the
defaults differ between them.

Usage: python3 bench/speed_bench.py --baseline DIR [--new DIR] [--corpus FILE]
                                    [--megabytes 3] [--rounds 3] [--profile NAME]
                                    [--new-options K=V,...]
--profile NAME runs only measure NAME of the new build, in this process, with
--rounds runs (for perf record).
"""

import argparse
import json
import os
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def corpus(path, megabytes):
    limit = int(megabytes * 1e6)
    texts = []
    size = 0
    if path:
        with open(path, encoding="utf-8") as stream:
            lines = [line.rstrip("\n").split("\t")[-1] for line in stream]
    else:
        from pymiratext._data import sample_corpus_path

        with open(sample_corpus_path(), encoding="utf-8") as stream:
            lines = [line.rstrip("\n") for line in stream]
    lines = [line for line in lines if line.strip()]
    while size < limit:
        for line in lines:
            texts.append(line)
            size += len(line.encode("utf-8"))
            if size >= limit:
                break
    return texts, size


def rss_kb():
    with open("/proc/self/status") as stream:
        for line in stream:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def encoder_options(text):
    """'a=True,b=False' as keyword arguments."""
    import ast

    pairs = [item.split("=", 1) for item in (text or "").split(",") if item]
    return {key.strip(): ast.literal_eval(value.strip()) for key, value in pairs}


def measure(name, texts, rounds, options=None):
    """Best seconds of `rounds` runs of measure `name` (load: also the KB added)."""
    import pymiratext
    from pymiratext import Jieba, TextEncoder, default_paths

    if name == "load":
        before = rss_kb()
        t0 = time.process_time()
        jieba = Jieba(**default_paths())
        seconds = time.process_time() - t0
        return {"seconds": seconds, "rss_kb": rss_kb() - before, "alive": jieba is not None}
    jieba = Jieba(**default_paths())
    if name.startswith("encode_csr"):
        encoder = TextEncoder(jieba, **(options or {}))
        encoder.train(texts, threads=1)
        threads = int(name[-1])
        run = lambda: encoder.encode_documents_csr(texts, threads=threads, format="numpy")
    elif name == "cut_many1":
        run = lambda: jieba.cut_many(texts, threads=1)
    else:
        raise SystemExit("unknown measure " + name)
    # One thread: processor time, steadier than wall time on a busy machine;
    # wall time too, for the two-thread measure to be compared with.
    clock = time.perf_counter if name.endswith("2") else time.process_time
    run()  # warm
    best = wall = float("inf")
    for _ in range(rounds):
        t0, w0 = clock(), time.perf_counter()
        run()
        best = min(best, clock() - t0)
        wall = min(wall, time.perf_counter() - w0)
    del pymiratext
    return {"seconds": best, "wall": wall}


def child(args):
    texts, _ = corpus(args.corpus, args.megabytes)
    print(json.dumps(measure(args.child, texts, args.rounds, encoder_options(args.options))))


def run_child(build, name, args, options=None):
    env = dict(os.environ, PYTHONPATH=build)
    cmd = [sys.executable, os.path.abspath(__file__), "--child", name,
           "--megabytes", str(args.megabytes), "--rounds", str(args.rounds)]
    if options:
        cmd += ["--options", options]
    if args.corpus:
        cmd += ["--corpus", args.corpus]
    out = subprocess.run(cmd, env=env, check=True, capture_output=True, text=True).stdout
    return json.loads(out.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--baseline")
    parser.add_argument("--new", default=os.path.join(os.path.dirname(HERE), "src"))
    parser.add_argument("--corpus")
    parser.add_argument("--megabytes", type=float, default=3.0)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repeat", type=int, default=2, help="alternations of the builds")
    parser.add_argument("--child")
    parser.add_argument("--options", help=argparse.SUPPRESS)
    parser.add_argument("--new-options", help="encoder options of the new build: K=V,...")
    parser.add_argument("--profile")
    parser.add_argument("--only", help="comma-separated measures")
    args = parser.parse_args()
    if args.child:
        return child(args)
    if args.profile:
        sys.path.insert(0, args.new)
        texts, _ = corpus(args.corpus, args.megabytes)
        measure(args.profile, texts, args.rounds, encoder_options(args.new_options))
        return None
    if not args.baseline:
        parser.error("--baseline DIR is needed")
    names = (args.only or "encode_csr1,encode_csr2,cut_many1,load").split(",")
    sys.path.insert(0, args.new)
    _, size = corpus(args.corpus, args.megabytes)
    print(f"corpus: {size / 1e6:.2f} MB, best of {args.rounds} x {args.repeat}")
    results = {}
    for name in names:
        got = {"new": [], "base": []}
        for _ in range(args.repeat):
            got["base"].append(run_child(args.baseline, name, args))
            got["new"].append(run_child(args.new, name, args, args.new_options))
        results[name] = {k: min(v, key=lambda r: r["seconds"]) for k, v in got.items()}
        if name == "load":
            base_rss = min(r["rss_kb"] for r in got["base"])
            new_rss = min(r["rss_kb"] for r in got["new"])
            results[name]["rss"] = (base_rss, new_rss)
    for name, r in results.items():
        ratio = r["base"]["seconds"] / r["new"]["seconds"]
        line = f"{name:12s} speed new/baseline {ratio:5.2f}x"
        if name == "load":
            base_rss, new_rss = r["rss"]
            line += f"  resident memory added new/baseline {new_rss / max(base_rss, 1):.3f}"
        print(line)
    for tag in ("base", "new"):
        if "encode_csr1" in results and "encode_csr2" in results:
            scale = results["encode_csr1"][tag]["wall"] / results["encode_csr2"][tag]["wall"]
            print(f"encode_csr threads=2 / threads=1 ({tag}, wall time): {scale:.2f}x")
    return None


if __name__ == "__main__":
    main()

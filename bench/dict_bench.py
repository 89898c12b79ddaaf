"""Dictionary figures of two pymiratext builds, measured in one run.

    python bench/dict_bench.py --baseline DIR [--data DIR] [--repeat N]

DIR holds the baseline build's ``pymiratext`` package (``pip install
--no-deps --target DIR .`` in a checkout of the baseline commit); the build
installed in the running interpreter is the new one. Every figure comes from
fresh processes, alternating between the builds:

- load: seconds for ``Jieba(**paths)`` (best of N) and the resident memory
  it adds (median of N);
- cut: single-thread ``cut`` throughput over a news-like text (best of N);
- piece: peak resident memory added by cutting one 1,000,000-rune piece
  without separators (median of N).
"""

import argparse
import os
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools"))
from compare_cuts import SEPARATORS, news_like_text, run_child, sample_lines  # noqa: E402

CHILD = r"""
import json, sys, time
from pymiratext import Jieba
from pymiratext._data import paths_in

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])

mode, data_dir, text_path = sys.argv[1:4]
before = status("VmRSS")
start = time.perf_counter()
jieba = Jieba(**paths_in(data_dir))
load_seconds = time.perf_counter() - start
out = {"load_seconds": load_seconds, "load_kib": status("VmRSS") - before}
with open(text_path, encoding="utf-8") as f:
    text = f.read()
if mode == "cut":
    lines = text.split("\n")
    start = time.perf_counter()
    for line in lines:
        jieba.cut(line)
    out["chars_per_second"] = len(text) / (time.perf_counter() - start)
elif mode == "piece":
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # restart the peak from the current resident size
    before = status("VmRSS")
    words = jieba.cut(text)
    out["piece_peak_kib"] = status("VmHWM") - before
    out["piece_words"] = len(words)
print(json.dumps(out))
"""


def run(package_dir, mode, data_dir, text_path):
    return run_child(package_dir, CHILD, mode, data_dir, text_path)


def piece_text(data_dir, runes):
    plain = "".join(c for c in "".join(sample_lines(data_dir)) if c not in SEPARATORS)
    return (plain * (runes // len(plain) + 1))[:runes]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--baseline", required=True, help="folder holding the baseline build")
    parser.add_argument("--data", help="data folder (default: the installed package's)")
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--runes", type=int, default=1_000_000)
    args = parser.parse_args()
    if args.data is None:
        from pymiratext._data import data_dir

        args.data = data_dir()
    builds = {"baseline": os.path.abspath(args.baseline), "new": None}

    with tempfile.TemporaryDirectory() as tmp:
        news = os.path.join(tmp, "news.txt")
        with open(news, "w", encoding="utf-8") as f:
            f.write("\n".join(news_like_text(args.data, lines=10000)))
        piece = os.path.join(tmp, "piece.txt")
        with open(piece, "w", encoding="utf-8") as f:
            f.write(piece_text(args.data, args.runes))

        results = {name: {"load_seconds": [], "load_kib": [], "cps": [], "piece": []}
                   for name in builds}
        for _ in range(args.repeat):
            for name, package in builds.items():
                r = run(package, "cut", args.data, news)
                results[name]["load_seconds"].append(r["load_seconds"])
                results[name]["load_kib"].append(r["load_kib"])
                results[name]["cps"].append(r["chars_per_second"])
                r = run(package, "piece", args.data, piece)
                results[name]["piece"].append(r["piece_peak_kib"])

    def figures(name):
        r = results[name]
        return {
            "load s": min(r["load_seconds"]),
            "load MiB": statistics.median(r["load_kib"]) / 1024,
            "cut Mchar/s": max(r["cps"]) / 1e6,
            "piece MiB": statistics.median(r["piece"]) / 1024,
        }

    base, new = figures("baseline"), figures("new")
    print(f"data: {args.data}; {args.repeat} runs each; piece of {args.runes} runes")
    print(f"{'figure':<14}{'baseline':>12}{'new':>12}{'new/baseline':>14}")
    for key in base:
        print(f"{key:<14}{base[key]:>12.3f}{new[key]:>12.3f}{new[key] / base[key]:>14.2f}")


if __name__ == "__main__":
    main()

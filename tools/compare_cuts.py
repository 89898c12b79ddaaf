"""Compare the cuts of two pymiratext builds on the same data folder.

    python tools/compare_cuts.py --other DIR [--data DIR]

DIR is a folder that holds another build's ``pymiratext`` package (for
example ``pip install --no-deps --target DIR .`` run in a checkout of an
older commit); the build installed in the running interpreter is the other
side. Both cut, with ``cut`` and ``cut_for_search``, the sample corpus, a
large news-like text made from it and random text; the script prints the
number of differing sentences per text and exits non-zero on any
difference.
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile

SEPARATORS = " \t\n，。"

CHILD = r"""
import json, sys
from pymiratext import Jieba
from pymiratext._data import paths_in
jieba = Jieba(**paths_in(sys.argv[1]))
with open(sys.argv[2], encoding="utf-8") as f:
    texts = json.load(f)
out = {name: [[jieba.cut(s), jieba.cut_for_search(s)] for s in lines]
       for name, lines in texts.items()}
json.dump(out, sys.stdout, ensure_ascii=False)
"""


def sample_lines(data_dir):
    with open(os.path.join(data_dir, "sample_corpus.txt"), encoding="utf-8") as f:
        return [line.rstrip("\n") for line in f if line.strip()]


def news_like_text(data_dir, lines=20000, seed=1):
    """Sentences of the sample corpus recombined into news-like paragraphs:
    each line joins two to six sentences drawn at random."""
    rng = random.Random(seed)
    sentences = []
    for doc in sample_lines(data_dir):
        sentences.extend(s + "。" for s in doc.split("。") if s)
    return ["".join(rng.choice(sentences) for _ in range(rng.randint(2, 6))) for _ in range(lines)]


def dictionary_runes(data_dir, limit=3000):
    """The most frequent single runes of the dictionary, most frequent first."""
    singles = []
    with open(os.path.join(data_dir, "dict.txt"), encoding="utf-8") as f:
        for line in f:
            parts = line.split(" ")
            if len(parts) == 3 and len(parts[0]) == 1:
                singles.append((-float(parts[1]), parts[0]))
    singles.sort()
    return [r for _, r in singles[:limit]]


def random_text(data_dir, lines=3000, seed=2):
    """Random sentences of dictionary runes, rare CJK runes, ASCII letters,
    digits, punctuation and separators."""
    rng = random.Random(seed)
    common = dictionary_runes(data_dir)
    extra = list("abcXYZ0123456789.-_!?") + list(SEPARATORS) + ["😀", "é", "\u3000"]
    out = []
    for _ in range(lines):
        chars = []
        for _ in range(rng.randint(1, 80)):
            x = rng.random()
            if x < 0.75:
                chars.append(rng.choice(common))
            elif x < 0.85:
                chars.append(chr(0x4E00 + rng.randrange(0x5000)))
            else:
                chars.append(rng.choice(extra))
        out.append("".join(chars))
    return out


def run_child(package_dir, code, *args):
    """Runs *code* in a fresh interpreter that imports pymiratext from
    *package_dir* (or the installed one) and returns the JSON it prints."""
    env = dict(os.environ)
    if package_dir:
        env["PYTHONPATH"] = package_dir + os.pathsep + env.get("PYTHONPATH", "")
    done = subprocess.run(
        [sys.executable, "-c", code, *args],
        capture_output=True,
        env=env,
        cwd=tempfile.gettempdir(),
    )
    if done.returncode != 0:
        sys.exit(done.stderr.decode()[-2000:])
    return json.loads(done.stdout)


def cut_with(package_dir, data_dir, texts_path):
    return run_child(package_dir, CHILD, data_dir, texts_path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--other", required=True, help="folder holding the other build")
    parser.add_argument("--data", help="data folder (default: the installed package's)")
    args = parser.parse_args()
    if args.data is None:
        from pymiratext._data import data_dir

        args.data = data_dir()
    texts = {
        "sample corpus": sample_lines(args.data),
        "news-like text": news_like_text(args.data),
        "random text": random_text(args.data),
    }
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False, encoding="utf-8") as f:
        json.dump(texts, f, ensure_ascii=False)
        texts_path = f.name
    try:
        mine = cut_with(None, args.data, texts_path)
        other = cut_with(os.path.abspath(args.other), args.data, texts_path)
    finally:
        os.unlink(texts_path)
    failed = False
    for name, lines in texts.items():
        differ = sum(a != b for a, b in zip(mine[name], other[name]))
        runes = sum(len(s) for s in lines)
        print(f"{name}: {len(lines)} sentences, {runes} runes, {differ} differ")
        failed |= differ > 0
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

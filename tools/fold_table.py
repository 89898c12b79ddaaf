#!/usr/bin/env python3
"""Build the script-folding table t2s.txt from OpenCC's conversion tables.

    python3 tools/fold_table.py [--out FILE] [--cache-dir DIR] [--dict DICT.txt]

Each line is ``FROM<TAB>TO``: a Traditional or regional (Taiwan, Hong Kong)
form and its Simplified form, sorted by FROM in byte order, each FROM once.
A token is folded by scanning it left to right, taking at each position the
longest FROM that starts there and emitting its TO, else copying one
character.

The targets come from running Debian's ``opencc`` with its configurations
t2s.json (standard Traditional), tw2s.json and hk2s.json (regional forms,
first folded to the standard form), so the table agrees with the converter
itself.  A phrase is listed only when its conversion differs from what the
characters alone give.  Standard library only; the build of the default
data calls ``build_table`` and ``write_table``.
"""

import argparse
import functools
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_OUT = os.path.join(ROOT, "src", "pymiratext", "data", "t2s.txt")
DEFAULT_CACHE = os.path.join(HERE, "_cache")
OPENCC_DATA = "/usr/share/opencc"

# Configurations in order of preference: the standard form decides where the
# regional converters would disagree with it.
CONFIGS = ("t2s.json", "tw2s.json", "hk2s.json")
# Tables whose keys are the Traditional or regional forms to fold.
CHAR_TABLES = ("TSCharacters", "TWVariantsRev", "HKVariantsRev")
PHRASE_TABLES = {"TSPhrases": "t2s.json", "TWVariantsRevPhrases": "tw2s.json",
                 "HKVariantsRevPhrases": "hk2s.json"}
# Taiwan vocabulary (軟體, 計程車) and the configuration that gives its
# mainland word (软件, 出租车).
REGIONAL_TABLE, REGIONAL_CONFIG = "TWPhrasesRev", "tw2sp.json"
# Tables keyed by Simplified characters and phrases.  A regional form that
# Simplified text writes too keeps its own meaning there (著 of 著名, 抬 of
# 抬头) and is not folded.
SIMPLIFIED_TABLES = ("STCharacters", "STPhrases")


@functools.lru_cache(maxsize=None)  # asked once per table read
def opencc_version():
    out = subprocess.run(["dpkg-query", "-W", "-f=${Version}", "opencc"],
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return out.stdout.decode().strip() or "unknown"


def require_opencc():
    for tool in ("opencc", "opencc_dict"):
        if shutil.which(tool) is None:
            sys.exit("%s is not installed: apt-get install opencc" % tool)


def read_table(name, cache_dir):
    """{key: [candidates]} of an OpenCC dictionary, dumped to text once into the cache."""
    folder = os.path.join(cache_dir, "opencc-" + opencc_version())
    path = os.path.join(folder, name + ".txt")
    if not os.path.exists(path):
        os.makedirs(folder, exist_ok=True)
        tmp = path + ".part"
        subprocess.run(["opencc_dict", "-i", os.path.join(OPENCC_DATA, name + ".ocd2"),
                        "-o", tmp, "-f", "ocd2", "-t", "text"], check=True,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        os.rename(tmp, path)
    table = {}
    with open(path, encoding="utf-8", newline="\n") as f:
        for line in f:
            key, _, values = line.rstrip("\n").partition("\t")
            if key and values:
                table[key] = values.split(" ")
    return table


def convert(lines, config):
    """Each line converted by ``opencc -c config``, one line per input."""
    if not lines:
        return []
    with tempfile.TemporaryDirectory() as tmp:
        src, dst = os.path.join(tmp, "in.txt"), os.path.join(tmp, "out.txt")
        with open(src, "w", encoding="utf-8", newline="\n") as f:
            f.write("\n".join(lines) + "\n")
        subprocess.run(["opencc", "-c", config, "-i", src, "-o", dst], check=True,
                       stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with open(dst, encoding="utf-8", newline="\n") as f:
            out = f.read().split("\n")
    if out and out[-1] == "":
        out.pop()
    if len(out) != len(lines):
        sys.exit("opencc changed the line count: %d -> %d" % (len(lines), len(out)))
    return out


def fold(text, table, longest):
    """Greedy longest-match folding, the way the table's readers apply it."""
    out, i = [], 0
    while i < len(text):
        for n in range(min(longest, len(text) - i), 0, -1):
            to = table.get(text[i:i + n])
            if to is not None:
                out.append(to)
                i += n
                break
        else:
            out.append(text[i])
            i += 1
    return "".join(out)


def clean(s):
    return bool(s) and not any(c.isspace() for c in s)


def regional_words(table, cache_dir, frequency):
    """{FROM: TO} of the Taiwan words whose mainland word has as many
    characters and is the commoner Simplified reading: its frequency (by
    `frequency`, a word's count in the Simplified dictionary) is above that
    of the word's own characters folded (软件 over 软体, but not 拷贝 over
    复制, which Taiwan writes 複製 as well), and whose characters are not all
    Simplified ones."""
    longest = max(len(k) for k in table)
    keys = sorted(k for k in read_table(REGIONAL_TABLE, cache_dir) if len(k) > 1 and clean(k))
    words = {}
    for key, to in zip(keys, convert(keys, REGIONAL_CONFIG)):
        plain = fold(key, table, longest)
        # A key that Simplified text writes as well (智慧, 呼叫) keeps its
        # meaning there and is not folded.
        if (clean(to) and len(to) == len(key) and plain != key and to != plain
                and frequency(to) > frequency(plain)):
            words[key] = to
    return words


def build_table(cache_dir, frequency=None):
    """{FROM: TO} and counts describing how it was made; with `frequency`
    (word to its count in the Simplified dictionary) the Taiwan words of
    `regional_words` too."""
    require_opencc()
    simplified = set()
    for name in SIMPLIFIED_TABLES:
        for key in read_table(name, cache_dir):
            simplified.update(key)
    ts_chars = read_table("TSCharacters", cache_dir)
    for values in ts_chars.values():
        simplified.update(v for v in values if len(v) == 1)

    chars = set()
    for name in CHAR_TABLES:
        chars.update(k for k in read_table(name, cache_dir) if len(k) == 1)
    chars = sorted(chars)
    converted = {config: convert(chars, config) for config in CONFIGS}
    table, stats = {}, {"regional_kept": 0}
    for i, c in enumerate(chars):
        standard = converted["t2s.json"][i]
        if standard != c:
            to = standard
        else:
            regional = [converted[k][i] for k in CONFIGS[1:] if converted[k][i] != c]
            if not regional:
                continue
            if c in simplified:
                stats["regional_kept"] += 1
                continue
            to = regional[0]
        if clean(to):
            table[c] = to
    stats["chars"] = len(table)

    phrases = {}
    for name, config in PHRASE_TABLES.items():
        keys = sorted(k for k in read_table(name, cache_dir) if len(k) > 1 and clean(k))
        for key, to in zip(keys, convert(keys, config)):
            phrases.setdefault(key, to)  # the standard table is read first
    # A phrase goes in when folding without it gives another result; adding
    # one can change how a neighbour is matched, so repeat until stable.
    while True:
        longest = max(len(k) for k in table)
        missing = {k: to for k, to in phrases.items()
                   if k not in table and clean(to) and to != k
                   and fold(k, table, longest) != to}
        if not missing:
            break
        table.update(missing)
    longest = max(len(k) for k in table)
    stats["phrases"] = len(table) - stats["chars"]
    stats["phrases_read"] = len(phrases)
    stats["phrases_unmatched"] = sum(1 for k, to in phrases.items()
                                     if fold(k, table, longest) != to)
    stats["regional"] = 0
    if frequency is not None:
        add_regional(table, stats, cache_dir, frequency)
    return table, stats


def add_regional(table, stats, cache_dir, frequency):
    """Adds the Taiwan words of `regional_words` to the table; counts them in
    stats["regional"]."""
    regional = {k: to for k, to in regional_words(table, cache_dir, frequency).items()
                if k not in table}
    stats["regional"] = len(regional)
    table.update(regional)


def write_table(path, table):
    """Write the table to path, sorted by FROM in byte order."""
    lines = sorted((k.encode("utf-8"), to) for k, to in table.items())
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for key, to in lines:
            f.write("%s\t%s\n" % (key.decode("utf-8"), to))


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--out", default=DEFAULT_OUT)
    ap.add_argument("--cache-dir", default=DEFAULT_CACHE)
    ap.add_argument("--dict", metavar="DICT.txt",
                    help="dictionary (word frequency tag) whose frequencies choose the Taiwan words")
    args = ap.parse_args(argv)
    frequency = None
    if args.dict:
        counts = {}
        with open(args.dict, encoding="utf-8") as f:
            for line in f:
                word, freq = line.split(" ")[:2]
                counts[word] = int(freq)
        frequency = lambda word: counts.get(word, 0)  # noqa: E731
    table, stats = build_table(args.cache_dir, frequency)
    write_table(args.out, table)
    for k in sorted(stats):
        print("%s: %s" % (k, stats[k]))


if __name__ == "__main__":
    main()

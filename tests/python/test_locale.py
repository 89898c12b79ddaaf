"""Loading under a decimal-comma numeric locale must read every number as
the "C" locale does, so that the cuts do not change."""

import json
import os
import shutil
import subprocess
import sys

import pytest

CHILD = r"""
import json, locale, sys
import pymiratext
from pymiratext._data import sample_corpus_path
if sys.argv[1] != "C":
    locale.setlocale(locale.LC_NUMERIC, sys.argv[1])
    assert locale.localeconv()["decimal_point"] == ",", locale.localeconv()
jieba = pymiratext.Jieba(**pymiratext.default_paths())
with open(sample_corpus_path(), encoding="utf-8") as f:
    docs = [line.rstrip("\n") for line in f]
docs.append("我能到")
print(json.dumps([[jieba.cut(d), jieba.cut_for_search(d)] for d in docs]))
"""


@pytest.fixture(scope="module")
def comma_locale(tmp_path_factory):
    """A private de_DE.UTF-8 locale (decimal comma) and the environment
    that makes the C library find it."""
    localedef = shutil.which("localedef")
    if localedef is None:
        pytest.skip("localedef is not available to make a decimal-comma locale")
    root = tmp_path_factory.mktemp("locales")
    done = subprocess.run(
        [localedef, "-i", "de_DE", "-f", "UTF-8", str(root / "de_DE.UTF-8")],
        capture_output=True,
    )
    if not (root / "de_DE.UTF-8").exists():
        pytest.skip("no decimal-comma locale can be made: " + done.stderr.decode()[-200:])
    return "de_DE.UTF-8", dict(os.environ, LOCPATH=str(root))


def run_child(locale_name, env):
    out = subprocess.run(
        [sys.executable, "-c", CHILD, locale_name],
        capture_output=True,
        env=env,
    )
    assert out.returncode == 0, out.stderr.decode()[-2000:]
    return json.loads(out.stdout)


def test_cuts_under_a_decimal_comma_locale_equal_those_under_c(comma_locale):
    name, env = comma_locale
    under_c = run_child("C", env)
    assert len(under_c) > 1
    assert run_child(name, env) == under_c

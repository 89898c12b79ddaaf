"""One version across the package, its metadata, the command line and the extension;
and the content rules for the built distributions."""

import importlib.metadata
import os
import subprocess
import sys

import pytest

import pymiratext
from pymiratext import cli

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "tools"))

import check_dist  # noqa: E402


def test_package_metadata_extension_and_command_agree(capsys):
    version = pymiratext.__version__
    assert version == pymiratext.pymiratext.__version__
    assert version == importlib.metadata.version("pymiratext")
    assert cli.main(["--version"]) == 0
    assert capsys.readouterr().out == f"pymiratext {version}\n"


def test_licence_ships_with_the_package():
    meta = importlib.metadata.metadata("pymiratext")
    assert meta["License-Expression"].split(" AND ")[0] == "MIT"
    shipped = {f.name for f in importlib.metadata.files("pymiratext") if "licenses" in f.parts}
    assert {"LICENSE", "LGPL-3"} <= shipped


# Run in a fresh interpreter: the package believes it is another version than
# the extension it finds, as after an upgrade that left the old extension.
MISMATCH = """
import sys, types
fake = types.ModuleType("pymiratext._version")
fake.__version__ = sys.argv[1]
sys.modules["pymiratext._version"] = fake
for attempt in range(2):
    try:
        import pymiratext
    except ImportError as exc:
        print(exc.name, exc.path, str(exc), sep="\\n")
    else:
        print("imported")
"""


@pytest.mark.parametrize("expected", ["0.0.0", pymiratext.__version__ + ".post1"])
def test_extension_of_another_version_is_refused(tmp_path, expected):
    out = subprocess.run(
        [sys.executable, "-c", MISMATCH, expected],
        capture_output=True, text=True, cwd=tmp_path, check=True,
    ).stdout
    path = pymiratext.pymiratext.__file__
    message = (
        f"pymiratext {expected} cannot use its compiled extension {path}, which is version "
        f"{pymiratext.__version__}; reinstall pymiratext so that both come from one build"
    )
    # Refused on every attempt: no half-initialised package is left behind.
    assert out.split("\n") == ["pymiratext.pymiratext", path, message] * 2 + [""]


# ---------------------------------------------------------------- distributions


@pytest.mark.parametrize(
    "path, is_scratch",
    [
        ("build/py/CMakeCache.txt", True),
        ("build-asan/x", True),
        (".venv/bin/python", True),
        ("dist/pymiratext-0.1.0.tar.gz", True),
        ("src/pymiratext/pymiratext.cpython-311-x86_64-linux-gnu.so", True),
        ("tests/python/__pycache__/test_bm25.cpython-311.pyc", True),
        ("tests/python/.hypothesis/examples/x", True),
        ("src/pymiratext.egg-info/PKG-INFO", True),
        ("tools/build_data.py", False),
        ("csrc/tokenizer/jieba/DictTrie.cpp", False),
        ("tests/data/dict/crlf.utf8", False),
        ("build", False),  # a file of that name is source, not a build folder
    ],
)
def test_scratch_output_is_told_from_source(path, is_scratch):
    assert check_dist.scratch(path) is is_scratch


def test_sdist_must_match_the_tracked_files():
    tracked = {"pyproject.toml", "csrc/a.cpp", "tests/data/x.txt"} | set(check_dist.BUILD_FILES) - {"PKG-INFO"}
    complete = tracked | {"PKG-INFO"}
    assert check_dist.sdist_problems(complete, tracked) == []
    assert check_dist.sdist_problems(complete - {"csrc/a.cpp", "LICENSE"}, tracked) == [
        "missing LICENSE",
        "missing tracked file LICENSE",
        "missing tracked file csrc/a.cpp",
    ]
    assert check_dist.sdist_problems(complete | {"model.json", "build/py/a.o"}, tracked) == [
        "scratch output build/py/a.o",
        "not tracked by git: model.json",
    ]
    # Outside a git checkout only the build files and the scratch rules apply.
    assert check_dist.sdist_problems(complete | {"model.json"}, None) == []


def test_wheel_holds_the_package_and_nothing_else():
    files = [f"pymiratext/{n}" for n in check_dist.PACKAGE_FILES] + [
        "pymiratext/pymiratext.cpython-311-x86_64-linux-gnu.so",
        "pymiratext/data/licenses/LGPL-3",
        "pymiratext-0.1.0.dist-info/METADATA",
        "pymiratext-0.1.0.dist-info/licenses/LICENSE",
    ]
    assert check_dist.wheel_problems(files) == []
    assert check_dist.wheel_problems(files[1:] + ["tests/python/test_bm25.py"]) == [
        "missing pymiratext/__init__.py",
        "outside the package: tests/python/test_bm25.py",
    ]

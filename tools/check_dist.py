#!/usr/bin/env python3
"""Checks the built distributions of pymiratext (run by tools/run_tests.sh).

    check_dist.py sdist DIST.tar.gz   holds every file a build and the tests
                                      need, and no scratch output of builds or
                                      test runs
    check_dist.py wheel DIST.whl      holds the package, its data and the
                                      licences, and nothing else (no tests)
    check_dist.py smoke               run by the interpreter of a fresh
                                      environment where the wheel is installed

Each prints what is wrong, one line a problem, and exits 1; 0 when all is well.
"""

import argparse
import fnmatch
import math
import os
import subprocess
import sys
import tarfile
import tempfile
import zipfile
from typing import Iterable, List, Optional, Set

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# Files without which the sdist cannot be built into a working wheel.
BUILD_FILES = (
    "PKG-INFO",
    "pyproject.toml",
    "CMakeLists.txt",
    "README.md",
    "LICENSE",
    "CHANGELOG.md",
    "src/pymiratext/__init__.py",
    "src/pymiratext/_version.py",
    "csrc/pybind/Module.cpp",
)

# Path components that only builds, installs and test runs leave behind.
SCRATCH_DIRS = ("__pycache__", ".pytest_cache", ".hypothesis", "_skbuild", "CMakeFiles", "*.egg-info")
# Top-level folders of the same kind (tools/build_data.py is no build folder).
SCRATCH_TOP = ("build*", "dist", ".venv*", ".tox", ".git")
SCRATCH_FILES = ("*.so", "*.pyd", "*.dylib", "*.py[cod]", "*.o", "*.a", "CMakeCache.txt", ".coverage*")

# The package files the wheel must ship, relative to the package folder.
PACKAGE_FILES = (
    "__init__.py",
    "_version.py",
    "_data.py",
    "cli.py",
    "langchain.py",
    "llama_index.py",
    "_retrievers.py",
    "pymiratext.pyi",
    "py.typed",
    "data/README.md",
    "data/dict.txt",
    "data/hmm_model.txt",
    "data/idf.txt",
    "data/stop_words.txt",
    "data/user_dict.txt",
    "data/t2s.txt",
    "data/sample_corpus.txt",
    "milvus/__init__.py",
    "milvus/_build.py",
    "milvus/_catalog.py",
    "milvus/_collection.py",
    "milvus/_database.py",
    "milvus/_errors.py",
    "milvus/_hybrid.py",
    "milvus/_ingest.py",
    "milvus/_model.py",
    "milvus/_schema.py",
    "milvus/_signals.py",
    "serve/__init__.py",
    "serve/_app.py",
    "serve/_server.py",
    "serve/page.html",
)


def scratch(path: str) -> bool:
    """True when *path* (relative to the project root) is build or test output."""
    parts = path.split("/")
    if any(fnmatch.fnmatchcase(parts[0], p) for p in SCRATCH_TOP) and len(parts) > 1:
        return True
    if any(fnmatch.fnmatchcase(part, p) for part in parts[:-1] for p in SCRATCH_DIRS):
        return True
    return any(fnmatch.fnmatchcase(parts[-1], p) for p in SCRATCH_FILES)


def tracked_files(root: str) -> Optional[Set[str]]:
    """The files git tracks under *root* that exist on disk, or None outside a git checkout."""
    try:
        out = subprocess.run(
            ["git", "-C", root, "ls-files", "-z"], capture_output=True, check=True
        ).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    names = (os.fsdecode(n) for n in out.split(b"\0") if n)
    return {n for n in names if os.path.isfile(os.path.join(root, n))}


def sdist_problems(names: Iterable[str], tracked: Optional[Set[str]]) -> List[str]:
    """Problems of an sdist holding *names* (paths below its top folder).

    With *tracked* (the checkout's files) the sdist must hold exactly those:
    a missing one may be needed by the build or the tests, an extra one is
    output that a build or test run left in the tree.
    """
    names = set(names)
    problems = [f"missing {n}" for n in BUILD_FILES if n not in names]
    problems += [f"scratch output {n}" for n in sorted(names) if scratch(n)]
    if tracked is not None:
        content = names - {"PKG-INFO"}
        problems += [f"missing tracked file {n}" for n in sorted(tracked - content)]
        problems += [
            f"not tracked by git: {n}" for n in sorted(content - tracked) if not scratch(n)
        ]
    return problems


def sdist_names(path: str) -> List[str]:
    with tarfile.open(path) as archive:
        members = [m for m in archive.getmembers() if not m.isdir()]
    tops = {m.name.split("/", 1)[0] for m in members}
    if len(tops) != 1:
        raise SystemExit(f"{path}: not one top folder but {sorted(tops)}")
    return [m.name.split("/", 1)[1] for m in members if "/" in m.name]


def wheel_problems(names: Iterable[str]) -> List[str]:
    names = set(names)
    problems = [f"missing pymiratext/{n}" for n in PACKAGE_FILES if f"pymiratext/{n}" not in names]
    if not any(fnmatch.fnmatchcase(n, "pymiratext/pymiratext*.so") for n in names):
        problems.append("missing the compiled extension pymiratext/pymiratext*.so")
    if not any(fnmatch.fnmatchcase(n, "pymiratext/data/licenses/*") for n in names):
        problems.append("missing the data licences pymiratext/data/licenses/")
    if not any(fnmatch.fnmatchcase(n, "pymiratext-*.dist-info/licenses/LICENSE") for n in names):
        problems.append("missing LICENSE in the .dist-info/licenses folder")
    for n in sorted(names):
        top = n.split("/", 1)[0]
        if top != "pymiratext" and not fnmatch.fnmatchcase(top, "pymiratext-*.dist-info"):
            problems.append(f"outside the package: {n}")
        elif fnmatch.fnmatchcase(n, "*.py[co]") or "/__pycache__/" in n:
            problems.append(f"scratch output {n}")
    return problems


def smoke() -> List[str]:
    """Uses the installed package as a user would; returns the problems found."""
    import importlib.metadata
    import shutil

    import pymiratext

    problems = []
    source = os.path.join(ROOT, "src")
    if os.path.commonpath([source, os.path.abspath(pymiratext.__file__)]) == source:
        problems.append(f"imported from the source tree, not the wheel: {pymiratext.__file__}")
    version = pymiratext.__version__
    for where, value in (
        ("extension", pymiratext.pymiratext.__version__),
        ("metadata", importlib.metadata.version("pymiratext")),
    ):
        if value != version:
            problems.append(f"{where} version {value} differs from __version__ {version}")

    sentence = "今天天气很好，我们去公园散步。"
    words = pymiratext.Jieba(**pymiratext.default_paths()).cut(sentence)
    if "".join(words) != sentence or len(words) < 5:
        problems.append(f"cut gave {words}")

    model = pymiratext.BM25(b=0.5, k1=1.5)
    for document in (["a", "b", "a"], ["b", "c"], ["天气", "a"]):
        model.train(document)
    with tempfile.TemporaryDirectory() as scratch_dir:
        path = os.path.join(scratch_dir, "model.json")
        model.dump(path)
        restored = pymiratext.BM25()
        with open(path, encoding="utf-8") as stream:
            text = stream.read()
        restored.load(text)
        restored.dump(path)
        with open(path, encoding="utf-8") as stream:
            if stream.read() != text:
                problems.append("a loaded model does not dump the file it was loaded from")
    # The file keeps six decimals of the average document length.
    for tokens in (["a", "b", "天气"], ["c", "x"]):
        for encode in ("encode_document", "encode_query"):
            want, got = getattr(model, encode)(tokens), getattr(restored, encode)(tokens)
            if list(got) != list(want) or any(
                not math.isclose(got[t], want[t], rel_tol=1e-6) for t in want
            ):
                problems.append(f"{encode}({tokens}) gave {got} after a dump and load, not {want}")

    command = shutil.which("pymiratext", path=os.path.dirname(sys.executable))
    if command is None:
        problems.append(f"no pymiratext command next to {sys.executable}")
    else:
        out = subprocess.run([command, "--version"], capture_output=True, text=True)
        if (out.returncode, out.stdout) != (0, f"pymiratext {version}\n"):
            problems.append(f"pymiratext --version: status {out.returncode}, {out.stdout!r}{out.stderr!r}")
    return problems


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("kind", choices=("sdist", "wheel", "smoke"))
    parser.add_argument("path", nargs="?", help="the distribution file (sdist, wheel)")
    args = parser.parse_args(argv)
    if args.kind != "smoke" and not args.path:
        parser.error(f"{args.kind} needs the path of the distribution")
    if args.kind == "sdist":
        problems = sdist_problems(sdist_names(args.path), tracked_files(ROOT))
    elif args.kind == "wheel":
        with zipfile.ZipFile(args.path) as archive:
            problems = wheel_problems(archive.namelist())
    else:
        problems = smoke()
    what = os.path.basename(args.path) if args.path else "smoke test"
    for problem in problems:
        print(f"{what}: {problem}", file=sys.stderr)
    if not problems:
        print(f"{what}: ok")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())

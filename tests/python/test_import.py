"""The extension refuses to load under an interpreter it was not built for."""

import glob
import os
import re
import shutil
import subprocess
import sys

import pytest

import pymiratext


def _other_interpreter():
    """An installed CPython of another minor version, or None."""
    here = "%d.%d" % sys.version_info[:2]
    candidates = []
    for minor in ("3.10", "3.9", "3.11", "3.12", "3.13"):
        if minor == here:
            continue
        candidates += sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/%s.*/bin/python%s" % (minor, minor))))
        candidates.append(shutil.which("python" + minor))
    for candidate in filter(None, candidates):
        # pyenv shims exist for versions that are not selected; they fail to run.
        if subprocess.run([candidate, "-c", "pass"], capture_output=True).returncode == 0:
            return candidate
    return None


def test_import_under_another_version_fails_with_mismatch_message(tmp_path):
    other = _other_interpreter()
    if other is None:
        pytest.skip("no other Python version installed")
    # The file name carries the ABI tag of this interpreter, which the other
    # one would not look for; copy it under the plain suffix.
    module = tmp_path / "pymiratext.so"
    shutil.copy(pymiratext.pymiratext.__file__, module)
    script = (
        "import importlib.machinery as m, importlib.util as u, sys\n"
        "loader = m.ExtensionFileLoader('pymiratext', sys.argv[1])\n"
        "found = u.spec_from_file_location('pymiratext', sys.argv[1], loader=loader)\n"
        "try:\n"
        "    u.module_from_spec(found)\n"
        "except ImportError as e:\n"
        "    print(e)\n"
        "    print(sys.version)\n"
    )
    out = subprocess.run([other, "-c", script, str(module)], capture_output=True, text=True, check=True)
    message, version = out.stdout.split("\n", 1)
    compiled = "%d.%d" % sys.version_info[:2]
    expected = (
        "Python version mismatch: module was compiled for Python %s, "
        "but the interpreter version is incompatible: %s." % (compiled, version.rstrip("\n"))
    )
    assert message == expected


def _stub_methods():
    import ast

    # The stub ships in the package folder, which holds the extension too
    # except in an editable install.
    stub = os.path.join(os.path.dirname(pymiratext.__file__), "pymiratext.pyi")
    with open(stub, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return {
        node.name: {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
        for node in tree.body
        if isinstance(node, ast.ClassDef)
    }


def test_stubs_ship_and_name_the_runtime_methods():
    stubs = _stub_methods()
    assert set(stubs) == {"BM25", "Jieba", "TextEncoder"}
    for name, methods in stubs.items():
        runtime = {m for m in dir(getattr(pymiratext, name)) if not m.startswith("_")}
        assert methods == runtime | {"__init__"}, name
    assert os.path.exists(os.path.join(os.path.dirname(pymiratext.__file__), "py.typed"))


def test_stub_is_rendered_from_the_documented_and_typed_runtime(root_dir):
    import gen_stubs

    assert gen_stubs.undocumented() == []
    rendered = gen_stubs.render()
    # pybind11's fallbacks for untyped objects say nothing about the type.
    assert re.findall(r"(?:: |-> )(?:handle|object|list|dict|tuple)\b", rendered) == []
    committed = (root_dir / "src" / "pymiratext" / "pymiratext.pyi").read_text(encoding="utf-8")
    assert committed == rendered, "the stub is stale: run python tools/gen_stubs.py"

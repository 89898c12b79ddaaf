"""What the Python tests share: data paths, segmenters built once, the
command line run in-process, and the tools/ folder on the import path (for
ref_segment, build_data and the generators)."""

import io
import os
import signal
import sys
from pathlib import Path

import pytest

# Set before anything imports the Milvus client: its gRPC fork handlers make
# forked children (subprocesses, process pools, Dask workers) abort at times.
os.environ.setdefault("GRPC_ENABLE_FORK_SUPPORT", "false")
# gRPC's own diagnostics (an idle connection's GOAWAY, say) would land in the
# standard error the command-line tests compare.
os.environ.setdefault("GRPC_VERBOSITY", "NONE")

# A shell starts background jobs with SIGINT ignored, and children inherit
# that: the tests that interrupt a child need it to take SIGINT as usual.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

ROOT = Path(__file__).resolve().parents[2]
TOOLS = ROOT / "tools"
if str(TOOLS) not in sys.path:
    sys.path.insert(0, str(TOOLS))


def run_cli(capsys, *argv, stdin=None, monkeypatch=None):
    """Runs ``pymiratext`` in-process, with *stdin* (bytes) as standard input if
    given; returns (status, stdout, stderr). Test modules import it as ``run``."""
    from pymiratext import cli

    if stdin is not None:
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin)))
    status = cli.main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.fixture(scope="session")
def root_dir() -> Path:
    """The repository's top folder."""
    return ROOT


@pytest.fixture(scope="session")
def test_data() -> Path:
    """tests/data: hand-written data files."""
    return ROOT / "tests" / "data"


@pytest.fixture(scope="session")
def cli_data(test_data) -> Path:
    """A small data folder with the five files under their standard names, and a corpus."""
    return test_data / "cli"


@pytest.fixture(scope="session")
def bundled_data() -> Path:
    """The data folder that ships inside the package source."""
    return ROOT / "src" / "pymiratext" / "data"


@pytest.fixture(scope="session")
def bundled_jieba():
    """A Jieba on the bundled data, loaded once for the whole run."""
    import pymiratext

    return pymiratext.Jieba(**pymiratext.default_paths())


@pytest.fixture(scope="session")
def cli_jieba(cli_data):
    """A Jieba on the small data folder of tests/data/cli."""
    import pymiratext
    from pymiratext._data import paths_in

    return pymiratext.Jieba(**paths_in(str(cli_data)))

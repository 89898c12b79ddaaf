"""What the Python tests share: data paths, segmenters built once, and the
tools/ folder on the import path (for ref_segment, build_data and the
generators)."""

import os
import sys
from pathlib import Path

import pytest

# Set before anything imports the Milvus client: its gRPC fork handlers make
# forked children (subprocesses, process pools, Dask workers) abort at times.
os.environ.setdefault("GRPC_ENABLE_FORK_SUPPORT", "false")

ROOT = Path(__file__).resolve().parents[2]
TOOLS = ROOT / "tools"
if str(TOOLS) not in sys.path:
    sys.path.insert(0, str(TOOLS))


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

"""Locations of the data files that ship inside the package."""

import os
from typing import Dict

# The segmenter reads its files through C++ streams, so these must be real
# paths on disk; the package is installed unzipped, next to this module.
_DATA_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")

# Constructor keyword of Jieba -> file name inside a data folder.
DATA_FILES = {
    "dict_path": "dict.txt",
    "hmm_path": "hmm_model.txt",
    "user_dict_path": "user_dict.txt",
    "idf_path": "idf.txt",
    "stop_word_path": "stop_words.txt",
}

# The table TextEncoder(fold_script=True) folds index terms with by default.
SCRIPT_TABLE = "t2s.txt"


def data_dir() -> str:
    """Absolute path of the package's ``data/`` folder."""
    return _DATA_DIR


def paths_in(folder: str) -> Dict[str, str]:
    """The five ``Jieba`` keyword arguments for the standard file names in *folder*."""
    folder = os.path.abspath(folder)
    return {key: os.path.join(folder, name) for key, name in DATA_FILES.items()}


def default_paths() -> Dict[str, str]:
    """The five ``Jieba`` keyword arguments pointing at the bundled data.

    ``pymiratext.Jieba(**pymiratext.default_paths())`` builds a segmenter
    with the dictionary, HMM model, user dictionary, IDF and stop-word
    files that ship with the package.
    """
    return paths_in(_DATA_DIR)


def script_table_path() -> str:
    """Absolute path of the bundled Traditional-to-Simplified folding table."""
    return os.path.join(_DATA_DIR, SCRIPT_TABLE)


def sample_corpus_path() -> str:
    """Absolute path of the bundled sample corpus (one document a line)."""
    return os.path.join(_DATA_DIR, "sample_corpus.txt")

"""Default segmenter data of pymiratext (see README.md in this folder)."""

import os

DATA_DIR = os.path.dirname(os.path.abspath(__file__))

# Keyword names of pymiratext.Jieba, mapped to the shipped files.
_FILES = {
    "dict_path": "dict.txt",
    "hmm_path": "hmm_model.txt",
    "user_dict_path": "user_dict.txt",
    "idf_path": "idf.txt",
    "stop_word_path": "stop_words.txt",
}


def default_paths():
    """Paths of the shipped data files, keyed so that Jieba(**default_paths()) works."""
    return {key: os.path.join(DATA_DIR, name) for key, name in _FILES.items()}


def sample_corpus_path():
    """Path of the shipped sample corpus: short documents, one per line."""
    return os.path.join(DATA_DIR, "sample_corpus.txt")

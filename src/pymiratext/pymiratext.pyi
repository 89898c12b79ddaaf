"""Typing stubs of the compiled extension; the package re-exports its classes."""

from typing import Dict, List, Tuple, overload

# The package version this extension was built for.
__version__: str

class BM25:
    """BM25 sparse encoder trained one document at a time."""

    def __init__(self, b: float = 0.75, k1: float = 1.2) -> None: ...
    @overload
    def train(self, arg0: List[str], /) -> None: ...
    @overload
    def train(self, arg0: List[int], /) -> None: ...
    def load(self, arg0: str, /) -> None: ...
    def dump(self, arg0: str, /) -> None: ...
    @overload
    def encode_document(self, arg0: List[str], /) -> Dict[str, float]: ...
    @overload
    def encode_document(self, arg0: List[int], /) -> Dict[int, float]: ...
    @overload
    def encode_query(self, arg0: List[str], /) -> Dict[str, float]: ...
    @overload
    def encode_query(self, arg0: List[int], /) -> Dict[int, float]: ...

class Jieba:
    """Chinese word segmenter over a word dictionary and an HMM model."""

    def __init__(
        self,
        dict_path: str,
        hmm_path: str,
        user_dict_path: str,
        idf_path: str,
        stop_word_path: str,
    ) -> None: ...
    def cut(self, sentence: str) -> List[str]: ...
    def cut_for_search(self, sentence: str) -> List[str]: ...
    def tokenize(self, sentence: str, search: bool = False) -> List[Tuple[str, int, int]]:
        """The words of cut (of cut_for_search when search is true) as (word, start, end),
        Python string indices with sentence[start:end] == word."""
    def tag(self, sentence: str) -> List[Tuple[str, str]]:
        """The words of cut as (word, part-of-speech tag); without a dictionary tag,
        'm' (mostly ASCII digits), 'eng' (other ASCII text) or 'x'."""
    def extract_keywords(self, sentence: str, top_k: int = 20) -> List[Tuple[str, float]]:
        """The top_k (0: all) heaviest TF-IDF keywords as (word, weight), heaviest first,
        ties in order of first appearance; a negative top_k raises ValueError."""

"""Typing stubs of the compiled extension; the package re-exports its classes."""

from typing import Dict, List, Union, overload

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

def token_id(token: str) -> int:
    """The token's stable 32-bit id: MurmurHash3 x86_32 (seed 0) of its UTF-8
    bytes, modulo 2**32 - 1. The same on every machine, Python version and run."""

def id_vector(vector: Dict[Union[str, int], float]) -> Dict[int, float]:
    """A sparse vector keyed by token ids (str keys hashed with ``token_id``, int
    keys kept, in 0..2**32 - 2), in ascending id order; colliding weights are added."""

"""Typing stubs of the compiled extension; the package re-exports its classes."""

from typing import Dict, Iterable, List, Optional, Union, overload

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
    def cut_many(self, sentences: List[str], search: bool = False, threads: int = 0) -> List[List[str]]:
        """The cut (or, with search, cut_for_search) of each sentence, in order.

        Cuts natively on ``threads`` threads without the interpreter lock: 0 uses
        every hardware thread, 1 the calling thread; a negative count raises
        ValueError. The result never depends on the thread count.
        """

class TextEncoder:
    """The whole text-to-vector path: segment with a ``Jieba``, keep the words that
    hold a letter or a digit (Unicode category L* or N*), drop the ``Jieba``'s stop
    words, then train or encode a ``BM25`` model; natively, on several threads.

    ``threads``: 0 uses every hardware thread, 1 the calling thread; a negative
    count raises ValueError. Results never depend on it. Pickles by its ``Jieba``,
    its model and its options.
    """

    def __init__(
        self,
        jieba: Jieba,
        model: Optional[BM25] = None,
        search: bool = False,
        stop_words: bool = True,
    ) -> None:
        """``model`` defaults to a new ``BM25()``; ``search`` segments with
        cut_for_search; ``stop_words=False`` keeps the stop words."""
    @property
    def jieba(self) -> Jieba: ...
    @property
    def model(self) -> BM25:
        """The very model given to the constructor (or the one it made)."""
    @property
    def search(self) -> bool: ...
    @property
    def stop_words(self) -> bool:
        """Whether stop words are dropped."""
    def tokens(self, text: str) -> List[str]:
        """The index terms of ``text``, in text order."""
    def train(self, texts: Iterable[str], threads: int = 0) -> None:
        """Trains the model on each text in order, one document a text, skipping
        texts without tokens; the model file equals that of training each text's
        tokens in turn. Reads ``texts`` in bounded chunks, so memory stays bounded
        for any corpus length."""
    def encode_documents(self, texts: Iterable[str], threads: int = 0) -> List[Dict[str, float]]:
        """The model's document vector of each text, in order. A text without
        tokens gives ``{}``; any other text on an untrained model raises
        RuntimeError."""
    def encode_queries(self, texts: Iterable[str], threads: int = 0) -> List[Dict[str, float]]:
        """The model's query vector of each text, in order; rules as for
        encode_documents."""

def token_id(token: str) -> int:
    """The token's stable 32-bit id: MurmurHash3 x86_32 (seed 0) of its UTF-8
    bytes, modulo 2**32 - 1. The same on every machine, Python version and run."""

def id_vector(vector: Dict[Union[str, int], float]) -> Dict[int, float]:
    """A sparse vector keyed by token ids (str keys hashed with ``token_id``, int
    keys kept, in 0..2**32 - 2), in ascending id order; colliding weights are added."""

"""Typing stubs of the compiled extension; the package re-exports its classes."""

from typing import Dict, Iterable, List, Literal, Optional, Tuple, Union, overload

import numpy
import scipy.sparse

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
    @overload
    def train_many(self, documents: List[List[str]], threads: int = 0) -> None:
        """Train on each non-empty document in order, like one train call each.

        Raises RuntimeError for an empty list of documents; on any error the
        model is left as it was. threads: 0 for one per CPU, 1 for the calling
        thread only; the result never depends on it.
        """
    @overload
    def train_many(self, documents: List[List[int]], threads: int = 0) -> None: ...
    @overload
    def encode_documents(
        self, documents: List[List[str]], threads: int = 0
    ) -> List[Dict[str, float]]:
        """encode_document of each document, in order, on up to `threads` threads."""
    @overload
    def encode_documents(
        self, documents: List[List[int]], threads: int = 0
    ) -> List[Dict[int, float]]: ...
    @overload
    def encode_queries(self, queries: List[List[str]], threads: int = 0) -> List[Dict[str, float]]:
        """encode_query of each query, in order, on up to `threads` threads."""
    @overload
    def encode_queries(self, queries: List[List[int]], threads: int = 0) -> List[Dict[int, float]]: ...
    def merge(self, other: BM25) -> None:
        """Add another model's statistics, as if its documents were trained here.

        Shards trained apart and merged give the model that training them in
        turn gives. ValueError when b or k1 differ, OverflowError when a count
        would exceed the 64-bit range; on error neither model changes.
        """
    @property
    def b(self) -> float:
        """Length normalisation parameter."""
    @property
    def k1(self) -> float:
        """Term-frequency saturation parameter."""
    @property
    def doc_count(self) -> int:
        """Number of documents trained (or loaded)."""
    @property
    def doc_length_average(self) -> float:
        """Average document length in tokens."""

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
    @overload
    def encode_documents_csr(
        self, texts: Iterable[str], threads: int = 0, format: Literal["scipy"] = "scipy"
    ) -> scipy.sparse.csr_array:
        """The vectors of encode_documents as the rows of one CSR matrix of token
        ids: row i is text i, column ``token_id(token)``, float32 weights (those of
        tokens sharing an id added), ids ascending in each row; a text without tokens
        gives an empty row. ``format="scipy"``: a ``scipy.sparse.csr_array`` of shape
        ``(len(texts), 2**32 - 1)`` (ImportError without SciPy); ``format="numpy"``:
        its arrays ``(data, indices, indptr)`` as float32, uint32 and int64, which need
        NumPy alone. Any other format raises ValueError before anything is encoded."""
    @overload
    def encode_documents_csr(
        self, texts: Iterable[str], threads: int = 0, *, format: Literal["numpy"]
    ) -> Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]: ...
    @overload
    def encode_queries_csr(
        self, texts: Iterable[str], threads: int = 0, format: Literal["scipy"] = "scipy"
    ) -> scipy.sparse.csr_array:
        """The vectors of encode_queries as a CSR matrix of token ids; layout and
        formats as for encode_documents_csr."""
    @overload
    def encode_queries_csr(
        self, texts: Iterable[str], threads: int = 0, *, format: Literal["numpy"]
    ) -> Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]: ...
    @overload
    def train_and_encode_csr(
        self, texts: Iterable[str], threads: int = 0, format: Literal["scipy"] = "scipy"
    ) -> scipy.sparse.csr_array:
        """Trains the model on the texts as ``train`` does, then returns their document
        vectors under the trained model as ``encode_documents_csr`` does; each text is
        segmented once. The rows stay in memory until the end (about 12 bytes a token of
        each text); on failure the model is left as it was."""
    @overload
    def train_and_encode_csr(
        self, texts: Iterable[str], threads: int = 0, *, format: Literal["numpy"]
    ) -> Tuple[numpy.ndarray, numpy.ndarray, numpy.ndarray]: ...

def token_id(token: str) -> int:
    """The token's stable 32-bit id: MurmurHash3 x86_32 (seed 0) of its UTF-8
    bytes, modulo 2**32 - 1. The same on every machine, Python version and run."""

def id_vector(vector: Dict[Union[str, int], float]) -> Dict[int, float]:
    """A sparse vector keyed by token ids (str keys hashed with ``token_id``, int
    keys kept, in 0..2**32 - 2), in ascending id order; colliding weights are added."""

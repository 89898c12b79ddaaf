"""A LangChain retriever over a pymiratext collection in Milvus.

Needs the ``langchain`` extra (``pip install "pymiratext[langchain]"``:
``langchain-core`` and the Milvus client)::

    from pymiratext.langchain import PymiratextRetriever

    retriever = PymiratextRetriever.from_texts(texts, metadatas=metadatas, k=4)
    for document in retriever.invoke("高血压可以喝绿茶吗"):
        print(document.id, document.metadata["score"], document.page_content)

Each document carries the hit's text, its stored metadata, its score (under
``metadata["score"]``) and its id (``document.id``, as a string).
"""

import threading
from typing import Any, Dict, Iterable, List, Optional, Sequence

try:
    from langchain_core.callbacks import CallbackManagerForRetrieverRun
    from langchain_core.documents import Document
    from langchain_core.retrievers import BaseRetriever
    from pydantic import ConfigDict, PrivateAttr
except ImportError as exc:  # pragma: no cover - exercised only without the extra
    raise ImportError("the LangChain retriever needs the 'langchain' extra: "
                      "pip install \"pymiratext[langchain]\"") from exc

from . import TextEncoder
from ._retrievers import OwnedCollection, build_collection, hit_metadata, hit_text, search_options
from .milvus import DEFAULT_COLLECTION, TextCollection

__all__ = ["PymiratextRetriever"]


class PymiratextRetriever(BaseRetriever):
    """Retrieves the *k* best documents of a ``TextCollection`` for a query.

    *filter* (a Milvus boolean expression over the stored metadata) and the
    hybrid options *dense*, *fusion*, *rrf_k* and *weights* go to
    ``TextCollection.search`` as they are; None leaves the collection's
    default. Any of them, and *k*, may also be given to a single ``invoke``
    as keyword arguments. Searches through one retriever take turns (the
    collection is not thread-safe), also under ``batch`` and ``ainvoke``.
    """

    model_config = ConfigDict(arbitrary_types_allowed=True)

    collection: TextCollection
    k: int = 4
    filter: Optional[str] = None
    dense: Any = None
    fusion: Optional[str] = None
    rrf_k: Optional[int] = None
    weights: Optional[Sequence[float]] = None

    _owner: Optional[OwnedCollection] = PrivateAttr(default=None)
    _lock: Any = PrivateAttr(default_factory=threading.Lock)

    @classmethod
    def from_texts(
        cls,
        texts: Iterable[str],
        metadatas: Optional[Sequence[Dict[str, Any]]] = None,
        ids: Optional[Iterable[int]] = None,
        db: Optional[str] = None,
        k: int = 4,
        *,
        encoder: Optional[TextEncoder] = None,
        name: str = DEFAULT_COLLECTION,
        replace: bool = False,
        dense_vectors: Any = None,
        dense_dimension: Optional[int] = None,
        dense_metric: Optional[str] = None,
        scoring: Optional[str] = None,
        **options: Any,
    ) -> "PymiratextRetriever":
        """A retriever over a new collection of *texts*.

        The collection is made in *db* (a Milvus Lite file or a server URI), or,
        by default, in a temporary Milvus Lite file that ``close()`` removes, as
        does the retriever's being collected. *encoder* is a trained
        ``TextEncoder`` (default: one on the bundled data, trained on *texts*).
        *dense_vectors* (one vector a text, or a callable embedding a batch),
        *dense_dimension* and *dense_metric* give the collection a dense side;
        *scoring* is the collection's (``"vectors"`` for weighted fusion);
        *options* are the retriever's fields (*filter*, *dense*, ...).
        """
        collection, owner = build_collection(
            texts, metadatas, ids, db, encoder, name, replace,
            dense=dense_vectors, dense_dimension=dense_dimension, dense_metric=dense_metric, scoring=scoring,
        )
        retriever = cls(collection=collection, k=k, **options)
        retriever._owner = owner
        return retriever

    def close(self) -> None:
        """Closes the collection's connection; a temporary database is removed."""
        if self._owner is not None:
            self._owner.close()
        else:
            self.collection.close()

    def _get_relevant_documents(self, query: str, *, run_manager: CallbackManagerForRetrieverRun,
                                **overrides: Any) -> List[Document]:
        options = {"filter": self.filter, "dense": self.dense, "fusion": self.fusion, "rrf_k": self.rrf_k,
                   "weights": self.weights}
        unknown = set(overrides) - set(options) - {"k"}
        if unknown:
            raise TypeError(f"unknown search options: {', '.join(sorted(unknown))}")
        k = overrides.pop("k", self.k)
        options.update(overrides)
        chosen = search_options(self.collection, k, options)
        with self._lock:
            hits = self.collection.search(query, **chosen)
        return [_document(hit) for hit in hits]


def _document(hit: Any) -> Document:
    metadata = hit_metadata(hit)
    metadata["score"] = hit.score
    found_by = getattr(hit, "found_by", None)
    if found_by is not None:
        metadata["found_by"] = found_by
    return Document(page_content=hit_text(hit), metadata=metadata, id=str(hit.id))

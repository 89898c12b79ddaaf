"""A LlamaIndex retriever over a pymiratext collection in Milvus.

Needs the ``llama-index`` extra (``pip install "pymiratext[llama-index]"``:
``llama-index-core`` and the Milvus client)::

    from pymiratext.llama_index import PymiratextRetriever

    retriever = PymiratextRetriever.from_texts(texts, metadatas=metadatas, similarity_top_k=4)
    for scored in retriever.retrieve("高血压可以喝绿茶吗"):
        print(scored.node.node_id, scored.score, scored.node.get_content())

Each result is a ``NodeWithScore``: a ``TextNode`` with the hit's text and
stored metadata, and the hit's score.
"""

import asyncio
import threading
from typing import Any, Dict, Iterable, List, Optional, Sequence

try:
    from llama_index.core.retrievers import BaseRetriever
    from llama_index.core.schema import BaseNode, NodeWithScore, QueryBundle, TextNode
except ImportError as exc:  # pragma: no cover - exercised only without the extra
    raise ImportError("the LlamaIndex retriever needs the 'llama-index' extra: "
                      "pip install \"pymiratext[llama-index]\"") from exc

from . import TextEncoder
from ._retrievers import OwnedCollection, build_collection, hit_metadata, hit_text, search_options, takes
from .milvus import DEFAULT_COLLECTION, TextCollection

__all__ = ["PymiratextRetriever"]


class PymiratextRetriever(BaseRetriever):
    """Retrieves the *similarity_top_k* best nodes of a ``TextCollection`` for a query.

    *filter* (a Milvus boolean expression over the stored metadata) and the
    hybrid options *dense*, *fusion*, *rrf_k* and *weights* go to
    ``TextCollection.search`` as they are; None leaves the collection's
    default. Searches through one retriever take turns (the collection is
    not thread-safe); ``aretrieve`` runs the search on a worker thread.
    """

    def __init__(
        self,
        collection: TextCollection,
        similarity_top_k: int = 4,
        filter: Optional[str] = None,  # noqa: A002 - the collection's name for it
        dense: Any = None,
        fusion: Optional[str] = None,
        rrf_k: Optional[int] = None,
        weights: Optional[Sequence[float]] = None,
        node_ids: Optional[Dict[int, str]] = None,
        **kwargs: Any,
    ):
        super().__init__(**kwargs)
        self.collection = collection
        self.similarity_top_k = similarity_top_k
        self.filter = filter
        self.dense = dense
        self.fusion = fusion
        self.rrf_k = rrf_k
        self.weights = weights
        # Node ids that are not integers, by the collection id standing for them.
        self._node_ids = node_ids or {}
        self._owner: Optional[OwnedCollection] = None
        self._lock = threading.Lock()

    @classmethod
    def from_texts(
        cls,
        texts: Iterable[str],
        metadatas: Optional[Sequence[Dict[str, Any]]] = None,
        ids: Optional[Iterable[int]] = None,
        db: Optional[str] = None,
        similarity_top_k: int = 4,
        *,
        encoder: Optional[TextEncoder] = None,
        name: str = DEFAULT_COLLECTION,
        replace: bool = False,
        dense_vectors: Any = None,
        dense_dimension: Optional[int] = None,
        dense_metric: Optional[str] = None,
        scoring: Optional[str] = None,
        node_ids: Optional[Dict[int, str]] = None,
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
        *options* are the retriever's (*filter*, *dense*, ...).
        """
        collection, owner = build_collection(
            texts, metadatas, ids, db, encoder, name, replace,
            dense=dense_vectors, dense_dimension=dense_dimension, dense_metric=dense_metric, scoring=scoring,
        )
        retriever = cls(collection, similarity_top_k, node_ids=node_ids, **options)
        retriever._owner = owner
        return retriever

    @classmethod
    def from_nodes(cls, nodes: Sequence[BaseNode], **kwargs: Any) -> "PymiratextRetriever":
        """A retriever over a new collection of *nodes*' contents and metadata.

        Node ids that are integers become the documents' ids; otherwise the
        documents are numbered from 0 and the retriever maps them back to the
        node ids (a mapping it keeps, not the collection). Nodes that all carry
        an embedding give the collection its dense side, unless *dense_vectors*
        is given. Other arguments are those of ``from_texts``.
        """
        nodes = list(nodes)
        texts = [node.get_content() for node in nodes]
        metadatas = [dict(node.metadata) for node in nodes]
        if not any(metadatas):
            metadatas = None  # a collection without metadata still takes these nodes
        node_ids = [node.node_id for node in nodes]
        if all(_is_integer(node_id) for node_id in node_ids):
            kwargs.setdefault("ids", [int(node_id) for node_id in node_ids])
        else:
            kwargs.setdefault("ids", range(len(nodes)))
            kwargs.setdefault("node_ids", dict(enumerate(node_ids)))
        embeddings = [node.embedding for node in nodes]
        if (kwargs.get("dense_vectors") is None and nodes and all(e is not None for e in embeddings)
                and takes(TextCollection.create, "dense_dimension")):
            kwargs["dense_vectors"] = embeddings
            kwargs.setdefault("dense_dimension", len(embeddings[0]))
        return cls.from_texts(texts, metadatas, **kwargs)

    def close(self) -> None:
        """Closes the collection's connection; a temporary database is removed."""
        if self._owner is not None:
            self._owner.close()
        else:
            self.collection.close()

    def _retrieve(self, query_bundle: QueryBundle) -> List[NodeWithScore]:
        options = {"filter": self.filter, "dense": self.dense, "fusion": self.fusion, "rrf_k": self.rrf_k,
                   "weights": self.weights}
        if self.dense is None and query_bundle.embedding is not None and takes(self.collection.search, "dense"):
            options["dense"] = query_bundle.embedding
        chosen = search_options(self.collection, self.similarity_top_k, options)
        with self._lock:
            hits = self.collection.search(query_bundle.query_str, **chosen)
        return [NodeWithScore(node=self._node(hit), score=hit.score) for hit in hits]

    async def _aretrieve(self, query_bundle: QueryBundle) -> List[NodeWithScore]:
        return await asyncio.to_thread(self._retrieve, query_bundle)

    def _node(self, hit: Any) -> TextNode:
        metadata = hit_metadata(hit)
        found_by = getattr(hit, "found_by", None)
        if found_by is not None:
            metadata["found_by"] = found_by
        return TextNode(text=hit_text(hit), id_=self._node_ids.get(hit.id, str(hit.id)), metadata=metadata)


def _is_integer(node_id: str) -> bool:
    try:
        return str(int(node_id)) == node_id
    except ValueError:
        return False

"""What the LangChain and LlamaIndex retrievers share: a collection built from
texts for them, and search options handed on to the collection.

The retrievers hold no retrieval logic: ranking, filters and fusion are the
collection's. Options reach ``TextCollection.search`` only where its
signature names them, so that a collection without, say, filters reports a
filter as unsupported instead of ignoring it.
"""

import functools
import inspect
import os
import shutil
import tempfile
import weakref
from typing import Any, Dict, Iterable, List, Optional, Sequence

from . import Jieba, TextEncoder, default_paths
from .milvus import DEFAULT_COLLECTION, TextCollection

__all__ = ["OwnedCollection", "build_collection", "hit_metadata", "hit_text", "search_options", "takes"]


def takes(method: Any, option: str) -> bool:
    """True when *method* accepts the keyword argument *option*."""
    return option in _parameters(getattr(method, "__func__", method))


@functools.lru_cache(maxsize=None)
def _parameters(function: Any) -> frozenset:
    # Looked up on every search: reading a signature costs more than a lookup.
    return frozenset(inspect.signature(function).parameters)


def search_options(collection: TextCollection, top: int, options: Dict[str, Any]) -> Dict[str, Any]:
    """Keyword arguments for ``collection.search``: *top* and every option that is not None."""
    chosen = {"top": top}
    for option, value in options.items():
        if value is None:
            continue
        if not takes(collection.search, option):
            raise TypeError(f"this collection's search takes no {option!r} option")
        chosen[option] = value
    return chosen


class OwnedCollection:
    """A collection in a temporary Milvus Lite file that goes with this object:
    closing it, or its being collected, or the interpreter's exit removes the file."""

    def __init__(self, collection: TextCollection, folder: str):
        self.collection = collection
        self._finalizer = weakref.finalize(self, _discard, collection, folder)

    def close(self) -> None:
        self._finalizer()


def _discard(collection: TextCollection, folder: str) -> None:
    db = collection.db
    collection.close()
    try:
        # The embedded server outlives its clients; it must stop before its file goes.
        from milvus_lite.server_manager import server_manager_instance

        server_manager_instance.release_server(os.path.abspath(db))
    except Exception:  # noqa: BLE001 - another Milvus Lite release: the folder still goes
        pass
    shutil.rmtree(folder, ignore_errors=True)


def build_collection(
    texts: Iterable[str],
    metadatas: Optional[Sequence[Dict[str, Any]]] = None,
    ids: Optional[Iterable[int]] = None,
    db: Optional[str] = None,
    encoder: Optional[TextEncoder] = None,
    name: str = DEFAULT_COLLECTION,
    replace: bool = False,
    dense: Any = None,
    dense_dimension: Optional[int] = None,
    dense_metric: Optional[str] = None,
    scoring: Optional[str] = None,
) -> "tuple[TextCollection, Optional[OwnedCollection]]":
    """A new collection of *texts*, and, when it lives in a temporary file
    (no *db* given), the owner that removes that file.

    *encoder* is a trained ``TextEncoder``; by default one on the bundled data
    is trained on *texts*. *metadatas*, *dense* and the dense field's options
    go to the collection as given, as does *scoring* (``"engine"`` or
    ``"vectors"``); a collection that cannot store them raises ``TypeError``.
    """
    if isinstance(texts, str):
        raise TypeError("texts must be an iterable of str, not a str")
    texts = list(texts)
    if metadatas is not None:
        metadatas = list(metadatas)
        if len(metadatas) != len(texts):
            raise ValueError(f"{len(metadatas)} metadatas for {len(texts)} texts")
    if encoder is None:
        encoder = TextEncoder(Jieba(**default_paths()), search=True)
        encoder.train(texts)
    create = _options(TextCollection.create, dense_dimension=dense_dimension, dense_metric=dense_metric,
                      scoring=scoring)
    folder = None
    if db is None:
        folder = tempfile.mkdtemp(prefix="pymiratext-")
        db = os.path.join(folder, "retriever.db")
    try:
        collection = TextCollection.create(db, encoder, name=name, replace=replace, **create)
    except BaseException:
        if folder is not None:
            shutil.rmtree(folder, ignore_errors=True)
        raise
    owner = OwnedCollection(collection, folder) if folder is not None else None
    try:
        add = _options(collection.add, metadata=metadatas, dense=dense)
        collection.add(texts, ids=ids, progress=False, **add)
    except BaseException:
        if owner is not None:
            owner.close()
        else:
            collection.close()
        raise
    return collection, owner


def _options(method: Any, **options: Any) -> Dict[str, Any]:
    chosen = {}
    for option, value in options.items():
        if value is None:
            continue
        if not takes(method, option):
            raise TypeError(f"this version of TextCollection takes no {option!r}")
        chosen[option] = value
    return chosen


def hit_metadata(hit: Any) -> Dict[str, Any]:
    """The hit's stored metadata (a copy; empty where the collection keeps none)."""
    return dict(getattr(hit, "metadata", None) or {})


def hit_text(hit: Any) -> str:
    # Texts too long to store come back as None; a document's content is a str.
    return hit.text if hit.text is not None else ""


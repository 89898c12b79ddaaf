"""Turning (id, text) items into insert requests: batches, ids, prepared rows."""

import array
import itertools
import operator
import sys
from concurrent.futures import Future
from typing import Any, Dict, Iterable, Iterator, List, Optional, Sequence, TYPE_CHECKING, Tuple

from ._database import MAX_TEXT_BYTES, _MIN_ID, _MAX_ID, _BATCH_BYTES, load_client

if TYPE_CHECKING:
    from pymilvus import MilvusClient


def _send_rows(client: "MilvusClient", collection: str, ids: List[int], rows: List[bytes], dim: int,
               texts: List[str], dense: Any = None) -> None:
    """Inserts rows whose vectors are already in Milvus's sparse row format.

    The client's public insert converts every row in Python, which costs more
    than computing the vectors; its batch insert takes a prepared request. A
    client without that path gets the rows through the public insert.
    *dense*, for a collection with a dense field, is a float32 matrix, one row a text.
    """
    connection = getattr(client, "_get_connection", None)
    handler = connection() if connection is not None else None
    if handler is None or not hasattr(handler, "batch_insert"):
        entries = [{"id": doc_id, "vector": _row_dict(row), "text": text} for doc_id, row, text in zip(ids, rows, texts)]
        if dense is not None:
            for entry, vector in zip(entries, dense.tolist()):
                entry["dense"] = vector
        client.insert(collection, entries)
        return
    library = load_client()
    DataType = library.DataType  # noqa: N806 - the client library's name
    request = library.milvus_pb2.InsertRequest(collection_name=collection, num_rows=len(ids))
    field = request.fields_data.add(type=int(DataType.INT64), field_name="id")
    field.scalars.long_data.data.extend(ids)
    field = request.fields_data.add(type=int(DataType.SPARSE_FLOAT_VECTOR), field_name="vector")
    field.vectors.sparse_float_vector.dim = dim
    field.vectors.sparse_float_vector.contents.extend(rows)
    field = request.fields_data.add(type=int(DataType.VARCHAR), field_name="text")
    field.scalars.string_data.data.extend(texts)
    if dense is not None:
        field = request.fields_data.add(type=int(DataType.FLOAT_VECTOR), field_name="dense")
        field.vectors.dim = dense.shape[1]
        field.vectors.float_vector.data.extend(dense.ravel().tolist())
    context = getattr(client, "_generate_call_context", None)  # names the database the client uses
    extra = {"context": context()} if context is not None else {}
    handler.batch_insert(collection, [], insert_param=request, timeout=None, **extra)


def _ready(value: Any) -> Future:
    future: Future = Future()
    future.set_result(value)
    return future


def _csr_rows(encoded: Tuple[Any, Any, Any], start: int, count: int) -> Tuple[Any, Any, Any]:
    """Rows [start, start + count) of the CSR arrays (data, indices, indptr)."""
    data, indices, indptr = encoded
    if start + count >= len(indptr):
        raise ValueError(f"{len(indptr) - 1} encoded rows for more items")
    first, last = indptr[start], indptr[start + count]
    return data[first:last], indices[first:last], indptr[start:start + count + 1] - first


def _row_dict(row: bytes) -> Dict[int, float]:
    entries = load_client().numpy.frombuffer(row, dtype=load_client().row_entry)
    return dict(zip(entries["id"].tolist(), entries["weight"].tolist()))


def _batches(items: Iterator[Tuple[int, str]], batch_size: int,
             seen: Optional["_IdTracker"]) -> Iterator[Tuple[List[int], List[str]]]:
    """(ids, texts) of at most *batch_size* items and about _BATCH_BYTES of text each."""
    while True:
        ids: List[int] = []
        texts: List[str] = []
        size = 0
        for doc_id, text in itertools.islice(items, batch_size):
            ids.append(seen.add(doc_id) if seen is not None else doc_id)
            texts.append(text)
            size += len(text) if isinstance(text, str) else 0
            if size * 3 >= _BATCH_BYTES:  # at most three UTF-8 bytes a character
                break
        if not ids:
            return
        yield ids, texts


def _as_id(value: Any) -> int:
    if isinstance(value, bool) or type(value).__name__ == "bool_":
        raise ValueError(f"ids must be integers, not {value!r}")
    try:
        doc_id = operator.index(value)
    except TypeError:
        raise ValueError(f"ids must be integers, not {value!r} ({type(value).__name__})") from None
    if not _MIN_ID <= doc_id <= _MAX_ID:
        raise ValueError(f"id {doc_id} is outside the signed 64-bit range of Milvus ids")
    return doc_id


class _IdTracker:
    """Checks ids one at a time: each an integer in range and none given twice.
    Rising ids, the usual case, need no set."""

    def __init__(self) -> None:
        self._ids = array.array("q")
        self._set: Optional[set] = None

    def add(self, value: Any) -> int:
        doc_id = _as_id(value)
        if self._set is None and self._ids and doc_id <= self._ids[-1]:
            self._set = set(self._ids)
        if self._set is not None:
            if doc_id in self._set:
                raise ValueError(f"id {doc_id} is given twice")
            self._set.add(doc_id)
        self._ids.append(doc_id)
        return doc_id


def _check_ids(ids: Sequence[Any]) -> None:
    tracker = _IdTracker()
    for doc_id in ids:
        tracker.add(doc_id)


def _storable(text: str) -> str:
    if len(text) * 3 <= MAX_TEXT_BYTES:
        return text
    return text if len(text.encode("utf-8")) <= MAX_TEXT_BYTES else ""


class _NoBar:
    def update(self, _n: int) -> None:
        pass

    def close(self) -> None:
        pass


def _progress_bar(total: Optional[int], progress: Optional[bool]):
    if progress is False:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    interactive = progress or (hasattr(sys.stderr, "isatty") and sys.stderr.isatty())
    # delay keeps short runs silent.
    return tqdm(total=total, unit="doc", desc="indexing", file=sys.stderr, delay=1.0, disable=not interactive)


def _strict_zip(ids: Iterable[int], texts: Iterable[str]) -> Iterator[Tuple[int, str]]:
    """Pairs ids with texts; unequal lengths raise ValueError (after the pairs that match)."""
    ids, texts = iter(ids), iter(texts)
    for text in texts:
        doc_id = next(ids, None)
        if doc_id is None:
            raise ValueError("fewer ids than texts")
        yield doc_id, text
    if next(ids, None) is not None:
        raise ValueError("more ids than texts")

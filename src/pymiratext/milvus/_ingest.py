"""Turning (id, text) items into insert requests: batches, ids, prepared rows."""

import array
import json
import itertools
import operator
import sys
from concurrent.futures import Future
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from ._database import MAX_TEXT_BYTES, _MIN_ID, _MAX_ID, _BATCH_BYTES, load_client

if TYPE_CHECKING:
    from pymilvus import MilvusClient


def _send_rows(client: "MilvusClient", collection: str, ids: List[int], texts: List[str],
               vectors: Optional[List[bytes]] = None, dim: int = 0, terms: Optional[List[str]] = None,
               metadata: Optional[List[bytes]] = None, keys: Optional[List[str]] = None,
               parts: Optional[List[int]] = None, dense: Any = None) -> None:
    """Inserts rows: ids and texts, with either sparse *vectors* already in
    Milvus's row format or the *terms* the engine scores (then with the rows'
    *keys* and *parts*), and *metadata* as JSON (for a collection that has the
    field); *dense*, for a collection with a dense field, is a float32 matrix,
    one row for each.

    The client's public insert converts every row in Python, which costs more
    than computing the vectors; its batch insert takes a prepared request. A
    client without that path gets the rows through the public insert.
    """
    connection = getattr(client, "_get_connection", None)
    handler = connection() if connection is not None else None
    if handler is None or not hasattr(handler, "batch_insert"):
        rows = [{"id": doc_id, "text": text} for doc_id, text in zip(ids, texts)]
        for row, i in zip(rows, range(len(rows))):
            if vectors is not None:
                row["vector"] = _row_dict(vectors[i])
            if terms is not None:
                row.update(key=keys[i], part=parts[i], terms=terms[i])
            if metadata is not None:
                row["metadata"] = json.loads(metadata[i])
            if dense is not None:
                row["dense"] = dense[i].tolist()
        client.insert(collection, rows)
        return
    library = load_client()
    DataType = library.DataType  # noqa: N806 - the client library's name
    request = library.milvus_pb2.InsertRequest(collection_name=collection, num_rows=len(ids))

    def scalars(kind: Any, name: str, column: str, values: Sequence[Any]) -> None:
        field = request.fields_data.add(type=int(kind), field_name=name)
        getattr(field.scalars, column).data.extend(values)

    if keys is not None:
        scalars(DataType.VARCHAR, "key", "string_data", keys)
        scalars(DataType.INT64, "part", "long_data", parts)
    scalars(DataType.INT64, "id", "long_data", ids)
    if vectors is not None:
        field = request.fields_data.add(type=int(DataType.SPARSE_FLOAT_VECTOR), field_name="vector")
        field.vectors.sparse_float_vector.dim = dim
        field.vectors.sparse_float_vector.contents.extend(vectors)
    if terms is not None:
        scalars(DataType.VARCHAR, "terms", "string_data", terms)
    scalars(DataType.VARCHAR, "text", "string_data", texts)
    if metadata is not None:
        scalars(DataType.JSON, "metadata", "json_data", metadata)
    if dense is not None:
        field = request.fields_data.add(type=int(DataType.FLOAT_VECTOR), field_name="dense")
        field.vectors.dim = dense.shape[1]
        field.vectors.float_vector.data.extend(dense.ravel().tolist())
    context = getattr(client, "_generate_call_context", None)  # names the database the client uses
    extra = {"context": context()} if context is not None else {}
    handler.batch_insert(collection, [], insert_param=request, timeout=None, **extra)


def _metadata_json(doc_id: int, value: Any) -> bytes:
    """A document's metadata as the JSON Milvus stores: a dict, or None for none."""
    if value is None:
        value = {}
    if not isinstance(value, dict):
        raise ValueError(f"the metadata of document {doc_id} is a {type(value).__name__}, not a dict")
    try:
        return json.dumps(value, ensure_ascii=False, allow_nan=False).encode("utf-8")
    except (TypeError, ValueError) as exc:
        raise ValueError(f"the metadata of document {doc_id} is not JSON: {exc}") from None


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


class _Batch(NamedTuple):
    ids: List[int]
    texts: List[str]
    metadata: List[Any]
    size: int  # the input bytes the items came from, when items give them


def _batches(items: Iterator[Tuple[Any, ...]], batch_size: int, seen: Optional["_IdTracker"]) -> Iterator[_Batch]:
    """Items of (id, text), (id, text, metadata) or (id, text, metadata, input
    bytes), in batches of at most *batch_size* items and about _BATCH_BYTES of
    text each."""
    while True:
        ids: List[int] = []
        texts: List[str] = []
        metadata: List[Any] = []
        size = read = 0
        for item in itertools.islice(items, batch_size):
            doc_id, text = item[0], item[1]
            ids.append(seen.add(doc_id) if seen is not None else doc_id)
            texts.append(text)
            metadata.append(item[2] if len(item) > 2 else None)
            read += item[3] if len(item) > 3 else 0
            size += len(text) if isinstance(text, str) else 0
            if size * 3 >= _BATCH_BYTES:  # at most three UTF-8 bytes a character
                break
        if not ids:
            return
        yield _Batch(ids, texts, metadata, read)


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


def _progress_bar(total: Optional[int], progress: Optional[bool], unit: str = "doc"):
    if progress is False:
        return _NoBar()
    try:
        from tqdm import tqdm
    except ImportError:
        return _NoBar()
    interactive = progress or (hasattr(sys.stderr, "isatty") and sys.stderr.isatty())
    # delay keeps short runs silent.
    return tqdm(total=total, unit=unit, unit_scale=unit == "B", desc="indexing", file=sys.stderr, delay=1.0,
                disable=not interactive)


def _strict_zip(ids: Iterable[int], texts: Iterable[str], metadata: Optional[Iterable[Any]] = None,
                endless: bool = False) -> Iterator[Tuple[Any, ...]]:
    """(id, text) or (id, text, metadata) items; unequal lengths raise ValueError
    (after the items that match); *endless* ids may outlast the texts."""
    ids, texts = iter(ids), iter(texts)
    metadata = None if metadata is None else iter(metadata)
    missing = object()
    for text in texts:
        doc_id = next(ids, missing)
        if doc_id is missing:
            raise ValueError("fewer ids than texts")
        if metadata is None:
            yield doc_id, text
            continue
        meta = next(metadata, missing)
        if meta is missing:
            raise ValueError("fewer metadata than texts")
        yield doc_id, text, meta
    if not endless and next(ids, missing) is not missing:
        raise ValueError("more ids than texts")
    if metadata is not None and next(metadata, missing) is not missing:
        raise ValueError("more metadata than texts")

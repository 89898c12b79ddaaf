"""Search collections in Milvus: BM25 sparse vectors indexed by a vector database.

Needs the ``milvus`` extra (``pip install "pymiratext[milvus]"``: ``pymilvus`` and
``milvus-lite``). A database is either a local Milvus Lite file (a path ending in
``.db``) or a Milvus server (an ``http://`` or ``https://`` URI)::

    from pymiratext import Jieba, TextEncoder, default_paths
    from pymiratext.milvus import TextCollection

    encoder = TextEncoder(Jieba(**default_paths()), search=True)
    encoder.train(texts)
    with TextCollection.create("news.db", encoder, name="news") as collection:
        collection.add(texts)
        for hit in collection.search("手机理财", top=5):
            print(hit.id, hit.score, hit.text)

Documents are encoded with the model's document weights and queries with its
query weights; Milvus scores them by inner product, so a hit's score is the
dot product of the two vectors (computed in float32). Tokens become sparse
dimensions through ``token_id``; the weights of colliding tokens are added.

The BM25 model is kept with the collection, because queries must be encoded
with the statistics the documents were encoded with: for a local database in
a file beside it (``<db>.<collection>.bm25.json``), for a server at a path the
caller names. The collection records a digest of that file and of the
encoder's options; opening checks them, and ``add`` refuses to index with a
model whose statistics changed since the collection was created.
"""

import contextlib
import gc
import hashlib
import itertools
import json
import os
import sys
import tempfile
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

# gRPC's fork handlers, which the Milvus client brings in, make processes
# forked after a client started (a subprocess, a process pool, a Dask
# worker) abort now and then with "epoll_wait error: Bad file descriptor".
# They only matter to children that use gRPC themselves; a caller who needs
# them sets the variable before importing this module.
os.environ.setdefault("GRPC_ENABLE_FORK_SUPPORT", "false")

try:
    from pymilvus import DataType, MilvusClient
except ImportError as exc:  # pragma: no cover - exercised by the command-line tests
    raise ImportError(
        "the Milvus integration needs the 'milvus' extra: pip install \"pymiratext[milvus]\""
    ) from exc

from . import BM25, Jieba, TextEncoder, default_paths, id_vector

__all__ = [
    "CollectionNotFoundError",
    "DatabaseError",
    "Hit",
    "ModelMismatchError",
    "TextCollection",
    "check_can_create",
    "is_server_uri",
    "model_path_for",
]

DEFAULT_COLLECTION = "pymiratext"

# Milvus caps a VARCHAR at 65,535 bytes; longer texts are indexed without their text.
MAX_TEXT_BYTES = 65535

# Collection property holding the JSON record that ties the collection to its model.
_META_KEY = "pymiratext"
_META_FORMAT = 1

# Sparse inverted index with inner product; nothing dropped, so that search is exact.
_INDEX_PARAMS = {"drop_ratio_build": 0.0}
_SEARCH_PARAMS = {"metric_type": "IP", "params": {"drop_ratio_search": 0.0}}

# Extra candidates fetched beyond the requested top, so that ties at the cut-off
# can be settled by id as in-process ranking settles them (by corpus order).
_TIE_MARGIN = 16
# Seconds to wait for a server before reporting that it cannot be reached.
_CONNECT_TIMEOUT = 10.0
# Milvus limits a search to 16,384 results.
_MAX_LIMIT = 16384


class DatabaseError(RuntimeError):
    """The database cannot be opened or refused an operation."""


class CollectionNotFoundError(LookupError):
    """The database has no collection of that name."""


class ModelMismatchError(RuntimeError):
    """The model does not hold the statistics the collection was indexed with."""


class Hit(NamedTuple):
    """One search result: the document id, its score, and its text (None if not stored)."""

    id: int
    score: float
    text: Optional[str]


def is_server_uri(uri: str) -> bool:
    """True for a Milvus server URI (``http://`` or ``https://``), False for a local file."""
    return uri.lower().startswith(("http://", "https://"))


def model_path_for(db: str, name: str = DEFAULT_COLLECTION) -> str:
    """Where the model of collection *name* in the local database *db* is kept."""
    return f"{os.path.abspath(db)}.{name}.bm25.json"


def _file_digest(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def _model_digest(model: BM25) -> str:
    """Digest of the model file that *model* writes: equal digests, equal statistics."""
    with tempfile.TemporaryDirectory(prefix="pymiratext-") as folder:
        path = os.path.join(folder, "model.json")
        model.dump(path)
        return _file_digest(path)


def _connect(db: str, must_exist: bool = False) -> "MilvusClient":
    if is_server_uri(db):
        target = db
    else:
        if not db.endswith(".db"):
            raise DatabaseError(f"cannot open the database {db}: a local Milvus Lite file name ends in .db")
        folder = os.path.dirname(os.path.abspath(db))
        if not os.path.isdir(folder):
            raise DatabaseError(f"cannot open the database {db}: no such folder {folder}")
        if must_exist and not os.path.exists(db):
            # Milvus Lite would create an empty database rather than report it missing.
            raise DatabaseError(f"cannot open the database {db}: no such file")
        target = os.path.abspath(db)
    with _quiet_lite_teardown():
        try:
            return MilvusClient(uri=target, timeout=_CONNECT_TIMEOUT)
        except Exception as exc:  # pymilvus raises its own hierarchy and gRPC errors
            reason = _reason(exc)
        # The failed start's objects, freed here with the exception rather
        # than whenever a caller drops it, tidy up inside the quiet block.
        gc.collect()
    raise DatabaseError(f"cannot open the database {db}: {reason}")


@contextlib.contextmanager
def _quiet_lite_teardown() -> Iterator[None]:
    """Keeps Milvus Lite's destructors from printing tracebacks: a server that
    failed to start (a folder that is not writable) fails again to remove its
    lock file when it is freed; the start's failure is reported already."""
    previous = sys.unraisablehook

    def hook(unraisable: Any) -> None:
        if not (getattr(unraisable.object, "__module__", None) or "").startswith("milvus_lite"):
            previous(unraisable)

    sys.unraisablehook = hook
    try:
        yield
    finally:
        sys.unraisablehook = previous


def _reason(exc: BaseException) -> str:
    message = getattr(exc, "message", None) or str(exc) or type(exc).__name__
    return " ".join(str(message).split())


class TextCollection:
    """A Milvus collection of texts searched by BM25 sparse vectors.

    Use ``create`` or ``open``; both return an open collection, which is also a
    context manager that closes its connection. Fields: ``id`` (INT64 primary
    key), ``vector`` (sparse, inverted index, inner product) and ``text``
    (VARCHAR; empty for texts over 65,535 UTF-8 bytes, which are searched
    but come back with ``text`` None).

    Not thread-safe: use one object per thread.
    """

    def __init__(self, client: "MilvusClient", db: str, name: str, encoder: Any, model_path: str, meta: Dict[str, Any]):
        self._client = client
        self.db = db
        self.name = name
        self.encoder = encoder
        self.model_path = model_path
        self._meta = meta

    # ------------------------------------------------------------------
    # Creating and opening

    @classmethod
    def create(
        cls,
        db: str,
        encoder: Any,
        name: str = DEFAULT_COLLECTION,
        model_path: Optional[str] = None,
        replace: bool = False,
    ) -> "TextCollection":
        """Creates collection *name* in *db* for documents encoded by *encoder*.

        *encoder* is a ``TextEncoder`` whose model is already trained; its model
        is written to *model_path* (default: beside a local database; required
        for a server). An existing collection of that name raises ``ValueError``
        unless *replace* is true, which drops it first.
        """
        model = encoder.model
        try:
            model.encode_document(["probe"])
        except RuntimeError:
            raise ValueError("the encoder's model is not trained: train it before creating a collection") from None
        model_path = _resolve_model_path(db, name, model_path)
        client = _connect(db)
        try:
            _check_new(client, db, name, model_path, replace)
            if replace and client.has_collection(name):
                _database_call(db, client.drop_collection, name)
            model.dump(os.fsencode(model_path))
            meta = {"format": _META_FORMAT, "model_sha256": _file_digest(model_path), **encoder.options}
            _database_call(db, _create_collection, client, name, meta)
        except BaseException:
            client.close()
            raise
        return cls(client, db, name, encoder, model_path, meta)

    @classmethod
    def open(
        cls,
        db: str,
        name: str = DEFAULT_COLLECTION,
        jieba: Optional[Jieba] = None,
        model_path: Optional[str] = None,
    ) -> "TextCollection":
        """Opens collection *name* in *db* with the model it was indexed with.

        The query encoder is rebuilt from the model file (default: beside a local
        database; required for a server), *jieba* (default: the bundled data) and
        the options recorded in the collection. Raises ``CollectionNotFoundError``,
        ``DatabaseError``, ``ModelMismatchError`` (a model file that is not the
        collection's) or ``FileNotFoundError`` (no model file).
        """
        model_path = _resolve_model_path(db, name, model_path)
        client = _connect(db, must_exist=True)
        try:
            meta = _read_meta(client, db, name)
            _database_call(db, client.load_collection, name)  # a reopened collection starts released
            if not os.path.isfile(model_path):
                raise FileNotFoundError(2, "the collection's model file is missing", model_path)
            if _file_digest(model_path) != meta["model_sha256"]:
                raise ModelMismatchError(
                    f"{model_path} is not the model the collection {name!r} was indexed with"
                )
            model = BM25()
            with open(model_path, encoding="utf-8") as stream:
                model.load(stream.read())
            if jieba is None:
                jieba = Jieba(**default_paths())
            encoder = TextEncoder(jieba, model, **_encoder_options(meta))
        except BaseException:
            client.close()
            raise
        return cls(client, db, name, encoder, model_path, meta)

    def close(self) -> None:
        """Closes the connection; the data stays in the database."""
        if self._client is not None:
            self._client.close()
            self._client = None

    def __enter__(self) -> "TextCollection":
        return self

    def __exit__(self, *_exc: Any) -> None:
        self.close()

    @property
    def client(self) -> "MilvusClient":
        """The open ``pymilvus.MilvusClient``."""
        if self._client is None:
            raise ValueError("the collection is closed")
        return self._client

    # ------------------------------------------------------------------
    # Adding and searching

    def __len__(self) -> int:
        """Number of stored documents."""
        rows = self.client.query(self.name, filter="", output_fields=["count(*)"])
        return int(rows[0]["count(*)"])

    def check_model(self) -> None:
        """Raises ``ModelMismatchError`` when the encoder's model is no longer the
        collection's (trained further, or loaded with other statistics)."""
        if _model_digest(self.encoder.model) != self._meta["model_sha256"]:
            raise ModelMismatchError(
                f"the model's statistics have changed since the collection {self.name!r} was "
                "created; documents encoded with them would not match those already indexed: "
                "create the collection anew (replace=True) to index with the new model"
            )

    def add(
        self,
        texts: Iterable[str],
        ids: Optional[Iterable[int]] = None,
        threads: int = 0,
        batch_size: int = 2000,
        progress: Optional[bool] = None,
    ) -> int:
        """Encodes and inserts *texts*; returns how many were added (texts without
        index terms are skipped: no query could find them).

        *ids* are the documents' ids (64-bit integers), one per text; by default
        the texts are numbered on from the current number of documents. Texts are
        encoded natively on *threads* (0: all cores) in batches of *batch_size*.
        *progress* shows a bar on standard error (None: for long inputs on a
        terminal). Refuses (``ModelMismatchError``) a model trained further since
        the collection was created.
        """
        total = len(texts) if isinstance(texts, Sequence) else None
        if ids is None:
            items: Iterable = enumerate(texts, len(self))
        else:
            if isinstance(ids, Sequence) and total is not None and len(ids) != total:
                raise ValueError(f"{len(ids)} ids for {total} texts")
            items = _strict_zip(ids, texts)
        return self.add_items(items, threads=threads, batch_size=batch_size, progress=progress, total=total)

    def add_items(
        self,
        items: Iterable[Tuple[int, str]],
        threads: int = 0,
        batch_size: int = 2000,
        progress: Optional[bool] = None,
        total: Optional[int] = None,
    ) -> int:
        """Like ``add``, for (id, text) pairs; *total* is their number, if known, for the bar."""
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        self.check_model()
        items = iter(items)
        bar = _progress_bar(total, progress)
        added = 0
        try:
            while True:
                batch = list(itertools.islice(items, batch_size))
                if not batch:
                    break
                vectors = self.encoder.encode_documents([text for _id, text in batch], threads=threads)
                # A text without index terms has an empty vector, which no query
                # can reach and the sparse index refuses: it is skipped.
                rows = [
                    {"id": int(doc_id), "vector": id_vector(vector), "text": _storable(text)}
                    for (doc_id, text), vector in zip(batch, vectors)
                    if vector
                ]
                if rows:
                    self._write(self.client.insert, rows)
                added += len(rows)
                bar.update(len(batch))
            if added:
                # Sealed segments are searched through their inverted index;
                # rows still in the write buffer are scanned one by one.
                self._write(self.client.flush)
        finally:
            bar.close()
        return added

    def _write(self, operation, *args: Any) -> None:
        try:
            operation(self.name, *args)
        except Exception as exc:  # pymilvus raises its own hierarchy and gRPC errors
            raise DatabaseError(f"cannot add to the collection {self.name!r}: {_reason(exc)}") from None

    def search(self, query: str, top: int = 10) -> List[Hit]:
        """The *top* documents by dot product with the query's vector, best first.

        Documents sharing no token with the query are not returned; equal scores
        are ordered by id. Query tokens with a negative or zero weight (more
        occurrences than documents in training) are left out: the sparse index
        accepts only positive weights.
        """
        if top < 1:
            raise ValueError("top must be at least 1")
        vector = {k: w for k, w in id_vector(self.encoder.encode_queries([query])[0]).items() if w > 0.0}
        if not vector:
            return []
        try:
            results = self.client.search(
                self.name,
                data=[vector],
                anns_field="vector",
                limit=min(top + _TIE_MARGIN, _MAX_LIMIT),
                output_fields=["text"],
                search_params=_SEARCH_PARAMS,
            )
        except Exception as exc:
            raise DatabaseError(f"cannot search the collection {self.name!r}: {_reason(exc)}") from None
        hits = [Hit(int(r["id"]), float(r["distance"]), r["entity"].get("text") or None) for r in results[0]]
        hits.sort(key=lambda hit: (-hit.score, hit.id))
        return hits[:top]


def check_can_create(db: str, name: str = DEFAULT_COLLECTION, model_path: Optional[str] = None,
                     replace: bool = False) -> None:
    """Raises what ``TextCollection.create`` would raise for these arguments (an
    unusable database, an existing collection, a missing model path or folder),
    so that a caller can check before the long work of training."""
    model_path = _resolve_model_path(db, name, model_path)
    client = _connect(db)
    try:
        _check_new(client, db, name, model_path, replace)
    finally:
        client.close()


# ----------------------------------------------------------------------
# Helpers


def _database_call(db: str, operation, *args: Any) -> Any:
    try:
        return operation(*args)
    except Exception as exc:  # pymilvus raises its own hierarchy and gRPC errors
        raise DatabaseError(f"the database {db} refused the operation: {_reason(exc)}") from None


def _check_new(client: "MilvusClient", db: str, name: str, model_path: str, replace: bool) -> None:
    try:
        exists = client.has_collection(name)
    except Exception as exc:
        raise DatabaseError(f"cannot read the database {db}: {_reason(exc)}") from None
    if exists and not replace:
        raise ValueError(f"the collection {name!r} already exists in {db}")
    folder = os.path.dirname(model_path)
    if not os.path.isdir(folder):
        raise ValueError(f"cannot write the model {model_path}: no such folder {folder}")


def _resolve_model_path(db: str, name: str, model_path: Optional[str]) -> str:
    if model_path is not None:
        return os.path.abspath(model_path)
    if is_server_uri(db):
        raise ValueError("a collection on a Milvus server needs an explicit model path (model_path=...)")
    return model_path_for(db, name)


def _create_collection(client: "MilvusClient", name: str, meta: Dict[str, Any]) -> None:
    # The record goes both into the collection's properties and into its schema
    # description: some Milvus Lite releases keep only the one, some only the other.
    record = json.dumps(meta, sort_keys=True)
    schema = client.create_schema(auto_id=False, enable_dynamic_field=False, description=record)
    schema.add_field("id", DataType.INT64, is_primary=True)
    schema.add_field("vector", DataType.SPARSE_FLOAT_VECTOR)
    # Not nullable (older Milvus Lite refuses that): a text that does not fit is
    # stored as "", which no indexed text can be, since a text has index terms.
    schema.add_field("text", DataType.VARCHAR, max_length=MAX_TEXT_BYTES)
    index = client.prepare_index_params()
    index.add_index(field_name="vector", index_type="SPARSE_INVERTED_INDEX", metric_type="IP", params=_INDEX_PARAMS)
    client.create_collection(name, schema=schema, index_params=index, properties={_META_KEY: record})


def _read_meta(client: "MilvusClient", db: str, name: str) -> Dict[str, Any]:
    try:
        exists = client.has_collection(name)
    except Exception as exc:
        raise DatabaseError(f"cannot read the database {db}: {_reason(exc)}") from None
    if not exists:
        raise CollectionNotFoundError(f"the database {db} has no collection {name!r}")
    description = _database_call(db, client.describe_collection, name)
    record = (description.get("properties") or {}).get(_META_KEY) or description.get("description")
    try:
        meta = json.loads(record)
        if meta.get("format") != _META_FORMAT:
            raise ValueError
        meta["model_sha256"], meta["search"], meta["stop_words"]
    except (KeyError, ValueError, TypeError, AttributeError):  # no record, or not ours
        raise ModelMismatchError(f"the collection {name!r} in {db} was not made by pymiratext") from None
    return meta


# What an encoder did before these options existed: a collection whose record
# lacks one was indexed that way.
_OPTIONS_BEFORE_RECORDED = {"unknown_words": False, "normalize": False, "fold_script": False, "script_table": None}


def _encoder_options(meta: Dict[str, Any]) -> Dict[str, Any]:
    """The TextEncoder keywords of a collection's record."""
    options = dict(_OPTIONS_BEFORE_RECORDED)
    options.update((key, value) for key, value in meta.items() if key not in ("format", "model_sha256"))
    return options


def _storable(text: str) -> str:
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

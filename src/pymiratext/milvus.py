"""Search collections in Milvus: BM25 sparse vectors indexed by a vector database.

Needs the ``milvus`` extra (``pip install "pymiratext[milvus]"``: ``pymilvus`` and
``milvus-lite``). A database is either a local Milvus Lite file (a path ending in
``.db``) or a Milvus server (an ``http://`` or ``https://`` URI)::

    from pymiratext import Jieba, TextEncoder, default_paths
    from pymiratext.milvus import TextCollection

    encoder = TextEncoder(Jieba(**default_paths()), search=True)
    encoder.train(texts)
    with TextCollection.build("news.db", encoder, enumerate(texts), name="news") as collection:
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

A name finds its documents through a small catalog collection in the same
database, which also records the next free default id: ``build`` fills a new
Milvus collection and points the name at it only once it is complete, so an
interrupted build leaves the name as it was. Collections made before the
catalog existed are found under their own name.
"""

import array
import contextlib
import functools
import gc
import hashlib
import importlib.util
import itertools
import json
import operator
import os
import re
import secrets
import socket
import sys
import tempfile
import types
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

# gRPC's fork handlers, which the Milvus client brings in, make processes
# forked after a client started (a subprocess, a process pool, a Dask
# worker) abort now and then with "epoll_wait error: Bad file descriptor".
# They only matter to children that use gRPC themselves; a caller who needs
# them sets the variable before importing this module.
os.environ.setdefault("GRPC_ENABLE_FORK_SUPPORT", "false")

# Importing the client takes about a second, so it waits until a database
# is used (see load_client); whether it is installed is checked now.
if importlib.util.find_spec("pymilvus") is None:  # pragma: no cover - exercised by the command-line tests
    raise ImportError("the Milvus integration needs the 'milvus' extra: pip install \"pymiratext[milvus]\"")

from . import BM25, Jieba, TextEncoder, default_paths, id_vector

if TYPE_CHECKING:
    from pymilvus import MilvusClient

__all__ = [
    "CollectionExistsError",
    "CollectionNotFoundError",
    "DatabaseError",
    "Hit",
    "ModelMismatchError",
    "TextCollection",
    "check_can_create",
    "is_server_uri",
    "load_client",
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

# Extra candidates fetched beyond the requested top, so that most ties at the
# cut-off are settled by id without a second search.
_TIE_MARGIN = 16
# Seconds to wait for a server before reporting that it cannot be reached.
_CONNECT_TIMEOUT = 10.0
# Milvus limits a search to 16,384 results.
_MAX_LIMIT = 16384

# Milvus ids are signed 64-bit integers.
_MIN_ID, _MAX_ID = -(2**63), 2**63 - 1
# Texts sent in one insert request, at most; well under gRPC's message limits.
_BATCH_BYTES = 8 << 20
# Ids named in one delete or lookup expression.
_IDS_PER_EXPRESSION = 10000
# Milvus names: a letter or underscore, then letters, digits and underscores.
_NAME_PATTERN = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")
_MAX_NAME = 255
# The catalog: one row per name, with the Milvus collection holding its
# documents and the next free default id.
_CATALOG = "_pymiratext_catalog"


@functools.lru_cache(maxsize=None)
def load_client() -> Any:
    """Imports the Milvus client, which the first use of a database does otherwise;
    call it on another thread to have that second spent while other work runs."""
    import numpy
    import pymilvus
    from pymilvus.grpc_gen import milvus_pb2

    return types.SimpleNamespace(
        DataType=pymilvus.DataType,
        MilvusClient=pymilvus.MilvusClient,
        milvus_pb2=milvus_pb2,
        numpy=numpy,
        # An inserted sparse row: token ids with their float32 weights, as Milvus stores them.
        row_entry=numpy.dtype([("id", "<u4"), ("weight", "<f4")]),
    )


class DatabaseError(RuntimeError):
    """The database cannot be opened or refused an operation."""


class CollectionNotFoundError(LookupError):
    """The database has no collection of that name."""


class CollectionExistsError(ValueError):
    """The database already has a collection of that name (pass replace=True to replace it)."""


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


# What an encoder did before these options existed: a collection whose record
# lacks one was indexed that way.
_OPTIONS_BEFORE_RECORDED = {"unknown_words": False, "normalize": False, "fold_script": False, "script_table": None,
                            "bigrams": False}


def _make_encoder(jieba: Jieba, model: BM25, options: Dict[str, Any]) -> TextEncoder:
    """The encoder that the recorded *options* describe."""
    later = {key: options.get(key, before) for key, before in _OPTIONS_BEFORE_RECORDED.items()}
    return TextEncoder(jieba, model, search=options["search"], stop_words=options["stop_words"], **later)


def _check_local_path(db: str) -> None:
    if not db.endswith(".db"):
        raise DatabaseError(f"cannot open the database {db}: a local Milvus Lite file name ends in .db")
    folder = os.path.dirname(os.path.abspath(db))
    if not os.path.isdir(folder):
        raise DatabaseError(f"cannot open the database {db}: no such folder {folder}")


def _connect(db: str, must_exist: bool = False) -> "MilvusClient":
    if is_server_uri(db):
        target = db
    else:
        _check_local_path(db)
        if must_exist and not os.path.exists(db):
            # Milvus Lite would create an empty database rather than report it missing.
            raise DatabaseError(f"cannot open the database {db}: no such file")
        target = os.path.abspath(db)
    with _quiet_lite_teardown():
        try:
            return load_client().MilvusClient(uri=target, timeout=_CONNECT_TIMEOUT)
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


def _remove_local_database(client: "MilvusClient", db: str) -> None:
    """Closes *client* and deletes the Milvus Lite file *db* (a database this process created)."""
    client.close()
    try:
        # The embedded server outlives its clients; it must stop before its file goes.
        from milvus_lite.server_manager import server_manager_instance

        server_manager_instance.release_server(os.path.abspath(db))
    except Exception:  # noqa: BLE001 - another Milvus Lite release: the file is still removed
        pass
    try:
        os.remove(db)
    except OSError:
        pass


def _disconnect_quietly(connecting: Future, db: str, created_file: bool) -> None:
    """Closes the client being connected, when it connects; deletes the file if connecting created it."""
    try:
        client = connecting.result()
    except Exception:  # noqa: BLE001 - the error being raised already says what went wrong
        return
    if created_file:
        _remove_local_database(client, db)
    else:
        client.close()


def _reason(exc: BaseException) -> str:
    message = getattr(exc, "message", None) or str(exc) or type(exc).__name__
    return " ".join(str(message).split())


def _builder() -> str:
    """Who is building: a build whose process is gone may be cleared away."""
    return f"{socket.gethostname()}:{os.getpid()}"


def _builder_alive(builder: Any) -> bool:
    host, _, pid = str(builder).rpartition(":")
    if host != socket.gethostname() or not pid.isdigit():
        return True  # another machine's process cannot be checked from here
    try:
        os.kill(int(pid), 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # exists, owned by someone else
    return True


class TextCollection:
    """A Milvus collection of texts searched by BM25 sparse vectors.

    Use ``create``, ``build`` or ``open``; each returns an open collection, which
    is also a context manager that closes its connection. Fields: ``id`` (INT64
    primary key), ``vector`` (sparse, inverted index, inner product) and ``text``
    (VARCHAR; empty for texts over 65,535 UTF-8 bytes, which are searched
    but come back with ``text`` None).

    Not thread-safe: use one object per thread. One process writes to a
    collection at a time.
    """

    def __init__(
        self,
        client: "MilvusClient",
        db: str,
        name: str,
        encoder: Any,
        model_path: str,
        meta: Dict[str, Any],
        milvus_name: Optional[str] = None,
        next_id: Optional[int] = None,
        catalog: Optional["_Catalog"] = None,
    ):
        self._client = client
        self.db = db
        self.name = name
        self.encoder = encoder
        self.model_path = model_path
        self._meta = meta
        self._milvus_name = name if milvus_name is None else milvus_name
        # None: not known yet (a collection made before ids were recorded).
        self._next_id = next_id
        self._catalog = _Catalog(client, db) if catalog is None else catalog
        # While a build runs: nothing is visible, nothing needs reserving or undoing.
        self._staged = False

    @property
    def milvus_name(self) -> str:
        """The Milvus collection that holds the documents (the name itself, unless a
        build or a replacement put them in a new collection)."""
        return self._milvus_name

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
        """Creates an empty collection *name* in *db* for documents encoded by *encoder*.

        *encoder* is a ``TextEncoder`` whose model is already trained; its model
        is written to *model_path* (default: beside a local database; required
        for a server). An existing collection of that name raises
        ``CollectionExistsError`` (a ``ValueError``) unless *replace* is true:
        then it is dropped once the new one exists. ``build`` creates and fills
        a collection all at once.
        """
        return cls.build(db, encoder, (), name, model_path, replace)

    @classmethod
    def build(
        cls,
        db: str,
        encoder: Any,
        items: Iterable[Tuple[int, str]],
        name: str = DEFAULT_COLLECTION,
        model_path: Optional[str] = None,
        replace: bool = False,
        threads: int = 0,
        batch_size: int = 5000,
        progress: Optional[bool] = None,
        total: Optional[int] = None,
        encoded: Optional[Tuple[Any, Any, Any]] = None,
    ) -> "TextCollection":
        """Creates collection *name* holding the (id, text) *items*, all or nothing.

        The documents go into a new Milvus collection that *name* finds only once
        every item is in; with *replace*, the collection *name* found before stays
        searchable until then and is dropped after. If anything fails or the run
        is interrupted, the previous state stays and what the build made is
        removed again (a database file it created, too); a build killed outright
        leaves nothing visible, and the next ``build`` or ``create`` in that
        database removes its remains. Ids and the other arguments are as for
        ``add_items``; use ``enumerate(texts)`` to number texts from 0.
        *encoded*, if given, holds the items' document vectors, one row an item,
        as ``encoder.encode_documents_csr(texts, format="numpy")`` or
        ``encoder.train_and_encode_csr`` give them: the texts are not encoded again.
        """
        staging = cls._begin(db, encoder, name, model_path, replace)
        try:
            staging._add(iter(items), threads, batch_size, progress, total, check_ids=True, encoded=encoded)
            staging._commit()
        except BaseException:
            staging._abort()
            raise
        return staging

    @classmethod
    def _begin(cls, db, encoder, name, model_path, replace) -> "TextCollection":
        """A new, not yet visible collection for *name*, with its model in a temporary file."""
        model = _trained_model(encoder)
        _check_name(name, creating=True)
        model_path = _resolve_model_path(db, name, model_path)
        _check_model_folder(model_path)
        created_file = not is_server_uri(db) and not os.path.exists(db)
        temporary_model = _temporary_model_path(model_path)
        try:
            with ThreadPoolExecutor(1) as pool:
                # The database starts, which is mostly a wait, while the model is written.
                connecting = pool.submit(_connect, db)
                try:
                    model.dump(os.fsencode(temporary_model))
                    digest = _file_digest(temporary_model)
                except BaseException:
                    _disconnect_quietly(connecting, db, created_file)
                    raise
                client = connecting.result()
        except BaseException:
            _remove_file(temporary_model)
            raise
        staging = cls(client, db, name, encoder, model_path, {}, next_id=0)
        staging._created_file = created_file
        staging._temporary_model = temporary_model
        try:
            catalog = staging._catalog
            staging._previous, staging._previous_record = _check_new(client, catalog, db, name, model_path, replace)
            catalog.clear_remains(name, staging._previous)
            staging._meta = {
                "format": _META_FORMAT,
                "model_sha256": digest,
                # So that queries are encoded as the documents were.
                **encoder.options,
                # A collection that records its name is found only through the catalog.
                "name": name,
                "builder": _builder(),
            }
            staging._milvus_name = _free_milvus_name(client, db, name)
            staging._staged = True
            _database_call(db, _create_collection, client, staging._milvus_name, staging._meta)
        except BaseException:
            staging._abort()
            raise
        return staging

    def _commit(self) -> None:
        """Points the name at the built collection, puts its model in place and drops the previous one."""
        self._catalog.put(self.name, {"collection": self._milvus_name, "next_id": self._next_id})
        try:
            os.replace(self._temporary_model, self.model_path)
        except OSError:
            self._catalog.restore(self.name, self._previous_record)
            raise
        self._staged = False
        self._temporary_model = None
        if self._previous is not None and self._previous != self._milvus_name:
            _drop_quietly(self._client, self._previous)

    def _abort(self) -> None:
        """Removes what the build made: its collection, its model file, a database file it created."""
        if self._staged:
            _drop_quietly(self._client, self._milvus_name)
        if self._temporary_model is not None:
            _remove_file(self._temporary_model)
        if self._created_file:
            _remove_local_database(self._client, self.db)
            self._client = None
        else:
            self.close()

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
            catalog = _Catalog(client, db)
            milvus_name, meta, record = _locate(client, catalog, db, name)
            # A reopened collection starts released; loading it takes the
            # database a while, in which the model and the segmenter load here.
            with ThreadPoolExecutor(1) as pool:
                loading = pool.submit(_database_call, db, client.load_collection, milvus_name)
                try:
                    encoder = _load_encoder(model_path, meta, name, jieba)
                finally:
                    loading.result()
        except BaseException:
            client.close()
            raise
        next_id = None if record is None else record["next_id"]
        return cls(client, db, name, encoder, model_path, meta, milvus_name=milvus_name, next_id=next_id,
                   catalog=catalog)

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
        return self._count("")

    def _count(self, expression: str) -> int:
        rows = self._call("read", self.client.query, self._milvus_name, filter=expression,
                          output_fields=["count(*)"], consistency_level="Strong")
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
        batch_size: int = 5000,
        progress: Optional[bool] = None,
    ) -> int:
        """Encodes and inserts *texts*, all or nothing; returns how many were added
        (texts without index terms are skipped: no query could find them).

        *ids* are the documents' ids, one per text: integers in Milvus's signed
        64-bit range, each new to the collection and given once. Anything else
        (an id given twice, one the collection holds already, a float, a str, a
        bool, an id out of range) raises ``ValueError`` before anything is
        written: an id never names a second document, nor replaces one. By default the texts
        get the collection's next free ids in turn (a skipped text uses its id
        up too), so default ids are never given twice, whatever was skipped or
        given explicitly before. If anything fails part way (a bad text, a
        database error, an interruption), the documents this call added are
        removed again before the error is raised, and its message says so.

        Texts are encoded natively on *threads* (0: all cores) in batches of
        *batch_size*, the next batch while the last one is inserted. *progress*
        shows a bar on standard error (None: for long inputs on a terminal).
        Refuses (``ModelMismatchError``) a model trained further since the
        collection was created.
        """
        if isinstance(texts, str):
            raise TypeError("texts must be an iterable of str, not a str")
        total = len(texts) if isinstance(texts, Sequence) else None
        if ids is None:
            items = zip(itertools.count(self._first_free_id()), texts)
            return self._add(items, threads, batch_size, progress, total, check_ids=True)
        ids = list(ids)
        _check_ids(ids)
        if total is not None and len(ids) != total:
            raise ValueError(f"{len(ids)} ids for {total} texts")
        present = self._existing(ids)
        if present is not None:
            raise ValueError(f"id {present} is already in the collection {self.name!r}")
        return self._add(_strict_zip(ids, texts), threads, batch_size, progress, total, check_ids=False)

    def add_items(
        self,
        items: Iterable[Tuple[int, str]],
        threads: int = 0,
        batch_size: int = 5000,
        progress: Optional[bool] = None,
        total: Optional[int] = None,
    ) -> int:
        """Like ``add``, for (id, text) pairs; *total* is their number, if known, for
        the bar. Ids are checked batch by batch, so a bad id part way raises after
        the documents before it were added and removed again."""
        return self._add(iter(items), threads, batch_size, progress, total, check_ids=True, check_new=True)

    def _first_free_id(self) -> int:
        if self._next_id is None:
            self._next_id = self._scan_next_id()
        return self._next_id

    def _scan_next_id(self) -> int:
        """One past the largest stored id (at least 0), for a collection that recorded none."""
        if self._count("") == 0:
            return 0
        low, high = _MIN_ID, _MAX_ID  # some id is >= low; none is > high
        while low < high:
            middle = (low + high + 1) // 2
            if self._count(f"id >= {middle}") > 0:
                low = middle
            else:
                high = middle - 1
        return max(0, low + 1)

    def _add(self, items: Iterator, threads: int, batch_size: int, progress: Optional[bool],
             total: Optional[int], check_ids: bool, check_new: bool = False,
             encoded: Optional[Tuple[Any, Any, Any]] = None) -> int:
        """Inserts the (id, text) *items* in batches; *check_ids*: check each id's
        type and range and that none comes twice; *check_new*: that the
        collection holds none of them yet."""
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        if not self._staged:  # a build's model was written from the encoder just now
            self.check_model()
        seen = _IdTracker() if check_ids else None
        added = array.array("q")  # for undoing a failed call
        bar = _progress_bar(total, progress)
        try:
            with ThreadPoolExecutor(1) as pool:
                pending = None
                done = 0
                for ids, texts in _batches(items, batch_size, seen):
                    if encoded is None:
                        # The next batch encodes (natively, without the lock) while this one is sent.
                        encoding = pool.submit(self.encoder.encode_documents_csr, texts, threads, "numpy")
                    else:
                        encoding = _ready(_csr_rows(encoded, done, len(ids)))
                    done += len(ids)
                    if pending is not None:
                        self._insert(*pending, added, check_new)
                        bar.update(len(pending[0]))
                    pending = (ids, texts, encoding)
                if pending is not None:
                    self._insert(*pending, added, check_new)
                    bar.update(len(pending[0]))
            if encoded is not None and done != len(encoded[2]) - 1:
                raise ValueError(f"{len(encoded[2]) - 1} encoded rows for {done} items")
            if added:
                # Sealed segments are searched through their inverted index;
                # rows still in the write buffer are scanned one by one.
                self._call("add to", self.client.flush, self._milvus_name)
        except BaseException as exc:
            if not self._staged and added:
                _amend_message(exc, self._remove(added))
            raise
        finally:
            bar.close()
        return len(added)

    def _insert(self, ids: List[int], texts: List[str], encoding, added: "array.array", check_new: bool) -> None:
        data, indices, indptr = encoding.result()
        library = load_client()
        keep = library.numpy.flatnonzero(library.numpy.diff(indptr))
        # A text without index terms has an empty vector, which no query
        # can reach and the sparse index refuses: it is skipped.
        if len(keep) == 0:
            return
        client = self.client  # a closed collection raises here, before anything is recorded
        batch_ids = [ids[i] for i in keep.tolist()]
        if not self._staged:
            if check_new:
                present = self._existing(batch_ids)
                if present is not None:
                    raise ValueError(f"id {present} is already in the collection {self.name!r}")
            self._reserve(max(ids) + 1)
        else:
            self._next_id = max(self._next_id, max(ids) + 1)
        entries = library.numpy.empty(len(indices), dtype=library.row_entry)
        entries["id"] = indices
        entries["weight"] = data
        packed = entries.tobytes()
        bounds = (indptr * library.row_entry.itemsize).tolist()
        rows = [packed[bounds[i]:bounds[i + 1]] for i in keep.tolist()]
        stored = [_storable(texts[i]) for i in keep.tolist()]
        self._call("add to", _send_rows, client, self._milvus_name, batch_ids, rows,
                   int(indices.max()) + 1, stored)
        added.extend(batch_ids)

    def _reserve(self, bound: int) -> None:
        """Records that default ids start at *bound* or later, before rows with lower ids are written,
        so that not even an add killed part way leaves ids that a later default id could reuse."""
        if bound <= self._first_free_id():
            return
        self._catalog.put(self.name, {"collection": self._milvus_name, "next_id": bound})
        self._next_id = bound

    def _existing(self, ids: List[int]) -> Optional[int]:
        """The smallest of *ids* the collection already holds, or None."""
        found = None
        for start in range(0, len(ids), _IDS_PER_EXPRESSION):
            chunk = ids[start:start + _IDS_PER_EXPRESSION]
            rows = self._call("read", self.client.query, self._milvus_name, filter=f"id in {chunk}",
                              output_fields=["id"], limit=len(chunk), consistency_level="Strong")
            for row in rows:
                found = row["id"] if found is None else min(found, row["id"])
        return found

    def _remove(self, ids: "array.array") -> str:
        """Deletes the rows of *ids*; says what happened, for the message of the error that caused it."""
        try:
            for start in range(0, len(ids), _IDS_PER_EXPRESSION):
                self.client.delete(self._milvus_name, ids=ids[start:start + _IDS_PER_EXPRESSION].tolist())
            self.client.flush(self._milvus_name)
        except Exception as exc:  # noqa: BLE001 - reported with the original error
            return (f"the documents this call had added ({len(ids)}) could not all be removed "
                    f"({_reason(exc)}); the collection may hold some of them")
        return f"the documents this call had added ({len(ids)}) were removed"

    def _call(self, doing: str, operation, *args: Any, **kwargs: Any) -> Any:
        try:
            return operation(*args, **kwargs)
        except Exception as exc:  # pymilvus raises its own hierarchy and gRPC errors
            raise DatabaseError(f"cannot {doing} the collection {self.name!r}: {_reason(exc)}") from None

    def search(self, query: str, top: int = 10) -> List[Hit]:
        """The *top* documents by dot product with the query's vector, best first.

        Documents sharing no token with the query are not returned; equal scores
        are ordered by id, however many tie. Query tokens with a negative or zero
        weight (more occurrences than documents in training) are left out: the
        sparse index accepts only positive weights. At most 16,384 hits come
        back, the most Milvus returns, whatever *top* asks.
        """
        if top < 1:
            raise ValueError("top must be at least 1")
        top = min(top, _MAX_LIMIT)
        # One text: the calling thread does it faster than starting others.
        vector = {k: w for k, w in id_vector(self.encoder.encode_queries([query], threads=1)[0]).items() if w > 0.0}
        if not vector:
            return []
        limit = min(top + _TIE_MARGIN, _MAX_LIMIT)
        while True:
            hits = self._search(vector, limit)
            if len(hits) < limit:
                return hits[:top]  # every document sharing a token
            cut = hits[top - 1].score
            if hits[-1].score < cut:
                return hits[:top]  # all that tie at the cut-off came back
            if limit == _MAX_LIMIT:
                return self._settle_ties(vector, hits, top, cut)
            limit = min(limit * 4, _MAX_LIMIT)

    def _settle_ties(self, vector: Dict[int, float], hits: List[Hit], top: int, cut: float) -> List[Hit]:
        """The best *top* when more documents score *cut* than one search returns:
        the lowest ids among them, narrowed down by searching below an id bound."""
        above = [hit for hit in hits if hit.score > cut]
        need = top - len(above)
        tied = [hit for hit in hits if hit.score == cut][:need]
        while True:
            bound = tied[-1].id
            more = self._search(vector, _MAX_LIMIT, f"id < {bound}")
            tied = sorted({hit.id: hit for hit in tied + [h for h in more if h.score == cut]}.values(),
                          key=lambda hit: hit.id)[:need]
            if len(more) < _MAX_LIMIT or more[-1].score < cut:
                return above + tied

    def _search(self, vector: Dict[int, float], limit: int, expression: str = "") -> List[Hit]:
        """Up to *limit* best matches, ordered by score, then id."""
        try:
            results = self.client.search(
                self._milvus_name,
                data=[vector],
                anns_field="vector",
                limit=limit,
                filter=expression,
                output_fields=["text"],
                search_params=_SEARCH_PARAMS,
            )
        except Exception as exc:
            raise DatabaseError(f"cannot search the collection {self.name!r}: {_reason(exc)}") from None
        hits = [Hit(int(r["id"]), float(r["distance"]), r["entity"].get("text") or None) for r in results[0]]
        hits.sort(key=lambda hit: (-hit.score, hit.id))
        return hits


def check_can_create(db: str, name: str = DEFAULT_COLLECTION, model_path: Optional[str] = None,
                     replace: bool = False) -> None:
    """Raises what ``TextCollection.create`` would raise for these arguments (an
    unusable database, an existing collection, a missing model path or folder),
    so that a caller can check before the long work of training. Creates nothing."""
    _check_name(name, creating=True)
    model_path = _resolve_model_path(db, name, model_path)
    if not is_server_uri(db):
        _check_local_path(db)
        if not os.path.exists(db):
            _check_model_folder(model_path)
            return
    client = _connect(db)
    try:
        _check_new(client, _Catalog(client, db), db, name, model_path, replace)
    finally:
        client.close()


# ----------------------------------------------------------------------
# Helpers


class _Catalog:
    """The catalog collection of a database: for each name, the Milvus collection
    holding its documents and the next free default id, as a JSON record."""

    def __init__(self, client: "MilvusClient", db: str):
        self._client = client
        self._db = db
        self._ready = False

    def _exists(self) -> bool:
        if self._ready:
            return True
        if not _database_call(self._db, self._client.has_collection, _CATALOG):
            return False
        _database_call(self._db, self._client.load_collection, _CATALOG)
        self._ready = True
        return True

    def get(self, name: str) -> Optional[Dict[str, Any]]:
        if not self._exists():
            return None
        rows = _database_call(self._db, self._client.query, _CATALOG, filter=f'name == "{name}"',
                              output_fields=["record"], consistency_level="Strong")
        return json.loads(rows[0]["record"]) if rows else None

    def put(self, name: str, record: Dict[str, Any]) -> None:
        if not self._exists():
            _database_call(self._db, _create_catalog, self._client)
            self._ready = True
        row = {"name": name, "record": json.dumps(record, sort_keys=True), "unused": [0.0, 0.0]}
        _database_call(self._db, self._client.upsert, _CATALOG, [row])

    def restore(self, name: str, record: Optional[Dict[str, Any]]) -> None:
        """Gives *name* its earlier *record* again (None: no record)."""
        if record is None:
            _database_call(self._db, self._client.delete, _CATALOG, filter=f'name == "{name}"')
        else:
            self.put(name, record)

    def clear_remains(self, name: str, current: Optional[str]) -> None:
        """Drops what interrupted builds of *name* left: collections made for it
        that it does not find and whose builder is gone, and a collection from
        before the catalog that a replacement superseded."""
        for milvus_name in _database_call(self._db, self._client.list_collections):
            if milvus_name == current or not (milvus_name == name or milvus_name.startswith(name + "_")):
                continue
            try:
                meta = _read_meta(self._client, self._db, milvus_name)
            except (ModelMismatchError, DatabaseError):
                continue  # not ours
            superseded = milvus_name == name and "name" not in meta and current is not None
            abandoned = meta.get("name") == name and not _builder_alive(meta.get("builder"))
            if superseded or abandoned:
                _database_call(self._db, self._client.drop_collection, milvus_name)


def _create_catalog(client: "MilvusClient") -> None:
    DataType = load_client().DataType  # noqa: N806 - the client library's name
    schema = client.create_schema(auto_id=False, enable_dynamic_field=False,
                                  description="pymiratext: where each name's documents are, and its next id")
    schema.add_field("name", DataType.VARCHAR, max_length=_MAX_NAME, is_primary=True)
    schema.add_field("record", DataType.VARCHAR, max_length=MAX_TEXT_BYTES)
    # Milvus wants a vector field in every collection; this one is never searched.
    schema.add_field("unused", DataType.FLOAT_VECTOR, dim=2)
    index = client.prepare_index_params()
    index.add_index(field_name="unused", index_type="FLAT", metric_type="L2")
    _create_indexed(client, _CATALOG, schema, index)


def _create_indexed(client: "MilvusClient", name: str, schema: Any, index: Any, **properties: Any) -> None:
    """Creates, indexes and loads a collection; indexing an empty collection
    needs no wait, which creating it with its index would spend."""
    client.create_collection(name, schema=schema, **properties)
    client.create_index(name, index, sync=False)
    client.load_collection(name)


def _locate(client: "MilvusClient", catalog: _Catalog, db: str,
            name: str) -> Tuple[str, Dict[str, Any], Optional[Dict[str, Any]]]:
    """The Milvus collection holding *name*'s documents, its metadata and its catalog record."""
    _check_name(name)
    record = catalog.get(name)
    milvus_name = name if record is None else record["collection"]
    if not _database_call(db, client.has_collection, milvus_name):
        raise CollectionNotFoundError(f"the database {db} has no collection {name!r}")
    meta = _read_meta(client, db, milvus_name)
    if record is None and "name" in meta:  # a build that never finished
        raise CollectionNotFoundError(f"the database {db} has no collection {name!r}")
    return milvus_name, meta, record


def _check_name(name: str, creating: bool = False) -> None:
    # A new name leaves room for the suffix of a replacement's Milvus collection.
    longest = _MAX_NAME - 9 if creating else _MAX_NAME
    if not isinstance(name, str) or not _NAME_PATTERN.match(name) or len(name) > longest:
        raise ValueError(f"a collection name is letters, digits and underscores, starting with a letter "
                         f"or an underscore, at most {longest} long: not {name!r}")
    if name == _CATALOG:
        raise ValueError(f"the name {name!r} is reserved for pymiratext's catalog")


def _free_milvus_name(client: "MilvusClient", db: str, name: str) -> str:
    """*name* itself when no Milvus collection has it, else *name* with a random suffix."""
    candidate = name
    while _database_call(db, client.has_collection, candidate):
        candidate = f"{name}_{secrets.token_hex(4)}"
    return candidate


def _trained_model(encoder: Any) -> BM25:
    model = encoder.model
    try:
        model.encode_document(["probe"])
    except RuntimeError:
        raise ValueError("the encoder's model is not trained: train it before creating a collection") from None
    return model


def _load_encoder(model_path: str, meta: Dict[str, Any], name: str, jieba: Optional[Jieba]) -> TextEncoder:
    if not os.path.isfile(model_path):
        raise FileNotFoundError(2, "the collection's model file is missing", model_path)
    if _file_digest(model_path) != meta["model_sha256"]:
        raise ModelMismatchError(f"{model_path} is not the model the collection {name!r} was indexed with")
    model = BM25()
    with open(model_path, encoding="utf-8") as stream:
        model.load(stream.read())
    if jieba is None:
        jieba = Jieba(**default_paths())
    return _make_encoder(jieba, model, meta)


def _database_call(db: str, operation, *args: Any, **kwargs: Any) -> Any:
    try:
        return operation(*args, **kwargs)
    except Exception as exc:  # pymilvus raises its own hierarchy and gRPC errors
        raise DatabaseError(f"the database {db} refused the operation: {_reason(exc)}") from None


def _check_new(client: "MilvusClient", catalog: _Catalog, db: str, name: str, model_path: str,
               replace: bool) -> Tuple[Optional[str], Optional[Dict[str, Any]]]:
    """Checks that collection *name* may be created; returns the Milvus collection it
    replaces and the catalog record naming it (None when there is none)."""
    _check_name(name, creating=True)
    try:
        previous, _meta, record = _locate(client, catalog, db, name)
    except CollectionNotFoundError:
        previous, record = None, catalog.get(name)
    if previous is not None and not replace:
        raise CollectionExistsError(f"the collection {name!r} already exists in {db}")
    _check_model_folder(model_path)
    return previous, record


def _check_model_folder(model_path: str) -> None:
    folder = os.path.dirname(model_path)
    if not os.path.isdir(folder):
        raise ValueError(f"cannot write the model {model_path}: no such folder {folder}")


def _resolve_model_path(db: str, name: str, model_path: Optional[str]) -> str:
    if model_path is not None:
        return os.path.abspath(model_path)
    if is_server_uri(db):
        raise ValueError("a collection on a Milvus server needs an explicit model path (model_path=...)")
    return model_path_for(db, name)


def _drop_quietly(client: "MilvusClient", milvus_name: str) -> None:
    try:
        client.drop_collection(milvus_name)
    except Exception:  # noqa: BLE001 - cleaning up after another error; the next build clears it away
        pass


def _temporary_model_path(model_path: str) -> str:
    """A new file beside *model_path* for a build's model, named after the building
    process; those of builds whose process is gone are removed first."""
    folder, base = os.path.split(model_path)
    pattern = re.compile(re.escape(f".{base}.") + r"(\d+)\.[0-9a-f]+\.tmp\Z")
    for entry in os.listdir(folder):
        found = pattern.match(entry)
        if found and not _builder_alive(f"{socket.gethostname()}:{found.group(1)}"):
            _remove_file(os.path.join(folder, entry))
    path = os.path.join(folder, f".{base}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    open(path, "xb").close()
    return path


def _remove_file(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass


def _create_collection(client: "MilvusClient", name: str, meta: Dict[str, Any]) -> None:
    # The record goes both into the collection's properties and into its schema
    # description: some Milvus Lite releases keep only the one, some only the other.
    record = json.dumps(meta, sort_keys=True)
    DataType = load_client().DataType  # noqa: N806 - the client library's name
    schema = client.create_schema(auto_id=False, enable_dynamic_field=False, description=record)
    schema.add_field("id", DataType.INT64, is_primary=True)
    schema.add_field("vector", DataType.SPARSE_FLOAT_VECTOR)
    # Not nullable (older Milvus Lite refuses that): a text that does not fit is
    # stored as "", which no indexed text can be, since a text has index terms.
    schema.add_field("text", DataType.VARCHAR, max_length=MAX_TEXT_BYTES)
    index = client.prepare_index_params()
    index.add_index(field_name="vector", index_type="SPARSE_INVERTED_INDEX", metric_type="IP", params=_INDEX_PARAMS)
    _create_indexed(client, name, schema, index, properties={_META_KEY: record})


def _read_meta(client: "MilvusClient", db: str, milvus_name: str) -> Dict[str, Any]:
    description = _database_call(db, client.describe_collection, milvus_name)
    record = (description.get("properties") or {}).get(_META_KEY) or description.get("description")
    try:
        meta = json.loads(record)
        if meta.get("format") != _META_FORMAT:
            raise ValueError
        meta["model_sha256"], meta["search"], meta["stop_words"]
    except (KeyError, ValueError, TypeError, AttributeError):  # no record, or not ours
        raise ModelMismatchError(f"the collection {milvus_name!r} in {db} was not made by pymiratext") from None
    return meta


def _send_rows(client: "MilvusClient", collection: str, ids: List[int], rows: List[bytes], dim: int,
               texts: List[str]) -> None:
    """Inserts rows whose vectors are already in Milvus's sparse row format.

    The client's public insert converts every row in Python, which costs more
    than computing the vectors; its batch insert takes a prepared request. A
    client without that path gets the rows through the public insert.
    """
    connection = getattr(client, "_get_connection", None)
    handler = connection() if connection is not None else None
    if handler is None or not hasattr(handler, "batch_insert"):
        client.insert(collection, [
            {"id": doc_id, "vector": _row_dict(row), "text": text} for doc_id, row, text in zip(ids, rows, texts)
        ])
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


def _amend_message(exc: BaseException, note: str) -> None:
    """Adds *note* to the message of *exc*, which is being raised."""
    if type(exc).__str__ is BaseException.__str__ and exc.args and isinstance(exc.args[0], str):
        exc.args = (f"{exc.args[0]}; {note}",) + exc.args[1:]
    elif not exc.args:
        exc.args = (note,)
    elif hasattr(exc, "add_note"):
        exc.add_note(note)


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

"""The collection: creating, building, opening, adding and searching."""

import array
import itertools
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, TYPE_CHECKING, Tuple

from .. import BM25, Jieba, TextEncoder, id_vector
from ._errors import DatabaseError, CollectionNotFoundError, CollectionExistsError, ModelMismatchError, _reason, _amend_message
from ._database import DEFAULT_COLLECTION, _META_FORMAT, _SEARCH_PARAMS, _TIE_MARGIN, _MAX_LIMIT, _MIN_ID, _MAX_ID, _IDS_PER_EXPRESSION, load_client, is_server_uri, _check_local_path, _connect, _remove_local_database, _disconnect_quietly, _database_call, _drop_quietly, _builder
from ._model import _file_digest, _model_digest, _trained_model, _load_encoder, _check_model_folder, _resolve_model_path, _temporary_model_path, _remove_file
from ._schema import _create_collection
from ._catalog import _Catalog, _locate, _check_name, _free_milvus_name, _check_new
from . import _hybrid
from ._ingest import _send_rows, _ready, _csr_rows, _batches, _IdTracker, _check_ids, _storable, _progress_bar, _strict_zip

if TYPE_CHECKING:
    from pymilvus import MilvusClient


class Hit(NamedTuple):
    """One search result: the document id, its score, and its text (None if not stored)."""

    id: int
    score: float
    text: Optional[str]


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
        # Embeds a batch of texts for the dense field: given to add, used by search(dense=True).
        self.embed: Optional[Any] = None

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
        dense_dimension: Optional[int] = None,
        dense_metric: str = "cosine",
    ) -> "TextCollection":
        """Creates an empty collection *name* in *db* for documents encoded by *encoder*.

        *encoder* is a ``TextEncoder`` whose model is already trained; its model
        is written to *model_path* (default: beside a local database; required
        for a server). An existing collection of that name raises
        ``CollectionExistsError`` (a ``ValueError``) unless *replace* is true:
        then it is dropped once the new one exists. ``build`` creates and fills
        a collection all at once.

        *dense_dimension* gives the collection a dense vector field of that
        size beside the sparse one, for hybrid search; *dense_metric* is its
        similarity, ``"cosine"`` or ``"ip"`` (inner product). Its documents
        then need a dense vector each (``add(..., dense=...)``).
        """
        return cls.build(db, encoder, (), name, model_path, replace, dense_dimension=dense_dimension,
                         dense_metric=dense_metric)

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
        dense: Any = None,
        dense_dimension: Optional[int] = None,
        dense_metric: str = "cosine",
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
        *dense_dimension* and *dense_metric* are as for ``create``, *dense* as for ``add``.
        """
        dense_spec = _hybrid.dense_record(dense_dimension, dense_metric)
        staging = cls._begin(db, encoder, name, model_path, replace, dense_spec)
        try:
            rows = staging._dense_rows(dense, total)
            staging._adopt(rows, staging._add(iter(items), threads, batch_size, progress, total, check_ids=True,
                                              encoded=encoded, dense=rows))
            staging._commit()
        except BaseException:
            staging._abort()
            raise
        return staging

    @classmethod
    def _begin(cls, db, encoder, name, model_path, replace, dense_spec=None) -> "TextCollection":
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
                **(dense_spec or {}),
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
        dense: Any = None,
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

        A collection with a dense field needs *dense*: one vector a text (a
        NumPy array or a list of lists) or a callable that takes a list of
        texts and returns their vectors, called once a batch with the texts
        that are kept; the callable is kept as ``embed`` for ``search(dense=True)``.
        """
        if isinstance(texts, str):
            raise TypeError("texts must be an iterable of str, not a str")
        total = len(texts) if isinstance(texts, Sequence) else None
        rows = self._dense_rows(dense, total)
        if ids is None:
            items = zip(itertools.count(self._first_free_id()), texts)
            return self._adopt(rows, self._add(items, threads, batch_size, progress, total, check_ids=True,
                                               dense=rows))
        ids = list(ids)
        _check_ids(ids)
        if total is not None and len(ids) != total:
            raise ValueError(f"{len(ids)} ids for {total} texts")
        present = self._existing(ids)
        if present is not None:
            raise ValueError(f"id {present} is already in the collection {self.name!r}")
        return self._adopt(rows, self._add(_strict_zip(ids, texts), threads, batch_size, progress, total,
                                           check_ids=False, dense=rows))

    def add_items(
        self,
        items: Iterable[Tuple[int, str]],
        threads: int = 0,
        batch_size: int = 5000,
        progress: Optional[bool] = None,
        total: Optional[int] = None,
        dense: Any = None,
    ) -> int:
        """Like ``add``, for (id, text) pairs; *total* is their number, if known, for
        the bar. Ids are checked batch by batch, so a bad id part way raises after
        the documents before it were added and removed again."""
        rows = self._dense_rows(dense, None)
        return self._adopt(rows, self._add(iter(items), threads, batch_size, progress, total, check_ids=True,
                                           check_new=True, dense=rows))

    def _dense_rows(self, dense: Any, total: Optional[int]) -> Optional["_hybrid.DenseRows"]:
        if dense is None:
            return None
        return _hybrid.DenseRows(dense, self._meta, self.name, total)

    def _adopt(self, rows: Optional["_hybrid.DenseRows"], added: int) -> int:
        """Keeps the embedding callable of an add that succeeded, for dense=True queries."""
        if rows is not None and rows.embed is not None:
            self.embed = rows.embed
        return added

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
             encoded: Optional[Tuple[Any, Any, Any]] = None, dense: Optional["_hybrid.DenseRows"] = None) -> int:
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
                        self._insert(*pending, added, check_new, dense)
                        bar.update(len(pending[0]))
                    pending = (ids, texts, encoding)
                if pending is not None:
                    self._insert(*pending, added, check_new, dense)
                    bar.update(len(pending[0]))
            if dense is not None:
                dense.finish()
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

    def _insert(self, ids: List[int], texts: List[str], encoding, added: "array.array", check_new: bool,
                dense: Optional["_hybrid.DenseRows"] = None) -> None:
        data, indices, indptr = encoding.result()
        library = load_client()
        keep = library.numpy.flatnonzero(library.numpy.diff(indptr))
        if dense is None and self._meta.get("dense"):
            raise _hybrid.missing_dense(self.name)
        dense_rows = None if dense is None else dense.take(texts, keep.tolist())
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
                   int(indices.max()) + 1, stored, dense_rows)
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

    def search(self, query: str, top: int = 10, filter: Optional[str] = None,  # noqa: A002 - the engine's word
               dense: Any = None, fusion: str = "rrf", rrf_k: int = 60,
               weights: Optional[Sequence[float]] = None) -> List[Any]:
        """The *top* documents by dot product with the query's vector, best first.

        Documents sharing no token with the query are not returned; equal scores
        are ordered by id, however many tie. Query tokens with a negative or zero
        weight (more occurrences than documents in training) are left out: the
        sparse index accepts only positive weights. At most 16,384 hits come
        back, the most Milvus returns, whatever *top* asks.

        With *dense* (a vector of the collection's dense size, or True to embed
        the query with ``embed``) the search is hybrid: Milvus fuses the sparse
        ranking with the dense one, by reciprocal rank (*fusion* ``"rrf"``,
        score the sum of 1 / (*rrf_k* + rank) over the sides) or by weighted
        normalised scores (``"weighted"``, *weights* (sparse, dense), default
        equal). Each side contributes its best *top* + 16 documents; a query
        without index terms has only its dense side. The hits are
        ``HybridHit``, whose ``found_by`` names the sides that ranked them.
        *filter* is a Milvus boolean expression applied to both sides.
        """
        if top < 1:
            raise ValueError("top must be at least 1")
        top = min(top, _MAX_LIMIT)
        # One text: the calling thread does it faster than starting others.
        vector = {k: w for k, w in id_vector(self.encoder.encode_queries([query], threads=1)[0]).items() if w > 0.0}
        if dense is not None and dense is not False:
            return _hybrid.search(self, query, vector, top, dense, fusion, rrf_k, weights, filter or "")
        if filter:
            raise NotImplementedError("filters apply to hybrid searches (dense=...) only, so far")
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

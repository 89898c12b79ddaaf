"""The collection: creating, building, opening, changing and searching."""

import array
import itertools
import json
import os
import re
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from concurrent.futures import TimeoutError as FutureTimeout
from typing import TYPE_CHECKING, Any, Dict, Iterable, Iterator, List, NamedTuple, Optional, Sequence, Tuple

from .. import Jieba, TextEncoder, id_vector
from ._catalog import _Catalog, _check_name, _check_new, _free_milvus_name, _locate
from ._database import (DEFAULT_COLLECTION, MAX_TEXT_BYTES, _IDS_PER_EXPRESSION, _MAX_ID, _MAX_LIMIT, _MIN_ID,
                        _SEARCH_PARAMS, _TIE_MARGIN, _builder, _check_local_path, _connect, _database_call,
                        _disconnect_quietly, _drop_quietly, _remove_local_database, is_server_uri, load_client)
from ._errors import DatabaseError, ModelMismatchError, _amend_message, _reason
from ._ingest import (_as_id, _batches, _check_ids, _csr_rows, _IdTracker, _metadata_json, _progress_bar, _ready,
                      _send_rows, _storable, _strict_zip)
from ._model import (model_path_for, _check_model_folder, _file_digest, _load_encoder, _model_digests, _remove_file,
                     _resolve_model_path, _settle_model, _temporary_model_path, _trained_model)
from . import _hybrid
from ._schema import ENGINE, VECTORS, _create_collection, _read_meta
from ._signals import deferred_signals, terminate_as_interrupt

if TYPE_CHECKING:
    from pymilvus import MilvusClient

# The record format of new collections (see _schema).
_FORMAT = 2
_ENGINE_SEARCH_PARAMS = {"metric_type": "BM25"}
# Fewer texts than this are segmented on the calling thread alone.
_TEXTS_PER_THREAD = 256


class Hit(NamedTuple):
    """One search result: the document id, its score, its text (None if not
    stored) and its metadata (a dict; empty for none)."""

    id: int
    score: float
    text: Optional[str]
    metadata: Optional[Dict[str, Any]] = None


class _EngineLacksBM25(Exception):
    """The engine refused a collection that it scores itself."""


class TextCollection:
    """A Milvus collection of texts searched by BM25.

    Use ``create``, ``build`` or ``open``; each returns an open collection, which
    is also a context manager that closes its connection.

    A new collection is scored by the engine (``scoring="engine"``, where the
    engine supports it): each text's index terms, joined by blanks, go into an
    analyzed field that Milvus's BM25 function turns into a sparse vector, so
    the statistics are always those of the documents the collection holds, and
    no model file is needed. ``scoring="vectors"`` keeps the client-side
    vectors of a trained model instead (the only kind that collections made by
    pymiratext 0.1 and 0.2 have); such collections can be added to but not
    changed, since their statistics are frozen in the model.

    Fields: ``id`` (INT64 primary key), ``vector`` (sparse, inverted index),
    ``terms`` (engine scoring: the index terms), ``text`` (VARCHAR; empty for
    texts over 65,535 UTF-8 bytes, which are searched but come back with
    ``text`` None), ``metadata`` (JSON; not in collections made before 0.3) and,
    in a collection created with ``dense_dimension``, ``dense`` (float vector,
    exact index), for hybrid search.

    Not thread-safe: use one object per thread. One process writes to a
    collection at a time.
    """

    def __init__(
        self,
        client: "MilvusClient",
        db: str,
        name: str,
        encoder: Any,
        model_path: Optional[str],
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
        self._temporary_model: Optional[str] = None
        self._created_file = False
        self._previous: Optional[str] = None
        self._previous_record: Optional[Dict[str, Any]] = None
        # Embeds a batch of texts for the dense field: given to add, used by search(dense=True).
        self.embed: Optional[Any] = None

    @property
    def milvus_name(self) -> str:
        """The Milvus collection that holds the documents (the name itself, unless a
        build or a replacement put them in a new collection)."""
        return self._milvus_name

    @property
    def scoring(self) -> str:
        """``"engine"`` (Milvus scores BM25 with live statistics) or ``"vectors"``
        (client-side vectors of a trained model)."""
        return self._meta.get("scoring", VECTORS)

    @property
    def has_metadata(self) -> bool:
        """Whether documents carry metadata (collections made before 0.3 do not)."""
        return self._meta.get("format", 1) >= 2

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
        scoring: Optional[str] = None,
        dense_dimension: Optional[int] = None,
        dense_metric: str = "cosine",
    ) -> "TextCollection":
        """Creates an empty collection *name* in *db* for documents segmented by *encoder*.

        *scoring* is ``"engine"`` (the default where the engine supports it: the
        encoder needs no trained model, its ``k1`` and ``b`` are the engine's) or
        ``"vectors"``: then the encoder's model must be trained, and it is
        written to *model_path* (default: beside a local database; required for
        a server). An existing collection of that name raises
        ``CollectionExistsError`` (a ``ValueError``) unless *replace* is true:
        then it is dropped once the new one exists. ``build`` creates and fills
        a collection all at once.

        *dense_dimension* gives the collection a dense vector field of that
        size beside the sparse one, for hybrid search; *dense_metric* is its
        similarity, ``"cosine"`` or ``"ip"`` (inner product). Its documents
        then need a dense vector each (``add(..., dense=...)``).
        """
        return cls.build(db, encoder, (), name, model_path, replace, scoring=scoring,
                         dense_dimension=dense_dimension, dense_metric=dense_metric)

    @classmethod
    def build(
        cls,
        db: str,
        encoder: Any,
        items: Iterable[Tuple[Any, ...]],
        name: str = DEFAULT_COLLECTION,
        model_path: Optional[str] = None,
        replace: bool = False,
        threads: int = 0,
        batch_size: int = 5000,
        progress: Optional[bool] = None,
        total: Optional[int] = None,
        encoded: Optional[Tuple[Any, Any, Any]] = None,
        scoring: Optional[str] = None,
        dense: Any = None,
        dense_dimension: Optional[int] = None,
        dense_metric: str = "cosine",
    ) -> "TextCollection":
        """Creates collection *name* holding the (id, text) or (id, text, metadata)
        *items*, all or nothing.

        The documents go into a new Milvus collection that *name* finds only once
        every item is in: the catalog record naming it is the one commit, which
        signals do not interrupt. With *replace*, the collection *name* found
        before stays searchable until then and is dropped after. If anything
        fails or the run is interrupted (Ctrl-C or SIGTERM), the previous state
        stays and what the build made is removed again (a database file it
        created, too); a build killed outright leaves nothing visible, and the
        next build, create or index in that database removes its remains. Ids
        and the other arguments are as for ``add_items``; use
        ``enumerate(texts)`` to number texts from 0. *encoded*, if given, holds
        the items' document vectors, one row an item, as
        ``encoder.encode_documents_csr(texts, format="numpy")`` or
        ``encoder.train_and_encode_csr`` give them (client-side vectors only: it
        implies ``scoring="vectors"``). *dense_dimension* and *dense_metric* are
        as for ``create``, *dense* as for ``add``.
        """
        return cls._build(db, encoder, items, name, model_path, replace, threads, batch_size, progress, total,
                          encoded, scoring, dense=dense,
                          dense_spec=_hybrid.dense_record(dense_dimension, dense_metric))

    @classmethod
    def _build(cls, db: str, encoder: Any, items: Iterable[Tuple[Any, ...]], name: str = DEFAULT_COLLECTION,
               model_path: Optional[str] = None, replace: bool = False, threads: int = 0, batch_size: int = 5000,
               progress: Optional[bool] = None, total: Optional[int] = None,
               encoded: Optional[Tuple[Any, Any, Any]] = None, scoring: Optional[str] = None,
               size: Optional[int] = None, must_hold: bool = False, dense: Any = None,
               dense_spec: Optional[Dict[str, Any]] = None) -> "TextCollection":
        """``build``; *size*: the input bytes the items come from (their fourth
        element), for the bar; *must_hold*: refuse to commit an empty collection."""
        if scoring is None and encoded is not None:
            scoring = VECTORS
        if scoring not in (None, ENGINE, VECTORS):
            raise ValueError(f"scoring is {ENGINE!r} or {VECTORS!r}, not {scoring!r}")
        if scoring == ENGINE and encoded is not None:
            raise ValueError("encoded vectors are for scoring='vectors'; the engine scores its own")
        with terminate_as_interrupt():
            try:
                staging = cls._begin(db, encoder, name, model_path, replace, scoring or ENGINE, scoring is None,
                                     dense_spec)
            except _EngineLacksBM25:
                staging = cls._begin(db, encoder, name, model_path, replace, VECTORS, False, dense_spec)
            try:
                rows = staging._dense_rows(dense, total)
                added = staging._adopt(rows, staging._add(iter(items), threads, batch_size, progress, total,
                                                          check_ids=True, encoded=encoded, size=size, dense=rows))
                if must_hold and not added:
                    raise ValueError("no documents to index: the corpus has no words")
                staging._commit()
            except BaseException:
                staging._abort()
                raise
        return staging

    @classmethod
    def _begin(cls, db: str, encoder: Any, name: str, model_path: Optional[str], replace: bool,
               scoring: str, may_fall_back: bool, dense_spec: Optional[Dict[str, Any]] = None) -> "TextCollection":
        """A new, not yet visible collection for *name* (for client-side vectors,
        with its model in a temporary file)."""
        _check_name(name, creating=True)
        if scoring == VECTORS:
            model = _trained_model(encoder)
            model_path = _resolve_model_path(db, name, model_path)
            _check_model_folder(model_path)
        else:
            model, model_path = encoder.model, None
        created_file = not is_server_uri(db) and not os.path.exists(db)
        temporary_model = None if model_path is None else _temporary_model_path(model_path)
        try:
            with ThreadPoolExecutor(1) as pool:
                # The database starts, which is mostly a wait, while the model is written.
                connecting = pool.submit(_connect, db)
                try:
                    if temporary_model is not None:
                        model.dump(os.fsencode(temporary_model))
                        scores = {"model_sha256": _file_digest(temporary_model)}
                    else:
                        scores = {"k1": model.k1, "b": model.b}
                except BaseException:
                    _disconnect_quietly(connecting, db, created_file)
                    raise
                client = connecting.result()
        except BaseException:
            if temporary_model is not None:
                _remove_file(temporary_model)
            raise
        staging = cls(client, db, name, encoder, model_path, {}, next_id=0)
        staging._created_file = created_file
        staging._temporary_model = temporary_model
        try:
            catalog = staging._catalog
            staging._previous, staging._previous_record = _check_new(client, catalog, db, name, model_path, replace)
            catalog.clear_remains()
            if not is_server_uri(db):
                _settle_local_models(client, catalog, db)
            if model_path is not None:
                previous_digest = None
                if staging._previous is not None:
                    previous_digest = _read_meta(client, db, staging._previous).get("model_sha256")
                _settle_model(model_path, previous_digest)
            staging._meta = {
                "format": _FORMAT,
                "scoring": scoring,
                **scores,
                # So that queries are segmented as the documents were.
                **encoder.options,
                # A collection that records its name is found only through the catalog.
                "name": name,
                "builder": _builder(),
                **(dense_spec or {}),
            }
            staging._milvus_name = _free_milvus_name(client, db, name)
            staging._staged = True
            try:
                _create_collection(client, staging._milvus_name, staging._meta)
            except Exception as exc:  # pymilvus raises its own hierarchy and gRPC errors
                _drop_quietly(client, staging._milvus_name)
                if scoring == ENGINE and may_fall_back and _is_trained(encoder):
                    raise _EngineLacksBM25() from None
                raise DatabaseError(f"the database {db} refused the operation: {_reason(exc)}") from None
        except BaseException:
            staging._abort()
            raise
        return staging

    def _commit(self) -> None:
        """Points the name at the built collection (the commit), puts its model in
        place and drops the collection it replaces."""
        with deferred_signals():
            self._catalog.put(self.name, {"collection": self._milvus_name, "next_id": self._next_id})
            self._staged = False  # the record names it now: an abort must leave it
            if self._temporary_model is not None:
                try:
                    os.replace(self._temporary_model, self.model_path)
                except OSError:
                    self._catalog.restore(self.name, self._previous_record)
                    self._staged = True
                    raise
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
        progress: Optional[bool] = None,
        encoder: Optional[TextEncoder] = None,
    ) -> "TextCollection":
        """Opens collection *name* in *db*.

        The query encoder is rebuilt from *jieba* (default: the bundled data) and
        the options recorded in the collection; for client-side vectors, with
        the model file too (default: beside a local database; required for a
        server). Raises ``CollectionNotFoundError``, ``DatabaseError``,
        ``ModelMismatchError`` (a model file that is not the collection's) or
        ``FileNotFoundError`` (no model file). When loading takes the engine more
        than a second, a line on standard error says so (*progress*: None, on a
        terminal only; True, always; False, never).

        *encoder*, the ``encoder`` of this collection opened before, is used
        as it is instead of loading the model again: connections for other
        threads then share one model and segmenter.
        """
        client = _connect(db, must_exist=True)
        try:
            catalog = _Catalog(client, db)
            milvus_name, meta, record = _locate(client, catalog, db, name)
            if meta["scoring"] == VECTORS:
                model_path = _resolve_model_path(db, name, model_path)
            try:
                catalog.undo_abandoned_adds(catalog.records(), name)
            except DatabaseError:
                pass  # a database this process may not write to: its readers see what is there
            # A reopened collection starts released; loading it takes the
            # database a while, in which the model and the segmenter load here.
            with ThreadPoolExecutor(1) as pool:
                loading = pool.submit(_database_call, db, client.load_collection, milvus_name)
                started = time.monotonic()
                try:
                    if encoder is None:
                        encoder = _load_encoder(model_path, meta, name, jieba)
                finally:
                    _await_loading(loading, started, client, milvus_name, name, db, progress)
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
    # Adding, changing and searching

    def __len__(self) -> int:
        """Number of stored documents."""
        return self._count("part == 0" if self.scoring == ENGINE else "")

    def _count(self, expression: str) -> int:
        rows = self._call("read", self.client.query, self._milvus_name, filter=expression,
                          output_fields=["count(*)"], consistency_level="Strong")
        return int(rows[0]["count(*)"])

    def check_model(self) -> None:
        """Raises ``ModelMismatchError`` when the encoder's model is no longer the
        collection's (trained further, or loaded with other statistics); an
        engine-scored collection has no model to differ from."""
        if self.scoring == ENGINE:
            return
        if self._meta["model_sha256"] not in _model_digests(self.encoder.model):
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
        metadata: Optional[Iterable[Optional[Dict[str, Any]]]] = None,
        dense: Any = None,
    ) -> int:
        """Inserts *texts*, all or nothing; returns how many were added (texts
        without index terms are skipped: no query could find them).

        *ids* are the documents' ids, one per text: integers in Milvus's signed
        64-bit range, each new to the collection and given once. Anything else
        (an id given twice, one the collection holds already, a float, a str, a
        bool, an id out of range) raises ``ValueError`` before anything is
        written: an id never names a second document, nor replaces one (``upsert``
        does that). By default the texts get the collection's next free ids in
        turn (a skipped text uses its id up too), so default ids are never given
        twice, whatever was skipped or given explicitly before. *metadata*, if
        given, holds one JSON-able dict (or None) per text.

        If anything fails part way (a bad text, a database error, Ctrl-C,
        SIGTERM), the documents this call added are removed again before the
        error is raised, and its message says so; the ids of each batch are
        written down in the catalog before it is sent, so that even an add whose
        process is killed is undone, by the next open of the collection.

        Texts are segmented natively on *threads* (0: all cores) in batches of
        *batch_size*, the next batch while the last one is inserted. *progress*
        shows a bar on standard error (None: for long inputs on a terminal).
        A client-side vector collection refuses (``ModelMismatchError``) a model
        trained further since it was created.

        A collection with a dense field needs *dense*: one vector a text (a
        NumPy array or a list of lists) or a callable that takes a list of
        texts and returns their vectors, called once a batch with the texts
        that are kept; the callable is kept as ``embed`` for ``search(dense=True)``.
        """
        if isinstance(texts, str):
            raise TypeError("texts must be an iterable of str, not a str")
        total = len(texts) if isinstance(texts, Sequence) else None
        self._check_metadata_field(metadata)
        rows = self._dense_rows(dense, total)
        if ids is None:
            first = self._first_free_id()
            items = _strict_zip(itertools.count(first), texts, metadata, endless=True)
            return self._adopt(rows, self._add(items, threads, batch_size, progress, total, check_ids=True,
                                               default_ids=True, dense=rows))
        ids = list(ids)
        _check_ids(ids)
        if total is not None and len(ids) != total:
            raise ValueError(f"{len(ids)} ids for {total} texts")
        present = self._existing(ids)
        if present is not None:
            raise ValueError(f"id {present} is already in the collection {self.name!r}")
        return self._adopt(rows, self._add(_strict_zip(ids, texts, metadata), threads, batch_size, progress, total,
                                           check_ids=False, dense=rows))

    def add_items(
        self,
        items: Iterable[Tuple[Any, ...]],
        threads: int = 0,
        batch_size: int = 5000,
        progress: Optional[bool] = None,
        total: Optional[int] = None,
        dense: Any = None,
    ) -> int:
        """Like ``add``, for (id, text) or (id, text, metadata) items; *total* is
        their number, if known, for the bar. Ids are checked batch by batch, so a
        bad id part way raises after the documents before it were added and
        removed again."""
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

    def upsert(
        self,
        texts: Iterable[str],
        ids: Iterable[int],
        metadata: Optional[Iterable[Optional[Dict[str, Any]]]] = None,
        threads: int = 0,
        batch_size: int = 5000,
        dense: Any = None,
    ) -> int:
        """Stores *texts* under *ids*, replacing the documents those ids name and
        adding the others; returns how many are stored. A text without index
        terms removes its id's document (no query could find it). Each document
        is replaced whole, the old or the new; an interrupted call leaves the
        earlier batches replaced. Engine-scored collections only. *dense* is as
        for ``add``."""
        self._check_changeable("upsert")
        if isinstance(texts, str):
            raise TypeError("texts must be an iterable of str, not a str")
        self._check_metadata_field(metadata)
        ids = list(ids)
        _check_ids(ids)
        texts = list(texts)
        if len(ids) != len(texts):
            raise ValueError(f"{len(ids)} ids for {len(texts)} texts")
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        vectors = self._dense_rows(dense, len(texts))
        if vectors is None and self._meta.get("dense"):
            raise _hybrid.missing_dense(self.name)
        stored = 0
        with terminate_as_interrupt():
            for batch in _batches(_strict_zip(ids, texts, metadata), batch_size, None):
                terms = self._terms(batch.texts, threads)
                keep = [i for i, joined in enumerate(terms) if joined]
                self._reserve(max(batch.ids) + 1, explicit=True)
                rows = self._engine_rows(batch, terms, keep)
                if vectors is not None:
                    _hybrid.attach(rows, [batch.ids[i] for i in keep], vectors.take(batch.texts, keep))
                if rows:
                    self._call("upsert into", self.client.upsert, self._milvus_name, rows)
                    stored += len(keep)
                # The parts the new versions do not have: all of those without terms.
                parts = {batch.ids[i]: 0 for i in range(len(terms))}
                for row in rows:
                    parts[row["id"]] = row["part"] + 1
                for count in sorted(set(parts.values())):
                    chosen = [doc_id for doc_id, n in parts.items() if n == count]
                    self._call("delete from", self.client.delete, self._milvus_name,
                               filter=f"id in {chosen} and part >= {count}")
            self._call("add to", self.client.flush, self._milvus_name)
        if vectors is not None:
            vectors.finish()
        return self._adopt(vectors, stored)

    def delete(self, ids: Optional[Iterable[int]] = None, filter: Optional[str] = None) -> int:  # noqa: A002
        """Removes the documents of *ids*, or those matching the Milvus filter
        expression *filter* (over ``id`` and ``metadata``, e.g.
        ``'metadata["source"] == "news"'``); returns how many were removed.
        Ids the collection does not hold are no error. Engine-scored collections
        only: their statistics follow at once."""
        self._check_changeable("delete from")
        if (ids is None) == (filter is None):
            raise ValueError("delete takes ids or a filter, one of the two")
        before = len(self)
        with terminate_as_interrupt():
            if filter is not None:
                if not isinstance(filter, str) or not filter.strip():
                    raise ValueError(f"a filter is a non-empty Milvus expression, not {filter!r}")
                self._call("delete from", self.client.delete, self._milvus_name, filter=filter)
            else:
                chosen = [_as_id(doc_id) for doc_id in ids]
                for start in range(0, len(chosen), _IDS_PER_EXPRESSION):
                    self._call("delete from", self.client.delete, self._milvus_name,
                               filter=f"id in {chosen[start:start + _IDS_PER_EXPRESSION]}")
            self._call("delete from", self.client.flush, self._milvus_name)
        return before - len(self)

    def _check_changeable(self, doing: str) -> None:
        if self.scoring != ENGINE:
            raise ValueError(
                f"cannot {doing} the collection {self.name!r}: its client-side vectors carry the "
                "statistics of its model, which changing documents would leave wrong; build it "
                "anew with engine scoring (the default) to change documents")

    def _check_metadata_field(self, metadata: Any) -> None:
        if metadata is not None and not self.has_metadata:
            raise ValueError(f"the collection {self.name!r} was made before metadata existed: build it anew "
                             "to store metadata")

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
             encoded: Optional[Tuple[Any, Any, Any]] = None, default_ids: bool = False,
             size: Optional[int] = None, dense: Optional["_hybrid.DenseRows"] = None) -> int:
        """Inserts the *items* in batches; *check_ids*: check each id's type and
        range and that none comes twice; *check_new*: that the collection holds
        none of them yet."""
        if batch_size < 1:
            raise ValueError("batch_size must be at least 1")
        if not self._staged:  # a build's model was written from the encoder just now
            self.check_model()
        seen = _IdTracker() if check_ids else None
        added = array.array("q")  # for undoing a failed call
        journal: List[str] = []
        bar = _progress_bar(total, progress) if size is None else _progress_bar(size, progress, "B")
        advance = (lambda batch: bar.update(len(batch.ids))) if size is None else (lambda batch: bar.update(batch.size))
        try:
            with terminate_as_interrupt(), ThreadPoolExecutor(1) as pool:
                pending = None
                done = 0
                for batch in _batches(items, batch_size, seen):
                    if default_ids and batch.ids[-1] > _MAX_ID:
                        raise ValueError("the collection's default ids are used up: give ids explicitly")
                    if encoded is not None:
                        encoding = _ready(_csr_rows(encoded, done, len(batch.ids)))
                    elif self.scoring == ENGINE:
                        encoding = pool.submit(self._terms, batch.texts, threads)
                    else:
                        # The next batch encodes (natively, without the lock) while this one is sent.
                        encoding = pool.submit(self.encoder.encode_documents_csr, batch.texts, threads, "numpy")
                    done += len(batch.ids)
                    if pending is not None:
                        self._insert(*pending, added, journal, check_new, default_ids, dense)
                        advance(pending[0])
                    pending = (batch, encoding)
                if pending is not None:
                    self._insert(*pending, added, journal, check_new, default_ids, dense)
                    advance(pending[0])
                if dense is not None:
                    dense.finish()
                if encoded is not None and done != len(encoded[2]) - 1:
                    raise ValueError(f"{len(encoded[2]) - 1} encoded rows for {done} items")
                if added:
                    # Sealed segments are searched through their inverted index;
                    # rows still in the write buffer are scanned one by one.
                    self._call("add to", self.client.flush, self._milvus_name)
                if journal:
                    with deferred_signals():  # the add's commit: its journal goes
                        self._catalog.forget(journal)
                    journal = []
        except BaseException as exc:
            if not self._staged and added:
                note, removed = self._remove(added)
                if removed and journal:
                    try:
                        self._catalog.forget(journal)
                    except DatabaseError:
                        pass  # the next open finds the journal and removes nothing more
                _amend_message(exc, note)
            raise
        finally:
            bar.close()
        return len(added)

    def _terms(self, texts: List[str], threads: int = 0) -> List[str]:
        """Each text's index terms joined by blanks ("" for a text without any),
        on *threads* threads (0: all cores): segmenting a text releases the lock."""
        for text in texts:
            if not isinstance(text, str):
                raise TypeError(f"texts must hold str, not {type(text).__name__}")
        tokens = self.encoder.tokens

        def join(chunk: List[str]) -> List[str]:
            return [" ".join(tokens(text)) for text in chunk]

        workers = min(threads or os.cpu_count() or 1, max(1, len(texts) // _TEXTS_PER_THREAD))
        if workers == 1:
            return join(texts)
        step = -(-len(texts) // workers)
        with ThreadPoolExecutor(workers) as pool:
            return [joined for chunk in pool.map(join, [texts[i:i + step] for i in range(0, len(texts), step)])
                    for joined in chunk]

    def _engine_rows(self, batch: Any, terms: List[str], keep: List[int]) -> List[Dict[str, Any]]:
        """The rows of the kept documents: one each, or several for one whose terms
        exceed a field; the first holds the text, each the metadata (for filters)."""
        rows = []
        for i in keep:
            doc_id = batch.ids[i]
            meta = json.loads(_metadata_json(doc_id, batch.metadata[i])) if self.has_metadata else None
            for part, piece in enumerate(_split_terms(doc_id, terms[i])):
                row = {"key": str(doc_id) if part == 0 else f"{doc_id}.{part}", "id": doc_id, "part": part,
                       "terms": piece, "text": _storable(batch.texts[i]) if part == 0 else ""}
                if meta is not None:
                    row["metadata"] = meta
                rows.append(row)
        return rows

    def _insert(self, batch: Any, encoding, added: "array.array", journal: List[str], check_new: bool,
                default_ids: bool, dense: Optional["_hybrid.DenseRows"] = None) -> None:
        library = load_client()
        if self.scoring == ENGINE:
            terms = encoding.result()
            keep = [i for i, joined in enumerate(terms) if joined]
        else:
            terms = None
            data, indices, indptr = encoding.result()
            # A text without index terms has an empty vector, which no query
            # can reach and the sparse index refuses: it is skipped.
            keep = library.numpy.flatnonzero(library.numpy.diff(indptr)).tolist()
        if dense is None and self._meta.get("dense"):
            raise _hybrid.missing_dense(self.name)
        dense_rows = None if dense is None else dense.take(batch.texts, keep)
        client = self.client  # a closed collection raises here, before anything is recorded
        ids = batch.ids
        if not keep:
            if not self._staged:
                self._reserve(max(ids) + 1, explicit=not default_ids)  # skipped texts use their ids up
            else:
                self._next_id = max(self._next_id, max(ids) + 1)
            return
        batch_ids = [ids[i] for i in keep]
        columns: Dict[str, Any] = {}
        if terms is not None:
            rows = self._engine_rows(batch, terms, keep)
            if dense_rows is not None:
                _hybrid.attach(rows, batch_ids, dense_rows)
        else:
            entries = library.numpy.empty(len(indices), dtype=library.row_entry)
            entries["id"] = indices
            entries["weight"] = data
            packed = entries.tobytes()
            bounds = (indptr * library.row_entry.itemsize).tolist()
            columns = {"vectors": [packed[bounds[i]:bounds[i + 1]] for i in keep], "dim": int(indices.max()) + 1,
                       "dense": dense_rows}
        if self.has_metadata and terms is None:
            columns["metadata"] = [_metadata_json(ids[i], batch.metadata[i]) for i in keep]
        elif not self.has_metadata and any(batch.metadata[i] is not None for i in keep):
            self._check_metadata_field(True)
        stored = [_storable(batch.texts[i]) for i in keep]
        if not self._staged:
            if check_new:
                present = self._existing(batch_ids)
                if present is not None:
                    raise ValueError(f"id {present} is already in the collection {self.name!r}")
            self._reserve(max(ids) + 1, explicit=not default_ids)
            # Written down before they are sent: an add killed while sending is undone too.
            journal.extend(self._catalog.journal(self.name, self._milvus_name, batch_ids))
            added.extend(batch_ids)
        else:
            self._next_id = max(self._next_id, max(ids) + 1)
            added.extend(batch_ids)
        if terms is not None:
            columns = {"terms": [row["terms"] for row in rows], "keys": [row["key"] for row in rows],
                       "parts": [row["part"] for row in rows]}
            if self.has_metadata:
                columns["metadata"] = [json.dumps(row["metadata"], ensure_ascii=False).encode("utf-8") for row in rows]
            if dense_rows is not None:
                columns["dense"] = _hybrid.row_matrix(rows)
            self._call("add to", _send_rows, client, self._milvus_name, [row["id"] for row in rows],
                       [row["text"] for row in rows], **columns)
        else:
            self._call("add to", _send_rows, client, self._milvus_name, batch_ids, stored, **columns)

    def _reserve(self, bound: int, explicit: bool = False) -> None:
        """Records that default ids start at *bound* or later, before rows with lower ids are written,
        so that not even an add killed part way leaves ids that a later default id could reuse.
        An explicit id at the very top of the range does not use the default ids up."""
        if bound <= self._first_free_id() or (explicit and bound > _MAX_ID):
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

    def _remove(self, ids: "array.array") -> Tuple[str, bool]:
        """Deletes the rows of *ids*; says what happened, for the message of the error that caused it."""
        try:
            with deferred_signals():
                for start in range(0, len(ids), _IDS_PER_EXPRESSION):
                    self.client.delete(self._milvus_name,
                                       filter=f"id in {ids[start:start + _IDS_PER_EXPRESSION].tolist()}")
                self.client.flush(self._milvus_name)
        except Exception as exc:  # noqa: BLE001 - reported with the original error
            return (f"the documents this call had added ({len(ids)}) could not all be removed "
                    f"({_reason(exc)}); the collection may hold some of them"), False
        return f"the documents this call had added ({len(ids)}) were removed", True

    def _call(self, doing: str, operation, *args: Any, **kwargs: Any) -> Any:
        try:
            return operation(*args, **kwargs)
        except Exception as exc:  # pymilvus raises its own hierarchy and gRPC errors
            raise DatabaseError(f"cannot {doing} the collection {self.name!r}: {_reason(exc)}") from None

    def search(self, query: str, top: int = 10, filter: Optional[str] = None,  # noqa: A002
               dense: Any = None, fusion: str = "rrf", rrf_k: int = 60,
               weights: Optional[Sequence[float]] = None) -> List[Any]:
        """The *top* documents for *query*, best first, among those matching
        *filter* (a Milvus filter expression over ``id`` and ``metadata``).

        Engine-scored collections score BM25 with the statistics of the
        documents they hold; client-side vector collections by the dot product
        of the query's vector with the documents'. Documents sharing no term
        with the query are not returned; equal scores are ordered by id,
        however many tie. Query tokens with a negative or zero weight (more
        occurrences than documents in training) are left out: the sparse index
        accepts only positive weights. At most 16,384 hits come back, the most
        Milvus returns, whatever *top* asks.

        With *dense* (a vector of the collection's dense size, or True to embed
        the query with ``embed``) the search is hybrid: Milvus fuses the sparse
        ranking with the dense one, by reciprocal rank (*fusion* ``"rrf"``,
        score the sum of 1 / (*rrf_k* + rank) over the sides) or by weighted
        normalised scores (``"weighted"``, *weights* (sparse, dense), default
        equal). Each side contributes its best *top* + 16 documents; a query
        without index terms has only its dense side; *filter* applies to both.
        The hits are ``HybridHit``, whose ``found_by`` names the sides that
        ranked them.
        """
        if top < 1:
            raise ValueError("top must be at least 1")
        if filter is not None and (not isinstance(filter, str) or not filter.strip()):
            raise ValueError(f"a filter is a non-empty Milvus expression, not {filter!r}")
        top = min(top, _MAX_LIMIT)
        if self.scoring == ENGINE:
            data: Any = " ".join(self.encoder.tokens(query))
        else:
            # One text: the calling thread does it faster than starting others.
            data = {k: w for k, w in id_vector(self.encoder.encode_queries([query], threads=1)[0]).items()
                    if w > 0.0}
        if dense is not None and dense is not False:
            return _hybrid.search(self, query, data, top, dense, fusion, rrf_k, weights, filter)
        if not data:
            return []
        limit = min(top + _TIE_MARGIN, _MAX_LIMIT)
        while True:
            hits = self._search(data, limit, filter)
            if len(hits) < limit:
                return hits[:top]  # every document sharing a token
            cut = hits[top - 1].score
            if hits[-1].score < cut:
                return hits[:top]  # all that tie at the cut-off came back
            if limit == _MAX_LIMIT:
                return self._settle_ties(data, hits, top, cut, filter)
            limit = min(limit * 4, _MAX_LIMIT)

    def _settle_ties(self, data: Any, hits: List[Hit], top: int, cut: float, filter: Optional[str]) -> List[Hit]:  # noqa: A002
        """The best *top* when more documents score *cut* than one search returns:
        the lowest ids among them, narrowed down by searching below an id bound."""
        above = [hit for hit in hits if hit.score > cut]
        need = top - len(above)
        tied = [hit for hit in hits if hit.score == cut][:need]
        while True:
            bound = f"id < {tied[-1].id}"
            more = self._search(data, _MAX_LIMIT, bound if filter is None else f"({filter}) and {bound}")
            tied = sorted({hit.id: hit for hit in tied + [h for h in more if h.score == cut]}.values(),
                          key=lambda hit: hit.id)[:need]
            if len(more) < _MAX_LIMIT or more[-1].score < cut:
                return above + tied

    def _search(self, data: Any, limit: int, expression: Optional[str] = None) -> List[Hit]:
        """Up to *limit* best matches, ordered by score, then id."""
        fields = ["text", "metadata"] if self.has_metadata else ["text"]
        extra: Dict[str, Any] = {}
        if self.scoring == ENGINE:
            fields += ["id", "part"]
            extra = {"group_by_field": "id"}  # a document's best part counts
        try:
            results = self.client.search(
                self._milvus_name,
                data=[data],
                anns_field="vector",
                limit=limit,
                filter=expression or "",
                output_fields=fields,
                search_params=_ENGINE_SEARCH_PARAMS if self.scoring == ENGINE else _SEARCH_PARAMS,
                consistency_level="Strong",
                **extra,
            )
        except Exception as exc:
            raise DatabaseError(f"cannot search the collection {self.name!r}: {_reason(exc)}") from None
        found = results[0]
        later = [r["entity"]["id"] for r in found if r["entity"].get("part")]
        texts = self._first_parts(later) if later else {}
        hits = []
        for r in found:
            entity = r["entity"]
            doc_id = int(entity["id"] if "id" in entity else r["id"])
            text = texts.get(doc_id, "") if entity.get("part") else entity.get("text")
            hits.append(Hit(doc_id, float(r["distance"]), text or None, entity.get("metadata") or {}))
        hits.sort(key=lambda hit: (-hit.score, hit.id))
        return hits

    def _first_parts(self, ids: List[int]) -> Dict[int, str]:
        """The texts of documents whose best part was not their first."""
        rows = self._call("read", self.client.query, self._milvus_name, filter=f"id in {ids} and part == 0",
                          output_fields=["id", "text"], limit=len(ids), consistency_level="Strong")
        return {row["id"]: row["text"] for row in rows}


def _split_terms(doc_id: int, terms: str) -> List[str]:
    """*terms* in pieces of at most MAX_TEXT_BYTES, cut between terms."""
    if len(terms) * 3 <= MAX_TEXT_BYTES or len(terms.encode("utf-8")) <= MAX_TEXT_BYTES:
        return [terms]
    pieces, piece, size = [], [], 0
    for term in terms.split(" "):
        length = len(term.encode("utf-8"))
        if length > MAX_TEXT_BYTES:
            raise ValueError(f"document {doc_id} has a term of {length} bytes, more than a field holds")
        if size + length + bool(piece) > MAX_TEXT_BYTES:
            pieces.append(" ".join(piece))
            piece, size = [], 0
        size += length + bool(piece)
        piece.append(term)
    pieces.append(" ".join(piece))
    return pieces


# Loading that takes longer than this is announced.
_LOADING_NOTICE_SECONDS = 1.0


def _await_loading(loading: Any, started: float, client: "MilvusClient", milvus_name: str, name: str, db: str,
                   progress: Optional[bool]) -> None:
    """Waits for the engine to load a collection, saying so when it takes long."""
    try:
        loading.result(timeout=max(0.0, started + _LOADING_NOTICE_SECONDS - time.monotonic()))
        return
    except FutureTimeout:
        pass
    interactive = progress or (progress is None and hasattr(sys.stderr, "isatty") and sys.stderr.isatty())
    if interactive:
        try:
            rows = int(client.get_collection_stats(milvus_name).get("row_count", 0))
            count = f" ({rows:,} rows)"
        except Exception:  # noqa: BLE001 - the count only decorates the notice
            count = ""
        print(f"pymiratext: loading the collection {name} of {db}{count}, which takes the engine a while...",
              file=sys.stderr, flush=True)
    loading.result()


def _settle_local_models(client: "MilvusClient", catalog: _Catalog, db: str) -> None:
    """Settles the models beside a local database that builds of any name left
    in temporary files when their process died (see _settle_model)."""
    folder, base = os.path.split(os.path.abspath(db))
    pattern = re.compile(re.escape(f".{base}.") + r"([A-Za-z_][A-Za-z0-9_]*)\.bm25\.json\.\d+\.[0-9a-f]+\.tmp\Z")
    names = {found.group(1) for found in map(pattern.match, os.listdir(folder)) if found}
    for name in sorted(names):
        record = catalog.get(name)
        digest = None
        if record is not None and _database_call(db, client.has_collection, record["collection"]):
            digest = _read_meta(client, db, record["collection"]).get("model_sha256")
        _settle_model(model_path_for(db, name), digest)


def _is_trained(encoder: Any) -> bool:
    try:
        _trained_model(encoder)
    except ValueError:
        return False
    return True


def check_can_create(db: str, name: str = DEFAULT_COLLECTION, model_path: Optional[str] = None,
                     replace: bool = False, scoring: Optional[str] = None) -> None:
    """Raises what ``TextCollection.create`` would raise for these arguments (an
    unusable database, an existing collection, a missing model path or folder),
    so that a caller can check before the long work of reading. Creates nothing."""
    _check_name(name, creating=True)
    model_path = _resolve_model_path(db, name, model_path) if scoring == VECTORS else None
    if not is_server_uri(db):
        _check_local_path(db)
        if not os.path.exists(db):
            if model_path is not None:
                _check_model_folder(model_path)
            return
    client = _connect(db)
    try:
        _check_new(client, _Catalog(client, db), db, name, model_path, replace)
    finally:
        client.close()

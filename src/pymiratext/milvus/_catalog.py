"""The catalog: which Milvus collection holds each name's documents."""

import array
import base64
import json
import secrets
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from ._errors import DatabaseError, CollectionNotFoundError, CollectionExistsError, ModelMismatchError
from ._database import (_CATALOG, _IDS_PER_EXPRESSION, _MAX_LIMIT, _MAX_NAME, _NAME_PATTERN, _builder,
                        _builder_alive, _database_call)
from ._model import _check_model_folder
from ._schema import _create_catalog, _read_meta

if TYPE_CHECKING:
    from pymilvus import MilvusClient

# Ids in one journal row: 8 bytes each, in base64, within the record's 65,535 bytes.
_IDS_PER_JOURNAL_ROW = 6000


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

    def records(self) -> Dict[str, Dict[str, Any]]:
        """Every row of the catalog: the names' records and the journal of adds under way."""
        if not self._exists():
            return {}
        rows = _database_call(self._db, self._client.query, _CATALOG, filter='name != ""',
                              output_fields=["name", "record"], limit=_MAX_LIMIT, consistency_level="Strong")
        return {row["name"]: json.loads(row["record"]) for row in rows}

    def journal(self, name: str, collection: str, ids: Sequence[int]) -> List[str]:
        """Writes down, before they are sent, the ids an add is about to insert, so
        that the add can be undone even if its process is killed; returns the keys."""
        keys = []
        for start in range(0, len(ids), _IDS_PER_JOURNAL_ROW):
            key = f"{name}/adding/{secrets.token_hex(8)}"
            packed = array.array("q", ids[start:start + _IDS_PER_JOURNAL_ROW]).tobytes()
            self.put(key, {"collection": collection, "builder": _builder(),
                           "ids": base64.b64encode(packed).decode("ascii")})
            keys.append(key)
        return keys

    def forget(self, keys: Sequence[str]) -> None:
        for start in range(0, len(keys), 100):
            chunk = json.dumps(list(keys[start:start + 100]))
            _database_call(self._db, self._client.delete, _CATALOG, filter=f"name in {chunk}")

    def clear_remains(self, records: Optional[Dict[str, Dict[str, Any]]] = None) -> None:
        """Undoes what interrupted runs left, whatever their name, never touching
        what a record names: the rows of adds whose process is gone, collections
        of builds whose process is gone, and collections from before the catalog
        that a replacement superseded."""
        if records is None:
            records = self.records()
        self.undo_abandoned_adds(records)
        named = {record.get("collection") for record in records.values()}
        for milvus_name in _database_call(self._db, self._client.list_collections):
            if milvus_name in named or milvus_name == _CATALOG:
                continue
            try:
                meta = _read_meta(self._client, self._db, milvus_name)
            except (ModelMismatchError, DatabaseError):
                continue  # not ours
            if "name" in meta:
                remains = not _builder_alive(meta.get("builder"))
            else:  # found under its own name until a build pointed the name elsewhere
                remains = milvus_name in records
            if remains:
                _database_call(self._db, self._client.drop_collection, milvus_name)

    def undo_abandoned_adds(self, records: Dict[str, Dict[str, Any]], name: Optional[str] = None) -> None:
        """Removes the documents of adds (of *name*, or any) whose process is gone."""
        done = []
        for key, record in records.items():
            if "/adding/" not in key or (name is not None and not key.startswith(name + "/")):
                continue
            if _builder_alive(record.get("builder")):
                continue
            collection = record["collection"]
            if _database_call(self._db, self._client.has_collection, collection):
                ids = array.array("q", base64.b64decode(record["ids"])).tolist()
                for start in range(0, len(ids), _IDS_PER_EXPRESSION):
                    _database_call(self._db, self._client.delete, collection,
                                   filter=f"id in {ids[start:start + _IDS_PER_EXPRESSION]}")
            done.append(key)
        if done:
            self.forget(done)


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


def _check_new(client: "MilvusClient", catalog: _Catalog, db: str, name: str, model_path: Optional[str],
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
    if model_path is not None:
        _check_model_folder(model_path)
    return previous, record

"""The Milvus collections this package creates, and the record each one keeps."""

import json
from typing import Any, Dict, TYPE_CHECKING

from ._errors import ModelMismatchError
from ._hybrid import add_dense_field
from ._database import MAX_TEXT_BYTES, _META_KEY, _INDEX_PARAMS, _MAX_NAME, _CATALOG, load_client, _database_call

if TYPE_CHECKING:
    from pymilvus import MilvusClient


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


# The record's formats: 1 holds client-side vectors and texts; 2 adds a JSON
# metadata field and, with "scoring": "engine", lets Milvus score BM25 itself.
_FORMATS = (1, 2)
ENGINE, VECTORS = "engine", "vectors"

# The analyzer of the terms field: our index terms, joined by blanks, are the tokens.
_ANALYZER = {"tokenizer": "whitespace"}
# A row key: an id (at most 20 characters) and a part number.
_MAX_KEY = 48


def _create_collection(client: "MilvusClient", name: str, meta: Dict[str, Any]) -> None:
    """Creates, indexes and loads the collection that *meta* describes."""
    # The record goes both into the collection's properties and into its schema
    # description: some Milvus Lite releases keep only the one, some only the other.
    record = json.dumps(meta, sort_keys=True)
    library = load_client()
    DataType = library.DataType  # noqa: N806 - the client library's name
    schema = client.create_schema(auto_id=False, enable_dynamic_field=False, description=record)
    index = client.prepare_index_params()
    if meta.get("scoring") == ENGINE:
        # A document whose terms exceed a field is stored as several rows
        # ("parts"), keyed "<id>" and "<id>.<part>"; a search counts its best.
        schema.add_field("key", DataType.VARCHAR, max_length=_MAX_KEY, is_primary=True)
        schema.add_field("id", DataType.INT64)
        schema.add_field("part", DataType.INT64)
        schema.add_field("terms", DataType.VARCHAR, max_length=MAX_TEXT_BYTES, enable_analyzer=True,
                         analyzer_params=_ANALYZER)
        schema.add_field("vector", DataType.SPARSE_FLOAT_VECTOR)
        from pymilvus import Function, FunctionType

        schema.add_function(Function(name="bm25", function_type=FunctionType.BM25, input_field_names=["terms"],
                                     output_field_names=["vector"]))
        index.add_index(field_name="vector", index_type="SPARSE_INVERTED_INDEX", metric_type="BM25",
                        params={"bm25_k1": meta["k1"], "bm25_b": meta["b"]})
    else:
        schema.add_field("id", DataType.INT64, is_primary=True)
        schema.add_field("vector", DataType.SPARSE_FLOAT_VECTOR)
        index.add_index(field_name="vector", index_type="SPARSE_INVERTED_INDEX", metric_type="IP",
                        params=_INDEX_PARAMS)
    # Not nullable (older Milvus Lite refuses that): a text that does not fit is
    # stored as "", which no indexed text can be, since a text has index terms.
    schema.add_field("text", DataType.VARCHAR, max_length=MAX_TEXT_BYTES)
    if meta["format"] >= 2:
        schema.add_field("metadata", DataType.JSON)
    add_dense_field(schema, index, meta)
    _create_indexed(client, name, schema, index, properties={_META_KEY: record})


def _read_meta(client: "MilvusClient", db: str, milvus_name: str) -> Dict[str, Any]:
    description = _database_call(db, client.describe_collection, milvus_name)
    record = (description.get("properties") or {}).get(_META_KEY) or description.get("description")
    try:
        meta = json.loads(record)
        if meta.get("format") not in _FORMATS:
            raise ValueError
        meta.setdefault("scoring", VECTORS)
        if meta["scoring"] == ENGINE:
            float(meta["k1"]), float(meta["b"])
        elif meta["scoring"] == VECTORS:
            meta["model_sha256"]
        else:
            raise ValueError
        meta["search"], meta["stop_words"]
    except (KeyError, ValueError, TypeError, AttributeError):  # no record, or not ours
        raise ModelMismatchError(f"the collection {milvus_name!r} in {db} was not made by pymiratext") from None
    return meta

"""The Milvus collections this package creates, and the record each one keeps."""

import json
from typing import Any, Dict, TYPE_CHECKING

from ._errors import ModelMismatchError
from ._hybrid import add_dense_field
from ._database import MAX_TEXT_BYTES, _META_KEY, _META_FORMAT, _INDEX_PARAMS, _MAX_NAME, _CATALOG, load_client, _database_call

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
    add_dense_field(schema, index, meta)
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

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

import importlib.util
import os

# gRPC's fork handlers, which the Milvus client brings in, make processes
# forked after a client started (a subprocess, a process pool, a Dask
# worker) abort now and then with "epoll_wait error: Bad file descriptor".
# They only matter to children that use gRPC themselves; a caller who needs
# them sets the variable before importing this package.
os.environ.setdefault("GRPC_ENABLE_FORK_SUPPORT", "false")

# Importing the client takes about a second, so it waits until a database
# is used (see load_client); whether it is installed is checked now.
if importlib.util.find_spec("pymilvus") is None:  # pragma: no cover - exercised by the command-line tests
    raise ImportError("the Milvus integration needs the 'milvus' extra: pip install \"pymiratext[milvus]\"")

from ._build import Indexed, index_files  # noqa: E402
from ._collection import Hit, TextCollection, check_can_create  # noqa: E402
from ._database import DEFAULT_COLLECTION, MAX_TEXT_BYTES, is_server_uri, load_client  # noqa: E402
from ._hybrid import HybridHit  # noqa: E402
from ._errors import CollectionExistsError, CollectionNotFoundError, DatabaseError, ModelMismatchError  # noqa: E402
from ._model import model_path_for  # noqa: E402

__all__ = [
    "CollectionExistsError",
    "CollectionNotFoundError",
    "DatabaseError",
    "Hit",
    "HybridHit",
    "Indexed",
    "ModelMismatchError",
    "TextCollection",
    "check_can_create",
    "index_files",
    "is_server_uri",
    "load_client",
    "model_path_for",
]

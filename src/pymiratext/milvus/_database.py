"""Connecting to a Milvus Lite file or a Milvus server, and the limits shared by the collection layer."""

import contextlib
import functools
import gc
import os
import re
import socket
import sys
import types
from concurrent.futures import Future
from typing import TYPE_CHECKING, Any, Iterator

from ._errors import DatabaseError, _reason

if TYPE_CHECKING:
    from pymilvus import MilvusClient


DEFAULT_COLLECTION = "pymiratext"

# Milvus caps a VARCHAR at 65,535 bytes; longer texts are indexed without their text.
MAX_TEXT_BYTES = 65535

# Collection property holding the JSON record that ties the collection to how it was indexed.
_META_KEY = "pymiratext"

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


def is_server_uri(uri: str) -> bool:
    """True for a Milvus server URI (``http://`` or ``https://``), False for a local file."""
    return uri.lower().startswith(("http://", "https://"))


def _check_local_path(db: str) -> None:
    if not db.endswith(".db"):
        raise DatabaseError(f"cannot open the database {db}: a local Milvus Lite file name ends in .db")
    folder = os.path.dirname(os.path.abspath(db))
    if not os.path.isdir(folder):
        raise DatabaseError(f"cannot open the database {db}: no such folder {folder}")


# Where the embedded engine may keep its log files: a folder the user names.
LOG_DIR_VARIABLE = "PYMIRATEXT_MILVUS_LOG_DIR"


def _direct_engine_logs() -> None:
    """Milvus Lite's engine logs through glog, which by default leaves a file in
    /tmp each time a database opens. Its settings come from the environment the
    engine starts with: the logs go to the folder named by
    PYMIRATEXT_MILVUS_LOG_DIR, else only fatal errors, to standard error. A
    caller's own GLOG_ settings are kept."""
    if any(key.startswith("GLOG_") for key in os.environ):
        return
    folder = os.environ.get(LOG_DIR_VARIABLE)
    if folder:
        os.environ["GLOG_log_dir"] = folder
    else:
        os.environ["GLOG_logtostderr"] = "1"
        os.environ["GLOG_minloglevel"] = "3"


def _connect(db: str, must_exist: bool = False) -> "MilvusClient":
    if is_server_uri(db):
        target = db
    else:
        _check_local_path(db)
        if must_exist and not os.path.exists(db):
            # Milvus Lite would create an empty database rather than report it missing.
            raise DatabaseError(f"cannot open the database {db}: no such file")
        target = os.path.abspath(db)
        _direct_engine_logs()
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


def _database_call(db: str, operation, *args: Any, **kwargs: Any) -> Any:
    try:
        return operation(*args, **kwargs)
    except Exception as exc:  # pymilvus raises its own hierarchy and gRPC errors
        raise DatabaseError(f"the database {db} refused the operation: {_reason(exc)}") from None


def _drop_quietly(client: "MilvusClient", milvus_name: str) -> None:
    try:
        client.drop_collection(milvus_name)
    except Exception:  # noqa: BLE001 - cleaning up after another error; the next build clears it away
        pass


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

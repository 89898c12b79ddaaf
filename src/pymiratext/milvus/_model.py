"""The BM25 model kept beside a collection: its file, its digest and the encoder it gives."""

import hashlib
import os
import re
import secrets
import socket
import tempfile
from typing import Any, Dict, Optional, Tuple

from .. import BM25, Jieba, TextEncoder, default_paths
from ._errors import ModelMismatchError
from ._database import DEFAULT_COLLECTION, is_server_uri, _builder_alive


def model_path_for(db: str, name: str = DEFAULT_COLLECTION) -> str:
    """Where the model of collection *name* in the local database *db* is kept."""
    return f"{os.path.abspath(db)}.{name}.bm25.json"


def _file_digest(path: str) -> str:
    digest = hashlib.sha256()
    with open(path, "rb") as stream:
        for block in iter(lambda: stream.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


# The length total of a document-counting model's file; files written before
# it was kept lack the line, and their average and count imply the total.
_LENGTH_TOTAL_LINE = re.compile(rb'^  "_doc_length_total" : [0-9]+,\n', re.MULTILINE)


def _model_digests(model: BM25) -> Tuple[str, str]:
    """Digests of the model file that *model* writes (equal digests, equal
    statistics), and of that file without the length total, as pymiratext
    0.2 wrote it."""
    with tempfile.TemporaryDirectory(prefix="pymiratext-") as folder:
        path = os.path.join(folder, "model.json")
        model.dump(path)
        with open(path, "rb") as stream:
            text = stream.read()
    return hashlib.sha256(text).hexdigest(), hashlib.sha256(_LENGTH_TOTAL_LINE.sub(b"", text, 1)).hexdigest()


# What an encoder did before these options existed: a collection whose record
# lacks one was indexed that way.
_OPTIONS_BEFORE_RECORDED = {"unknown_words": False, "normalize": False, "fold_script": False, "script_table": None,
                            "bigrams": False, "characters": False}


def _make_encoder(jieba: Jieba, model: BM25, options: Dict[str, Any]) -> TextEncoder:
    """The encoder that the recorded *options* describe."""
    later = {key: options.get(key, before) for key, before in _OPTIONS_BEFORE_RECORDED.items()}
    return TextEncoder(jieba, model, search=options["search"], stop_words=options["stop_words"], **later)


def _trained_model(encoder: Any) -> BM25:
    model = encoder.model
    try:
        model.encode_document(["probe"])
    except RuntimeError:
        raise ValueError("the encoder's model is not trained: train it before creating a collection") from None
    return model


def _load_encoder(model_path: str, meta: Dict[str, Any], name: str, jieba: Optional[Jieba]) -> TextEncoder:
    if jieba is None:
        jieba = Jieba(**default_paths())
    if meta.get("scoring") == "engine":
        # The engine keeps the statistics; the encoder only finds a query's terms.
        return _make_encoder(jieba, BM25(b=float(meta["b"]), k1=float(meta["k1"])), meta)
    _settle_model(model_path, meta["model_sha256"])
    if not os.path.isfile(model_path):
        raise FileNotFoundError(2, "the collection's model file is missing", model_path)
    if _file_digest(model_path) != meta["model_sha256"]:
        raise ModelMismatchError(f"{model_path} is not the model the collection {name!r} was indexed with")
    model = BM25()
    with open(model_path, encoding="utf-8") as stream:
        model.load(stream.read())
    return _make_encoder(jieba, model, meta)


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


def _temporary_pattern(base: str) -> "re.Pattern":
    return re.compile(re.escape(f".{base}.") + r"(\d+)\.[0-9a-f]+\.tmp\Z")


def _temporary_model_path(model_path: str) -> str:
    """A new file beside *model_path* for a build's model, named after the building process."""
    folder, base = os.path.split(model_path)
    path = os.path.join(folder, f".{base}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    open(path, "xb").close()
    return path


def _settle_model(model_path: str, digest: Optional[str]) -> None:
    """Puts in place the model of digest *digest* (the one the name's record
    names) when a build was killed after its commit, before its model's rename;
    then removes the temporary models of builds whose process is gone."""
    folder, base = os.path.split(model_path)
    if not os.path.isdir(folder):
        return
    pattern = _temporary_pattern(base)
    current = _file_digest(model_path) if digest is not None and os.path.isfile(model_path) else None
    for entry in sorted(os.listdir(folder)):
        found = pattern.match(entry)
        if not found or _builder_alive(f"{socket.gethostname()}:{found.group(1)}"):
            continue
        path = os.path.join(folder, entry)
        try:
            if digest is not None and current != digest and _file_digest(path) == digest:
                os.replace(path, model_path)
                current = digest
                continue
        except OSError:
            continue
        _remove_file(path)


def _remove_file(path: str) -> None:
    try:
        os.remove(path)
    except OSError:
        pass

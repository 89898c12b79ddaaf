"""Indexing files in a collection: what `pymiratext index` does, in one call."""

import os
import stat
from typing import Any, Iterator, NamedTuple, Optional, Sequence, Tuple

from .._pipeline import STDIN, check_writable, input_size, progress_bar, read_json_lines, read_lines
from ._collection import TextCollection, check_can_create
from ._database import DEFAULT_COLLECTION, is_server_uri, load_client
from ._schema import VECTORS

# Corpora up to this size are indexed from the token counts that training keeps
# (about two and a half times the corpus in memory); larger ones are segmented twice.
INDEX_IN_MEMORY_BYTES = 128 << 20
_JSON_LINES = (".jsonl", ".ndjson")


class Indexed(NamedTuple):
    """What ``index_files`` did."""

    documents: int
    name: str
    db: str
    scoring: str
    model_path: Optional[str]


def is_json_lines(paths: Sequence[str]) -> bool:
    """Whether the corpus files are JSON Lines (by their names)."""
    return bool(paths) and all(path.lower().endswith(_JSON_LINES) for path in paths)


def index_files(db: str, paths: Sequence[str], encoder: Any, name: str = DEFAULT_COLLECTION,
                replace: bool = False, scoring: Optional[str] = None, model_path: Optional[str] = None,
                threads: int = 0, json_lines: Optional[bool] = None) -> Indexed:
    """Builds collection *name* of *db* from the corpus *paths*, all or nothing.

    Plain text files give a document a line, numbered by line on through the
    files; JSON Lines files (``.jsonl``, or *json_lines*) give one a record,
    ``{"id": …, "text": …, other fields}``, the other fields becoming its
    metadata (the id defaults to the line number). *scoring* is as for
    ``TextCollection.build`` (default: the engine's, or client-side vectors
    when *model_path* is given); client-side vectors train *encoder*'s model
    on the corpus first, reading it twice. Lines without words are skipped;
    a corpus without any raises ``ValueError``.
    """
    if scoring is None and model_path is not None:
        scoring = VECTORS
    if json_lines is None:
        json_lines = is_json_lines(paths)
    twice = scoring == VECTORS
    if twice and STDIN in paths:
        raise ValueError("indexing with client-side vectors reads the corpus twice (to train, then to index): "
                         "name files, not '-'")
    for path in paths:  # a missing corpus must not leave an empty database behind
        if path != STDIN and not stat.S_ISFIFO(os.stat(path).st_mode):  # opening a pipe would take its data
            open(path, "rb").close()
    check_can_create(db, name, model_path=model_path, replace=replace, scoring=scoring)
    if not is_server_uri(db):
        check_writable(db)
    if twice:
        from ._model import _resolve_model_path

        check_writable(_resolve_model_path(db, name, model_path))
    encoded = _train(encoder, paths, json_lines, threads) if twice else None
    items = _json_items(paths) if json_lines else _line_items(paths)
    size = input_size(paths)
    with TextCollection._build(db, encoder, items, name, model_path=model_path, replace=replace,
                               threads=threads, encoded=encoded, scoring=scoring, size=size,
                               must_hold=True) as collection:
        return Indexed(len(collection), name, db, collection.scoring, collection.model_path)


def _line_items(paths: Sequence[str]) -> Iterator[Tuple[Any, ...]]:
    # Every line, so that the items match the encoded rows; lines without words are skipped.
    for number, (_name, _number, text, size) in enumerate(read_lines(paths), 1):
        yield number, text, None, size


def _json_items(paths: Sequence[str]) -> Iterator[Tuple[Any, ...]]:
    for number, doc_id, text, fields, size in read_json_lines(paths):
        yield (number if doc_id is None else doc_id), text, fields, size


def _train(encoder: Any, paths: Sequence[str], json_lines: bool, threads: int) -> Optional[Tuple[Any, Any, Any]]:
    """Trains the encoder's model on the corpus; returns the documents' vectors
    too when the corpus is small enough to keep them."""
    size = input_size(paths)
    bar = progress_bar(size)

    def texts() -> Iterator[str]:
        for item in (_json_items(paths) if json_lines else _line_items(paths)):
            yield item[1]
            bar.update(item[3])

    try:
        if size is not None and size <= INDEX_IN_MEMORY_BYTES:
            # Each text is segmented once: training keeps its token counts,
            # from which its vector follows once the model is complete.
            encoded = encoder.train_and_encode_csr(texts(), threads=threads, format="numpy")
        else:
            encoded = None
            encoder.train(texts(), threads=threads)
    finally:
        bar.close()
    load_client()
    try:
        encoder.model.encode_document(["probe"])
    except RuntimeError:
        raise ValueError("no documents to train on: the corpus has no words") from None
    return encoded

"""The text-to-vector pipeline behind the command line: reading corpora,
segmenting into index terms, training, loading and ranking.

Segmenting, filtering and encoding run natively through ``TextEncoder``, on
several threads; this module feeds it lines and reports failures as
``CliError`` with the place they happened.
"""

import errno
import heapq
import json
import math
import os
import sys
import tempfile
import unicodedata
from typing import Dict, Iterable, Iterator, List, Optional, Sequence, Tuple

from ._data import DATA_FILES, data_dir, default_paths, paths_in

STDIN = "-"

# Lines handed to the native encoder at once: enough to keep its threads
# busy, few enough to keep memory and the latency of the first output small.
CHUNK_LINES = 2048


class CliError(Exception):
    """A failure reported as one line on standard error, exit status 1."""


# --------------------------------------------------------------------------
# Input


Line = Tuple[str, int, str, int]


def read_lines(paths: Sequence[str]) -> Iterator[Line]:
    """Yields (source name, line number from 1, text without line end, raw byte size).

    Files are read as bytes and decoded line by line so that undecodable
    input is reported with its place instead of as a bare codec error.
    """
    for path in paths or [STDIN]:
        name = "<stdin>" if path == STDIN else path
        if path == STDIN and sys.stdin is None:
            raise CliError("no standard input to read; name the input files")
        stream = sys.stdin.buffer if path == STDIN else open(path, "rb")
        try:
            for number, raw in enumerate(stream, 1):
                try:
                    text = raw.decode("utf-8")
                except UnicodeDecodeError as exc:
                    raise CliError(
                        f"{name}:{number}: not valid UTF-8 text "
                        f"(byte 0x{raw[exc.start]:02x} at column {exc.start + 1})"
                    ) from None
                if number == 1 and text.startswith("\ufeff"):
                    text = text[1:]  # a byte-order mark is no part of the first document
                yield name, number, text.rstrip("\r\n"), len(raw)
        finally:
            if stream is not sys.stdin.buffer:
                stream.close()


def chunks(lines: Iterable[Line], size: int = CHUNK_LINES) -> Iterator[List[Line]]:
    """Groups the lines into lists of at most *size*."""
    batch: List[Line] = []
    for line in lines:
        batch.append(line)
        if len(batch) >= size:
            yield batch
            batch = []
    if batch:
        yield batch


def input_size(paths: Sequence[str]) -> Optional[int]:
    """Total bytes of the inputs, or None when one is a stream of unknown length."""
    total = 0
    for path in paths or [STDIN]:
        if path == STDIN or not os.path.isfile(path):
            return None
        total += os.path.getsize(path)
    return total


def progress_bar(total: Optional[int]):
    """A progress bar on standard error for long runs on a terminal; otherwise inert."""
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a nicety; training works without it
        return NoProgress()
    # delay keeps short runs silent; disable keeps logs and pipes clean.
    return tqdm(
        total=total,
        unit="B",
        unit_scale=True,
        desc="training",
        file=sys.stderr,
        delay=1.0,
        disable=not _isatty(sys.stderr),
    )


def _isatty(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


class NoProgress:
    def update(self, _n: int) -> None:
        pass

    def close(self) -> None:
        pass


class NativeStderr:
    """Collects what native code writes to file descriptor 2 inside a with block."""

    def __enter__(self) -> "NativeStderr":
        self._saved = None
        self._sink = tempfile.TemporaryFile()
        self.text = b""
        try:
            sys.stderr.flush()
            self._saved = os.dup(2)
            os.dup2(self._sink.fileno(), 2)
        except (OSError, ValueError, AttributeError):
            pass  # no usable descriptor 2: nothing to hold back
        return self

    def __exit__(self, *_exc) -> None:
        if self._saved is not None:
            os.dup2(self._saved, 2)
            os.close(self._saved)
        self._sink.seek(0)
        self.text = self._sink.read()
        self._sink.close()

    def replay(self) -> None:
        if self.text:
            sys.stderr.write(self.text.decode("utf-8", "replace"))
            sys.stderr.flush()


# --------------------------------------------------------------------------
# Segmentation


def is_term(token: str) -> bool:
    """A token worth indexing holds at least one letter or digit (no blanks, no punctuation).

    ``TextEncoder`` applies the same rule natively.
    """
    return any(unicodedata.category(ch)[0] in "LN" for ch in token)


class Tokenizer:
    """Turns lines of text into the tokens the model is trained and queried with.

    ``words`` is the plain segmentation; ``tokens`` drops blanks,
    punctuation and stop words, which only add noise to BM25 statistics.
    The dictionary is loaded on first use, so ``--tokens`` never needs it.
    ``threads`` is the native encoder's thread count (0: all cores).
    """

    def __init__(
        self,
        folder: Optional[str] = None,
        search: Optional[bool] = None,
        pretokenized: bool = False,
        keep_stop_words: bool = False,
        threads: int = 0,
        fold_script: Optional[bool] = None,
        legacy: bool = False,
        bigrams: Optional[bool] = None,
    ) -> None:
        self.folder = folder
        self.search = search  # None: TextEncoder's default (see legacy)
        self.pretokenized = pretokenized
        self.keep_stop_words = keep_stop_words
        self.threads = threads
        self.fold_script = fold_script
        self.legacy = legacy  # the index terms of pymiratext 0.1
        self.bigrams = bigrams
        self._jieba = None
        self._encoder = None

    def _paths(self) -> Dict[str, str]:
        if self.folder is None:
            paths = default_paths()
            where = "the bundled data folder " + data_dir()
        else:
            if not os.path.isdir(self.folder):
                raise CliError(f"--dict {self.folder}: no such folder")
            paths = paths_in(self.folder)
            where = "--dict " + self.folder
        for key, path in paths.items():
            if os.path.isfile(path):
                continue
            if key == "user_dict_path":
                paths[key] = ""  # optional: an empty path loads no user words
            else:
                raise CliError(f"{where}: missing {DATA_FILES[key]}")
        return paths

    @property
    def jieba(self):
        if self._jieba is None:
            paths = self._paths()
            from . import Jieba

            # The loader logs a failure natively before raising it; the
            # failure is reported once, below, so that log is held back.
            failure = None
            with NativeStderr() as log:
                try:
                    jieba = Jieba(**paths)
                except (OSError, ValueError) as exc:
                    failure = exc
            if failure is not None:
                where = "the bundled data" if self.folder is None else self.folder
                raise CliError(f"cannot load the segmenter data from {where}: {failure}")
            log.replay()  # warnings of a load that succeeded still reach the user
            _check_stop_words(paths["stop_word_path"])
            self._jieba = jieba
        return self._jieba

    def encoder(self, model=None):
        """A ``TextEncoder`` with this tokenizer's options over *model* (or a model-less one)."""
        from . import TextEncoder

        if model is None:
            if self._encoder is None:
                self._encoder = TextEncoder(self.jieba, **self.options())
            return self._encoder
        return TextEncoder(self.jieba, model, **self.options())

    def new_model(self, b: float, k1: float):
        """An untrained ``BM25`` for this tokenizer's terms: it counts documents per
        token, or with a legacy tokenizer occurrences, as pymiratext 0.1 did."""
        from . import BM25

        return BM25(b=b, k1=k1, idf="occurrences" if self.legacy else "documents")

    def options(self) -> Dict[str, object]:
        """The ``TextEncoder`` keywords of this tokenizer."""
        return {"search": self.search, "stop_words": not self.keep_stop_words,
                "fold_script": self.fold_script, "legacy": self.legacy, "bigrams": self.bigrams}

    def words(self, text: str) -> List[str]:
        """The segmenter's words for *text*, blanks and punctuation included."""
        if self.pretokenized:
            return text.split()
        jieba = self.jieba
        return jieba.cut_for_search(text) if self.search else jieba.cut(text)

    def tokens(self, text: str) -> List[str]:
        """The index terms of *text*."""
        if self.pretokenized:
            return text.split()
        return self.encoder().tokens(text)

    def encode_documents(self, model, texts: List[str]) -> List[Dict[str, float]]:
        """*model*'s document vector of each text, in order."""
        if self.pretokenized:
            return [model.encode_document(text.split()) for text in texts]
        return self.encoder(model).encode_documents(texts, threads=self.threads)

    def encode_queries(self, model, texts: List[str]) -> List[Dict[str, float]]:
        """*model*'s query vector of each text, in order."""
        if self.pretokenized:
            return [model.encode_query(text.split()) for text in texts]
        return self.encoder(model).encode_queries(texts, threads=self.threads)


def _check_stop_words(path: str) -> None:
    # The encoder reads the stop words natively; a file that is not UTF-8
    # text is still refused here, with a clear message.
    try:
        with open(path, "rb") as stream:
            stream.read().decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"{path}: stop-word file is not valid UTF-8") from None


# --------------------------------------------------------------------------
# Model


def train_model(
    tokenizer: Tokenizer, corpus: Sequence[str], b: float, k1: float, progress=None
):
    """Trains a new ``BM25`` (``tokenizer.new_model``) on every non-empty line of
    *corpus*; returns (model, documents)."""
    model = tokenizer.new_model(b, k1)
    # Not `progress or ...`: a bar of unknown total (standard input) refuses bool().
    if progress is None:
        progress = NoProgress()

    def texts() -> Iterator[str]:
        pending = 0  # bytes read but not yet shown, so the bar costs little per line
        for _name, _number, text, size in read_lines(corpus):
            pending += size
            if pending >= 1 << 16:
                progress.update(pending)
                pending = 0
            yield text
        progress.update(pending)

    if tokenizer.pretokenized:
        for text in texts():
            tokens = text.split()
            if tokens:  # an empty line is no document (and BM25 refuses it)
                model.train(tokens)
    else:
        tokenizer.encoder(model).train(texts(), threads=tokenizer.threads)
    return model, model.doc_count


def load_model(path: str):
    """Reads a model file written by ``train`` (or ``BM25.dump``) into a ready ``BM25``."""
    from . import BM25

    with open(path, "rb") as stream:
        data = stream.read()
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        raise CliError(f"{path}: not a model file (not UTF-8 text)") from None
    # Checked here first so that a wrong file gets a clear message rather
    # than the native parser's diagnostics.
    try:
        # strict=False: the model file keeps control bytes of tokens raw.
        document = json.loads(text, strict=False)
    except ValueError as exc:
        raise CliError(f"{path}: not a model file (bad JSON: {exc})") from None
    if not isinstance(document, dict) or "_doc_token_frequency" not in document:
        raise CliError(f"{path}: not a model file (no BM25 statistics)")
    model = BM25()
    try:
        model.load(text)
    except (RuntimeError, ValueError) as exc:
        raise CliError(f"{path}: bad model file ({exc})") from None
    try:
        model.encode_document(["probe"])
    except RuntimeError:
        raise CliError(f"{path}: the model holds no trained documents") from None
    return model


def write_problem(path: str) -> Optional[str]:
    """Why no file can be written at *path*, in the system's words, or None
    when it can. The check leaves nothing behind."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.lexists(folder):
        return f"no such folder {folder}"
    try:
        if os.path.isdir(path):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR))
        if os.path.isfile(path):
            os.close(os.open(path, os.O_WRONLY | getattr(os, "O_CLOEXEC", 0)))
        elif not os.path.exists(path):
            # The model is written to a new file beside the target, then renamed.
            with tempfile.NamedTemporaryFile(dir=folder, prefix=".pymiratext-"):
                pass
        # Devices and pipes are written in place; opening one here could block.
    except OSError as exc:
        return exc.strerror or str(exc)
    return None


def check_writable(path: str) -> None:
    """Raises ``CliError`` naming *path* and the reason when no file can be written there."""
    problem = write_problem(path)
    if problem is not None:
        raise CliError(f"cannot write {path}: {problem}")


def dump_model(model, path: str) -> None:
    """Writes *model* to *path*, reporting a failure as ``CliError``."""
    check_writable(path)
    try:
        # As bytes, so that a file name that is not UTF-8 is written as given.
        model.dump(os.fsencode(path))
    except RuntimeError as exc:
        raise write_failure(path, exc) from None


def write_failure(path: str, exc: RuntimeError) -> CliError:
    """The report of a failed ``BM25.dump`` to *path*: the path and the reason."""
    # The native message says which step failed, but not always why: a
    # failure to open carries no reason, so the system is asked again here.
    return CliError(f"cannot write {path}: {write_problem(path) or exc}")


def encode_lines(
    model, tokenizer: Tokenizer, lines: Iterable[Line], query: bool = False, chunk: int = CHUNK_LINES
):
    """Yields (line, vector) for each line, encoded *chunk* lines at a time on the native threads."""
    encode = tokenizer.encode_queries if query else tokenizer.encode_documents
    for batch in chunks(lines, chunk):
        yield from zip(batch, encode(model, [text for _name, _number, text, _size in batch]))


def dot(query: Dict[str, float], document: Dict[str, float]) -> Optional[float]:
    """Dot product of two sparse vectors, or None when they share no token."""
    shared = [t for t in query if t in document]
    if not shared:
        return None
    return math.fsum(query[t] * document[t] for t in shared)


def rank(model, tokenizer: Tokenizer, query: str, corpus: Sequence[str], top: int):
    """Returns the query tokens and up to *top* (0: all) (score, line number, text), best first.

    Lines that share no token with the query are left out; ties keep corpus order.
    """
    try:
        query.encode("utf-8")
    except UnicodeEncodeError:  # undecodable bytes in the command line
        raise CliError(f"the query {query!r} is not valid UTF-8 text") from None
    query_tokens = tokenizer.tokens(query)
    if not query_tokens:
        raise CliError(f"the query {query!r} has no words to search for")
    query_vector = model.encode_query(query_tokens)

    def scored():  # a generator, so only the best *top* lines are kept in memory
        for (_name, number, text, _size), vector in encode_lines(model, tokenizer, read_lines(corpus)):
            score = dot(query_vector, vector)
            if score is not None:
                yield score, number, text

    def best_first(hit):
        return -hit[0], hit[1]

    if top == 0:
        return query_tokens, sorted(scored(), key=best_first)
    return query_tokens, heapq.nsmallest(top, scored(), key=best_first)

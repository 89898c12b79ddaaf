"""The text-to-vector pipeline behind the command line: reading corpora,
segmenting into index terms, training, loading and ranking.

Segmenting, filtering and encoding run natively through ``TextEncoder``, on
several threads; this module feeds it lines and reports failures as
``CliError`` with the place they happened.
"""

import codecs
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

DEFAULT_ENCODING = "utf-8"

# Bytes read at a time where lines cannot be split before decoding, and the
# most that is looked at to guess the encoding of input that failed to decode.
READ_BYTES = 1 << 16

# Decodings tried on input that fails to decode, after a byte-order mark and
# UTF-8: the common Chinese ones, GB18030 first (it is the more common, and
# it decodes nearly any byte string, so only the plausibility of what it gives
# tells it from Big5). cp950 is Big5 with the characters Windows added.
_GUESSES = ("gb18030", "big5", "cp950")
_BOMS = ((b"\xff\xfe\x00\x00", "utf-32"), (b"\x00\x00\xfe\xff", "utf-32"),
         (b"\xff\xfe", "utf-16"), (b"\xfe\xff", "utf-16"))
# How messages name the common codecs; others go by Python's codec name.
_NAMES = {"utf-8": "UTF-8", "gb18030": "GB18030", "gbk": "GBK", "gb2312": "GB2312", "big5": "Big5",
          "utf-16": "UTF-16", "utf-32": "UTF-32"}


def check_encoding(encoding: str) -> str:
    """The codec name of *encoding*; ``CliError`` unless it names a text encoding."""
    try:
        name = codecs.lookup(encoding).name
    except LookupError:
        raise CliError(f"unknown encoding: {encoding}") from None
    try:
        b"\n".decode(name)
    except LookupError:  # base64 and the like turn bytes into bytes
        raise CliError(f"not a text encoding: {encoding}") from None
    except UnicodeError:
        pass  # UTF-16 takes no lone byte; it is a text encoding all the same
    return name


def read_lines(paths: Sequence[str], encoding: str = DEFAULT_ENCODING) -> Iterator[Line]:
    """Yields (source name, line number from 1, text without line end, raw byte size).

    Files are read as bytes and decoded line by line in *encoding*, so that
    undecodable input is reported with its place (and the encoding it looks
    like) instead of as a bare codec error. Lines end at a line feed; a
    carriage return before it is dropped too.
    """
    codec = check_encoding(encoding)
    # Where a line feed is the byte 0x0A alone (UTF-8, GB18030, Big5: their
    # multi-byte characters never hold it), lines are split before decoding;
    # UTF-16 and UTF-32 are decoded first.
    by_line = "\n".encode(codec) == b"\n" and not "".encode(codec)
    for path in paths or [STDIN]:
        name = "<stdin>" if path == STDIN else path
        if path == STDIN and sys.stdin is None:
            raise CliError("no standard input to read; name the input files")
        stream = sys.stdin.buffer if path == STDIN else open(path, "rb")
        try:
            if not by_line:
                for number, text, size in _decoded_lines(stream, name, codec):
                    if number == 1 and text.startswith("\ufeff"):
                        text = text[1:]  # a byte-order mark is no part of the first document
                    yield name, number, text.rstrip("\r"), size
                continue
            for number, raw in enumerate(stream, 1):
                try:
                    text = raw.decode(codec)
                except UnicodeDecodeError as exc:
                    raise _split_line_error(stream, name, codec, number, raw, exc) from None
                if number == 1 and text.startswith("\ufeff"):
                    text = text[1:]
                yield name, number, text.rstrip("\r\n"), len(raw)
        finally:
            if stream is not sys.stdin.buffer:
                stream.close()


def _split_line_error(stream, name: str, codec: str, number: int, raw: bytes, exc: UnicodeDecodeError) -> CliError:
    sample = raw + getattr(stream, "read1", stream.read)(READ_BYTES)  # no waiting for more
    return CliError(
        f"{name}:{number}: not valid {_display(codec)} text "
        f"(byte 0x{raw[exc.start]:02x} at column {exc.start + 1})" + _hint(sample, number == 1, codec)
    )


def _decoded_lines(stream, name: str, codec: str) -> Iterator[Tuple[int, str, int]]:
    # Decodes blocks and splits the text. A line's size is the bytes read since
    # the line before it: the sizes add up to the input's, as for split lines.
    decoder = codecs.getincrementaldecoder(codec)("strict")
    read = getattr(stream, "read1", stream.read)  # what is there: someone may be typing
    number, offset, unreported, first = 0, 0, 0, None
    pending: List[str] = []  # the text of a line not yet ended, so long lines cost no copies
    while True:
        block = read(READ_BYTES)
        if first is None:
            first = block  # the start of the input tells its encoding best
            if codec in ("utf-16", "utf-32") and block and not any(
                    block.startswith(bom) for bom, bom_codec in _BOMS if bom_codec == codec):
                # Without a byte-order mark the byte order is unknown.
                raise CliError(f"{name}:1: not valid {_display(codec)} text (no byte-order mark)"
                               + (_hint(first, True, codec) or f"; name the byte order: --encoding {codec}-le "
                                                                f"or --encoding {codec}-be")) from None
        state = decoder.getstate()
        try:
            text = decoder.decode(block, final=not block)
        except UnicodeDecodeError as exc:
            line, place = _decoded_place(decoder, state, block, exc, offset, number, "".join(pending))
            raise CliError(
                f"{name}:{line}: not valid {_display(codec)} text "
                f"(byte 0x{exc.object[exc.start]:02x} at offset {place})" + _hint(first, True, codec)
            ) from None
        offset += len(block)
        unreported += len(block)
        parts = text.split("\n")
        if len(parts) > 1:
            parts[0] = "".join(pending) + parts[0]
            pending = []
            for part in parts[:-1]:
                number += 1
                yield number, part, unreported
                unreported = 0
        if parts[-1]:
            pending.append(parts[-1])
        if not block:
            if pending:
                yield number + 1, "".join(pending), unreported
            return


def _decoded_place(decoder, state, block: bytes, exc: UnicodeDecodeError, offset: int, number: int,
                   tail: str) -> Tuple[int, int]:
    """(line number, byte offset in the input) of a decoding failure in *block*."""
    # The decoder's input was the bytes it had buffered, then the block.
    buffered = len(state[0])
    decoder.setstate(state)
    try:
        before = decoder.decode(block[: max(0, exc.start - buffered)], final=False)
    except UnicodeError:
        before = ""
    return number + 1 + (tail + before).count("\n"), offset - buffered + exc.start


def _display(codec: str) -> str:
    return _NAMES.get(codec, codec)


def _hint(sample: bytes, at_start: bool, codec: str) -> str:
    """The clause of an error message naming the encoding *sample* seems to be in
    and the option that reads it, or an empty string."""
    guess = guess_encoding(sample, at_start, exclude=codec)
    return "" if guess is None else f"; it looks like {_display(guess)}: try --encoding {guess}"


def guess_encoding(sample: bytes, at_start: bool = True, exclude: str = "") -> Optional[str]:
    """The codec name of the encoding *sample* most plausibly is in, or None.

    *at_start*: *sample* starts the input, where a byte-order mark would be.
    A sample cut in the middle of a character is fine.
    """
    if at_start:
        for bom, codec in _BOMS:
            if sample.startswith(bom) and codec != exclude and _decode(sample, codec) is not None:
                return codec
    if exclude != "utf-8":
        text = _decode(sample, "utf-8")
        if text is not None and any(ord(ch) > 0x7F for ch in text):
            return "utf-8"  # multi-byte UTF-8 by chance is rare
    best, best_share = None, 0.9  # below: too many odd characters for any to be likely
    for codec in _GUESSES:
        text = None if codec == exclude else _decode(sample, codec)
        if text is not None:
            share = _chinese_share(text)
            if share > best_share:
                best, best_share = codec, share
    return best


def _decode(sample: bytes, codec: str) -> Optional[str]:
    try:
        return codecs.getincrementaldecoder(codec)("strict").decode(sample, final=False)
    except UnicodeError:
        return None


def _chinese_share(text: str) -> float:
    """The share of Chinese characters and punctuation among the non-ASCII characters of *text*.

    Text decoded in the wrong one of two Chinese encodings turns partly into
    kana, Greek, Cyrillic, box drawing and private-use characters.
    """
    chinese = other = 0
    for ch in text:
        if ch < "\x80":
            continue
        if "\u4e00" <= ch <= "\u9fff" or "\u3000" <= ch <= "\u303f" or "\uff00" <= ch <= "\uffef" or ch in "“”‘’…—·":
            chinese += 1
        else:
            other += 1
    return chinese / (chinese + other) if chinese else 0.0


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
        characters: Optional[bool] = None,
    ) -> None:
        self.folder = folder
        self.search = search  # None: TextEncoder's default (see legacy)
        self.pretokenized = pretokenized
        self.keep_stop_words = keep_stop_words
        self.threads = threads
        self.fold_script = fold_script
        self.legacy = legacy  # the index terms of pymiratext 0.1
        self.bigrams = bigrams
        self.characters = characters
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
                "fold_script": self.fold_script, "legacy": self.legacy, "bigrams": self.bigrams,
                "characters": self.characters}

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
    tokenizer: Tokenizer, corpus: Sequence[str], b: float, k1: float, progress=None,
    encoding: str = DEFAULT_ENCODING,
):
    """Trains a new ``BM25`` (``tokenizer.new_model``) on every non-empty line of
    *corpus*, read in *encoding*; returns (model, documents). *progress* is
    told the bytes read."""
    model = tokenizer.new_model(b, k1)
    # Not `progress or ...`: a bar of unknown total (standard input) refuses bool().
    if progress is None:
        progress = NoProgress()

    def texts() -> Iterator[str]:
        pending = 0  # bytes read but not yet shown, so the bar costs little per line
        for _name, _number, text, size in read_lines(corpus, encoding):
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


def rank(model, tokenizer: Tokenizer, query: str, corpus: Sequence[str], top: int,
         encoding: str = DEFAULT_ENCODING):
    """Returns the query tokens and up to *top* (0: all) (score, line number, text), best first;
    *corpus* is read in *encoding*.

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
        for (_name, number, text, _size), vector in encode_lines(model, tokenizer, read_lines(corpus, encoding)):
            score = dot(query_vector, vector)
            if score is not None:
                yield score, number, text

    def best_first(hit):
        return -hit[0], hit[1]

    if top == 0:
        return query_tokens, sorted(scored(), key=best_first)
    return query_tokens, heapq.nsmallest(top, scored(), key=best_first)


def read_json_lines(paths: Sequence[str], encoding: str = DEFAULT_ENCODING) -> Iterator[Tuple[int, Optional[int], str, Dict[str, object], int]]:
    """Yields (line number counted on through the files, id or None, text, the
    other fields, raw byte size) of each JSON Lines record,
    ``{"id": 7, "text": "…", "source": "…"}``; blank lines are skipped."""
    for count, (name, number, line, size) in enumerate(read_lines(paths, encoding), 1):
        if not line.strip():
            continue
        try:
            record = json.loads(line)
        except ValueError as exc:
            raise CliError(f"{name}:{number}: not a JSON object ({exc})") from None
        if not isinstance(record, dict) or not isinstance(record.get("text"), str):
            raise CliError(f'{name}:{number}: a record is a JSON object with a "text" string')
        text = record.pop("text")
        doc_id = record.pop("id", None)
        if doc_id is not None and (isinstance(doc_id, bool) or not isinstance(doc_id, int)):
            raise CliError(f'{name}:{number}: "id" is an integer, not {doc_id!r}')
        yield count, doc_id, text, record, size

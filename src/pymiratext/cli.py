"""The ``pymiratext`` command: segment, train, encode and search from the shell.

Every failure the user can cause (a missing file, a bad model, undecodable
input, a bad option) ends as one line on standard error and exit status 1,
or 2 for usage errors; a traceback is never shown.
"""

import argparse
import heapq
import json
import math
import os
import sys
import tempfile
import unicodedata
from typing import Dict, Iterable, Iterator, List, NoReturn, Optional, Sequence, Tuple

from ._data import DATA_FILES, data_dir, default_paths, paths_in, sample_corpus_path

PROG = "pymiratext"
STDIN = "-"

# Queries the demo answers; each hits a different topic of the bundled sample corpus.
DEMO_QUERIES = ("手机理财有什么风险", "红烧肉怎么做", "感冒发烧怎么办")


class CliError(Exception):
    """A failure reported as one line on standard error, exit status 1."""


class _Parser(argparse.ArgumentParser):
    """argparse with usage errors reduced to a single line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


# --------------------------------------------------------------------------
# Input


def read_lines(paths: Sequence[str]) -> Iterator[Tuple[str, int, str, int]]:
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


def _input_size(paths: Sequence[str]) -> Optional[int]:
    """Total bytes of the inputs, or None when one is a stream of unknown length."""
    total = 0
    for path in paths or [STDIN]:
        if path == STDIN or not os.path.isfile(path):
            return None
        total += os.path.getsize(path)
    return total


def _progress(total: Optional[int]):
    """A progress bar on standard error for long runs on a terminal; otherwise inert."""
    try:
        from tqdm import tqdm
    except ImportError:  # the bar is a nicety; training works without it
        return _NoProgress()
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


class _NativeStderr:
    """Collects what native code writes to file descriptor 2 inside a with block."""

    def __enter__(self) -> "_NativeStderr":
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


class _NoProgress:
    def update(self, _n: int) -> None:
        pass

    def close(self) -> None:
        pass


# --------------------------------------------------------------------------
# Segmentation


def _is_term(token: str) -> bool:
    """A token worth indexing holds at least one letter or digit (no blanks, no punctuation)."""
    return any(unicodedata.category(ch)[0] in "LN" for ch in token)


class Tokenizer:
    """Turns a line of text into the tokens the model is trained and queried with.

    ``words`` is the plain segmentation; ``tokens`` drops blanks,
    punctuation and stop words, which only add noise to BM25 statistics.
    The dictionary is loaded on first use, so ``--tokens`` never needs it.
    """

    def __init__(
        self,
        folder: Optional[str] = None,
        search: bool = False,
        pretokenized: bool = False,
        keep_stop_words: bool = False,
    ) -> None:
        self.folder = folder
        self.search = search
        self.pretokenized = pretokenized
        self.keep_stop_words = keep_stop_words
        self._jieba = None
        self._stop_words: Optional[frozenset] = None

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
            with _NativeStderr() as log:
                try:
                    self._jieba = Jieba(**paths)
                except (OSError, ValueError) as exc:
                    failure = exc
            if failure is not None:
                where = "the bundled data" if self.folder is None else self.folder
                raise CliError(f"cannot load the segmenter data from {where}: {failure}")
            log.replay()  # warnings of a load that succeeded still reach the user
            self._stop_words = self._read_stop_words(paths["stop_word_path"])
        return self._jieba

    @staticmethod
    def _read_stop_words(path: str) -> frozenset:
        try:
            with open(path, encoding="utf-8") as stream:
                return frozenset(line.rstrip("\r\n") for line in stream) - {""}
        except UnicodeDecodeError:
            raise CliError(f"{path}: stop-word file is not valid UTF-8") from None

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
        words = self.words(text)
        stop = frozenset() if self.keep_stop_words else self._stop_words or frozenset()
        return [w for w in words if _is_term(w) and w not in stop]


def _tokenizer(args: argparse.Namespace) -> Tokenizer:
    return Tokenizer(
        folder=args.dict,
        search=args.search,
        pretokenized=getattr(args, "tokens", False),
        keep_stop_words=getattr(args, "keep_stop_words", False),
    )


# --------------------------------------------------------------------------
# Model


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


def dot(query: Dict[str, float], document: Dict[str, float]) -> Optional[float]:
    """Dot product of two sparse vectors, or None when they share no token."""
    shared = [t for t in query if t in document]
    if not shared:
        return None
    return math.fsum(query[t] * document[t] for t in shared)


def rank(model, tokenizer: Tokenizer, query: str, corpus: Sequence[str], top: int):
    """Returns the query tokens and up to *top* (score, line number, text), best first.

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
        for _name, number, text, _size in read_lines(corpus):
            score = dot(query_vector, model.encode_document(tokenizer.tokens(text)))
            if score is not None:
                yield score, number, text

    return query_tokens, heapq.nsmallest(top, scored(), key=lambda hit: (-hit[0], hit[1]))


# --------------------------------------------------------------------------
# Commands


def _print_json(value) -> None:
    print(json.dumps(value, ensure_ascii=False))


def cmd_cut(args: argparse.Namespace) -> int:
    tokenizer = _tokenizer(args)
    for _name, _number, text, _size in read_lines(args.files):
        words = tokenizer.words(text)
        if args.json:
            _print_json(words)
        else:
            # A blank word cannot be told from the separator, so it is left out.
            print(" ".join(w for w in words if w.strip()))
    return 0


def train_model(tokenizer: Tokenizer, corpus: Sequence[str], b: float, k1: float, progress=None):
    """Trains a new ``BM25`` on every non-empty line of *corpus*; returns (model, documents)."""
    from . import BM25

    model = BM25(b=b, k1=k1)
    documents = 0
    for _name, _number, text, size in read_lines(corpus):
        tokens = tokenizer.tokens(text)
        if tokens:  # an empty line is no document (and BM25 refuses it)
            model.train(tokens)
            documents += 1
        if progress is not None:
            progress.update(size)
    return model, documents


def cmd_train(args: argparse.Namespace) -> int:
    tokenizer = _tokenizer(args)
    progress = _progress(_input_size(args.corpus))
    try:
        model, documents = train_model(tokenizer, args.corpus, args.b, args.k1, progress)
    finally:
        progress.close()
    if documents == 0:
        raise CliError("no documents to train on: the corpus has no words")
    _dump(model, args.output)
    print(f"{PROG}: trained on {documents} documents; model written to {args.output}", file=sys.stderr)
    return 0


def _dump(model, path: str) -> None:
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise CliError(f"cannot write {path}: no such folder {folder}")
    try:
        # As bytes, so that a file name that is not UTF-8 is written as given.
        model.dump(os.fsencode(path))
    except RuntimeError as exc:
        raise CliError(f"cannot write {path}: {exc}") from None


def cmd_encode(args: argparse.Namespace) -> int:
    model = load_model(args.model)
    tokenizer = _tokenizer(args)
    encode = model.encode_query if args.query else model.encode_document
    for _name, _number, text, _size in read_lines(args.files):
        # An empty line gives {} so that output lines match input lines.
        _print_json(encode(tokenizer.tokens(text)))
    return 0


def _format_hits(hits) -> Iterator[str]:
    for place, (score, number, text) in enumerate(hits, 1):
        yield f"{place:2d}. {score:.4f}  (line {number})  {text}"


def cmd_search(args: argparse.Namespace) -> int:
    if args.db is not None:
        return _search_db(args)
    if args.model is None or args.corpus is None:
        missing = [flag for flag, value in (("-m/--model", args.model), ("--corpus", args.corpus)) if value is None]
        args.parser.error("the following arguments are required: " + ", ".join(missing) + " (or --db)")
    model = load_model(args.model)
    tokenizer = _tokenizer(args)
    query = " ".join(args.query)
    _tokens, hits = rank(model, tokenizer, query, [args.corpus], args.top)
    if not hits:
        print(f"{PROG}: no line of {args.corpus} matches the query", file=sys.stderr)
    for line in _format_hits(hits):
        print(line)
    return 0


def cmd_demo(args: argparse.Namespace) -> int:
    corpus = sample_corpus_path()
    if not os.path.isfile(corpus):
        raise CliError(f"the sample corpus is missing: {corpus}")
    # Search mode also indexes the short words inside long ones, so that a
    # query for 手机 finds 用手机; documents and queries must use the same mode.
    tokenizer = Tokenizer(search=True)
    documents = [text for _n, _i, text, _s in read_lines([corpus]) if text.strip()]

    print(f"Sample corpus: {len(documents)} documents ({corpus})")
    print()
    print("1. Segmentation (cut) of the first documents:")
    for text in documents[: args.show]:
        print(f"   {text}")
        print(f"   -> {' / '.join(w for w in tokenizer.jieba.cut(text) if w.strip())}")
    print()

    with tempfile.TemporaryDirectory(prefix="pymiratext-demo-") as scratch:
        folder = args.out or scratch
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, "model.json")
        model, count = train_model(tokenizer, [corpus], b=0.75, k1=1.2)
        _dump(model, path)
        with open(path, encoding="utf-8") as stream:
            stats = json.load(stream)
        print("2. Trained a BM25 model (b = 0.75, k1 = 1.2) on the words of cut_for_search,")
        print("   which adds the short words inside long ones, less stop words and punctuation:")
        print(f"   {count} documents, {len(stats['_doc_token_frequency'])} distinct tokens, "
              f"average length {stats['_doc_length_average']:.2f} tokens")
        print(f"   saved to {path}" + ("" if args.out else " (removed when the demo ends; --out DIR keeps it)"))
        model = load_model(path)  # answer from the saved file, as a real application would
        collection = _demo_collection(tokenizer, model, corpus, folder)
        print()
        print(f"3. Queries (top {args.top} by dot product of query and document vectors):")
        for query in DEMO_QUERIES:
            if collection is not None:
                tokens = tokenizer.tokens(query)
                hits = [(hit.score, hit.id, hit.text) for hit in collection.search(query, top=args.top)]
            else:
                tokens, hits = rank(model, tokenizer, query, [corpus], args.top)
            print()
            print(f"   Query: {query}")
            print(f"   Tokens: {' / '.join(tokens)}")
            for line in _format_hits(hits) if hits else ["(no match)"]:
                print(f"   {line}")
        if collection is not None:
            collection.close()
    return 0


# --------------------------------------------------------------------------
# Milvus: index a corpus in a collection and search it


def _milvus():
    """The optional Milvus module, or a one-line error telling how to install it."""
    try:
        from . import milvus
    except ImportError:
        raise CliError('the Milvus integration is not installed: pip install "pymiratext[milvus]"') from None
    import logging

    # pymilvus logs every failed call with its stack; the failure is reported once, as one line.
    logging.getLogger("pymilvus").setLevel(logging.CRITICAL)
    return milvus


def _milvus_errors(milvus) -> tuple:
    return (milvus.DatabaseError, milvus.CollectionNotFoundError, milvus.ModelMismatchError, ValueError)


def _search_db(args: argparse.Namespace) -> int:
    if args.corpus is not None:
        args.parser.error("--corpus and --db exclude each other")
    milvus = _milvus()
    query = " ".join(args.query)
    try:
        query.encode("utf-8")
    except UnicodeEncodeError:
        raise CliError(f"the query {query!r} is not valid UTF-8 text") from None
    jieba = _tokenizer(args).jieba
    try:
        with milvus.TextCollection.open(args.db, args.collection, jieba=jieba, model_path=args.model) as collection:
            if not collection.encoder.tokens(query):
                raise CliError(f"the query {query!r} has no words to search for")
            hits = collection.search(query, top=args.top)
    except _milvus_errors(milvus) as exc:
        raise CliError(str(exc)) from None
    if not hits:
        print(f"{PROG}: no document of the collection {args.collection} matches the query", file=sys.stderr)
    texts = ("(text not stored)" if hit.text is None else hit.text for hit in hits)
    for line in _format_hits((hit.score, hit.id, text) for hit, text in zip(hits, texts)):
        print(line)
    return 0


def _numbered_lines(paths: Sequence[str]) -> Iterator[Tuple[int, str, int]]:
    """(line number counted on through the files, text, raw size) of every line."""
    for number, (_name, _number, text, size) in enumerate(read_lines(paths), 1):
        yield number, text, size


def cmd_index(args: argparse.Namespace) -> int:
    if STDIN in args.corpus:
        raise CliError("index reads its corpus twice (to train, then to index): name files, not '-'")
    milvus = _milvus()
    from . import BM25, TextEncoder

    try:  # before training, which may take long
        milvus.check_can_create(args.db, args.collection, model_path=args.model, replace=args.replace)
    except _milvus_errors(milvus) as exc:
        raise CliError(str(exc)) from None
    jieba = _tokenizer(args).jieba
    encoder = TextEncoder(jieba, BM25(b=args.b, k1=args.k1), search=args.search,
                          stop_words=not args.keep_stop_words)
    progress = _progress(_input_size(args.corpus))

    def training_texts() -> Iterator[str]:
        for _number, text, size in _numbered_lines(args.corpus):
            yield text
            progress.update(size)

    try:
        encoder.train(training_texts(), threads=args.threads)
    finally:
        progress.close()
    try:
        encoder.model.encode_document(["probe"])
    except RuntimeError:
        raise CliError("no documents to train on: the corpus has no words") from None
    try:
        with milvus.TextCollection.create(args.db, encoder, args.collection, model_path=args.model,
                                          replace=args.replace) as collection:
            items = ((number, text) for number, text, _size in _numbered_lines(args.corpus) if text.strip())
            added = collection.add_items(items, threads=args.threads)
    except _milvus_errors(milvus) as exc:
        raise CliError(str(exc)) from None
    print(f"{PROG}: indexed {added} documents in the collection {args.collection} of {args.db}; "
          f"model written to {collection.model_path}", file=sys.stderr)
    return 0


def _demo_collection(tokenizer: "Tokenizer", model, corpus: str, folder: str):
    """The sample corpus indexed in an embedded Milvus Lite database, or None
    (with a one-line notice) when the Milvus extra is not installed."""
    try:
        from . import TextEncoder, milvus
    except ImportError:
        print('   (Milvus extra not installed: scoring in process instead; '
              'pip install "pymiratext[milvus]" adds the embedded database)')
        return None

    encoder = TextEncoder(tokenizer.jieba, model, search=True, stop_words=True)
    path = os.path.join(folder, "demo.db")
    collection = milvus.TextCollection.create(path, encoder, "demo", replace=True)
    numbered = [(number, text) for _name, number, text, _size in read_lines([corpus]) if text.strip()]
    added = collection.add_items(numbered, total=len(numbered))
    print(f"   indexed {added} documents in an embedded Milvus Lite database ({path})")
    return collection


# --------------------------------------------------------------------------
# Argument parsing


def _unit_interval(text: str) -> float:
    value = _finite(text)
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"must lie between 0 and 1, not {text}")
    return value


def _non_negative(text: str) -> float:
    value = _finite(text)
    if value < 0.0:
        raise argparse.ArgumentTypeError(f"must not be negative, not {text}")
    return value


def _finite(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text}") from None
    if not math.isfinite(value):
        raise argparse.ArgumentTypeError(f"not a finite number: {text}")
    return value


def _count(text: str, least: int = 0) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text}") from None
    if value < least:
        raise argparse.ArgumentTypeError(f"must be at least {least}, not {text}")
    return value


def _positive_int(text: str) -> int:
    return _count(text, least=1)


def _add_db_arguments(parser: argparse.ArgumentParser, help_text: str, required: bool = False) -> None:
    parser.add_argument("--db", metavar="PATH_OR_URI", required=required, help=help_text)
    parser.add_argument("--collection", default="pymiratext", metavar="NAME",
                        help="collection name (default pymiratext)")


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog=PROG,
        description="Chinese word segmentation and BM25 sparse vectors for keyword retrieval.",
        epilog=f"Try '{PROG} demo' for a tour of the whole pipeline.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    segmenting = _Parser(add_help=False)
    segmenting.add_argument(
        "--dict", metavar="DIR",
        help="folder holding " + ", ".join(DATA_FILES.values()) + " (default: the bundled data)",
    )
    segmenting.add_argument("--search", action="store_true",
                            help="segment with cut_for_search (adds the short words inside long ones)")
    indexing = _Parser(add_help=False)
    indexing.add_argument("--tokens", action="store_true",
                          help="lines are already tokenised: split them on blanks instead of segmenting")
    indexing.add_argument("--keep-stop-words", action="store_true",
                          help="keep stop words (by default they are dropped, as are blanks and punctuation)")

    cut = commands.add_parser("cut", parents=[segmenting], help="segment text into words",
                              description="Segment each line of the files (or standard input).")
    cut.add_argument("files", nargs="*", metavar="FILE", help="input files, '-' for standard input")
    cut.add_argument("--json", action="store_true", help="print each line's words as a JSON list")
    cut.set_defaults(func=cmd_cut)

    train = commands.add_parser("train", parents=[segmenting, indexing], help="train a BM25 model",
                                description="Train a BM25 model on a corpus, one document a line.")
    train.add_argument("corpus", nargs="+", metavar="CORPUS", help="corpus files, '-' for standard input")
    train.add_argument("-o", "--output", required=True, metavar="MODEL.json", help="model file to write")
    train.add_argument("--b", type=_unit_interval, default=0.75, help="length normalisation (default 0.75)")
    train.add_argument("--k1", type=_non_negative, default=1.2, help="term-frequency saturation (default 1.2)")
    train.set_defaults(func=cmd_train)

    encode = commands.add_parser("encode", parents=[segmenting, indexing], help="encode lines as sparse vectors",
                                 description="Print one JSON object (token to weight) for each input line.")
    encode.add_argument("files", nargs="*", metavar="FILE", help="input files, '-' for standard input")
    encode.add_argument("-m", "--model", required=True, metavar="MODEL.json", help="model file")
    encode.add_argument("--query", action="store_true", help="encode as queries instead of documents")
    encode.set_defaults(func=cmd_encode)

    search = commands.add_parser("search", parents=[segmenting, indexing], help="rank corpus lines for a query",
                                 description="Rank the corpus lines by the dot product of query and document vectors.")
    search.add_argument("query", nargs="+", metavar="QUERY", help="the query text")
    search.add_argument("-m", "--model", metavar="MODEL.json",
                        help="model file (required with --corpus; with --db, the model of a server collection)")
    search.add_argument("--corpus", metavar="FILE", help="corpus file, one document a line")
    search.add_argument("--top", type=_positive_int, default=10, help="number of results (default 10)")
    _add_db_arguments(search, "search this Milvus database (NAME.db or http://HOST:PORT) instead of a corpus file")
    search.set_defaults(func=cmd_search, parser=search)

    index = commands.add_parser(
        "index", parents=[segmenting], help="train a model and index a corpus in Milvus",
        description="Train a BM25 model on the corpus and index every line that has words in a Milvus "
                    "collection, with its line number (counted on through the files) as id. "
                    "Needs the 'milvus' extra.")
    index.add_argument("corpus", nargs="+", metavar="CORPUS", help="corpus files")
    _add_db_arguments(index, "a local Milvus Lite file (NAME.db) or a server URI (http://HOST:PORT)", required=True)
    index.add_argument("-m", "--model", metavar="MODEL.json",
                       help="where to keep the model (default: beside a local database; required for a server)")
    index.add_argument("--keep-stop-words", action="store_true", help="keep stop words (by default they are dropped)")
    index.add_argument("--b", type=_unit_interval, default=0.75, help="length normalisation (default 0.75)")
    index.add_argument("--k1", type=_non_negative, default=1.2, help="term-frequency saturation (default 1.2)")
    index.add_argument("--threads", type=_count, default=0, metavar="N", help="encoding threads (default 0: all cores)")
    index.add_argument("--replace", action="store_true", help="replace an existing collection of that name")
    index.set_defaults(func=cmd_index)

    demo = commands.add_parser("demo", help="run the whole pipeline on the bundled sample corpus",
                               description="Segment the bundled sample corpus, train and save a model, "
                                           "and answer three example queries.")
    demo.add_argument("--out", metavar="DIR", help="keep the model in DIR instead of a temporary folder")
    demo.add_argument("--show", type=_count, default=3, metavar="N", help="documents whose segmentation is shown")
    demo.add_argument("--top", type=_positive_int, default=3, help="results per query (default 3)")
    demo.set_defaults(func=cmd_demo)
    return parser


# --------------------------------------------------------------------------
# Entry point


def _error(message: str) -> None:
    # Some messages (a native TypeError, for one) span lines; the report is one line.
    print(f"{PROG}: error: {' '.join(message.split())}", file=sys.stderr)


def _describe_os_error(exc: OSError) -> str:
    reason = exc.strerror or str(exc)
    return f"{exc.filename}: {reason}" if exc.filename else reason


def _tolerant_stdout() -> None:
    # Words the terminal's encoding cannot show are escaped instead of
    # ending the run with an encoding error.
    encoding = (getattr(sys.stdout, "encoding", None) or "").lower().replace("-", "").replace("_", "")
    if encoding != "utf8" and hasattr(sys.stdout, "reconfigure"):
        sys.stdout.reconfigure(errors="backslashreplace")


def main(argv: Optional[Iterable[str]] = None) -> int:
    """Runs the command line; returns the exit status (0, 1 on failure, 2 on usage errors)."""
    parser = build_parser()
    try:
        args = parser.parse_args(None if argv is None else list(argv))
    except SystemExit as exc:  # --help, or a usage error already reported
        return exc.code if isinstance(exc.code, int) else 2
    _tolerant_stdout()
    try:
        return args.func(args)
    except CliError as exc:
        _error(str(exc))
    except OSError as exc:
        if isinstance(exc, BrokenPipeError):
            # The reader went away (e.g. `| head`); say nothing more.
            _silence_stdout()
            return 1
        _error(_describe_os_error(exc))
    except KeyboardInterrupt:
        _error("interrupted")
        return 130
    except Exception as exc:  # last resort: still one line, never a traceback
        _error(f"{type(exc).__name__}: {exc}")
    return 1


def _silence_stdout() -> None:
    # Python flushes stdout at exit; point it at devnull so that flush cannot fail again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass

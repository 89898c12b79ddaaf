"""The ``pymiratext`` command: segment, train, encode and search from the shell.

Every failure the user can cause (a missing file, a bad model, undecodable
input, a bad option) ends as one line on standard error and exit status 1,
or 2 for usage errors; a traceback is never shown.
"""

import argparse
import json
import math
import os
import signal
import sys
import tempfile
import warnings
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Callable, Iterable, Iterator, NoReturn, Optional

from ._data import DATA_FILES, paths_in, sample_corpus_path
from ._version import __version__
from ._pipeline import (
    CHUNK_LINES,
    DEFAULT_ENCODING,
    STDIN,
    CliError,
    NativeStderr,
    Tokenizer,
    check_encoding,
    check_writable,
    dot,
    dump_model,
    encode_lines,
    input_size,
    is_term,
    load_model,
    progress_bar,
    rank,
    read_lines,
    train_model,
    write_failure,
)

# The pipeline's helpers stay importable from here under their private names.
_is_term, _dump, _progress, _input_size, _NativeStderr = (
    is_term, dump_model, progress_bar, input_size, NativeStderr)

PROG = "pymiratext"

# Queries the demo answers; each hits a different topic of the bundled sample corpus.
DEMO_QUERIES = ("手机理财有什么风险", "红烧肉怎么做", "感冒发烧怎么办")


class _Parser(argparse.ArgumentParser):
    """argparse with usage errors reduced to a single line."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see '{self.prog} --help')\n")


def _isatty(stream) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _tokenizer(args: argparse.Namespace, model=None) -> Tokenizer:
    # A model file without document counts was written by pymiratext 0.1 (or
    # with --legacy): its index terms are those of 0.1 unless flags say otherwise.
    legacy = getattr(args, "legacy", False) or (model is not None and model.idf == "occurrences")
    return Tokenizer(
        folder=args.dict,
        search=args.search,
        pretokenized=getattr(args, "tokens", False),
        keep_stop_words=getattr(args, "keep_stop_words", False),
        threads=getattr(args, "threads", 0),
        fold_script=getattr(args, "fold_script", None),
        legacy=legacy,
        bigrams=getattr(args, "bigrams", None),
        characters=getattr(args, "characters", None),
    )


# --------------------------------------------------------------------------
# Commands


def _print_json(value) -> None:
    print(json.dumps(value, ensure_ascii=False))


def cmd_cut(args: argparse.Namespace) -> int:
    if getattr(args, "offsets", False) or getattr(args, "tags", False):
        return cmd_cut_annotated(args)
    tokenizer = _tokenizer(args)
    for _name, _number, text, _size in read_lines(args.files, args.encoding):
        words = tokenizer.words(text)
        if args.json:
            _print_json(words)
        else:
            # A blank word cannot be told from the separator, so it is left out.
            print(" ".join(w for w in words if w.strip()))
    return 0


def cmd_cut_annotated(args: argparse.Namespace) -> int:
    """``cut --offsets`` / ``--tags``: one JSON list a line of [word, start, end] or [word, tag]."""
    if args.tags and args.search:
        # The tagger tags the words of cut; search mode has words it never sees.
        print(f"{PROG} cut: error: argument --tags: not allowed with argument --search "
              f"(see '{PROG} cut --help')", file=sys.stderr)
        return 2
    jieba = Tokenizer(folder=args.dict).jieba
    for _name, _number, text, _size in read_lines(args.files, args.encoding):
        # Blank words stay, so that the offsets cover the whole line.
        if args.offsets:
            _print_json(jieba.tokenize(text, search=args.search))
        else:
            _print_json(jieba.tag(text))
    return 0


def cmd_keywords(args: argparse.Namespace) -> int:
    """``keywords``: each line's TF-IDF keywords, heaviest first, one output line per input line."""
    jieba = Tokenizer(folder=args.dict).jieba
    for _name, _number, text, _size in read_lines(args.files, args.encoding):
        keywords = jieba.extract_keywords(text, top_k=args.top)
        if args.json:
            _print_json(keywords)
        else:
            print(" ".join(f"{word}:{weight:.4f}" for word, weight in keywords))
    return 0


def cmd_train(args: argparse.Namespace) -> int:
    check_writable(args.output)  # before the training, which may take long
    tokenizer = _tokenizer(args)
    progress = _progress(_input_size(args.corpus))
    try:
        model, documents = train_model(tokenizer, args.corpus, args.b, args.k1, progress, args.encoding)
    finally:
        progress.close()
    if documents == 0:
        raise CliError("no documents to train on: the corpus has no words")
    _dump(model, args.output)
    print(f"{PROG}: trained on {documents} documents; model written to {args.output}", file=sys.stderr)
    return 0


def cmd_encode(args: argparse.Namespace) -> int:
    model = load_model(args.model)
    tokenizer = _tokenizer(args, model)
    # Someone typing lines gets each vector at once; other input is encoded
    # in chunks across the threads.
    typing = (not args.files or STDIN in args.files) and _isatty(sys.stdin)
    lines = read_lines(args.files, args.encoding)
    # An empty line gives {} so that output lines match input lines.
    for _line, vector in encode_lines(model, tokenizer, lines, query=args.query, chunk=1 if typing else CHUNK_LINES):
        _print_json(vector)
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
    if args.queries is not None:
        args.parser.error("--queries needs --db")
    if args.filter is not None:
        args.parser.error("--filter needs --db")
    if not args.query:
        args.parser.error("the following arguments are required: QUERY")
    model = load_model(args.model)
    tokenizer = _tokenizer(args, model)
    query = " ".join(args.query)
    _tokens, hits = rank(model, tokenizer, query, [args.corpus], args.top, args.encoding)
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
    return milvus


def _in_background(function, *args) -> Callable[[], None]:
    """Starts function(*args) on another thread; the function returned waits for it
    and raises what it raised."""
    pool = ThreadPoolExecutor(1)
    future = pool.submit(function, *args)
    pool.shutdown(wait=False)
    return future.result


def _load_client(milvus) -> None:
    """Imports the Milvus client (about a second; callers overlap it with other work)."""
    milvus.load_client()
    import logging

    # pymilvus logs every failed call with its stack; the failure is reported once, as one line.
    logging.getLogger("pymilvus").setLevel(logging.CRITICAL)


def _milvus_errors(milvus) -> tuple:
    return (milvus.DatabaseError, milvus.CollectionNotFoundError, milvus.ModelMismatchError, ValueError)


def _search_db(args: argparse.Namespace) -> int:
    if args.corpus is not None:
        args.parser.error("--corpus and --db exclude each other")
    if args.tokens:
        args.parser.error("--tokens does not apply to --db: queries are segmented as the collection's documents were")
    if not args.query and args.queries is None:
        args.parser.error("the following arguments are required: QUERY (or --queries FILE)")
    for query in args.query:
        _check_query_text(query)
    # One query prints its hits alone; several print a block each, headed by the query.
    blocks = args.queries is not None or len(args.query) > 1
    milvus = _milvus()
    client_loaded = _in_background(_load_client, milvus)
    jieba = _tokenizer(args).jieba
    client_loaded()
    try:
        with milvus.TextCollection.open(args.db, args.collection, jieba=jieba, model_path=args.model) as collection:
            # 0 asks for all; Milvus returns at most its search limit.
            top = args.top or max(1, len(collection))
            if not blocks:
                query = args.query[0]
                if not collection.encoder.tokens(query):
                    raise CliError(f"the query {query!r} has no words to search for")
                hits = collection.search(query, top=top, filter=args.filter)
                if not hits:
                    print(f"{PROG}: no document of the collection {args.collection} matches the query",
                          file=sys.stderr)
                _print_db_hits(hits)
                return 0
            for number, query in enumerate(_db_queries(args), 1):
                print(("" if number == 1 else "\n") + f"Query: {query}")
                if not collection.encoder.tokens(query):
                    print("(no words to search for)")
                    continue
                hits = collection.search(query, top=top, filter=args.filter)
                if hits:
                    _print_db_hits(hits)
                else:
                    print("(no match)")
    except _milvus_errors(milvus) as exc:
        raise CliError(str(exc)) from None
    return 0


def _check_query_text(query: str) -> None:
    try:
        query.encode("utf-8")
    except UnicodeEncodeError:  # undecodable bytes in the command line
        raise CliError(f"the query {query!r} is not valid UTF-8 text") from None


def _db_queries(args: argparse.Namespace) -> Iterator[str]:
    """The queries of the command line, then those of --queries (a line each, blank lines skipped)."""
    yield from args.query
    if args.queries is not None:
        for _name, _number, text, _size in read_lines([args.queries], args.encoding):
            if text.strip():
                yield text


def _print_db_hits(hits) -> None:
    # A document's metadata follows its text, as JSON, when it has any.
    texts = (("(text not stored)" if hit.text is None else hit.text)
             + (f"  {json.dumps(hit.metadata, ensure_ascii=False)}" if hit.metadata else "") for hit in hits)
    for line in _format_hits((hit.score, hit.id, text) for hit, text in zip(hits, texts)):
        print(line)


def cmd_index(args: argparse.Namespace) -> int:
    milvus = _milvus()
    client_loaded = _in_background(_load_client, milvus)  # while the segmenter loads
    tokenizer = _tokenizer(args)
    encoder = tokenizer.encoder(tokenizer.new_model(args.b, args.k1))
    client_loaded()
    try:
        done = milvus.index_files(args.db, args.corpus, encoder, args.collection, replace=args.replace,
                                  scoring=args.scoring, model_path=args.model, threads=args.threads,
                                  json_lines=True if args.jsonl else None, encoding=args.encoding)
    except milvus.CollectionExistsError as exc:
        raise CliError(f"{exc}: --replace replaces it") from None
    except _milvus_errors(milvus) as exc:
        raise CliError(str(exc)) from None
    except RuntimeError as exc:
        if not str(exc).startswith("Failed to dump"):
            raise
        raise write_failure(args.model or milvus.model_path_for(args.db, args.collection), exc) from None
    where = (f"model written to {done.model_path}" if done.model_path is not None
             else "scored by the engine, no model file")
    print(f"{PROG}: indexed {done.documents} documents in the collection {done.name} of {done.db}; {where}",
          file=sys.stderr)
    return 0


def cmd_serve(args: argparse.Namespace) -> int:
    """``serve``: the HTTP service over a collection, until interrupted."""
    milvus = _milvus()
    try:
        from . import serve
    except ImportError:
        raise CliError('the HTTP service is not installed: pip install "pymiratext[serve]"') from None
    jieba = Tokenizer(folder=args.dict).jieba
    fields = serve.Limits._fields
    limits = serve.Limits()._replace(**{f: getattr(args, f) for f in fields if getattr(args, f) is not None})

    def ready(url: str) -> None:
        print(f"{PROG}: serving the collection {args.collection} of {args.db} on {url}/ "
              "(Ctrl-C stops)", file=sys.stderr, flush=True)

    try:
        serve.run(args.db, args.collection, model_path=args.model, jieba=jieba, host=args.host, port=args.port,
                  threads=args.threads, limits=limits, allow_hosts=args.allow_host, ready=ready,
                  access_log=args.access_log, log_level="info" if args.verbose else "warning")
    except _milvus_errors(milvus) as exc:
        raise CliError(str(exc)) from None
    print(f"{PROG}: stopped", file=sys.stderr)
    return 0


def _demo_collection(tokenizer: "Tokenizer", model, corpus: str, folder: str):
    """The sample corpus indexed in an embedded Milvus Lite database, or None
    (with a one-line notice) when the Milvus extra is not installed."""
    try:
        from . import milvus
    except ImportError:
        print('   (Milvus extra not installed: scoring in process instead; '
              'pip install "pymiratext[milvus]" adds the embedded database)')
        return None

    encoder = tokenizer.encoder(model)
    path = os.path.join(folder, "demo.db")
    collection = milvus.TextCollection.create(path, encoder, "demo", replace=True, scoring="vectors")
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


def _positive_float(text: str) -> float:
    value = _finite(text)
    if not value > 0.0:
        raise argparse.ArgumentTypeError(f"must be above 0, not {text}")
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


def _port(text: str) -> int:
    value = _count(text)
    if value > 65535:
        raise argparse.ArgumentTypeError(f"must be at most 65535, not {text}")
    return value


def _encoding(text: str) -> str:
    try:
        check_encoding(text)
    except CliError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    return text


def _add_encoding_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--encoding", type=_encoding, default=DEFAULT_ENCODING, metavar="NAME",
                        help="encoding of the input text, such as gb18030, big5 or utf-16 (default utf-8)")


def _add_dict_argument(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--dict", metavar="DIR",
                        help="folder holding " + ", ".join(DATA_FILES.values()) + " (default: the bundled data)")


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
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True

    segmenting = _Parser(add_help=False)
    _add_dict_argument(segmenting)
    segmenting.add_argument("--search", action=argparse.BooleanOptionalAction, default=None,
                            help="segment with cut_for_search, which adds the short words inside long "
                                 "ones (default: off)")
    # How text becomes index terms; recorded with a collection.
    terms = _Parser(add_help=False)
    terms.add_argument("--fold-script", action=argparse.BooleanOptionalAction, default=None,
                       help="fold Traditional characters to Simplified before cutting, so that either "
                            "script finds the other (default: on, off with --legacy)")
    terms.add_argument("--bigrams", action=argparse.BooleanOptionalAction, default=None,
                       help="also index the character bigrams of every run of Chinese characters "
                            "(default: on, off with --legacy; --search --no-bigrams --no-characters: the terms of 0.2)")
    terms.add_argument("--characters", action=argparse.BooleanOptionalAction, default=None,
                       help="also index each Chinese character of the words kept, stop words left out "
                            "(default: on, off with --legacy; --no-characters: the terms of 0.3)")
    terms.add_argument("--legacy", action="store_true",
                       help="index terms and model as pymiratext 0.1 made them: the plain cut, no pieces "
                            "of unknown words, no folding, occurrence counts (implied by a model file "
                            "without document counts)")
    indexing = _Parser(add_help=False)
    indexing.add_argument("--tokens", action="store_true",
                          help="lines are already tokenised: split them on blanks instead of segmenting")
    indexing.add_argument("--keep-stop-words", action="store_true",
                          help="keep stop words (by default they are dropped, as are blanks and punctuation)")
    indexing.add_argument("--threads", type=_count, default=0, metavar="N",
                          help="threads that segment and encode (default 0: all cores)")

    cut = commands.add_parser("cut", parents=[segmenting], help="segment text into words",
                              description="Segment each line of the files (or standard input).")
    cut.add_argument("files", nargs="*", metavar="FILE", help="input files, '-' for standard input")
    cut.add_argument("--json", action="store_true", help="print each line's words as a JSON list")
    annotate = cut.add_mutually_exclusive_group()
    annotate.add_argument("--offsets", action="store_true",
                          help="print each line as a JSON list of [word, start, end] (character indices)")
    annotate.add_argument("--tags", action="store_true",
                          help="print each line as a JSON list of [word, part-of-speech tag]")
    _add_encoding_argument(cut)
    cut.set_defaults(func=cmd_cut)

    keywords = commands.add_parser(
        "keywords", help="extract TF-IDF keywords",
        description="Print the TF-IDF keywords of each line of the files (or standard input), "
                    "heaviest first, as word:weight separated by blanks; an empty line for a line without any.")
    keywords.add_argument("files", nargs="*", metavar="FILE", help="input files, '-' for standard input")
    keywords.add_argument("--top", type=_count, default=20, metavar="N",
                          help="keywords per line, 0 for all (default 20)")
    keywords.add_argument("--json", action="store_true", help="print each line as a JSON list of [word, weight]")
    _add_dict_argument(keywords)
    _add_encoding_argument(keywords)
    keywords.set_defaults(func=cmd_keywords)

    train = commands.add_parser("train", parents=[segmenting, indexing, terms], help="train a BM25 model",
                                description="Train a BM25 model on a corpus, one document a line.")
    train.add_argument("corpus", nargs="+", metavar="CORPUS", help="corpus files, '-' for standard input")
    train.add_argument("-o", "--output", required=True, metavar="MODEL.json", help="model file to write")
    train.add_argument("--b", type=_unit_interval, default=0.75, help="length normalisation (default 0.75)")
    train.add_argument("--k1", type=_non_negative, default=1.2, help="term-frequency saturation (default 1.2)")
    _add_encoding_argument(train)
    train.set_defaults(func=cmd_train)

    encode = commands.add_parser("encode", parents=[segmenting, indexing, terms], help="encode lines as sparse vectors",
                                 description="Print one JSON object (token to weight) for each input line.")
    encode.add_argument("files", nargs="*", metavar="FILE", help="input files, '-' for standard input")
    encode.add_argument("-m", "--model", required=True, metavar="MODEL.json", help="model file")
    encode.add_argument("--query", action="store_true", help="encode as queries instead of documents")
    _add_encoding_argument(encode)
    encode.set_defaults(func=cmd_encode)

    search = commands.add_parser("search", parents=[segmenting, indexing, terms], help="rank corpus lines for a query",
                                 description="Rank the corpus lines by the dot product of query and document vectors.")
    search.add_argument("query", nargs="*", metavar="QUERY",
                        help="the query text; with --db, each argument is a query of its own")
    search.add_argument("--queries", metavar="FILE",
                        help="with --db: also answer each line of FILE ('-' for standard input) as a query")
    search.add_argument("-m", "--model", metavar="MODEL.json",
                        help="model file (required with --corpus; with --db, the model of a server collection)")
    search.add_argument("--corpus", metavar="FILE", help="corpus file, one document a line")
    search.add_argument("--top", type=_count, default=10, metavar="N",
                        help="number of results, 0 for all (default 10; with --db at most 16384, "
                             "the most Milvus returns)")
    _add_encoding_argument(search)
    _add_db_arguments(search, "search this Milvus database (NAME.db or http://HOST:PORT) instead of a corpus file")
    search.add_argument("--filter", metavar="EXPR",
                        help='with --db: only documents matching this Milvus expression, e.g. '
                             '\'metadata["source"] == "news"\'')
    search.set_defaults(func=cmd_search, parser=search)

    index = commands.add_parser(
        "index", parents=[segmenting, terms], help="index a corpus in a Milvus collection",
        description="Index every line that has words in a Milvus collection, with its line number (counted "
                    "on through the files) as id, or every record of JSON Lines files. Milvus scores BM25 "
                    "itself; with --scoring vectors a model is trained on the corpus first. "
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
    _add_encoding_argument(index)
    index.add_argument("--scoring", choices=("engine", "vectors"),
                       help="engine: Milvus scores BM25 and keeps its statistics as documents change, no model "
                            "file (the default); vectors: train a model and store client-side vectors "
                            "(the default with -m)")
    index.add_argument("--jsonl", action="store_true",
                       help='the corpus is JSON Lines, {"id": ..., "text": ..., other fields as metadata} '
                            "(the default for .jsonl and .ndjson files)")
    index.set_defaults(func=cmd_index)

    serve = commands.add_parser(
        "serve", help="serve a collection over HTTP: encoding, search and a search page",
        description="Serve a Milvus collection made by 'index' over HTTP until interrupted: "
                    "POST /encode/documents and /encode/queries, GET /search, GET /healthz and "
                    "a search page at /. Needs the 'milvus' and 'serve' extras.")
    _add_db_arguments(serve, "a local Milvus Lite file (NAME.db) or a server URI (http://HOST:PORT)", required=True)
    serve.add_argument("-m", "--model", metavar="MODEL.json",
                       help="the collection's model (default: beside a local database; required for a server)")
    _add_dict_argument(serve)
    serve.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1: this machine only)")
    serve.add_argument("--port", type=_port, default=8000, help="port to listen on (default 8000; 0: a free port)")
    serve.add_argument("--threads", type=_count, default=0, metavar="N",
                       help="threads that encode and search (default 0: twice the number of cores)")
    serve.add_argument("--max-body", type=_positive_int, default=None, metavar="BYTES",
                       help="largest request body (default 4194304)")
    serve.add_argument("--max-batch", type=_positive_int, default=None, metavar="N",
                       help="most texts in one /encode request (default 1024)")
    serve.add_argument("--max-top", type=_positive_int, default=None, metavar="N",
                       help="most hits one /search may ask for (default 1000)")
    serve.add_argument("--allow-host", action="append", default=[], metavar="NAME",
                       help="also answer requests naming NAME in their Host header (repeatable; '*': any); "
                            "by default only the address listened on, localhost and loopback addresses")
    serve.add_argument("--header-timeout", type=_positive_float, default=None, metavar="SECONDS",
                       help="time for a request line and headers before the connection is closed (default 10)")
    serve.add_argument("--body-timeout", type=_positive_float, default=None, metavar="SECONDS",
                       help="time for a request body after its headers (default 30)")
    serve.add_argument("--keep-alive", type=_positive_float, default=None, metavar="SECONDS",
                       help="how long an idle connection is kept open for a next request (default 5)")
    serve.add_argument("--max-connections", type=_positive_int, default=None, metavar="N",
                       help="open connections at most (default 1000, within the descriptor limit); beyond, "
                            "the longest idle one is closed, or the new one answered 503 when all are busy")
    serve.add_argument("--snippet", type=_positive_int, default=None, metavar="CHARS",
                       help="length of the snippet around a hit's matches (default 200)")
    serve.add_argument("--highlight-budget", type=_count, default=None, metavar="CHARS",
                       help="characters segmented to find the matches of one search (default 100000)")
    serve.add_argument("--access-log", action="store_true", help="log every request on standard output")
    serve.add_argument("-v", "--verbose", action="store_true", help="also print the HTTP server's own messages")
    serve.set_defaults(func=cmd_serve)

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
    # Milvus Lite's import warns of a deprecation in setuptools, which is of
    # no use to the user and would come before a command's own lines.
    warnings.filterwarnings("ignore", message="pkg_resources is deprecated", category=UserWarning)
    restore = _terminate_as_interrupt()
    try:
        return _run(args)
    finally:
        restore()


def _run(args: argparse.Namespace) -> int:
    try:
        status = args.func(args)
        if sys.stdout is not None:
            sys.stdout.flush()  # a reader that left early is noticed here, not at exit
        return status
    except CliError as exc:
        _error(str(exc))
    except OSError as exc:
        if isinstance(exc, BrokenPipeError):
            # The reader went away (e.g. `| head`) and took what it wanted:
            # no failure, nothing more to say.
            _silence_stdout()
            return 0
        _error(_describe_os_error(exc))
    except KeyboardInterrupt:
        _error("interrupted")
        return 130
    except Exception as exc:  # last resort: still one line, never a traceback
        _error(f"{type(exc).__name__}: {exc}")
    return 1


def _interrupt(_signum, _frame) -> None:
    raise KeyboardInterrupt


def _terminate_as_interrupt() -> Callable[[], None]:
    """SIGTERM (kill, systemd, container stops) ends a command as Ctrl-C does,
    so that what it was writing is undone rather than left half done; returns
    what puts the previous handling back."""
    if signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL or threading.current_thread() is not threading.main_thread():
        return lambda: None
    signal.signal(signal.SIGTERM, _interrupt)
    return lambda: signal.signal(signal.SIGTERM, signal.SIG_DFL)


def _silence_stdout() -> None:
    # Python flushes stdout at exit; point it at devnull so that flush cannot fail again.
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass

"""The ASGI application: checks requests, does the work on a thread pool and
answers in JSON.

Encoding and search run on the pool (the native encoder drops the interpreter
lock), so the event loop only reads requests and writes answers; the JSON of an
answer is written on the pool too.
"""

import asyncio
import base64
import contextlib
import hashlib
import json
import os
import re
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, Collection, Dict, Iterator, List, NamedTuple, Optional, Tuple

import orjson
from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response
from starlette.routing import Route

from .. import Jieba, id_vector
from ..milvus import DEFAULT_COLLECTION, CollectionNotFoundError, DatabaseError, ModelMismatchError, TextCollection

_PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "page.html")
_JSON = "application/json"
_KEYS = ("tokens", "ids")


class Limits(NamedTuple):
    """What one request may ask for. A larger body or batch is refused with
    status 413, a larger ``top`` with status 400."""

    max_body: int = 4 << 20  # bytes of a request body
    max_batch: int = 1024  # texts of one /encode request
    max_top: int = 1000  # hits of one /search


class RequestError(Exception):
    """A request the service refuses: the status and the message the client gets."""

    def __init__(self, status: int, message: str):
        super().__init__(message)
        self.status = status
        self.message = message


def match_spans(encoder: Any, text: str, terms: Collection[str]) -> List[List[int]]:
    """Where the index terms *terms* occur in *text*: ``[start, end]`` Python
    string indices in text order, overlapping occurrences (search mode's words
    inside longer words) joined into one."""
    spans: List[List[int]] = []
    for start, end in sorted((start, end) for term, start, end in encoder.tokenize(text) if term in terms):
        if spans and start < spans[-1][1]:
            spans[-1][1] = max(spans[-1][1], end)
        else:
            spans.append([start, end])
    return spans


class _Service:
    """The collection, the worker pool and the work each endpoint does on it."""

    def __init__(self, collection: TextCollection, threads: int, limits: Limits):
        self.limits = limits
        self.encoder = collection.encoder  # encoding only reads it: any thread may use it
        self._first = collection
        self._idle = [collection]
        self._opened = [collection]
        self._lock = threading.Lock()
        self._pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="pymiratext-serve")

    async def run(self, work: Callable[..., Any], *args: Any) -> Any:
        return await asyncio.get_running_loop().run_in_executor(self._pool, work, *args)

    def close(self) -> None:
        self._pool.shutdown(wait=True)
        with self._lock:
            opened, self._opened, self._idle = self._opened, [], []
        for collection in opened:
            collection.close()

    @contextlib.contextmanager
    def _collection(self) -> Iterator[TextCollection]:
        # A collection serves one thread at a time; workers that search at the
        # same time get collections of their own, which share the segmenter.
        with self._lock:
            collection = self._idle.pop() if self._idle else None
        if collection is None:
            first = self._first
            collection = TextCollection.open(first.db, first.name, jieba=self.encoder.jieba,
                                             model_path=first.model_path)
            with self._lock:
                self._opened.append(collection)
        try:
            yield collection
        finally:
            with self._lock:
                self._idle.append(collection)

    def encode(self, body: bytes, query: bool) -> bytes:
        texts, keys = _read_texts(body, self.limits.max_batch)
        encode = self.encoder.encode_queries if query else self.encoder.encode_documents
        # One native thread per request: the pool already spreads requests over the cores.
        vectors = encode(texts, threads=1)
        if keys == "ids":
            vectors = [id_vector(vector) for vector in vectors]
        return _json({"vectors": vectors})

    def search(self, query: str, top: int) -> bytes:
        terms = list(dict.fromkeys(self.encoder.tokens(query)))
        with self._collection() as collection:
            hits = collection.search(query, top=top)
        wanted = set(terms)
        return _json({
            "terms": terms,
            "hits": [
                {"id": hit.id, "score": hit.score, "text": hit.text,
                 "spans": [] if hit.text is None else match_spans(self.encoder, hit.text, wanted)}
                for hit in hits
            ],
        })

    def health(self) -> bytes:
        with self._collection() as collection:
            try:
                documents = len(collection)
            except Exception as exc:  # pymilvus raises its own hierarchy and gRPC errors
                raise RequestError(503, f"the database does not answer: {' '.join(str(exc).split())}") from None
            return _json({"status": "ok", "collection": collection.name, "documents": documents})


def _json(value: Any) -> bytes:
    # Writing the vectors' JSON with the standard library costs more than
    # encoding the texts; orjson takes a twentieth of that. Integer keys
    # (keys "ids") are written as strings, as JSON has them.
    return orjson.dumps(value, option=orjson.OPT_NON_STR_KEYS)


def _check_text(text: Any, what: str) -> str:
    if not isinstance(text, str):
        raise RequestError(400, f"{what} is not a string")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:  # a lone surrogate, which JSON's \\u escapes can make
        raise RequestError(400, f"{what} is not valid Unicode: it holds a lone surrogate") from None
    return text


def _read_texts(body: bytes, max_batch: int) -> Tuple[List[str], str]:
    """The texts and the key kind of an /encode request body."""
    try:
        request = json.loads(body)
    except (ValueError, RecursionError) as exc:  # undecodable bytes raise a ValueError too
        raise RequestError(400, f"the body is not valid JSON: {exc}") from None
    if not isinstance(request, dict) or "texts" not in request:
        raise RequestError(400, 'the body must be a JSON object {"texts": [...], "keys": "tokens" or "ids"}')
    unknown = sorted(set(request) - {"texts", "keys"})
    if unknown:
        raise RequestError(400, f"unknown field {unknown[0]!r}: a request has texts and keys")
    texts = request["texts"]
    if not isinstance(texts, list):
        raise RequestError(400, "texts must be a list of strings")
    if len(texts) > max_batch:
        raise RequestError(413, f"a request holds at most {max_batch} texts, not {len(texts)}")
    for number, text in enumerate(texts):
        _check_text(text, f"texts[{number}]")
    keys = request.get("keys", "tokens")
    if not isinstance(keys, str) or keys not in _KEYS:
        raise RequestError(400, f'keys must be "tokens" or "ids", not {json.dumps(keys, ensure_ascii=False)}')
    return texts, keys


async def _read_body(request: Request, limit: int) -> bytes:
    declared = request.headers.get("content-length", "")
    if declared.isdigit() and int(declared) > limit:
        raise RequestError(413, f"the request body is over the limit of {limit} bytes")
    body = bytearray()
    async for chunk in request.stream():  # counted as it comes: chunked bodies declare no length
        body += chunk
        if len(body) > limit:
            raise RequestError(413, f"the request body is over the limit of {limit} bytes")
    return bytes(body)


def _search_arguments(request: Request, max_top: int) -> Tuple[str, int]:
    query = request.query_params.get("q")
    if query is None or not query.strip():
        raise RequestError(400, "the query is missing: /search?q=...&top=10")
    _check_text(query, "the query")
    top_text = request.query_params.get("top", "10")
    try:
        top = int(top_text)
    except ValueError:
        raise RequestError(400, f"top must be a whole number, not {top_text!r}") from None
    if not 1 <= top <= max_top:
        raise RequestError(400, f"top must lie between 1 and {max_top}, not {top}")
    return query, top


def _page() -> Tuple[bytes, Dict[str, str]]:
    """The search page and its headers: the policy lets in only the page's own
    script and style and requests to this service."""
    with open(_PAGE, "rb") as stream:
        page = stream.read()

    def digests(tag: str) -> str:
        blocks = re.findall(rb"<%s>(.*?)</%s>" % (tag.encode(), tag.encode()), page, re.S)
        return " ".join("'sha256-%s'" % base64.b64encode(hashlib.sha256(b).digest()).decode() for b in blocks)

    policy = (f"default-src 'none'; script-src {digests('script')}; style-src {digests('style')}; "
              "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'self'; frame-ancestors 'none'")
    headers = {"Content-Security-Policy": policy, "X-Content-Type-Options": "nosniff",
               "Referrer-Policy": "no-referrer"}
    return page, headers


def _error(status: int, message: str, headers: Optional[Dict[str, str]] = None) -> Response:
    return Response(_json({"error": message}), status_code=status, media_type=_JSON, headers=headers)


async def _refused(_request: Request, exc: RequestError) -> Response:
    return _error(exc.status, exc.message)


async def _http_error(request: Request, exc: HTTPException) -> Response:
    path, headers = request.url.path, dict(exc.headers or {})
    if exc.status_code == 404:
        message = f"no such path: {path}"
    elif exc.status_code == 405:
        # The router lists the methods from a set: sorted, the answer is always the same.
        headers["Allow"] = ", ".join(sorted(m.strip() for m in headers.get("Allow", "").split(",") if m.strip()))
        message = f"{request.method} is not allowed on {path}: use {headers['Allow']}"
    else:
        message = str(exc.detail)
    return _error(exc.status_code, message, headers)


async def _unavailable(_request: Request, exc: Exception) -> Response:
    return _error(503, str(exc))


async def _internal(_request: Request, _exc: Exception) -> Response:
    # The traceback goes to the server's log, not to the client.
    return _error(500, "internal error")


def create_app(
    db: str,
    name: str = DEFAULT_COLLECTION,
    *,
    model_path: Optional[str] = None,
    jieba: Optional[Jieba] = None,
    threads: int = 0,
    limits: Optional[Limits] = None,
) -> Starlette:
    """The ASGI application serving collection *name* of the database *db*.

    Opens the collection at once (raising what ``TextCollection.open`` raises);
    *model_path* and *jieba* are passed on to it. Encoding and search run on a
    pool of *threads* threads (0: twice the number of cores); each thread that
    searches opens the collection for itself, since a ``TextCollection`` serves
    one thread at a time. The application closes them when its lifespan ends.
    """
    if threads < 0:
        raise ValueError("threads must not be negative")
    limits = limits or Limits()
    for field, value in zip(limits._fields, limits):
        if value < 1:
            raise ValueError(f"{field} must be at least 1, not {value}")
    page, page_headers = _page()
    collection = TextCollection.open(db, name, jieba=jieba, model_path=model_path)
    # A search waits on the database for much of its time: twice as many
    # threads as cores keep the cores busy.
    service = _Service(collection, threads or 2 * (os.cpu_count() or 1), limits)

    async def encode_documents(request: Request) -> Response:
        body = await _read_body(request, limits.max_body)
        return Response(await service.run(service.encode, body, False), media_type=_JSON)

    async def encode_queries(request: Request) -> Response:
        body = await _read_body(request, limits.max_body)
        return Response(await service.run(service.encode, body, True), media_type=_JSON)

    async def search(request: Request) -> Response:
        query, top = _search_arguments(request, limits.max_top)
        return Response(await service.run(service.search, query, top), media_type=_JSON)

    async def health(_request: Request) -> Response:
        return Response(await service.run(service.health), media_type=_JSON)

    async def search_page(_request: Request) -> Response:
        return Response(page, media_type="text/html; charset=utf-8", headers=page_headers)

    @contextlib.asynccontextmanager
    async def lifespan(_app: Starlette):
        try:
            yield
        finally:
            await asyncio.get_running_loop().run_in_executor(None, service.close)

    routes = [
        Route("/", search_page, methods=["GET"]),
        Route("/healthz", health, methods=["GET"]),
        Route("/search", search, methods=["GET"]),
        Route("/encode/documents", encode_documents, methods=["POST"]),
        Route("/encode/queries", encode_queries, methods=["POST"]),
    ]
    handlers = {
        RequestError: _refused,
        HTTPException: _http_error,
        DatabaseError: _unavailable,
        ModelMismatchError: _unavailable,
        CollectionNotFoundError: _unavailable,
        Exception: _internal,
    }
    app = Starlette(routes=routes, exception_handlers=handlers, lifespan=lifespan)
    app.state.close = service.close
    return app

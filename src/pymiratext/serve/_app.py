"""The ASGI application: checks requests, does the work on a thread pool and
answers in JSON.

Encoding and search run on the pool (the native encoder drops the interpreter
lock), so the event loop only reads requests and writes answers; the JSON of an
answer is written on the pool too. The application is a bare ASGI callable:
five fixed paths need no router, and a framework's request objects and
middleware cost a visible share of a short request.
"""

import asyncio
import base64
import contextlib
import gc
import hashlib
import ipaddress
import json
import logging
import os
import re
import threading
from concurrent.futures import ThreadPoolExecutor
from typing import (Any, Awaitable, Callable, Collection, Dict, FrozenSet, Iterable, Iterator, List, NamedTuple,
                    Optional, Sequence, Tuple)

import orjson
from starlette.datastructures import QueryParams

from .. import Jieba, id_vector
from ..milvus import DEFAULT_COLLECTION, CollectionNotFoundError, DatabaseError, ModelMismatchError, TextCollection

_FUSIONS = ("rrf", "weighted")

_PAGE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "page.html")
_JSON = b"application/json"
_KEYS = ("tokens", "ids")
_LOG = logging.getLogger("pymiratext.serve")
# Characters segmented on each side of a snippet, so that the words at its
# edges are cut as they are in the whole text.
_MARGIN = 16
# Windows tried per hit when plain text search finds no candidate (the
# query's words appear only folded: other case, width or script).
_SCAN_WINDOWS = 4
# An ASGI scope, and the body and headers of an answer.
Scope = Dict[str, Any]
Answer = Tuple[bytes, List[Tuple[bytes, bytes]]]


class Limits(NamedTuple):
    """What one request may ask for and how long a client may take.

    A larger body or batch is refused with status 413, a larger ``top`` with
    status 400. A connection that has not sent a whole request line and
    headers within ``header_timeout`` seconds, or the body within
    ``body_timeout`` seconds after them, is closed; so is a kept-alive
    connection idle for ``keep_alive`` seconds. Beyond ``max_connections``
    open connections a new one closes the longest idle connection that has
    no request under way, or, when all are busy, is answered with status 503.
    Each hit comes with a snippet of ``snippet`` characters around its first
    match; at most ``highlight_budget`` characters are segmented to find the
    matches of one search."""

    max_body: int = 4 << 20  # bytes of a request body
    max_batch: int = 1024  # texts of one /encode request
    max_top: int = 1000  # hits of one /search
    header_timeout: float = 10.0  # seconds
    body_timeout: float = 30.0  # seconds
    keep_alive: float = 5.0  # seconds
    max_connections: int = 1000
    snippet: int = 200  # characters
    highlight_budget: int = 100_000  # characters segmented per /search

    def checked(self) -> "Limits":
        for field, value in zip(self._fields, self):
            if field.endswith(("timeout", "alive")):
                if not value > 0:
                    raise ValueError(f"{field} must be above 0, not {value}")
            elif field == "highlight_budget":
                if value < 0:
                    raise ValueError(f"{field} must not be negative, not {value}")
            elif value < 1:
                raise ValueError(f"{field} must be at least 1, not {value}")
        return self


class RequestError(Exception):
    """A request the service refuses: the status and the message the client gets."""

    def __init__(self, status: int, message: str, headers: Sequence[Tuple[bytes, bytes]] = ()):
        super().__init__(message)
        self.status = status
        self.message = message
        self.headers = list(headers)


class SearchRequest(NamedTuple):
    """What one /search asks for: GET's parameters, or POST's JSON body,
    which alone may carry a dense vector and its fusion."""

    query: str
    top: int = 10
    whole: bool = True  # the full text of each hit, or its snippet alone
    filter: Optional[str] = None
    dense: Optional[List[float]] = None
    fusion: str = "rrf"
    rrf_k: int = 60
    weights: Optional[List[float]] = None


class _Disconnected(Exception):
    """The client went away before its request was read: nothing to answer."""


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


def snippet(encoder: Any, text: str, terms: Collection[str], needles: Iterable[str], length: int,
            allowance: int) -> Tuple[int, int, List[List[int]], int]:
    """A window of *text* of at most *length* characters around its first
    match: ``(start, end, spans, characters segmented)``, spans as
    ``match_spans`` gives them (indices into *text*), all inside the window.

    Plain text search for *needles* (the query's words as written and as
    indexed) finds where to look, so that only windows are segmented, never
    more than *allowance* characters in all. A text without a match found so
    gets its first *length* characters and no spans."""
    size = len(text)
    if size <= length:
        if size <= allowance:
            return 0, size, match_spans(encoder, text, terms), size
        return 0, size, [], 0
    needles = [needle for needle in needles if needle]
    used, at, scans = 0, 0, 0
    while at < size:
        found = [position for position in (text.find(needle, at) for needle in needles) if position >= 0]
        if found:
            start = max(0, min(found) - length // 4)
        elif scans < _SCAN_WINDOWS:
            start, scans = at, scans + 1
        else:
            break
        start = min(start, size - length)
        end = start + length
        low, high = max(0, start - _MARGIN), min(size, end + _MARGIN)
        if used + high - low > allowance:
            break
        used += high - low
        spans = [[low + a, low + b] for a, b in match_spans(encoder, text[low:high], terms)
                 if low + a >= start and low + b <= end]
        if spans:
            return start, end, spans, used
        at = max(end, at + 1)
    return 0, length, [], used


class _Service:
    """The shared encoder, the database connections and the work each endpoint
    does with them.

    One encoder (model, segmenter and folding table) serves every thread:
    encoding only reads it. A connection to the database serves one thread at
    a time, so threads that search at once get connections of their own.
    After a database failure the connections are opened afresh."""

    def __init__(self, collection: TextCollection, threads: int, limits: Limits):
        self.limits = limits
        self.encoder = collection.encoder
        self.db, self.name, self.model_path = collection.db, collection.name, collection.model_path
        self.scoring = collection.scoring
        self._idle = [(0, collection)]
        self._opened = [collection]
        self._generation = 0  # bumped by a failure: older connections are dropped
        self._lock = threading.Lock()
        self._pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="pymiratext-serve")

    def run(self, work: Callable[..., Any], *args: Any) -> Awaitable[Any]:
        return asyncio.get_running_loop().run_in_executor(self._pool, work, *args)

    def close(self) -> None:
        self._pool.shutdown(wait=True)
        with self._lock:
            opened, self._opened, self._idle = self._opened, [], []
        for collection in opened:
            _close_quietly(collection)

    def _open(self) -> TextCollection:
        _restart_lite_if_dead(self.db)
        return TextCollection.open(self.db, self.name, model_path=self.model_path, encoder=self.encoder)

    @contextlib.contextmanager
    def _collection(self) -> Iterator[TextCollection]:
        with self._lock:
            generation = self._generation
            stale = [c for g, c in self._idle if g != generation]
            fresh = [(g, c) for g, c in self._idle if g == generation]
            collection = fresh.pop()[1] if fresh else None
            self._idle = fresh
        for old in stale:
            self._forget(old)
        if collection is None:
            try:
                collection = self._open()
            except DatabaseError as exc:
                raise RequestError(503, f"the database does not answer: {exc}") from None
            with self._lock:
                self._opened.append(collection)
        failed = False
        try:
            yield collection
        except DatabaseError:
            failed = True
            raise
        finally:
            if failed:
                with self._lock:
                    if generation == self._generation:
                        self._generation += 1
                self._forget(collection)
            else:
                with self._lock:
                    self._idle.append((generation, collection))

    def _forget(self, collection: TextCollection) -> None:
        with self._lock:
            if collection in self._opened:
                self._opened.remove(collection)
        _close_quietly(collection)

    def check_can_encode(self) -> None:
        # The engine weighs terms with the statistics it keeps itself: there is
        # no model here whose weights a client could index or query with.
        if self.scoring == "engine":
            raise RequestError(409, f"the collection {self.name!r} is scored by the engine and has no model to "
                               "encode with: /search works; a collection indexed with --scoring vectors has one")

    def encode(self, body: bytes, query: bool) -> bytes:
        texts, keys = _read_texts(body, self.limits.max_batch)
        encode = self.encoder.encode_queries if query else self.encoder.encode_documents
        # One native thread per request: the pool already spreads requests over the cores.
        vectors = encode(texts, threads=1)
        if keys == "ids":
            vectors = [id_vector(vector) for vector in vectors]
        return _json({"vectors": vectors})

    def search(self, request: SearchRequest) -> bytes:
        query, whole = request.query, request.whole
        tokens = self.encoder.tokenize(query)
        terms = list(dict.fromkeys(term for term, _start, _end in tokens))
        hybrid = request.dense is not None
        with self._collection() as collection:
            try:
                hits = collection.search(query, top=request.top, filter=request.filter, dense=request.dense,
                                         fusion=request.fusion, rrf_k=request.rrf_k, weights=request.weights)
            except ValueError as exc:  # arguments the collection refuses (no dense field, a wrong size)
                raise RequestError(400, str(exc)) from None
            except DatabaseError as exc:
                if request.filter is None:
                    raise
                # The engine refuses a filter it cannot parse as it refuses any
                # call; if it answers a plain count, the filter was at fault.
                len(collection)
                reason = str(exc).split(": ", 1)[-1]
                raise RequestError(400, f"the filter is not valid: {reason}") from None
        wanted = set(terms)
        needles = sorted(wanted | {query[start:end] for _term, start, end in tokens}, key=len, reverse=True)
        budget, length, answers = self.limits.highlight_budget, self.limits.snippet, []
        for hit in hits:
            answer: Dict[str, Any] = {"id": hit.id, "score": hit.score, "text": hit.text,
                                      "metadata": hit.metadata or {}, "spans": [], "snippet": None, "length": None}
            if hybrid:
                answer["found_by"] = list(hit.found_by)
            if hit.text is not None:
                start, end, spans, used = snippet(self.encoder, hit.text, wanted, needles, length, budget)
                budget -= used
                answer["spans"], answer["snippet"], answer["length"] = spans, [start, end], len(hit.text)
                if not whole:
                    answer["text"] = hit.text[start:end]
            answers.append(answer)
        return _json({"terms": terms, "hits": answers})

    def health(self) -> bytes:
        try:
            with self._collection() as collection:
                documents = len(collection)
        except DatabaseError as exc:
            raise RequestError(503, f"the database does not answer: {' '.join(str(exc).split())}") from None
        return _json({"status": "ok", "collection": self.name, "documents": documents})


def _close_quietly(collection: TextCollection) -> None:
    try:
        collection.close()
    except Exception:  # noqa: BLE001 - a dead database's client may fail to say goodbye
        pass


def _restart_lite_if_dead(db: str) -> None:
    """Lets Milvus Lite start its engine again when the one it started for
    *db* has exited: its client would otherwise keep dialing the dead one."""
    try:
        from milvus_lite.server_manager import server_manager_instance
    except ImportError:
        return
    path = os.path.realpath(db)
    server = getattr(server_manager_instance, "_servers", {}).get(path)
    process = getattr(server, "_p", None)
    if process is not None and process.poll() is not None:
        server_manager_instance.release_server(path)
        gc.collect()  # the dead engine's clients hold its socket


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


def _header(scope: Scope, name: bytes) -> Optional[bytes]:
    for key, value in scope["headers"]:
        if key == name:
            return value
    return None


async def _read_body(scope: Scope, receive: Callable[[], Awaitable[Dict[str, Any]]], limit: int) -> bytes:
    declared = (_header(scope, b"content-length") or b"").decode("latin-1")
    over = f"the request body is over the limit of {limit} bytes"
    if declared.isdigit() and int(declared) > limit:
        raise RequestError(413, over)
    body = bytearray()
    while True:  # counted as it comes: chunked bodies declare no length
        message = await receive()
        if message["type"] == "http.disconnect":
            raise _Disconnected
        body += message.get("body", b"")
        if len(body) > limit:
            raise RequestError(413, over)
        if not message.get("more_body", False):
            return bytes(body)


def _check_json_type(scope: Scope) -> None:
    # Pages of other sites may POST text/plain or forms without asking the
    # browser's leave first; a JSON body they cannot send that way.
    value = (_header(scope, b"content-type") or b"").decode("latin-1")
    if value.split(";", 1)[0].strip().lower() != "application/json":
        shown = f"not {value!r}" if value else "none was given"
        raise RequestError(415, f"the body must be sent with Content-Type: application/json ({shown})")


def _check_top(top: int, max_top: int) -> int:
    if not 1 <= top <= max_top:
        raise RequestError(400, f"top must lie between 1 and {max_top}, not {top}")
    return top


def _check_filter(value: Any) -> Optional[str]:
    # A blank filter (an empty field of the page's form) filters nothing.
    if value is None:
        return None
    return _check_text(value, "the filter").strip() or None


def _check_whole(text: Any) -> bool:
    if text not in ("full", "snippet"):
        raise RequestError(400, f'text must be "full" or "snippet", not {json.dumps(text, ensure_ascii=False)}')
    return text == "full"


def _search_arguments(query_string: bytes, max_top: int) -> SearchRequest:
    params = QueryParams(query_string.decode("latin-1"))
    query = params.get("q")
    if query is None or not query.strip():
        raise RequestError(400, "the query is missing: /search?q=...&top=10")
    _check_text(query, "the query")
    top_text = params.get("top", "10")
    try:
        top = int(top_text)
    except ValueError:
        raise RequestError(400, f"top must be a whole number, not {top_text!r}") from None
    return SearchRequest(query, _check_top(top, max_top), _check_whole(params.get("text", "full")),
                         _check_filter(params.get("filter")))


_SEARCH_FIELDS = ("q", "top", "text", "filter", "dense", "fusion", "rrf_k", "weights")


def _is_integer(value: Any) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def _numbers(value: Any, what: str) -> List[float]:
    if not isinstance(value, list) or not all(
            isinstance(x, (int, float)) and not isinstance(x, bool) for x in value):
        raise RequestError(400, f"{what} must be a list of numbers")
    return [float(x) for x in value]


def _search_body(body: bytes, max_top: int) -> SearchRequest:
    """The search a POST /search body asks for."""
    try:
        request = json.loads(body)
    except (ValueError, RecursionError) as exc:
        raise RequestError(400, f"the body is not valid JSON: {exc}") from None
    if not isinstance(request, dict) or "q" not in request:
        raise RequestError(400, 'the body must be a JSON object {"q": ..., "top": 10, "filter": ..., "dense": [...]}')
    unknown = sorted(set(request) - set(_SEARCH_FIELDS))
    if unknown:
        raise RequestError(400, f"unknown field {unknown[0]!r}: a search has {', '.join(_SEARCH_FIELDS)}")
    dense = request.get("dense")
    if dense is not None:
        dense = _numbers(dense, "dense")
    query = _check_text(request["q"], "q")
    if not query.strip() and dense is None:  # a dense vector alone may search
        raise RequestError(400, 'the query is missing: {"q": "..."}')
    top = request.get("top", 10)
    if not _is_integer(top):
        raise RequestError(400, f"top must be a whole number, not {json.dumps(top, ensure_ascii=False)}")
    fusion, rrf_k, weights = request.get("fusion", "rrf"), request.get("rrf_k", 60), request.get("weights")
    if fusion not in _FUSIONS:
        raise RequestError(400, f'fusion must be "rrf" or "weighted", not {json.dumps(fusion, ensure_ascii=False)}')
    if not _is_integer(rrf_k):
        raise RequestError(400, f"rrf_k must be a whole number, not {json.dumps(rrf_k, ensure_ascii=False)}")
    if weights is not None:
        weights = _numbers(weights, "weights")
    if dense is None and ("fusion" in request or "rrf_k" in request or weights is not None):
        raise RequestError(400, "fusion, rrf_k and weights apply to a hybrid search: give dense too")
    return SearchRequest(query, _check_top(top, max_top), _check_whole(request.get("text", "full")),
                         _check_filter(request.get("filter")), dense, fusion, rrf_k, weights)


def _host_name(value: str) -> str:
    """The name or address of a Host header, without its port or brackets, in
    lower case; an address in its canonical form (IPv4 for an IPv4-mapped one)."""
    value = value.strip().lower()
    if value.startswith("["):
        value = value[1:].split("]", 1)[0]
    elif value.count(":") == 1:
        value = value.rsplit(":", 1)[0]
    try:
        address = ipaddress.ip_address(value)
    except ValueError:
        return value
    mapped = getattr(address, "ipv4_mapped", None)
    return str(mapped or address)


def _is_loopback(name: str) -> bool:
    if name == "localhost" or name.endswith(".localhost"):  # names that resolve to loopback alone
        return True
    try:
        return ipaddress.ip_address(name).is_loopback
    except ValueError:
        return False


def _check_host(scope: Scope, allowed: FrozenSet[str]) -> None:
    # A page of another site reaches a service on loopback through a name of
    # its own that it points at 127.0.0.1 (DNS rebinding); the Host header
    # still carries that name.
    raw = _header(scope, b"host")
    if raw is None:
        raise RequestError(400, "the request has no Host header")
    name = _host_name(raw.decode("latin-1"))
    if "*" in allowed or name in allowed or _is_loopback(name):
        return
    server = scope.get("server")
    if server and _host_name(str(server[0])) == name:  # the address the client connected to
        return
    raise RequestError(421, f"the host {name!r} is not served here (--allow-host adds names)")


def _page() -> Tuple[bytes, List[Tuple[bytes, bytes]]]:
    """The search page and its headers: the policy lets in only the page's own
    script and style and requests to this service."""
    with open(_PAGE, "rb") as stream:
        page = stream.read()

    def digests(tag: str) -> str:
        blocks = re.findall(rb"<%s>(.*?)</%s>" % (tag.encode(), tag.encode()), page, re.S)
        return " ".join("'sha256-%s'" % base64.b64encode(hashlib.sha256(b).digest()).decode() for b in blocks)

    policy = (f"default-src 'none'; script-src {digests('script')}; style-src {digests('style')}; "
              "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'self'; frame-ancestors 'none'")
    headers = [(b"content-type", b"text/html; charset=utf-8"), (b"content-security-policy", policy.encode()),
               (b"x-content-type-options", b"nosniff"), (b"referrer-policy", b"no-referrer")]
    return page, headers


_UNAVAILABLE = (DatabaseError, ModelMismatchError, CollectionNotFoundError)
_JSON_HEADERS = [(b"content-type", _JSON)]


class Application:
    """The ASGI application (see ``create_app``). ``close()`` ends its work
    and closes its connections; its lifespan does that too."""

    def __init__(self, service: _Service, page: bytes, page_headers: List[Tuple[bytes, bytes]],
                 allowed_hosts: FrozenSet[str]):
        self._service = service
        self._limits = service.limits
        self._page, self._page_headers = page, page_headers
        self._allowed = allowed_hosts
        get, post, both = ("GET", "HEAD"), ("POST",), ("GET", "HEAD", "POST")
        self._routes: Dict[str, Tuple[Tuple[str, ...], Callable[..., Awaitable[Answer]]]] = {
            "/": (get, self._search_page),
            "/healthz": (get, self._health),
            "/search": (both, self._search),
            "/encode/documents": (post, self._encode_documents),
            "/encode/queries": (post, self._encode_queries),
        }

    def close(self) -> None:
        self._service.close()

    async def __call__(self, scope: Scope, receive: Any, send: Any) -> None:
        if scope["type"] == "lifespan":
            await self._lifespan(receive, send)
            return
        if scope["type"] != "http":
            return
        status, headers = 200, _JSON_HEADERS
        try:
            body, headers = await self._answer(scope, receive)
        except _Disconnected:
            return
        except RequestError as exc:
            status, body, headers = exc.status, _json({"error": exc.message}), _JSON_HEADERS + exc.headers
        except _UNAVAILABLE as exc:
            status, body = 503, _json({"error": str(exc)})
        except Exception:  # noqa: BLE001 - the traceback goes to the log, not to the client
            _LOG.exception("internal error answering %s %s", scope.get("method"), scope.get("path"))
            status, body = 500, _json({"error": "internal error"})
        await send({"type": "http.response.start", "status": status,
                    "headers": headers + [(b"content-length", str(len(body)).encode())]})
        await send({"type": "http.response.body", "body": b"" if scope["method"] == "HEAD" else body})

    async def _answer(self, scope: Scope, receive: Any) -> Answer:
        _check_host(scope, self._allowed)
        path, method = scope["path"], scope["method"]
        route = self._routes.get(path)
        if route is None:
            raise RequestError(404, f"no such path: {path}")
        methods, handler = route
        if method not in methods:
            allow = ", ".join(methods)
            raise RequestError(405, f"{method} is not allowed on {path}: use {allow}", [(b"allow", allow.encode())])
        return await handler(scope, receive)

    async def _search_page(self, _scope: Scope, _receive: Any) -> Answer:
        return self._page, self._page_headers

    async def _health(self, _scope: Scope, _receive: Any) -> Answer:
        return await self._service.run(self._service.health), _JSON_HEADERS

    async def _search(self, scope: Scope, receive: Any) -> Answer:
        if scope["method"] == "POST":
            _check_json_type(scope)
            body = await _read_body(scope, receive, self._limits.max_body)
            request = _search_body(body, self._limits.max_top)
        else:
            request = _search_arguments(scope["query_string"], self._limits.max_top)
        return await self._service.run(self._service.search, request), _JSON_HEADERS

    async def _encode(self, scope: Scope, receive: Any, query: bool) -> Answer:
        self._service.check_can_encode()
        _check_json_type(scope)
        body = await _read_body(scope, receive, self._limits.max_body)
        return await self._service.run(self._service.encode, body, query), _JSON_HEADERS

    async def _encode_documents(self, scope: Scope, receive: Any) -> Answer:
        return await self._encode(scope, receive, False)

    async def _encode_queries(self, scope: Scope, receive: Any) -> Answer:
        return await self._encode(scope, receive, True)

    async def _lifespan(self, receive: Any, send: Any) -> None:
        while True:
            message = await receive()
            if message["type"] == "lifespan.startup":
                await send({"type": "lifespan.startup.complete"})
            elif message["type"] == "lifespan.shutdown":
                await asyncio.get_running_loop().run_in_executor(None, self.close)
                await send({"type": "lifespan.shutdown.complete"})
                return


def create_app(
    db: str,
    name: str = DEFAULT_COLLECTION,
    *,
    model_path: Optional[str] = None,
    jieba: Optional[Jieba] = None,
    threads: int = 0,
    limits: Optional[Limits] = None,
    allow_hosts: Iterable[str] = (),
) -> Application:
    """The ASGI application serving collection *name* of the database *db*.

    Opens the collection at once (raising what ``TextCollection.open`` raises);
    *model_path* and *jieba* are passed on to it. Encoding and search run on a
    pool of *threads* threads (0: twice the number of cores), which share the
    collection's encoder; each thread that searches opens a connection of its
    own, since a ``TextCollection`` serves one thread at a time. The
    application closes them when its lifespan ends.

    Requests must name in their Host header the address they were sent to,
    ``localhost`` or a loopback address, or one of *allow_hosts* (``"*"``:
    any); ``POST`` bodies must be sent as ``application/json``.
    """
    if threads < 0:
        raise ValueError("threads must not be negative")
    limits = (limits or Limits()).checked()
    allowed = frozenset(_host_name(host) for host in allow_hosts)
    page, page_headers = _page()
    collection = TextCollection.open(db, name, jieba=jieba, model_path=model_path)
    # A search waits on the database for much of its time: twice as many
    # threads as cores keep the cores busy.
    service = _Service(collection, threads or 2 * (os.cpu_count() or 1), limits)
    return Application(service, page, page_headers, allowed)

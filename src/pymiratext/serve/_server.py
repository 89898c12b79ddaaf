"""Serving the application with uvicorn until SIGINT or SIGTERM, with
deadlines for slow clients and a cap on open connections."""

import logging
import signal
import socket
import threading
from collections import OrderedDict
from typing import Any, Callable, Iterable, Optional

import uvicorn
from uvicorn.protocols.http.httptools_impl import HttpToolsProtocol

from .. import Jieba
from ..milvus import DEFAULT_COLLECTION
from ._app import Limits, create_app

# Descriptors kept for what is not a client connection: the database's
# client, the model and log files, the listening socket, the worker threads'.
_RESERVED_DESCRIPTORS = 100


class _Stop(Exception):
    pass


def _stop(_signum, _frame) -> None:
    raise _Stop


def _listen(host: str, port: int) -> socket.socket:
    """A socket listening on *host*:*port* (0: a free port)."""
    try:
        family, kind, proto, _name, address = socket.getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
        sock = socket.socket(family, kind, proto)
    except OSError as exc:
        raise OSError(exc.errno, f"cannot listen on {host} port {port}: {exc.strerror or exc}") from None
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        # Listening before the collection loads: early connections wait in the backlog.
        sock.listen(2048)
    except OSError as exc:
        sock.close()
        raise OSError(exc.errno, f"cannot listen on {host} port {port}: {exc.strerror or exc}") from None
    return sock


def url_of(host: str, port: int) -> str:
    return f"http://[{host}]:{port}" if ":" in host else f"http://{host}:{port}"


def connection_cap(wanted: int) -> int:
    """The connections that may be open at once: *wanted*, within the
    descriptors this process may open, whose soft limit is first raised to
    the hard one."""
    try:
        import resource
    except ImportError:  # pragma: no cover - not a POSIX system
        return wanted
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and (hard == resource.RLIM_INFINITY or soft < hard):
        try:
            resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
            soft = hard
        except (ValueError, OSError):
            pass
    if soft == resource.RLIM_INFINITY:
        return wanted
    return max(1, min(wanted, soft - _RESERVED_DESCRIPTORS))


def _plain_answer(status: str, message: str) -> bytes:
    body = ('{"error":"%s"}' % message).encode()
    return (f"HTTP/1.1 {status}\r\ncontent-type: application/json\r\ncontent-length: {len(body)}\r\n"
            "connection: close\r\n\r\n").encode() + body


def guarded_protocol(limits: Limits, cap: int) -> type:
    """uvicorn's HTTP protocol with deadlines for a request's headers and
    body and at most *cap* open connections."""
    # Connections with no request under way, longest idle first: at the cap,
    # the first of them makes room for a new connection.
    idle: "OrderedDict[Any, None]" = OrderedDict()
    busy = _plain_answer("503 Service Unavailable",
                         f"the service has {cap} connections open, all busy: try again later")
    late = _plain_answer("408 Request Timeout",
                         f"the request line and headers did not come within {limits.header_timeout:g} s")

    class Protocol(HttpToolsProtocol):
        _timer = None
        _refused = False

        def connection_made(self, transport: Any) -> None:
            if len(self.connections) >= cap:
                if idle:
                    oldest, _ = idle.popitem(last=False)
                    oldest.transport.close()
                else:
                    self.transport, self._refused = transport, True
                    transport.write(busy)
                    # Closing with the request unread would reset the connection
                    # and could lose the answer: the request is read and dropped
                    # until the client closes, for a second at most.
                    transport.write_eof()
                    self.loop.call_later(1.0, transport.close)
                    return
            super().connection_made(transport)
            idle[self] = None
            self._arm(limits.header_timeout, True)

        def connection_lost(self, exc: Optional[Exception]) -> None:
            if self._refused:
                return
            self._disarm()
            idle.pop(self, None)
            super().connection_lost(exc)

        def data_received(self, data: bytes) -> None:
            if not self._refused:
                super().data_received(data)

        def on_message_begin(self) -> None:
            # The first byte of a request; the first request's time runs
            # from the connection, which may not wait to send it.
            if self._timer is None:
                self._arm(limits.header_timeout, True)
            super().on_message_begin()

        def on_headers_complete(self) -> None:
            idle.pop(self, None)
            self._arm(limits.body_timeout, False)
            super().on_headers_complete()

        def on_message_complete(self) -> None:
            self._disarm()
            super().on_message_complete()

        def on_response_complete(self) -> None:
            waiting = bool(self.pipeline)
            super().on_response_complete()
            if not waiting and not self.transport.is_closing():
                idle[self] = None
                idle.move_to_end(self)

        def _arm(self, seconds: float, headers: bool) -> None:
            self._disarm()
            self._timer = self.loop.call_later(seconds, self._expire, headers)

        def _disarm(self) -> None:
            if self._timer is not None:
                self._timer.cancel()
                self._timer = None

        def _expire(self, headers: bool) -> None:
            self._timer = None
            idle.pop(self, None)
            if self.transport.is_closing():
                return
            if headers and (self.cycle is None or self.cycle.response_complete):
                self.transport.write(late)
            self.transport.close()  # a body that is late: the request's task sees the client gone

    return Protocol


def run(
    db: str,
    name: str = DEFAULT_COLLECTION,
    *,
    model_path: Optional[str] = None,
    jieba: Optional[Jieba] = None,
    host: str = "127.0.0.1",
    port: int = 8000,
    threads: int = 0,
    limits: Optional[Limits] = None,
    allow_hosts: Iterable[str] = (),
    ready: Optional[Callable[[str], None]] = None,
    access_log: bool = False,
    log_level: str = "warning",
) -> None:
    """Serves collection *name* of *db* on *host*:*port* until SIGINT or SIGTERM,
    then finishes the requests under way and closes the collection.

    *ready* is called with the service's URL (with the port chosen when *port*
    is 0) once the collection is open; *access_log* logs every request on
    standard output (off by default: it costs a tenth of a search and records
    the queries); *log_level* ``"info"`` lets uvicorn say when it starts and
    stops. Other arguments as for ``create_app``; ``Limits`` holds the
    deadlines and the cap on connections.
    """
    limits = (limits or Limits()).checked()
    cap = connection_cap(limits.max_connections)
    sock = _listen(host, port)
    try:
        app = create_app(db, name, model_path=model_path, jieba=jieba, threads=threads, limits=limits,
                         allow_hosts=allow_hosts)
        try:
            port = sock.getsockname()[1]
            config = uvicorn.Config(app, host=host, port=port, log_level=log_level, access_log=access_log,
                                    lifespan="on", http=guarded_protocol(limits, cap), ws="none",
                                    timeout_keep_alive=limits.keep_alive, timeout_graceful_shutdown=10)
            if access_log:  # its lines are logged at level info
                logging.getLogger("uvicorn.access").setLevel(logging.INFO)
            if logging.getLogger("uvicorn.error").getEffectiveLevel() > logging.INFO:
                # The database client logs each failed call with its traceback;
                # the client that asked gets the reason in its 503 answer.
                logging.getLogger("pymilvus").setLevel(logging.CRITICAL)
            server = uvicorn.Server(config)
            if ready is not None:
                ready(url_of(host, port))
            _serve(server, sock)
        finally:
            app.close()  # in case the lifespan did not run to its end
    finally:
        sock.close()


def _serve(server: "uvicorn.Server", sock: socket.socket) -> None:
    # uvicorn stops on SIGINT and SIGTERM, then raises the signal again for the
    # handler in place before it: these handlers end the run as a normal stop.
    main = threading.current_thread() is threading.main_thread()
    previous = signal.signal(signal.SIGTERM, _stop) if main else None
    try:
        server.run(sockets=[sock])
    except (KeyboardInterrupt, _Stop):
        pass
    finally:
        if main:
            signal.signal(signal.SIGTERM, previous)

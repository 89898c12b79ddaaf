"""Serving the application with uvicorn until SIGINT or SIGTERM."""

import signal
import socket
import threading
from typing import Callable, Optional

import uvicorn

from .. import Jieba
from ..milvus import DEFAULT_COLLECTION
from ._app import Limits, create_app


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
    ready: Optional[Callable[[str], None]] = None,
    access_log: bool = False,
    log_level: str = "info",
) -> None:
    """Serves collection *name* of *db* on *host*:*port* until SIGINT or SIGTERM,
    then finishes the requests under way and closes the collection.

    *ready* is called with the service's URL (with the port chosen when *port*
    is 0) once the collection is open; *access_log* logs every request on
    standard output (off by default: it costs a tenth of a search and records
    the queries). Other arguments as for ``create_app``.
    """
    sock = _listen(host, port)
    try:
        app = create_app(db, name, model_path=model_path, jieba=jieba, threads=threads, limits=limits)
        try:
            port = sock.getsockname()[1]
            config = uvicorn.Config(app, host=host, port=port, log_level=log_level, access_log=access_log,
                                    lifespan="on",
                                    timeout_graceful_shutdown=10)
            server = uvicorn.Server(config)
            if ready is not None:
                ready(url_of(host, port))
            _serve(server, sock)
        finally:
            app.state.close()  # in case the lifespan did not run to its end
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

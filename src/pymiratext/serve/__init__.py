"""An HTTP service over a collection: encoding, search and a search page.

Needs the ``serve`` extra (``pip install "pymiratext[serve]"``: Starlette,
uvicorn with httptools and uvloop, and orjson) besides the ``milvus``
extra. The command ``pymiratext serve`` runs it; from Python::

    from pymiratext.serve import Limits, create_app, run

    app = create_app("news.db", "news")          # an ASGI application
    run("news.db", "news", port=8000,            # serves until interrupted
        limits=Limits(header_timeout=5))

Endpoints: ``POST /encode/documents`` and ``POST /encode/queries`` (vectors
encoded as the collection's documents and queries are), ``GET /search``,
``GET /healthz`` and ``GET /``, a search page. Errors come back as JSON
``{"error": message}`` with their status.
"""

try:
    import httptools  # noqa: F401
    import orjson  # noqa: F401
    import starlette  # noqa: F401
    import uvicorn  # noqa: F401
except ImportError as exc:  # pragma: no cover - exercised by the command-line tests
    raise ImportError(
        "the HTTP service needs the 'serve' extra: pip install \"pymiratext[serve]\""
    ) from exc

from ._app import Application, Limits, create_app, match_spans, snippet
from ._server import run

__all__ = ["Application", "Limits", "create_app", "match_spans", "run", "snippet"]

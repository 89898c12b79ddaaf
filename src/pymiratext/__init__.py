"""Chinese word segmentation and BM25 sparse vectors for keyword retrieval."""

from ._data import default_paths
from ._version import __version__
from .pymiratext import BM25, Jieba, TextEncoder, id_vector, token_id

__all__ = ["BM25", "Jieba", "TextEncoder", "default_paths", "id_vector", "token_id"]


def _check_extension() -> None:
    """Raises ImportError when the compiled extension comes from another version.

    A stale extension (left by an interrupted upgrade, or built in place from
    an older checkout) would otherwise run old native code under this Python code.
    """
    from . import pymiratext as native

    found = getattr(native, "__version__", None)
    if found != __version__:
        raise ImportError(
            f"pymiratext {__version__} cannot use its compiled extension {native.__file__}, "
            f"which is version {found or 'unknown'}; reinstall pymiratext so that both come "
            "from one build",
            name=__name__ + ".pymiratext",
            path=native.__file__,
        )


_check_extension()
del _check_extension

"""Chinese word segmentation and BM25 sparse vectors for keyword retrieval."""

from .pymiratext import BM25

__all__ = ["BM25"]

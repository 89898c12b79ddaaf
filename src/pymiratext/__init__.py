"""Chinese word segmentation and BM25 sparse vectors for keyword retrieval."""

from .pymiratext import BM25, Jieba

__all__ = ["BM25", "Jieba"]

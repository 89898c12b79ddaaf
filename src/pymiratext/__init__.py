"""Chinese word segmentation and BM25 sparse vectors for keyword retrieval."""

from ._data import default_paths
from .pymiratext import BM25, Jieba, TextEncoder, id_vector, token_id

__all__ = ["BM25", "Jieba", "TextEncoder", "default_paths", "id_vector", "token_id"]

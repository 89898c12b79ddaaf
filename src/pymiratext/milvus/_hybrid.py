"""Hybrid search: a dense vector field beside the sparse one, the two rankings
fused by Milvus (reciprocal-rank fusion or weighted scores).

The dense field is optional and fixed at creation; its size and metric are
kept in the collection's record. Vectors come with ``add``, one per text or
from a callable that embeds each batch of texts; the collection never embeds
by itself.
"""

import math
from typing import Any, Callable, Dict, List, NamedTuple, Optional, Sequence, Tuple

from ._database import _MAX_LIMIT, _SEARCH_PARAMS, _TIE_MARGIN, load_client

DENSE_FIELD = "dense"
_ENGINE_PARAMS = {"metric_type": "BM25"}
_METRICS = {"cosine": "COSINE", "ip": "IP"}
_FUSIONS = ("rrf", "weighted")
# Milvus takes an RRF constant in (0, 16384).
_MAX_RRF_K = 16384


class HybridHit(NamedTuple):
    """One result of a hybrid search: the document id, its fused score, its
    text (None if not stored), its metadata (a dict; empty for none) and the
    sides that ranked it: ``("sparse",)``, ``("dense",)`` or ``("sparse", "dense")``."""

    id: int
    score: float
    text: Optional[str]
    metadata: Dict[str, Any]
    found_by: Tuple[str, ...]


def dense_record(dimension: Optional[int], metric: str) -> Dict[str, Any]:
    """The collection record's entry for a dense field (none without *dimension*)."""
    if dimension is None:
        return {}
    if isinstance(dimension, bool) or not isinstance(dimension, int) or not 2 <= dimension <= 32768:
        raise ValueError(f"dense_dimension must be an integer from 2 to 32,768, not {dimension!r}")
    if not isinstance(metric, str) or metric.lower() not in _METRICS:
        raise ValueError(f"dense_metric must be 'cosine' or 'ip', not {metric!r}")
    return {"dense": {"dimension": dimension, "metric": _METRICS[metric.lower()]}}


def add_dense_field(schema: Any, index: Any, meta: Dict[str, Any]) -> None:
    """Adds the dense field the record names, if any, with an exact (flat) index."""
    dense_field = meta.get("dense")
    if not dense_field:
        return
    schema.add_field(DENSE_FIELD, load_client().DataType.FLOAT_VECTOR, dim=dense_field["dimension"])
    index.add_index(field_name=DENSE_FIELD, index_type="FLAT", metric_type=dense_field["metric"])


def _vectors(values: Any, count: Optional[int], dimension: int, what: str) -> Any:
    """*values* as a float32 matrix of *count* rows (any number if None) of *dimension* columns."""
    numpy = load_client().numpy
    try:
        matrix = numpy.asarray(values, dtype=numpy.float32)
    except (TypeError, ValueError):
        raise ValueError(f"{what} must be numbers, one row of {dimension} a text") from None
    if matrix.ndim != 2 or matrix.shape[1] != dimension or (count is not None and matrix.shape[0] != count):
        rows = "" if count in (None, 1) else f", {count} rows"
        raise ValueError(f"{what} must have {dimension} numbers a row{rows}, not the shape {matrix.shape}")
    if not numpy.isfinite(matrix).all():
        raise ValueError(f"{what} hold a value that is not a finite number")
    return matrix


class DenseRows:
    """The dense vectors of one ``add``: rows of a given matrix in turn, or a
    callable's answer for each batch (called once a batch, with the texts kept)."""

    def __init__(self, dense: Any, meta: Dict[str, Any], name: str, total: Optional[int]):
        dense_field = meta.get("dense")
        if not dense_field:
            raise ValueError(f"the collection {name!r} has no dense field: create it with dense_dimension=... "
                             "to add dense vectors")
        self.dimension = dense_field["dimension"]
        self.embed: Optional[Callable[[List[str]], Any]] = dense if callable(dense) else None
        self._matrix = None if self.embed else _vectors(dense, total, self.dimension, "the dense vectors")
        self._next = 0

    def take(self, texts: Sequence[str], keep: Sequence[int]) -> Any:
        """The vectors of texts[i] for i in *keep*, the next len(texts) of the matrix."""
        if self.embed is not None:
            if not keep:
                return None
            return _vectors(self.embed([texts[i] for i in keep]), len(keep), self.dimension,
                            "the embedding callable's vectors")
        start, self._next = self._next, self._next + len(texts)
        if self._next > len(self._matrix):
            raise ValueError(f"{len(self._matrix)} dense vectors for more texts")
        return self._matrix[[start + i for i in keep]]

    def finish(self) -> None:
        if self._matrix is not None and self._next != len(self._matrix):
            raise ValueError(f"{len(self._matrix)} dense vectors for {self._next} texts")


def missing_dense(name: str) -> ValueError:
    return ValueError(f"the collection {name!r} has a dense field: add needs dense=... (one vector a "
                      "text, or a callable embedding a list of texts)")


def attach(rows: List[Dict[str, Any]], ids: List[int], vectors: Any) -> None:
    """Gives each engine row its document's vector (every part of a long document has it)."""
    by_id = dict(zip(ids, vectors.tolist()))
    for row in rows:
        row[DENSE_FIELD] = by_id[row["id"]]


def row_matrix(rows: List[Dict[str, Any]]) -> Any:
    """The dense vectors that ``attach`` gave *rows*, as one float32 matrix."""
    numpy = load_client().numpy
    return numpy.asarray([row[DENSE_FIELD] for row in rows], dtype=numpy.float32)


def search(collection: Any, query: str, data: Any, top: int, dense: Any, fusion: str, rrf_k: int,
           weights: Optional[Sequence[float]], expression: Optional[str]) -> List[HybridHit]:
    """The *top* documents by the fusion of the sparse ranking for *data* (the
    query's terms, or its vector) and the dense ranking for *dense*; each side
    contributes its best top + 16 candidates."""
    dense_field = collection._meta.get("dense")
    if not dense_field:
        raise ValueError(f"the collection {collection.name!r} has no dense field: a dense query needs one "
                         "(create the collection with dense_dimension=...)")
    if dense is True:
        if collection.embed is None:
            raise ValueError("dense=True embeds the query with the callable given to add(dense=...) or "
                             "set as collection.embed; this collection has none")
        dense = _vectors(collection.embed([query]), 1, dense_field["dimension"], "the embedding callable's vector")[0]
    else:
        dense = _vectors([dense], 1, dense_field["dimension"], "the dense query")[0]
    ranker, weights = _ranker(fusion, rrf_k, weights, bool(data))
    engine = collection.scoring == "engine"
    if engine and fusion == "weighted":
        # Milvus Lite 2.5 weights engine BM25 scores out of their own order (the
        # best keyword match can weigh least), which would be a wrong ranking.
        raise ValueError("weighted fusion is not available for engine-scored collections: use fusion='rrf', "
                         "or a collection made with scoring='vectors'")
    library = load_client()
    from pymilvus import AnnSearchRequest

    limit = min(top + _TIE_MARGIN, _MAX_LIMIT)
    requests = [AnnSearchRequest([dense.tolist()], DENSE_FIELD, {"metric_type": dense_field["metric"]}, limit,
                                 expr=expression)]
    if data:
        requests.insert(0, AnnSearchRequest([data], "vector", _ENGINE_PARAMS if engine else _SEARCH_PARAMS, limit,
                                            expr=expression))
    # What tells the sides of a hit apart (see _sides): its terms or sparse
    # vector, and under weighted fusion its dense vector.
    fields = ["text", "terms", "id", "part"] if engine else ["text", "vector"]
    if collection.has_metadata:
        fields.append("metadata")
    if fusion == "weighted":
        fields.append(DENSE_FIELD)
    results = collection._call("search", collection.client.hybrid_search, collection._milvus_name, requests,
                               ranker, limit=limit, output_fields=fields, consistency_level="Strong")
    best: Dict[int, Any] = {}
    for row in results[0]:  # a long document's parts: its best counts
        doc_id = int(row["entity"].get("id", row["id"]))
        if doc_id not in best or row["distance"] > best[doc_id]["distance"]:
            best[doc_id] = row
    rows = sorted(best.items(), key=lambda item: (-item[1]["distance"], item[0]))[:top]
    later = [doc_id for doc_id, row in rows if row["entity"].get("part")]
    texts = collection._first_parts(later) if later else {}
    query_terms = set(data.split()) if engine and data else None
    hits = []
    for doc_id, row in rows:
        entity, score = row["entity"], float(row["distance"])
        text = texts.get(doc_id, "") if entity.get("part") else entity.get("text")
        if query_terms is not None:
            matched = bool(query_terms.intersection(entity.get("terms", "").split()))
            sparse_score = None
        else:
            stored = entity.get("vector") or {}
            matched = bool(data) and any(int(k) in data for k in stored)
            sparse_score = sum(float(w) * data.get(int(k), 0.0) for k, w in stored.items()) if matched else None
        sides = _sides(score, matched, sparse_score, dense, entity, dense_field["metric"], fusion, rrf_k, weights, limit,
                       library)
        hits.append(HybridHit(doc_id, score, text or None, entity.get("metadata") or {}, sides))
    return hits


def _ranker(fusion: str, rrf_k: int, weights: Optional[Sequence[float]], sparse: bool) -> Tuple[Any, Any]:
    from pymilvus import RRFRanker, WeightedRanker

    if fusion == "rrf":
        if weights is not None:
            raise ValueError("weights apply to fusion='weighted', not to reciprocal-rank fusion")
        if isinstance(rrf_k, bool) or not isinstance(rrf_k, int) or not 0 < rrf_k < _MAX_RRF_K:
            raise ValueError(f"rrf_k must be an integer from 1 to {_MAX_RRF_K - 1}, not {rrf_k!r}")
        return RRFRanker(rrf_k), None
    if fusion != "weighted":
        raise ValueError(f"fusion must be one of {', '.join(map(repr, _FUSIONS))}, not {fusion!r}")
    weights = (0.5, 0.5) if weights is None else tuple(weights)
    if len(weights) != 2 or not all(isinstance(w, (int, float)) and 0.0 <= w <= 1.0 for w in weights):
        raise ValueError(f"weights must be two numbers from 0 to 1 (sparse, dense), not {weights!r}")
    # A query without index terms has only its dense side.
    return (WeightedRanker(*weights) if sparse else WeightedRanker(weights[1])), weights


def _normalised(score: float, metric: str) -> float:
    # How Milvus maps each metric's scores to [0, 1] before weighting them.
    return (1.0 + score) / 2.0 if metric == "COSINE" else 0.5 + math.atan(score) / math.pi


def _sides(score: float, matched: bool, sparse_score: Optional[float], dense: Any, entity: Dict[str, Any],
           metric: str, fusion: str, rrf_k: int, weights: Any, limit: int, library: Any) -> Tuple[str, ...]:
    """Which sides ranked a hit, read back from its fused score and its own fields.

    Only a hit sharing an index term with the query (*matched*) can be the
    keyword side's. Under reciprocal-rank fusion a side adds 1 / (rrf_k +
    rank): a score whose reciprocal is rrf_k plus a whole rank came from one
    side (with at most rrf_k + 1 candidates a side, two never add up to that),
    and a one-sided hit that shares a term is put down to the keyword side.
    Under weighted fusion (client-side vectors only) each side adds its
    weighted, normalised score, which the hit's own vectors give.
    """
    if not matched:
        return ("dense",)
    if fusion == "rrf":
        rank = 1.0 / score - rrf_k if score > 0.0 else 0.0
        one_side = rank > 0.5 and abs(rank - round(rank)) <= (rrf_k + limit) * 1e-6
        return ("sparse",) if one_side else ("sparse", "dense")
    numpy = library.numpy
    row = numpy.asarray(entity.get(DENSE_FIELD), dtype=numpy.float32)
    similarity = float(numpy.dot(row, dense))
    if metric == "COSINE":
        norms = float(numpy.linalg.norm(row) * numpy.linalg.norm(dense))
        similarity = similarity / norms if norms else 0.0
    dense_part = weights[1] * _normalised(similarity, metric)
    tolerance = 1e-5 * max(1.0, abs(score))
    if abs(score - dense_part) <= tolerance:
        return ("dense",)
    sparse_part = weights[0] * _normalised(sparse_score, "IP")
    candidates = {("sparse", "dense"): sparse_part + dense_part, ("sparse",): sparse_part}
    return min(candidates, key=lambda sides: abs(candidates[sides] - score))

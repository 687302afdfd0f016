"""A bare index over vectors with ids of your choice, for code written for
hnswlib or FAISS: no database, no metadata."""
from __future__ import annotations

import ctypes
from ctypes import byref, c_void_p
from typing import Any, Optional

import numpy as np

from . import _lib
from ._lib import SEARCH_RESULT, address, lib, vx_index_params
from .database import INDEX_KINDS, METRICS, as_ids, as_matrix
from .errors import Error, check

_NO_HIT = np.uint64(2**64 - 1)
_LOAD_ARENA = 4 << 20


class Index:
    """An HNSW graph or an inverted file over dim-dimensional float32 vectors.

    kind: "hnsw", "ivf", "ivf-sq" or "ivf-pq"; metric: "l2" (squared
    Euclidean), "ip" (negated inner product) or "cosine". M and
    ef_construction shape a graph; nlist and nprobe an inverted file, which
    trains on the first vectors added (at least nlist of them) unless train()
    ran first.

    Threading: adds and searches may run from several threads; save and
    train want no other call meanwhile."""

    def __init__(self, dim: int, kind: str = "hnsw", metric: str = "l2", M: int = 16,
                 ef_construction: int = 200, ef_search: int = 64, nlist: int = 256, nprobe: int = 8,
                 _handle: Optional[int] = None, _arena: Optional[int] = None):
        self._arena = _arena
        if _handle is not None:
            self._h = _handle
            return
        if kind not in ("hnsw", "ivf", "ivf-sq", "ivf-pq"):
            raise ValueError(f"kind must be hnsw, ivf, ivf-sq or ivf-pq, not {kind!r}")
        if metric not in METRICS:
            raise ValueError(f"metric must be one of {', '.join(METRICS)}, not {metric!r}")
        if int(dim) < 1:
            raise ValueError("dim must be at least 1")
        p = vx_index_params(type=INDEX_KINDS[kind], metric=METRICS[metric], dimension=int(dim))
        if kind == "hnsw":
            p.family.hnsw.M, p.family.hnsw.ef_construction = int(M), int(ef_construction)
            p.family.hnsw.ef_search = int(ef_search)
        else:
            p.family.ivf.nlist, p.family.ivf.nprobe, p.family.ivf.iterations = int(nlist), int(nprobe), 10
        if kind == "ivf-pq":
            p.pq_m = next((m for m in range(int(dim) // 8, 0, -1) if int(dim) % m == 0), 1)
            p.pq_nbits = 8
        self._h = lib.vx_index_create(None, byref(p))
        if not self._h:
            raise Error(-2, "Index: the library refused these parameters")

    def __del__(self):
        self.close()

    def close(self) -> None:
        """Releases the index; later calls raise vexal.Error."""
        if getattr(self, "_h", None):
            lib.vx_index_destroy(self._h)
            self._h = None
        if getattr(self, "_arena", None):
            lib.vx_arena_destroy(self._arena)
            self._arena = None

    @property
    def _handle(self) -> int:
        if not self._h:
            raise Error(-2, "the index is closed")
        return self._h

    @property
    def dim(self) -> int:
        return lib.vx_index_get_dim(self._handle)

    def __len__(self) -> int:
        """Vectors ever added (removals do not lower it)."""
        return lib.vx_index_get_ntotal(self._handle)

    def train(self, vectors: Any) -> None:
        """Trains an inverted file on vectors (at least nlist rows); nothing
        for a graph."""
        a = as_matrix(vectors, self.dim)
        check(lib.vx_index_train(self._handle, address(a), len(a)), "train")

    def add(self, vectors: Any, ids: Any = None) -> np.ndarray:
        """Adds the rows of vectors under ids (default: len(self) + 1 onwards,
        so that 0 stays free as the padding id) and returns the ids."""
        a = as_matrix(vectors, self.dim)
        if ids is None:
            start = len(self) + 1
            ids = np.arange(start, start + len(a), dtype=np.uint64)
        ids = as_ids(ids)
        if len(ids) != len(a):
            raise ValueError(f"add: {len(ids)} ids for {len(a)} vectors")
        if not len(a):
            return ids
        if not lib.vx_index_is_trained(self._handle):
            self.train(a)
        check(lib.vx_index_add_batch(self._handle, address(ids), address(a), len(a)), "add")
        return ids

    def search(self, queries: Any, k: int = 10, ef: Optional[int] = None,
               threads: int = 1) -> tuple[np.ndarray, np.ndarray]:
        """The k nearest ids of each query with their distances, as (nq, k)
        uint64 and float32 arrays, nearest first; short rows are padded with
        id 0 and +inf. ef sets the search width from now on (ef_search of a
        graph, nprobe of an inverted file). All queries go in one call,
        shared among `threads` threads (at most 64)."""
        h = self._handle
        q = as_matrix(queries, self.dim, "queries")
        k = int(k)
        if k < 1:
            raise ValueError("k must be at least 1")
        if ef is not None:
            check(lib.vx_index_set_search_width(h, int(ef)), "search")
        out = np.empty(len(q) * k, dtype=SEARCH_RESULT)
        out["id"] = _NO_HIT
        out["distance"] = np.inf
        check(lib.vx_index_search_batch_threads(h, address(q), len(q), k, max(0, min(int(threads), 64)),
                                                address(out)), "search")
        ids = out["id"].reshape(len(q), k)
        distances = out["distance"].reshape(len(q), k)
        empty = ids == _NO_HIT
        ids[empty] = 0
        distances[empty] = np.inf
        return ids, distances

    def save(self, path: str) -> None:
        """Writes the index to path (the file is replaced only once complete)."""
        view, buf = _lib.text(str(path))
        check(lib.vx_index_save(self._handle, byref(view)), f"save {path}")

    @classmethod
    def load(cls, path: str) -> "Index":
        """Reads an index written by save; vexal.Error for a missing or
        damaged file."""
        arena = c_void_p()
        check(lib.vx_arena_create(_LOAD_ARENA, byref(arena)), "load")
        view, buf = _lib.text(str(path))
        h = lib.vx_index_load(arena, byref(view))
        if not h:
            lib.vx_arena_destroy(arena)
            raise Error(-201, f"load {path}: missing or damaged index file")
        return cls(0, _handle=h, _arena=arena.value)

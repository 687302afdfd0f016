"""Databases and their collections."""
from __future__ import annotations

import ctypes
import os
from ctypes import POINTER, byref, c_uint64, c_void_p
from typing import Any, Iterator, Optional, Sequence

import numpy as np

from . import _lib, filters
from ._lib import (SEARCH_HIT, address, lib, vx_collection_config, vx_collection_stats, vx_db_config,
                   vx_index_params,
                   vx_meta_entry, vx_record, vx_search_options, vx_str)
from .errors import Error, NotFoundError, check

METRICS = {"l2": 0, "ip": 1, "cosine": 2}
INDEX_KINDS = {"flat": 0, "ivf": 1, "hnsw": 2, "ivf-pq": 3, "hnsw-pq": 4, "ivf-sq": 5, "hnsw-sq": 6}
_INDEX_NAMES = {v: k for k, v in INDEX_KINDS.items()}

META_INT32, META_INT64, META_FLOAT, META_DOUBLE, META_STRING, META_BOOL = 1, 2, 3, 4, 5, 6

Metadata = dict


def as_matrix(vectors: Any, dim: int, what: str = "vectors", finite: bool = True) -> np.ndarray:
    """vectors as a C-ordered float32 (n, dim) array; a 1-D array is one row.
    Raises ValueError for other shapes, non-numeric data and (with finite)
    NaN or infinite values."""
    a = vectors
    if not (type(a) is np.ndarray and a.dtype == np.float32 and a.flags.c_contiguous):
        try:
            a = np.asarray(vectors)
        except Exception as e:  # ragged lists and the like
            raise ValueError(f"{what}: not an array of numbers ({e})") from None
        if a.dtype.kind not in "fiub":
            raise ValueError(f"{what}: numbers needed, got an array of dtype {a.dtype}")
        with np.errstate(over="ignore", invalid="ignore"):
            a = np.ascontiguousarray(a, dtype=np.float32)
    if a.ndim == 1:
        a = a.reshape(1, -1)
    if a.ndim != 2 or a.shape[1] != dim:
        raise ValueError(f"{what}: shape {np.shape(vectors)} does not fit dimension {dim}; "
                         f"expected (n, {dim})")
    if finite and not np.isfinite(a).all():
        raise ValueError(f"{what}: NaN or infinite values (or values beyond float32's range)")
    return a


def as_ids(ids: Any) -> np.ndarray:
    a = np.asarray(ids)
    if a.ndim == 0:
        a = a.reshape(1)
    if a.ndim != 1 or (a.size and a.dtype.kind not in "iu"):
        raise ValueError(f"ids: a 1-D sequence of integers needed, got shape {a.shape} dtype {a.dtype}")
    if a.size and (a.min() < 0 if a.dtype.kind == "i" else False):
        raise ValueError("ids: ids are positive")
    return np.ascontiguousarray(a, dtype=np.uint64)


class _MetaArray:
    """The C entries of one metadata dict, with the memory they point to."""

    def __init__(self, meta: Optional[Metadata]):
        meta = meta or {}
        if not isinstance(meta, dict):
            raise ValueError(f"metadata: a dict per vector, not {type(meta).__name__}")
        self.keep: list = []
        self.entries = (vx_meta_entry * len(meta))()
        for e, (key, value) in zip(self.entries, meta.items()):
            if not isinstance(key, str) or not key:
                raise ValueError(f"metadata: keys are non-empty strings, not {key!r}")
            e.key, buf = _lib.text(key)
            self.keep.append(buf)
            if isinstance(value, bool):
                e.type, e.value.boolean = META_BOOL, int(value)
            elif isinstance(value, (int, np.integer)):
                if not -2**63 <= int(value) < 2**63:
                    raise ValueError(f"metadata: {key!r} does not fit in 64 bits")
                e.type, e.value.i64 = META_INT64, int(value)
            elif isinstance(value, (float, np.floating)):
                e.type, e.value.f64 = META_DOUBLE, float(value)
            elif isinstance(value, str):
                e.value.str, buf = _lib.text(value)
                e.type = META_STRING
                self.keep.append(buf)
            else:
                raise ValueError(f"metadata: {key!r} is {type(value).__name__}; values are "
                                 "int, float, str or bool")

    def __len__(self) -> int:
        return len(self.entries)


def _read_meta(entries, count: int) -> Metadata:
    out: Metadata = {}
    for i in range(count):
        e = entries[i]
        t = e.type
        if t == META_INT32:
            v: Any = e.value.i32
        elif t == META_INT64:
            v = e.value.i64
        elif t == META_FLOAT:
            v = float(e.value.f32)
        elif t == META_DOUBLE:
            v = e.value.f64
        elif t == META_STRING:
            v = _lib.read_str(e.value.str)
        elif t == META_BOOL:
            v = bool(e.value.boolean)
        else:
            continue
        out[_lib.read_str(e.key)] = v
    return out


def _meta_list(metadata: Optional[Sequence[Optional[Metadata]]], n: int) -> Optional[list]:
    if metadata is None:
        return None
    if isinstance(metadata, dict):
        metadata = [metadata]
    if len(metadata) != n:
        raise ValueError(f"metadata: {len(metadata)} dicts for {n} vectors")
    return [_MetaArray(m) for m in metadata]


class Collection:
    """A named set of vectors of one dimension, each with an id (1, 2, ...
    in insertion order) and optional metadata, searched by brute force or
    through its index. Obtained from Database.create_collection or
    Database.collection; valid until the collection is dropped or its
    database closed (later calls raise vexal.Error).

    Threading: every call takes the collection's reader/writer lock, so a
    collection may be used from several threads.
    """

    def __init__(self, db: "Database", name: str, handle: int):
        self._db, self.name, self._h = db, name, handle
        self._dim = self._stats().dimension  # fixed for the collection's life

    def __repr__(self) -> str:
        return f"<vexal.Collection {self.name!r} dim={self.dim}>"

    @property
    def _handle(self) -> int:
        if not self._h:
            raise Error(-4, f"collection {self.name!r} was dropped or its database closed")
        return self._h

    def _stats(self) -> vx_collection_stats:
        s = vx_collection_stats()
        check(lib.vx_collection_get_stats(self._handle, byref(s)), "stats")
        return s

    @property
    def dim(self) -> int:
        """Floats per vector."""
        return self._dim

    def __len__(self) -> int:
        return self._stats().count

    def stats(self) -> dict:
        """count, dimension, capacity, memory_used (bytes of the arena the
        collection lives in), index (its kind or None) and index_active
        (whether searches go through it)."""
        s = self._stats()
        return {"count": s.count, "dimension": s.dimension, "capacity": s.capacity,
                "memory_used": s.memory_used,
                "index": _INDEX_NAMES.get(s.index_type) if s.index_type >= 0 else None,
                "index_active": bool(lib.vx_collection_has_index(self._handle))}

    # -- writing ---------------------------------------------------------

    def add(self, vectors: Any, metadata: Optional[Sequence[Optional[Metadata]]] = None) -> np.ndarray:
        """Inserts the rows of vectors ((n, dim), converted to float32; a 1-D
        array is one vector) and returns their new ids as a uint64 array.
        metadata, when given, holds one dict (or None) per vector with int,
        float, str and bool values. Shapes, values and metadata are checked
        first: a ValueError leaves the collection unchanged."""
        h = self._handle
        a = as_matrix(vectors, self.dim)
        meta = _meta_list(metadata, len(a))
        ids = np.zeros(len(a), dtype=np.uint64)
        if not len(a):
            return ids
        if meta is None:
            check(lib.vx_collection_insert_batch(h, address(a), len(a), address(ids)), "add")
            return ids
        # One batch call: the entry lists by address, with their lengths.
        a = np.ascontiguousarray(a)
        lists = np.array([ctypes.addressof(m.entries) if len(m) else 0 for m in meta], dtype=np.uintp)
        counts = np.array([len(m) for m in meta], dtype=np.uint64)
        check(lib.vx_collection_insert_batch_with_meta(h, address(a), len(a), address(lists), address(counts),
                                                       address(ids)), "add")
        return ids

    def upsert(self, ids: Any, vectors: Any,
               metadata: Optional[Sequence[Optional[Metadata]]] = None) -> None:
        """Stores each vector under its id: an existing record gets the new
        vector (and the new metadata when given; None keeps the old); a new
        id is created when it lies beyond every id the collection has given
        out, else NotFoundError (ids of deleted records are not reused)."""
        h = self._handle
        ids = as_ids(ids)
        a = as_matrix(vectors, self.dim)
        if len(ids) != len(a):
            raise ValueError(f"upsert: {len(ids)} ids for {len(a)} vectors")
        meta = _meta_list(metadata, len(a))
        rec = POINTER(vx_record)()
        for i in np.argsort(ids, kind="stable"):
            target, row = int(ids[i]), address(a) + int(i) * a.strides[0]
            m = meta[i] if meta else _MetaArray(None)
            if lib.vx_collection_get_record(h, target, byref(rec)) == 0:
                check(lib.vx_collection_upsert(h, target, row), "upsert")
                if len(m):
                    check(lib.vx_collection_set_meta(h, target, m.entries, len(m)), "upsert")
                continue
            out = c_uint64()
            while True:  # new ids are reached by inserting and deleting those before
                check(lib.vx_collection_insert_with_meta(h, row, m.entries, len(m), byref(out)), "upsert")
                if out.value == target:
                    break
                lib.vx_collection_delete(h, out.value)
                if out.value > target:
                    raise NotFoundError(-106, f"upsert: id {target} was deleted or lies below "
                                              f"the next id {out.value}")

    def delete(self, ids: Any) -> int:
        """Deletes the records of ids (one id or many) that exist; returns how
        many were deleted."""
        ids = as_ids(ids)
        before = len(self)
        if len(ids):
            check(lib.vx_collection_delete_batch(self._handle, address(ids), len(ids)), "delete")
        return before - len(self)

    def delete_where(self, filter: filters.FilterLike) -> int:
        """Deletes every record matching filter; returns how many."""
        keep: list = []
        n = lib.vx_collection_delete_by_filter(self._handle, filters.build(filter, keep))
        if n < 0:
            raise Error(-2, "delete_where")
        return n

    def _set_width(self, ef: Optional[int], nprobe: Optional[int]) -> None:
        if ef is not None and nprobe is not None:
            raise ValueError("give ef (a graph) or nprobe (an inverted file), not both")
        name = "ef" if ef is not None else "nprobe"
        width = _positive(ef if ef is not None else nprobe, name)
        kind = self.stats()["index"] or ""
        if not kind.startswith("hnsw" if ef is not None else "ivf"):
            raise ValueError(f"{name} does not apply to this collection's index ({kind or 'none'})")
        check(lib.vx_collection_set_search_width(self._handle, width), "search")

    def build_index(self) -> None:
        """Trains the collection's index on every record and switches index
        search on. Raises vexal.Error for an empty collection."""
        check(lib.vx_collection_build_index(self._handle), "build_index")

    # -- reading ---------------------------------------------------------

    def get(self, id: int) -> tuple[np.ndarray, Metadata]:
        """The vector (a float32 copy) and metadata dict of id;
        NotFoundError when there is no such record."""
        rec = POINTER(vx_record)()
        check(lib.vx_collection_get_record(self._handle, int(id), byref(rec)), f"get {id}")
        return self._copy(rec.contents, self.dim)

    @staticmethod
    def _copy(r: vx_record, dim: int) -> tuple[np.ndarray, Metadata]:
        vector = np.ctypeslib.as_array(r.vector, (dim,)).copy()
        return vector, (_read_meta(r.meta, r.meta_count) if r.meta else {})

    def __iter__(self) -> Iterator[tuple[int, np.ndarray, Metadata]]:
        """(id, vector, metadata) of every record in id order."""
        return self.records()

    def records(self, filter: Optional[filters.FilterLike] = None) -> Iterator[tuple[int, np.ndarray, Metadata]]:
        """(id, vector, metadata) of every record matching filter, in order.
        Changing the collection while iterating is not supported."""
        keep: list = []
        f = filters.build(filter, keep)
        dim = self.dim
        it = lib.vx_collection_create_iterator(self._handle, f)
        rec = POINTER(vx_record)()
        while it and lib.vx_collection_iterator_valid(it):
            if lib.vx_collection_iterator_get_record(it, byref(rec)) == 0:
                r = rec.contents
                yield (r.id,) + self._copy(r, dim)
            lib.vx_collection_iterator_next(it)

    def search(self, queries: Any, k: int = 10, filter: Optional[filters.FilterLike] = None,
               ef: Optional[int] = None, nprobe: Optional[int] = None,
               threads: int = 1) -> tuple[np.ndarray, np.ndarray]:
        """The k nearest records of each query matching filter, nearest first.

        ef (a graph) or nprobe (an inverted file) sets how widely the index
        looks, from this search on (it is saved with the collection); the
        index must be of that family, else ValueError.

        queries is one vector or an (nq, dim) array. Returns (ids, distances)
        as (nq, k) arrays of uint64 and float32; a query with fewer than k
        matches has its row padded with id 0 and distance +inf (ids start at
        1, so 0 is never a record). Distances follow the collection's metric:
        squared L2, negated inner product, or 1 - cosine similarity.

        Several queries go in one batch call, shared among `threads` threads
        (at most 64); without an index each pass over the stored vectors
        serves many queries. The answers are those of one query at a time."""
        h = self._handle
        q = as_matrix(queries, self._dim, "queries", finite=False)
        k = int(k)
        if k < 1:
            raise ValueError("k must be at least 1")
        if ef is not None or nprobe is not None:
            self._set_width(ef, nprobe)
        keep: list = []
        opt = vx_search_options(k=k, filter=filters.build(filter, keep) if filter is not None else None)
        nq = len(q)
        hits = np.empty(nq * k, dtype=SEARCH_HIT)
        if nq == 1:
            counts = [lib.vx_collection_search(h, address(q), opt, address(hits))]
        else:
            q = np.ascontiguousarray(q)
            found = np.zeros(nq, dtype=np.uint64)
            check(lib.vx_collection_search_batch(h, address(q), nq, opt, max(0, min(int(threads), 64)),
                                                 address(hits), address(found)), "search")
            counts = found.tolist()
        ids = hits["id"].reshape(nq, k)
        distances = hits["distance"].reshape(nq, k)
        if min(counts) < k:
            short = np.arange(k) >= np.array(counts)[:, None]
            ids[short] = 0
            distances[short] = np.inf
        return ids, distances


def _positive(value: Any, name: str) -> int:
    value = int(value)
    if value < 1 or value > 0xFFFFFFFF:
        raise ValueError(f"{name} must be a whole number from 1 to 4294967295")
    return value


class Database:
    """A database: in memory (path None) or in a directory, holding named
    collections. Use it as a context manager, or call close().

    Opening a directory that does not exist creates it unless read_only. A
    read-only database is never written: every change to it or its
    collections, and sync(), raise ReadOnlyError. One process at a time may
    open a directory for writing (read-only openings share it); another
    opening raises BusyError.

    Threading: open and close run with no other thread on the database; the
    other calls may come from any thread."""

    def __init__(self, path: Optional[str] = None, read_only: bool = False):
        self.path, self.read_only = path, read_only
        self._h: Optional[int] = None
        self._collections: dict[str, Collection] = {}
        config = vx_db_config(storage_mode=0)
        if path is not None:
            path = str(path)
            if read_only and not os.path.isdir(path):
                raise NotFoundError(-200, f"open {path}: no database directory to open read-only")
            config.path, self._path_buf = _lib.text(path)
            config.storage_mode = 1
            config.read_only = int(read_only)
            config.create_if_missing = int(not read_only)
        handle = c_void_p()
        check(lib.vx_daded_open_ex(byref(config), byref(handle)), f"open {path or '(memory)'}")
        self._h = handle.value

    def __enter__(self) -> "Database":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:
            pass

    def __repr__(self) -> str:
        return f"<vexal.Database {self.path or '(memory)'}{' read-only' if self.read_only else ''}>"

    @property
    def _handle(self) -> int:
        if not self._h:
            raise Error(-2, "the database is closed")
        return self._h

    def create_collection(self, name: str, dim: int, metric: str = "l2", index: str = "hnsw",
                          M: Optional[int] = None, ef_construction: Optional[int] = None,
                          nlist: Optional[int] = None, nprobe: Optional[int] = None) -> Collection:
        """Creates a collection of dim-dimensional vectors. metric: "l2"
        (squared Euclidean), "ip" (negated inner product) or "cosine";
        index: "hnsw", "ivf", "ivf-sq", "ivf-pq" or "flat" (brute force only).
        A graph takes M and ef_construction (16 and 200 when None); an
        inverted file takes nlist lists (it has no index until a build makes
        the automatic one when nlist is None) and nprobe of them probed (a
        sixteenth of nlist when None). Names are 1 to 63 bytes without '/',
        '\\' or line breaks. AlreadyExistsError, InvalidArgumentError."""
        if metric not in METRICS:
            raise ValueError(f"metric must be one of {', '.join(METRICS)}, not {metric!r}")
        if index not in INDEX_KINDS:
            raise ValueError(f"index must be one of {', '.join(INDEX_KINDS)}, not {index!r}")
        dim = int(dim)
        if dim < 1:
            raise ValueError("dim must be at least 1")
        config = vx_collection_config(dimension=dim, metric=METRICS[metric], index_type=INDEX_KINDS[index],
                                      auto_resize=1)
        config.name, buf = _lib.text(name)
        if index == "ivf-pq":  # sub-quantizers of about 8 dimensions, 8-bit codes
            config.quant_type, config.pq_nbits = 4, 8
            config.pq_m = next((m for m in range(dim // 8, 0, -1) if dim % m == 0), 1)
        out = c_void_p()
        graph, lists = index.startswith("hnsw"), index.startswith("ivf")
        if (M is not None or ef_construction is not None) and not graph:
            raise ValueError("M and ef_construction shape a graph index (index='hnsw')")
        if (nlist is not None or nprobe is not None) and not lists:
            raise ValueError("nlist and nprobe shape an inverted-file index (index='ivf', 'ivf-sq' or 'ivf-pq')")
        params = None
        if M is not None or ef_construction is not None or nlist is not None:
            params = vx_index_params(type=INDEX_KINDS[index], quant_type=config.quant_type, pq_m=config.pq_m,
                                     pq_nbits=config.pq_nbits)
            if graph:
                params.family.hnsw.M = _positive(M or 16, "M")
                params.family.hnsw.ef_construction = _positive(ef_construction or 200, "ef_construction")
            else:
                params.family.ivf.nlist = _positive(nlist, "nlist")
                params.family.ivf.nprobe = _positive(nprobe or max(1, params.family.ivf.nlist // 16), "nprobe")
                params.family.ivf.iterations = 10
        out = c_void_p()
        check(lib.vx_daded_create_collection_ex(self._handle, byref(config), byref(out)),
              f"create_collection {name!r}")
        if params is not None:
            check(lib.vx_collection_set_index_params(out.value, byref(params)), f"create_collection {name!r}")
        return self._wrap(name, out.value)

    def _wrap(self, name: str, handle: int) -> Collection:
        c = self._collections.get(name)
        if c is None or c._h != handle:
            c = self._collections[name] = Collection(self, name, handle)
        return c

    def collection(self, name: str) -> Collection:
        """The collection called name; NotFoundError when there is none."""
        view, buf = _lib.text(name)
        h = lib.vx_daded_get_collection(self._handle, byref(view))
        if not h:
            raise NotFoundError(-108, f"collection {name!r}")
        return self._wrap(name, h)

    def __getitem__(self, name: str) -> Collection:
        return self.collection(name)

    def __contains__(self, name: str) -> bool:
        return name in self.collections()

    def collections(self) -> list[str]:
        """The names of the collections, in creation order."""
        n = lib.vx_daded_list_collections(self._handle, None, 0)
        views = (vx_str * max(n, 1))()
        n = lib.vx_daded_list_collections(self._handle, views, n)
        return [_lib.read_str(views[i]) for i in range(n)]

    def drop_collection(self, name: str) -> None:
        """Deletes the collection (its file goes at the next sync or close);
        NotFoundError when there is none."""
        view, buf = _lib.text(name)
        check(lib.vx_daded_drop_collection(self._handle, byref(view)), f"drop_collection {name!r}")
        c = self._collections.pop(name, None)
        if c is not None:
            c._h = None

    def sync(self) -> None:
        """Saves every collection to the directory. ReadOnlyError for a
        read-only database; Error when a file cannot be written."""
        check(lib.vx_daded_sync(self._handle), "sync")

    def close(self) -> None:
        """Saves (unless read-only or in memory) and releases the database;
        its collections become unusable. Closing twice does nothing."""
        if not self._h:
            return
        h, self._h = self._h, None
        for c in self._collections.values():
            c._h = None
        self._collections.clear()
        check(lib.vx_daded_close(h), "close")

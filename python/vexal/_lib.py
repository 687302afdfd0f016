"""Loading libvexal and declaring the parts of its C ABI the package uses.

The library is looked for, in order: the file named by the environment
variable VEXAL_LIBRARY, a libvexal.so placed inside this package (pip puts it
there), and the system's library path (libvexal.so.0, as ``make install``
leaves it).
"""
from __future__ import annotations

import ctypes
import ctypes.util
import os
from ctypes import (POINTER, Structure, Union, c_char_p, c_double, c_float, c_int,
                    c_int32, c_int64, c_uint32, c_uint64, c_void_p)

import numpy as np

ENV_VARIABLE = "VEXAL_LIBRARY"


class vx_str(Structure):
    _fields_ = [("data", c_void_p), ("len", c_uint64)]


class vx_db_config(Structure):
    _fields_ = [("path", vx_str), ("storage_mode", c_int32), ("arena_size", c_uint64),
                ("cache_size", c_uint64), ("read_only", c_int32), ("create_if_missing", c_int32)]


class vx_collection_config(Structure):
    _fields_ = [("name", vx_str), ("dimension", c_uint32), ("metric", c_int32),
                ("index_type", c_int32), ("refine_factor", c_uint32), ("build_threads", c_uint64),
                ("auto_resize", c_int32), ("quant_type", c_int32), ("pq_m", c_uint32),
                ("pq_nbits", c_uint32)]


class vx_meta_value(Union):
    _fields_ = [("i32", c_int32), ("i64", c_int64), ("f32", c_float), ("f64", c_double),
                ("str", vx_str), ("boolean", c_int32)]


class vx_meta_entry(Structure):
    _fields_ = [("key", vx_str), ("type", c_int32), ("value", vx_meta_value)]


class vx_filter(Structure):
    pass


vx_filter._fields_ = [("kind", c_int32), ("key", c_char_p), ("op", c_int32),
                      ("value", vx_meta_value), ("children", POINTER(POINTER(vx_filter))),
                      ("child_count", c_uint64)]


class vx_record(Structure):
    _fields_ = [("id", c_uint64), ("vector", POINTER(c_float)),
                ("meta", POINTER(vx_meta_entry)), ("meta_count", c_uint64)]


class vx_collection_stats(Structure):
    _fields_ = [("count", c_uint64), ("capacity", c_uint64), ("memory_used", c_uint64),
                ("dimension", c_uint32), ("index_type", c_int32), ("index_trained", c_int32)]


class vx_search_options(Structure):
    _fields_ = [("k", c_uint64), ("filter", POINTER(vx_filter)), ("include_vector", c_int32),
                ("include_meta", c_int32), ("refine_factor", c_uint64)]


class vx_ivf_params(Structure):
    _fields_ = [("nlist", c_uint32), ("nprobe", c_uint32), ("iterations", c_uint32),
                ("reserved0", c_uint32), ("reserved1", c_uint32), ("reserved2", c_uint32)]


class vx_hnsw_params(Structure):
    _fields_ = [("M", c_uint32), ("ef_construction", c_uint32), ("ef_search", c_uint32),
                ("max_level", c_uint32), ("seed", c_uint32), ("level_mult", c_float)]


class vx_index_family(Union):
    _fields_ = [("ivf", vx_ivf_params), ("hnsw", vx_hnsw_params)]


class vx_index_params(Structure):
    _fields_ = [("type", c_int32), ("metric", c_int32), ("quant_type", c_int32),
                ("dimension", c_uint32), ("family", vx_index_family), ("pq_m", c_uint32),
                ("pq_nbits", c_uint32), ("reserved", c_uint32)]


# The C structs the search calls fill, as numpy record types: a whole answer
# becomes columns without a Python step per hit.
SEARCH_HIT = np.dtype({"names": ["id", "distance"], "formats": [np.uint64, np.float32],
                       "offsets": [0, 8], "itemsize": 40})
SEARCH_RESULT = np.dtype({"names": ["id", "distance"], "formats": [np.uint64, np.float32],
                          "offsets": [0, 8], "itemsize": 16})

P = c_void_p  # handles and buffers are passed as plain addresses

# name: (result, argument types)
SIGNATURES = {
    "vx_error_message": (c_char_p, [c_int32]),
    "vx_daded_version": (vx_str, []),
    "vx_daded_open_ex": (c_int32, [POINTER(vx_db_config), POINTER(c_void_p)]),
    "vx_daded_close": (c_int32, [P]),
    "vx_daded_sync": (c_int32, [P]),
    "vx_daded_create_collection_ex": (c_int32, [P, POINTER(vx_collection_config), POINTER(c_void_p)]),
    "vx_daded_get_collection": (c_void_p, [P, POINTER(vx_str)]),
    "vx_daded_drop_collection": (c_int32, [P, POINTER(vx_str)]),
    "vx_daded_list_collections": (c_uint64, [P, P, c_uint64]),
    "vx_collection_get_stats": (c_int32, [P, POINTER(vx_collection_stats)]),
    "vx_collection_insert_batch": (c_int32, [P, P, c_uint64, P]),
    "vx_collection_insert_batch_with_meta": (c_int32, [P, P, c_uint64, P, P, P]),
    "vx_collection_insert_with_meta": (c_int32, [P, P, P, c_uint64, POINTER(c_uint64)]),
    "vx_collection_upsert": (c_int32, [P, c_uint64, P]),
    "vx_collection_delete": (c_int32, [P, c_uint64]),
    "vx_collection_delete_batch": (c_int32, [P, P, c_uint64]),
    "vx_collection_delete_by_filter": (c_int64, [P, POINTER(vx_filter)]),
    "vx_collection_get_record": (c_int32, [P, c_uint64, POINTER(POINTER(vx_record))]),
    "vx_collection_set_meta": (c_int32, [P, c_uint64, P, c_uint64]),
    "vx_collection_search": (c_uint64, [P, P, POINTER(vx_search_options), P]),
    "vx_collection_search_batch": (c_int32, [P, P, c_uint64, POINTER(vx_search_options), c_uint32, P, P]),
    "vx_collection_build_index": (c_int32, [P]),
    "vx_collection_has_index": (c_int32, [P]),
    "vx_collection_set_index_params": (c_int32, [P, POINTER(vx_index_params)]),
    "vx_collection_set_search_width": (c_int32, [P, c_uint32]),
    "vx_collection_create_iterator": (c_void_p, [P, POINTER(vx_filter)]),
    "vx_collection_iterator_valid": (c_int32, [P]),
    "vx_collection_iterator_next": (c_int32, [P]),
    "vx_collection_iterator_get_record": (c_int32, [P, POINTER(POINTER(vx_record))]),
    "vx_index_create": (c_void_p, [P, POINTER(vx_index_params)]),
    "vx_index_destroy": (None, [P]),
    "vx_index_get_dim": (c_uint32, [P]),
    "vx_index_get_ntotal": (c_uint64, [P]),
    "vx_index_get_type": (c_int32, [P]),
    "vx_index_is_trained": (c_int32, [P]),
    "vx_index_train": (c_int32, [P, P, c_uint64]),
    "vx_index_add_batch": (c_int32, [P, P, P, c_uint64]),
    "vx_index_set_search_width": (c_int32, [P, c_uint32]),
    "vx_index_search_batch": (c_int32, [P, P, c_uint64, c_uint64, P]),
    "vx_index_search_batch_threads": (c_int32, [P, P, c_uint64, c_uint64, c_uint32, P]),
    "vx_index_save": (c_int32, [P, POINTER(vx_str)]),
    "vx_index_load": (c_void_p, [P, POINTER(vx_str)]),
    "vx_arena_create": (c_int32, [c_uint64, POINTER(c_void_p)]),
    "vx_arena_destroy": (None, [P]),
}


def _candidates():
    """The places tried, in order, as (description, path or soname)."""
    env = os.environ.get(ENV_VARIABLE)
    if env:
        yield f"${ENV_VARIABLE}", env
    here = os.path.dirname(os.path.abspath(__file__))
    for name in ("libvexal.so", "libvexal.so.0"):
        yield "the package directory", os.path.join(here, name)
    found = ctypes.util.find_library("vexal")
    yield "the system's library path", found or "libvexal.so.0"


def load_library() -> ctypes.CDLL:
    tried = []
    for where, path in _candidates():
        try:
            lib = ctypes.CDLL(path)
        except OSError as e:
            tried.append(f"  {where}: {path} ({e})")
            continue
        for name, (restype, argtypes) in SIGNATURES.items():
            fn = getattr(lib, name)
            fn.restype = restype
            fn.argtypes = argtypes
        return lib
    raise ImportError("vexal: cannot load libvexal; tried\n" + "\n".join(tried) +
                      f"\nSet {ENV_VARIABLE} to the library file, install the package with pip "
                      "(which puts the library inside it), or run 'make install'.")


lib = load_library()


def text(s: str) -> tuple[vx_str, ctypes.Array]:
    """A view of s as UTF-8 ending with a zero byte, and the buffer to keep."""
    raw = s.encode("utf-8")
    buf = ctypes.create_string_buffer(raw)
    return vx_str(ctypes.addressof(buf), len(raw)), buf


def read_str(v: vx_str) -> str:
    return ctypes.string_at(v.data, v.len).decode("utf-8", "replace") if v.data else ""


def address(a: np.ndarray) -> int:
    return a.__array_interface__["data"][0]

"""vexal: an embeddable vector database, from Python.

A thin layer over libvexal's C interface (ctypes, numpy, nothing compiled)::

    import numpy as np, vexal

    with vexal.Database() as db:                     # in memory; a path persists
        docs = db.create_collection("docs", dim=4)   # l2, HNSW
        ids = docs.add(np.random.rand(100, 4), [{"year": 2000 + i % 25} for i in range(100)])
        docs.build_index()
        ids, dist = docs.search(np.random.rand(3, 4), k=5, filter=vexal.field("year") >= 2010)

Vectors are float32 rows; ids are positive integers given by the collection.
Every failing call of the library raises vexal.Error (NotFoundError,
ReadOnlyError, BusyError, InvalidArgumentError, AlreadyExistsError) with
the library's own text; wrong shapes and types raise ValueError before
anything is written.
The library is found through $VEXAL_LIBRARY, inside the package, or on the
system's library path.
"""
from ._lib import lib as _lib_handle
from .database import Collection, Database
from .errors import AlreadyExistsError, BusyError, Error, InvalidArgumentError, NotFoundError, ReadOnlyError
from .filters import Filter, field
from .index import Index

__version__ = "0.1.32"


def library_version() -> str:
    """The loaded library's version text ("Vexal DadED 0.1.32")."""
    from ._lib import read_str
    return read_str(_lib_handle.vx_daded_version())


__all__ = ["Database", "Collection", "Index", "Filter", "field", "Error", "NotFoundError",
           "ReadOnlyError", "BusyError", "InvalidArgumentError", "AlreadyExistsError",
           "library_version"]

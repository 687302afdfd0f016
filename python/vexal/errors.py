"""Exceptions: every failing status of the library raises Error or one of its
subclasses, with the library's own text for the status."""
from __future__ import annotations

from ._lib import lib

VX_ERR_INVALID_ARG = -2
VX_ERR_NOT_FOUND = -4
VX_ERR_ALREADY_EXISTS = -5
VX_ERR_PERMISSION_DENIED = -8
VX_ERR_BUSY = -10
VX_ERR_INVALID_VECTOR = -100
VX_ERR_INVALID_DIMENSION = -103
VX_ERR_VECTOR_NOT_FOUND = -106
VX_ERR_COLLECTION_EXISTS = -107
VX_ERR_COLLECTION_NOT_FOUND = -108
VX_ERR_FILE_NOT_FOUND = -200
VX_ERR_READ_ONLY = -206


class Error(Exception):
    """A failure reported by libvexal; ``status`` holds its VX_ERR_* code."""

    def __init__(self, status: int, context: str = ""):
        self.status = status
        message = lib.vx_error_message(status).decode("utf-8", "replace")
        super().__init__(f"{context}: {message}" if context else message)


class NotFoundError(Error, KeyError):
    """No such record, collection or file."""

    def __str__(self) -> str:  # KeyError would quote the message
        return Exception.__str__(self)


class ReadOnlyError(Error):
    """A change was asked of a database opened read-only."""


class BusyError(Error):
    """Another process has the database directory open."""


class InvalidArgumentError(Error, ValueError):
    """The library refused an argument (a bad name, dimension or vector)."""


class AlreadyExistsError(Error):
    """A collection of that name exists already."""


_CLASSES = {
    VX_ERR_NOT_FOUND: NotFoundError, VX_ERR_VECTOR_NOT_FOUND: NotFoundError,
    VX_ERR_COLLECTION_NOT_FOUND: NotFoundError, VX_ERR_FILE_NOT_FOUND: NotFoundError,
    VX_ERR_READ_ONLY: ReadOnlyError, VX_ERR_PERMISSION_DENIED: ReadOnlyError,
    VX_ERR_BUSY: BusyError,
    VX_ERR_INVALID_ARG: InvalidArgumentError, VX_ERR_INVALID_DIMENSION: InvalidArgumentError,
    VX_ERR_INVALID_VECTOR: InvalidArgumentError,
    VX_ERR_ALREADY_EXISTS: AlreadyExistsError, VX_ERR_COLLECTION_EXISTS: AlreadyExistsError,
}


def error_for(status: int, context: str = "") -> Error:
    return _CLASSES.get(status, Error)(status, context)


def check(status: int, context: str = "") -> None:
    """Raises the exception of a failing status; does nothing for VX_OK."""
    if status != 0:
        raise error_for(status, context)

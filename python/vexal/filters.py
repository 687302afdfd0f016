"""Filters written the Python way and translated into the library's trees.

A dict asks for equality on every key: ``{"label": 3, "colour": "red"}``.
Anything else is built from ``field``::

    (field("year") >= 2000) & ~(field("colour") == "red") | (field("new") == True)

Keys and string values compare ignoring case; strings support == and !=
only; booleans == and !=. A value is compared in the type it is stored in:
write ints for fields stored as ints and floats (``2000.0``) for fields stored
as floats. A record without the key fails every condition except !=.
"""
from __future__ import annotations

import ctypes
from typing import Any, Union

from . import _lib
from ._lib import vx_filter

AND, OR, NOT, CONDITION = 0, 1, 2, 3
EQ, NE, GT, GE, LT, LE = 0, 1, 2, 3, 4, 5


class Filter:
    """A node of a filter: combine with ``&``, ``|`` and ``~``."""

    def __and__(self, other: "FilterLike") -> "Filter":
        return _Group(AND, [self, as_filter(other)])

    def __or__(self, other: "FilterLike") -> "Filter":
        return _Group(OR, [self, as_filter(other)])

    def __invert__(self) -> "Filter":
        return _Group(NOT, [self])

    def _build(self, keep: list) -> vx_filter:
        raise NotImplementedError


FilterLike = Union[Filter, dict]


class _Condition(Filter):
    def __init__(self, key: str, op: int, value: Any):
        if not isinstance(value, (bool, int, float, str)):
            raise ValueError(f"filter value for {key!r} must be int, float, str or bool, not "
                             f"{type(value).__name__}")
        if isinstance(value, int) and not isinstance(value, bool) and not -2**63 <= value < 2**63:
            raise ValueError(f"filter value for {key!r} does not fit in 64 bits")
        self.key, self.op, self.value = key, op, value

    def __repr__(self) -> str:
        ops = ["==", "!=", ">", ">=", "<", "<="]
        return f"(field({self.key!r}) {ops[self.op]} {self.value!r})"

    def _build(self, keep: list) -> vx_filter:
        node = vx_filter(kind=CONDITION, op=self.op)
        key = self.key.encode("utf-8")
        keep.append(key)
        node.key = key
        v = self.value
        if isinstance(v, bool):
            node.value.boolean = int(v)
        elif isinstance(v, int):
            node.value.i64 = v  # read as 32 bits for entries stored in 32
        elif isinstance(v, float):
            node.value.f64 = v
        else:
            view, buf = _lib.text(v)
            keep.append(buf)
            node.value.str = view
        return node


class _Group(Filter):
    def __init__(self, kind: int, children: list):
        self.kind, self.children = kind, children

    def __repr__(self) -> str:
        if self.kind == NOT:
            return f"~{self.children[0]!r}"
        return "(" + (" & " if self.kind == AND else " | ").join(map(repr, self.children)) + ")"

    def _build(self, keep: list) -> vx_filter:
        nodes = [c._build(keep) for c in self.children]
        keep.extend(nodes)
        pointers = (ctypes.POINTER(vx_filter) * len(nodes))(*[ctypes.pointer(n) for n in nodes])
        keep.append(pointers)
        return vx_filter(kind=self.kind, children=pointers, child_count=len(nodes))


class field:
    """A metadata key in a filter: ``field("year") >= 2000``."""

    def __init__(self, key: str):
        if not isinstance(key, str) or not key:
            raise ValueError("a field needs a non-empty string key")
        self.key = key

    def __eq__(self, v):  # type: ignore[override]
        return _Condition(self.key, EQ, v)

    def __ne__(self, v):  # type: ignore[override]
        return _Condition(self.key, NE, v)

    def __gt__(self, v):
        return _Condition(self.key, GT, v)

    def __ge__(self, v):
        return _Condition(self.key, GE, v)

    def __lt__(self, v):
        return _Condition(self.key, LT, v)

    def __le__(self, v):
        return _Condition(self.key, LE, v)

    __hash__ = None  # type: ignore[assignment]


def as_filter(f: FilterLike) -> Filter:
    if isinstance(f, Filter):
        return f
    if isinstance(f, dict):
        if not f:
            raise ValueError("an empty dict is no filter; pass None to match every record")
        conditions = [_Condition(k, EQ, v) for k, v in f.items()]
        return conditions[0] if len(conditions) == 1 else _Group(AND, conditions)
    raise ValueError(f"a filter is a dict or built from vexal.field, not {type(f).__name__}")


def build(f: FilterLike | None, keep: list):
    """The C tree of f (None: no filter) as a pointer; keep holds its memory."""
    if f is None:
        return None
    root = as_filter(f)._build(keep)
    keep.append(root)
    return ctypes.pointer(root)

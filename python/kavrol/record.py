"""The 418-byte reply record as named attributes.

The field table (name, record offset, element size, count, reply code) is
``record_fields.json``, generated from the library's own table, so the
names are those of ``ReplyRecord`` in ``kavrol32.h`` and of the tools.
"""

from __future__ import annotations

import json
import struct
from dataclasses import dataclass
from functools import lru_cache
from importlib import resources
from typing import Any, Iterator, Optional, Union

from ._protocol import SIZES

Value = Union[int, tuple[int, ...]]

_FORMATS = {1: "B", 2: "H", 4: "I"}


@dataclass(frozen=True)
class Field:
    """One field of the record: ``count`` elements of ``size`` bytes at ``offset``."""

    name: str
    offset: int
    size: int
    count: int
    reply_code: int

    @property
    def is_array(self) -> bool:
        return self.count > 1

    def decode(self, raw: bytes) -> Value:
        # The record holds native integers of the host.
        values = struct.unpack_from(f"={self.count}{_FORMATS[self.size]}", raw, self.offset)
        return values if self.is_array else values[0]


@lru_cache(maxsize=None)
def record_fields() -> tuple[Field, ...]:
    """Every field of the record, in record order."""
    text = resources.files(__package__).joinpath("record_fields.json").read_text(encoding="utf-8")
    table = json.loads(text)
    return tuple(
        Field(f["name"], f["offset"], f["size"], f["count"], f["reply_code"]) for f in table["fields"]
    )


def fields_of(reply_code: int) -> tuple[Field, ...]:
    """The fields a reply of this code fills (empty: the code has no region)."""
    return tuple(f for f in record_fields() if f.reply_code == reply_code)


@lru_cache(maxsize=None)
def _by_name() -> dict[str, Field]:
    return {f.name: f for f in record_fields()}


class Record:
    """A decoded ``ReplyRecord``. Each field is an attribute (``record.code1Word0``),
    arrays as tuples; ``raw`` keeps the 418 bytes."""

    __slots__ = ("raw", "_values")

    SIZE = SIZES["reply_record"]

    def __init__(self, raw: bytes) -> None:
        if len(raw) < self.SIZE:
            raise ValueError(f"a record spans {self.SIZE} bytes, got {len(raw)}")
        self.raw = bytes(raw[: self.SIZE])
        self._values = {f.name: f.decode(self.raw) for f in record_fields()}

    def __getattr__(self, name: str) -> Value:
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError(f"the record has no field {name!r}") from None

    def __getitem__(self, name: str) -> Value:
        return self._values[name]

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def __dir__(self) -> list[str]:
        return sorted(set(super().__dir__()) | set(self._values))

    def __eq__(self, other: Any) -> bool:
        return isinstance(other, Record) and other.raw == self.raw

    def __hash__(self) -> int:
        return hash(self.raw)

    def as_dict(self, reply_code: Optional[int] = None) -> dict[str, Value]:
        """Field name to value: every field, or those of one reply code's region."""
        fields = record_fields() if reply_code is None else fields_of(reply_code)
        return {f.name: self._values[f.name] for f in fields}

    def __repr__(self) -> str:
        filled = {k: v for k, v in self._values.items() if any(_as_tuple(v))}
        return f"Record({filled})"


def _as_tuple(value: Value) -> tuple[int, ...]:
    return value if isinstance(value, tuple) else (value,)


def field(name: str) -> Field:
    """The field of that name."""
    return _by_name()[name]

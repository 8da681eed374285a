"""The aircraft-state frame, decoded by field name through layout.json."""

from __future__ import annotations

import collections.abc
import struct
from typing import TYPE_CHECKING, Any, Dict, Iterator, List, Optional, Union, overload

from . import _layout
from ._frame_fields import (FieldValue, FloatFieldName, FloatListFieldName, FrameFields,
                            IntFieldName, IntListFieldName, TextFieldName, TextListFieldName)
from .errors import ProtocolError

FRAME_SIZE: int = _layout.FRAME["size"]
FRAME_MAGIC: bytes = _layout.FRAME["magic"].encode("latin-1") + b"\0"


class FieldInfo:
    """One field of the frame's table: name, offset, type, count, size, unit, role, meaning."""

    __slots__ = ("name", "offset", "type", "count", "element_size", "size", "unit", "role",
                 "meaning", "_struct")

    def __init__(self, entry: Dict[str, Any]) -> None:
        self.name: str = entry["name"]
        self.offset: int = entry["offset"]
        self.type: str = entry["type"]
        self.count: int = entry["count"]
        self.element_size: int = entry["elementSize"]
        self.size: int = entry["size"]
        self.unit: str = entry["unit"]
        self.role: str = entry["role"]
        self.meaning: str = entry["meaning"]
        self._struct: Optional[struct.Struct] = _layout.number_struct(entry)

    def decode(self, raw: bytes) -> FieldValue:
        """The field's value in a frame: a number or text, or a list of them when the field has
        several elements. Texts end at their NUL and are decoded as 8-bit characters."""
        if self._struct is not None:
            numbers: List[Any] = list(self._struct.unpack_from(raw, self.offset))
            return numbers if self.count > 1 else numbers[0]
        texts = []
        for i in range(self.count):
            start = self.offset + i * self.element_size
            element = raw[start:start + self.element_size]
            texts.append(element.split(b"\0", 1)[0].decode("latin-1"))
        return texts if self.count > 1 else texts[0]

    def __repr__(self) -> str:
        return "FieldInfo(%s: %s x %d at %d, unit %r)" % (self.name, self.type, self.count,
                                                          self.offset, self.unit)


FIELDS: Dict[str, FieldInfo] = {entry["name"]: FieldInfo(entry)
                                for entry in _layout.FRAME["fields"]}


class Frame(FrameFields, collections.abc.Mapping[str, FieldValue]):
    """One frame as received: a read-only mapping from field name to value. Every field by name:
    ``f.altitude``, ``f["altitude"]``, ``f.get("altitude")``, ``dict(f)``; its unit with
    ``f.unit("altitude")``; fields of several elements are lists, texts are str. Two frames are
    equal when their bytes are."""

    __slots__ = ("raw", "_values")

    def __init__(self, raw: Union[bytes, bytearray, memoryview]) -> None:
        raw = bytes(raw)
        if len(raw) != FRAME_SIZE:
            raise ProtocolError("a frame is %d bytes, not %d" % (FRAME_SIZE, len(raw)))
        if not raw.startswith(FRAME_MAGIC):
            raise ProtocolError("the reply is not a frame: it begins with %r, not %r"
                                % (raw[:len(FRAME_MAGIC)], FRAME_MAGIC))
        self.raw: bytes = raw
        self._values: Dict[str, FieldValue] = {name: info.decode(raw)
                                               for name, info in FIELDS.items()}

    @overload
    def __getitem__(self, name: FloatFieldName) -> float: ...
    @overload
    def __getitem__(self, name: IntFieldName) -> int: ...
    @overload
    def __getitem__(self, name: TextFieldName) -> str: ...
    @overload
    def __getitem__(self, name: FloatListFieldName) -> List[float]: ...
    @overload
    def __getitem__(self, name: IntListFieldName) -> List[int]: ...
    @overload
    def __getitem__(self, name: TextListFieldName) -> List[str]: ...
    @overload
    def __getitem__(self, name: str) -> FieldValue: ...

    def __getitem__(self, name: str) -> FieldValue:
        return self._values[name]

    if not TYPE_CHECKING:
        # Attribute access to the fields; type checkers see FrameFields' declarations instead,
        # so a misspelt field name is caught before the program runs.
        def __getattr__(self, name):
            if name.startswith("_"):
                raise AttributeError(name)
            try:
                return self._values[name]
            except KeyError:
                raise AttributeError("a frame has no field %r" % name) from None

    def __setattr__(self, name: str, value: object) -> None:
        if hasattr(self, "_values"):
            raise AttributeError("a frame is read-only")
        object.__setattr__(self, name, value)

    def __contains__(self, name: object) -> bool:
        return name in self._values

    def __iter__(self) -> Iterator[str]:
        return iter(self._values)

    def __len__(self) -> int:
        return len(self._values)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Frame) and self.raw == other.raw

    def __ne__(self, other: object) -> bool:
        return not self == other

    def __hash__(self) -> int:
        return hash(self.raw)

    @staticmethod
    def unit(name: str) -> str:
        """The unit of a field ("ft", "deg", "" for none); KeyError for an unknown name."""
        return FIELDS[name].unit

    @staticmethod
    def field(name: str) -> FieldInfo:
        """The field's description (FieldInfo); KeyError for an unknown name."""
        return FIELDS[name]

    def as_dict(self) -> Dict[str, Dict[str, Any]]:
        """{"name": {"unit": ..., "value": ...}, ...}, as ``zelm frame --json`` shows it."""
        return {name: {"unit": FIELDS[name].unit, "value": value}
                for name, value in self._values.items()}

    def __repr__(self) -> str:
        shown = ", ".join("%s=%r %s" % (name, self._values[name], FIELDS[name].unit)
                          for name in ("altitude", "trueHeading") if name in self._values)
        return "Frame(%s)" % shown

"""The wire description the package works from: layout.json, written by libzelm.

Every offset, type, count, tag and bound the package uses comes from here; nothing about the
wire is written into the code by hand. layout.json is generated (zelm-layout) from the same
tables the add-on and libzelm are built from, and a test keeps the committed copy equal to them.
"""

from __future__ import annotations

import json
import struct
from importlib import resources
from typing import Any, Dict, Optional

DOCUMENT_VERSION = 1


def _load() -> Dict[str, Any]:
    text = resources.files(__package__).joinpath("layout.json").read_text(encoding="utf-8")
    layout: Dict[str, Any] = json.loads(text)
    if layout.get("documentVersion") != DOCUMENT_VERSION:
        raise ImportError(
            "zelm/layout.json has document version %r; this package reads version %d"
            % (layout.get("documentVersion"), DOCUMENT_VERSION)
        )
    return layout


LAYOUT: Dict[str, Any] = _load()
PROTOCOL: Dict[str, Any] = LAYOUT["protocol"]
FRAME: Dict[str, Any] = LAYOUT["frame"]
MCP: Dict[str, Any] = LAYOUT["mcp"]

# struct codes of the numeric types, little-endian as the document's byteOrder says.
_ORDER = {"little": "<", "big": ">"}[LAYOUT["byteOrder"]]
_NUMBER_CODES = {"f64": "d", "i32": "i", "u32": "I", "u8": "B", "bytes": "B"}


def tag(command: str) -> bytes:
    """The ASCII tag of a protocol command ("frame", "fmcRead", ...) as bytes."""
    value: bytes = PROTOCOL["commands"][command]["tag"].encode("ascii")
    assert len(value) == PROTOCOL["tagSize"]
    return value


WORD = struct.Struct(_ORDER + "I")
assert WORD.size == PROTOCOL["wordBytes"] == LAYOUT["types"]["u32"]["size"]


def number_struct(field: Dict[str, Any]) -> Optional[struct.Struct]:
    """A struct for all the elements of a numeric field, or None for a text field."""
    if field["type"] == "text":
        return None
    code = _NUMBER_CODES[field["type"]]
    packer = struct.Struct("%s%d%s" % (_ORDER, field["count"], code))
    assert packer.size == field["size"], field["name"]
    return packer


def encode_text(field: Dict[str, Any], text: str) -> bytes:
    """A text as its field holds it: 8-bit characters, a NUL and zero fill."""
    data = text.encode("latin-1")
    if len(data) >= field["elementSize"]:
        raise ValueError("%r does not fit the field %s" % (text, field["name"]))
    return data.ljust(field["elementSize"], b"\0")

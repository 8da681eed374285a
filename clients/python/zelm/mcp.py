"""The autopilot panel block and its check value, built as libzelm's McpRequestBuilder builds
them: the same settings under the same short names (ap, hdg, alt_ref, ...; the older spellings
ap_master, heading, altitude_reference and apMaster are accepted too), the same rules, the same
bytes."""

from __future__ import annotations

import math
import struct
from typing import Any, Dict, Mapping, Optional, Union

from . import _layout
from .errors import InvalidValueError

BLOCK_SIZE: int = _layout.MCP["size"]
_FIELDS: Dict[str, Dict[str, Any]] = {entry["name"]: entry for entry in _layout.MCP["fields"]}
_CHECK: Dict[str, int] = _layout.MCP["checkValue"]

# Short name -> its entry in the layout's settings table, in the table's order.
SETTINGS: Dict[str, Dict[str, Any]] = {entry["shortName"]: entry
                                       for entry in _layout.MCP["settings"]}
# Every name a setting is taken by (its short name and its aliases) -> its short name.
NAMES: Dict[str, str] = {name: short
         for short, entry in SETTINGS.items()
         for name in [short] + entry["aliases"]}


def _number_struct(field: Dict[str, Any]) -> struct.Struct:
    packer = _layout.number_struct(field)
    assert packer is not None, field["name"]
    return packer


def _start_block() -> bytes:
    block = bytearray(BLOCK_SIZE)
    for field in _layout.MCP["fields"]:
        start = field["start"]
        if field["type"] == "text":
            block[field["offset"]:field["offset"] + field["size"]] = \
                _layout.encode_text(field, start)
        elif start:
            packer = _number_struct(field)
            packer.pack_into(block, field["offset"], *([start] * field["count"]))
    return bytes(block)


START_BLOCK: bytes = _start_block()


def check_value(block: Union[bytes, bytearray]) -> int:
    """The check value the add-on computes over a block (sent after it as a u32)."""
    if len(block) != BLOCK_SIZE:
        raise InvalidValueError("an autopilot block is %d bytes, not %d" % (BLOCK_SIZE, len(block)))
    modulus = _CHECK["modulus"]
    multiplier = _CHECK["multiplier"]
    byte_multiplier = _CHECK["byteMultiplier"]
    h = _CHECK["initial"]
    for byte in block:
        magnitude = 256 - byte if byte >= 128 else byte  # |byte as a signed 8-bit value|
        h = ((h * multiplier) % modulus) ^ ((magnitude * byte_multiplier) % modulus)
    return h


def _number(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise InvalidValueError("%s takes a number, not %r" % (name, value))
    value = float(value)
    if not math.isfinite(value):
        raise InvalidValueError("%s takes a finite number, not %r" % (name, value))
    return value


def _checked(name: str, setting: Dict[str, Any], value: object) -> float:
    """The value to write for a setting, or InvalidValueError."""
    rule = setting["accepts"]
    if rule == "onOff":
        if value is True or value is False or (type(value) is int and value in (0, 1)):
            return int(value)  # (value is a bool or an int here)
        raise InvalidValueError("%s takes True or False (on or off), not %r" % (name, value))
    number = _number(name, value)
    if rule == "numberExceptNone" and number == setting["none"]:
        raise InvalidValueError("%s %g means no request; leave the setting out instead"
                                % (name, number))
    if rule == "nonNegativeNumber" and number < 0:
        raise InvalidValueError("%s takes a value of 0 or more, not %r" % (name, value))
    if rule not in ("number", "numberExceptNone", "nonNegativeNumber"):
        raise InvalidValueError("%s: this package does not know the rule %r" % (name, rule))
    if not setting["min"] <= number <= setting["max"]:
        unit = " " + setting["unit"] if setting["unit"] else ""
        raise InvalidValueError("%s takes %g to %g%s, not %g"
                                % (name, setting["min"], setting["max"], unit, number))
    return number


class McpBlock:
    """A built block: ``data`` (the bytes) and ``check`` (its check value)."""

    __slots__ = ("data", "check")

    def __init__(self, data: Union[bytes, bytearray]) -> None:
        self.data: bytes = bytes(data)
        self.check: int = check_value(self.data)

    def __repr__(self) -> str:
        return "McpBlock(check=0x%08X)" % self.check


def build_mcp(*, alt: Optional[float] = None, vs: Optional[float] = None,
              spd: Optional[float] = None, hdg: Optional[float] = None,
              spd_ref: Optional[float] = None, n1_ref: Optional[float] = None,
              mach_ref: Optional[float] = None, alt_ref: Optional[float] = None,
              vs_ref: Optional[float] = None, hdg_bug: Optional[float] = None,
              crs: Optional[float] = None, ap: Optional[bool] = None, at: Optional[bool] = None,
              fd: Optional[bool] = None, speed_hold: Optional[bool] = None,
              n1_hold: Optional[bool] = None, mach_hold: Optional[bool] = None,
              alt_hold: Optional[bool] = None, hdg_hold: Optional[bool] = None,
              loc_hold: Optional[bool] = None, app_hold: Optional[bool] = None,
              **older_names: Union[float, bool]) -> McpBlock:
    """The block for the given settings, starting from a block with nothing requested and
    nothing changed. The settings go by short name (SETTINGS; their units and ranges are in the
    layout document): requests alt, vs, spd (knots, or Mach below 2.0), hdg; references spd_ref,
    n1_ref, mach_ref, alt_ref, vs_ref, hdg_bug, crs; switches (True or False) ap, at, fd and the
    holds. A setting left at None is not sent. The older spellings (ap_master, heading,
    altitude_reference, apMaster, ...) are taken as further keywords. A state or reference also
    sets its bit in changeFlags; a request has no bit. Raises InvalidValueError for an unknown
    setting, one given twice (by its short name and an alias), a value its rule refuses, and when
    no setting is given."""
    arguments = dict(locals())  # the parameters, before any other local exists
    del arguments["older_names"]
    named = {name: value for name, value in arguments.items() if value is not None}
    return _build({**named, **older_names})


def _build(settings: Mapping[str, object]) -> McpBlock:
    if not settings:
        raise InvalidValueError("give at least one setting: " + ", ".join(SETTINGS))
    block = bytearray(START_BLOCK)
    flags_field = _FIELDS["changeFlags"]
    flags_struct = _number_struct(flags_field)
    (flags,) = flags_struct.unpack_from(block, flags_field["offset"])
    given: Dict[str, str] = {}  # short name -> the name it was given by
    for name, value in settings.items():
        short = NAMES.get(name)
        if short is None:
            raise InvalidValueError("unknown autopilot setting %r; the settings are: %s"
                                    % (name, ", ".join(SETTINGS)))
        if short in given:
            # Two values for one setting: one of them is a mistake.
            raise InvalidValueError("%s is given twice, as %s and as %s"
                                    % (short, given[short], name))
        given[short] = name
        setting = SETTINGS[short]
        checked = _checked(name, setting, value)
        field = _FIELDS[setting["field"]]
        _number_struct(field).pack_into(block, field["offset"], checked)
        if field["bit"] is not None:
            flags |= 1 << field["bit"]
    flags_struct.pack_into(block, flags_field["offset"], flags)
    return McpBlock(block)

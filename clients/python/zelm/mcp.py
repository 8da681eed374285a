"""The autopilot panel block and its check value, built as libzelm's McpRequestBuilder builds
them: the same settings under the same short names (ap, hdg, alt_ref, ...; the older spellings
ap_master, heading, altitude_reference and apMaster are accepted too), the same rules, the same
bytes."""

import math

from . import _layout
from .errors import InvalidValueError

BLOCK_SIZE = _layout.MCP["size"]
_FIELDS = {entry["name"]: entry for entry in _layout.MCP["fields"]}
_CHECK = _layout.MCP["checkValue"]

# Short name -> its entry in the layout's settings table, in the table's order.
SETTINGS = {entry["shortName"]: entry for entry in _layout.MCP["settings"]}
# Every name a setting is taken by (its short name and its aliases) -> its short name.
NAMES = {name: short
         for short, entry in SETTINGS.items()
         for name in [short] + entry["aliases"]}


def _start_block():
    block = bytearray(BLOCK_SIZE)
    for field in _layout.MCP["fields"]:
        start = field["start"]
        if field["type"] == "text":
            block[field["offset"]:field["offset"] + field["size"]] = \
                _layout.encode_text(field, start)
        elif start:
            packer = _layout.number_struct(field)
            packer.pack_into(block, field["offset"], *([start] * field["count"]))
    return bytes(block)


START_BLOCK = _start_block()


def check_value(block):
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


def _number(name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise InvalidValueError("%s takes a number, not %r" % (name, value))
    value = float(value)
    if not math.isfinite(value):
        raise InvalidValueError("%s takes a finite number, not %r" % (name, value))
    return value


def _checked(name, setting, value):
    """The value to write for a setting, or InvalidValueError."""
    rule = setting["accepts"]
    if rule == "onOff":
        if value is True or value is False or (type(value) is int and value in (0, 1)):
            return int(value)
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

    def __init__(self, data):
        self.data = bytes(data)
        self.check = check_value(self.data)

    def __repr__(self):
        return "McpBlock(check=0x%08X)" % self.check


def build_mcp(**settings):
    """The block for the given settings (by short name or alias: ap=True, hdg=270), starting from
    a block with nothing requested and nothing changed. A state (True/False) or reference also
    sets its bit in changeFlags; a request has no bit. Raises InvalidValueError for an unknown
    setting, one given twice (by its short name and an alias), a value its rule refuses, and when
    no setting is given."""
    if not settings:
        raise InvalidValueError("give at least one setting: " + ", ".join(SETTINGS))
    block = bytearray(START_BLOCK)
    flags_field = _FIELDS["changeFlags"]
    flags_struct = _layout.number_struct(flags_field)
    (flags,) = flags_struct.unpack_from(block, flags_field["offset"])
    given = {}  # short name -> the name it was given by
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
        _layout.number_struct(field).pack_into(block, field["offset"], checked)
        if field["bit"] is not None:
            flags |= 1 << field["bit"]
    flags_struct.pack_into(block, flags_field["offset"], flags)
    return McpBlock(block)

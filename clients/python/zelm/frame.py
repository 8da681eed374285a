"""The aircraft-state frame, decoded by field name through layout.json."""

from . import _layout
from .errors import ProtocolError

FRAME_SIZE = _layout.FRAME["size"]
FRAME_MAGIC = _layout.FRAME["magic"].encode("latin-1") + b"\0"


class FieldInfo:
    """One field of the frame's table: name, offset, type, count, size, unit, role, meaning."""

    __slots__ = ("name", "offset", "type", "count", "element_size", "size", "unit", "role",
                 "meaning", "_struct")

    def __init__(self, entry):
        self.name = entry["name"]
        self.offset = entry["offset"]
        self.type = entry["type"]
        self.count = entry["count"]
        self.element_size = entry["elementSize"]
        self.size = entry["size"]
        self.unit = entry["unit"]
        self.role = entry["role"]
        self.meaning = entry["meaning"]
        self._struct = _layout.number_struct(entry)

    def decode(self, raw):
        """The field's value in a frame: a number or text, or a list of them when the field has
        several elements. Texts end at their NUL and are decoded as 8-bit characters."""
        if self._struct is not None:
            values = list(self._struct.unpack_from(raw, self.offset))
        else:
            values = []
            for i in range(self.count):
                start = self.offset + i * self.element_size
                element = raw[start:start + self.element_size]
                values.append(element.split(b"\0", 1)[0].decode("latin-1"))
        return values if self.count > 1 else values[0]

    def __repr__(self):
        return "FieldInfo(%s: %s x %d at %d, unit %r)" % (self.name, self.type, self.count,
                                                          self.offset, self.unit)


FIELDS = {entry["name"]: FieldInfo(entry) for entry in _layout.FRAME["fields"]}


class Frame:
    """One frame as received. Every field by name: ``f.altitude``, ``f["altitude"]``; its unit
    with ``f.unit("altitude")``; fields of several elements are lists, texts are str."""

    __slots__ = ("raw", "_values")

    def __init__(self, raw):
        raw = bytes(raw)
        if len(raw) != FRAME_SIZE:
            raise ProtocolError("a frame is %d bytes, not %d" % (FRAME_SIZE, len(raw)))
        if not raw.startswith(FRAME_MAGIC):
            raise ProtocolError("the reply is not a frame: it begins with %r, not %r"
                                % (raw[:len(FRAME_MAGIC)], FRAME_MAGIC))
        self.raw = raw
        self._values = {name: info.decode(raw) for name, info in FIELDS.items()}

    def __getitem__(self, name):
        return self._values[name]

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        try:
            return self._values[name]
        except KeyError:
            raise AttributeError("a frame has no field %r" % name) from None

    def __contains__(self, name):
        return name in self._values

    def __iter__(self):
        return iter(self._values)

    def __len__(self):
        return len(self._values)

    def __eq__(self, other):
        return isinstance(other, Frame) and self.raw == other.raw

    def __hash__(self):
        return hash(self.raw)

    @staticmethod
    def unit(name):
        """The unit of a field ("ft", "deg", "" for none); KeyError for an unknown name."""
        return FIELDS[name].unit

    @staticmethod
    def field(name):
        """The field's description (FieldInfo); KeyError for an unknown name."""
        return FIELDS[name]

    def as_dict(self):
        """{"name": {"unit": ..., "value": ...}, ...}, as ``zelm frame --json`` shows it."""
        return {name: {"unit": FIELDS[name].unit, "value": value}
                for name, value in self._values.items()}

    def __repr__(self):
        shown = ", ".join("%s=%r %s" % (name, self._values[name], FIELDS[name].unit)
                          for name in ("altitude", "trueHeading") if name in self._values)
        return "Frame(%s)" % shown

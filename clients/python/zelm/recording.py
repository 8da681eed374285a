"""Flight recordings (.vrec, as zelm record writes them): the frames of a flight with the time
each arrived, read front to back.

A recording is a 40-byte header and then records, each checked by its CRC-32: key frames (a
frame compressed with raw deflate), delta frames (the frame XORed with the one before, in the
same deflate stream as the frames since the last key frame), and at a normal end an index and a
16-byte trailer. A writer that crashed or was stopped leaves a file that ends without the index,
or inside a record: such a file is read up to its last whole record, and says so (``cut_short``
and a RecordingCutShort warning). Only the standard library is needed; as_array needs numpy.
"""

from __future__ import annotations

import datetime
import os
import struct
import warnings
import zlib
from typing import (IO, TYPE_CHECKING, Any, Dict, Iterator, List, NamedTuple, Optional, Sequence,
                    Tuple, Union)

from . import _layout
from ._frame_fields import FieldValue
from .errors import ProtocolError, RecordingError
from .frame import FIELDS, FRAME_SIZE, FieldInfo, Frame

if TYPE_CHECKING:
    import numpy

MAGIC = b"VREC\r\n\x1a\n"
FORMAT_VERSION = 1
HEADER = struct.Struct("<8sIIIIqII")  # magic, version, frame size, layout identity,
#                                       key frame interval (ms), start (µs), flags, header CRC
RECORD_HEAD = struct.Struct("<BQI")  # kind, time (µs from the start), payload length
RECORD_CHECK = struct.Struct("<I")   # CRC-32 of the head and the payload
MAX_FRAME_PAYLOAD_BYTES = 65536  # (the index's length is what its key frame count makes it)
INDEX_HEAD = struct.Struct("<II")      # frame count, key frame count
INDEX_ENTRY = struct.Struct("<QQI")    # time (µs), file offset of the record, frame number
TRAILER = struct.Struct("<Q8s")        # file offset of the index record, then the end mark
TRAILER_MARK = b"VRECIDX\n"

KIND_KEY_FRAME = 1
KIND_DELTA_FRAME = 2
KIND_INDEX = 3

# Each record's deflate data ends with a sync flush whose last four bytes the writer leaves out.
_SYNC_FLUSH_TAIL = b"\x00\x00\xff\xff"

# The name of the times in as_array's result (no frame field has it).
TIME_COLUMN = "time"
assert TIME_COLUMN not in FIELDS

# numpy's spelling of each layout type, little-endian.
_NUMPY_TYPES = {"f64": "<f8", "i32": "<i4", "u32": "<u4", "u8": "u1", "bytes": "u1"}

# How many frames as_array converts at once: bounds the memory it needs beside the result.
_ARRAY_CHUNK_FRAMES = 4096


def layout_identity(fields: Sequence[Dict[str, Any]]) -> int:
    """The identity of a frame layout that a recording carries: the CRC-32 of one line per field,
    "name offset type count elementSize\\n", in the layout's order. It changes with any field's
    name, place, type or count, not with a meaning or a unit."""
    text = "".join("%s %d %s %d %d\n" % (f["name"], f["offset"], f["type"], f["count"],
                                         f["elementSize"]) for f in fields)
    return zlib.crc32(text.encode("utf-8"))


# The identity of the layout this package reads (layout.json's).
LAYOUT_IDENTITY: int = layout_identity(_layout.FRAME["fields"])


class RecordingCutShort(UserWarning):
    """The recording ends before its writer finished it; the frames before that point read
    normally."""


class RecordedFrame(NamedTuple):
    """One frame of a recording and when it arrived, in seconds from the recording's start."""
    time: float
    frame: Frame


class _Record(NamedTuple):
    offset: int
    kind: int
    time_us: int
    payload: bytes
    end: int  # the offset of the next record


def _read_record(f: IO[bytes], offset: int, file_size: int) -> Union[_Record, str, None]:
    """The record at `offset` of a file of `file_size` bytes; None at the end of the file; or,
    when the file ends inside the record or its check value does not match, the text that says
    so."""
    head = f.read(RECORD_HEAD.size)
    if not head:
        return None
    if len(head) < RECORD_HEAD.size:
        return "the file ends inside the record at offset %d" % offset
    kind, time_us, length = RECORD_HEAD.unpack(head)
    if kind == KIND_INDEX:
        damaged = length < INDEX_HEAD.size or (length - INDEX_HEAD.size) % INDEX_ENTRY.size
    else:
        damaged = length > MAX_FRAME_PAYLOAD_BYTES
    if damaged:
        # A length no writer writes: the record is damaged (its check value cannot be found).
        return "the record at offset %d is damaged (it announces %d bytes)" % (offset, length)
    if length > file_size - offset - RECORD_HEAD.size:
        # (not read: a damaged length must not make the reader allocate it)
        return "the file ends inside the record at offset %d" % offset
    payload = f.read(length)
    check = f.read(RECORD_CHECK.size)
    if len(payload) < length or len(check) < RECORD_CHECK.size:
        return "the file ends inside the record at offset %d" % offset
    if zlib.crc32(payload, zlib.crc32(head)) != RECORD_CHECK.unpack(check)[0]:
        return "the record at offset %d is damaged (its CRC does not match)" % offset
    return _Record(offset, kind, time_us, payload,
                   offset + RECORD_HEAD.size + length + RECORD_CHECK.size)


class Recording:
    """``Recording(path)``: a flight recording, opened and checked at once. Iterating gives each
    frame with its time, ``for t, frame in Recording("flight.vrec")``; ``column("altitude")``
    gives one field's values, ``times()`` the times, and with numpy installed
    ``as_array(["altitude", ...])`` a structured array. The file is read anew by each of them, so
    memory does not grow with the flight's length (except for the lists and the array asked for).

    Raises RecordingError for a file that is not a recording this package reads: another format
    or format version, a damaged header, or a recording made with another frame layout (its
    ``layout_identity`` differs from LAYOUT_IDENTITY). A file cut short is read up to its last
    whole record: ``cut_short`` says why it ends early (None for a finished recording), and
    opening it gives a RecordingCutShort warning.

    Attributes: ``path``; ``start_time`` (a UTC datetime, when the first frame arrived) and
    ``start_time_us`` (microseconds since 1970); ``key_frame_interval`` (seconds);
    ``layout_identity``; ``frame_count`` (also ``len()``); ``duration`` (seconds from the start
    to the last frame); ``cut_short``.
    """

    def __init__(self, path: Union[str, os.PathLike[str]]) -> None:
        self.path = os.fspath(path)
        with open(self.path, "rb") as f:
            self._read_header(f.read(HEADER.size))
            self._scan(f, os.fstat(f.fileno()).st_size)
        if self.cut_short is not None:
            warnings.warn("%s was cut short: %s; read up to there (%d frames)"
                          % (self.path, self.cut_short, self.frame_count),
                          RecordingCutShort, stacklevel=2)

    def _refuse(self, reason: str) -> RecordingError:
        return RecordingError("%s: %s" % (self.path, reason))

    def _read_header(self, header: bytes) -> None:
        if not header:
            raise self._refuse("the file is empty: not a flight recording")
        if len(header) < HEADER.size:
            if header == MAGIC[:len(header)]:
                raise self._refuse("the file ends inside its %d-byte header (%d bytes)"
                                   % (HEADER.size, len(header)))
            raise self._refuse("not a flight recording (too short, and it does not begin with "
                               "a recording's magic)")
        magic, version, frame_size, identity, interval_ms, start_us, flags, check = \
            HEADER.unpack(header)
        if magic != MAGIC:
            if magic.startswith(b"VREC"):
                raise self._refuse("the recording's magic is changed (%r, not %r): the file was "
                                   "probably copied in text mode, which changes line ends"
                                   % (magic, MAGIC))
            raise self._refuse("not a flight recording (it begins with %r, not %r)"
                               % (magic, MAGIC))
        if zlib.crc32(header[:HEADER.size - RECORD_CHECK.size]) != check:
            raise self._refuse("the header is damaged (its CRC does not match)")
        if version != FORMAT_VERSION:
            raise self._refuse("format version %d; this package reads version %d"
                               % (version, FORMAT_VERSION))
        if frame_size != FRAME_SIZE:
            raise self._refuse("recorded frames of %d bytes; this package reads frames of %d"
                               % (frame_size, FRAME_SIZE))
        if flags != 0:
            raise self._refuse("the header has flags 0x%08X, which this package does not know"
                               % flags)
        if identity != LAYOUT_IDENTITY:
            raise self._refuse("recorded with another frame layout (identity 0x%08X, this build "
                               "reads 0x%08X)" % (identity, LAYOUT_IDENTITY))
        self.layout_identity: int = identity
        self.key_frame_interval: float = interval_ms / 1000.0
        self.start_time_us: int = start_us
        try:
            self.start_time: datetime.datetime = \
                datetime.datetime(1970, 1, 1, tzinfo=datetime.timezone.utc) + \
                datetime.timedelta(microseconds=start_us)
        except OverflowError:
            raise self._refuse("its start time (%d µs since 1970) is not a date" % start_us) \
                from None

    def _scan(self, f: IO[bytes], file_size: int) -> None:
        """Walks the records once (checking each, inflating none) to find where the readable part
        ends and how many frames it holds."""
        offset = HEADER.size
        frames = 0
        last_time_us = 0
        self.cut_short: Optional[str] = None
        while True:
            record = _read_record(f, offset, file_size)
            if record is None:
                self.cut_short = "it ends without an index (its writer did not finish)"
                break
            if isinstance(record, str):
                self.cut_short = record
                break
            if record.kind == KIND_INDEX:
                self._check_index(f, record, frames)
                break
            self._check_frame_record(record, frames, last_time_us)
            frames += 1
            last_time_us = record.time_us
            offset = record.end
        self._end = offset  # where the frame records end
        self.frame_count: int = frames
        self.duration: float = last_time_us / 1e6

    def _check_frame_record(self, record: _Record, frames: int, last_time_us: int) -> None:
        if record.kind not in (KIND_KEY_FRAME, KIND_DELTA_FRAME):
            raise self._refuse("the record at offset %d is of kind %d, which format version %d "
                               "does not have" % (record.offset, record.kind, FORMAT_VERSION))
        if frames == 0 and record.kind != KIND_KEY_FRAME:
            raise self._refuse("the first frame (offset %d) is not a key frame" % record.offset)
        if record.time_us < last_time_us:
            raise self._refuse("the frame at offset %d goes back in time (%d µs after %d µs)"
                               % (record.offset, record.time_us, last_time_us))

    def _check_index(self, f: IO[bytes], record: _Record, frames: int) -> None:
        """The index ends the frames; a good trailer after it ends the file. A damaged trailer
        leaves the frames readable and says the file was cut short; an index that disagrees with
        the frames is a damaged recording."""
        rest = f.read(TRAILER.size + 1)
        if rest != TRAILER.pack(record.offset, TRAILER_MARK):
            self.cut_short = "its trailer after the index at offset %d is %s" % (
                record.offset, "incomplete" if len(rest) < TRAILER.size else "damaged")
            return
        payload = record.payload
        count, keys = INDEX_HEAD.unpack_from(payload)
        if len(payload) != INDEX_HEAD.size + keys * INDEX_ENTRY.size or count != frames:
            raise self._refuse("the index at offset %d does not match the recording (it counts "
                               "%d frames, the file holds %d)" % (record.offset, count, frames))

    # -- reading -----------------------------------------------------------------------------

    def _records(self) -> Iterator[_Record]:
        """The frame records, checked again (the file may have changed since it was opened)."""
        with open(self.path, "rb") as f:
            file_size = os.fstat(f.fileno()).st_size
            f.seek(HEADER.size)
            offset = HEADER.size
            while offset < self._end:
                record = _read_record(f, offset, file_size)
                if not isinstance(record, _Record) or record.kind == KIND_INDEX:
                    raise self._refuse("the file changed after it was opened (at offset %d)"
                                       % offset)
                yield record
                offset = record.end

    def _raw_frames(self) -> Iterator[Tuple[int, bytes]]:
        """(time in µs, the frame's bytes) for each frame."""
        inflater = zlib.decompressobj(-15)
        previous = 0
        for record in self._records():
            if record.kind == KIND_KEY_FRAME:
                inflater = zlib.decompressobj(-15)
            try:
                # Never more than one frame and a byte: damaged data cannot make it allocate more.
                data = inflater.decompress(record.payload + _SYNC_FLUSH_TAIL, FRAME_SIZE + 1)
            except zlib.error as e:
                raise self._refuse("the frame at offset %d does not inflate: %s"
                                   % (record.offset, e)) from None
            if len(data) != FRAME_SIZE:
                raise self._refuse("the frame at offset %d inflates to %s bytes, not %d"
                                   % (record.offset, "more than %d" % FRAME_SIZE
                                      if len(data) > FRAME_SIZE else len(data), FRAME_SIZE))
            value = int.from_bytes(data, "little")
            if record.kind == KIND_DELTA_FRAME:
                value ^= previous
            previous = value
            yield record.time_us, value.to_bytes(FRAME_SIZE, "little")

    def __iter__(self) -> Iterator[RecordedFrame]:
        for time_us, raw in self._raw_frames():
            try:
                frame = Frame(raw)
            except ProtocolError as e:
                raise self._refuse("a recorded frame at %.6f s is not a frame: %s"
                                   % (time_us / 1e6, e)) from None
            yield RecordedFrame(time_us / 1e6, frame)

    def __len__(self) -> int:
        return self.frame_count

    def times(self) -> List[float]:
        """Each frame's time in seconds from the start."""
        return [record.time_us / 1e6 for record in self._records()]

    def column(self, field: str) -> List[FieldValue]:
        """One field's value in each frame, in order (a list of lists for a field of several
        elements). KeyError for a name the frame does not have."""
        info = _field(field)
        return [info.decode(raw) for _, raw in self._raw_frames()]

    def as_array(self, fields: Optional[Sequence[str]] = None) -> numpy.ndarray[Any, Any]:
        """A numpy structured array with one row per frame: the column "time" (seconds from the
        start) and one column per field, named as the field (by default the fields that carry
        the aircraft's state). A field of several elements is a column of sub-arrays; a text is
        bytes (numpy's "S"). Needs numpy; KeyError for a name the frame does not have."""
        try:
            import numpy
        except ImportError:
            raise ImportError("Recording.as_array needs numpy, which is not installed (Debian: "
                              "apt install python3-numpy; or pip install numpy); column() gives "
                              "a field's values as a list without it") from None
        names = list(fields) if fields is not None else \
            [name for name, info in FIELDS.items() if info.role == "value"]
        infos = [_field(name) for name in names]
        if len(set(names)) != len(names):
            raise ValueError("a field is named twice in %r" % (names,))
        formats: List[Any] = []
        for info in infos:
            element = "S%d" % info.element_size if info.type == "text" \
                else _NUMPY_TYPES[info.type]
            formats.append((element, (info.count,)) if info.count > 1 else element)
        # The frame's bytes seen through the fields' places, and the packed result.
        in_frame = numpy.dtype({"names": names, "formats": formats,
                                "offsets": [info.offset for info in infos],
                                "itemsize": FRAME_SIZE})
        result = numpy.zeros(self.frame_count,
                             dtype=[(TIME_COLUMN, "<f8")] + list(zip(names, formats)))
        chunk = bytearray()
        chunk_times: List[float] = []
        done = 0

        def flush() -> None:
            nonlocal done, chunk, chunk_times
            frames = numpy.frombuffer(bytes(chunk), dtype=in_frame)
            rows = slice(done, done + len(frames))
            result[TIME_COLUMN][rows] = chunk_times
            for name in names:
                result[name][rows] = frames[name]
            done += len(frames)
            chunk, chunk_times = bytearray(), []

        for time_us, raw in self._raw_frames():
            if done + len(chunk_times) >= self.frame_count:
                raise self._refuse("the file changed after it was opened (more frames)")
            chunk += raw
            chunk_times.append(time_us / 1e6)
            if len(chunk_times) == _ARRAY_CHUNK_FRAMES:
                flush()
        if chunk_times:
            flush()
        return result

    def __repr__(self) -> str:
        return "Recording(%r: %d frames, %.1f s from %s%s)" % (
            self.path, self.frame_count, self.duration,
            self.start_time.isoformat(timespec="seconds"),
            ", cut short" if self.cut_short else "")


def _field(name: str) -> FieldInfo:
    try:
        return FIELDS[name]
    except KeyError:
        raise KeyError("the frame has no field %r" % name) from None

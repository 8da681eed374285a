"""Reading flight recordings: frames and times as written, files cut short at every byte of
their last record, damaged or foreign files refused with the reason, numpy's array.

The recordings here are written by a small writer of the file format in this file; the test
against recordings of zelm record is test_recorded_flight.py."""

import os
import struct
import sys
import tempfile
import unittest
import unittest.mock
import warnings
import zlib

import zelm
from zelm.recording import (HEADER, INDEX_ENTRY, INDEX_HEAD, KIND_DELTA_FRAME, KIND_INDEX,
                            KIND_KEY_FRAME, MAGIC, RECORD_HEAD, TRAILER, TRAILER_MARK)

START_US = 1_765_450_000_123_456  # 2025-12-11 10:46:40.123456 UTC


def frame_bytes(altitude, n1, ident):
    """A frame with the magic, an altitude, four engines' N1 and a NAV 1 ident."""
    raw = bytearray(2280)
    raw[0:7] = b"ZELM30\0"
    struct.pack_into("<d", raw, zelm.Frame.field("altitude").offset, altitude)
    struct.pack_into("<4d", raw, zelm.Frame.field("engineN1").offset, *n1)
    nav = zelm.Frame.field("navIdent")
    raw[nav.offset:nav.offset + len(ident)] = ident.encode("latin-1")
    return bytes(raw)


def header(version=1, frame_size=2280, identity=None, interval_ms=5000, flags=0, magic=MAGIC,
           start_us=START_US):
    body = HEADER.pack(magic, version, frame_size,
                       zelm.LAYOUT_IDENTITY if identity is None else identity, interval_ms,
                       start_us, flags, 0)[:36]
    return body + struct.pack("<I", zlib.crc32(body))


def record(kind, time_us, payload):
    head = RECORD_HEAD.pack(kind, time_us, len(payload))
    return head + payload + struct.pack("<I", zlib.crc32(head + payload))


def recording_bytes(frames, interval_ms=5000, finish=True):
    """A recording of `frames` [(time in µs, frame bytes)] as the format document describes it.
    Returns the bytes and the offset of each record."""
    out = bytearray(header(interval_ms=interval_ms))
    offsets = []
    keys = []
    segment_start = deflater = previous = None
    for number, (time_us, raw) in enumerate(frames):
        key = segment_start is None or time_us - segment_start >= interval_ms * 1000
        if key:
            deflater = zlib.compressobj(6, zlib.DEFLATED, -15)
            segment_start = time_us
            keys.append(INDEX_ENTRY.pack(time_us, len(out), number))
            data = raw
        else:
            data = bytes(a ^ b for a, b in zip(raw, previous))
        payload = deflater.compress(data) + deflater.flush(zlib.Z_SYNC_FLUSH)
        assert payload.endswith(b"\0\0\xff\xff")
        offsets.append(len(out))
        out += record(KIND_KEY_FRAME if key else KIND_DELTA_FRAME, time_us, payload[:-4])
        previous = raw
    if finish:
        index_offset = len(out)
        offsets.append(index_offset)
        out += record(KIND_INDEX, 0, INDEX_HEAD.pack(len(frames), len(keys)) + b"".join(keys))
        out += TRAILER.pack(index_offset, TRAILER_MARK)
    return bytes(out), offsets


# Twelve frames over 5.5 s, a key frame every 2 s: three segments.
FLIGHT = [(i * 500_000, frame_bytes(1000.0 + 25 * i, [80.0 + i, 81.0, 82.0, 83.5], "IV%02d" % i))
          for i in range(12)]


class RecordingFileTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        self.addCleanup(self.dir.cleanup)

    def write(self, data, name="flight.vrec"):
        path = os.path.join(self.dir.name, name)
        with open(path, "wb") as f:
            f.write(data)
        return path

    def open(self, data):
        """The recording and the RecordingCutShort warnings its opening gave."""
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            rec = zelm.Recording(self.write(data))
        return rec, [w for w in caught if issubclass(w.category, zelm.RecordingCutShort)]

    def assertFrames(self, rec, frames):
        got = [(t, f.raw) for t, f in rec]
        self.assertEqual(got, [(time_us / 1e6, raw) for time_us, raw in frames])

    def test_frames_and_times_read_as_written(self):
        data, _ = recording_bytes(FLIGHT, interval_ms=2000)
        rec, cut = self.open(data)
        self.assertEqual((cut, rec.cut_short), ([], None))
        self.assertFrames(rec, FLIGHT)
        self.assertEqual((len(rec), rec.frame_count, rec.duration), (12, 12, 5.5))
        self.assertEqual(rec.start_time.isoformat(), "2025-12-11T10:46:40.123456+00:00")
        self.assertEqual((rec.start_time_us, rec.key_frame_interval), (START_US, 2.0))
        self.assertEqual(rec.times(), [i * 0.5 for i in range(12)])
        self.assertEqual(rec.column("altitude"), [1000.0 + 25 * i for i in range(12)])
        self.assertEqual(rec.column("engineN1")[3], [83.0, 81.0, 82.0, 83.5])
        self.assertEqual(rec.column("navIdent")[11], ["IV11", ""])
        t, f = next(iter(rec))
        self.assertEqual((t, f.altitude, f["navIdent"]), (0.0, 1000.0, ["IV00", ""]))
        with self.assertRaisesRegex(KeyError, "no field 'altitud'"):
            rec.column("altitud")

    def test_a_file_cut_short_reads_up_to_its_last_whole_record(self):
        unfinished, offsets = recording_bytes(FLIGHT, finish=False)
        finished, _ = recording_bytes(FLIGHT)
        last = offsets[-1]
        # Every cut inside the last frame record; then the whole frames without an index, and
        # every cut inside the index and its trailer.
        cases = [(unfinished[:cut], 11) for cut in range(last, len(unfinished))]
        cases += [(finished[:cut], 12) for cut in range(len(unfinished), len(finished))]
        for data, frames in cases:
            with self.subTest(length=len(data)):
                rec, cut = self.open(data)
                self.assertEqual(len(cut), 1)
                self.assertIsNotNone(rec.cut_short)
                self.assertIn("cut short", str(cut[0].message))
                self.assertEqual(len(rec), frames)
                self.assertFrames(rec, FLIGHT[:frames])

    def test_a_damaged_record_ends_the_recording_there(self):
        data, offsets = recording_bytes(FLIGHT)
        damaged = bytearray(data)
        damaged[offsets[5] + RECORD_HEAD.size + 2] ^= 0x10  # in the sixth frame's payload
        rec, cut = self.open(bytes(damaged))
        self.assertIn("record at offset %d is damaged" % offsets[5], rec.cut_short)
        self.assertEqual(len(cut), 1)
        self.assertFrames(rec, FLIGHT[:5])
        self.assertEqual(rec.column("altitude"), [1000.0 + 25 * i for i in range(5)])

    def test_a_damaged_length_is_not_read(self):
        data, offsets = recording_bytes(FLIGHT)
        for kind, length in ((KIND_DELTA_FRAME, 65537), (KIND_DELTA_FRAME, 0xFFFFFFFF),
                             (KIND_INDEX, 0xFFFFFFF0), (KIND_INDEX, 9)):
            with self.subTest(kind=kind, length=length):
                damaged = bytearray(data)
                RECORD_HEAD.pack_into(damaged, offsets[7], kind, 3_500_000, length)
                rec, cut = self.open(bytes(damaged))
                self.assertIn("offset %d" % offsets[7], rec.cut_short)
                self.assertEqual((len(rec), len(cut)), (7, 1))

    def test_an_index_may_be_longer_than_a_frame_record(self):
        # A key frame every millisecond: 3300 key frames make an index of 66008 bytes.
        frames = [(i * 1000, FLIGHT[i % 12][1]) for i in range(3300)]
        rec, cut = self.open(recording_bytes(frames, interval_ms=1)[0])
        self.assertEqual((rec.cut_short, cut, len(rec)), (None, [], 3300))
        self.assertEqual(rec.column("altitude")[-1], 1000.0 + 25 * (3299 % 12))

    def test_files_it_does_not_read_are_refused_with_the_reason(self):
        whole, _ = recording_bytes(FLIGHT[:2])
        records = whole[HEADER.size:]
        other = 0x12345678 if zelm.LAYOUT_IDENTITY != 0x12345678 else 0x87654321
        cases = [
            (b"", "the file is empty: not a flight recording"),
            (b"VREC\r\n", "ends inside its 40-byte header"),
            (b"PK\x03\x04" + bytes(60), "not a flight recording (it begins with b'PK"),
            (b"VREC\n\x1a\n" + whole[7:], "probably copied in text mode"),
            (whole[:20] + b"\xff" + whole[21:], "the header is damaged"),
            (header(version=2) + records, "format version 2; this package reads version 1"),
            (header(frame_size=1024) + records, "frames of 1024 bytes"),
            (header(flags=1) + records, "flags 0x00000001"),
            (header(start_us=2 ** 62) + records, "start time (4611686018427387904 µs since 1970)"),
            (header(identity=other) + records,
             "recorded with another frame layout (identity 0x%08X, this build reads 0x%08X)"
             % (other, zelm.LAYOUT_IDENTITY)),
        ]
        for data, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(zelm.RecordingError) as caught:
                    self.open(data)
                self.assertIn(message, str(caught.exception))
                self.assertIn("flight.vrec", str(caught.exception))

    def test_damaged_contents_behind_good_checks_are_refused(self):
        frame = FLIGHT[0][1]
        key = zlib.compressobj(6, zlib.DEFLATED, -15)
        key_payload = (key.compress(frame) + key.flush(zlib.Z_SYNC_FLUSH))[:-4]
        # 16 MB of zeros deflate to about 16 KB: the reader must not inflate all of it.
        bomb = zlib.compressobj(9, zlib.DEFLATED, -15)
        bomb_payload = (bomb.compress(bytes(16 << 20)) + bomb.flush(zlib.Z_SYNC_FLUSH))[:-4]
        cases = [
            (record(KIND_KEY_FRAME, 0, bomb_payload), "inflates to more than 2280 bytes"),
            (record(KIND_KEY_FRAME, 0, b"\xff\xff\xff"), "does not inflate"),
            (record(KIND_KEY_FRAME, 0, key_payload[:len(key_payload) // 2]), "inflates to "),
            (record(KIND_KEY_FRAME, 0, (lambda c: (c.compress(bytes(2280)) + c.flush(
                zlib.Z_SYNC_FLUSH))[:-4])(zlib.compressobj(6, zlib.DEFLATED, -15))),
             "is not a frame"),
        ]
        for records, message in cases:
            with self.subTest(message=message):
                rec, _ = self.open(header() + records)
                with self.assertRaisesRegex(zelm.RecordingError, message):
                    list(rec)
        # Found when opening: structure no writer makes.
        one_frame, offsets = recording_bytes(FLIGHT[:1])
        index_offset = offsets[-1]
        cases = [
            (record(KIND_DELTA_FRAME, 0, key_payload), "the first frame (offset 40) is not a key"),
            (record(KIND_KEY_FRAME, 2000, key_payload) + record(KIND_KEY_FRAME, 1000, key_payload),
             "goes back in time"),
            (record(7, 0, key_payload), "of kind 7"),
            (one_frame[HEADER.size:index_offset]
             + record(KIND_INDEX, 0, INDEX_HEAD.pack(5, 1) + INDEX_ENTRY.pack(0, 40, 0))
             + TRAILER.pack(index_offset, TRAILER_MARK),
             "counts 5 frames, the file holds 1"),
        ]
        for records, message in cases:
            with self.subTest(message=message):
                with self.assertRaises(zelm.RecordingError) as caught:
                    self.open(header() + records)
                self.assertIn(message, str(caught.exception))

    def test_as_array(self):
        try:
            import numpy
        except ImportError:
            self.skipTest("numpy is not installed (Debian: python3-numpy)")
        rec, _ = self.open(recording_bytes(FLIGHT, interval_ms=2000)[0])
        array = rec.as_array(["altitude", "engineN1", "navIdent"])
        self.assertEqual(array.dtype.names, ("time", "altitude", "engineN1", "navIdent"))
        self.assertEqual(array.shape, (12,))
        self.assertEqual(array["time"].tolist(), rec.times())
        self.assertEqual(array["altitude"].tolist(), rec.column("altitude"))
        self.assertEqual(array["engineN1"].tolist(), rec.column("engineN1"))
        self.assertEqual(array["navIdent"][4].tolist(), [b"IV04", b""])
        self.assertEqual(array.dtype["engineN1"], numpy.dtype(("<f8", (4,))))
        # By default the fields that carry the aircraft's state.
        default = rec.as_array()
        self.assertIn("latitude", default.dtype.names)
        self.assertNotIn("fixed40", default.dtype.names)
        with self.assertRaisesRegex(KeyError, "no field 'nope'"):
            rec.as_array(["nope"])

    def test_as_array_without_numpy_says_what_to_install(self):
        rec, _ = self.open(recording_bytes(FLIGHT[:2])[0])
        with unittest.mock.patch.dict(sys.modules, {"numpy": None}):
            with self.assertRaisesRegex(ImportError, "needs numpy.*python3-numpy"):
                rec.as_array(["altitude"])


if __name__ == "__main__":
    unittest.main()

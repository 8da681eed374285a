"""The reader against recordings that zelm record writes from velkaro-sim: the same frames, times
and values as zelm export gives from the same file, whole and cut short."""

import csv
import io
import os
import shutil
import subprocess
import tempfile
import unittest
import warnings

import zelm
from support import Sim, program

ALTITUDE_FT = 12345.0
# Fields compared with zelm export's columns: pinned, moving, integer and text ones.
FIELDS = ["altitude", "latitude", "longitude", "trueHeading", "groundSpeed", "conversionTime",
          "apMaster", "simulatorName"]


def export(recording, fields):
    """zelm export's CSV of `fields` as rows of {column name: text}, with the header."""
    out = subprocess.run([program("ZELM_TOOL"), "export", recording, "--csv",
                          "--fields", ",".join(fields)],
                         capture_output=True, text=True, timeout=60)
    if out.returncode != 0:
        raise AssertionError("zelm export failed: %s" % out.stderr)
    rows = list(csv.reader(io.StringIO(out.stdout)))
    return rows[0], rows[1:]


class RecordedFlightTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        zelm_tool = program("ZELM_TOOL")
        if subprocess.run([zelm_tool, "record", "--help"], capture_output=True).returncode != 0:
            raise unittest.SkipTest("this zelm has no record command")
        cls.dir = tempfile.mkdtemp()
        cls.path = os.path.join(cls.dir, "flight.vrec")
        sim = Sim("--set", "PLANE ALTITUDE=%r" % ALTITUDE_FT)
        try:
            out = subprocess.run([zelm_tool, "record", "-o", cls.path, "--seconds", "2"],
                                 capture_output=True, text=True, timeout=60)
        finally:
            sim.stop()
        if out.returncode != 0:
            shutil.rmtree(cls.dir)
            raise AssertionError("zelm record failed: %s" % out.stderr)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def test_the_recording_reads_as_zelm_export_reads_it(self):
        rec = zelm.Recording(self.path)
        self.assertIsNone(rec.cut_short)
        self.assertEqual(rec.layout_identity, zelm.LAYOUT_IDENTITY)
        frames = list(rec)
        # 2 s of a 60 Hz simulator: many frames, each new, none going back in time.
        self.assertGreater(len(frames), 30)
        self.assertEqual(len(frames), len(rec))
        self.assertEqual(len({f.raw for _, f in frames}), len(frames))
        times = [t for t, _ in frames]
        self.assertEqual(times, sorted(times))
        self.assertEqual(times[0], 0.0)
        self.assertAlmostEqual(rec.duration, times[-1])
        self.assertTrue(all(f.altitude == ALTITUDE_FT for _, f in frames))
        self.assertGreater(len(set(rec.column("latitude"))), 1, "the aircraft did not move")

        header, rows = export(self.path, FIELDS)
        self.assertEqual(len(rows), len(frames))
        columns = {name.split(" ")[0]: i for i, name in enumerate(header)}
        # zelm export writes times in whole microseconds and numbers as the shortest text that
        # reads back as the same double: every value must be equal, not merely close.
        for number, ((t, f), row) in enumerate(zip(frames, rows)):
            got = [float(row[columns["time"]])]
            got += [row[columns[name]] if isinstance(f[name], str) else float(row[columns[name]])
                    for name in FIELDS]
            self.assertEqual(got, [t] + [f[name] for name in FIELDS], "frame %d" % number)

    def test_a_cut_recording_reads_as_zelm_export_reads_it(self):
        with open(self.path, "rb") as f:
            data = f.read()
        cut = os.path.join(self.dir, "cut.vrec")
        # Inside the trailer, then inside the last records.
        for length in (len(data) - 5, len(data) - 100, len(data) * 2 // 3):
            with self.subTest(length=length):
                with open(cut, "wb") as f:
                    f.write(data[:length])
                with warnings.catch_warnings(record=True) as caught:
                    warnings.simplefilter("always")
                    rec = zelm.Recording(cut)
                self.assertIsNotNone(rec.cut_short)
                self.assertTrue(any(issubclass(w.category, zelm.RecordingCutShort)
                                    for w in caught))
                _, rows = export(cut, ["altitude"])
                self.assertEqual(len(rows), len(rec))
                self.assertEqual([float(row[1]) for row in rows], rec.column("altitude"))


if __name__ == "__main__":
    unittest.main()

"""The client against the add-on in velkaro-sim: pinned variables arrive in their frame fields,
an autopilot block turns the aircraft, FMC data makes the round trip, and the example script
logs and stops cleanly on Ctrl-C."""

import math
import os
import signal
import subprocess
import sys
import time
import unittest

import zelm
from support import Sim

HEADING_RAD = 1.0  # the simulator variable is in radians; the frame field in degrees


class PinnedSimTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim("--set", "PLANE ALTITUDE=12345",
                      "--set", "PLANE HEADING DEGREES TRUE=%r" % HEADING_RAD,
                      "--set", "AUTOPILOT ALTITUDE LOCK VAR=23000")

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def test_frame_fields_carry_the_pinned_values(self):
        with zelm.Client(timeout=10) as client:
            f = client.frame()
        self.assertEqual((f.magic, f.simulatorName, f.platformName), ("ZELM30", "FSX", "WIN32"))
        self.assertEqual((f.altitude, f.unit("altitude")), (12345.0, "ft"))
        self.assertAlmostEqual(f.trueHeading, math.degrees(HEADING_RAD), places=9)
        self.assertEqual(f.unit("trueHeading"), "deg")
        self.assertEqual((f.apAltitude, f.unit("apAltitude")), (23000.0, "ft"))
        self.assertEqual(f.fixed40, 1013.2)
        self.assertEqual(f.startup2272, 0x55)
        self.assertEqual(len(f.engineN1), 4)
        self.assertTrue(all(isinstance(ident, str) for ident in f.navIdent))

    def test_frames_are_new_frames(self):
        with zelm.Client(timeout=10) as client:
            got = [f.raw for _, f in zip(range(3), client.frames())]
        self.assertEqual(len(set(got)), 3)

    def test_fmc_data_round_trip(self):
        data = os.urandom(5000)
        with zelm.Client(timeout=10) as client:
            client.fmc_put(data, 42)
            client.fpl_put(b"KSEA DCT KPDX", 3)
        with zelm.Client(timeout=10) as client:
            self.assertEqual(client.fmc_get(), (data, 42))
            self.assertEqual(client.fmc_head(), data[:8])

    def test_log_csv_writes_rows_and_ends_on_ctrl_c(self):
        script = os.path.join(os.path.dirname(__file__), "..", "examples", "log_csv.py")
        logger = subprocess.Popen([sys.executable, script], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True)
        time.sleep(2.5)
        logger.send_signal(signal.SIGINT)
        out, err = logger.communicate(timeout=15)
        self.assertEqual(logger.returncode, 0, err)
        self.assertEqual(err, "")
        lines = out.splitlines()
        self.assertEqual(lines[0], "time,altitude_ft,true_heading_deg")
        self.assertGreaterEqual(len(lines), 3, out)
        _, altitude, heading = lines[1].split(",")
        self.assertEqual(float(altitude), 12345.0)
        self.assertAlmostEqual(float(heading), math.degrees(HEADING_RAD), places=3)


def off(heading, target):
    """Angular distance from a heading to a target, 0 to 180."""
    d = abs(heading - target) % 360.0
    return 360.0 - d if d > 180.0 else d


class AutopilotSimTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = Sim()

    @classmethod
    def tearDownClass(cls):
        cls.sim.stop()

    def test_ap_on_and_heading_270_turn_the_aircraft(self):
        with zelm.Client(timeout=10) as client:
            before = client.frame()
            self.assertEqual(before.apMaster, 0)
            client.mcp(ap_master=True, heading=270)
            start = None
            give_up = time.monotonic() + 30
            for f in client.frames():
                if start is None and f.apMaster == 1:
                    start = f  # engaged: turning from here
                    self.assertEqual((f.apHeadingHold, f.apHeading), ([1, 1], 270.0))
                if start is not None and \
                        off(f.magneticHeading[0], 270) < off(start.magneticHeading[0], 270) - 10:
                    break
                self.assertLess(time.monotonic(), give_up,
                                "from %s the heading went only to %s" % (
                                    start and start.magneticHeading, f.magneticHeading))


if __name__ == "__main__":
    unittest.main()

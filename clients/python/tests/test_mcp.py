"""The autopilot block: the package builds the bytes and check value that libzelm builds (as
`zelm mcp --dry-run` shows them), and the check value the add-on computes."""

import inspect
import re
import subprocess
import unittest

import zelm
from support import program

# Each case: the package's settings and the same settings as zelm mcp options.
CASES = [
    ({"ap": True, "hdg": 270}, "--ap on --hdg 270"),
    ({"ap_master": True, "heading": 270}, "--ap on --hdg 270"),
    ({"altitude": 12000, "vertical_speed": -500, "speed": 0.78}, "--alt 12000 --vs -500 --spd 0.78"),
    ({"speed": 250, "heading": 0, "altitude": 0}, "--spd 250 --hdg 0 --alt 0"),
    ({"speed_reference": 250, "n1_reference": 91.5, "mach_reference": 0.8,
      "altitude_reference": 35000, "vertical_speed_reference": -1800, "heading_bug": 359.9,
      "nav1_course": 123},
     "--spd-ref 250 --n1-ref 91.5 --mach-ref 0.8 --alt-ref 35000 --vs-ref -1800 --hdg-bug 359.9 "
     "--crs 123"),
    ({"autothrottle": True, "flight_director": False, "speed_hold": 1, "n1_hold": 0,
      "mach_hold": True, "altitude_hold": True, "heading_hold": False, "loc_hold": True,
      "approach_hold": True, "ap_master": False},
     "--at on --fd off --speed-hold on --n1-hold off --mach-hold on --alt-hold on --hdg-hold off "
     "--loc-hold on --app-hold on --ap off"),
]


def dry_run(options):
    """The block and check value `zelm mcp OPTIONS --dry-run` prints."""
    out = subprocess.run([program("ZELM_TOOL"), "mcp", *options.split(), "--dry-run"],
                         capture_output=True, text=True, timeout=30, check=True).stdout
    block = bytearray()
    for line in out.splitlines():
        if re.match(r"^[0-9a-f]{8} ", line):
            block += bytes.fromhex(line[8:].split("|")[0])
    check = int(re.search(r"check value 0x([0-9A-F]{8})", out).group(1), 16)
    return bytes(block), check


class McpBlockTest(unittest.TestCase):
    def test_the_block_is_the_one_libzelm_builds(self):
        for settings, options in CASES:
            with self.subTest(options=options):
                block = zelm.build_mcp(**settings)
                self.assertEqual((block.data, block.check), dry_run(options))

    def test_every_spelling_of_a_setting_builds_the_same_block(self):
        for short, setting in zelm.MCP_SETTINGS.items():
            value = True if setting["accepts"] == "onOff" else setting["max"]
            expected = zelm.build_mcp(**{short: value}).data
            self.assertNotEqual(expected, zelm.mcp.START_BLOCK, short)
            for alias in setting["aliases"]:
                with self.subTest(setting=short, alias=alias):
                    self.assertEqual(zelm.build_mcp(**{alias: value}).data, expected)

    def test_the_keyword_arguments_are_the_settings_of_the_layout(self):
        # What editors and type checkers offer: every setting by its short name, typed by its
        # rule; the older names go through **older_names.
        expected = [(short, "Optional[bool]" if s["accepts"] == "onOff" else "Optional[float]")
                    for short, s in zelm.MCP_SETTINGS.items()]
        for function in (zelm.build_mcp, zelm.Client.mcp):
            with self.subTest(function=function.__qualname__):
                parameters = inspect.signature(function).parameters.values()
                keywords = [(p.name, p.annotation) for p in parameters
                            if p.kind is inspect.Parameter.KEYWORD_ONLY]
                self.assertEqual(keywords, expected)
                self.assertTrue(all(p.default is None for p in parameters
                                    if p.kind is inspect.Parameter.KEYWORD_ONLY))
        # A setting left at None is not sent.
        self.assertEqual(zelm.build_mcp(ap=True, hdg=None).data, zelm.build_mcp(ap=True).data)

    def test_refusals_name_the_settings(self):
        cases = [
            ({"warp": 9}, "unknown autopilot setting 'warp'; the settings are: alt, vs, spd, hdg, "),
            ({"hdg": 270, "heading": 90}, "hdg is given twice, as hdg and as heading"),
            ({"heading": 400}, "heading takes 0 to 360 deg, not 400"),
            ({"ap": 2}, "ap takes True or False"),
        ]
        for settings, message in cases:
            with self.subTest(settings=settings):
                with self.assertRaises(zelm.InvalidValueError) as caught:
                    zelm.build_mcp(**settings)
                self.assertIn(message, str(caught.exception))

    def test_the_check_value_is_the_add_ons(self):
        # The add-on's own examples.
        cases = [
            (bytes(144), 0xB2A4C15F),
            (bytes(143) + b"\x01", 0xB2A5EDFC),
            (bytes(143) + b"\xff", 0xB2A5EDFC),
            (b"\x80" + bytes(143), 0xACCEF5DF),
        ]
        for block, value in cases:
            with self.subTest(block=block.hex()):
                self.assertEqual(zelm.check_value(block), value)

    def test_a_setting_fills_its_field_and_bit(self):
        block = zelm.build_mcp(heading_bug=90.0, heading=270).data
        self.assertEqual(block[0:8], b"ZELM20\0\0")
        self.assertEqual(block[32:40], bytes.fromhex("0000000000e07040"))    # headingRequest 270
        self.assertEqual(block[104:112], bytes.fromhex("0000000000805640"))  # headingBug 90
        self.assertEqual(block[120:124], bytes.fromhex("00000800"))          # bit 19 only


if __name__ == "__main__":
    unittest.main()

"""The client against peers that are not the add-on: frames and replies built by hand (offsets
written as literal numbers on purpose, so a slip in the layout shows), peers that never answer,
trickle their answer or announce more than the protocol allows, and values refused before
anything is sent."""

import collections.abc
import math
import socket
import struct
import threading
import time
import unittest

import zelm
from support import GIVES_UP_WITHIN, FakeAddOn, free_port, word

MAX_UPLOAD = 16 * 1024 * 1024
MAX_STATUS = 64 * 1024


def hand_built_frame():
    raw = bytearray(2280)
    raw[0:7] = b"ZELM30\0"
    raw[8:11] = b"FSX"
    struct.pack_into("<d", raw, 112, 12345.5)                  # altitude
    struct.pack_into("<d", raw, 136, 271.25)                   # trueHeading
    struct.pack_into("<2d", raw, 1696, 110.3, 113.9)           # navFrequency
    struct.pack_into("<4i", raw, 1480, 1, 0, -7, 2147483647)  # starterEngaged
    raw[1776:1782] = b"IVLK\0\0"                               # navIdent, receiver 1
    raw[1782:1788] = b"ABCDE\0"                                # navIdent, receiver 2 (full)
    raw[1940] = 1                                              # apMaster
    raw[2272] = 0x55                                           # startup2272
    return bytes(raw)


class FrameTest(unittest.TestCase):
    def test_every_field_by_name_with_its_unit(self):
        raw = hand_built_frame()
        with FakeAddOn(raw) as peer, zelm.Client(port=peer.port, timeout=5) as client:
            f = client.frame()
        self.assertEqual(peer.received, b"rSIMDATA30")
        self.assertEqual(f.raw, raw)
        self.assertEqual((f.magic, f.simulatorName, f.platformName), ("ZELM30", "FSX", ""))
        self.assertEqual((f.altitude, f["altitude"], f.unit("altitude")), (12345.5, 12345.5, "ft"))
        self.assertEqual((f.trueHeading, f.unit("trueHeading")), (271.25, "deg"))
        self.assertEqual(f.navFrequency, [110.3, 113.9])
        self.assertEqual(f.starterEngaged, [1, 0, -7, 2147483647])
        self.assertEqual(f.navIdent, ["IVLK", "ABCDE"])
        self.assertEqual((f.apMaster, f.startup2272), (1, 0x55))
        self.assertEqual(len(f.fuelLevel), 12)
        self.assertEqual(len(f), len(zelm.LAYOUT["frame"]["fields"]))
        self.assertEqual(f.as_dict()["altitude"], {"unit": "ft", "value": 12345.5})
        with self.assertRaises(AttributeError):
            f.noSuchField
        with self.assertRaises(KeyError):
            f["noSuchField"]

    def test_a_frame_is_a_read_only_mapping(self):
        f = zelm.Frame(hand_built_frame())
        self.assertIsInstance(f, collections.abc.Mapping)
        names = [field["name"] for field in zelm.LAYOUT["frame"]["fields"]]
        self.assertEqual((list(f), list(f.keys()), len(f)), (names, names, len(names)))
        self.assertEqual(dict(f.items())["navIdent"], ["IVLK", "ABCDE"])
        self.assertEqual(list(f.values())[names.index("altitude")], 12345.5)
        self.assertEqual((f.get("altitude"), f.get("noSuchField"), f.get("noSuchField", 0)),
                         (12345.5, None, 0))
        self.assertEqual(("altitude" in f, "noSuchField" in f, 3 in f), (True, False, False))
        # Equal by bytes (so NaN fields compare), hashable, and not to be changed.
        nan = bytearray(hand_built_frame())
        struct.pack_into("<d", nan, 112, float("nan"))
        self.assertEqual(zelm.Frame(nan), zelm.Frame(bytes(nan)))
        self.assertEqual(len({f, zelm.Frame(hand_built_frame())}), 1)
        self.assertNotEqual(f, zelm.Frame(nan))
        for change in (lambda: setattr(f, "altitude", 1.0), lambda: setattr(f, "raw", b""),
                       lambda: f.__setitem__("altitude", 1.0)):
            with self.assertRaises((AttributeError, TypeError)):
                change()
        self.assertEqual(f.altitude, 12345.5)

    def test_a_reply_that_is_not_a_frame_is_an_error_and_closes(self):
        with FakeAddOn(b"HELLO!\0" + bytes(2273)) as peer:
            client = zelm.Client(port=peer.port, timeout=5)
            with self.assertRaisesRegex(zelm.ProtocolError, "not a frame"):
                client.frame()
            with self.assertRaises(zelm.ConnectionLostError):
                client.frame()

    def test_frames_skips_repeats(self):
        first = hand_built_frame()
        second = bytearray(first)
        struct.pack_into("<d", second, 112, 12400.0)
        # The peer answers three requests: the first frame, its repeat, then a new one.
        with FakeAddOn(first + first + bytes(second)) as peer:
            with zelm.Client(port=peer.port, timeout=5) as client:
                altitudes = [f.altitude for _, f in zip(range(2), client.frames())]
        self.assertEqual(altitudes, [12345.5, 12400.0])


class LimitTest(unittest.TestCase):
    def assertGivesUp(self, error, call, within=GIVES_UP_WITHIN):
        started = time.monotonic()
        with self.assertRaises(error) as caught:
            call()
        self.assertLess(time.monotonic() - started, within, caught.exception)
        return caught.exception

    def test_a_peer_that_never_answers_times_out(self):
        with FakeAddOn(how="silent") as peer:
            client = zelm.Client(port=peer.port, timeout=0.5)
            e = self.assertGivesUp(zelm.ReplyTimeoutError, client.frame)
            self.assertIn("timed out after 0.5 s", str(e))
            # A late answer would be taken for the next one's: the connection is closed.
            with self.assertRaises(zelm.ConnectionLostError):
                client.fmc_head()

    def test_a_trickled_reply_ends_at_the_timeout(self):
        # One byte every 50 ms: each wait is short, the whole frame would take 2 minutes.
        with FakeAddOn(hand_built_frame(), how="trickle", interval=0.05) as peer:
            client = zelm.Client(port=peer.port, timeout=1)
            self.assertGivesUp(zelm.ReplyTimeoutError, client.frame)

    def test_an_upload_to_a_peer_that_does_not_read_times_out(self):
        with FakeAddOn(read=False) as peer:
            client = zelm.Client(port=peer.port, timeout=1)
            e = self.assertGivesUp(zelm.ReplyTimeoutError,
                                   lambda: client.fmc_put(bytes(MAX_UPLOAD), 1))
            self.assertIn("sending stalled", str(e))

    def test_status_gives_up_soon_on_an_add_on_that_does_not_know_it(self):
        # It answers a frame and then not the status: an add-on before 1.1, and said to be.
        with FakeAddOn(hand_built_frame()) as peer:
            client = zelm.Client(port=peer.port, timeout=30)
            client.frame()
            e = self.assertGivesUp(zelm.StatusUnavailableError,
                                   lambda: client.status(timeout=0.3), within=3)
            self.assertIn("before 1.1", str(e))
        self.assertEqual(peer.received, b"rSIMDATA30rSTATUS010")
        # Silent from the start, it may be anything: no word of 1.1.
        with FakeAddOn(how="silent") as peer:
            client = zelm.Client(port=peer.port, timeout=30)
            e = self.assertGivesUp(zelm.StatusUnavailableError,
                                   lambda: client.status(timeout=0.3), within=3)
            self.assertNotIn("1.1", str(e))

    def test_a_connection_closed_before_any_answer_is_said_to_be_refused(self):
        listener = socket.create_server(("127.0.0.1", 0))
        port = listener.getsockname()[1]

        def refuse():
            for _ in range(2):
                conn, _ = listener.accept()
                conn.close()

        thread = threading.Thread(target=refuse, daemon=True)
        thread.start()
        try:
            for call in ("frame", "status"):
                with self.subTest(call=call):
                    client = zelm.Client(port=port, timeout=5)
                    with self.assertRaises(zelm.ConnectionLostError) as caught:
                        getattr(client, call)()
                    self.assertIn("closed the connection at once, before answering",
                                  str(caught.exception))
                    self.assertIn("max_clients", str(caught.exception))
                    self.assertNotIn("1.1", str(caught.exception))
        finally:
            thread.join(5)
            listener.close()

    def test_lengths_above_the_bound_are_refused_unread(self):
        cases = [
            ("fmc_get", word(MAX_UPLOAD + 1)),
            ("fmc_get", word(0xFFFFFFFF)),
            ("status", word(MAX_STATUS + 1)),
        ]
        for call, reply in cases:
            with self.subTest(call=call, reply=reply.hex()):
                # The peer sends the length and then nothing: a client that believed it would
                # wait (or allocate) instead of refusing at once.
                with FakeAddOn(reply) as peer:
                    client = zelm.Client(port=peer.port, timeout=30)
                    e = self.assertGivesUp(zelm.ProtocolError, getattr(client, call), within=5)
                    self.assertIn("more than the protocol allows", str(e))

    def test_connecting_to_nothing_is_a_connect_error(self):
        with self.assertRaisesRegex(zelm.ConnectError, "cannot connect to 127.0.0.1"):
            zelm.Client(port=free_port(), timeout=2)


class RepliesTest(unittest.TestCase):
    def test_fmc_data_and_version(self):
        with FakeAddOn(bytes.fromhex("03000000616263" "07000000")) as peer:
            with zelm.Client(port=peer.port, timeout=5) as client:
                self.assertEqual(client.fmc_get(), (b"abc", 7))
        self.assertEqual(peer.received, b"rFMCDATA20")

    def test_status_is_the_json_object(self):
        body = b'{"version": "1.1.0", "clients": 2, "port": 5193}'
        with FakeAddOn(word(len(body)) + body) as peer:
            with zelm.Client(port=peer.port, timeout=5) as client:
                self.assertEqual(client.status(), {"version": "1.1.0", "clients": 2, "port": 5193})

    def test_a_status_that_is_not_a_json_object_is_a_protocol_error(self):
        cases = [
            (b"not json", "not JSON"),
            (b"", "not JSON"),
            (b'{"version": "1.1.0"} and more', "not JSON"),
            (b"\xff\xfe", "not JSON"),
            (b'{"clients": NaN}', "not JSON"),
            (b'{"clients": Infinity}', "not JSON"),
            (b'{"port": 1' + b"0" * 5000 + b"}", "not JSON"),  # past int()'s digits
            (b"[" * 2000 + b"]" * 2000, "not JSON: nested too deep"),
            (b'{"a": ' + b"[" * 2000 + b"]" * 2000 + b"}", "not JSON: nested too deep"),
            (b'{"a": ' + b"[" * 64 + b"]" * 64 + b"}", "nested more than 64 levels"),
            (b"[1, 2]", "not a JSON object but list"),
            (b'"status"', "not a JSON object but str"),
            (b"5193", "not a JSON object but int"),
            (b"null", "not a JSON object but NoneType"),
        ]
        for body, message in cases:
            with self.subTest(body=body[:40]), FakeAddOn(word(len(body)) + body) as peer:
                with zelm.Client(port=peer.port, timeout=5) as client:
                    with self.assertRaisesRegex(zelm.ProtocolError, message):
                        client.status()

    def test_a_status_at_the_depth_bound_is_taken(self):
        body = b'{"a": ' + b"[" * 63 + b"]" * 63 + b"}"
        with FakeAddOn(word(len(body)) + body) as peer:
            with zelm.Client(port=peer.port, timeout=5) as client:
                self.assertIn("a", client.status())


class RefusedBeforeSendingTest(unittest.TestCase):
    """Values the protocol does not take raise InvalidValueError, and nothing reaches the peer."""

    def assertRefusedUnsent(self, call):
        with FakeAddOn() as peer:
            with zelm.Client(port=peer.port, timeout=5) as client:
                with self.assertRaises(zelm.InvalidValueError) as caught:
                    call(client)
                self.assertIsInstance(caught.exception, ValueError)
        self.assertEqual(peer.received, b"")

    def test_autopilot_settings(self):
        cases = [
            {},
            {"altitude": -1},
            {"vertical_speed": -1.0},
            {"speed": -0.5},
            {"heading": -1},
            {"heading": math.nan},
            {"altitude_reference": math.inf},
            {"heading_bug": "270"},
            {"speed_reference": True},
            {"ap_master": 2},
            {"ap_master": "on"},
            {"ap_master": 1.0},
            {"autopilot": True},
            {"ap_master": True, "heading": -5},  # one bad setting spoils the block
        ]
        for settings in cases:
            with self.subTest(settings=settings):
                self.assertRefusedUnsent(lambda c: c.mcp(**settings))

    def test_timeouts(self):
        for timeout in (0, -1, math.nan, math.inf, True, "5", 1e9):
            with self.subTest(timeout=timeout):
                with self.assertRaises(zelm.InvalidValueError):
                    zelm.Client(port=free_port(), timeout=timeout)
        self.assertRefusedUnsent(lambda c: c.status(timeout=0))

    def test_uploads(self):
        cases = [
            (b"", 1),
            (bytes(MAX_UPLOAD + 1), 1),
            ("text", 1),
            (b"data", -1),
            (b"data", 2 ** 32),
            (b"data", True),
            (b"data", 1.0),
        ]
        for data, version in cases:
            for put in ("fmc_put", "fpl_put"):
                with self.subTest(put=put, size=len(data), version=version):
                    self.assertRefusedUnsent(lambda c: getattr(c, put)(data, version))


if __name__ == "__main__":
    unittest.main()

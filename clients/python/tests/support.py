"""Test support: a fake add-on on a port the system picks, and velkaro-sim as a child process.

The build tells the tests where its programs are: VELKARO_SIM (velkaro-sim) and ZELM_TOOL (zelm);
tests that need one are skipped without it. velkaro-sim listens on the fixed port 5193, so the
tests that start it must not run beside anything else that does (ctest holds a lock for them).
"""

import os
import signal
import socket
import struct
import subprocess
import threading
import time
import unittest

import zelm

TAG_SIZE = zelm.LAYOUT["protocol"]["tagSize"]
# How long a fake peer keeps misbehaving before it gives up: far beyond every timeout a client
# under test sets, so a client without a limit fails its test instead of hanging it.
PEER_PATIENCE = 30.0
# How long a client under test may take to give up on its own (its limits are about 1 s; the
# rest is room for a loaded machine).
GIVES_UP_WITHIN = 8.0


def word(value):
    return struct.pack("<I", value)


class FakeAddOn:
    """Serves one connection: records every byte the client sends, and once the first command
    tag has arrived sends `reply` at once ("reply"), one byte every `interval` seconds
    ("trickle"), or nothing ("silent"). With read=False it reads nothing at all."""

    def __init__(self, reply=b"", how="reply", interval=0.05, read=True):
        self.reply = reply
        self.how = how
        self.interval = interval
        self.read = read
        self.received = bytearray()
        self._stop = threading.Event()
        self._listener = socket.create_server(("127.0.0.1", 0))
        self._listener.settimeout(PEER_PATIENCE)
        self._accepted = threading.Event()
        self.port = self._listener.getsockname()[1]
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def _serve(self):
        try:
            conn, _ = self._listener.accept()
        except OSError:
            return
        finally:
            self._accepted.set()
        give_up = time.monotonic() + PEER_PATIENCE
        replied = False
        sent = 0
        with conn:
            conn.settimeout(0.02)
            while not self._stop.is_set() and time.monotonic() < give_up:
                if self.read:
                    try:
                        chunk = conn.recv(65536)
                        if not chunk:
                            return  # the client closed
                        self.received += chunk
                    except socket.timeout:
                        pass
                    except OSError:
                        return
                else:
                    time.sleep(0.02)
                if len(self.received) < TAG_SIZE or self.how == "silent":
                    continue
                try:
                    if self.how == "reply" and not replied:
                        conn.sendall(self.reply)
                        replied = True
                    elif self.how == "trickle" and sent < len(self.reply):
                        conn.sendall(self.reply[sent:sent + 1])
                        sent += 1
                        time.sleep(self.interval)
                except OSError:
                    return

    def close(self):
        """Stops serving and waits for the server thread; `received` is complete afterwards."""
        self._stop.set()
        if not self._accepted.is_set():
            # No client came: wake the accept with a connection of our own.
            socket.create_connection(("127.0.0.1", self.port)).close()
        self._thread.join(PEER_PATIENCE)
        self._listener.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def program(variable):
    path = os.environ.get(variable)
    if not path:
        raise unittest.SkipTest("%s is not set (the build sets it)" % variable)
    return path


class Sim:
    """velkaro-sim with the add-on, started with `args` (e.g. --set "PLANE ALTITUDE=12345");
    ready once the add-on serves converted frames."""

    def __init__(self, *args):
        self.process = subprocess.Popen([program("VELKARO_SIM"), "--rate", "60", *args],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        give_up = time.monotonic() + 30
        while True:
            try:
                with zelm.Client(timeout=2) as client:
                    if client.frame().simulatorName:  # converted, not the start-up frame
                        return
            except zelm.ZelmError:
                if self.process.poll() is not None or time.monotonic() > give_up:
                    self.stop()
                    raise RuntimeError("velkaro-sim did not start serving frames")
                time.sleep(0.1)

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def free_port():
    """A port nothing listens on (just released by the system)."""
    with socket.create_server(("127.0.0.1", 0)) as s:
        return s.getsockname()[1]

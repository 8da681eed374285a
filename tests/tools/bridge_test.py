#!/usr/bin/env python3
"""velkaro-bridge with the stand-in simulator running alone (velkaro-sim --no-addon), spoken to
by the Python client as any Zelm client speaks to the add-on.

- Started before the simulator, the bridge says it waits, then connects when the simulator comes.
- Its frames equal, field by field (the conversion time aside), what the add-on inside the
  simulator gives for the same pinned state.
- An autopilot block turns the aircraft.
- The simulator killed (SIGKILL) and started again, twice: the client's one connection stays
  open, the status says the simulator is gone within 2 s, frames resume within 5 s of its return,
  and the FMC store survives.
- A variable the simulator refuses is named in the status; the other fields flow.
- A second bridge on the same port is refused; Ctrl-C stops the bridge within 2 s.

Usage: bridge_test.py BUILD_DIR SOURCE_DIR [RUNNER]
RUNNER runs the build's programs (tests/tools/wine_run.sh for a Windows build).
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

BUILD, SOURCE = sys.argv[1], sys.argv[2]
RUNNER = sys.argv[3:4]
EXE = ".exe" if RUNNER else ""
sys.path.insert(0, os.path.join(SOURCE, "clients", "python"))
import zelm  # noqa: E402

failures = 0
children = []


def check(ok, what, detail=""):
    global failures
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok or not detail else ": " + str(detail)),
          flush=True)
    if not ok:
        failures += 1
    return ok


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def program(name):
    return RUNNER + [os.path.join(BUILD, name + EXE)]


class Child:
    """A program of the build, its output collected in a file."""

    def __init__(self, name, args, env=None):
        self.log = tempfile.NamedTemporaryFile("w+", suffix=".out", delete=False)
        self.process = subprocess.Popen(program(name) + args, stdout=self.log,
                                        stderr=subprocess.STDOUT, stdin=subprocess.PIPE,
                                        env=env, start_new_session=True)
        children.append(self)

    def output(self):
        with open(self.log.name, errors="replace") as f:
            return f.read()

    def wait_for(self, text, seconds):
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            if text in self.output():
                return True
            time.sleep(0.05)
        return False

    def type(self, line):
        """A line on the program's console."""
        self.process.stdin.write((line + "\n").encode())
        self.process.stdin.flush()

    def signal(self, number):
        try:
            os.killpg(self.process.pid, number)
        except ProcessLookupError:
            pass

    def stop(self):
        if self.process.poll() is None:
            self.signal(signal.SIGKILL)
        self.process.wait()


def until(condition, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            value = condition()
            if value:
                return value
        except zelm.ZelmError:
            pass
        time.sleep(0.05)
    return None


def pin_altitude(sim, client, altitude, seconds=10):
    """Pins the altitude on the simulator's console until the client's frames show it: the
    simulator takes the pin only once the bridge has registered the variable. True when they
    do within `seconds`."""
    typed = [0.0]

    def shown():
        if time.monotonic() - typed[0] > 1:
            sim.type("set PLANE ALTITUDE=%d" % altitude)
            typed[0] = time.monotonic()
        return abs(client.frame()["altitude"] - altitude) < 1
    return until(shown, seconds)


PINNED_ALTITUDE = 12345


def pinned_frame(fetch, seconds=20):
    """The frame after the first that shows the pinned altitude."""
    if until(lambda: abs(fetch()["altitude"] - PINNED_ALTITUDE) < 1, seconds):
        return fetch()
    return None


def pins():
    """Every numeric variable pinned to a value of its own, so that the aircraft stands still and
    a variable read into the wrong field shows: NAME=VALUE for each."""
    listing = subprocess.run(program("velkaro-sim") + ["--list-vars"], capture_output=True,
                             text=True, timeout=60).stdout.splitlines()[1:]
    args = []
    for i, line in enumerate(listing):
        parts = line.split()
        if not parts or parts[-1] not in ("FLOAT64", "FLOAT32", "INT32", "INT64"):
            continue  # a text, or the words after the table
        name = line[:39].strip()
        if name != "PLANE ALTITUDE":
            args.append("%s=%d" % (name, i % 40 + 1))
    # Last: on the simulator's console the lines are taken in order, so a frame with this
    # altitude has every pin before it.
    return args + ["PLANE ALTITUDE=%d" % PINNED_ALTITUDE]


def main():
    sim_port = free_port()
    port = free_port()
    env = dict(os.environ, VELKARO_SIM_ADDRESS="127.0.0.1:%d" % sim_port)
    work = tempfile.mkdtemp()
    config = os.path.join(work, "Velkaro.ini")
    with open(config, "w") as f:
        f.write("[server]\nport = %d\nbind = 127.0.0.1\nallow = 127.0.0.1\n" % port)
    pinned = pins()

    # The add-on inside the simulator, for the frame to compare with (its port is the default).
    inside = Child("velkaro-sim", ["--rate", "30"] + [a for p in pinned for a in ("--set", p)])
    outside = until(lambda: zelm.Client(port=5193, timeout=2), 20)
    expected = pinned_frame(outside.frame) if outside else None
    if outside:
        outside.close()
    inside.stop()
    check(expected is not None, "the add-on in the simulator gives a frame", inside.output()[-500:])

    bridge = Child("velkaro-bridge", ["--config", config], env)
    check(bridge.wait_for("waiting for the simulator", 10), "the bridge started first waits",
          bridge.output())
    sim = Child("velkaro-sim", ["--no-addon", "--rate", "30"], env)
    check(bridge.wait_for("connected to the simulator", 10),
          "the bridge connects when the simulator comes", bridge.output())

    client = zelm.Client(port=port, timeout=5)
    # The simulator knows the variables once the bridge has registered them: pinned then.
    pin_altitude(sim, client, 7)
    for pin in pinned:
        sim.type("set " + pin)
    frame = pinned_frame(client.frame)
    if check(frame is not None and expected is not None, "frames flow through the bridge"):
        differ = [n for n in frame if n != "conversionTime" and frame[n] != expected[n]]
        check(not differ, "the bridge's frame equals the add-on's, field by field",
              ", ".join("%s %r against %r" % (n, frame[n], expected[n]) for n in differ[:5]))

    client.fmc_put(b"KSEA KPDX", 7)

    for restart in (1, 2):
        sim.signal(signal.SIGKILL)
        sim.stop()
        killed = time.monotonic()
        gone = until(lambda: not client.status()["simconnect"], 5)
        check(gone and time.monotonic() - killed < 2.5,
              "restart %d: the status says the simulator is gone within 2 s" % restart,
              "%.1f s" % (time.monotonic() - killed))
        altitude = 1000 * restart
        sim = Child("velkaro-sim", ["--no-addon", "--rate", "30"], env)
        back = time.monotonic()
        resumed = pin_altitude(sim, client, altitude)
        check(resumed and time.monotonic() - back < 5,
              "restart %d: frames resume on the same connection within 5 s" % restart,
              "%.1f s; bridge said: %s" % (time.monotonic() - back, bridge.output()[-300:]))
        check(client.status()["simconnect"], "restart %d: the status says connected" % restart)
        if restart == 1:
            # (A simulator of its own, nothing pinned: the autopilot may move.)
            client.mcp(ap=True, hdg=90)
            turned = until(lambda: (lambda f: f if f["apMaster"] == 1 and f["apHeading"] == 90
                                    else None)(client.frame()), 5)
            check(turned is not None, "an autopilot block reaches the simulator through the bridge")
    stored = client.fmc_get()
    check(stored.data == b"KSEA KPDX" and stored.version == 7,
          "the FMC store survives the simulator's restarts", stored)

    # A simulator without one of the variables.
    sim.signal(signal.SIGKILL)
    sim.stop()
    sim = Child("velkaro-sim", ["--no-addon", "--rate", "30", "--refuse", "AIRSPEED BARBER POLE"],
                env)
    flowing = pin_altitude(sim, client, 4321)
    warnings = client.status().get("warnings", [])
    check(any("AIRSPEED BARBER POLE" in w for w in warnings),
          "a variable the simulator refuses is named in the status", warnings)
    check(flowing, "the other fields flow without it")

    second = Child("velkaro-bridge", ["--config", config], env)
    code = second.process.wait(30)
    check(code == 1 and "cannot serve clients on port" in second.output(),
          "a second bridge on the same port is refused", "%s: %s" % (code, second.output()))

    client.close()
    asked = time.monotonic()
    bridge.signal(signal.SIGINT)
    try:
        code = bridge.process.wait(5)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0 and time.monotonic() - asked < 2.5 and "stopped" in bridge.output(),
          "Ctrl-C stops the bridge cleanly within 2 s",
          "exit %s after %.1f s: %s" % (code, time.monotonic() - asked, bridge.output()[-300:]))
    return 1 if failures else 0


if __name__ == "__main__":
    if RUNNER:
        check_run = subprocess.run(RUNNER + ["--check"], capture_output=True, text=True)
        if check_run.returncode == 77:
            print(check_run.stdout.strip())
            sys.exit(77)
    try:
        sys.exit(main())
    finally:
        for child in children:
            child.stop()

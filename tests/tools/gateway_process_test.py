#!/usr/bin/env python3
"""zelm serve as a program: what it refuses at start, and how it holds up under a crowd of idle
connections with a low open-file limit.

The gateway runs with 1024 open files; 1100 connections are opened and left silent, more than it
could hold. It must keep serving a new browser (the connections that waited longest make room),
not spin while the crowd stays, and close a connection that sends half a request within its
header deadline.

Usage: gateway_process_test.py ZELM
"""
import json
import os
import resource
import socket
import subprocess
import sys
import time

ZELM = sys.argv[1]
OPEN_FILES = 1024
CROWD = 1100
HEADER_DEADLINE_S = 10

failures = 0


def check(ok, what, detail=""):
    global failures
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok or not detail else ": " + str(detail)))
    if not ok:
        failures += 1


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path, host="localhost", timeout=5):
    """One GET; the status code and the body, or (None, reason)."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
            s.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
            data = b""
            while True:
                chunk = s.recv(65536)
                if not chunk:
                    break
                data += chunk
    except OSError as e:
        return None, str(e)
    head, _, body = data.partition(b"\r\n\r\n")
    return int(head.split(b" ")[1]) if head else None, body


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_refusals():
    """Command lines that would open the aircraft wider than meant are refused."""
    cases = [
        (["--no-token", "--http-bind", "0.0.0.0"], "allowed only with a loopback --http-bind"),
        (["--allow-origin", "evil.example"], "--allow-origin takes an origin"),
        (["--token-file", "/nonexistent/folder/token"], "cannot make the token file"),
    ]
    for args, says in cases:
        run = subprocess.run([ZELM, "serve", "--http-port", "0", *args], capture_output=True,
                             text=True, timeout=20)
        check(run.returncode == 2 and says in run.stderr, "zelm serve " + " ".join(args),
              f"exit {run.returncode}: {run.stderr.strip()}")


def main():
    start_refusals()
    # This process holds the whole crowd.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if hard != resource.RLIM_INFINITY and hard < CROWD + 100:
        print(f"skipped: this machine allows {hard} open files, fewer than the test needs")
        return 77
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, CROWD + 100), hard))

    port = free_port()
    nothing = free_port()  # no add-on: the browser side is what is under test
    gateway = subprocess.Popen(
        [ZELM, "serve", "--http-port", str(port), "--port", str(nothing)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (OPEN_FILES, OPEN_FILES)))
    try:
        started = gateway.stdout.readline() + gateway.stdout.readline() + gateway.stdout.readline()
        started += gateway.stdout.readline()
        check("at most 960 connections at once (the open-file limit is 1024)" in started,
              "the gateway says its connection cap at start", started)

        crowd = []
        for _ in range(CROWD):
            crowd.append(socket.create_connection(("127.0.0.1", port), timeout=5))
        time.sleep(1)

        code, body = get(port, "/")
        check(code == 200 and b"<html" in body.lower(), "a new browser gets the panel", code)

        before = cpu_seconds(gateway.pid)
        time.sleep(2)
        spent = cpu_seconds(gateway.pid) - before
        check(spent < 1.0, "the gateway rests while the crowd stays", f"{spent:.2f} s of CPU in 2 s")

        code, body = get(port, "/status")
        status = json.loads(body)["gateway"] if code == 200 else {}
        check(code == 200 and status.get("max_connections") == OPEN_FILES - 64,
              "/status names the cap", status.get("max_connections"))
        check(status.get("connections", 10**6) <= status.get("max_connections", 0),
              "the gateway holds no more connections than its cap", status.get("connections"))
        check(status.get("idle_connections_closed_for_new_ones", 0) > 0,
              "the connections that waited longest made room", status)

        for s in crowd:
            s.close()
        code, _ = get(port, "/status")
        check(code == 200, "the gateway serves after the crowd has gone", code)

        # Half a request is dropped at the header deadline.
        slow = socket.create_connection(("127.0.0.1", port))
        slow.sendall(b"GET / HTTP/1.1\r\nHost: local")  # and nothing more
        since = time.monotonic()
        slow.settimeout(HEADER_DEADLINE_S + 5)
        try:
            ended = slow.recv(1) == b""
        except ConnectionResetError:
            ended = True
        except socket.timeout:
            ended = False
        waited = time.monotonic() - since
        check(ended and waited > HEADER_DEADLINE_S - 2,
              "a request's header that never ends is dropped at its deadline",
              f"ended {ended} after {waited:.1f} s")
        slow.close()
    finally:
        gateway.terminate()
        try:
            gateway.wait(10)
        except subprocess.TimeoutExpired:
            gateway.kill()
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

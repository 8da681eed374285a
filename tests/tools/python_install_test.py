#!/usr/bin/env python3
"""The Python package installs with no network, as its README says: in a network namespace with
no network at all (unshare -rn), `pip install clients/python` into a fresh virtual environment,
`pip install` of the wheel the package's own backend writes into another, and an editable
install into a third; each then imports zelm from where it was installed, decodes a frame and
reads a recording. With mypy installed, a program that uses the installed package is checked
against its types (py.typed shipped): a field's type is known, a misspelt field is caught.

Exit status 77 (skipped) when this machine cannot make a network namespace or a virtual
environment with pip.

Usage: python_install_test.py PACKAGE_DIR (clients/python)
"""
import os
import shutil
import subprocess
import sys
import tempfile

PACKAGE_DIR = os.path.abspath(sys.argv[1])
PYTHON = sys.executable
# pip asks the index nothing when nothing is missing; these keep it from trying anyway.
QUIET_PIP = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1",
                 PYTHONDONTWRITEBYTECODE="1")
QUIET_PIP.pop("PYTHONPATH", None)

failures = 0


def check(ok, what, detail=""):
    global failures
    print(("ok: " if ok else "FAIL: ") + what + ("" if ok or not detail else ": " + str(detail)))
    if not ok:
        failures += 1


def skip(reason):
    print("skipped: " + reason)
    sys.exit(77)


def offline(*command, cwd=None):
    """Runs `command` in a new network namespace, which has no network (not even loopback)."""
    return subprocess.run(["unshare", "-rn", *command], cwd=cwd, env=QUIET_PIP,
                          capture_output=True, text=True, timeout=300)


# What the installed package must do, run by the environment's interpreter from a folder that
# holds no zelm: import it from the environment, decode a frame, read a recording.
USE_IT = r"""
import importlib.metadata, os, struct, sys, tempfile, zlib
import zelm
expected_root = sys.argv[1]
assert os.path.realpath(zelm.__file__).startswith(os.path.realpath(expected_root)), zelm.__file__
assert importlib.metadata.version("zelm") == zelm.__version__, importlib.metadata.version("zelm")
raw = bytearray(2280); raw[0:7] = b"ZELM30\0"
struct.pack_into("<d", raw, zelm.Frame.field("altitude").offset, 12345.0)
f = zelm.Frame(raw)
assert (f.altitude, f["altitude"], f.unit("altitude")) == (12345.0, 12345.0, "ft"), f
header = struct.pack("<8sIIIIqI", b"VREC\r\n\x1a\n", 1, 2280, zelm.LAYOUT_IDENTITY, 5000, 0, 0)
header += struct.pack("<I", zlib.crc32(header))
deflater = zlib.compressobj(6, zlib.DEFLATED, -15)
payload = (deflater.compress(bytes(raw)) + deflater.flush(zlib.Z_SYNC_FLUSH))[:-4]
head = struct.pack("<BQI", 1, 250000, len(payload))
with tempfile.TemporaryDirectory() as scratch:
    path = os.path.join(scratch, "one.vrec")
    with open(path, "wb") as out:
        out.write(header + head + payload + struct.pack("<I", zlib.crc32(head + payload)))
    import warnings; warnings.simplefilter("ignore")
    assert [(t, f.altitude) for t, f in zelm.Recording(path)] == [(0.25, 12345.0)]
print("zelm", zelm.__version__, "works from", os.path.dirname(zelm.__file__))
"""

# A program using the package as its users do, with one misspelt field.
CONSUMER = """\
import zelm

def altitude_text(f: zelm.Frame) -> str:
    return "%.0f ft" % f.altitude

def heading(f: zelm.Frame) -> float:
    return f["trueHeading"]

def engines(f: zelm.Frame) -> int:
    return len(f.engineN1)

def wrong(f: zelm.Frame) -> object:
    return f.altitdue
"""


def main():
    if shutil.which("unshare") is None:
        skip("unshare (util-linux) is not installed")
    probe = subprocess.run(["unshare", "-rn", "true"], capture_output=True, text=True)
    if probe.returncode != 0:
        skip("cannot make a network namespace here: %s" % probe.stderr.strip())
    with tempfile.TemporaryDirectory() as scratch:
        # The package as a user has it: the folder of a checkout (its tests left out).
        source = os.path.join(scratch, "python")
        shutil.copytree(PACKAGE_DIR, source, ignore=shutil.ignore_patterns(
            "tests", "__pycache__", "*.egg-info", "build", "dist"))
        wheels = os.path.join(scratch, "wheels")
        built = subprocess.run([PYTHON, os.path.join(source, "build_backend", "zelm_build.py"),
                                wheels], capture_output=True, text=True, timeout=120)
        check(built.returncode == 0, "the backend writes the wheel", built.stderr)
        if built.returncode != 0:
            return
        wheel = built.stdout.strip()
        check(os.path.basename(wheel) == "zelm-%s-py3-none-any.whl" % version(source),
              "the wheel is named for the package's version", wheel)

        cases = [
            ("pip install clients/python", [source], "site-packages"),
            ("pip install the wheel", [wheel], "site-packages"),
            ("pip install -e clients/python", ["-e", source], source),
        ]
        for what, arguments, where in cases:
            venv = os.path.join(scratch, "venv-%d" % cases.index((what, arguments, where)))
            made = subprocess.run([PYTHON, "-m", "venv", venv], capture_output=True, text=True,
                                  timeout=300)
            if made.returncode != 0:
                skip("python3 -m venv cannot make an environment with pip (Debian: python3-venv): "
                     + made.stderr.strip())
            python = os.path.join(venv, "bin", "python")
            installed = offline(python, "-m", "pip", "install", *arguments)
            check(installed.returncode == 0, what + " with no network",
                  installed.stdout[-2000:] + installed.stderr[-2000:])
            if installed.returncode != 0:
                continue
            root = os.path.join(venv, "lib") if where == "site-packages" else where
            used = offline(python, "-c", USE_IT, root, cwd=scratch)
            check(used.returncode == 0, what + ": imports and works", used.stderr[-2000:])
            if used.returncode == 0:
                print("   " + used.stdout.strip())
            if where == "site-packages":
                typed = os.path.join(venv, "lib", "python%d.%d" % sys.version_info[:2],
                                     "site-packages", "zelm", "py.typed")
                check(os.path.isfile(typed), what + ": py.typed is installed", typed)
                if what == cases[0][0]:
                    check_types_seen(python, scratch, what)
    print()
    print("all install checks passed" if failures == 0 else "%d install check(s) failed" % failures)


def version(source):
    with open(os.path.join(source, "pyproject.toml"), encoding="utf-8") as f:
        for line in f:
            if line.startswith("version = "):
                return line.split('"')[1]
    return "?"


def check_types_seen(python, scratch, what):
    """mypy, pointed at the environment, finds the package's types: only the misspelt field is
    an error."""
    mypy = shutil.which("mypy")
    if mypy is None:
        print("   (mypy is not installed: the installed types are not checked)")
        return
    program = os.path.join(scratch, "consumer.py")
    with open(program, "w", encoding="utf-8") as f:
        f.write(CONSUMER)
    result = subprocess.run([mypy, "--strict", "--no-incremental", "--python-executable", python,
                             program], capture_output=True, text=True, timeout=300, cwd=scratch,
                            env=QUIET_PIP)
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    check(len(errors) == 1 and '"Frame" has no attribute "altitdue"' in errors[0],
          what + ": mypy sees the installed package's field types", result.stdout[-2000:])


if __name__ == "__main__":
    main()
    sys.exit(1 if failures else 0)

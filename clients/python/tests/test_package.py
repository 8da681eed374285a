"""The package as its own backend builds it for installing: every module, layout.json and
py.typed in the wheel, with a RECORD that pip accepts. (tests/tools/python_install_test.py
installs it, offline.)"""

import base64
import csv
import hashlib
import io
import os
import subprocess
import sys
import tempfile
import unittest
import zipfile

import zelm

PACKAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


class WheelTest(unittest.TestCase):
    def test_the_wheel_holds_the_package_and_a_true_record(self):
        with tempfile.TemporaryDirectory() as scratch:
            out = subprocess.run([sys.executable, os.path.join(PACKAGE_DIR, "build_backend",
                                                               "zelm_build.py"), scratch],
                                 capture_output=True, text=True, timeout=60, check=True)
            with zipfile.ZipFile(out.stdout.strip()) as wheel:
                names = set(wheel.namelist())
                package = {"zelm/" + name for name in os.listdir(os.path.join(PACKAGE_DIR, "zelm"))
                           if name.endswith(".py")} | {"zelm/layout.json", "zelm/py.typed"}
                info = "zelm-%s.dist-info/" % zelm.__version__
                self.assertEqual(names, package | {info + "METADATA", info + "WHEEL",
                                                   info + "RECORD"})
                record = list(csv.reader(io.StringIO(wheel.read(info + "RECORD").decode())))
                self.assertEqual({row[0] for row in record}, names)
                for name, digest, size in record:
                    if name == info + "RECORD":
                        continue
                    data = wheel.read(name)
                    expected = base64.urlsafe_b64encode(hashlib.sha256(data).digest())
                    self.assertEqual((digest, int(size)),
                                     ("sha256=" + expected.rstrip(b"=").decode(), len(data)), name)
                metadata = wheel.read(info + "METADATA").decode()
                self.assertIn("\nVersion: %s\n" % zelm.__version__, metadata)
                self.assertIn("\nRequires-Python: >=3.9\n", metadata)


if __name__ == "__main__":
    unittest.main()

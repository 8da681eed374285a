"""The package as it is built for installing: importable from anywhere, with its layout.json."""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

PACKAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


class PackageTest(unittest.TestCase):
    def test_the_built_package_carries_its_layout(self):
        if importlib.util.find_spec("setuptools") is None:
            self.skipTest("setuptools is not installed")
        with tempfile.TemporaryDirectory() as scratch:
            # Built from a copy: a build leaves its traces beside the sources.
            source = os.path.join(scratch, "source")
            shutil.copytree(PACKAGE_DIR, source, ignore=shutil.ignore_patterns(
                "tests", "examples", "__pycache__", "build", "*.egg-info"))
            # What a wheel holds: the packages and their package data from pyproject.toml.
            lib = os.path.join(scratch, "lib")
            subprocess.run([sys.executable, "-c", "from setuptools import setup; setup()",
                            "build_py", "--build-lib", lib],
                           cwd=source, check=True, capture_output=True, timeout=120)
            out = subprocess.run(
                [sys.executable, "-c", "import zelm; print(zelm.__file__); "
                 "print(zelm.LAYOUT['frame']['size'], zelm.Frame.unit('altitude'))"],
                cwd=scratch, env=dict(os.environ, PYTHONPATH=lib), capture_output=True,
                text=True, timeout=60)
            self.assertEqual(out.returncode, 0, out.stderr)
            where, layout = out.stdout.splitlines()
            self.assertTrue(where.startswith(lib), where)
            self.assertEqual(layout, "2280 ft")


if __name__ == "__main__":
    unittest.main()

"""The package's build backend (PEP 517, with the editable installs of PEP 660): writes the
wheel and the source archive with the standard library alone, so that ``pip install
clients/python`` needs nothing from a package index and works on a machine with no network.

The package is pure Python: the wheel holds the zelm folder (its modules, layout.json and
py.typed) and its metadata, taken from [project] in pyproject.toml. Run as a program it writes
the wheel into a folder and prints its path:

    python3 clients/python/build_backend/zelm_build.py dist/
"""

from __future__ import annotations

import base64
import calendar
import hashlib
import io
import os
import re
import sys
import tarfile
import time
import zipfile
from typing import Dict, List, Optional, Tuple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE = "zelm"
# What the wheel takes from the package folder.
PACKAGE_SUFFIXES = (".py", ".json", ".typed")
# What the source archive holds beside the package folder.
SOURCE_FILES = ("pyproject.toml", "README.md", "build_backend/zelm_build.py")
WHEEL_TAG = "py3-none-any"

ConfigSettings = Optional[Dict[str, object]]


class BuildError(Exception):
    """The package's description cannot be built from."""


def _project() -> Dict[str, str]:
    """The [project] table's texts (name, version, description, readme, requires-python)."""
    with open(os.path.join(ROOT, "pyproject.toml"), "rb") as f:
        text = f.read()
    if sys.version_info >= (3, 11):
        import tomllib
        table = tomllib.loads(text.decode("utf-8")).get("project", {})
        project = {key: value for key, value in table.items() if isinstance(value, str)}
    else:
        # Before 3.11 the standard library reads no TOML: the [project] table here holds only
        # `key = "text"` lines (and `dependencies = []`), which this reads.
        project = {}
        section = None
        for line in text.decode("utf-8").splitlines():
            heading = re.match(r"\s*\[([^\]]+)\]\s*$", line)
            if heading:
                section = heading.group(1).strip()
                continue
            entry = re.match(r'\s*([A-Za-z0-9_-]+)\s*=\s*"([^"\\]*)"\s*$', line)
            if section == "project" and entry:
                project[entry.group(1)] = entry.group(2)
    for key in ("name", "version", "description", "readme", "requires-python"):
        if key not in project:
            raise BuildError("pyproject.toml gives no %s in [project]" % key)
    return project


def _metadata(project: Dict[str, str]) -> bytes:
    """The core metadata (METADATA, PKG-INFO), with the README as the long description."""
    with open(os.path.join(ROOT, project["readme"]), encoding="utf-8") as f:
        readme = f.read()
    lines = [
        "Metadata-Version: 2.1",
        "Name: %s" % project["name"],
        "Version: %s" % project["version"],
        "Summary: %s" % project["description"],
        "Requires-Python: %s" % project["requires-python"],
        "License: MIT",
        "Classifier: Programming Language :: Python :: 3",
        "Classifier: Typing :: Typed",
        "Description-Content-Type: text/markdown",
    ]
    return ("\n".join(lines) + "\n\n" + readme).encode("utf-8")


def _dist_info(project: Dict[str, str]) -> str:
    return "%s-%s.dist-info" % (project["name"], project["version"])


def _wheel_name(project: Dict[str, str]) -> str:
    return "%s-%s-%s.whl" % (project["name"], project["version"], WHEEL_TAG)


def _package_files() -> List[Tuple[str, str]]:
    """(path in the wheel, path on disk) of the package's files, in a fixed order."""
    folder = os.path.join(ROOT, PACKAGE)
    files = []
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if os.path.isfile(path) and name.endswith(PACKAGE_SUFFIXES):
            files.append(("%s/%s" % (PACKAGE, name), path))
    for required in ("__init__.py", "layout.json", "py.typed"):
        if not any(arcname == "%s/%s" % (PACKAGE, required) for arcname, _ in files):
            raise BuildError("%s/%s is missing" % (PACKAGE, required))
    return files


def _timestamp() -> Tuple[int, int, int, int, int, int]:
    """The time stamped on archive members: SOURCE_DATE_EPOCH when set (a reproducible build),
    else 1980-01-01, zip's earliest."""
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    if epoch and epoch.isdigit():
        stamp = time.gmtime(max(int(epoch), 315532800))
        return (stamp.tm_year, stamp.tm_mon, stamp.tm_mday, stamp.tm_hour, stamp.tm_min,
                stamp.tm_sec)
    return (1980, 1, 1, 0, 0, 0)


def _write_wheel(directory: str, contents: List[Tuple[str, bytes]]) -> str:
    """Writes the wheel of `contents` (path in the wheel, bytes) and its dist-info into
    `directory`; returns the wheel's file name."""
    project = _project()
    dist_info = _dist_info(project)
    wheel_text = ("Wheel-Version: 1.0\nGenerator: zelm_build\nRoot-Is-Purelib: true\n"
                  "Tag: %s\n" % WHEEL_TAG).encode("ascii")
    contents = contents + [("%s/METADATA" % dist_info, _metadata(project)),
                           ("%s/WHEEL" % dist_info, wheel_text)]
    record = io.StringIO()
    for arcname, data in contents:
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=")
        record.write("%s,sha256=%s,%d\n" % (arcname, digest.decode("ascii"), len(data)))
    record.write("%s/RECORD,,\n" % dist_info)
    contents.append(("%s/RECORD" % dist_info, record.getvalue().encode("utf-8")))

    name = _wheel_name(project)
    os.makedirs(directory, exist_ok=True)
    path = os.path.join(directory, name)
    stamp = _timestamp()
    with zipfile.ZipFile(path + ".part", "w", zipfile.ZIP_DEFLATED) as wheel:
        for arcname, data in contents:
            member = zipfile.ZipInfo(arcname, stamp)
            member.external_attr = 0o644 << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            wheel.writestr(member, data)
    os.replace(path + ".part", path)
    return name


def _read(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


# -- PEP 517 -------------------------------------------------------------------------------------

def get_requires_for_build_wheel(config_settings: ConfigSettings = None) -> List[str]:
    return []


def get_requires_for_build_sdist(config_settings: ConfigSettings = None) -> List[str]:
    return []


def get_requires_for_build_editable(config_settings: ConfigSettings = None) -> List[str]:
    return []


def prepare_metadata_for_build_wheel(metadata_directory: str,
                                     config_settings: ConfigSettings = None) -> str:
    project = _project()
    folder = os.path.join(metadata_directory, _dist_info(project))
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, "METADATA"), "wb") as f:
        f.write(_metadata(project))
    return _dist_info(project)


def build_wheel(wheel_directory: str, config_settings: ConfigSettings = None,
                metadata_directory: Optional[str] = None) -> str:
    return _write_wheel(wheel_directory,
                        [(arcname, _read(path)) for arcname, path in _package_files()])


def build_editable(wheel_directory: str, config_settings: ConfigSettings = None,
                   metadata_directory: Optional[str] = None) -> str:
    """A wheel that puts this folder on the path (a .pth file): the sources are used in place."""
    return _write_wheel(wheel_directory, [("%s.pth" % PACKAGE, (ROOT + "\n").encode("utf-8"))])


def build_sdist(sdist_directory: str, config_settings: ConfigSettings = None) -> str:
    project = _project()
    base = "%s-%s" % (project["name"], project["version"])
    members = [(name, _read(os.path.join(ROOT, name))) for name in SOURCE_FILES]
    members += [(arcname, _read(path)) for arcname, path in _package_files()]
    members.append(("PKG-INFO", _metadata(project)))
    os.makedirs(sdist_directory, exist_ok=True)
    name = base + ".tar.gz"
    mtime = calendar.timegm(_timestamp())
    with tarfile.open(os.path.join(sdist_directory, name), "w:gz", format=tarfile.PAX_FORMAT) \
            as archive:
        for arcname, data in members:
            member = tarfile.TarInfo("%s/%s" % (base, arcname))
            member.size = len(data)
            member.mode = 0o644
            member.mtime = mtime
            archive.addfile(member, io.BytesIO(data))
    return name


def main(argv: List[str]) -> int:
    if len(argv) != 2 or argv[1].startswith("-"):
        print("usage: %s DIRECTORY   (writes the zelm wheel there and prints its path)"
              % os.path.basename(argv[0]), file=sys.stderr)
        return 2
    try:
        name = build_wheel(argv[1])
    except (BuildError, OSError) as e:
        print("zelm_build: %s" % e, file=sys.stderr)
        return 1
    print(os.path.join(argv[1], name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))

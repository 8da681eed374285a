#!/usr/bin/env python3
"""Writes zelm/_frame_fields.py, the frame's field names and Python types for type checkers,
from zelm/layout.json; with --check, says whether the committed file is what it would write.

    python3 clients/python/tools/frame_fields.py           rewrite it after layout.json changed
    python3 clients/python/tools/frame_fields.py --check   exit 1 (and say so) when it is stale
"""

import argparse
import json
import os
import sys
from typing import Dict, List

PACKAGE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "zelm")
LAYOUT_PATH = os.path.join(PACKAGE_DIR, "layout.json")
OUTPUT_PATH = os.path.join(PACKAGE_DIR, "_frame_fields.py")

# The Python type of one element of each layout type (as Frame decodes it).
ELEMENT_TYPES = {"f64": "float", "i32": "int", "u32": "int", "u8": "int", "bytes": "int",
                 "text": "str"}
# The name of the Literal alias that lists the fields of each Python type.
ALIAS_NAMES = {"float": "FloatFieldName", "int": "IntFieldName", "str": "TextFieldName",
               "List[float]": "FloatListFieldName", "List[int]": "IntListFieldName",
               "List[str]": "TextListFieldName"}


def python_type(field: Dict[str, object]) -> str:
    element = ELEMENT_TYPES[str(field["type"])]
    count = field["count"]
    assert isinstance(count, int)
    return "List[%s]" % element if count > 1 else element


def literal(name: str, values: List[str]) -> List[str]:
    lines = ["%s = Literal[" % name]
    lines += ['    "%s",' % value for value in values]
    lines.append("]")
    return lines


def generate(layout: Dict[str, object]) -> str:
    frame = layout["frame"]
    assert isinstance(frame, dict)
    fields = frame["fields"]
    by_type: Dict[str, List[str]] = {python: [] for python in ALIAS_NAMES}
    for field in fields:
        by_type[python_type(field)].append(field["name"])
    lines = [
        "# Written by clients/python/tools/frame_fields.py from layout.json: do not edit.",
        '"""The frame\'s fields by name with the Python type Frame gives each, for type checkers',
        "and editors: FrameFields declares them as attributes; the Literal aliases group the names",
        'by type so that ``frame["altitude"]`` is typed as well."""',
        "",
        "from typing import List, Literal, Union",
        "",
        "# The value of any field: a number or text, or a list of them for a field of several",
        "# elements.",
        "FieldValue = Union[float, int, str, List[float], List[int], List[str]]",
        "",
    ]
    for python, alias in ALIAS_NAMES.items():
        names = by_type[python]
        if names:
            lines += literal(alias, names)
        else:
            lines.append("%s = Literal[\"\"]  # no field of this type" % alias)
        lines.append("")
    lines += [
        "",
        "class FrameFields:",
        '    """Every field of the frame as a typed attribute (the values come from Frame)."""',
        "",
        "    __slots__ = ()",
        "",
    ]
    for field in fields:
        unit = " (%s)" % field["unit"] if field["unit"] else ""
        lines.append("    %s: %s  # %s%s" % (field["name"], python_type(field),
                                             field["meaning"], unit))
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--check", action="store_true",
                        help="only compare the committed file with what would be written")
    args = parser.parse_args()
    with open(LAYOUT_PATH, encoding="utf-8") as f:
        text = generate(json.load(f))
    if args.check:
        try:
            with open(OUTPUT_PATH, encoding="utf-8") as f:
                current = f.read()
        except FileNotFoundError:
            current = ""
        if current != text:
            print("%s is not what layout.json gives: run python3 %s to rewrite it"
                  % (os.path.normpath(OUTPUT_PATH), os.path.relpath(__file__)), file=sys.stderr)
            return 1
        print("%s matches layout.json" % os.path.normpath(OUTPUT_PATH))
        return 0
    with open(OUTPUT_PATH, "w", encoding="utf-8", newline="\n") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())

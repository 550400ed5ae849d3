#!/usr/bin/env python3
"""Fails when a room of the tree includes from a room it must not: one above
it, or a sibling. Every #include "ROOM/..." in a room's files is checked
against the table below; includes of the room itself are always allowed.

Usage: includes_run_downward.py [SOURCE_DIR]
"""
import pathlib
import re
import sys

# Each room, and the rooms below it that it may include from.
ALLOWED = {
    "host": set(),
    "lines": {"host"},
    "wire": {"lines", "host"},
    "service": {"wire", "lines", "host"},
    "session": {"wire", "lines", "host"},
    "customer": {"session", "wire", "lines", "host"},
    "mount": {"session", "wire", "lines", "host"},
    "linesim": {"lines", "host"},
}

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def wrong_includes(root):
    for room, below in ALLOWED.items():
        for path in sorted((root / room).glob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            for number, line in enumerate(path.read_text(encoding="utf-8").splitlines(), 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                included = match.group(1)
                target = included.split("/", 1)[0] if "/" in included else None
                if target is None:
                    yield f"{path.relative_to(root)}:{number}: {included}: name the room (\"{room}/...\")"
                elif target != room and target not in below:
                    yield f"{path.relative_to(root)}:{number}: {room} includes {included}, from a room it must not"


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parent.parent)
    missing = [room for room in ALLOWED if not (root / room).is_dir()]
    if missing:
        print(f"no room {', '.join(missing)} in {root}")
        return 1
    wrong = list(wrong_includes(root))
    for line in wrong:
        print(line)
    return 1 if wrong else 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""Checks that every include of the program points down its floors.

The rooms of src/ stand on floors (docs/architecture.md draws them). A file
may include headers of its own room and of rooms on lower floors, never of a
room on its own floor or above; a header that is not one of the program's
own (a lab header, say) may not be included at all. The lab may take from
src/ only what it is built against: common/ and product/product_interface.h.
tests/ and bench/ reach into every room to test or measure it and are not
checked.

Usage: check-floors.py [ROOT]   (default: the checkout this script is in)
       check-floors.py --self-test (the check against a small house of faults)
Exit status 0 when every include points down, 1 otherwise.
"""
import os
import re
import sys
import tempfile

# Lowest first. Rooms on one floor may not include each other.
FLOORS = [
    ["common"],
    ["output"],
    ["platform"],
    ["product"],
    ["engine"],
    ["takeover"],
    ["lists"],
    ["entry", "planner"],
]
FLOOR_OF = {room: n for n, rooms in enumerate(FLOORS) for room in rooms}
LAB_MAY_INCLUDE = ("common/", "product/product_interface.h")
SOURCE_SUFFIXES = (".h", ".cpp", ".rc")
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def sources(top):
    for directory, directories, names in os.walk(top):
        directories.sort()
        for name in sorted(names):
            if name.endswith(SOURCE_SUFFIXES):
                yield os.path.join(directory, name)


def includes(path):
    with open(path, encoding="latin-1") as f:
        for number, line in enumerate(f, 1):
            match = INCLUDE.match(line)
            if match:
                yield number, match.group(1)


def program_header(src, path, name):
    """The included file relative to src/, or None when it is not the program's."""
    for base in (os.path.dirname(path), src):
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(candidate) and candidate.startswith(src + os.sep):
            return os.path.relpath(candidate, src).replace(os.sep, "/")
    return None


def check_program(root, src):
    faults = []
    for path in sources(src):
        where = os.path.relpath(path, root)
        room = os.path.relpath(path, src).replace(os.sep, "/").split("/")[0]
        if room not in FLOOR_OF:
            faults.append(f"{where}: room {room} stands on no floor")
            continue
        for number, name in includes(path):
            header = program_header(src, path, name)
            if header is None:
                faults.append(f"{where}:{number}: includes {name}, not a header of the program")
                continue
            target = header.split("/")[0]
            if target == room:
                continue
            if target not in FLOOR_OF:
                faults.append(f"{where}:{number}: includes {header}, of no floor")
            elif FLOOR_OF[target] >= FLOOR_OF[room]:
                faults.append(f"{where}:{number}: {room} includes {header}, "
                              f"a room {'beside' if FLOOR_OF[target] == FLOOR_OF[room] else 'above'} it")
    return faults


def check_lab(root, src, lab):
    faults = []
    lab_dirs = [lab] + [os.path.join(lab, d) for d in sorted(os.listdir(lab))
                        if os.path.isdir(os.path.join(lab, d))]
    for path in sources(lab):
        where = os.path.relpath(path, root)
        for number, name in includes(path):
            bases = [os.path.dirname(path)] + lab_dirs
            if any(os.path.isfile(os.path.join(base, name)) for base in bases):
                continue
            header = program_header(src, path, name)
            if header is None:
                continue  # not found anywhere here: the compiler will say so
            if not header.startswith(LAB_MAY_INCLUDE):
                faults.append(f"{where}:{number}: the lab includes {header} of the program")
    return faults


def check(root):
    src = os.path.join(root, "src")
    return check_program(root, src) + check_lab(root, src, os.path.join(root, "lab"))


# A house with one include of each kind, allowed or not; the check must name
# exactly the faults.
SELF_TEST_HOUSE = {
    "src/common/text.h": "",
    "src/output/output.h": '#include "common/text.h"\n',
    "src/product/keys.h": '#include "output/output.h"\n#include "keys_detail.h"\n',
    "src/product/keys_detail.h": "",
    "src/engine/search.cpp": ('#include "product/keys.h"\n'
                              '  #  include "takeover/table.h"\n'
                              '#include "../entry/main.h"\n'
                              '#include "labnet.h"\n'
                              "#include <windows.h>\n"),
    "src/takeover/table.h": '#include "engine/search.h"\n',
    "src/engine/search.h": "",
    "src/entry/main.h": '#include "takeover/table.h"\n#include "planner/plan.h"\n',
    "src/planner/plan.h": '#include "engine/search.h"\n',
    "lab/labnet/labnet.h": ('#include "common/text.h"\n#include "labnet/other.h"\n'
                            '#include "engine/search.h"\n'),
    "lab/labnet/other.h": "",
    "lab/labproduct/session.cpp": ('#include "labnet.h"\n'
                                   '#include "product/product_interface.h"\n'),
    "src/product/product_interface.h": "",
}
SELF_TEST_FAULTS = [
    "src/engine/search.cpp:2: engine includes takeover/table.h, a room above it",
    "src/engine/search.cpp:3: engine includes entry/main.h, a room above it",
    "src/engine/search.cpp:4: includes labnet.h, not a header of the program",
    "src/entry/main.h:2: entry includes planner/plan.h, a room beside it",
    "lab/labnet/labnet.h:3: the lab includes engine/search.h of the program",
]


def self_test():
    with tempfile.TemporaryDirectory() as root:
        for name, text in SELF_TEST_HOUSE.items():
            os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
            with open(os.path.join(root, name), "w") as f:
                f.write(text)
        faults = check(root)
    if sorted(faults) == sorted(SELF_TEST_FAULTS):
        return 0
    print("check-floors: the self-test found\n  " + "\n  ".join(faults) +
          "\ninstead of\n  " + "\n  ".join(SELF_TEST_FAULTS), file=sys.stderr)
    return 1


def main():
    if sys.argv[1:] == ["--self-test"]:
        return self_test()
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1
                           else os.path.join(os.path.dirname(__file__), ".."))
    faults = check(root)
    for fault in faults:
        print(f"check-floors: {fault}", file=sys.stderr)
    if faults:
        order = " < ".join("/".join(rooms) for rooms in FLOORS)
        print(f"check-floors: floors, lowest first: {order}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())

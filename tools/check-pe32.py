#!/usr/bin/env python3
"""Checks the shipped 32-bit perchman.exe as a file, since no machine here can
run it: a console PE32 that Windows 95 and NT 4.0 will load, whose every static
import is in the allowed list, that exports OrxGetComputerName undecorated, and
whose string table is byte for byte the one of the 64-bit twin the tests run.

Usage: check-pe32.py SHIPPED.exe TWIN.exe [ALLOWED-IMPORTS]
"""
import os
import struct
import sys

RT_STRING = 6
OLDEST_NT = (4, 0)


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            self.data = f.read()
        if self.data[:2] != b"MZ":
            raise ValueError(f"{path} is not an executable")
        pe = struct.unpack_from("<I", self.data, 0x3C)[0]
        if self.data[pe:pe + 4] != b"PE\0\0":
            raise ValueError(f"{path} is not a PE file")
        self.machine, sections, _, _, _, optional_size, _ = struct.unpack_from(
            "<HHIIIHH", self.data, pe + 4)
        opt = pe + 24
        self.magic = struct.unpack_from("<H", self.data, opt)[0]
        self.os_version = struct.unpack_from("<HH", self.data, opt + 40)
        self.subsystem_version = struct.unpack_from("<HH", self.data, opt + 48)
        self.subsystem = struct.unpack_from("<H", self.data, opt + 68)[0]
        self.pointer_size = 4 if self.magic == 0x10B else 8
        directories = opt + (96 if self.magic == 0x10B else 112)
        self.directories = [struct.unpack_from("<II", self.data, directories + 8 * i)
                            for i in range(16)]
        table = opt + optional_size
        self.sections = []
        for i in range(sections):
            size, rva, raw_size, raw = struct.unpack_from("<IIII", self.data, table + 40 * i + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return raw + rva - start
        raise ValueError(f"address {rva:#x} lies in no section")

    def u16(self, rva):
        return struct.unpack_from("<H", self.data, self.offset(rva))[0]

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def text(self, rva):
        start = self.offset(rva)
        return self.data[start:self.data.index(b"\0", start)].decode("ascii")

    def imports(self):
        """(dll, function) pairs; an import by ordinal has the function '#N'."""
        rva, size = self.directories[1]
        found = []
        while size:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, self.offset(rva))
            if not name:
                break
            dll = self.text(name)
            thunk = lookup or first
            ordinal_flag = 1 << (8 * self.pointer_size - 1)
            while True:
                entry = struct.unpack_from("<Q" if self.pointer_size == 8 else "<I",
                                           self.data, self.offset(thunk))[0]
                if not entry:
                    break
                if entry & ordinal_flag:
                    found.append((dll, f"#{entry & 0xFFFF}"))
                else:
                    found.append((dll, self.text(entry + 2)))
                thunk += self.pointer_size
            rva += 20
        return found

    def exports(self):
        rva, size = self.directories[0]
        if not size:
            return []
        count, _, names = struct.unpack_from("<III", self.data, self.offset(rva) + 24)
        return [self.text(self.u32(names + 4 * i)) for i in range(count)]

    def delayed_imports(self):
        return self.directories[13][1] != 0

    def resources(self, wanted_type):
        """{(name id, language): bytes} of one resource type."""
        root, size = self.directories[2]
        if not size:
            return {}

        def entries(directory):
            named, numbered = struct.unpack_from("<HH", self.data, self.offset(root + directory) + 12)
            for i in range(named + numbered):
                ident, target = struct.unpack_from(
                    "<II", self.data, self.offset(root + directory) + 16 + 8 * i)
                yield ident, target

        found = {}
        for type_id, type_dir in entries(0):
            if type_id != wanted_type or not type_dir & 0x80000000:
                continue
            for name_id, name_dir in entries(type_dir & 0x7FFFFFFF):
                for language, leaf in entries(name_dir & 0x7FFFFFFF):
                    data_rva, data_size = struct.unpack_from("<II", self.data, self.offset(root + leaf))
                    start = self.offset(data_rva)
                    found[(name_id, language)] = self.data[start:start + data_size]
        return found


def version(text):
    return tuple(int(part) for part in text.split("."))


def read_allowed(path):
    """{(dll lower-case, function)}, and the entries that do not qualify."""
    allowed, refused = set(), []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            fields = line.split("#", 1)[0].split()
            if not fields:
                continue
            if len(fields) < 4:
                refused.append(f"line {number}: needs DLL, function, 9x and NT versions")
                continue
            dll, function, win9x, nt = fields[:4]
            if win9x != "95" or not nt.replace(".", "").isdigit() or version(nt) > OLDEST_NT:
                refused.append(f"line {number}: {dll} {function} (Windows 9x: {win9x}, "
                               f"NT: {nt}) is not in both Windows 95 and NT 4.0")
                continue
            allowed.add((dll.lower(), function))
    return allowed, refused


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__.strip().splitlines()[-1])
    shipped_path, twin_path = sys.argv[1:3]
    allowed_path = sys.argv[3] if len(sys.argv) == 4 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "pe32-imports.txt")
    shipped, twin = Image(shipped_path), Image(twin_path)
    allowed, refused_entries = read_allowed(allowed_path)

    checks = []

    def check(what, problems):
        checks.append(not problems)
        for problem in problems:
            print(f"check-pe32: {what}: {problem}")

    check("format", [] if shipped.magic == 0x10B and shipped.machine == 0x14C
          else [f"{shipped_path} is not a 32-bit x86 executable (PE32)"])
    check("subsystem", [] if shipped.subsystem == 3 else ["not a console program"])
    check("versions", [
        f"{field} version is {major}.{minor}; Windows 95 and NT 4.0 load 4.0"
        for field, (major, minor) in (("subsystem", shipped.subsystem_version),
                                      ("operating system", shipped.os_version))
        if (major, minor) != OLDEST_NT])
    check("allowed list", refused_entries)
    check("imports", [
        f"{dll} {function} is not in {os.path.basename(allowed_path)}: bind it at run time, "
        "or list it with the first Windows 95 / NT release that exports it"
        for dll, function in shipped.imports() if (dll.lower(), function) not in allowed]
        + (["delay-loaded imports escape this check"] if shipped.delayed_imports() else []))
    # By its plain name: a decorated export (_Orx..., Orx...@8) is not found by
    # the product's components.
    check("exports", [] if "OrxGetComputerName" in shipped.exports()
          else ["OrxGetComputerName is not exported undecorated"])
    strings, twin_strings = shipped.resources(RT_STRING), twin.resources(RT_STRING)
    check("string table", (["the shipped program has no string table"] if not strings else []) + [
        f"block {block} (language {language:#x}) differs from the twin's"
        for block, language in sorted(set(strings) | set(twin_strings))
        if strings.get((block, language)) != twin_strings.get((block, language))])

    failed = checks.count(False)
    print(f"check-pe32: {len(checks) - failed} passed, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())

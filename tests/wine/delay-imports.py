#!/usr/bin/env python3
"""delay-imports.py PROGRAM.exe: prints "Delay DLL Name: NAME" for each DLL the
PE32+ image delay-loads, followed by "Delay Function: NAME" for each function
taken from it.

GNU ld does not fill in the delay-import entry of the data directory for the
delay-import libraries dlltool writes, so the descriptors are found where
those libraries put them: 32-byte records (ImgDelayDescr) in the image's
sections, each with the RVA-based attribute 1, a DLL name, a module-handle
slot, an address table and a name table that all lie inside the image, and no
time stamp.
"""
import struct
import sys


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        sections, optional_size = struct.unpack_from("<2xH12xH", data, pe + 4)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError("not a PE32+ image")
        self.size_of_image = struct.unpack_from("<I", data, optional + 56)[0]
        self.sections = []
        table = optional + optional_size
        for i in range(sections):
            name, virtual_size, rva, raw_size, raw_offset = struct.unpack_from("<8sIIII", data, table + 40 * i)
            self.sections.append((name.rstrip(b"\0").decode("ascii", "replace"), rva,
                                  max(virtual_size, raw_size), raw_offset, raw_size))

    def offset(self, rva):
        """File offset of an RVA whose bytes are in the file, else None."""
        for _, start, size, raw_offset, raw_size in self.sections:
            if start <= rva < start + min(size, raw_size):
                return raw_offset + rva - start
        return None

    def inside(self, rva):
        return any(start <= rva < start + size for _, start, size, _, _ in self.sections)

    def text(self, rva, limit=256):
        at = self.offset(rva)
        if at is None:
            return None
        end = self.data.find(b"\0", at, at + limit)
        if end <= at:
            return None
        raw = self.data[at:end]
        if not all(0x21 <= b < 0x7F for b in raw):
            return None
        return raw.decode("ascii")


def delay_imports(image):
    found = []
    for _, rva, _, raw_offset, raw_size in image.sections:
        for at in range(raw_offset, raw_offset + raw_size - 31, 4):
            attributes, name, module, iat, int_, bound, unload, stamp = struct.unpack_from("<8I", image.data, at)
            if attributes != 1 or stamp != 0 or 0 in (name, module, iat, int_):
                continue
            if not all(image.inside(x) for x in (name, module, iat, int_)):
                continue
            dll = image.text(name)
            if dll is None or not dll.lower().endswith(".dll"):
                continue
            found.append((dll, functions(image, int_)))
    return found


def functions(image, name_table):
    names = []
    while True:
        at = image.offset(name_table)
        if at is None:
            break
        entry = struct.unpack_from("<Q", image.data, at)[0]
        if entry == 0:
            break
        if entry >> 63:
            names.append("#%d" % (entry & 0xFFFF))
        else:
            names.append(image.text((entry & 0x7FFFFFFF) + 2) or "?")
        name_table += 8
    return names


def main():
    if len(sys.argv) != 2:
        print("usage: delay-imports.py PROGRAM.exe", file=sys.stderr)
        return 2
    try:
        with open(sys.argv[1], "rb") as f:
            image = Image(f.read())
    except (OSError, ValueError, struct.error) as error:
        print("delay-imports.py: %s: %s" % (sys.argv[1], error), file=sys.stderr)
        return 1
    for dll, names in delay_imports(image):
        print("Delay DLL Name: %s" % dll)
        for name in names:
            print("Delay Function: %s" % name)
    return 0


if __name__ == "__main__":
    sys.exit(main())

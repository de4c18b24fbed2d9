#!/usr/bin/env python3
"""hostile.py KIND IN.exe OUT.exe: a copy of a handheld image made hostile in one way,
for the ARM runner's tests of what it refuses at load.

KIND is one of:
  headers    SizeOfHeaders of 8 MB, far above SizeOfImage, in a file that long
  slot       the import address table at 0x7fff0000, outside the image
  loop       1,000 import descriptors sharing one lookup table of 60,000 entries
  descriptors  5,000 import descriptors of one function each
  longname   an import name of 300 characters
  reloc      a base relocation block for the page just past the image's end
  entry      the entry point at 0x7fff0000, outside the image
  overlap    a section placed over the one before it
  lowercase  the library named "coredll.dll" rather than "COREDLL.dll" (not hostile:
             the handheld's loader compares library names without case)
"""
import struct
import sys


class Pe:
    def __init__(self, data):
        self.b = bytearray(data)
        self.pe = self.u32(0x3C)
        self.opt = self.pe + 24
        nsec = self.u16(self.pe + 6)
        table = self.opt + self.u16(self.pe + 20)
        self.sections = [table + 40 * i for i in range(nsec)]

    def u16(self, at):
        return struct.unpack_from("<H", self.b, at)[0]

    def u32(self, at):
        return struct.unpack_from("<I", self.b, at)[0]

    def put32(self, at, v):
        struct.pack_into("<I", self.b, at, v)

    # Optional header fields, by their offsets in the 32-bit header.
    ENTRY, SIZE_OF_IMAGE, SIZE_OF_HEADERS = 16, 56, 60

    def field(self, off):
        return self.u32(self.opt + off)

    def set_field(self, off, v):
        self.put32(self.opt + off, v)

    def directory(self, index):
        at = self.opt + 96 + 8 * index
        return at, self.u32(at), self.u32(at + 4)

    def offset(self, rva):
        """The file offset of RVA."""
        for s in self.sections:
            va, raw, ptr = self.u32(s + 12), self.u32(s + 16), self.u32(s + 20)
            if va <= rva < va + raw:
                return ptr + rva - va
        raise ValueError("RVA 0x%x is not in the file" % rva)

    def extend_last(self, extra):
        """Appends EXTRA to the last section (the last in the file as well); returns
        its RVA."""
        s = self.sections[-1]
        va, vsize, raw, ptr = self.u32(s + 12), self.u32(s + 8), self.u32(s + 16), self.u32(s + 20)
        assert ptr + raw == len(self.b), "the last section is not at the end of the file"
        at = (va + max(vsize, raw) + 3) & ~3
        self.b += bytes(at - va - raw) + extra
        while len(self.b) % 0x200:
            self.b.append(0)
        newraw = len(self.b) - ptr
        self.put32(s + 8, at - va + len(extra))
        self.put32(s + 16, newraw)
        self.set_field(self.SIZE_OF_IMAGE, (va + max(at - va + len(extra), newraw) + 0xFFF) & ~0xFFF)
        return at


def first_import(pe):
    """The import descriptor's file offset, its lookup table's RVA and the RVA of the
    library's name."""
    _, rva, _ = pe.directory(1)
    desc = pe.offset(rva)
    lookup = pe.u32(desc) or pe.u32(desc + 16)
    return desc, lookup, pe.u32(desc + 12)


def many_descriptors(pe, count, entries):
    """COUNT descriptors, each naming the image's first import ENTRIES times over one
    shared lookup table."""
    _, lookup, name = first_import(pe)
    hint_name = pe.u32(pe.offset(lookup))
    table = struct.pack("<I", hint_name) * entries + bytes(4)
    table_rva = pe.extend_last(table)
    descs = struct.pack("<5I", table_rva, 0, 0, name, table_rva) * count + bytes(20)
    descs_rva = pe.extend_last(descs)
    at, _, _ = pe.directory(1)
    pe.put32(at, descs_rva)
    pe.put32(at + 4, len(descs))


def make(kind, pe):
    if kind == "headers":
        pe.set_field(Pe.SIZE_OF_HEADERS, 0x800000)
        pe.b += bytes(0x800000 + 0x1000 - len(pe.b))
    elif kind == "slot":
        desc, _, _ = first_import(pe)
        pe.put32(desc + 16, 0x7FFF0000)
    elif kind == "loop":
        many_descriptors(pe, 1000, 60000)
    elif kind == "descriptors":
        many_descriptors(pe, 5000, 1)
    elif kind == "longname":
        _, lookup, _ = first_import(pe)
        rva = pe.extend_last(bytes(2) + b"A" * 300 + bytes(2))
        pe.put32(pe.offset(lookup), rva)
    elif kind == "reloc":
        _, rva, size = pe.directory(5)
        assert size >= 10, "the image has no base relocations"
        pe.put32(pe.offset(rva), pe.field(Pe.SIZE_OF_IMAGE))
    elif kind == "entry":
        pe.set_field(Pe.ENTRY, 0x7FFF0000)
    elif kind == "overlap":
        first, second = pe.sections[0], pe.sections[1]
        pe.put32(second + 12, pe.u32(first + 12))
    elif kind == "lowercase":
        at = pe.b.find(b"COREDLL.dll\0")
        assert at > 0, "no COREDLL.dll in the image"
        pe.b[at:at + 11] = b"coredll.dll"
    else:
        sys.exit("hostile.py: unknown kind " + kind)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    with open(sys.argv[2], "rb") as f:
        pe = Pe(f.read())
    make(sys.argv[1], pe)
    with open(sys.argv[3], "wb") as f:
        f.write(pe.b)


if __name__ == "__main__":
    main()

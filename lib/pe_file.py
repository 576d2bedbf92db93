# SPDX-License-Identifier: MIT
"""The headers of a PE image (PE32 or PE32+), read as a loader reads them:
where each field lies, so that a caller can also change it in place."""

import struct
from typing import NamedTuple

PE32, PE32_PLUS = 0x10B, 0x20B
# Data directories: the resource table, the certificate table, base relocations.
RESOURCES, CERTIFICATES, RELOCATIONS = 2, 4, 5


class NotPe(Exception):
    pass


class Section(NamedTuple):
    name: str
    virtual_size: int
    address: int
    raw_size: int
    raw_offset: int
    characteristics: int
    header: int  # where the section's 40-byte header lies in the file


class Headers(NamedTuple):
    pe: int  # the "PE\0\0" signature
    machine: int
    optional: int  # the optional header
    magic: int
    entry: int
    sections: list
    directories_at: int  # the first data directory entry

    @property
    def checksum_at(self):
        return self.optional + 64

    def directory_at(self, index):
        return self.directories_at + 8 * index

    def section(self, name):
        return next(section for section in self.sections if section.name == name)

    def offset(self, rva):
        """The file offset of an RVA, through the section that holds it."""
        for section in self.sections:
            if section.address <= rva < section.address + max(section.virtual_size, section.raw_size):
                return rva - section.address + section.raw_offset
        raise NotPe(f"RVA 0x{rva:X} lies in no section")


def read(data):
    """The headers of data, the image's bytes (its first 4 KiB suffice)."""
    try:
        if data[:2] != b"MZ":
            raise NotPe("no MZ header")
        pe, = struct.unpack_from("<I", data, 0x3C)
        if data[pe:pe + 4] != b"PE\0\0":
            raise NotPe("no PE signature")
        machine, count = struct.unpack_from("<HH", data, pe + 4)
        optional_size, = struct.unpack_from("<H", data, pe + 20)
        optional = pe + 24
        magic, = struct.unpack_from("<H", data, optional)
        if magic not in (PE32, PE32_PLUS):
            raise NotPe(f"optional header magic 0x{magic:X}")
        entry, = struct.unpack_from("<I", data, optional + 16)
        table = optional + optional_size
        sections = []
        for header in range(table, table + 40 * count, 40):
            virtual_size, address, raw_size, raw_offset = struct.unpack_from("<IIII", data, header + 8)
            characteristics, = struct.unpack_from("<I", data, header + 36)
            sections.append(Section(data[header:header + 8].rstrip(b"\0").decode(errors="replace"),
                                    virtual_size, address, raw_size, raw_offset, characteristics, header))
    except struct.error:
        raise NotPe("the headers run past the end of the file")
    return Headers(pe, machine, optional, magic, entry, sections,
                   optional + (112 if magic == PE32_PLUS else 96))


def directory(data, index):
    """(RVA or file offset, size) of data directory index."""
    return struct.unpack_from("<II", data, read(data).directory_at(index))


def base_relocations(data):
    """(type, RVA) of each base relocation entry, the padding of type 0 included."""
    rva, size = directory(data, RELOCATIONS)
    block = read(data).offset(rva) if size else 0
    end = block + size
    while block + 8 <= end:
        page, length = struct.unpack_from("<II", data, block)
        if length < 8:
            raise NotPe(f"a base relocation block of {length} bytes")
        for entry in struct.unpack_from(f"<{(length - 8) // 2}H", data, block + 8):
            yield entry >> 12, page + (entry & 0xFFF)
        block += length

#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Turns the RISC-V image, linked by ld.lld as a position-independent ELF
file, into a PE32+ EFI application: no compiler or linker here writes RISC-V
PE. The PE's sections are the ELF's .text and .data, the help resource
(make_help_resource --machine raw) and base relocations: every
R_RISCV_RELATIVE relocation becomes a DIR64 one, with its addend written in
place (the image base is 0, so an address is its RVA).

It is strict about what it accepts: a 64-bit little-endian RISC-V ELF file
of type ET_DYN, linked by build-steps/riscv64.ld so that .text starts right after
the PE headers and every section is 64-byte aligned; no allocated section
but .text, .data and the dynamic-linking tables ld.lld adds; no relocation
but R_RISCV_RELATIVE. Anything else is refused with a message.

Usage: elf_to_pe.py ELF RESOURCE OUTPUT
"""

import argparse
import io
import os
import struct
import sys

import pefile
from elftools.common.exceptions import ELFError
from elftools.elf.constants import SH_FLAGS
from elftools.elf.elffile import ELFFile

import machines

ALIGNMENT = 0x40
SECTIONS = 4
HEADERS = (0x40 + 4 + 20 + 240 + 40 * SECTIONS + ALIGNMENT - 1) // ALIGNMENT * ALIGNMENT
R_RISCV_RELATIVE = 3
DIR64 = 10
# What ld.lld adds to any -pie link; the converter reads .rela.dyn and
# ignores the rest, since the PE loader needs none of it.
DYNAMIC_TABLES = {".rela.dyn", ".dynsym", ".gnu.hash", ".hash", ".dynstr", ".dynamic"}


class Refused(Exception):
    pass


def align(value):
    return (value + ALIGNMENT - 1) // ALIGNMENT * ALIGNMENT


def read_elf(data):
    """The ELF file's entry point and its sections by name (pyelftools')."""
    try:
        elf = ELFFile(io.BytesIO(data))
        if elf.elfclass != 64 or not elf.little_endian:
            raise ELFError("not 64-bit little-endian")
        if elf["e_machine"] != "EM_RISCV" or elf["e_type"] != "ET_DYN":
            raise Refused(f"not a position-independent RISC-V image (type {elf['e_type']}, machine {elf['e_machine']})")
        return elf["e_entry"], {section.name: section for section in elf.iter_sections()}
    except ELFError:
        raise Refused("not a 64-bit little-endian ELF file")


def place_resource(image, rsrc_address):
    """The resource section's one data entry holds the package list's offset
    in the section (make_help_resource --machine raw); the image needs its
    RVA. The entry is found as a loader finds it, by pefile's reading of the
    directory tree, so the generator alone decides the layout."""
    reader = pefile.PE(data=bytes(image), fast_load=True)
    reader.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    try:
        tree = reader.DIRECTORY_ENTRY_RESOURCE
        entry = tree.entries[0].directory.entries[0].directory.entries[0].data.struct
    except (AttributeError, IndexError):
        raise Refused("the resource section is no three-level directory with one data entry")
    struct.pack_into("<I", image, entry.get_file_offset(), entry.OffsetToData + rsrc_address)


def convert(elf, resource):
    entry, sections = read_elf(elf)
    for name, section in sections.items():
        if section["sh_flags"] & SH_FLAGS.SHF_ALLOC and name not in {".text", ".data"} | DYNAMIC_TABLES:
            raise Refused(f"section {name} is not one the image may have (link with build-steps/riscv64.ld)")
    if ".text" not in sections or ".data" not in sections:
        raise Refused("no .text or no .data section")
    text_section, data_section = sections[".text"], sections[".data"]
    text_flags, text_address, text_size = text_section["sh_flags"], text_section["sh_addr"], text_section["sh_size"]
    data_flags, data_address, data_size = data_section["sh_flags"], data_section["sh_addr"], data_section["sh_size"]
    executable = SH_FLAGS.SHF_ALLOC | SH_FLAGS.SHF_EXECINSTR
    if text_flags & executable != executable or text_flags & SH_FLAGS.SHF_WRITE:
        raise Refused(".text is not allocated, executable and read-only")
    if data_flags & SH_FLAGS.SHF_EXECINSTR or data_section["sh_type"] == "SHT_NOBITS":
        raise Refused(".data is executable or holds no file data (NOBITS)")
    if text_address != HEADERS:
        raise Refused(f".text starts at 0x{text_address:X}, not right after the headers at 0x{HEADERS:X}")
    if data_address % ALIGNMENT or data_address < align(text_address + text_size):
        raise Refused(f".data at 0x{data_address:X} is not 64-byte aligned behind .text")
    if not text_address <= entry < text_address + text_size:
        raise Refused(f"the entry point 0x{entry:X} is not in .text")
    text = bytearray(text_section.data())
    data = bytearray(data_section.data())

    fixups = []
    if ".rela.dyn" in sections:
        for relocation in sections[".rela.dyn"].iter_relocations():
            where, kind = relocation["r_offset"], relocation["r_info_type"]
            if kind != R_RISCV_RELATIVE or relocation["r_info_sym"] != 0:
                raise Refused(f"relocation type {kind} at 0x{where:X}: only R_RISCV_RELATIVE is known")
            if not data_address <= where <= data_address + data_size - 8:
                raise Refused(f"a relocation at 0x{where:X} lies outside .data")
            struct.pack_into("<q", data, where - data_address, relocation["r_addend"])
            fixups.append(where)

    rsrc_address = align(data_address + data_size)
    # The resource's data entry holds an RVA, which needs no base relocation.
    reloc_address = align(rsrc_address + len(resource))
    relocations = bytearray()
    pages = sorted({where & ~0xFFF for where in fixups})
    for page in pages:
        entries = [DIR64 << 12 | (where - page) for where in sorted(fixups) if where & ~0xFFF == page]
        if len(entries) % 2:
            entries.append(0)  # padding: blocks hold whole 32-bit words
        relocations += struct.pack("<II", page, 8 + 2 * len(entries))
        relocations += struct.pack(f"<{len(entries)}H", *entries)
    image_size = align(reloc_address + max(len(relocations), 1))

    # (name, RVA, contents, characteristics); each section's file data is its
    # contents padded to the alignment, at the same offset as its RVA.
    table = [(b".text", text_address, text, 0x60000020),
             (b".data", data_address, data, 0xC0000040),
             (b".rsrc", rsrc_address, resource, 0x40000040),
             (b".reloc", reloc_address, relocations, 0x42000040)]
    out = bytearray(HEADERS)
    out[0:2] = b"MZ"
    struct.pack_into("<I", out, 0x3C, 0x40)
    out[0x40:0x44] = b"PE\0\0"
    struct.pack_into("<HHIIIHH", out, 0x44, machines.pe_machine(machines.MACHINES["riscv64"]), SECTIONS, 0, 0, 0, 240,
                     0x22)
    optional = 0x58
    directories = [(0, 0)] * 16
    directories[2] = (rsrc_address, len(resource))
    directories[5] = (reloc_address, len(relocations))
    struct.pack_into("<HBBIIIIIQIIHHHHHHIIIIHHQQQQII", out, optional,
                     0x20B, 0, 0, align(len(text)), align(len(data)) + align(len(resource)) + align(len(relocations)),
                     0, entry, text_address, 0, ALIGNMENT, ALIGNMENT, 0, 0, 0, 0, 0, 0, 0,
                     image_size, HEADERS, 0, 10, 0x0140, 0x100000, 0x1000, 0x100000, 0x1000, 0, 16)
    for index, (rva, size) in enumerate(directories):
        struct.pack_into("<II", out, optional + 112 + 8 * index, rva, size)
    for index, (name, rva, contents, characteristics) in enumerate(table):
        struct.pack_into("<8sIIIIIIHHI", out, optional + 240 + 40 * index, name, len(contents), rva,
                         align(len(contents)), rva, 0, 0, 0, 0, characteristics)
    for name, rva, contents, _ in table:
        out += bytes(rva - len(out))
        out += contents + bytes(align(len(contents)) - len(contents))
    place_resource(out, rsrc_address)
    return bytes(out)


def main():
    parser = argparse.ArgumentParser(
        prog="elf_to_pe.py", description=__doc__.split("Usage:")[0].strip(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="example: elf_to_pe.py build/image-riscv64/TamberluneRISCV64.elf "
               "build/image-riscv64/TamberluneHelp.bin build/TamberluneRISCV64.efi")
    parser.add_argument("elf", metavar="ELF", help="the image as ld.lld linked it")
    parser.add_argument("resource", metavar="RESOURCE", help="its resource section (make_help_resource --machine raw)")
    parser.add_argument("output", metavar="OUTPUT", help="the PE image to write")
    args = parser.parse_args()
    try:
        with open(args.elf, "rb") as file:
            elf = file.read()
        with open(args.resource, "rb") as file:
            resource = file.read()
        image = convert(elf, resource)
    except Refused as error:
        sys.exit(f"elf_to_pe: {args.elf}: {error}")
    except (OSError, struct.error, ValueError, IndexError, ELFError) as error:
        sys.exit(f"elf_to_pe: {args.elf}: cannot read it as an ELF image ({error})")
    with open(args.output + ".tmp", "wb") as out:
        out.write(image)
    os.replace(args.output + ".tmp", args.output)


if __name__ == "__main__":
    main()

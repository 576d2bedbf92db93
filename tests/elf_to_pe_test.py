# SPDX-License-Identifier: MIT
"""The RISC-V ELF-to-PE converter: what it makes of the real image, and that
it refuses, with a message, every file it does not understand.
Usage: elf_to_pe_test.py ELF RESOURCE [unittest arguments]
"""

import io
import struct
import unittest

import pefile
from elftools.elf.elffile import ELFFile

import harness
import elf_to_pe

ELF = RESOURCE = None


def sections(elf):
    return elf_to_pe.read_elf(elf)[1]


class Converter(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(ELF, "rb") as file:
            cls.elf = file.read()
        with open(RESOURCE, "rb") as file:
            cls.resource = file.read()
        cls.image = elf_to_pe.convert(cls.elf, cls.resource)

    def test_code_is_copied_byte_for_byte_and_every_relative_relocation_is_a_base_relocation(self):
        table = sections(self.elf)
        text = table[".text"]
        self.assertEqual(self.image[text["sh_addr"]:text["sh_addr"] + text["sh_size"]], text.data())
        # The entry point is the ELF's (the image's base is 0, so the address is the RVA).
        image = pefile.PE(data=self.image)
        self.assertEqual(image.OPTIONAL_HEADER.AddressOfEntryPoint, ELFFile(io.BytesIO(self.elf))["e_entry"])
        addends = {relocation["r_offset"]: relocation["r_addend"] for relocation in table[".rela.dyn"].iter_relocations()}
        fixups = [(entry.type, entry.rva) for block in image.DIRECTORY_ENTRY_BASERELOC for entry in block.entries
                  if entry.type]
        self.assertEqual({kind for kind, _ in fixups}, {10})  # DIR64
        self.assertEqual(sorted(rva for _, rva in fixups), sorted(addends))
        for where, addend in addends.items():  # the addend, in place: the image's base is 0
            self.assertEqual(struct.unpack_from("<q", self.image, where)[0], addend)
        # One relocation fewer, an odd number: the blocks are padded to whole 32-bit words.
        odd = self.patched(self.section_header(".rela.dyn") + 32, "<Q", table[".rela.dyn"]["sh_size"] - 24)
        converted = pefile.PE(data=elf_to_pe.convert(bytes(odd), self.resource), fast_load=True)
        self.assertEqual(converted.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size % 4, 0)

    def refused(self, elf, message):
        with self.assertRaises(elf_to_pe.Refused) as caught:
            elf_to_pe.convert(bytes(elf), self.resource)
        self.assertIn(message, str(caught.exception))

    def patched(self, offset, fmt, value):
        elf = bytearray(self.elf)
        struct.pack_into(fmt, elf, offset, value)
        return elf

    def section_header(self, name):
        """Where a section's header lies in the ELF file."""
        elf = ELFFile(io.BytesIO(self.elf))
        index = next(index for index, section in enumerate(elf.iter_sections()) if section.name == name)
        return elf["e_shoff"] + index * elf["e_shentsize"]

    def test_refuses_what_it_does_not_understand(self):
        rela = sections(self.elf)[".rela.dyn"]["sh_offset"]
        data_header, data = self.section_header(".data"), sections(self.elf)[".data"]
        for name, elf, message in (
                ("not ELF", b"MZ" + self.elf[2:], "not a 64-bit little-endian ELF file"),
                ("another machine", self.patched(18, "<H", 62), "not a position-independent RISC-V image"),
                ("not PIE", self.patched(16, "<H", 2), "not a position-independent RISC-V image"),
                ("another relocation", self.patched(rela + 8, "<Q", 2), "only R_RISCV_RELATIVE is known"),
                ("a relocation outside .data", self.patched(rela, "<Q", 0x10), "lies outside .data"),
                ("a relocation running past .data", self.patched(rela, "<Q", data["sh_addr"] + data["sh_size"] - 4),
                 "lies outside .data"),
                (".text elsewhere", self.patched(self.section_header(".text") + 16, "<Q", 0x1000),
                 "not right after the headers"),
                ("executable .data", self.patched(data_header + 8, "<Q", 7), ".data is executable")):
            with self.subTest(name):
                self.refused(elf, message)

    def test_an_extra_allocated_section_is_refused(self):
        # Rename .data's header to point at another name in the string table:
        # .text's name with its first byte skipped reads "text", an unknown
        # allocated section.
        header = self.section_header(".data")
        text_name = sections(self.elf)[".text"]["sh_name"]
        self.refused(self.patched(header, "<I", text_name + 1), "section text is not one the image may have")


if __name__ == "__main__":
    ELF, RESOURCE = harness.arguments("elf_to_pe_test.py ELF RESOURCE [unittest arguments]", 2)
    unittest.main()

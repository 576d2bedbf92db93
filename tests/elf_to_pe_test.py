# SPDX-License-Identifier: MIT
"""The RISC-V ELF-to-PE converter: what it makes of the real image, and that
it refuses, with a message, every file it does not understand.
Usage: elf_to_pe_test.py ELF RESOURCE [unittest arguments]
"""

import struct
import unittest

import harness
import elf_to_pe  # noqa: E402 (harness puts it within reach)
import pe_file

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
        _, _, _, address, offset, size, *_ = table[".text"]
        self.assertEqual(self.image[address:address + size], self.elf[offset:offset + size])
        # The entry point is the ELF's (the image's base is 0, so the address is the RVA).
        self.assertEqual(pe_file.read(self.image).entry, struct.unpack_from("<Q", self.elf, 24)[0])
        _, _, _, _, rela, rela_size, *_ = table[".rela.dyn"]
        relatives = sorted(struct.unpack_from("<Q", self.elf, at)[0] for at in range(rela, rela + rela_size, 24))
        fixups = [(kind, rva) for kind, rva in pe_file.base_relocations(self.image) if kind]
        self.assertEqual({kind for kind, _ in fixups}, {10})  # DIR64
        self.assertEqual(sorted(rva for _, rva in fixups), relatives)
        for where in relatives:  # the addend, in place: the image's base is 0
            addend = next(struct.unpack_from("<q", self.elf, at + 16)[0] for at in range(rela, rela + rela_size, 24)
                          if struct.unpack_from("<Q", self.elf, at)[0] == where)
            self.assertEqual(struct.unpack_from("<Q", self.image, where)[0], addend)
        # One relocation fewer, an odd number: the blocks are padded to whole 32-bit words.
        odd = self.patched(self.section_header(".rela.dyn") + 32, "<Q", rela_size - 24)
        converted = elf_to_pe.convert(bytes(odd), self.resource)
        self.assertEqual(pe_file.directory(converted, pe_file.RELOCATIONS)[1] % 4, 0)

    def refused(self, elf, message):
        with self.assertRaises(elf_to_pe.Refused) as caught:
            elf_to_pe.convert(bytes(elf), self.resource)
        self.assertIn(message, str(caught.exception))

    def patched(self, offset, fmt, value):
        elf = bytearray(self.elf)
        struct.pack_into(fmt, elf, offset, value)
        return elf

    def section_header(self, name):
        section_offset, = struct.unpack_from("<Q", self.elf, 40)
        entry_size, count, _ = struct.unpack_from("<HHH", self.elf, 58)
        for index in range(count):
            at = section_offset + index * entry_size
            if sections(self.elf)[name] == struct.unpack_from("<IIQQQQIIQQ", self.elf, at):
                return at
        raise AssertionError(name)

    def test_refuses_what_it_does_not_understand(self):
        rela = sections(self.elf)[".rela.dyn"][4]
        data_header, data = self.section_header(".data"), sections(self.elf)[".data"]
        for name, elf, message in (
                ("not ELF", b"MZ" + self.elf[2:], "not a 64-bit little-endian ELF file"),
                ("another machine", self.patched(18, "<H", 62), "not a position-independent RISC-V image"),
                ("not PIE", self.patched(16, "<H", 2), "not a position-independent RISC-V image"),
                ("another relocation", self.patched(rela + 8, "<Q", 2), "only R_RISCV_RELATIVE is known"),
                ("a relocation outside .data", self.patched(rela, "<Q", 0x10), "lies outside .data"),
                ("a relocation running past .data", self.patched(rela, "<Q", data[3] + data[5] - 4),
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
        text_name = sections(self.elf)[".text"][0]
        self.refused(self.patched(header, "<I", text_name + 1), "section text is not one the image may have")


if __name__ == "__main__":
    ELF, RESOURCE = harness.arguments("elf_to_pe_test.py ELF RESOURCE [unittest arguments]", 2)
    unittest.main()

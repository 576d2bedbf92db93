# SPDX-License-Identifier: MIT
"""The built image byte by byte, as a loader reads it (headers, sections, base
relocations, the resource section and the HII package list it carries); then
through other eyes: llvm-readobj's view, and tamberlune-inspect on the image
and on corrupted copies of it. Usage: image_test.py IMAGE INSPECT-TOOL [ARCH] [unittest arguments]
"""

import os
import re
import shutil
import struct
import subprocess
import tempfile
import unittest

import pefile

import harness
import machines

IMAGE = INSPECT = DATA = None
# Each machine's PE machine type and optional header (PE32+ or PE32), and
# the name llvm-readobj gives the type (where it has one), from the machine
# table.
MACHINES = {name: (machines.pe_machine(machine), int(machine["pe_magic"], 16), machine["pe_machine_name"])
            for name, machine in machines.MACHINES.items()}
ARCH = "x64"
HELP = ('.TH Tamberlune 0 "Displays a "UEFI Tamberlune!" string."\n'
        ".SH NAME\nTamberlune application.\n")
RESOURCES = pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]


def parsed(data):
    """The image as pefile reads it."""
    return pefile.PE(data=bytes(data))


def section(image, name):
    return next(found for found in image.sections if found.Name.rstrip(b"\0").decode() == name)


def relocation_types(image):
    """The type of each base relocation entry, the padding of type 0 included."""
    return [entry.type for block in getattr(image, "DIRECTORY_ENTRY_BASERELOC", []) for entry in block.entries]


def resource_layout(image):
    """Where the help resource's parts lie in the file, found by walking its
    tree as a loader does: the first name entry of the top directory, its
    name string, the data entry at the tree's leaf, the package list that
    entry points to, and that list's string package."""
    headers = parsed(image)
    rsrc = section(headers, ".rsrc")
    start = rsrc.PointerToRawData
    table = start
    for _ in range(3):  # HII, EFI, BIN
        name, target = struct.unpack_from("<II", image, table + 16)
        table = start + (target & 0x7FFFFFFF)
    data_entry = table
    list_rva, list_size = struct.unpack_from("<II", image, data_entry)
    package_list = list_rva - rsrc.VirtualAddress + start
    return {"rsrc": start, "top_entry": start + 16,
            "first_name": start + (struct.unpack_from("<I", image, start + 16)[0] & 0x7FFFFFFF),
            "data_entry": data_entry, "package_list": package_list, "list_size": list_size,
            "string_package": package_list + 20, "section_size": rsrc.Misc_VirtualSize,
            "directory_size": headers.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCES].Size}


class Layout(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = DATA
        cls.headers = parsed(cls.data)
        cls.rsrc = section(cls.headers, ".rsrc")
        cls.list = cls.rsrc.PointerToRawData + 0x70  # the package list

    def at(self, fmt, offset):
        return struct.unpack_from(fmt, self.data, offset)

    def test_headers_say_efi_application_for_its_machine(self):
        pe, optional = self.headers.DOS_HEADER.e_lfanew, self.headers.OPTIONAL_HEADER
        self.assertEqual((self.data[:2], self.data[pe:pe + 4]), (b"MZ", b"PE\0\0"))
        self.assertEqual((self.headers.FILE_HEADER.Machine, optional.Magic), MACHINES[ARCH][:2])
        # Subsystem EFI application; section and file alignment 64; relocations not stripped.
        self.assertEqual((optional.Subsystem, optional.SectionAlignment, optional.FileAlignment), (10, 64, 64))
        self.assertEqual(self.headers.FILE_HEADER.Characteristics & 1, 0)
        self.assertNotEqual(optional.AddressOfEntryPoint, 0)
        # Loadable anywhere and with data never executable (DYNAMIC_BASE, NX_COMPAT);
        # SizeOfCode is .text's, SizeOfImage ends with the last section.
        self.assertEqual(optional.DllCharacteristics & 0x0140, 0x0140)
        last = self.headers.sections[-1]
        self.assertEqual((optional.SizeOfCode, optional.SizeOfImage),
                         (section(self.headers, ".text").SizeOfRawData,
                          (last.VirtualAddress + last.Misc_VirtualSize + 63) // 64 * 64))
        imports = optional.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]]
        self.assertEqual((imports.VirtualAddress, imports.Size), (0, 0))

    def test_base_relocations_are_of_the_machines_width_only(self):
        # DIR64 (10) on a 64-bit machine, HIGHLOW (3) on IA32 and ARM; type 0
        # pads a block. Code that reaches its data relative to itself, as
        # x86-64 and AArch64 code does, may need none at all.
        types = set(relocation_types(self.headers))
        self.assertLessEqual(types - {0}, {10 if self.headers.OPTIONAL_HEADER.Magic == 0x20B else 3})
        if ARCH not in ("x64", "aa64"):
            self.assertTrue(types - {0})

    def test_sections_in_order_aligned_and_in_the_file(self):
        # .reloc where the image has base relocations.
        relocated = [(".reloc", 0x42000040)] if relocation_types(self.headers) else []
        self.assertEqual([(found.Name.rstrip(b"\0").decode(), found.Characteristics) for found in self.headers.sections],
                         [(".text", 0x60000020), (".data", 0xC0000040), (".rsrc", 0x40000040)] + relocated)
        for found in self.headers.sections:
            self.assertEqual((found.VirtualAddress % 64, found.PointerToRawData % 64), (0, 0), found.Name)
            self.assertLessEqual(found.PointerToRawData + found.SizeOfRawData, len(self.data), found.Name)

    def test_the_resource_tree_three_levels_of_one_named_entry(self):
        rsrc = self.rsrc.PointerToRawData
        directory = self.headers.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCES]
        self.assertEqual((directory.VirtualAddress, directory.Size), (self.rsrc.VirtualAddress, 0x1C0))
        self.assertEqual((self.rsrc.Misc_VirtualSize, self.rsrc.SizeOfRawData), (0x1C0, 0x1C0))
        for table, name, target, text in ((0x00, 0x48, 0x80000018, "HII"), (0x18, 0x50, 0x80000030, "EFI"),
                                          (0x30, 0x58, 0x60, "BIN")):
            # No characteristics, time stamp or version; one named entry, no ID entry.
            self.assertEqual(self.at("<IIIHHII", rsrc + table), (0, 0, 0, 1, 0, 0x80000000 | name, target))
            self.assertEqual(self.data[rsrc + name:rsrc + name + 8], b"\3\0" + text.encode("utf-16-le"))
        # The data entry: the package list's RVA and size, no code page.
        self.assertEqual(self.at("<IIII", rsrc + 0x60), (self.rsrc.VirtualAddress + 0x70, 283, 0, 0))

    def test_the_package_list_and_its_string_package(self):
        self.assertEqual(self.data[self.list:self.list + 16],
                         bytes.fromhex("E4913C7A 2D5B 684F 9E1A C84D20F6B573".replace(" ", "")))
        # PackageLength; the string package: length 259 and type 4, HdrSize and
        # StringInfoOffset 52, an empty LanguageWindow, LanguageName string 1.
        self.assertEqual(self.at("<IIII", self.list + 16), (283, 0x04000103, 52, 52))
        self.assertEqual(self.data[self.list + 0x20:self.list + 0x48], bytes(32) + b"\1\0en-US\0")
        # The string blocks, walked from StringInfoOffset as a shell walks
        # them: English at an odd offset (no alignment is inserted), the help
        # text, and the end block as the string package's last byte.
        strings, at = [], self.list + 0x14 + 52
        while self.data[at] == 0x14:
            end = at + 1
            while self.data[end:end + 2] != b"\0\0":
                end += 2
            strings.append((at + 1 - self.list, self.data[at + 1:end].decode("utf-16-le")))
            at = end + 2
        self.assertEqual(strings, [(0x49, "English"), (0x5A, HELP.replace("\n", "\r\n"))])
        self.assertEqual((at - self.list, self.data[at]), (0x116, 0))
        # The end package, then zeros to the section's end.
        self.assertEqual(self.at("<I", self.list + 0x117), (0xDF000004,))
        self.assertEqual(self.data[self.rsrc.PointerToRawData + 0x18B:self.rsrc.PointerToRawData + 0x1C0], bytes(0x35))


def readobj(*flags):
    tool = shutil.which("llvm-readobj") or shutil.which("llvm-readobj-14")
    if tool is None:
        raise unittest.SkipTest("llvm-readobj is missing: apt-get install llvm")
    return subprocess.run([tool, *flags, IMAGE], check=True, capture_output=True, text=True).stdout


class ReadobjCrossCheck(unittest.TestCase):
    layout = property(lambda self: resource_layout(DATA))

    def test_file_headers(self):
        text = readobj("--file-headers")
        code, _, name = MACHINES[ARCH]
        # llvm-readobj 14 has no name for some (RISC-V 64's).
        self.assertRegex(text, rf"Machine: (?:{name} \(0x{code:X}\)|0x{code:X})\n")
        self.assertIn("Subsystem: IMAGE_SUBSYSTEM_EFI_APPLICATION (0xA)", text)
        self.assertIn("SectionAlignment: 64", text)
        self.assertIn("FileAlignment: 64", text)
        self.assertRegex(text, r"ImportTableRVA: 0x0\s+ImportTableSize: 0x0")
        self.assertIn(f"ResourceTableSize: 0x{self.layout['directory_size']:X}\n", text)

    def test_sections_and_headers_as_readobj_and_the_inspector_read_them(self):
        headers, sections = readobj("--file-headers"), readobj("--sections")
        field = lambda name: int(re.search(rf"\b{name}: (\w+)", headers).group(1), 0)
        out = inspect(IMAGE).stdout
        self.assertIn(f"  entry        RVA 0x{field('AddressOfEntryPoint'):X}\n"
                      f"  image        base 0x{field('ImageBase'):X}, size 0x{field('SizeOfImage'):X}, "
                      f"headers 0x{field('SizeOfHeaders'):X}\n"
                      f"  alignment    section 0x{field('SectionAlignment'):X}, file 0x{field('FileAlignment'):X}\n",
                      out)
        fields = r"Name: (\.\w+).*?VirtualSize: (\w+)\s+VirtualAddress: (\w+)\s+RawDataSize: (\w+)\s+" \
                 r"PointerToRawData: (\w+).*?Characteristics \[ \((\w+)\)"
        expected = [(name, address, size, offset, raw, flags) for name, size, address, raw, offset, flags
                    in re.findall(fields, sections, re.S)]
        shown = re.findall(r"^ +(?:sections .*\n +)?(\.\w+) +(\w+) (\w+) +(\w+) +(\w+) (\w+) ", out, re.M)
        expected = [(name, *(int(value, 0) for value in values)) for name, *values in expected]
        self.assertEqual([(name, *(int(value, 0) for value in values)) for name, *values in shown], expected)
        relocations = len(re.findall(r"Type: (?!ABSOLUTE)", readobj("--coff-basereloc")))
        relocated = [".reloc"] if relocations else []
        self.assertEqual([section[0] for section in expected], [".text", ".data", ".rsrc"] + relocated)
        rsrc = next(section for section in expected if section[0] == ".rsrc")
        self.assertEqual((rsrc[2], rsrc[5], field("ResourceTableRVA")), (self.layout["section_size"], 0x40000040,
                                                                         rsrc[1]))
        self.assertIn(f"  relocations  {relocations} base relocations\n", out)

    def test_resources(self):
        text = readobj("--coff-resources")
        self.assertRegex(text, r"Type: HII \[[^\]]*Name: EFI \[[^\]]*Language: BIN \[")
        self.assertIn("Total Number of Resources: 1", text)
        self.assertIn(f"DataSize: {self.layout['list_size']}\n", text)
        self.assertEqual(text.count("Number of String Entries: 1"), 3)
        self.assertEqual(text.count("Number of ID Entries: 0"), 3)


def inspect(path):
    return subprocess.run(harness.host_program(INSPECT, path), capture_output=True, text=True, timeout=60)


class InspectTool(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.image = bytearray(DATA)

    def tearDown(self):
        self.directory.cleanup()

    def corrupt(self, data):
        path = os.path.join(self.directory.name, "corrupt.efi")
        with open(path, "wb") as out:
            out.write(data)
        return inspect(path)

    def patched(self, *changes):
        """A copy of the image with each (offset, struct format, value) written."""
        data = bytearray(self.image)
        for offset, fmt, value in changes:
            struct.pack_into(fmt, data, offset, value)
        return data

    def test_prints_summary_and_help_text(self):
        result = inspect(IMAGE)
        self.assertEqual(result.returncode, 0, result.stderr)
        out = result.stdout
        self.assertRegex(out, rf"machine      (?!unknown)[^\n]+ \(0x{MACHINES[ARCH][0]:04X}\)\n")
        self.assertIn("subsystem    EFI application (10)", out)
        self.assertIn("imports      none", out)
        size = resource_layout(self.image)["section_size"]
        self.assertRegex(out, rf"\.rsrc +0x[0-9A-F]+ 0x{size:05X} .* 0x40000040 initialized-data read\n")
        self.assertTrue(out.endswith("help text:\n" + HELP), out)

    def check_rejected(self, data, message):
        result = self.corrupt(data)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn(message, result.stderr)
        self.assertNotIn("AddressSanitizer", result.stderr)
        self.assertNotIn("runtime error", result.stderr)

    def test_rejects_a_file_that_is_no_pe_image(self):
        for data, message in ((b"#!/bin/sh\necho hello\n" * 10, "not a PE image: no MZ header"),
                              (b"", "not a PE image: no MZ header"),
                              (b"MZ", "not a PE image: it ends inside the DOS header (2 of its 64 bytes)")):
            with self.subTest(data=data[:8]):
                self.check_rejected(data, message)

    def test_rejects_every_truncation(self):
        # Cut the file at every 16th byte: each cut is refused, none crashes.
        for size in range(0, len(self.image), 16):
            result = self.corrupt(self.image[:size])
            self.assertEqual(result.returncode, 1, f"cut at {size}: {result.stdout}")
            self.assertIn("tamberlune-inspect:", result.stderr)
            self.assertNotIn("Sanitizer", result.stderr)

    def test_rejects_each_field_past_its_bounds(self):
        headers, layout = parsed(self.image), resource_layout(self.image)
        listed, strings = layout["package_list"], layout["string_package"]
        size = layout["list_size"]
        optional = headers.OPTIONAL_HEADER.get_file_offset()
        directories = headers.OPTIONAL_HEADER.DATA_DIRECTORY
        for changes, message in (
                ([(optional, "<H", 0x107)], "no PE32 or PE32+ optional header"),  # a ROM image's
                # Seventeen directories, and room for them: more than a loader has slots for.
                ([(directories[0].get_file_offset() - 4, "<I", 17),
                  (headers.FILE_HEADER.get_field_absolute_offset("SizeOfOptionalHeader"), "<H",
                   directories[0].get_file_offset() + 136 - optional)], "17 data directories are more than the 16"),
                ([(headers.sections[0].get_file_offset() + 20, "<I", 0x7FFFFFF0)], "section .text lies outside the file"),
                ([(directories[RESOURCES].get_file_offset() + 4, "<I", 0x100000)],
                 "resource directory runs past the end of section .rsrc"),
                ([(layout["top_entry"] + 4, "<I", 0x80000000 | 0x7FFFFFF0)], "resource tree: directory table"),
                ([(layout["top_entry"], "<I", 0x80000000 | 0x7FFFFFF0)], "resource tree: a name lies outside"),
                ([(layout["first_name"], "<H", 0xFFFF)], "resource tree: a name runs past the resource section"),
                ([(layout["data_entry"], "<I", 0xFFFFFF00)], "HII package list (RVA 0xffffff00) is in no section's data"),
                ([(listed + 16, "<I", size + 1)], f"PackageLength {size + 1} differs from the resource's size {size}"),
                ([(listed + 16, "<I", size - 1)], f"PackageLength {size - 1} differs from the resource's size {size}"),
                # The string package ends half-way through the help text's terminator.
                ([(strings, "<I", 0x04000000 | (size - 26))], "string package: a string runs past the package"),
                # The end block becomes another string, which runs on to the end.
                ([(strings + (size - 25), "<B", 0x14), (strings + (size - 24), "<I", 0)], "string package:")):
            with self.subTest(message=message):
                self.check_rejected(self.patched(*changes), message)
        # An odd block size: its last entry would be read half past the table.
        if relocation_types(headers):
            self.check_rejected(self.patched((section(headers, ".reloc").PointerToRawData + 4, "<I", 11)),
                                "base relocation block with a bad size 11")

    def test_reads_what_other_linkers_write(self):
        # No resource directory, as most EFI binaries have: information, not a
        # fault. A long section name "/4", resolved through the COFF string
        # table behind the (empty) symbol table.
        headers = parsed(self.image)
        bare = self.patched((headers.OPTIONAL_HEADER.DATA_DIRECTORY[RESOURCES].get_file_offset(), "<Q", 0))
        # The string table at the end, no symbols.
        named = self.patched((headers.FILE_HEADER.get_field_absolute_offset("PointerToSymbolTable"), "<Q",
                              len(self.image)))
        data_header = headers.sections[1].get_file_offset()
        named[data_header:data_header + 8] = b"/4\0\0\0\0\0\0"
        named += struct.pack("<I", 4 + 12) + b".data_longer"
        for data, line in ((bare, "  resource     none: the image carries no help text\n"),
                           (named, "               .data_longer  0x")):
            result = self.corrupt(data)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(line, result.stdout)

    def test_every_shipped_image_is_relocatable_and_carries_its_own_help(self):
        # The image and the boot flow's listing beside it: a firmware may load
        # either anywhere, and applies base relocations to get there (none,
        # where the code reaches everything relative to itself). Each is its
        # own application: its own file GUID and help text.
        listing = os.path.join(os.path.dirname(IMAGE), os.path.basename(IMAGE).replace("Tamberlune", "BootOptions"))
        for path, guid, help_text in ((IMAGE, "B573", "help text:\n" + HELP),
                                      (listing, "B576", 'help text:\n.TH BootOptions 0 "Lists what this firmware')):
            with self.subTest(path=path):
                out = inspect(path).stdout
                self.assertIn(f"package list 7A3C91E4-5B2D-4F68-9E1A-C84D20F6{guid},", out)
                self.assertIn(help_text, out)
                count = int(re.search(r"relocations  (\d+) base relocations(, stripped)?\n", out).group(1))
                with open(path, "rb") as file:  # the padding of type 0 relocates nothing
                    applied = sum(1 for kind in relocation_types(parsed(file.read())) if kind != 0)
                self.assertEqual(count, applied, out)
                self.assertNotIn(", stripped", out)
                self.assertEqual(re.search(r"\n +\.reloc +0x", out) is not None, count > 0, out)

    def test_usage(self):
        for arguments, message in (([], "name the image to inspect"), (["a", "b"], "one argument too many: 'b'"),
                                   (["--bogus"], "unknown option '--bogus'")):
            result = subprocess.run(harness.host_program(INSPECT, *arguments), capture_output=True, text=True)
            self.assertEqual(result.returncode, 2)
            self.assertRegex(result.stderr, f"^tamberlune-inspect: {message}.* \\(--help for more\\)\n$")
        result = inspect(os.path.join(self.directory.name, "missing.efi"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot read", result.stderr)


if __name__ == "__main__":
    IMAGE, INSPECT = harness.arguments("image_test.py IMAGE INSPECT-TOOL [ARCH] [unittest arguments]", 2)
    ARCH = harness.optional_argument(MACHINES, ARCH)
    with open(IMAGE, "rb") as file:
        DATA = file.read()
    unittest.main()

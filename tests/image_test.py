# SPDX-License-Identifier: MIT
"""The built image through other eyes: llvm-readobj's view of its headers,
sections and resources, and tamberlune-inspect on the image and on
corrupted copies of it. Usage: image_test.py IMAGE INSPECT-TOOL [ARCH] [unittest arguments]
"""

import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

IMAGE = INSPECT = None
# How llvm-readobj and tamberlune-inspect name each architecture's machine.
MACHINES = {
    "x64": ("IMAGE_FILE_MACHINE_AMD64 (0x8664)", "x86-64 (0x8664)"),
    "aa64": ("IMAGE_FILE_MACHINE_ARM64 (0xAA64)", "AArch64 (0xAA64)"),
    # llvm-readobj 14 has no name for it.
    "riscv64": ("0x5064", "RISC-V 64 (0x5064)"),
    "ia32": ("IMAGE_FILE_MACHINE_I386 (0x14C)", "i386 (0x014C)"),
    "arm": ("IMAGE_FILE_MACHINE_ARMNT (0x1C4)", "ARM Thumb-2 (0x01C4)"),
}
ARCH = "x64"
HELP = ('.TH Tamberlune 0 "Displays a "UEFI Tamberlune!" string."\n'
        ".SH NAME\nTamberlune application.\n")


def readobj(*flags):
    tool = shutil.which("llvm-readobj") or shutil.which("llvm-readobj-14")
    if tool is None:
        raise unittest.SkipTest("llvm-readobj is missing: apt-get install llvm")
    return subprocess.run([tool, *flags, IMAGE], check=True, capture_output=True, text=True).stdout


class ReadobjCrossCheck(unittest.TestCase):
    def test_file_headers(self):
        text = readobj("--file-headers")
        self.assertIn("Machine: " + MACHINES[ARCH][0], text)
        self.assertIn("Subsystem: IMAGE_SUBSYSTEM_EFI_APPLICATION (0xA)", text)
        self.assertIn("SectionAlignment: 64", text)
        self.assertIn("FileAlignment: 64", text)
        self.assertRegex(text, r"ImportTableRVA: 0x0\s+ImportTableSize: 0x0")
        self.assertRegex(text, r"ResourceTableSize: 0x1C0")

    def test_sections(self):
        text = readobj("--sections")
        names = re.findall(r"Name: (\.\w+)", text)
        self.assertEqual(names, [".text", ".data", ".rsrc", ".reloc"])
        rsrc = text[text.index("Name: .rsrc"):]
        self.assertRegex(rsrc, r"VirtualSize: 0x1C0")
        self.assertRegex(rsrc, r"Characteristics \[ \(0x40000040\)")
        address = re.search(r"VirtualAddress: (0x[0-9A-F]+)", rsrc).group(1)
        self.assertIn(f"ResourceTableRVA: {address}", readobj("--file-headers"))

    def test_resources(self):
        text = readobj("--coff-resources")
        self.assertRegex(text, r"Type: HII \[[^\]]*Name: EFI \[[^\]]*Language: BIN \[")
        self.assertIn("Total Number of Resources: 1", text)
        self.assertIn("DataSize: 283", text)
        self.assertEqual(text.count("Number of String Entries: 1"), 3)
        self.assertEqual(text.count("Number of ID Entries: 0"), 3)


def inspect(path):
    return subprocess.run([INSPECT, path], capture_output=True, text=True, timeout=30)


class InspectTool(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        with open(IMAGE, "rb") as image:
            self.image = bytearray(image.read())

    def tearDown(self):
        self.directory.cleanup()

    def corrupt(self, data):
        path = os.path.join(self.directory.name, "corrupt.efi")
        with open(path, "wb") as out:
            out.write(data)
        return inspect(path)

    def offsets(self):
        pe = struct.unpack_from("<I", self.image, 0x3C)[0]
        optional = pe + 24
        table = optional + struct.unpack_from("<H", self.image, pe + 20)[0]
        rsrc = struct.unpack_from("<I", self.image, table + 2 * 40 + 20)[0]
        return optional, rsrc

    def data_directory(self, index):
        """Where data directory index lies: after a PE32+ or a PE32 optional header's fields."""
        optional, _ = self.offsets()
        pe32_plus = struct.unpack_from("<H", self.image, optional)[0] == 0x20B
        return optional + (112 if pe32_plus else 96) + 8 * index

    def test_prints_summary_and_help_text(self):
        result = inspect(IMAGE)
        self.assertEqual(result.returncode, 0, result.stderr)
        out = result.stdout
        self.assertIn("machine      " + MACHINES[ARCH][1], out)
        self.assertIn("subsystem    EFI application (10)", out)
        self.assertIn("imports      none", out)
        self.assertRegex(out, r"\.rsrc +0x[0-9A-F]+ 0x001C0 .* 0x40000040 initialized-data read\n")
        self.assertTrue(out.endswith("help text:\n" + HELP), out)

    def check_rejected(self, data, message):
        result = self.corrupt(data)
        self.assertEqual(result.returncode, 1, result.stdout + result.stderr)
        self.assertIn(message, result.stderr)
        self.assertNotIn("AddressSanitizer", result.stderr)
        self.assertNotIn("runtime error", result.stderr)

    def test_rejects_a_file_that_is_no_pe_image(self):
        self.check_rejected(b"#!/bin/sh\necho hello\n" * 10, "not a PE image: no MZ header")
        self.check_rejected(b"", "not a PE image")

    def test_rejects_an_optional_header_of_another_kind(self):
        optional, _ = self.offsets()
        data = bytearray(self.image)
        struct.pack_into("<H", data, optional, 0x107)  # a ROM image's
        self.check_rejected(data, "no PE32 or PE32+ optional header")

    def test_rejects_every_truncation(self):
        # Cut the file at every 16th byte: each cut is refused, none crashes.
        for size in range(0, len(self.image), 16):
            result = self.corrupt(self.image[:size])
            self.assertEqual(result.returncode, 1, f"cut at {size}: {result.stdout}")
            self.assertIn("tamberlune-inspect:", result.stderr)
            self.assertNotIn("Sanitizer", result.stderr)

    def test_rejects_a_directory_offset_past_the_end(self):
        _, rsrc = self.offsets()
        data = bytearray(self.image)
        struct.pack_into("<I", data, rsrc + 0x14, 0x80000000 | 0x7FFFFFF0)
        self.check_rejected(data, "resource tree: directory table")

    def test_rejects_a_name_offset_past_the_end(self):
        _, rsrc = self.offsets()
        data = bytearray(self.image)
        struct.pack_into("<I", data, rsrc + 0x10, 0x80000000 | 0x7FFFFFF0)
        self.check_rejected(data, "resource tree: a name lies outside")

    def test_rejects_a_wrong_package_length(self):
        _, rsrc = self.offsets()
        data = bytearray(self.image)
        struct.pack_into("<I", data, rsrc + 0x70 + 0x10, 284)
        self.check_rejected(data, "PackageLength 284 differs from the resource's size 283")

    def test_rejects_a_data_rva_outside_the_image(self):
        _, rsrc = self.offsets()
        data = bytearray(self.image)
        struct.pack_into("<I", data, rsrc + 0x60, 0xFFFFFF00)
        self.check_rejected(data, "HII package list (RVA 0xffffff00) is in no section's data")

    def test_rejects_a_resource_directory_outside_the_file(self):
        data = bytearray(self.image)
        struct.pack_into("<I", data, self.data_directory(2) + 4, 0x100000)
        self.check_rejected(data, "resource directory runs past the end of section .rsrc")

    def test_rejects_lengths_and_offsets_past_their_bounds(self):
        optional, rsrc = self.offsets()
        pe = struct.unpack_from("<I", self.image, 0x3C)[0]
        table = optional + struct.unpack_from("<H", self.image, pe + 20)[0]
        for where, value, size, message in (
                (table + 20, 0x7FFFFFF0, "<I", "section .text lies outside the file"),   # .text's raw data
                (rsrc + 0x48, 0xFFFF, "<H", "resource tree: a name runs past the resource section"),
                # The string package ends half-way through the help text's terminator.
                (rsrc + 0x70 + 0x14, 0x04000000 | 257, "<I", "string package: a string runs past the package")):
            with self.subTest(message=message):
                data = bytearray(self.image)
                struct.pack_into(size, data, where, value)
                self.check_rejected(data, message)

    def test_rejects_a_string_running_past_its_package(self):
        _, rsrc = self.offsets()
        data = bytearray(self.image)
        data[rsrc + 0x70 + 0x116] = 0x14  # the end block becomes another string
        struct.pack_into("<I", data, rsrc + 0x70 + 0x117, 0x00000000)
        self.check_rejected(data, "string package:")

    def test_reads_what_other_linkers_write(self):
        # No resource directory, as most EFI binaries have: information, not a
        # fault. A long section name "/4", resolved through the COFF string
        # table behind the (empty) symbol table.
        optional, _ = self.offsets()
        pe = struct.unpack_from("<I", self.image, 0x3C)[0]
        table = optional + struct.unpack_from("<H", self.image, pe + 20)[0]
        bare = bytearray(self.image)
        struct.pack_into("<II", bare, self.data_directory(2), 0, 0)
        named = bytearray(self.image)
        named[table + 40:table + 48] = b"/4\0\0\0\0\0\0"
        struct.pack_into("<II", named, pe + 12, len(named), 0)
        named += struct.pack("<I", 4 + 12) + b".data_longer"
        for data, line in ((bare, "  resource     none: the image carries no help text\n"),
                           (named, "               .data_longer  0x")):
            result = self.corrupt(data)
            self.assertEqual(result.returncode, 0, result.stderr)
            self.assertIn(line, result.stdout)

    def test_every_shipped_image_is_relocatable(self):
        # The image and the boot flow's listing beside it: a firmware may load
        # either anywhere, and applies base relocations to get there.
        listing = os.path.join(os.path.dirname(IMAGE), os.path.basename(IMAGE).replace("Tamberlune", "BootOptions"))
        for path in (IMAGE, listing):
            with self.subTest(path=path):
                out = inspect(path).stdout
                count = int(re.search(r"relocations  (\d+) base relocations(, stripped)?\n", out).group(1))
                self.assertGreater(count, 0, out)
                self.assertNotIn(", stripped", out)
                self.assertRegex(out, r"\n +\.reloc +0x")

    def test_usage(self):
        for arguments, message in (([], "name the image"), (["a", "b"], "one image at a time, not 2"),
                                   (["--bogus"], "unknown option '--bogus'")):
            result = subprocess.run([INSPECT, *arguments], capture_output=True, text=True)
            self.assertEqual(result.returncode, 2)
            self.assertIn(message, result.stderr)
            self.assertIn("usage: tamberlune-inspect IMAGE", result.stderr)
        result = inspect(os.path.join(self.directory.name, "missing.efi"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("cannot read", result.stderr)


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: image_test.py IMAGE INSPECT-TOOL [ARCH] [unittest arguments]")
    IMAGE, INSPECT = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    if len(sys.argv) > 1 and sys.argv[1] in MACHINES:
        ARCH = sys.argv.pop(1)
    unittest.main()

# SPDX-License-Identifier: MIT
"""Signing for Secure Boot: a throwaway key pair, tools/sign.sh on every
machine's image, each signed image checked as the unsigned one is (its
layout apart from the added certificate table), and the first booted on
U-Boot with the p scenario.
Usage: signing_test.py INSPECT-TOOL IMAGE... [unittest arguments]
"""

import os
import subprocess
import sys
import tempfile
import unittest

import pefile

import harness
import machines
import make_disk
import serial_session

INSPECT = None
IMAGES = []
SIGN = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "sign.sh")


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        folder = cls.directory.name
        cls.key, cls.cert = harness.key_pair(folder, "signing")
        cls.signed, cls.results = {}, {}
        for image in IMAGES:
            cls.signed[image] = os.path.join(folder, os.path.basename(image).replace(".efi", ".signed.efi"))
            cls.results[image] = subprocess.run([SIGN, cls.key, cls.cert, image, cls.signed[image]],
                                                capture_output=True, text=True)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def test_every_machine_signs_and_verifies(self):
        for image, result in self.results.items():
            with self.subTest(image=os.path.basename(image)):
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("Signature verification OK", result.stdout + result.stderr)

    def test_layout_is_unchanged_but_for_the_certificate_table(self):
        for path in IMAGES:
            with self.subTest(image=os.path.basename(path)):
                self.check_layout(path)

    def check_layout(self, path):
        with open(path, "rb") as file, open(self.signed[path], "rb") as signed_file:
            original, signed = file.read(), signed_file.read()
        # The certificate table (a file offset, not an RVA) follows the image.
        def certificates(data):
            return pefile.PE(data=data, fast_load=True).OPTIONAL_HEADER.DATA_DIRECTORY[
                pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_SECURITY"]]
        self.assertEqual((certificates(original).VirtualAddress, certificates(original).Size), (0, 0))
        table = certificates(signed)
        self.assertEqual((table.VirtualAddress, table.VirtualAddress + table.Size), (len(original), len(signed)))
        # Every other byte, headers, sections and directories, is the same, but
        # for the checksum and that directory entry.
        checksum = pefile.PE(data=original, fast_load=True).OPTIONAL_HEADER.get_field_absolute_offset("CheckSum")
        entry = certificates(original).get_file_offset()
        def masked(data):
            data = bytearray(data[:len(original)])
            data[checksum:checksum + 4] = bytes(4)
            data[entry:entry + 8] = bytes(8)
            return bytes(data)
        self.assertEqual(masked(signed), masked(original))

    def test_inspect_reads_the_signed_image(self):
        result = subprocess.run([INSPECT, self.signed[IMAGES[0]]], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("certificates", result.stdout)
        self.assertIn("Tamberlune application.", result.stdout)

    def test_signed_image_boots_and_p_records_pxe_boot(self):
        disk = os.path.join(self.directory.name, "disk.img")
        make_disk.write_fat(disk, 4 << 20, {"Tamberlune.efi": self.signed[IMAGES[0]]})
        with serial_session.Session(disk, machines.QEMU_BOOTS[0]) as session:
            session.prompt()
            self.assertIn(harness.KEYS["p"][1].encode(), harness.press(session, "p"))
            harness.assert_recorded(self, session, "p")


if __name__ == "__main__":
    INSPECT, = harness.arguments("signing_test.py INSPECT-TOOL IMAGE... [unittest arguments]", 1)
    while len(sys.argv) > 1 and sys.argv[1].endswith(".efi"):
        IMAGES.append(sys.argv.pop(1))
    unittest.main()

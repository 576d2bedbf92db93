# SPDX-License-Identifier: MIT
"""Signing for Secure Boot: a throwaway key pair, tools/sign.sh, and the
signed image checked as the unsigned one is (its layout apart from the added
certificate table) and booted on U-Boot with the p scenario.
Usage: signing_test.py IMAGE INSPECT-TOOL [unittest arguments]
"""

import os
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
import uboot

IMAGE = INSPECT = None
SIGN = os.path.join(HERE, "..", "tools", "sign.sh")


def headers(data):
    """(optional header offset, section table, data directories) of a PE32+ image."""
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    optional = pe + 24
    count = struct.unpack_from("<H", data, pe + 6)[0]
    table = optional + struct.unpack_from("<H", data, pe + 20)[0]
    directories = [struct.unpack_from("<II", data, optional + 112 + 8 * index) for index in range(16)]
    return optional, data[table:table + 40 * count], directories


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        folder = cls.directory.name
        cls.key, cls.cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=Tamberlune throwaway test key/", "-keyout", cls.key, "-out", cls.cert],
                       check=True, capture_output=True)
        cls.signed = os.path.join(folder, "Tamberlune.signed.efi")
        cls.result = subprocess.run([SIGN, cls.key, cls.cert, IMAGE, cls.signed], capture_output=True, text=True)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def test_signs_and_verifies(self):
        self.assertEqual(self.result.returncode, 0, self.result.stderr)
        self.assertIn("Signature verification OK", self.result.stdout + self.result.stderr)

    def test_layout_is_unchanged_but_for_the_certificate_table(self):
        with open(IMAGE, "rb") as file:
            original = file.read()
        with open(self.signed, "rb") as file:
            signed = file.read()
        optional, sections, directories = headers(original)
        _, signed_sections, signed_directories = headers(signed)
        self.assertEqual(signed_sections, sections)
        for index in range(16):
            if index != 4:
                self.assertEqual(signed_directories[index], directories[index], f"data directory {index}")
        # The certificate table (directory 4, a file offset) follows the image.
        self.assertEqual(directories[4], (0, 0))
        offset, size = signed_directories[4]
        self.assertEqual((offset, offset + size), (len(original), len(signed)))
        # Every other byte is the same, but for the checksum and that directory entry.
        def masked(data):
            data = bytearray(data[:len(original)])
            data[optional + 64:optional + 68] = bytes(4)
            data[optional + 112 + 4 * 8:optional + 112 + 5 * 8] = bytes(8)
            return bytes(data)
        self.assertEqual(masked(signed), masked(original))

    def test_inspect_reads_the_signed_image(self):
        result = subprocess.run([INSPECT, self.signed], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("certificates", result.stdout)
        self.assertIn("Tamberlune application.", result.stdout)

    def test_signed_image_boots_and_p_records_pxe_boot(self):
        with tempfile.TemporaryDirectory() as folder:
            disk = os.path.join(folder, "disk.img")
            uboot.make_fat_disk(self.signed, disk)
            with uboot.Session(disk) as session:
                session.prompt()
                session.start_image()
                session.expect(uboot.MENU_END)
                session.send(b"p")
                self.assertIn(b"Loading PXE boot..", session.expect(uboot.PROMPT, timeout=60))
                self.assertEqual(list(uboot.recorded_variables(session)), ["PXEVariable"])


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit("usage: signing_test.py IMAGE INSPECT-TOOL [unittest arguments]")
    IMAGE, INSPECT = sys.argv[1], sys.argv[2]
    del sys.argv[1:3]
    unittest.main()

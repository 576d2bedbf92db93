# SPDX-License-Identifier: MIT
"""The bootable disk, with every architecture's image. End to end, U-Boot's
own boot flow finds its machine's image at the removable-media path on the
disk's EFI system partition and starts it with nothing typed; p is pressed at
the menu, and the variable is checked once the firmware reaches its prompt.
And the same images always give the same disk.
Usage: disk_test.py ARCH IMAGE... [unittest arguments]
"""

import os
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import zlib

import harness
import boards
import machines
import make_disk
import serial_session
import uboot

IMAGES = []
ARCH = "x64"


def write_disk(disk, arch="x64"):
    """The disk as a person writes it: lib/make_disk.py run on the images; for
    a board, its card with the same partition."""
    if "board" in machines.BOOTS[arch]:
        boards.write_disk({make_disk.removable_path(image): image for image in IMAGES}, disk, arch)
        return
    subprocess.run([sys.executable, os.path.join(os.path.dirname(uboot.__file__), "make_disk.py"), *IMAGES, disk],
                   check=True, stdout=subprocess.DEVNULL)


class DiskTest(unittest.TestCase):
    def test_firmware_starts_the_disk_and_p_records_pxe_boot(self):
        # A comma and a blank in the path: QEMU must read it as one file name.
        with tempfile.TemporaryDirectory(prefix="a disk, here") as directory:
            disk = os.path.join(directory, "disk.img")
            write_disk(disk, ARCH)
            with serial_session.Session(disk, arch=ARCH) as session:
                # No key at "Hit any key": autoboot runs the default boot flow
                # (distro boot or standard boot, as the release has it), which
                # finds the one image for its machine at the removable-media
                # path: nothing else on the disk shows the menu.
                session.expect(machines.MENU_END, timeout=120)
                session.send(b"p")
                session.expect(harness.KEYS["p"][1].encode() + b"\r\r\n")
                # The firmware goes on with its boot flow, which may start the
                # same file again (U-Boot 2025.01: its own boot option for the
                # disk, then the disk's file), and stops: one menu a boot.
                after = session.expect(session.prompt_text, timeout=180)
                self.assertNotIn(machines.MENU_END, after)
                if "board" not in machines.BOOTS[ARCH]:
                    harness.assert_recorded(self, session, "p")
                elif session.has_efi_variables():
                    # Debian 13's Raspberry Pi build prints no data line for
                    # printenv -e on its serial console: the name says it.
                    self.assertEqual(list(serial_session.recorded_variables(session)), [harness.KEYS["p"][2]])


class DiskBytes(unittest.TestCase):
    def test_the_same_image_gives_the_same_disk(self):
        with tempfile.TemporaryDirectory() as directory:
            disks = []
            for name in ("first.img", "second.img"):
                disks.append(os.path.join(directory, name))
                write_disk(disks[-1])
                time.sleep(2.1)  # FAT keeps times to 2 s: a stamped clock would show
            with open(disks[0], "rb") as first, open(disks[1], "rb") as second:
                self.assertTrue(first.read() == second.read(), "the two disks differ")

    def test_the_disk_follows_the_uefi_layout(self):
        # The rules of UEFI's GPT chapter, written out here rather than taken from the writer.
        with tempfile.TemporaryDirectory() as directory:
            disk = os.path.join(directory, "disk.img")
            write_disk(disk)
            with open(disk, "rb") as file:
                data = file.read()
        sector = lambda lba: data[lba * 512:(lba + 1) * 512]
        last = len(data) // 512 - 1
        # Protective MBR: one 0xEE partition from LBA 1 over the rest of the disk.
        mbr = sector(0)
        self.assertEqual(mbr[446:462], bytes([0, 0, 2, 0, 0xEE, 0xFF, 0xFF, 0xFF]) + struct.pack("<II", 1, last))
        self.assertEqual((mbr[462:510], mbr[510:512]), (bytes(48), b"\x55\xaa"))
        esp_type = bytes.fromhex("2873 2AC1 1FF8 D211 BA4B 00A0C93EC93B".replace(" ", ""))
        tables = []
        for lba, alternate, entries_lba in ((1, last, 2), (last, 1, last - 32)):
            header = sector(lba)
            (signature, revision, size, crc, reserved, mine, other, first, last_usable, _guid, entries_at,
             count, entry_size, entries_crc) = struct.unpack_from("<8sIIIIQQQQ16sQIII", header)
            self.assertEqual((signature, revision, size, reserved, mine, other, first, last_usable, entries_at,
                              count, entry_size), (b"EFI PART", 0x00010000, 92, 0, lba, alternate, 34, last - 33,
                                                   entries_lba, 128, 128))
            self.assertEqual(crc, zlib.crc32(header[:16] + bytes(4) + header[20:92]))
            self.assertEqual(header[92:], bytes(420))
            table = data[entries_lba * 512:entries_lba * 512 + 128 * 128]
            self.assertEqual(entries_crc, zlib.crc32(table))
            tables.append(table)
        self.assertEqual(tables[0], tables[1])
        # One EFI system partition, 1 MiB aligned, inside the usable area; no other entry.
        self.assertEqual(tables[0][:16], esp_type)
        start, end = struct.unpack_from("<QQ", tables[0], 32)
        self.assertEqual(start % 2048, 0)
        self.assertTrue(34 <= start <= end <= last - 33)
        self.assertEqual(tables[0][128:], bytes(127 * 128))
        # The partition holds its file system exactly: the FAT boot sector counts
        # the sectors before it and its own, 16-bit or 32-bit.
        boot = sector(start)
        (small,), (hidden, large) = struct.unpack_from("<H", boot, 19), struct.unpack_from("<II", boot, 28)
        self.assertEqual((boot[510:512], hidden, small or large), (b"\x55\xaa", start, end - start + 1))


if __name__ == "__main__":
    ARCH, = harness.arguments("disk_test.py ARCH IMAGE... [unittest arguments]: ARCH is the machine to boot, "
                              "one of " + ", ".join(sorted(machines.BOOTS)), 1, lambda values: values[0] in machines.BOOTS)
    while len(sys.argv) > 1 and os.path.isfile(sys.argv[1]):
        IMAGES.append(sys.argv.pop(1))
    unittest.main()

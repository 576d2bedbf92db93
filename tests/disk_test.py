# SPDX-License-Identifier: MIT
"""The bootable disk. End to end, U-Boot's own boot flow finds
\\EFI\\BOOT\\BOOTX64.EFI on the disk's EFI system partition and starts it with
nothing typed; p is pressed at the menu, and the variable is checked once the
firmware reaches its prompt. And the same image always gives the same disk.
Usage: disk_test.py IMAGE [unittest arguments]
"""

import os
import subprocess
import sys
import tempfile
import time
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")
import uboot  # noqa: E402

IMAGE = None


class DiskTest(unittest.TestCase):
    def test_firmware_starts_the_disk_and_p_records_pxe_boot(self):
        # A comma and a blank in the path: QEMU must read it as one file name.
        with tempfile.TemporaryDirectory(prefix="a disk, here") as directory:
            disk = os.path.join(directory, "disk.img")
            subprocess.run([sys.executable, os.path.join(TOOLS, "make_disk.py"), IMAGE, disk],
                           check=True, stdout=subprocess.DEVNULL)
            with uboot.Session(disk) as session:
                # No key at "Hit any key": autoboot runs the default boot flow.
                shown = session.expect(uboot.MENU_END, timeout=60)
                self.assertIn(b"Found EFI removable media binary efi/boot/bootx64.efi", shown)
                session.send(b"p")
                session.expect(b"Loading PXE boot..\r\r\n")
                # The firmware goes on with its boot flow, finds nothing else, and stops.
                session.expect(uboot.PROMPT, timeout=90)
                found = uboot.recorded_variables(session)
        self.assertEqual(list(found), ["PXEVariable"])
        self.assertIn("BS, DataSize = 0x2", found["PXEVariable"])


class DiskBytes(unittest.TestCase):
    def test_the_same_image_gives_the_same_disk(self):
        with tempfile.TemporaryDirectory() as directory:
            disks = []
            for name in ("first.img", "second.img"):
                disks.append(os.path.join(directory, name))
                subprocess.run([sys.executable, os.path.join(TOOLS, "make_disk.py"), IMAGE, disks[-1]],
                               check=True, stdout=subprocess.DEVNULL)
                time.sleep(2.1)  # FAT keeps times to 2 s: a stamped clock would show
            with open(disks[0], "rb") as first, open(disks[1], "rb") as second:
                self.assertTrue(first.read() == second.read(), "the two disks differ")


if __name__ == "__main__":
    if len(sys.argv) < 2 or not os.path.isfile(sys.argv[1]):
        sys.exit("usage: disk_test.py IMAGE [unittest arguments]: IMAGE is the built Tamberlune.efi")
    IMAGE = sys.argv.pop(1)
    unittest.main()

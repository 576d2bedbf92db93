# SPDX-License-Identifier: MIT
"""The bootable disk, with every architecture's image. End to end, U-Boot's
own boot flow finds its machine's image at the removable-media path on the
disk's EFI system partition and starts it with nothing typed; p is pressed at
the menu, and the variable is checked once the firmware reaches its prompt.
And the same images always give the same disk.
Usage: disk_test.py ARCH IMAGE... [unittest arguments]
"""

import os
import subprocess
import sys
import tempfile
import time
import unittest

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools")
import uboot  # noqa: E402

IMAGES = []
ARCH = "x64"


class DiskTest(unittest.TestCase):
    def test_firmware_starts_the_disk_and_p_records_pxe_boot(self):
        # A comma and a blank in the path: QEMU must read it as one file name.
        with tempfile.TemporaryDirectory(prefix="a disk, here") as directory:
            disk = os.path.join(directory, "disk.img")
            subprocess.run([sys.executable, os.path.join(TOOLS, "make_disk.py"), *IMAGES, disk],
                           check=True, stdout=subprocess.DEVNULL)
            with uboot.Session(disk, arch=ARCH) as session:
                # No key at "Hit any key": autoboot runs the default boot flow.
                shown = session.expect(uboot.MENU_END, timeout=90)
                removable = uboot.ARCHES[ARCH]["removable"].lower()
                self.assertIn(f"Found EFI removable media binary efi/boot/{removable}".encode(), shown)
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
                subprocess.run([sys.executable, os.path.join(TOOLS, "make_disk.py"), *IMAGES, disks[-1]],
                               check=True, stdout=subprocess.DEVNULL)
                time.sleep(2.1)  # FAT keeps times to 2 s: a stamped clock would show
            with open(disks[0], "rb") as first, open(disks[1], "rb") as second:
                self.assertTrue(first.read() == second.read(), "the two disks differ")


if __name__ == "__main__":
    if len(sys.argv) < 3 or sys.argv[1] not in uboot.ARCHES or not os.path.isfile(sys.argv[2]):
        sys.exit("usage: disk_test.py ARCH IMAGE... [unittest arguments]: ARCH is the machine to boot, "
                 "one of " + ", ".join(sorted(uboot.ARCHES)))
    ARCH = sys.argv.pop(1)
    while len(sys.argv) > 1 and os.path.isfile(sys.argv[1]):
        IMAGES.append(sys.argv.pop(1))
    unittest.main()

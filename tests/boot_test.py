# SPDX-License-Identifier: MIT
"""End to end: Tamberlune.efi on U-Boot's UEFI firmware under QEMU.

Each scenario boots a fresh machine, starts the image from a FAT disk, types
at most one key over the serial line and asks U-Boot which boot-choice
variables exist afterwards. Usage: boot_test.py IMAGE [unittest arguments]
"""

import os
import re
import sys
import tempfile
import unittest

import uboot  # noqa: E402

IMAGE = None
ARCH = "x64"

# U-Boot's serial console writes every line feed as CR LF, so the image's own
# CR LF arrives as CR CR LF.
MENU = (b"Key Options: \r\r\n  'r' -- Clear boot order list.\r\r\n  'p' --  PXE boot.\r\r\n"
        b"  'ESC' -- Boot Manager Menu. \r\r\n Any key to continue\r\r\n")

CHOICES = {
    "p": ("Loading PXE boot..", "PXEVariable"),
    "r": ("Boot Order Factory  Reset ...", "RestOrderVariable"),
    "esc": ("Launching Boot Menu ...", "BootmenuVariable"),
}


class BootTest(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        disk = os.path.join(self.directory.name, "disk.img")
        uboot.make_fat_disk(IMAGE, disk)
        self.session = uboot.Session(disk, arch=ARCH)
        self.session.prompt()

    def tearDown(self):
        self.session.close()
        self.directory.cleanup()

    def press(self, key):
        """Starts the image, types key after the menu, and returns what followed the menu."""
        self.session.start_image()
        self.session.expect(uboot.MENU_END)
        self.session.send(uboot.key_bytes(key))
        after = self.session.expect(uboot.PROMPT, timeout=60)
        return after.decode(errors="replace")

    def assert_recorded(self, name):
        found = uboot.recorded_variables(self.session)
        self.assertEqual(list(found), [name] if name else [])
        if name:
            text = found[name]
            self.assertIn(uboot.VENDOR_GUID, text)
            # Boot-services access only: volatile, not visible at run time.
            self.assertRegex(text, r"\n    BS, DataSize = 0x2\r\n")
            self.assertIn("00000000: 31 00 ", text)

    def check_choice(self, key):
        confirmation, variable = CHOICES[key]
        after = self.press(key)
        self.assertEqual(after, "\r\r\n" + confirmation + "\r\r\n" + uboot.PROMPT.decode())
        self.assert_recorded(variable)

    def test_p_records_pxe_boot(self):
        self.check_choice("p")

    def test_r_records_boot_order_reset(self):
        self.check_choice("r")

    def test_escape_records_boot_menu(self):
        self.check_choice("esc")

    def test_other_key_records_nothing(self):
        after = self.press("x")
        self.assertEqual(after, "\r\r\n" + uboot.PROMPT.decode())
        self.assert_recorded(None)

    def test_no_key_returns_after_about_four_seconds(self):
        # Timed by the firmware's own clock, the one Stall counts on. The
        # driver runs the guest with a clock that counts instructions, so the
        # time is the same on an idle and on a loaded host: 401 stalls of
        # 10 ms, plus a tenth of a second of U-Boot's own work (starting its
        # UEFI layer, asking the terminal for its size). Twice the polls or
        # twice the stall would show as 8 s.
        address = self.session.load_address
        self.session.command(f"virtio scan; load virtio 0:0 {address} Tamberlune.efi")
        shown, seconds = self.session.timed(f"bootefi {address}")
        print(f"no-key wait: {seconds:.3f} s of firmware time", file=sys.stderr)
        # The menu, then nothing: no confirmation, no report.
        self.assertTrue(shown.rstrip("\r\n").endswith(" Any key to continue"), shown)
        if isinstance(seconds, float):
            self.assertGreaterEqual(seconds, 4.01)
            self.assertLess(seconds, 4.5)
        else:  # a clock of whole seconds
            self.assertIn(seconds, (4, 5))
        self.assert_recorded(None)

    def test_key_storm_records_only_the_first_key(self):
        # Typed as U-Boot announces the image, before the menu is printed
        # (U-Boot itself swallows what arrives earlier, while it asks the
        # terminal for its size).
        self.session.start_image()
        self.session.send(b"rp\x1b")
        after = self.session.expect(uboot.PROMPT, timeout=60).decode(errors="replace")
        self.assertTrue(after.endswith("\r\r\nBoot Order Factory  Reset ...\r\r\n" + uboot.PROMPT.decode()),
                        after)
        self.assertNotIn("Loading PXE boot", after)
        # The keys the image left unread reach U-Boot's prompt, where its line
        # editor drops the Escape: end the line, and U-Boot refuses "p".
        self.session.send(b"\n")
        self.assertIn(b"Unknown command 'p'", self.session.expect(uboot.PROMPT))
        self.assert_recorded("RestOrderVariable")

    def test_menu_bytes(self):
        self.session.start_image()
        self.session.send(b"x")
        shown = self.session.expect(uboot.PROMPT, timeout=60)
        self.assertEqual(shown, MENU + uboot.PROMPT)


if __name__ == "__main__":
    if len(sys.argv) < 2 or not os.path.isfile(sys.argv[1]):
        sys.exit("usage: boot_test.py IMAGE [ARCH] [unittest arguments]: IMAGE is a built image, "
                 "ARCH one of " + ", ".join(sorted(uboot.ARCHES)) + " (default x64)")
    IMAGE = sys.argv.pop(1)
    if len(sys.argv) > 1 and sys.argv[1] in uboot.ARCHES:
        ARCH = sys.argv.pop(1)
    missing = uboot.missing_prerequisites(ARCH)
    if missing:
        sys.exit("missing: " + " ".join(missing) + "; install with: " + uboot.install_advice(missing))
    unittest.main()

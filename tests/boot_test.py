# SPDX-License-Identifier: MIT
"""End to end: Tamberlune.efi on U-Boot's UEFI firmware under QEMU.

Each scenario boots a fresh machine, starts the image from a FAT disk, types
at most one key over the serial line and asks U-Boot which boot-choice
variables exist afterwards. The keys of the Typed scenarios are typed as a
person types them: into the driver's interactive run, on a pseudo-terminal.
Usage: boot_test.py IMAGE [ARCH] [unittest arguments]
"""

import os
import pty
import re
import select
import sys
import tempfile
import time
import unittest

import uboot

IMAGE = None
ARCH = "x64"

# U-Boot's serial console writes every line feed as CR LF, so the image's own
# CR LF arrives as CR CR LF.
MENU = (b"Key Options: \r\r\n  'r' -- Clear boot order list.\r\r\n  'p' --  PXE boot.\r\r\n"
        b"  'ESC' -- Boot Manager Menu. \r\r\n Any key to continue\r\r\n")


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

    def assert_recorded(self, name):
        found = uboot.recorded_variables(self.session)
        self.assertEqual(list(found), [name] if name else [])
        if name:
            text = found[name]
            self.assertIn(uboot.VENDOR_GUID, text)
            # Boot-services access only: volatile, not visible at run time.
            self.assertRegex(text, r"\n    BS, DataSize = 0x2\r\n")
            self.assertIn("00000000: 31 00 ", text)

    def test_no_key_returns_after_about_four_seconds(self):
        # Timed by the firmware's own clock, the one Stall counts on. The
        # driver runs the guest with a clock that counts instructions, so the
        # time is the same on an idle and on a loaded host: 401 stalls of
        # 10 ms (or the wait a configured build was given), plus a tenth of a
        # second of U-Boot's own work (starting its UEFI layer, asking the
        # terminal for its size). Twice the polls or twice the stall would
        # show as 8 s.
        address = self.session.load_address
        self.session.command(f"virtio scan; load virtio 0:0 {address} Tamberlune.efi")
        shown, seconds = self.session.timed(f"bootefi {address}")
        print(f"no-key wait: {seconds:.3f} s of firmware time", file=sys.stderr)
        # The menu, then nothing: no confirmation, no report.
        self.assertTrue(shown.rstrip("\r\n").endswith(" Any key to continue"), shown)
        wait = float(os.environ.get("TAMBERLUNE_EXPECT_WAIT_SECONDS", "4.01"))
        if isinstance(seconds, float):
            self.assertGreaterEqual(seconds, wait)
            self.assertLess(seconds, wait + 0.49)
        else:  # a clock of whole seconds
            self.assertIn(seconds, (int(wait), int(wait) + 1))
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


def run_on_a_terminal(keys):
    """The driver's interactive run as a person has it: on a pseudo-terminal,
    keys typed once the menu shows. Returns its exit status and everything
    the terminal was sent."""
    pid, terminal = pty.fork()
    if pid == 0:
        os.execv(sys.executable, [sys.executable, uboot.__file__, "--image", IMAGE, "--arch", ARCH])
    shown, typed, deadline = b"", False, time.monotonic() + 120
    while time.monotonic() < deadline:
        ready, _, _ = select.select([terminal], [], [], 1)
        try:
            data = os.read(terminal, 4096) if ready else b""
        except OSError:  # the driver ended and closed the terminal
            break
        if ready and not data:
            break
        shown += data
        if not typed and uboot.MENU_END in shown:
            os.write(terminal, keys)
            typed = True
    else:
        os.kill(pid, 9)
    os.close(terminal)
    return os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), shown


# What the person types after the menu, and what the terminal then shows:
# the image's own line and the variable that the driver reports, or QEMU's
# own farewell when the person leaves with Ctrl-A X.
TYPED = {
    "p": (b"p", b"\r\r\nLoading PXE boot..\r\r\n=> ", "PXEVariable"),
    "r": (b"r", b"\r\r\nBoot Order Factory  Reset ...\r\r\n=> ", "RestOrderVariable"),
    "esc": (b"\x1b", b"\r\r\nLaunching Boot Menu ...\r\r\n=> ", "BootmenuVariable"),
    "other_key": (b"x", b"\r\r\n=> ", None),
    "ctrl_a_x": (b"\x01x", b"\r\r\nQEMU: Terminated", None),
}


class Typed(unittest.TestCase):
    def check(self, scenario):
        keys, after_menu, variable = TYPED[scenario]
        status, shown = run_on_a_terminal(keys)
        self.assertEqual(status, 0, shown)
        self.assertIn(uboot.MENU_END + after_menu, shown)
        # No terminal query reaches the person's terminal, to be answered into the shell.
        self.assertNotIn(b"\x1b[6n", shown)
        reported = re.findall(rb"Recorded (\w+):", shown)
        if scenario == "ctrl_a_x":
            self.assertEqual((reported, b"No boot-choice" in shown, b"uboot:" in shown), ([], False, False))
            return
        self.assertEqual([name.decode() for name in reported], [variable] if variable else [])
        if variable:
            # Boot-services access only (volatile, not visible at run time), data "1".
            self.assertIn(uboot.VENDOR_GUID.encode(), shown)
            self.assertRegex(shown, rb"\n    BS, DataSize = 0x2\r?\n    00000000: 31 00 ")
        else:
            self.assertIn(b"No boot-choice variable was recorded.", shown)


for _scenario in TYPED:
    setattr(Typed, f"test_{_scenario}", lambda self, scenario=_scenario: self.check(scenario))


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

# SPDX-License-Identifier: MIT
"""End to end: Tamberlune.efi on U-Boot's UEFI firmware under QEMU.

Class Firmware boots one machine and starts the image from a FAT disk once
for each scenario (each key, a key storm, no key), asking U-Boot after each
which boot-choice variables exist and removing them before the next; then it
runs the self-test image from the same disk, and the HII test image, which
reads Tamberlune's help back through the firmware's HII protocols. Class
Typed types each key as a person does: into the driver's interactive run, on
a pseudo-terminal, a machine each.
Usage: boot_test.py IMAGE ARCH [SELF-TEST-IMAGE HII-TEST-IMAGE] [unittest arguments]
"""

import os
import re
import signal
import sys
import tempfile
import termios
import unittest

import pexpect

import harness
import machines
import make_disk
import serial_session
import uboot

IMAGE = ARCH = SELF_TEST = HII_TEST = None
# U-Boot's serial console writes every line feed as CR LF, so the image's own
# CR LF arrives as CR CR LF.
NEWLINE = "\r\r\n"


class Firmware(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        disk = os.path.join(cls.directory.name, "disk.img")
        tests = {"SelfTest.efi": SELF_TEST, "HiiTest.efi": HII_TEST} if SELF_TEST else {}
        make_disk.write_fat(disk, 4 << 20, {"Tamberlune.efi": IMAGE, **tests})
        cls.session = serial_session.Session(disk, arch=ARCH)
        cls.session.prompt()

    @classmethod
    def tearDownClass(cls):
        cls.session.close()
        cls.directory.cleanup()

    def setUp(self):
        self.clear()

    def clear(self):
        # What an earlier start recorded goes, so that each start shows its
        # own: its choice, and the mark that the menu was shown this boot.
        for name in (*machines.VARIABLES, machines.SHOWN_VARIABLE):
            self.session.command(f"setenv -e -guid {machines.VENDOR_GUID} {name}")
        harness.assert_recorded(self, self.session, "other_key")

    def test_each_key_prints_its_line_and_records_its_variable(self):
        for scenario, (_, confirmation, _) in harness.KEYS.items():
            with self.subTest(scenario=scenario):
                self.clear()
                shown = harness.press(self.session, scenario).decode(errors="replace")
                self.assertEqual(shown, harness.lines(harness.MENU + (confirmation,), NEWLINE) + "=> ")
                harness.assert_recorded(self, self.session, scenario)

    def test_no_key_returns_after_about_four_seconds(self):
        # Timed by the firmware's own clock, the one Stall counts on. The
        # driver runs the guest with a clock that counts instructions, so the
        # time is the same on an idle and on a loaded host: the build's wait
        # (CTest says it), plus a tenth of a second of U-Boot's own work
        # (starting its UEFI layer, asking the terminal for its size). Twice
        # the polls or twice the stall would show as twice the wait.
        address = self.session.load_address
        self.session.command(f"virtio scan; load virtio 0:0 {address} Tamberlune.efi")
        shown, seconds = harness.timed(self.session, f"bootefi {address}")
        print(f"no-key wait: {seconds:.3f} s of firmware time", file=sys.stderr)
        # The menu, then nothing: no confirmation, no report.
        self.assertTrue(shown.rstrip("\r\n").endswith(harness.MENU[-1]), shown)
        wait = float(os.environ["TAMBERLUNE_EXPECT_WAIT_SECONDS"])
        if isinstance(seconds, float):
            self.assertGreaterEqual(seconds, wait)
            self.assertLess(seconds, wait + 0.49)
        else:  # a clock of whole seconds
            self.assertIn(seconds, (int(wait), int(wait) + 1))
        harness.assert_recorded(self, self.session, "other_key")

    def test_key_storm_records_only_the_first_key(self):
        # Typed as U-Boot announces the image, before the menu is printed
        # (U-Boot itself swallows what arrives earlier, while it asks the
        # terminal for its size).
        self.session.start_image()
        self.session.send(b"rp\x1b")
        after = self.session.expect(serial_session.PROMPT, timeout=60).decode(errors="replace")
        self.assertTrue(after.endswith(NEWLINE + harness.KEYS["r"][1] + NEWLINE + "=> "), after)
        self.assertNotIn(harness.KEYS["p"][1], after)
        # The keys the image left unread reach U-Boot's prompt, where its line
        # editor drops the Escape: end the line, and U-Boot refuses "p".
        self.session.send(b"\n")
        self.assertIn(b"Unknown command 'p'", self.session.expect(serial_session.PROMPT))
        harness.assert_recorded(self, self.session, "r")

    def test_a_second_start_in_the_same_boot_shows_nothing(self):
        # As U-Boot 2025.01 starts a disk's loader twice: no second menu, the
        # first choice kept, no second one.
        harness.press(self.session, "p")
        address = self.session.load_address
        shown = self.session.command(f"load virtio 0:0 {address} Tamberlune.efi; bootefi {address}; "
                                     f"load virtio 0:0 {address} Tamberlune.efi; bootefi {address}", timeout=60)
        self.assertNotIn(machines.MENU_END, shown)
        harness.assert_recorded(self, self.session, "p")

    def test_the_engine_passes_its_case_table_inside_the_firmware(self):
        # The self-test runs the engine's case table in every encoding; its
        # return status shows in no reliable way at U-Boot's prompt, so the
        # printed count is the verdict: every case of the table, as the image
        # counts its rows, passed in every encoding.
        if not SELF_TEST:
            self.skipTest("no self-test image given")
        address = self.session.load_address
        shown = self.session.command(f"virtio scan; load virtio 0:0 {address} SelfTest.efi; bootefi {address}",
                                     timeout=120).decode(errors="replace")
        counts = re.findall(r"^(\d+) passed, (\d+) failed of (\d+) cases in (\d+) encodings\r", shown, re.M)
        print(f"{ARCH} self-test: {counts or 'no result'}", file=sys.stderr)
        self.assertEqual(len(counts), 1, shown)
        passed, failed, cases, encodings = map(int, counts[0])
        self.assertEqual((passed, failed, encodings), (cases * encodings, 0, 4), shown)
        self.assertGreater(cases, 100)


    def test_the_help_text_reads_back_through_the_firmwares_hii_protocols(self):
        # Loaded, not started: no menu; its package list handed to the HII
        # database, strings 1 and 2 read back in en-US and compared there.
        if not HII_TEST:
            self.skipTest("no HII test image given")
        address = self.session.load_address
        shown = self.session.command(f"virtio scan; load virtio 0:0 {address} HiiTest.efi; bootefi {address}",
                                     timeout=120).decode(errors="replace")
        self.assertNotIn(machines.MENU_END.decode(), shown)
        self.assertRegex(shown, r"HII: passed: string 1 \"English\", string 2 the help text, \d+ characters\r", shown)


def run_on_a_terminal(keys, early=False):
    """The driver's interactive run as a person has it: on a pseudo-terminal
    (pexpect's), keys typed once the menu's last line is out (QEMU may end
    before the serial line sends the rest), or early, before the machine is
    up. Returns its exit status, everything the terminal was sent, and
    whether it was left echoing lines as before."""
    child = pexpect.spawn(sys.executable, [uboot.__file__, "--image", IMAGE, "--arch", ARCH])
    if early:
        child.send(keys)
    shown = b""
    try:
        if early or child.expect_exact([machines.MENU_END + NEWLINE.encode(), pexpect.EOF], timeout=120) == 0:
            if not early:
                shown += child.before + child.after
                child.send(keys)
            child.expect_exact(pexpect.EOF, timeout=120)
    except pexpect.TIMEOUT:
        child.kill(signal.SIGKILL)
    shown += child.before
    modes = termios.ECHO | termios.ICANON
    restored = termios.tcgetattr(child.child_fd)[3] & modes == modes
    child.close()
    return (child.exitstatus if child.signalstatus is None else -child.signalstatus), shown, restored


class Typed(unittest.TestCase):
    def check(self, scenario, early=False):
        keys, confirmation, variable = harness.KEYS[scenario]
        status, shown, restored = run_on_a_terminal(keys, early)
        self.assertEqual((status, restored), (0, True), shown)
        after = NEWLINE + (confirmation + NEWLINE if confirmation else "") + "=> "
        self.assertIn(machines.MENU_END + after.encode(), shown)
        # No terminal query reaches the person's terminal, to be answered into the shell.
        self.assertNotIn(b"\x1b[6n", shown)
        self.assertEqual([name.decode() for name in re.findall(rb"Recorded (\w+):", shown)],
                         [variable] if variable else [])
        if variable:
            self.assertIn(machines.VENDOR_GUID.encode(), shown)
            self.assertRegex(shown, harness.RECORDED_AS_SHOWN)
        else:
            self.assertIn(b"No boot-choice variable was recorded.", shown)

    def test_a_key_typed_before_the_menu_waits_for_it(self):
        # Typed while the terminal still reads lines: the driver's raw mode
        # must not flush it away.
        self.check("p", early=True)

    def test_ctrl_a_x(self):
        # The person leaves with Ctrl-A X: QEMU's own farewell, a clean exit.
        status, shown, restored = run_on_a_terminal(b"\x01x")
        self.assertEqual((status, restored), (0, True), shown)
        self.assertIn(machines.MENU_END + b"\r\r\nQEMU: Terminated", shown)
        self.assertNotIn(b"\x1b[6n", shown)
        self.assertEqual((re.findall(rb"Recorded (\w+):", shown), b"No boot-choice" in shown, b"uboot:" in shown),
                         ([], False, False))


for _scenario in harness.KEYS:
    setattr(Typed, f"test_{_scenario}", lambda self, scenario=_scenario: self.check(scenario))


if __name__ == "__main__":
    IMAGE, ARCH = harness.arguments("boot_test.py IMAGE ARCH [SELF-TEST-IMAGE] [unittest arguments]: ARCH one of "
                                    + ", ".join(sorted(machines.BOOTS)), 2,
                                    lambda values: os.path.isfile(values[0]) and values[1] in machines.BOOTS)
    if len(sys.argv) > 2 and os.path.isfile(sys.argv[1]):
        SELF_TEST, HII_TEST = sys.argv.pop(1), sys.argv.pop(1)
    harness.require_machine(ARCH)
    unittest.main()

# SPDX-License-Identifier: MIT
"""tamberlune-sim, driven unattended: keys, the real wait, injected firmware
failures, the terminal's key sequences, and bad arguments.
Usage: sim_test.py SIMULATOR WAIT-SECONDS [unittest arguments]
"""

import os
import pty
import re
import signal
import subprocess
import termios
import time
import unittest

import harness
import machines

SIM = WAIT = None
MENU = harness.lines(harness.MENU, "\r\n")
GUID = machines.VENDOR_GUID.upper()


def sim(*arguments, stdin=b""):
    return subprocess.run(harness.host_program(SIM, *arguments), input=stdin, capture_output=True, timeout=30)


class Simulator(unittest.TestCase):
    def check(self, result, confirmation, variable, status="Success (0x0000000000000000)"):
        out = result.stdout.decode()
        self.assertTrue(out.startswith(MENU + harness.lines([confirmation], "\r\n")), out)
        # The error bit of the host's EFI_STATUS: bit 63, or bit 31 on a 32-bit host.
        name, value = re.fullmatch(r"(.*) \(0x(\w+)\)", status).groups()
        value = int(value, 16)
        narrow = value & 0x7FFFFFFF | (value >> 63) << 31
        self.assertTrue(any(f"ImageEntry returned {name} (0x{shown:016X})\n" in out for shown in (value, narrow)), out)
        if variable:
            self.assertIn(f"Recorded {variable} {{{GUID}}} attributes 0x2, {len(harness.DATA)} bytes: "
                          f"{harness.DATA.hex(' ')}\n", out)
        else:
            self.assertIn("No variable was recorded.\n", out)

    def test_keys(self):
        # Each key by name and as typed, and a capital P, which is no choice.
        for scenario, (typed, confirmation, variable) in {**harness.KEYS, "P": (b"P", None, None)}.items():
            for arguments, stdin in ((["--key", scenario if scenario in ("p", "r", "esc") else typed.decode()], b""),
                                     ([], typed)):
                with self.subTest(scenario=scenario, arguments=arguments):
                    result = sim(*arguments, stdin=stdin)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.check(result, confirmation, variable)
                    self.assertEqual(result.stderr, b"")

    def test_no_key_waits_as_configured(self):
        started = time.monotonic()
        result = sim("--key", "none")
        # Real stalls, as many and as long as configured: twice the polls or
        # twice the stall would take twice the wait.
        self.assertTrue(WAIT <= time.monotonic() - started < WAIT * 1.75, time.monotonic() - started)
        self.check(result, None, None)

    def test_terminal_key_sequences_are_no_choice(self):
        for stdin in (b"\x1b[A", b"\x1b[15~p"):  # arrow up, F5 first: no choice
            with self.subTest(stdin=stdin):
                self.check(sim(stdin=stdin), None, None)

    def test_injected_failures_show_their_reports(self):
        result = sim("--key", "p", "--fail", "setvariable")
        self.assertEqual(result.returncode, 1)
        self.check(result, harness.KEYS["p"][1], None, "Out of Resources (0x8000000000000009)")
        self.assertRegex(result.stderr.decode(), r"^\r\nASSERT_EFI_ERROR \(Status = Out of Resources\)\r\n"
                                                 r"ASSERT \[Tamberlune\] app/ImageEntry\.cpp\(\d+\): !EFI_ERROR \(Status\)\r\n$")
        result = sim("--key", "r", "--fail", "allocation")
        self.assertEqual(result.stdout.decode().split("\n")[0], "")  # nothing reached the console
        self.assertIn("Buffer != ((void *) 0)", result.stderr.decode())
        result = sim("--key", "r", "--fail", "console")
        self.assertTrue(result.stdout.decode().startswith("\nImageEntry returned Success"))
        self.assertIn("Recorded RestOrderVariable", result.stdout.decode())
        result = sim("--key", "r", "--fail", "console", "--fail", "setvariable")  # --fail repeats: both
        self.assertTrue(result.stdout.decode().startswith("\nImageEntry returned Out of Resources"), result.stdout)
        result = sim("--key", "x", "--fail", "freepool")  # the menu shows, then its buffer is refused
        self.check(result, None, None)
        self.assertRegex(result.stderr.decode(), r"^\r\nASSERT_EFI_ERROR \(Status = Invalid Parameter\)\r\n"
                                                 r"ASSERT \[Tamberlune\] print/ConsolePrint\.cpp\(\d+\): !EFI_ERROR \(Status\)\r\n$")

    def test_the_terminal_is_left_as_it_was_after_a_key_or_ctrl_c(self):
        # Ctrl-C ends it as any command ends when interrupted: exit 130.
        for typed, ended in ((b"p", 0), (b"\x03", 128 + signal.SIGINT)):
            with self.subTest(typed=typed):
                pid, terminal = pty.fork()
                if pid == 0:
                    command = harness.host_program(SIM)
                    os.execvp(command[0], command)
                time.sleep(0.5)  # the menu is up and the terminal raw
                os.write(terminal, typed)
                self.assertEqual(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]), ended)
                local = termios.tcgetattr(terminal)[3]
                self.assertEqual(local & (termios.ECHO | termios.ICANON), termios.ECHO | termios.ICANON)
                os.close(terminal)

    def test_bad_arguments(self):
        keys = b"--key takes p, r, esc, none or one character, not "
        for arguments, message in ((["--bogus"], b"unknown option '--bogus'"), (["--key"], b"--key needs a value"),
                                   (["--key="], b"--key needs a value, not an empty one"),
                                   (["--key", "pp"], keys + b"'pp'"), (["--key", "nothing"], keys + b"'nothing'"),
                                   (["--key", "p", "--key=r"], b"--key given twice"),
                                   (["--no-key=yes"], b"--no-key takes no value"),
                                   (["--fail", "disk"], b"--fail takes allocation, freepool, console or setvariable, "
                                                        b"not 'disk'"),
                                   (["--key", "p", "--no-key"], b"one key at the most: --key or --no-key")):
            with self.subTest(arguments=arguments):
                result = sim(*arguments)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stderr, b"tamberlune-sim: " + message + b" (--help for more)\n")
                self.assertEqual(result.stdout, b"")


if __name__ == "__main__":
    SIM, WAIT = harness.arguments("sim_test.py SIMULATOR WAIT-SECONDS [unittest arguments]", 2)
    WAIT = float(WAIT)
    unittest.main()

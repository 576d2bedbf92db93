# SPDX-License-Identifier: MIT
"""A build with other settings, beside the main one: bad settings refused at
configure time; the package built alone builds only what it holds; the host
library waits and reports as configured. Then (with --boot) its x86-64 image
waits as configured on U-Boot, timed by the firmware's clock.
Usage: configured_test.py SOURCE FOLDER [--boot]
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import harness

SOURCE = FOLDER = None
# 50 polls of 20 ms: one second; a module name that needs escaping in C.
SETTINGS = {"TAMBERLUNE_KEY_POLLS": "50", "TAMBERLUNE_POLL_INTERVAL_US": "20000",
            "TAMBERLUNE_MODULE_NAME": 'Board "7" \\ B'}
WAIT_SECONDS = "1.0"


def configure(folder, settings):
    return subprocess.run(["cmake", "-S", SOURCE, "-B", folder, "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                           *(f"-D{name}={value}" for name, value in settings.items())],
                          capture_output=True, text=True)


class Configured(unittest.TestCase):
    def test_bad_settings_are_refused_at_configure_time(self):
        for name, value, message in (
                ("TAMBERLUNE_KEY_POLLS", "0", "takes a whole number from 1 to 999999999, not '0'"),
                ("TAMBERLUNE_POLL_INTERVAL_US", "ten", "not 'ten'"),
                # 310 s: the firmware's five-minute watchdog would reset the
                # machine in the middle of it; 26364 polls of 10 ms (+1 ms
                # each) is the first count past 290 s.
                ("TAMBERLUNE_KEY_POLLS", "31000", "the firmware's watchdog resets the machine 300 s after"),
                ("TAMBERLUNE_KEY_POLLS", "26364", "can wait 290004 ms"),
                ("TAMBERLUNE_POLL_INTERVAL_US", "29000000", "can wait 11629401 ms"),
                ("TAMBERLUNE_MODULE_NAME", "Café", "1 to 32 printable ASCII characters"),
                ("TAMBERLUNE_MODULE_NAME", "Tab\tName", "1 to 32 printable ASCII characters"),
                ("TAMBERLUNE_MODULE_NAME", "x" * 33, "1 to 32 printable ASCII characters"),
                ("TAMBERLUNE_MODULE_NAME", "", "1 to 32 printable ASCII characters")):
            with self.subTest(name=name, value=value), tempfile.TemporaryDirectory() as folder:
                result = configure(folder, {name: value})
                self.assertNotEqual(result.returncode, 0)
                self.assertIn(message, " ".join(result.stderr.split()))

    def test_the_longest_wait_is_accepted(self):
        # 26363 polls of 10 ms (+1 ms each): 289993 ms, the last count within 290 s.
        with tempfile.TemporaryDirectory() as folder:
            result = configure(folder, {"TAMBERLUNE_KEY_POLLS": "26363"})
            self.assertEqual(result.returncode, 0, result.stderr)

    def test_the_package_then_the_host_library_as_configured(self):
        shutil.rmtree(FOLDER, ignore_errors=True)
        result = configure(FOLDER, SETTINGS)
        self.assertEqual(result.returncode, 0, result.stderr)
        package = subprocess.run(["cpack", "-G", "DEB"], cwd=FOLDER, capture_output=True, text=True)
        self.assertEqual(package.returncode, 0, package.stdout + package.stderr)
        self.assertTrue(os.path.isfile(os.path.join(FOLDER, "Tamberlune.efi")))
        self.assertFalse(os.path.exists(os.path.join(FOLDER, "tests", "unit_tests")),
                         "the package built the tests")
        subprocess.run(["cmake", "--build", FOLDER, "--target", "unit_tests", "-j", str(os.cpu_count())],
                       check=True, capture_output=True)
        # The settings asked for, as the unit test reads what it expects.
        expected = {name.replace("TAMBERLUNE_", "TAMBERLUNE_EXPECT_"): value for name, value in SETTINGS.items()}
        result = subprocess.run([os.path.join(FOLDER, "tests", "unit_tests"),
                                 "--gtest_filter=ImageEntryTest.WaitsAndReportsAsTheBuildWasConfigured"],
                                capture_output=True, text=True, env={**os.environ, **expected})
        self.assertEqual(result.returncode, 0, result.stdout)


class ConfiguredBoot(unittest.TestCase):
    def test_no_key_waits_as_configured(self):
        result = subprocess.run([sys.executable, os.path.join(SOURCE, "tests", "boot_test.py"),
                                 os.path.join(FOLDER, "Tamberlune.efi"), "x64",
                                 "Firmware.test_no_key_returns_after_about_four_seconds"],
                                capture_output=True, text=True, timeout=120,
                                env={**os.environ, "TAMBERLUNE_EXPECT_WAIT_SECONDS": WAIT_SECONDS})
        self.assertEqual(result.returncode, 0, result.stderr)
        print(result.stderr.splitlines()[0], file=sys.stderr)


if __name__ == "__main__":
    SOURCE, FOLDER = map(os.path.abspath, harness.arguments("configured_test.py SOURCE FOLDER [--boot] [unittest arguments]", 2))
    boot = harness.optional_argument(["--boot"], None)
    unittest.main(defaultTest="ConfiguredBoot" if boot else "Configured")

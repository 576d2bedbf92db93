# SPDX-License-Identifier: MIT
"""Secure Boot, enforced, on a U-Boot build that has it (the machine table
says which). A throwaway PK, KEK and db are made with openssl and efitools and
enrolled in every boot (U-Boot does not reload them from its variable file);
then the unsigned image and one signed with a key outside db are refused and
record nothing, and the image signed by tools/sign.sh with the db key runs.
Usage: secure_boot_test.py IMAGE ARCH [unittest arguments]
"""

import os
import subprocess
import tempfile
import unittest

import harness
import machines
import make_disk
import serial_session

IMAGE = None
OWNER = "7a3c91e4-5b2d-4f68-9e1a-c84d20f6b576"  # the signature lists' owner


def run(*command):
    result = subprocess.run(command, capture_output=True, text=True)
    if result.returncode != 0:
        raise AssertionError(f"{' '.join(command)}: {result.stderr.strip()}")


class SecureBoot(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.directory = tempfile.TemporaryDirectory()
        folder = cls.directory.name
        path = lambda name: os.path.join(folder, name)  # noqa: E731
        for name in ("PK", "KEK", "db", "other"):
            harness.key_pair(folder, name)
        # PK signs itself and KEK; KEK signs db.
        for name, signer in (("PK", "PK"), ("KEK", "PK"), ("db", "KEK")):
            run("cert-to-efi-sig-list", "-g", OWNER, path(name + ".crt"), path(name + ".esl"))
            run("sign-efi-sig-list", "-k", path(signer + ".key"), "-c", path(signer + ".crt"), name,
                path(name + ".esl"), path(name + ".auth"))
        sign = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tools", "sign.sh")
        run(sign, path("db.key"), path("db.crt"), IMAGE, path("signed.efi"))
        run(sign, path("other.key"), path("other.crt"), IMAGE, path("wrong.efi"))
        files = {name: path(name) for name in ("PK.auth", "KEK.auth", "db.auth", "signed.efi", "wrong.efi")}
        files["unsigned.efi"] = IMAGE
        cls.disk = path("disk.img")
        make_disk.write_fat(cls.disk, 8 * 1024 * 1024, files)

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def boot_enrolled(self):
        """A fresh machine at U-Boot's prompt with PK, KEK and db enrolled."""
        session = serial_session.Session(self.disk, arch=ARCH)
        session.prompt()
        session.command("virtio scan")
        for name in ("PK", "KEK", "db"):
            session.command(f"load virtio 0:0 {session.load_address} {name}.auth && "
                            f"setenv -e -nv -bs -rt -at -i {session.load_address}:${{filesize}} {name}")
        self.assertIn("00000000: 01 ", session.command("printenv -e SecureBoot").decode(errors="replace"))
        return session

    def check_refused(self, name):
        with self.boot_enrolled() as session:
            shown = session.command(f"load virtio 0:0 {session.load_address} {name}; "
                                    f"bootefi {session.load_address}", timeout=60).decode(errors="replace")
            self.assertIn("Image not authenticated", shown)
            self.assertNotIn("Key Options", shown)
            harness.assert_recorded(self, session, "other_key")

    def test_unsigned_image_is_refused(self):
        self.check_refused("unsigned.efi")

    def test_image_signed_with_a_key_outside_db_is_refused(self):
        self.check_refused("wrong.efi")

    def test_image_signed_with_the_db_key_runs_and_p_records_pxe_boot(self):
        with self.boot_enrolled() as session:
            shown = harness.press(session, "p", f"load virtio 0:0 {session.load_address} signed.efi; "
                                                f"bootefi {session.load_address}")
            self.assertIn(harness.KEYS["p"][1].encode(), shown)
            harness.assert_recorded(self, session, "p")


if __name__ == "__main__":
    IMAGE, ARCH = harness.arguments("secure_boot_test.py IMAGE ARCH [unittest arguments]: a machine whose "
                                    "U-Boot enforces Secure Boot, and its image", 2,
                                    lambda values: os.path.isfile(values[0]) and values[1] in machines.BOOTS)
    unittest.main()

# SPDX-License-Identifier: MIT
"""The engine proven where it ships: boots a self-test image on its
architecture's U-Boot under QEMU, where it runs the engine's case table in
every encoding, and requires "N passed, 0 failed" with N the whole table and
the table's size counted from its source. Usage: self_test.py IMAGE ARCH
"""

import os
import re
import sys
import tempfile

import uboot


def main():
    if len(sys.argv) != 3 or sys.argv[2] not in uboot.ARCHES:
        sys.exit("usage: self_test.py IMAGE ARCH: ARCH one of " + ", ".join(sorted(uboot.ARCHES)))
    image, arch = sys.argv[1], sys.argv[2]
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "FormatCases.h")) as table:
        cases = len(re.findall(r'^\s*\{', table.read(), re.M))  # a row a line
    with tempfile.TemporaryDirectory() as directory:
        disk = os.path.join(directory, "disk.img")
        uboot.make_fat_disk(image, disk, name="SelfTest.efi")
        with uboot.Session(disk, arch=arch) as session:
            session.prompt()
            address = session.load_address
            # Its return status shows in no reliable way at U-Boot's prompt:
            # the printed count is the verdict.
            shown = session.command(f"virtio scan; load virtio 0:0 {address} SelfTest.efi; "
                                    f"bootefi {address}", timeout=120)
    text = shown.decode(errors="replace")
    counts = re.search(r"^(\d+) passed, (\d+) failed\r", text, re.M)
    if counts is None:
        sys.exit("no result line from the self-test:\n" + text)
    passed, failed = int(counts.group(1)), int(counts.group(2))
    print(f"{arch}: {passed} passed, {failed} failed inside the firmware")
    if failed or passed != cases * 4:
        sys.exit(f"expected {cases * 4} passed (the {cases} cases in four encodings), 0 failed:\n" + text)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs lld-link for the image and passes on everything it prints but one
understood warning, "/align specified without /driver; image may not run".
That warning speaks of Windows, whose loader maps sections page by page; a
UEFI loader copies each section to the alignment its header states, and 64
bytes keeps the image small. (/driver would silence it, but changes the
image's layout.) The exit status is lld-link's.

For /machine:arm, lld-link writes the machine type Windows knows for Thumb-2
code, 0x01C4 (ARMNT). UEFI's type for 32-bit ARM images is 0x01C2
(EFI_IMAGE_MACHINE_ARMTHUMB_MIXED), and firmware that checks the machine type
(and sbsign) refuses any other: the linked image gets 0x01C2. The
rest of the file is lld-link's, byte for byte.

Usage: link_image.py LLD-LINK [ARGUMENTS...]
example: link_image.py lld-link /subsystem:efi_application /out:Tamberlune.efi a.obj b.obj
"""

import struct
import subprocess
import sys

UNDERSTOOD = "/align specified without /driver; image may not run"
ARMNT, ARMTHUMB_MIXED = 0x01C4, 0x01C2


def set_uefi_arm_machine(image):
    """Writes UEFI's machine type for 32-bit ARM into the image's COFF header."""
    with open(image, "r+b") as file:
        data = file.read(0x40)
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        file.seek(pe + 4)
        if struct.unpack("<H", file.read(2))[0] != ARMNT:
            sys.exit(f"link_image: {image} is no ARM image")
        file.seek(pe + 4)
        file.write(struct.pack("<H", ARMTHUMB_MIXED))


if len(sys.argv) < 2 or sys.argv[1] in ("-h", "--help"):
    print(__doc__.strip())
    sys.exit(0 if len(sys.argv) == 2 else 2)
result = subprocess.run(sys.argv[1:], capture_output=True, text=True)
for stream, text in ((sys.stdout, result.stdout), (sys.stderr, result.stderr)):
    stream.write("".join(line for line in text.splitlines(keepends=True) if UNDERSTOOD not in line))
if result.returncode == 0 and "/machine:arm" in sys.argv:
    set_uefi_arm_machine(next(argument[5:] for argument in sys.argv if argument.startswith("/out:")))
sys.exit(result.returncode)

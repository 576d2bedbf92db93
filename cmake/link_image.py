#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs lld-link for the image and passes on everything it prints but one
understood warning, "/align specified without /driver; image may not run".
That warning speaks of Windows, whose loader maps sections page by page; a
UEFI loader copies each section to the alignment its header states, and 64
bytes keeps the image small. (/driver would silence it, but changes the
image's layout.) The exit status is lld-link's.

With --retype LINKER=UEFI, the linked image's machine type LINKER (the one
lld-link writes) becomes UEFI (the one the machine table gives UEFI images):
for /machine:arm lld-link writes Windows' type for Thumb-2 code, 0x01C4
(ARMNT), and firmware that checks the machine type (and sbsign) takes only
UEFI's 0x01C2 (EFI_IMAGE_MACHINE_ARMTHUMB_MIXED). The rest of the file is
lld-link's, byte for byte.

Usage: link_image.py [--retype LINKER=UEFI] LLD-LINK [ARGUMENTS...]
example: link_image.py --retype 0x01C4=0x01C2 lld-link /machine:arm /out:TamberluneARM.efi a.obj b.obj
"""

import struct
import subprocess
import sys

import pefile

UNDERSTOOD = "/align specified without /driver; image may not run"


def retype(image, linker, uefi):
    """Writes machine type uefi into the image's COFF header over linker's."""
    with open(image, "r+b") as file:
        header = pefile.PE(data=file.read(4096), fast_load=True).FILE_HEADER
        if header.Machine != linker:
            sys.exit(f"link_image: {image} is not of machine type 0x{linker:04X}")
        file.seek(header.get_field_absolute_offset("Machine"))
        file.write(struct.pack("<H", uefi))


arguments = sys.argv[1:]
if not arguments or arguments[0] in ("-h", "--help"):
    print(__doc__.strip())
    sys.exit(0 if len(arguments) == 1 else 2)
types = None
if arguments[0] == "--retype":
    types = [int(code, 16) for code in arguments[1].split("=")]
    arguments = arguments[2:]
result = subprocess.run(arguments, capture_output=True, text=True)
for stream, text in ((sys.stdout, result.stdout), (sys.stderr, result.stderr)):
    stream.write("".join(line for line in text.splitlines(keepends=True) if UNDERSTOOD not in line))
if result.returncode == 0 and types:
    retype(next(argument[5:] for argument in arguments if argument.startswith("/out:")), *types)
sys.exit(result.returncode)

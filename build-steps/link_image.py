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
for /machine:arm lld-link writes Windows' type for Thumb-2 code (ARMNT),
and firmware that checks the machine type (and sbsign) takes only UEFI's
(EFI_IMAGE_MACHINE_ARMTHUMB_MIXED). The build gives both from the machine
table. The rest of the file is lld-link's, byte for byte.

Usage: link_image.py [--retype LINKER=UEFI] LLD-LINK [ARGUMENTS...]
example: link_image.py lld-link /machine:x64 /subsystem:efi_application /out:Tamberlune.efi a.obj b.obj
"""

import argparse
import struct
import subprocess
import sys

import pefile

UNDERSTOOD = "/align specified without /driver; image may not run"


def machine_types(text):
    try:
        linker, uefi = (int(code, 16) for code in text.split("="))
    except ValueError:
        raise argparse.ArgumentTypeError(f"two machine types as LINKER=UEFI, not {text!r}")
    return linker, uefi


def retype(image, linker, uefi):
    """Writes machine type uefi into the image's COFF header over linker's."""
    with open(image, "r+b") as file:
        header = pefile.PE(data=file.read(4096), fast_load=True).FILE_HEADER
        if header.Machine != linker:
            sys.exit(f"link_image: {image} is not of machine type 0x{linker:04X}")
        file.seek(header.get_field_absolute_offset("Machine"))
        file.write(struct.pack("<H", uefi))


parser = argparse.ArgumentParser(prog="link_image.py", description=__doc__.split("\n\nUsage:")[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter,
                                 epilog=__doc__.split("\n\nUsage:")[1].split("\n", 1)[1].strip())
parser.add_argument("--retype", metavar="LINKER=UEFI", type=machine_types,
                    help="the machine type to write over the one lld-link wrote")
parser.add_argument("linker", metavar="LLD-LINK")
parser.add_argument("arguments", nargs=argparse.REMAINDER, help="lld-link's arguments")
args = parser.parse_args()
result = subprocess.run([args.linker, *args.arguments], capture_output=True, text=True)
for stream, text in ((sys.stdout, result.stdout), (sys.stderr, result.stderr)):
    stream.write("".join(line for line in text.splitlines(keepends=True) if UNDERSTOOD not in line))
if result.returncode == 0 and args.retype:
    retype(next(argument[5:] for argument in args.arguments if argument.startswith("/out:")), *args.retype)
sys.exit(result.returncode)

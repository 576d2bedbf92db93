#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints an image's size and its section sizes, against its budget: its
machine's in the machine table (found by the PE machine field).

Usage: image_sizes.py IMAGE [--fail-above BYTES]: with --fail-above, exits 1
when the image is larger.
"""

import argparse
import sys

import pefile

import machines


def name(section):
    return section.Name.rstrip(b"\0").decode(errors="replace")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0],
                                     epilog="Exit status 0 within the limit. "
                                            "example: image_sizes.py build/Tamberlune.efi --fail-above 8192")
    parser.add_argument("image")
    parser.add_argument("--fail-above", type=int, metavar="BYTES", help="exit 1 above this many bytes")
    args = parser.parse_args()
    try:
        with open(args.image, "rb") as image:
            data = image.read(1 << 20)
        image = pefile.PE(data=data, fast_load=True)
        code = image.FILE_HEADER.Machine
        machine = machines.by_pe_machine(code)
        if args.fail_above is None and machine is None:
            sys.exit(f"image_sizes: {args.image}: machine 0x{code:04X} is none of the machine table's")
        budget = args.fail_above or machine["budget"]
        parts = ", ".join(f"{name(section)} {section.Misc_VirtualSize} ({section.SizeOfRawData} in the file)"
                          for section in image.sections)
    except OSError as error:
        sys.exit(f"image_sizes: {args.image}: {error.strerror}")
    except pefile.PEFormatError as error:
        sys.exit(f"image_sizes: {args.image}: not a PE image: {error.value}")
    print(f"{args.image}: {len(data)} bytes (budget {budget}); {parts}")
    if args.fail_above is not None and len(data) > args.fail_above:
        print(f"{args.image} exceeds its budget of {budget} bytes by {len(data) - budget}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()

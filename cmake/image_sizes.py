#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints an image's size and its section sizes, against its budget: 8 KiB
for the x86-64, IA32 and ARM images, 10 KiB for the others (read from the PE
machine field).

Usage: image_sizes.py IMAGE [--fail-above BYTES]: with --fail-above, exits 1
when the image is larger. It reads the headers with tools/pe_file.py: the
build and tools/build.sh run it with PYTHONPATH=tools.
"""

import argparse
import sys

import pe_file

BUDGETS = {0x8664: 8192, 0x014C: 8192, 0x01C4: 8192}
OTHER_BUDGET = 10240


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
        headers = pe_file.read(data)
        budget = args.fail_above or BUDGETS.get(headers.machine, OTHER_BUDGET)
        parts = ", ".join(f"{section.name} {section.virtual_size} ({section.raw_size} in the file)"
                          for section in headers.sections)
    except OSError as error:
        sys.exit(f"image_sizes: {args.image}: {error.strerror}")
    except pe_file.NotPe as error:
        sys.exit(f"image_sizes: {args.image}: not a PE image: {error}")
    print(f"{args.image}: {len(data)} bytes (budget {budget}); {parts}")
    if args.fail_above is not None and len(data) > args.fail_above:
        print(f"{args.image} exceeds its budget of {budget} bytes by {len(data) - budget}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()

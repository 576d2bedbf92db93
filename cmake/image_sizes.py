#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints an image's size and its section sizes, against its budget: 8 KiB
for the x86-64, IA32 and ARM images, 10 KiB for the others (read from the PE
machine field).

Usage: image_sizes.py IMAGE [--fail-above BYTES]: with --fail-above, exits 1
when the image is larger.
"""

import argparse
import struct
import sys

BUDGETS = {0x8664: 8192, 0x014C: 8192, 0x01C4: 8192}
OTHER_BUDGET = 10240


def machine(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<H", data, pe + 4)[0]


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    count = struct.unpack_from("<H", data, pe + 6)[0]
    table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
    for index in range(count):
        header = table + 40 * index
        name = data[header:header + 8].rstrip(b"\0").decode()
        virtual_size, _, raw_size = struct.unpack_from("<III", data, header + 8)
        yield name, virtual_size, raw_size


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
        budget = args.fail_above or BUDGETS.get(machine(data), OTHER_BUDGET)
        parts = ", ".join(f"{name} {virtual} ({raw} in the file)" for name, virtual, raw in sections(data))
    except OSError as error:
        sys.exit(f"image_sizes: {args.image}: {error.strerror}")
    except struct.error:
        sys.exit(f"image_sizes: {args.image}: not a PE image")
    print(f"{args.image}: {len(data)} bytes (budget {budget}); {parts}")
    if args.fail_above is not None and len(data) > args.fail_above:
        print(f"{args.image} exceeds its budget of {budget} bytes by {len(data) - budget}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()

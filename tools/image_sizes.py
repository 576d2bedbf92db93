#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Prints an image's size and its section sizes, against its 8 KiB budget.

Usage: image_sizes.py IMAGE [--fail-above BYTES]: with --fail-above, exits 1
when the image is larger.
"""

import struct
import sys

BUDGET = 8192


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
    arguments = sys.argv[1:]
    limit = None
    if arguments in (["--help"], ["-h"]):
        print(__doc__.strip() + "\nExit status 0 within the budget.\n"
              "example: image_sizes.py build/Tamberlune.efi --fail-above 8192")
        return
    if len(arguments) == 3 and arguments[1] == "--fail-above" and arguments[2].isdigit():
        limit = int(arguments[2])
    elif len(arguments) != 1:
        sys.exit("usage: image_sizes.py IMAGE [--fail-above BYTES]")
    budget = limit or BUDGET
    try:
        with open(arguments[0], "rb") as image:
            data = image.read(1 << 20)
    except OSError as error:
        sys.exit(f"image_sizes: {arguments[0]}: {error.strerror}")
    parts = ", ".join(f"{name} {virtual} ({raw} in the file)" for name, virtual, raw in sections(data))
    print(f"{arguments[0]}: {len(data)} bytes (budget {budget}); {parts}")
    if limit is not None and len(data) > limit:
        print(f"{sys.argv[1]} exceeds its budget of {budget} bytes by {len(data) - budget}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()

#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The machine table (machines.json beside this file) and the boot choices
(app/boot_choices.json), for Python and the shell.

A machine is what an image is built for (x64, riscv64, ...); a boot is a
way of starting one under QEMU on U-Boot (each machine's own, and
riscv64-smode: the RISC-V image on U-Boot in supervisor mode). Each boot
carries its machine's fields and its own firmware.

  machines.py boots                    every QEMU machine's boot name (--arch), a line each
  machines.py boots --spoken           the same as a person reads them: "x64, ... or arm"
  machines.py boot NAME                the boot a name or an alias names (exit 1: none; a board is
                                       named with --board, not --arch)
  machines.py get FIELD                a field of every machine, a line each
  machines.py get NAME FIELD           a field of one machine or boot (a list: a line an item)
  machines.py images DIR [STEM]        DIR/STEM<suffix>.efi for every machine (STEM: Tamberlune)
  machines.py releases FIELD           a field of every U-Boot release (release, suite, debian)
  machines.py boards [--spoken]        every board's name, a line each (or as a person reads them)
  machines.py board-packages SUITE     the boards' U-Boot packages on a Debian suite, as PACKAGE:ARCH
  machines.py board-dtbs SUITE         the device trees the boards need on it: PACKAGE:ARCH FILE a line
  machines.py keys                     the boot choices' keys as a person names them: "p, r, esc"
  machines.py key KEY                  whether --key takes KEY (exit 1: it does not)
"""

import argparse
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(HERE, "machines.json"), encoding="utf-8") as table:
    TABLE = json.load(table)
# The menu and the boot choices, as the image has them.
with open(os.path.join(HERE, os.pardir, "app", "boot_choices.json"), encoding="utf-8") as table:
    BOOT_CHOICES = json.load(table)

MACHINES = {machine["name"]: machine for machine in TABLE["machines"]}
# Every boot, with its machine's fields beside its own ("machine": the
# machine's name).
BOOTS = {boot["name"]: {**machine, **boot, "machine": machine["name"]}
         for machine in TABLE["machines"] for boot in machine["boots"]}
RELEASES = TABLE["uboot"]
# The boots on a real board's own U-Boot build (Debian's u-boot-sunxi, ...),
# which boot a card of their own.
BOARDS = {name: boot["board"] for name, boot in BOOTS.items() if "board" in boot}
# The others: a QEMU machine's boot, named with --arch.
QEMU_BOOTS = [name for name in BOOTS if name not in BOARDS]
# What a person may call a QEMU machine's boot (--arch): its name, or one of
# its machine's other names (Debian's or GNU's: amd64, x86_64, ...) for the
# machine's own boot.
BOOT_NAMES = {**{alias: name for name, machine in MACHINES.items() for alias in machine["aliases"]},
              **{name: name for name in QEMU_BOOTS}}

# The boot choices' variables under their vendor GUID (as U-Boot writes it),
# the mark of a menu shown this boot, and the menu's last line, which ends it.
VENDOR_GUID = BOOT_CHOICES["vendor_guid"].lower()
VARIABLES = tuple(choice["variable"] for choice in BOOT_CHOICES["choices"])
SHOWN_VARIABLE = BOOT_CHOICES["shown"]["variable"]
MENU_END = BOOT_CHOICES["menu"][-1].strip().encode()

# What --key takes: a choice's key, none (nothing pressed) or any one
# character; and the bytes a serial line carries for each.
KEYS = {**{choice["key"]: choice["typed"].encode() for choice in BOOT_CHOICES["choices"]}, "none": b""}
CHOICE_KEYS = ", ".join(choice["key"] for choice in BOOT_CHOICES["choices"])


def key_bytes(key):
    """The serial bytes for a --key value."""
    if key in KEYS:
        return KEYS[key]
    if len(key) == 1:
        return key.encode()
    raise ValueError(f"--key takes {CHOICE_KEYS}, none or one character, not '{key}'")


def pe_machine(machine):
    return int(machine["pe_machine"], 16)


def pe_machines(machine):
    """The PE machine types of a machine's images: UEFI's, and the one its
    linker writes where that differs (Windows' ARMNT for ARM)."""
    return [int(code, 16) for code in (machine["pe_machine"], machine.get("linker_machine")) if code]


def by_pe_machine(code):
    """The machine whose images carry PE machine type code, or None."""
    return next((machine for machine in MACHINES.values() if code in pe_machines(machine)), None)


def image_name(name, stem="Tamberlune"):
    """The file name of a machine's (or boot's) image: Tamberlune.efi,
    TamberluneRISCV64.efi, ..."""
    return f"{stem}{BOOTS[name]['suffix']}.efi"


def image_paths(folder, stem="Tamberlune"):
    return [os.path.join(folder, image_name(name, stem)) for name in MACHINES]


def spoken(names):
    """'a, b or c'."""
    names = list(names)
    return ", ".join(names[:-1]) + " or " + names[-1] if len(names) > 1 else "".join(names)


def lines(value):
    return "\n".join(str(item) for item in value) if isinstance(value, list) else str(value)


def board_files(kind, suite):
    """The boards' U-Boot packages (PACKAGE:ARCH) or device trees
    (PACKAGE:ARCH FILE) on a Debian suite, each once, in the table's order."""
    release = next(release["release"] for release in RELEASES if release["suite"] == suite)
    if kind == "board-packages":
        found = [f"{board['package']}:{board['arch']}" for board in BOARDS.values() if release in board["folders"]]
    else:
        found = [f"{board['dtb_package']}:{board['arch']} {board['dtb'][release]}"
                 for board in BOARDS.values() if release in board.get("dtb", {})]
    return list(dict.fromkeys(found))


def main(argv):
    parser = argparse.ArgumentParser(prog="machines.py", description=__doc__.split("\n\n")[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="example: machines.py get x64 removable")
    questions = parser.add_subparsers(dest="question", required=True, metavar="QUESTION")
    for name in ("boots", "boards"):
        questions.add_parser(name).add_argument("--spoken", action="store_true")
    questions.add_parser("boot").add_argument("name")
    questions.add_parser("get").add_argument("names", nargs="+", metavar="[NAME] FIELD")
    images = questions.add_parser("images")
    images.add_argument("folder")
    images.add_argument("stem", nargs="?", default="Tamberlune")
    for name in ("board-packages", "board-dtbs"):
        questions.add_parser(name).add_argument("suite")
    questions.add_parser("keys")
    questions.add_parser("key").add_argument("key")
    questions.add_parser("releases").add_argument("field")
    parser.usage = "\n" + __doc__.split("\n\n", 2)[2].rstrip()
    args = parser.parse_args(argv)
    try:
        if args.question in ("boots", "boards"):
            names = QEMU_BOOTS if args.question == "boots" else list(BOARDS)
            print(spoken(names) if args.spoken else lines(names))
        elif args.question == "boot":
            print(BOOT_NAMES[args.name])
        elif args.question == "get" and len(args.names) == 1:
            print(lines([lines(machine[args.names[0]]) for machine in MACHINES.values()]))
        elif args.question == "get" and len(args.names) == 2:
            print(lines({**MACHINES, **BOOTS}[args.names[0]][args.names[1]]))
        elif args.question == "images":
            print(lines(image_paths(args.folder, args.stem)))
        elif args.question in ("board-packages", "board-dtbs"):
            found = board_files(args.question, args.suite)
            if found:
                print(lines(found))
        elif args.question == "keys":
            print(CHOICE_KEYS)
        elif args.question == "key":
            try:
                key_bytes(args.key)
            except ValueError as error:
                print(f"machines: {error}", file=sys.stderr)
                return 1
        elif args.question == "releases":
            print(lines([release[args.field] for release in RELEASES]))
        else:
            parser.error("get takes FIELD, or NAME FIELD")
    except (KeyError, StopIteration) as error:
        sys.exit(f"machines: no {error or 'such suite'} in the machine table")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv[1:]))
    except BrokenPipeError:
        # A reader that stopped early (grep -q) wanted no more: no traceback.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        sys.exit(1)

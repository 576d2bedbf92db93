#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Boots Tamberlune on U-Boot's UEFI firmware under QEMU: the command line
behind tools/run.sh and tools/disk.sh. It writes the image onto a FAT disk,
starts QEMU with U-Boot as its firmware (qemu.py) and talks to U-Boot over
the serial line (serial_session.py): stops autoboot, starts the image, types
a key or hands the keys to a person, and asks which boot-choice variable
the image recorded.

  uboot.py --image IMAGE [--arch ARCH] [--key KEY]   start the image from U-Boot's prompt
  uboot.py --disk DISK [--arch ARCH] [--tftp FILE] [--key KEY]
                                                     boot a disk through the firmware's own flow
"""

import argparse
import contextlib
import os
import re
import select
import sys
import tempfile
import termios
import time
import tty

import pexpect

import interrupts
import machines
import make_disk
import qemu
import serial_session


def make_fat_disk(image, disk, name="Tamberlune.efi"):
    """Writes a FAT disk image (no partition table) holding the image file."""
    if not os.path.isfile(image):
        raise qemu.BootError(f"no image at {image}: build it first (cmake --build build)")
    make_disk.write_fat(disk, 4 * 1024 * 1024, {name: image})


class RawTerminal:
    """The person's terminal in raw mode while a machine runs, restored after;
    a no-op where standard input is no terminal. Raw from before the menu,
    and entered without flushing, so a key typed early waits for the image."""

    def __enter__(self):
        self.saved = termios.tcgetattr(sys.stdin) if sys.stdin.isatty() else None
        if self.saved:
            tty.setraw(sys.stdin, termios.TCSANOW)
        return self

    def __exit__(self, *_):
        if self.saved:
            termios.tcsetattr(sys.stdin, termios.TCSADRAIN, self.saved)


class Reached(Exception):
    """The machine printed what the person's session waits for."""


class KeysEnded(Exception):
    """Standard input ended: the machine runs on without the person."""


def person_at_the_keys(session, until=None):
    """The person's keystrokes go to the machine and its output to the log
    (pexpect's interact, with the query dropped on the way), until the
    machine prints until (None: until QEMU ends, Ctrl-A X). A key typed
    before this is called, while the terminal was already raw, is sent
    first. Where standard input ends, the machine runs on without it. Returns
    False when QEMU ended first."""
    while select.select([sys.stdin], [], [], 0)[0]:
        early = os.read(sys.stdin.fileno(), 64)
        if not early:
            break
        session.send(early)
    # What was read and shown already is not shown again.
    session.child.buffer = b""
    tail = b""

    def output(data):
        nonlocal tail
        session.write(data)
        if until is not None:
            tail += data
            if until in tail:
                raise Reached()
            tail = tail[-len(until):]
        return b""

    def keys(data):
        if not data:
            raise KeysEnded()
        return data

    try:
        session.child.interact(escape_character=None, input_filter=keys, output_filter=output)
    except Reached:
        return True
    except KeysEnded:
        if until is not None:
            try:
                session.expect(until, timeout=None)
                return True
            except serial_session.QemuEnded:
                return False
    # QEMU has ended, or is ending: what it still printed ("QEMU: Terminated").
    try:
        session.child.expect(pexpect.EOF, timeout=None if until is None else 5)
    except pexpect.TIMEOUT:
        pass
    return False


def report_variables(session):
    """Prints which boot-choice variable the machine holds, at U-Boot's prompt."""
    print()
    if not session.has_efi_variables():
        print("This U-Boot cannot show UEFI variables (it has no printenv -e); the boot flow reads the choice "
              "through BootOptions.efi instead (tools/disk.sh --boot-flow).")
        return
    variables = serial_session.recorded_variables(session)
    if not variables:
        print("No boot-choice variable was recorded.")
    for name, text in variables.items():
        print(f"Recorded {name}:")
        print(text.replace("\r", "").rstrip())


def person_types(key):
    """The terminal in raw mode where the person types the key, else as it is."""
    return RawTerminal() if key is None else contextlib.nullcontext()


def press_then_prompt(session, console, key, timeout):
    """Presses key (None: forwards the person's keys) once the menu is up and
    waits for U-Boot's prompt, so that the next command's answer is its own.
    False when the person left QEMU first."""
    if key is not None:
        session.expect(machines.MENU_END, timeout=timeout)
        session.send(key)
        session.expect(session.prompt_text, timeout=timeout)
    elif not person_at_the_keys(session, session.prompt_text):
        console.flush()
        return False
    console.flush()
    session.log = None
    return True


def run_image(image, key, arch):
    """Starts the image from U-Boot's prompt, presses key (None: the person
    types it), and reports the recorded variable."""
    qemu.require_prerequisites(arch)
    # A disk of this run's own: two runs at once never share (or lock) one.
    scratch = tempfile.TemporaryDirectory(prefix="tamberlune-run-")
    disk = os.path.join(scratch.name, "disk.img")
    make_fat_disk(image, disk)
    console = serial_session.Console(sys.stdout.buffer)
    with scratch, serial_session.Session(disk, clock=qemu.REAL_TIME_CLOCK, arch=arch) as session:
        session.prompt()
        console.write(f"U-Boot is up on {arch}; starting Tamberlune.efi\r\n".encode())
        session.log = console
        with person_types(key):
            session.start_image()
            if not press_then_prompt(session, console, key, 60):
                return
        report_variables(session)


PAYLOAD_MARKER = re.compile(rb"Tamberlune test payload: \w+(?=\r)")


def boot_disk(disk, arch, tftp=None, key=None, boot_flow=False):
    """Boots a disk through the firmware's own boot flow on this terminal.
    tftp: a file that QEMU's DHCP server names as the boot file and its TFTP
    server serves, or None for no network. With key, presses it at
    Tamberlune's menu; then, for a boot-flow disk, stops at what the boot
    flow booted (a test payload's marker) or at U-Boot's prompt and says how
    long that took, and for another disk reports the recorded variable at
    U-Boot's prompt. Without key the person types: at a boot-flow disk until
    QEMU ends (Ctrl-A X), at another until the prompt."""
    qemu.require_prerequisites(arch)
    if not os.path.isfile(disk):
        raise qemu.BootError(f"no disk at {disk}")
    if tftp is not None and not os.path.isfile(tftp):
        raise qemu.BootError(f"no file at {tftp} to serve over TFTP")
    network = None if tftp is None else (os.path.dirname(os.path.abspath(tftp)), os.path.basename(tftp))
    console = serial_session.Console(sys.stdout.buffer)
    with serial_session.Session(disk, log=console, clock=qemu.REAL_TIME_CLOCK, arch=arch, tftp=network) as session:
        if not boot_flow:
            with person_types(key):
                if not press_then_prompt(session, console, key, 120):
                    return
            report_variables(session)
            return
        if key is not None:
            session.expect(machines.MENU_END, timeout=120)
            pressed = time.monotonic()
            session.send(key)
            try:
                session.expect(PAYLOAD_MARKER, session.prompt_text, timeout=120)
            except qemu.BootError:
                raise qemu.BootError("the boot flow reached neither a payload nor the prompt within 120 s") from None
            elapsed = time.monotonic() - pressed
            console.flush()
            booted = session.child.match.group().decode() if session.which == 0 else "U-Boot prompt"
            print(f"\nboot flow: {booted}, {elapsed:.2f} s after the key")
            return
        with RawTerminal():
            person_at_the_keys(session)
        console.flush()


def main(argv):
    parser = argparse.ArgumentParser(
        description="Boot Tamberlune on U-Boot's UEFI firmware under QEMU: either start an image "
                    "from U-Boot's prompt, press a key in its menu and show the boot-choice variable "
                    "it recorded, or boot a disk through the firmware's own flow.",
        epilog="U-Boot's firmware files are the installed u-boot-qemu's, or those of the release unpacked "
               "under TAMBERLUNE_FIRMWARE (tools/firmware.sh). example: uboot.py --image build/Tamberlune.efi --key p")
    what = parser.add_mutually_exclusive_group(required=True)
    what.add_argument("--image", help="an image to start from U-Boot's prompt")
    what.add_argument("--disk", help="a disk to boot through the firmware's own flow")
    parser.add_argument("--key", help=f"send this key unattended: {machines.CHOICE_KEYS}, none, or one character")
    parser.add_argument("--boot-flow", action="store_true",
                        help="with --disk: the disk is a boot-flow disk; report what its boot flow booted, "
                             "not the variable (without --key, leave QEMU with Ctrl-A X)")
    parser.add_argument("--tftp", help="with --disk: a network whose DHCP server names this file as the boot "
                                       "file and whose TFTP server serves it")
    parser.add_argument("--arch", choices=sorted(machines.BOOTS), default=machines.QEMU_BOOTS[0],
                        help="the image's architecture and so the machine and firmware (default %(default)s)")
    args = parser.parse_args(argv)
    if (args.tftp is not None or args.boot_flow) and not args.disk:
        parser.error("--tftp and --boot-flow go with --disk")
    if args.image and args.arch in machines.BOARDS:
        parser.error(f"{args.arch} is a board, which boots its card: tools/disk.sh --board {args.arch} --boot")
    try:
        key = None if args.key is None else machines.key_bytes(args.key)
    except ValueError as error:
        parser.error(str(error))
    if key is None and not sys.stdin.isatty():
        parser.error("standard input is no terminal: say the key with --key")
    # Interrupted, every open Session closes its QEMU on the way out.
    name = os.environ.get("TAMBERLUNE_NAME", "uboot")
    with interrupts.ends_quietly(name):
        try:
            if args.disk:
                boot_disk(args.disk, args.arch, args.tftp, key, args.boot_flow)
            else:
                run_image(args.image, key, args.arch)
        except (qemu.BootError, make_disk.DiskError) as error:
            sys.exit(f"{name}: {error}")
        except OSError as error:
            sys.exit(f"{name}: {error.filename or 'QEMU'}: {error.strerror}")


if __name__ == "__main__":
    main(sys.argv[1:])

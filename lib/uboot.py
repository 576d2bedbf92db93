#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Boots Tamberlune on U-Boot's UEFI firmware under QEMU.

The driver behind tools/run.sh and tools/disk.sh, and the end-to-end tests'. It writes the
image onto a FAT disk, starts QEMU with U-Boot as its firmware and
talks to U-Boot over the serial line: stops autoboot, starts the image, types
a key, and asks which boot-choice variable the image recorded.

  uboot.py --image IMAGE [--arch ARCH] [--key KEY]   start the image from U-Boot's prompt
  uboot.py --disk DISK [--arch ARCH] [--tftp FILE] [--key KEY]
                                                     boot a disk through the firmware's own flow
"""

import argparse
import contextlib
import ctypes
import os
import re
import select
import shutil
import signal
import sys
import tempfile
import termios
import time
import tty

import pexpect

import boards
import interrupts
import machines
import make_disk

# Each boot's QEMU machine and U-Boot build (Debian's u-boot-qemu): the
# machine table's boots.
ARCHES = machines.BOOTS
BOOT_CHOICES = machines.BOOT_CHOICES
VENDOR_GUID = BOOT_CHOICES["vendor_guid"].lower()
VARIABLES = tuple(choice["variable"] for choice in BOOT_CHOICES["choices"])
# Set at each start that shows the menu, so that a second start in the same
# boot shows none.
SHOWN_VARIABLE = BOOT_CHOICES["shown"]["variable"]
MENU_END = BOOT_CHOICES["menu"][-1].strip().encode()
PROMPT = b"=> "
# What U-Boot (or its SPL) says of itself as it starts: "U-Boot 2025.01-3+deb13u1 (...)".
RELEASE_BANNER = re.compile(rb"\nU-Boot (?:SPL )?(\d{4}\.\d{2})")
# U-Boot's UEFI console asks the terminal for its size when it starts. A
# person's terminal would answer, and an answer that arrives late (over SSH,
# say) reaches the image as its keystroke; so what is shown to a person never
# carries the query, and U-Boot falls back to 80x25 after its timeout.
TERMINAL_SIZE_QUERY = b"\x1b7\x1b[r\x1b[999;999H\x1b[6n\x1b8"
# Under plain emulation U-Boot measures its clock against the host's at
# start-up, and a busy host skews that by up to twice; a timed wait then means
# little. With -icount the guest clock counts executed instructions instead.
# Tests take 8 ns an instruction: the same boot then takes the same firmware
# time however loaded the host is. A person watching gets a clock that QEMU
# keeps near real time, so the four-second wait feels like one.
TEST_CLOCK = ["-icount", "shift=3"]
REAL_TIME_CLOCK = ["-icount", "shift=auto"]


firmware_root = boards.firmware_root


def firmware_options(arch, root=None):
    """QEMU's options that load arch's U-Boot from under root."""
    root = firmware_root(root)
    options = [root + option if option.startswith("/usr/lib/u-boot/") else option for option in ARCHES[arch]["firmware"]]
    if "board" in ARCHES[arch]:
        options = [option.replace("{folder}", boards.folder(arch, root)) for option in options]
    dtb = "board" in ARCHES[arch] and boards.dtb(arch, root)
    return options + (["-dtb", dtb] if dtb else [])


def prerequisites(arch, root=None):
    """What each tool is, and the Debian package that brings it."""
    firmware = [path for path in firmware_options(arch, root) if path.startswith("/")]
    board = ARCHES[arch].get("board")
    if board and board.get("blob"):
        firmware.append(boards.file(arch, board["blob"], root))
    return {ARCHES[arch]["qemu"]: ARCHES[arch]["qemu_package"], "mformat": "mtools", "mcopy": "mtools",
            **{path: board["package"] if board else "u-boot-qemu" for path in firmware}}


class BootError(Exception):
    pass


class QemuEnded(BootError):
    """QEMU exited: an error where a driver waits for the machine, the
    person's own doing (Ctrl-A X) where the person types."""


def printable(transcript):
    """The serial transcript as it may reach a person's terminal in a message:
    without the terminal-size query (a terminal would answer it into the
    shell), every other control byte but line ends and tabs written out."""
    text = transcript.replace(TERMINAL_SIZE_QUERY, b"").decode(errors="replace")
    return re.sub(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]", lambda match: f"\\x{ord(match.group()):02x}", text)


def found(tool):
    if tool.startswith("/"):
        return os.path.exists(tool)
    # Tools of the system folders are found even where a user's PATH lacks them.
    return shutil.which(tool) or shutil.which(tool, path="/usr/sbin:/sbin")


def missing_prerequisites(arch="x64", root=None):
    """The Debian packages whose tools are not on this machine."""
    return sorted({package for tool, package in prerequisites(arch, root).items() if not found(tool)})


def install_advice(packages):
    sudo = "" if os.geteuid() == 0 else "sudo "
    return f"{sudo}apt-get install --no-install-recommends {' '.join(packages)}"


def require_prerequisites(arch="x64", root=None):
    missing = missing_prerequisites(arch, root)
    boards.require(arch, root)
    if missing and firmware_root(root):
        raise BootError(f"no {arch} U-Boot under {firmware_root(root)}: fetch a release there with tools/firmware.sh")
    if missing:
        raise BootError(f"missing: {' '.join(missing)}; install with: {install_advice(missing)}")


def make_fat_disk(image, disk, name="Tamberlune.efi"):
    """Writes a FAT disk image (no partition table) holding the image file."""
    if not os.path.isfile(image):
        raise BootError(f"no image at {image}: build it first (cmake --build build)")
    make_disk.write_fat(disk, 4 * 1024 * 1024, {name: image})


def drive_option(disk):
    """QEMU's -drive value for a raw disk; QEMU reads ',,' as one comma in a value."""
    return "if=none,id=disk,format=raw,file=" + os.path.abspath(disk).replace(",", ",,")


def network_options(arch, tftp, firmware=None):
    """No network card, or one on QEMU's user network whose DHCP server names
    tftp's file as the boot file and whose TFTP server serves tftp's folder
    (a board's own card, where it has one). tftp: None, or (folder, file name)."""
    board = ARCHES[arch].get("board")
    if tftp is None or (board and boards.release_of(firmware) not in board["network"]):
        return ["-nic", "none"]
    folder, bootfile = tftp
    value = "user,id=net,tftp=" + os.path.abspath(folder).replace(",", ",,")
    if bootfile:
        value += ",bootfile=" + bootfile.replace(",", ",,")
    if board:
        return ["-nic", value.replace("id=net,", "")]
    return ["-netdev", value, "-device", ARCHES[arch]["nic"] + ",netdev=net"]


def qemu_command(disk, clock, arch="x64", tftp=None, firmware=None):
    machine = ARCHES[arch]
    board = machine.get("board")
    if board:
        # The board as QEMU emulates it: its own memory, console and network
        # card, and the disk as its SD card.
        return [machine["qemu"], *board["qemu_machine"], "-accel", "tcg", *clock, "-nographic", *board["console"],
                *network_options(arch, tftp, firmware), "-m", board["memory"], *firmware_options(arch, firmware),
                "-drive", "if=sd,format=raw,file=" + os.path.abspath(disk).replace(",", ",,")]
    return [machine["qemu"], *machine["qemu_machine"], "-accel", "tcg", *clock, "-nographic",
            *network_options(arch, tftp), "-m", "256", *firmware_options(arch, firmware), "-drive", drive_option(disk),
            "-device", "virtio-blk-pci,drive=disk"]


def arrange_for(parent):
    """What runs in QEMU's process before it starts. However the driver ends,
    even killed outright, the kernel then ends QEMU too (a driver that died
    between the fork and this call would send no signal, so QEMU checks).
    And its serial line, a pseudo-terminal, passes the firmware's bytes as
    they are: QEMU keeps the terminal's output processing on, which would
    put a carriage return of its own before every line feed."""
    def arrange():
        PR_SET_PDEATHSIG = 1
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if os.getppid() != parent:
            os._exit(1)
        modes = termios.tcgetattr(0)
        modes[1] &= ~termios.ONLCR
        termios.tcsetattr(0, termios.TCSANOW, modes)
    return arrange


class QueryFilter:
    """Drops the terminal-size query from a byte stream, also where a read
    splits it; holds back a tail that may begin one until more arrives or
    flush() is called."""

    def __init__(self):
        self.held = b""

    def feed(self, data):
        data = (self.held + data).replace(TERMINAL_SIZE_QUERY, b"")
        keep = next((n for n in range(min(len(TERMINAL_SIZE_QUERY) - 1, len(data)), 0, -1)
                     if data.endswith(TERMINAL_SIZE_QUERY[:n])), 0)
        self.held = data[len(data) - keep:]
        return data[:len(data) - keep]

    def flush(self):
        data, self.held = self.held, b""
        return data


class Console:
    """Shows serial output to a person: every byte once, without the query."""

    def __init__(self, out):
        self.out = out
        self.filter = QueryFilter()

    def write(self, data):
        self.out.write(self.filter.feed(data))
        self.out.flush()

    def flush(self):
        self.out.write(self.filter.flush())
        self.out.flush()


class Session:
    """One QEMU machine running U-Boot, driven over its serial line (a
    pseudo-terminal, through pexpect)."""

    def __init__(self, disk, log=None, clock=TEST_CLOCK, arch="x64", tftp=None, firmware=None):
        self.log = log
        self.arch = arch
        self.load_address = ARCHES[arch]["load"]
        self.prompt_text = ARCHES[arch].get("board", {}).get("prompt", PROMPT.decode()).encode()
        # The U-Boot release the firmware files say they are (None: not
        # known), held to what the machine prints once it says; and what
        # must have started that U-Boot on this boot (OpenSBI, for
        # supervisor mode), so that no boot passes for another.
        self.release = boards.release_of(firmware)
        self.started_by = ARCHES[arch].get("started_by")
        self.banner_seen = False
        self.transcript = b""
        command = qemu_command(disk, clock, arch, tftp, firmware)
        self.child = pexpect.spawn(command[0], command[1:], echo=False, preexec_fn=arrange_for(os.getpid()))
        # Every byte the machine prints comes here once, as it is read.
        self.child.logfile_read = self

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        self.child.close(force=True)

    def write(self, data):
        """What the machine printed: kept for messages, and shown on the log."""
        self.transcript += data
        if self.log:
            self.log.write(data)

    def flush(self):
        pass

    def expect(self, *markers, timeout=30):
        """Waits for the first of markers (bytes, or compiled patterns);
        returns everything up to and including it. Leaves the match in
        self.child.match and which marker it was in self.which."""
        patterns = [marker if isinstance(marker, re.Pattern) else re.compile(re.escape(marker)) for marker in markers]
        try:
            self.which = self.child.expect(patterns, timeout=timeout)
        except pexpect.TIMEOUT:
            wanted = " or ".join(repr(getattr(marker, "pattern", marker)) for marker in markers)
            raise BootError(f"no {wanted} within {timeout} s; serial so far:\n" + printable(self.transcript))
        except pexpect.EOF:
            raise QemuEnded("QEMU exited:\n" + printable(self.transcript))
        if not self.banner_seen and (banner := RELEASE_BANNER.search(self.transcript)):
            self.banner_seen = True  # seen: no need to look again
            if self.release is not None and banner.group(1).decode() != self.release:
                raise BootError(f"this machine runs U-Boot {banner.group(1).decode()}, not the {self.release} its "
                                f"firmware files are of")
            if self.started_by and self.started_by.encode() not in self.transcript[:banner.start()]:
                raise BootError(f"no {self.started_by} started this U-Boot: this is no {self.arch} boot")
        return self.child.before + self.child.after

    def send(self, data):
        self.child.send(data)

    def prompt(self):
        """Stops autoboot and waits for U-Boot's prompt. A board's U-Boot,
        started by its SPL from the card, may take a minute to get there on a
        busy machine (the Orange Pi's on Debian 13's QEMU scans eight USB
        buses first)."""
        self.expect(b"Hit any key", timeout=120)
        self.send(b"\n")
        self.expect(self.prompt_text)

    def command(self, line, timeout=30):
        """Runs one command at the prompt and returns what it printed."""
        self.send(line.encode() + b"\n")
        seen = self.expect(self.prompt_text, timeout=timeout)
        echo = line.encode() + b"\r\n"
        end = len(self.prompt_text)
        return seen[len(echo):-end] if seen.startswith(echo) else seen[:-end]

    def start_image(self, name="Tamberlune.efi"):
        """Loads the image from the disk and starts it; returns the serial output up to
        U-Boot's line that announces it, so the image's own output comes next."""
        self.send(f"virtio scan; load virtio 0:0 {self.load_address} {name}; "
                  f"bootefi {self.load_address}\n".encode())
        return self.expect(f"Booting /{name}\r\n".encode())

    def has_efi_variables(self):
        """Whether this U-Boot reads UEFI variables from its prompt (printenv
        -e): QEMU's builds do, most board builds do not."""
        if not hasattr(self, "efi_variables"):
            self.efi_variables = b"printenv -e" in self.command("help printenv")
        return self.efi_variables

    def variable(self, name):
        """What `printenv -e` says of one boot-choice variable."""
        return self.command(f"printenv -e -guid {VENDOR_GUID} {name}").decode(errors="replace")


def recorded_variables(session):
    """The boot-choice variables that exist, with printenv's account of each."""
    found = {}
    for name in VARIABLES:
        text = session.variable(name)
        if "DataSize" in text:
            found[name] = text
    return found


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
            except QemuEnded:
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
    variables = recorded_variables(session)
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
        session.expect(MENU_END, timeout=timeout)
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
    require_prerequisites(arch)
    # A disk of this run's own: two runs at once never share (or lock) one.
    scratch = tempfile.TemporaryDirectory(prefix="tamberlune-run-")
    disk = os.path.join(scratch.name, "disk.img")
    make_fat_disk(image, disk)
    console = Console(sys.stdout.buffer)
    with scratch, Session(disk, clock=REAL_TIME_CLOCK, arch=arch) as session:
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
    require_prerequisites(arch)
    if not os.path.isfile(disk):
        raise BootError(f"no disk at {disk}")
    if tftp is not None and not os.path.isfile(tftp):
        raise BootError(f"no file at {tftp} to serve over TFTP")
    network = None if tftp is None else (os.path.dirname(os.path.abspath(tftp)), os.path.basename(tftp))
    console = Console(sys.stdout.buffer)
    with Session(disk, log=console, clock=REAL_TIME_CLOCK, arch=arch, tftp=network) as session:
        if not boot_flow:
            with person_types(key):
                if not press_then_prompt(session, console, key, 120):
                    return
            report_variables(session)
            return
        if key is not None:
            session.expect(MENU_END, timeout=120)
            pressed = time.monotonic()
            session.send(key)
            try:
                session.expect(PAYLOAD_MARKER, session.prompt_text, timeout=120)
            except BootError:
                raise BootError("the boot flow reached neither a payload nor the prompt within 120 s") from None
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
    parser.add_argument("--arch", choices=sorted(ARCHES), default="x64",
                        help="the image's architecture and so the machine and firmware (default x64)")
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
        except (BootError, make_disk.DiskError) as error:
            sys.exit(f"{name}: {error}")
        except OSError as error:
            sys.exit(f"{name}: {error.filename or 'QEMU'}: {error.strerror}")


if __name__ == "__main__":
    main(sys.argv[1:])

"""Boots Tamberlune.efi on U-Boot's UEFI firmware under QEMU.

Shared by the end-to-end tests and the run command: it writes the image onto
a FAT disk image, starts qemu-system-x86_64 with U-Boot as its BIOS, stops
autoboot, and talks to U-Boot's prompt over the serial line.
"""

import os
import select
import shutil
import subprocess
import sys
import time

FIRMWARE = "/usr/lib/u-boot/qemu-x86_64/u-boot.rom"
VENDOR_GUID = "c450ed8e-c3c2-4fe7-aee6-d1c50abb78cf"
VARIABLES = ("PXEVariable", "RestOrderVariable", "BootmenuVariable")
LOAD_ADDRESS = "0x2000000"
PROMPT = b"=> "
# U-Boot's UEFI console asks the terminal for its size when it starts. Shown to
# a person's terminal, the query would be answered with bytes that reach the
# image as keystrokes, so the run command strips it.
TERMINAL_SIZE_QUERY = b"\x1b7\x1b[r\x1b[999;999H\x1b[6n\x1b8"
MENU_END = b"Any key to continue"

# What each tool is, and the Debian package that brings it.
PREREQUISITES = {
    "qemu-system-x86_64": "qemu-system-x86",
    "mkfs.fat": "dosfstools",
    "mcopy": "mtools",
    FIRMWARE: "u-boot-qemu",
}


class BootError(Exception):
    pass


def missing_prerequisites():
    """The Debian packages whose tools are not on this machine."""
    missing = []
    for tool, package in PREREQUISITES.items():
        found = os.path.exists(tool) if tool.startswith("/") else shutil.which(tool)
        if not found:
            missing.append(package)
    return missing


def make_fat_disk(image, disk, name="Tamberlune.efi"):
    """Writes a FAT disk image (no partition table) holding the image file."""
    if not os.path.isfile(image):
        raise BootError(f"no image at {image}: build it first (cmake --build build)")
    if os.path.exists(disk):
        os.remove(disk)
    subprocess.run(["mkfs.fat", "-C", disk, "4096"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["mcopy", "-i", disk, image, "::" + name], check=True)


class Session:
    """One QEMU machine running U-Boot, driven over its serial line."""

    def __init__(self, disk, log=None):
        self.log = log
        self.pending = b""
        self.transcript = b""
        self.process = subprocess.Popen(
            ["qemu-system-x86_64", "-accel", "tcg", "-nographic", "-nic", "none",
             "-m", "256", "-bios", FIRMWARE,
             "-drive", f"if=none,id=disk,format=raw,file={disk}",
             "-device", "virtio-blk-pci,drive=disk"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)

    def __enter__(self):
        return self

    def __exit__(self, *_):
        self.close()

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
        self.process.wait()
        self.process.stdin.close()
        self.process.stdout.close()

    def _read(self, timeout):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if not ready:
            return b""
        data = os.read(self.process.stdout.fileno(), 4096)
        if not data:
            raise BootError("QEMU exited:\n" + self.transcript.decode(errors="replace"))
        self.transcript += data
        if self.log:
            self.log.write(data)
            self.log.flush()
        return data

    def expect(self, marker, timeout=30):
        """Returns everything up to and including marker."""
        deadline = time.monotonic() + timeout
        while marker not in self.pending:
            if time.monotonic() > deadline:
                raise BootError(f"no {marker!r} within {timeout} s; serial so far:\n"
                                + self.transcript.decode(errors="replace"))
            self.pending += self._read(0.05)
        end = self.pending.index(marker) + len(marker)
        seen, self.pending = self.pending[:end], self.pending[end:]
        return seen

    def send(self, data):
        self.process.stdin.write(data)
        self.process.stdin.flush()

    def prompt(self):
        """Stops autoboot and waits for U-Boot's prompt."""
        self.expect(b"Hit any key")
        self.send(b"\n")
        self.expect(PROMPT)

    def command(self, line, timeout=30):
        """Runs one command at the prompt and returns what it printed."""
        self.send(line.encode() + b"\n")
        seen = self.expect(PROMPT, timeout)
        echo = line.encode() + b"\r\n"
        return seen[len(echo):-len(PROMPT)] if seen.startswith(echo) else seen[:-len(PROMPT)]

    def start_image(self, name="Tamberlune.efi"):
        """Loads the image from the disk and starts it; returns the serial output up to
        U-Boot's line that announces it, so the image's own output comes next."""
        self.send(f"virtio scan; load virtio 0:0 {LOAD_ADDRESS} {name}; "
                  f"bootefi {LOAD_ADDRESS}\n".encode())
        return self.expect(f"Booting /{name}\r\n".encode())

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


KEYS = {"p": b"p", "r": b"r", "esc": b"\x1b", "none": b""}


def key_bytes(key):
    """The serial bytes for a --key value: p, r, esc, none, or one character."""
    if key in KEYS:
        return KEYS[key]
    if len(key) == 1:
        return key.encode()
    raise ValueError(f"--key takes p, r, esc, none or one character, not {key!r}")


def main(argv):
    import argparse
    import termios
    import tty

    parser = argparse.ArgumentParser(
        description="Boot Tamberlune.efi on U-Boot under QEMU, press a key in its menu, "
                    "and show which boot-choice variable it recorded.")
    parser.add_argument("--image", required=True, help="path of Tamberlune.efi")
    parser.add_argument("--key", help="send this key unattended: p, r, esc, none, or one character")
    args = parser.parse_args(argv)
    try:
        key = None if args.key is None else key_bytes(args.key)
    except ValueError as error:
        parser.error(str(error))
    missing = missing_prerequisites()
    if missing:
        sys.exit("missing: " + " ".join(missing) + "; install with: apt-get install " + " ".join(missing))

    disk = os.path.join(os.path.dirname(os.path.abspath(args.image)), "run-disk.img")
    make_fat_disk(args.image, disk)
    out = sys.stdout.buffer
    with Session(disk) as session:
        session.prompt()
        out.write(b"U-Boot is up; starting Tamberlune.efi\r\n")
        shown = session.start_image() + session.expect(MENU_END)
        out.write(shown.replace(TERMINAL_SIZE_QUERY, b""))
        out.flush()
        session.log = out
        if key is not None:
            session.send(key)
        elif sys.stdin.isatty():
            # Pass the person's keystrokes through, raw, until the image returns.
            saved = termios.tcgetattr(sys.stdin)
            tty.setraw(sys.stdin)
            try:
                while PROMPT not in session.pending:
                    ready, _, _ = select.select([sys.stdin], [], [], 0.05)
                    if ready:
                        session.send(os.read(sys.stdin.fileno(), 16))
                    session.pending += session._read(0)
            finally:
                termios.tcsetattr(sys.stdin, termios.TCSADRAIN, saved)
        session.expect(PROMPT, timeout=60)
        session.log = None
        found = recorded_variables(session)
    print()
    if not found:
        print("No boot-choice variable was recorded.")
    for name, text in found.items():
        print(f"Recorded {name}:")
        print(text.replace("\r", "").rstrip())


if __name__ == "__main__":
    main(sys.argv[1:])

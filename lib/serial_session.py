# SPDX-License-Identifier: MIT
"""The serial session with U-Boot in a QEMU machine: U-Boot's prompt, a
command and what it printed, an image started from the disk, the
boot-choice variables as printenv -e shows them; and what of the serial line
a person's terminal may be shown."""

import os
import re

import pexpect

import boards
import machines
import qemu
from qemu import BootError

# U-Boot's prompt, where a board's build names none of its own.
PROMPT = b"=> "
# What U-Boot (or its SPL) says of itself as it starts: "U-Boot 2025.01-3+deb13u1 (...)".
RELEASE_BANNER = re.compile(rb"\nU-Boot (?:SPL )?(\d{4}\.\d{2})")
# U-Boot's UEFI console asks the terminal for its size when it starts. A
# person's terminal would answer, and an answer that arrives late (over SSH,
# say) reaches the image as its keystroke; so what is shown to a person never
# carries the query, and U-Boot falls back to 80x25 after its timeout.
TERMINAL_SIZE_QUERY = b"\x1b7\x1b[r\x1b[999;999H\x1b[6n\x1b8"


class QemuEnded(BootError):
    """QEMU exited: an error where a driver waits for the machine, the
    person's own doing (Ctrl-A X) where the person types."""


def printable(transcript):
    """The serial transcript as it may reach a person's terminal in a message:
    without the terminal-size query (a terminal would answer it into the
    shell), every other control byte but line ends and tabs written out."""
    text = transcript.replace(TERMINAL_SIZE_QUERY, b"").decode(errors="replace")
    return re.sub(r"[\x00-\x08\x0b\x0c\x0e-\x1f\x7f]", lambda match: f"\\x{ord(match.group()):02x}", text)


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

    def __init__(self, disk, arch, log=None, clock=qemu.TEST_CLOCK, tftp=None, firmware=None):
        self.log = log
        self.arch = arch
        self.load_address = machines.BOOTS[arch]["load"]
        self.prompt_text = machines.BOOTS[arch].get("board", {}).get("prompt", PROMPT.decode()).encode()
        # The U-Boot release the firmware files say they are (None: not
        # known), held to what the machine prints once it says; and what
        # must have started that U-Boot on this boot (OpenSBI, for
        # supervisor mode), so that no boot passes for another.
        self.release = boards.release_of(firmware)
        self.started_by = machines.BOOTS[arch].get("started_by")
        self.banner_seen = False
        self.transcript = b""
        command = qemu.qemu_command(disk, clock, arch, tftp, firmware)
        self.child = pexpect.spawn(command[0], command[1:], echo=False, preexec_fn=qemu.arrange_for(os.getpid()))
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
        return self.command(f"printenv -e -guid {machines.VENDOR_GUID} {name}").decode(errors="replace")


def recorded_variables(session):
    """The boot-choice variables that exist, with printenv's account of each."""
    found = {}
    for name in machines.VARIABLES:
        text = session.variable(name)
        if "DataSize" in text:
            found[name] = text
    return found

# SPDX-License-Identifier: MIT
"""What the Python tests share: the menu, the keys and what each one makes
the image print and record (read from the image's own table,
app/boot_choices.json), a test's own arguments, the guest-clock timing, throwaway key pairs, and the press of a
key on U-Boot with the check of what it recorded."""

import os
import re
import shlex
import subprocess
import sys

# The code the commands, the build and the tests share: lib/, on the path
# CTest gives every test (PYTHONPATH).
import machines
import make_disk
import qemu
import serial_session

# The menu as the image prints it, a line at a time.
MENU = tuple(machines.BOOT_CHOICES["menu"])
# Scenario: (the bytes typed, the image's confirmation line, the variable it
# records): each boot choice's key, and a key that is none.
KEYS = {**{choice["key"]: (choice["typed"].encode(), choice["confirmation"], choice["variable"])
           for choice in machines.BOOT_CHOICES["choices"]},
        "other_key": (b"x", None, None)}


# How U-Boot's printenv -e shows a variable of ours: boot-services access
# alone, and the boot choices' data, in hexadecimal.
DATA = machines.BOOT_CHOICES["data"].encode("utf-16-le")
RECORDED_AS_SHOWN = re.compile(rb"\n    BS, DataSize = 0x%x\r?\n    00000000: %s " % (len(DATA), DATA.hex(" ").encode()))


# What runs a program built for the host tree's architecture: nothing on
# this machine's own, QEMU's user-mode emulator for another's (the tree says).
HOST_RUNNER = shlex.split(os.environ.get("TAMBERLUNE_HOST_RUNNER", ""))


def host_program(*command):
    """A command line that runs a program of the host tree."""
    return HOST_RUNNER + list(command)


def lines(texts, newline):
    return "".join(text + newline for text in texts if text is not None)


def arguments(usage, count, valid=lambda values: True):
    """Takes a test's own count leading arguments off the command line,
    leaving unittest's, or ends with the usage line."""
    values = sys.argv[1:1 + count]
    if len(values) < count or not valid(values):
        sys.exit("usage: " + usage)
    del sys.argv[1:1 + count]
    return values


def optional_argument(choices, default):
    """The next argument if it is one of choices, else default."""
    return sys.argv.pop(1) if len(sys.argv) > 1 and sys.argv[1] in choices else default


def require_machine(arch):
    """Ends with what to install when arch's QEMU or U-Boot is missing."""
    try:
        qemu.require_prerequisites(arch)
    except (qemu.BootError, make_disk.DiskError) as error:
        sys.exit(str(error))


def key_pair(folder, name, kind="rsa:2048"):
    """A throwaway key and its self-signed certificate: (key, certificate) paths."""
    key, cert = os.path.join(folder, name + ".key"), os.path.join(folder, name + ".crt")
    subprocess.run(["openssl", "req", "-x509", "-newkey", kind, "-nodes", "-days", "1",
                    "-subj", f"/CN=Tamberlune throwaway {name}/", "-keyout", key, "-out", cert],
                   check=True, capture_output=True)
    return key, cert


def press(session, scenario, start=None):
    """Starts the image (with the command line start, or from the disk),
    presses the scenario's key once the menu is up and returns what the
    image printed, from U-Boot's line that announces it to U-Boot's prompt."""
    if start is None:
        session.start_image()
    else:
        session.send(start.encode() + b"\n")
    shown = session.expect(machines.MENU_END, timeout=60)
    session.send(KEYS[scenario][0])
    return shown + session.expect(serial_session.PROMPT, timeout=60)


# The RISC-V virt machine's Goldfish real-time clock: nanoseconds, low word
# first (reading it latches the high word).
GOLDFISH_RTC = "md.l 0x101000 2"


def timed(session, line, timeout=60):
    """Runs one command line at the prompt; returns what it printed and how
    long it took by the guest's clock, read as the machine table says: to the
    millisecond where U-Boot has `time`; to the nanosecond from the RISC-V
    machine's real-time clock, read before and after; else to the second,
    from `date` before and after."""
    clock = machines.BOOTS[session.arch]["clock"]
    if clock == "time":
        shown = session.command(f"time {line}", timeout).decode(errors="replace")
        text, _, tail = shown.rpartition("\r\ntime: ")
        return text, float(tail.split()[0])
    if clock == "rtc":
        shown = session.command(f"{GOLDFISH_RTC}; {line}; {GOLDFISH_RTC}", timeout).decode(errors="replace")
        stamps = re.findall(r"^00101000: ([0-9a-f]{8}) ([0-9a-f]{8})", shown, re.M)
        if len(stamps) != 2:
            raise qemu.BootError(f"no two clock readings around {line!r}:\n{shown}")
        nanoseconds = [int(high, 16) << 32 | int(low, 16) for low, high in stamps]
        body = shown.split("\r\n", 1)[1].rsplit("00101000: ", 1)[0]
        return body, (nanoseconds[1] - nanoseconds[0]) / 1e9
    shown = session.command(f"date; {line}; date", timeout).decode(errors="replace")
    stamps = [text for text in shown.split("\r\n") if text.startswith("Date: ")]
    if len(stamps) != 2:
        raise qemu.BootError(f"no two dates around {line!r}:\n{shown}")

    def seconds(stamp):
        hours, minutes, second = stamp.rsplit("Time: ", 1)[1].split(":")
        return int(hours) * 3600 + int(minutes) * 60 + int(second)
    body = shown.split("\r\n", 1)[1].rsplit("Date: ", 1)[0]
    return body, (seconds(stamps[1]) - seconds(stamps[0])) % 86400


def assert_recorded(test, session, scenario):
    """The scenario's variable, and no other, is recorded: for boot services
    only (volatile, not visible at run time), under Tamberlune's GUID, data "1"."""
    variable = KEYS[scenario][2]
    found = serial_session.recorded_variables(session)
    test.assertEqual(list(found), [variable] if variable else [])
    if variable:
        test.assertIn(machines.VENDOR_GUID, found[variable])
        test.assertRegex(found[variable].encode(), RECORDED_AS_SHOWN)

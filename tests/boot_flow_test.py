# SPDX-License-Identifier: MIT
"""End to end: the U-Boot boot flow acts on the key pressed at Tamberlune's menu.

Each scenario boots a fresh machine from the boot-flow disk (boot.scr and
setup.scr, Tamberlune and its listing, and a stand-in for the board's normal
loader at the removable-media path) through U-Boot's own boot command, and
types nothing but the key. A board that boots through standard boot (its
bootcmd runs bootflow scan) is first set up as the README says, with
setup.scr; one that boots through distro boot needs nothing. Where a network
is given, QEMU's DHCP server names network.efi as the boot file and its TFTP
server serves it. The payloads print "Tamberlune test payload: ROLE", so the
console says what booted.

Usage: boot_flow_test.py BUILD ARCH SCENARIO, or --scenarios BOOT RELEASE to
print the scenarios a boot runs on a release (CTest's list of them).
"""

import os
import re
import shutil
import struct
import sys
import tempfile
import time

import harness
import boards
import machines
import make_disk
import qemu
import serial_session

# Each boot's build: its images' suffix and its payloads' folder (its machine's name).
BUILDS = {name: (boot["suffix"], boot["machine"]) for name, boot in machines.BOOTS.items()}
# What U-Boot prints whenever it touches the network.
NETWORK_ACTIVITY = re.compile(rb"BOOTP broadcast|DHCP client|TFTP from server|Using \S+ device")
OPTION_PATH = "EFI/Other/option.efi"
# The boot-flow disk's partition, as the board set-up names it: a QEMU
# machine's virtio disk, or a board's SD card.
SETUP_PARTITION = "virtio 0:1"
# Where a choice left behind would be read: BootOptions.efi asked for it, as
# the script asks, with the byte first set to one no choice writes.
LEFT_CHOICE = ("load {part} ${{kernel_addr_r}} EFI/Tamberlune/BootOptions.efi; mw.b ${{ramdisk_addr_r}} 0xff; "
               "setenv bootargs choice ${{ramdisk_addr_r}}; bootefi ${{kernel_addr_r}}; setenv bootargs; "
               "md.b ${{ramdisk_addr_r}} 1")


def marker(role):
    return f"Tamberlune test payload: {role}".encode()


def device_path_node(kind, subtype, body):
    return struct.pack("<BBH", kind, subtype, 4 + len(body)) + body


def load_option(description, path):
    """A Boot#### variable's data: an active option whose short-form device
    path names the boot-flow disk's partition and path on it."""
    partition = device_path_node(4, 1, struct.pack(
        "<IQQ16sBB", 1, make_disk.ESP_FIRST, make_disk.ESP_SECTORS, make_disk.ESP_GUID.bytes_le, 2, 2))
    file_path = device_path_node(4, 4, ("\\" + path.replace("/", "\\") + "\0").encode("utf-16-le"))
    device_path = partition + file_path + device_path_node(0x7F, 0xFF, b"")
    return (struct.pack("<IH", 1, len(device_path)) + (description + "\0").encode("utf-16-le")
            + device_path)


class Scenario:
    def __init__(self, build, arch, network, boot_option=False, script=True):
        self.arch = arch
        self.scratch = tempfile.TemporaryDirectory(prefix="tamberlune-flow-")
        suffix, machine = BUILDS[arch]
        payloads = os.path.join(build, "payload", machine)
        files = make_disk.boot_flow_files(
            os.path.join(build, "boot.scr"), os.path.join(build, "setup.scr"),
            os.path.join(build, f"Tamberlune{suffix}.efi"),
            os.path.join(build, f"BootOptions{suffix}.efi"), os.path.join(payloads, "normal.efi"))
        if not script:
            del files[make_disk.BOOT_FLOW_SCRIPT]
        if boot_option:
            option = os.path.join(self.scratch.name, "boot0001.bin")
            with open(option, "wb") as out:
                out.write(load_option("Test boot option", OPTION_PATH))
            files.update({OPTION_PATH: os.path.join(payloads, "option.efi"), "boot0001.bin": option})
        disk = os.path.join(self.scratch.name, "disk.img")
        boards.write_disk(files, disk, arch)
        tftp = None
        if network:
            folder = os.path.join(self.scratch.name, "tftp")
            os.mkdir(folder)
            shutil.copy(os.path.join(payloads, "network.efi"), folder)
            tftp = (folder, "network.efi" if network == NAMED else "")
        self.session = serial_session.Session(disk, log=serial_session.Console(sys.stdout.buffer), arch=arch, tftp=tftp)
        # The board as it would be: set up for standard boot where it boots
        # that way, holding Boot0001 and BootOrder where the scenario says;
        # then U-Boot's own boot command, as autoboot would run it.
        self.session.prompt()
        self.partition = machines.BOOTS[arch].get("board", {}).get("partition", SETUP_PARTITION)
        self.standard_boot = b"bootflow" in self.session.command("printenv bootcmd")
        if self.standard_boot:
            # Set up twice, as a person may: the board's own boot command is kept.
            own = re.search(rb"bootcmd=(.*)\r", self.session.command("printenv bootcmd")).group(1)
            self.session.command(f"setenv tamberlune_from {self.partition}")
            for _ in range(2):
                shown = self.session.command(f"bootdev hunt {self.partition.split()[0]}; load ${{tamberlune_from}} "
                                             f"${{scriptaddr}} {make_disk.BOOT_FLOW_SETUP}; source ${{scriptaddr}}")
                check(b"Tamberlune: bootcmd now runs boot.scr" in shown,
                      f"setup.scr did not set the board up: {shown!r}")
            kept = self.session.command("printenv tamberlune_bootcmd")
            check(b"tamberlune_bootcmd=" + own + b"\r" in kept, f"the board's own boot command was lost: {kept!r}")
        if boot_option:
            self.session.command("virtio scan; load virtio 0:1 ${loadaddr} boot0001.bin; "
                                 "setenv -e -nv -bs -rt -i ${loadaddr}:${filesize} Boot0001; "
                                 "setenv -e -nv -bs -rt BootOrder =H0100"
                                 + ("; setenv -e -nv -bs -rt BootNext =H0100" if boot_option == WITH_BOOT_NEXT else ""))
        self.session.send(b"boot\n")

    def press(self, key):
        """Waits for the menu and presses key; the clock starts. Without a
        key (no boot.scr), the clock starts at once."""
        if key is not None:
            before = self.session.expect(machines.MENU_END, timeout=120)
            # Nothing the board's boot command runs first is refused (a
            # bootdev hunt given the partition prints its usage).
            check(b"Usage:" not in before and b"## Error" not in before,
                  f"U-Boot refused a command before the menu: {before!r}")
            self.session.send(key)
        self.pressed = time.monotonic()
        self.seen = b""

    def until(self, text, timeout=120):
        """Everything printed from the key up to text; says how long text took."""
        self.seen += self.session.expect(text, timeout=timeout)
        print(f"\n[boot flow] {self.arch}: {text.decode()!r} {time.monotonic() - self.pressed:.2f} s after the key",
              flush=True)
        return self.seen

    def close(self):
        self.session.close()
        self.scratch.cleanup()


def check(condition, message):
    if not condition:
        sys.exit(f"boot_flow_test: {message}")


def left_behind(scenario, variable):
    """At U-Boot's prompt once the flow is done: a choice is acted on once, and
    autoload, which the network branch turns off, and bootargs, which carries
    the question for the choice, are as they were (bootfile is not checked
    here: U-Boot's own network targets set it after the script)."""
    check(b"choice" not in scenario.session.command("printenv bootargs"), "bootargs still asks for the choice")
    check(b"autoload=no" not in scenario.session.command("printenv autoload"), "autoload was not restored")
    shown = scenario.session.command(LEFT_CHOICE.format(part=scenario.partition), 60)
    check(re.search(rb"\n[0-9a-f]+: 00 ", shown), f"{variable} is still there: the choice would be acted on again")


def boot_order_reset(scenario):
    for name in ("BootOrder", "BootNext"):
        check(f"Error: \"{name}\" not defined".encode() in scenario.session.command(f"printenv -e -n {name}"),
              f"{name} exists after the reset")
    check(b"Boot0001:" in scenario.session.command("printenv -e -n Boot0001"),
          "the reset removed Boot0001 too: only the order goes")


def bootfile_restored(scenario):
    # With no network nothing after the script sets bootfile: it is U-Boot's default again.
    now = scenario.session.command("printenv bootfile")
    scenario.session.command("env default -f bootfile")
    check(scenario.session.command("printenv bootfile") == now, f"bootfile was not restored: {now!r}")


def boot_menu(scenario):
    # The whole device path of the boot partition, not one node of it.
    check(re.search(rb"  partition +\d+ MiB  /\S+/HD\(1,GPT,", scenario.seen), "the listing lacks the partition's path")
    # The line printed for Boot0001 boots it.
    shown = scenario.session.command("setenv -e -nv -bs -rt BootNext =H0100; bootefi bootmgr", 60)
    check(marker("option") in shown, "the printed line did not boot Boot0001")
    # The line printed for the disk's boot target boots it, and the boot flow
    # finds the script again, which leaves it alone this boot: distro boot
    # runs the boot manager there (Boot0001, by BootOrder), standard boot's
    # scan of one target the removable-media loader.
    target = re.search(rb"\n  (virtio\w*): (.*)\r", scenario.seen)
    check(target or scenario.standard_boot, "the listing names no virtio boot target")
    if target:
        shown = scenario.session.command(target.group(2).decode(), 120)
        check(marker("normal" if scenario.standard_boot else "option") in shown,
              f"{target.group(2).decode()} did not boot its target")
        check(machines.MENU_END not in shown and b"Tamberlune: the boot flow ran this boot already" in shown,
              "the script ran a second time in one boot")
    # Booting as usual, as the script says: the boot manager first.
    resume = re.search(rb"Tamberlune: autoboot stopped: (.*) boots as usual", scenario.seen).group(1).decode()
    shown = scenario.session.command(resume, 180)
    check(marker("option") in shown, f"{resume} did not boot as usual")
    check(machines.MENU_END not in shown, "the script ran a second time in one boot")


# The network: none, or QEMU's, whose DHCP server names network.efi as the
# boot file or names none.
NAMED, UNNAMED = "boot file named", "no boot file named"
# Boot0001 and BootOrder set up (True), and BootNext too.
WITH_BOOT_NEXT = "with BootNext"
# What each scenario's console must show up to its end (a payload's marker,
# or U-Boot's prompt), what it must not, and the choice it leaves behind.
# Where the network may not be touched, NO_NETWORK stands among the lines
# that must not show.
NO_NETWORK = "the network"
PXE = harness.KEYS["p"][2]
# Scenario: (key, network, Boot0001 set up, end, lines shown, lines not shown, variable, more checks).
SCENARIOS = {
    # The network boot file returns: the flow says so and boots as usual.
    "p": (b"p", NAMED, False, b"Tamberlune: the network boot file returned, booting as usual",
          [b"Tamberlune: network boot", b"Tamberlune: starting network.efi from ", marker("network")],
          [marker("normal"), b"network boot failed"], PXE, None),
    "p_no_network": (b"p", None, False, marker("normal"),
                     [b"Tamberlune: network boot failed, booting as usual"], [], PXE, bootfile_restored),
    # Before the DHCP server's answer the environment may name a boot file of
    # its own (x86-64 U-Boot: bzImage); it must not pass for the server's.
    "p_no_boot_file": (b"p", UNNAMED, False, marker("normal"),
                       [b"Tamberlune: network boot failed, booting as usual",
                        b"Tamberlune: the DHCP server names no boot file"],
                       [b"TFTP from server"], PXE, None),
    # Boot0001 must not boot: neither BootOrder nor BootNext survives.
    "r": (b"r", None, WITH_BOOT_NEXT, marker("normal"), [b"Tamberlune: removing BootOrder: 0001"],
          [marker("option")], harness.KEYS["r"][2], boot_order_reset),
    "escape": (b"\x1b", NAMED, True, serial_session.PROMPT,
               [b"Boot0001  Test boot option", b"boot it: setenv -e -nv -bs -rt BootNext =H0100; bootefi bootmgr",
                b"BootOrder: 0001", b"Block devices:", b"Boot targets of this U-Boot, each with the line that boots it:",
                b"Tamberlune: autoboot stopped"],
               [NO_NETWORK, b"Tamberlune test payload"], harness.KEYS["esc"][2], boot_menu),
    # A board's U-Boot sets no Boot#### from its prompt: the listing shows what there is.
    "escape_plain": (b"\x1b", NAMED, False, serial_session.PROMPT,
                     [b"UEFI boot options:", b"Block devices:", b"Boot targets of this U-Boot, each with the line that "
                      b"boots it:", b"Tamberlune: autoboot stopped"],
                     [NO_NETWORK, b"Tamberlune test payload"], harness.KEYS["esc"][2], None),
    "no_key": (b"", NAMED, False, marker("normal"), [], [NO_NETWORK, b"Tamberlune:"], None, None),
    "other_key": (b"x", NAMED, False, marker("normal"), [], [NO_NETWORK, b"Tamberlune:"], None, None),
    # No boot.scr to read (a card written without it, a partition renamed):
    # the board boots as it would without Tamberlune.
    "no_script": (None, None, False, marker("normal"), [], [b"Tamberlune:"], None, None),
}


def verify(scenario, end, shown, hidden, variable, more):
    prompt = scenario.session.prompt_text
    end = prompt if end == serial_session.PROMPT else end
    seen = scenario.until(end)
    for line in shown:
        check(line in seen, f"the console lacks {line!r}")
    for line in hidden:
        found = NETWORK_ACTIVITY.search(seen) if line == NO_NETWORK else line in seen
        check(not found, f"the console shows {line if line == NO_NETWORK else repr(line)}")
    # One menu a boot, whatever else the firmware starts; and no option of a
    # command the flow runs is one this U-Boot lacks (printenv -e on a board).
    check(seen.count(machines.MENU_END) == 0, "a second menu in one boot")
    check(b"## Error" not in seen, "U-Boot refused a command of the flow")
    # Nor does the flow run into itself: booting as usual, standard boot's
    # scan may find the script once more, which then steps aside.
    check(seen.count(b"the boot flow ran this boot already") <= 1, "the boot flow keeps starting itself again")
    if variable:
        if end != prompt:
            scenario.until(prompt, 240)
        left_behind(scenario, variable)
    if more:
        more(scenario)


def scenarios_of(boot, release):
    """The scenarios a boot runs on a U-Boot release. A board's U-Boot sets no
    UEFI variable from its prompt, so it runs p (where QEMU's network card
    answers it), Escape without a Boot#### and no key; the QEMU machines
    run the rest, and the first machine shows a disk without boot.scr."""
    board = machines.BOARDS.get(boot)
    if board:
        return ["p" if release in board["network"] else "p_no_network", "escape_plain", "no_key"]
    every = [name for name in SCENARIOS if name not in ("escape_plain", "no_script")]
    return every + (["no_script"] if boot == machines.QEMU_BOOTS[0] else [])


def main(argv):
    if len(argv) == 3 and argv[0] == "--scenarios":
        print(";".join(scenarios_of(argv[1], argv[2])))
        return
    if len(argv) != 3 or argv[1] not in BUILDS or argv[2] not in SCENARIOS:
        sys.exit(f"usage: boot_flow_test.py BUILD {{{','.join(BUILDS)}}} {{{','.join(SCENARIOS)}}}, "
                 f"or boot_flow_test.py --scenarios BOOT RELEASE (those it runs)")
    build, arch, name = argv
    key, network, boot_option, *expected = SCENARIOS[name]
    scenario = Scenario(build, arch, network, boot_option, script=key is not None)
    try:
        scenario.press(key)
        verify(scenario, *expected)
    except qemu.BootError as error:
        sys.exit(f"boot_flow_test: {error}")
    finally:
        scenario.close()


if __name__ == "__main__":
    main(sys.argv[1:])

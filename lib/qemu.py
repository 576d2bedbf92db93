# SPDX-License-Identifier: MIT
"""The QEMU command for a boot of the machine table: the emulator and its
machine, the firmware files of the U-Boot release asked for, the disk (or a
board's SD card), the network, the guest clock; what must be installed for
it; and how its process is tied to the driver's."""

import ctypes
import os
import shutil
import signal
import termios

import boards
import machines

# Each boot's QEMU machine and U-Boot build (Debian's u-boot-qemu): the
# machine table's boots.
BOOTS = machines.BOOTS

# Under plain emulation U-Boot measures its clock against the host's at
# start-up, and a busy host skews that by up to twice; a timed wait then means
# little. With -icount the guest clock counts executed instructions instead.
# Tests take 8 ns an instruction: the same boot then takes the same firmware
# time however loaded the host is. A person watching gets a clock that QEMU
# keeps near real time, so the four-second wait feels like one.
TEST_CLOCK = ["-icount", "shift=3"]
REAL_TIME_CLOCK = ["-icount", "shift=auto"]

firmware_root = boards.firmware_root


class BootError(Exception):
    """A boot that could not be made, or that went otherwise than it must."""


def firmware_options(arch, root=None):
    """QEMU's options that load arch's U-Boot from under root."""
    root = firmware_root(root)
    options = [root + option if option.startswith("/usr/lib/u-boot/") else option for option in BOOTS[arch]["firmware"]]
    if "board" in BOOTS[arch]:
        options = [option.replace("{folder}", boards.folder(arch, root)) for option in options]
    dtb = "board" in BOOTS[arch] and boards.dtb(arch, root)
    return options + (["-dtb", dtb] if dtb else [])


def prerequisites(arch, root=None):
    """What each tool is, and the Debian package that brings it."""
    firmware = [path for path in firmware_options(arch, root) if path.startswith("/")]
    board = BOOTS[arch].get("board")
    if board and board.get("blob"):
        firmware.append(boards.file(arch, board["blob"], root))
    return {BOOTS[arch]["qemu"]: BOOTS[arch]["qemu_package"], "mformat": "mtools", "mcopy": "mtools",
            **{path: board["package"] if board else "u-boot-qemu" for path in firmware}}


def found(tool):
    if tool.startswith("/"):
        return os.path.exists(tool)
    # Tools of the system folders are found even where a user's PATH lacks them.
    return shutil.which(tool) or shutil.which(tool, path="/usr/sbin:/sbin")


def missing_prerequisites(arch, root=None):
    """The Debian packages whose tools are not on this machine."""
    return sorted({package for tool, package in prerequisites(arch, root).items() if not found(tool)})


def require_prerequisites(arch, root=None):
    missing = missing_prerequisites(arch, root)
    boards.require(arch, root)
    if missing and firmware_root(root):
        raise BootError(f"no {arch} U-Boot under {firmware_root(root)}: fetch a release there with tools/firmware.sh")
    if missing:
        sudo = "" if os.geteuid() == 0 else "sudo "
        raise BootError(f"missing: {' '.join(missing)}; install with: {sudo}apt-get install --no-install-recommends "
                        f"{' '.join(missing)} (or tools/install-deps.sh boot)")


def drive_option(disk):
    """QEMU's -drive value for a raw disk; QEMU reads ',,' as one comma in a value."""
    return "if=none,id=disk,format=raw,file=" + os.path.abspath(disk).replace(",", ",,")


def network_options(arch, tftp, firmware=None):
    """No network card, or one on QEMU's user network whose DHCP server names
    tftp's file as the boot file and whose TFTP server serves tftp's folder
    (a board's own card, where it has one). tftp: None, or (folder, file name)."""
    board = BOOTS[arch].get("board")
    if tftp is None or (board and boards.release_of(firmware) not in board["network"]):
        return ["-nic", "none"]
    folder, bootfile = tftp
    value = "user,id=net,tftp=" + os.path.abspath(folder).replace(",", ",,")
    if bootfile:
        value += ",bootfile=" + bootfile.replace(",", ",,")
    if board:
        return ["-nic", value.replace("id=net,", "")]
    return ["-netdev", value, "-device", BOOTS[arch]["nic"] + ",netdev=net"]


def qemu_command(disk, clock, arch, tftp=None, firmware=None):
    machine = BOOTS[arch]
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

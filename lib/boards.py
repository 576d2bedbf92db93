# SPDX-License-Identifier: MIT
"""The boards: Debian's own U-Boot builds for real boards (u-boot-sunxi,
u-boot-rpi, ...), the machine table's boots that have a "board". Where a
board's files lie (a release unpacked by tools/firmware.sh, or the installed
package on an ARM machine), and its SD card: the board's U-Boot where its
boot ROM or firmware reads it, and the disk's EFI system partition."""

import os
import tempfile

import machines
import make_disk


class BoardError(make_disk.DiskError):
    """A board's U-Boot build is not there."""


def firmware_root(root=None):
    """The folder U-Boot's firmware files lie under: root, else
    TAMBERLUNE_FIRMWARE (a release unpacked by tools/firmware.sh), else the
    installed packages' ("")."""
    return os.environ.get("TAMBERLUNE_FIRMWARE", "") if root is None else root


def release_of(root=None):
    """The U-Boot release (2025.01, ...) unpacked under root by
    tools/firmware.sh, as its version file says; None where it says none."""
    try:
        with open(os.path.join(firmware_root(root), "version"), encoding="utf-8") as file:
            version = file.read().strip()
    except OSError:
        return None
    return next((release["release"] for release in machines.RELEASES if version.startswith(release["release"])), None)


def folder(name, root=None):
    """A board's folder under /usr/lib/u-boot in its package, on root's
    release; where root says no release (the installed package), the newest
    release's folder that is there; "" for none."""
    folders = machines.BOARDS[name]["folders"]
    release = release_of(root)
    if release is not None:
        return folders.get(release, "")
    return next((found for found in reversed(list(folders.values()))
                 if os.path.isdir(os.path.join(firmware_root(root) + "/usr/lib/u-boot", found))), "")


def file(name, base, root=None):
    """A file of a board's U-Boot build under root."""
    return os.path.join(firmware_root(root) + "/usr/lib/u-boot", folder(name, root), base)


def dtb(name, root=None):
    """The device tree a board's U-Boot needs on root's release
    (tools/firmware.sh puts it in root's dtb folder), or None."""
    wanted = machines.BOARDS[name].get("dtb", {}).get(release_of(root))
    return wanted and os.path.join(firmware_root(root), "dtb", wanted)


def require(name, root=None):
    """Ends with where to get it when a board's U-Boot build is missing."""
    board = machines.BOARDS.get(name)
    if board and not folder(name, root):
        where = f"under {firmware_root(root)}" if firmware_root(root) else "installed"
        raise BoardError(f"no Debian {board['package']} build for {name} {where}: fetch a release with "
                         f"tools/firmware.sh and name its folder with --firmware, or install {board['package']} "
                         f"on an {board['arch']} machine")


def write_disk(files, disk, name, root=None):
    """The GPT disk of files for a QEMU machine (a boot without a board), or
    for a board its SD card."""
    board = machines.BOARDS.get(name)
    if not board:
        make_disk.write_gpt_disk(files, disk)
        return
    require(name, root)
    blob = board.get("blob") and file(name, board["blob"], root)
    with tempfile.TemporaryDirectory(prefix="tamberlune-card-") as scratch:
        if board.get("loader"):
            # U-Boot as the kernel the board's own firmware starts from the card.
            config = os.path.join(scratch, "config.txt")
            with open(config, "w", encoding="ascii") as out:
                out.write(board["loader_config"])
            files = {**files, board["loader"]: file(name, board["loader_from"], root), "config.txt": config}
        make_disk.write_card(files, disk, blob, board.get("blob_offset", 0))

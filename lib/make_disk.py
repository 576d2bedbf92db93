#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a bootable disk image: a GPT with one EFI system partition (FAT16)
holding each image at its machine's removable-media default path
(\\EFI\\BOOT\\BOOTX64.EFI on x86-64, and so on: the machine table's), so a
UEFI firmware's own boot flow starts the one for its machine with nothing typed.
The same images always give the same disk, byte for byte.

With --boot-flow it writes the U-Boot boot flow's disk for one machine
instead: boot.scr and setup.scr, Tamberlune and its listing, and the board's
normal loader.

With --board NAME it writes a board's SD card instead: the same partition
behind an MBR, and the board's own U-Boot build where its boot ROM reads it.

Usage: make_disk.py [--board NAME] IMAGE... DISK      (make_disk.py --help for more)
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid
import zlib

import pefile

import interrupts
import machines
import output_file

SECTOR = 512
ESP_FIRST = 2048                    # 1 MiB: the usual alignment
ESP_SECTORS = 32 * 1024 * 2         # 32 MiB: room for FAT16
ENTRIES = 128
ENTRY_SIZE = 128
ENTRY_SECTORS = ENTRIES * ENTRY_SIZE // SECTOR
TOTAL = ESP_FIRST + ESP_SECTORS + 2048
ESP_TYPE = uuid.UUID("C12A7328-F81F-11D2-BA4B-00A0C93EC93B")
# Fixed identities and times, so the same image always gives the same disk.
DISK_GUID = uuid.UUID("7A3C91E4-5B2D-4F68-9E1A-C84D20F6B574")
ESP_GUID = uuid.UUID("7A3C91E4-5B2D-4F68-9E1A-C84D20F6B575")
VOLUME_SERIAL = "7a3c91e4"
# mtools stamps every directory entry with this time: 1980-01-01, the first
# time FAT can hold.
FAT_EPOCH = "315532800"


# The removable-media file name for each PE machine of the machine table.
REMOVABLE = {code: machine["removable"] for machine in machines.MACHINES.values()
             for code in machines.pe_machines(machine)}


# The command whose words the messages are: the shell command that runs this.
COMMAND = os.environ.get("TAMBERLUNE_NAME", "make_disk")


class DiskError(Exception):
    pass


def removable_path(image):
    """Where the firmware's own boot flow looks for an image of this machine."""
    try:
        with open(image, "rb") as file:
            machine = pefile.PE(data=file.read(4096), fast_load=True).FILE_HEADER.Machine
    except OSError as error:
        raise DiskError(f"cannot read {image} as a PE image: {error}")
    except pefile.PEFormatError as error:
        raise DiskError(f"{image} is no PE image: {error.value}")
    if machine not in REMOVABLE:
        raise DiskError(f"{image}: machine 0x{machine:04X} has no removable-media path")
    return "EFI/BOOT/" + REMOVABLE[machine]


def protective_mbr():
    mbr = bytearray(SECTOR)
    # One partition of type 0xEE covering the disk, as the GPT standard asks.
    struct.pack_into("<B3sB3sII", mbr, 446, 0, b"\x00\x02\x00", 0xEE, b"\xff\xff\xff", 1,
                     min(TOTAL - 1, 0xFFFFFFFF))
    mbr[510:512] = b"\x55\xaa"
    return bytes(mbr)


def entries():
    table = bytearray(ENTRIES * ENTRY_SIZE)
    name = "EFI system partition".encode("utf-16-le")
    struct.pack_into("<16s16sQQQ72s", table, 0, ESP_TYPE.bytes_le, ESP_GUID.bytes_le, ESP_FIRST,
                     ESP_FIRST + ESP_SECTORS - 1, 0, name)
    return bytes(table)


def header(current, backup, table_lba, table):
    fields = struct.pack("<8sIIIIQQQQ16sQIII", b"EFI PART", 0x00010000, 92, 0, 0, current, backup,
                         2 + ENTRY_SECTORS, TOTAL - 2 - ENTRY_SECTORS, DISK_GUID.bytes_le, table_lba,
                         ENTRIES, ENTRY_SIZE, zlib.crc32(table))
    crc = zlib.crc32(fields)
    fields = fields[:16] + struct.pack("<I", crc) + fields[20:]
    return fields + bytes(SECTOR - len(fields))


def mtools(*command):
    """Runs one mtools command with fixed timestamps; its complaint becomes a DiskError."""
    if shutil.which(command[0]) is None:
        raise DiskError(f"{command[0]} is missing: apt-get install --no-install-recommends mtools")
    result = subprocess.run(command, capture_output=True, text=True,
                            env={**os.environ, "SOURCE_DATE_EPOCH": FAT_EPOCH, "MTOOLS_SKIP_CHECK": "1"})
    if result.returncode != 0:
        raise DiskError(f"{' '.join(command[:1])}: {(result.stderr or result.stdout).strip()}")


def write_fat(path, size, files, hidden_sectors=0):
    """Writes a FAT file system of size bytes at path holding files, a mapping of
    paths in it ("EFI/BOOT/BOOTX64.EFI") to files on this machine."""
    with open(path, "wb") as out:
        out.truncate(size)
    sectors = size // SECTOR
    mtools("mformat", "-i", path, "-v", "TAMBERLUNE", "-N", VOLUME_SERIAL, "-h", "64", "-s", "32",
           "-T", str(sectors), "-H", str(hidden_sectors), "::")
    folders = set()
    for name in files:
        parts = name.split("/")[:-1]
        folders.update("/".join(parts[:depth]) for depth in range(1, len(parts) + 1))
    if folders:
        # Sorted, a folder comes before the folders inside it.
        mtools("mmd", "-i", path, *("::" + folder for folder in sorted(folders)))
    for name, source in sorted(files.items()):
        mtools("mcopy", "-i", path, source, "::" + name)


def disk_files(images):
    """The disk's files: each image at its removable-media path."""
    for image in images:
        if not os.path.isfile(image):
            raise DiskError(f"no image at {image}: build it first (cmake --build build)")
    files = {}
    for image in images:
        path = removable_path(image)
        if path in files:
            raise DiskError(f"{files[path]} and {image} are for the same machine")
        files[path] = image
    return files



# The boot flow's files on the boot partition: U-Boot's distro boot runs
# /boot.scr; Tamberlune keeps a folder of its own, away from the
# removable-media path, which the board's normal loader holds.
BOOT_FLOW_SCRIPT = "boot.scr"
BOOT_FLOW_SETUP = "setup.scr"
BOOT_FLOW_IMAGE = "EFI/Tamberlune/Tamberlune.efi"
BOOT_FLOW_LISTING = "EFI/Tamberlune/BootOptions.efi"


def boot_flow_files(script, setup, image, listing, loader):
    """The boot-flow disk's files: the script and the board set-up script,
    Tamberlune and its listing, and the board's normal loader at the
    removable-media path, all for one machine."""
    path = removable_path(loader)
    for other in (image, listing):
        if removable_path(other) != path:
            raise DiskError(f"{other} and {loader} are for different machines")
    return {BOOT_FLOW_SCRIPT: script, BOOT_FLOW_SETUP: setup, BOOT_FLOW_IMAGE: image, BOOT_FLOW_LISTING: listing,
            path: loader}


def system_partition(files, disk, advice="build it first (tools/build.sh)"):
    """The EFI system partition's bytes, holding files (paths in it to files
    on this machine), once every file is there and disk may be written."""
    for source in files.values():
        if not os.path.isfile(source):
            raise DiskError(f"no file at {source}: {advice}")
    output_file.target(disk, COMMAND)
    with tempfile.TemporaryDirectory() as scratch:
        esp = os.path.join(scratch, "esp.img")
        write_fat(esp, ESP_SECTORS * SECTOR, files, hidden_sectors=ESP_FIRST)
        with open(esp, "rb") as part:
            return part.read()


def write_gpt_disk(files, disk):
    """Writes a GPT disk whose EFI system partition holds files (paths in it to
    files on this machine); nothing is left at disk's folder if it fails."""
    fat = system_partition(files, disk)
    table = entries()

    def produce(path):
        with open(path, "r+b") as out:
            out.write(protective_mbr())
            out.write(header(1, TOTAL - 1, 2, table))
            out.write(table)
            out.seek(ESP_FIRST * SECTOR)
            out.write(fat)
            out.seek((TOTAL - 1 - ENTRY_SECTORS) * SECTOR)
            out.write(table)
            out.write(header(TOTAL - 1, 1, TOTAL - 1 - ENTRY_SECTORS, table))
    output_file.write(disk, produce)


# A board's SD card: an MBR (a GPT's entry array would lie where boards'
# boot ROMs read their loader, 8 KiB in on Allwinner), the board's U-Boot
# where its boot ROM reads it, and the disk's EFI system partition, active,
# at the same place as on the GPT disk. 64 MiB: a power of two, as SD cards
# are.
CARD_SECTORS = 64 * 1024 * 2
MBR_ESP_TYPE = 0xEF


def card_mbr():
    mbr = bytearray(SECTOR)
    # Disk signature, then the one partition: active, type EF, LBA start and size.
    struct.pack_into("<I", mbr, 440, int(VOLUME_SERIAL, 16))
    struct.pack_into("<B3sB3sII", mbr, 446, 0x80, b"\xfe\xff\xff", MBR_ESP_TYPE, b"\xfe\xff\xff", ESP_FIRST,
                     ESP_SECTORS)
    mbr[510:512] = b"\x55\xaa"
    return bytes(mbr)


def write_card(files, disk, blob=None, blob_offset=0):
    """Writes a board's SD card: files in its EFI system partition and, with
    blob, the board's U-Boot at blob_offset bytes; nothing is left at disk's
    folder if it fails."""
    advice = "build it first (tools/build.sh), or fetch the board's U-Boot with tools/firmware.sh"
    loader = b""
    if blob:
        if not os.path.isfile(blob):
            raise DiskError(f"no file at {blob}: {advice}")
        with open(blob, "rb") as file:
            loader = file.read()
        if blob_offset < SECTOR or blob_offset + len(loader) > ESP_FIRST * SECTOR:
            raise DiskError(f"{blob} does not fit between the partition table and the partition")
    fat = system_partition(files, disk, advice)

    def produce(path):
        with open(path, "r+b") as out:
            out.truncate(CARD_SECTORS * SECTOR)
            out.write(card_mbr())
            out.seek(blob_offset)
            out.write(loader)
            out.seek(ESP_FIRST * SECTOR)
            out.write(fat)
    output_file.write(disk, produce)


def main(argv):
    parser = argparse.ArgumentParser(
        prog="make_disk.py", description=__doc__.split("Usage:")[0].strip(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="make_disk.py [--board NAME] IMAGE... DISK\n"
              "       make_disk.py [--board NAME] --boot-flow SCRIPT SETUP IMAGE LISTING LOADER DISK",
        epilog="IMAGE is an EFI application, one per machine; DISK the disk file to write: a new path or a regular "
               "file, replaced (through a symbolic link, the file it names), never a device or a read-only file. "
               "The boot-flow disk is for one machine: SCRIPT (boot.scr) and SETUP (setup.scr, the standard-boot "
               "board set-up) at the root, IMAGE and LISTING (BootOptions.efi) in \\EFI\\Tamberlune, LOADER (the "
               "board's normal loader) at the removable-media path. Messages begin with the name of the command "
               "that runs it (TAMBERLUNE_NAME).\n"
               "example: make_disk.py build/Tamberlune.efi build/TamberluneRISCV64.efi build/tamberlune-disk.img")
    parser.add_argument("--board", choices=list(machines.BOARDS),
                        help="a board's SD card: an MBR, the board's U-Boot from Debian's build of it (the release "
                             "under TAMBERLUNE_FIRMWARE, else the installed package), and the same partition")
    parser.add_argument("--boot-flow", action="store_true", help="the U-Boot boot flow's disk for one machine")
    parser.add_argument("files", nargs="+", metavar="FILE", help="the files to hold, then DISK")
    args = parser.parse_args(argv)
    board, boot_flow = args.board, args.boot_flow
    if len(args.files) != 6 if boot_flow else len(args.files) < 2:
        parser.error("--boot-flow takes SCRIPT SETUP IMAGE LISTING LOADER DISK" if boot_flow
                     else "give at least one IMAGE and the DISK")
    *sources, disk = args.files
    with interrupts.ends_quietly(COMMAND):
        try:
            files = boot_flow_files(*sources) if boot_flow else disk_files(sources)
            if board:
                import boards  # which imports this module
                boards.write_disk(files, disk, board)
            else:
                write_gpt_disk(files, disk)
        except (DiskError, output_file.OutputError) as error:
            sys.exit(f"{COMMAND}: {error}")
        except OSError as error:  # a scratch folder that takes no files, say
            sys.exit(f"{COMMAND}: cannot write {disk}: {error.strerror or error}")
    paths = ", ".join("\\" + path.replace("/", "\\") for path in files)
    if board:
        print(f"{disk}: {machines.BOARDS[board]['title']} SD card of {CARD_SECTORS * SECTOR // (1024 * 1024)} MiB, "
              f"its U-Boot and an EFI system partition with {paths}")
    else:
        print(f"{disk}: GPT disk of {TOTAL * SECTOR // (1024 * 1024)} MiB, EFI system partition with {paths}")


if __name__ == "__main__":
    # Run as the module others import (boards.py does), so that its errors are this one's.
    import make_disk
    make_disk.main(sys.argv[1:])

#!/usr/bin/env python3
"""Writes a bootable disk image: a GPT with one EFI system partition (FAT)
holding an image at the removable-media default path \\EFI\\BOOT\\BOOTX64.EFI,
so a UEFI firmware's own boot flow starts it with nothing typed.

Usage: make_disk.py IMAGE DISK
"""

import os
import struct
import subprocess
import sys
import tempfile
import uuid
import zlib

SECTOR = 512
ESP_FIRST = 2048                    # 1 MiB: the usual alignment
ESP_SECTORS = 32 * 1024 * 2         # 32 MiB: room for FAT16
ENTRIES = 128
ENTRY_SIZE = 128
ENTRY_SECTORS = ENTRIES * ENTRY_SIZE // SECTOR
TOTAL = ESP_FIRST + ESP_SECTORS + 2048
ESP_TYPE = uuid.UUID("C12A7328-F81F-11D2-BA4B-00A0C93EC93B")
# Fixed identities, so the same image always gives the same disk.
DISK_GUID = uuid.UUID("7A3C91E4-5B2D-4F68-9E1A-C84D20F6B574")
ESP_GUID = uuid.UUID("7A3C91E4-5B2D-4F68-9E1A-C84D20F6B575")


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


def fat_partition(image, path):
    subprocess.run(["mkfs.fat", "-F", "16", "-n", "TAMBERLUNE", "-i", "7a3c91e4", "-C", path,
                    str(ESP_SECTORS * SECTOR // 1024)], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["mmd", "-i", path, "::EFI", "::EFI/BOOT"], check=True)
    subprocess.run(["mcopy", "-i", path, image, "::EFI/BOOT/BOOTX64.EFI"], check=True)


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: make_disk.py IMAGE DISK")
    image, disk = sys.argv[1:]
    if not os.path.isfile(image):
        sys.exit(f"make_disk: no image at {image}: build it first (cmake --build build)")
    for tool, package in (("mkfs.fat", "dosfstools"), ("mcopy", "mtools")):
        if subprocess.run(["which", tool], capture_output=True).returncode != 0:
            sys.exit(f"make_disk: {tool} is missing: apt-get install {package}")
    table = entries()
    with tempfile.TemporaryDirectory() as directory:
        esp = os.path.join(directory, "esp.img")
        fat_partition(image, esp)
        with open(esp, "rb") as part:
            fat = part.read()
    with open(disk + ".tmp", "wb") as out:
        out.write(protective_mbr())
        out.write(header(1, TOTAL - 1, 2, table))
        out.write(table)
        out.seek(ESP_FIRST * SECTOR)
        out.write(fat)
        out.seek((TOTAL - 1 - ENTRY_SECTORS) * SECTOR)
        out.write(table)
        out.write(header(TOTAL - 1, 1, TOTAL - 1 - ENTRY_SECTORS, table))
    os.replace(disk + ".tmp", disk)
    print(f"{disk}: GPT disk of {TOTAL * SECTOR // (1024 * 1024)} MiB, EFI system partition with "
          f"\\EFI\\BOOT\\BOOTX64.EFI")


if __name__ == "__main__":
    main()

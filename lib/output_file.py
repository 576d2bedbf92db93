#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The one check of a file a person names for a command to write, and the
one way of writing it: beside its target, renamed into place only when
complete, so a failed or interrupted run leaves nothing.

Usage: output_file.py COMMAND PATH   prints where PATH's file goes, or
says in one line, as COMMAND, why it may not be written (exit 1)
example: output_file.py sign /tmp/Tamberlune.signed.efi
"""

import argparse
import os
import stat
import sys
import tempfile


class OutputError(Exception):
    pass


# What to do instead of writing into a device, for the commands that write disks.
COPY_TO_A_STICK = ("write a disk file, then copy it: {command} tamberlune-disk.img && "
                   "sudo dd if=tamberlune-disk.img of={path} bs=4M conv=fsync")
DISK_COMMANDS = {"disk": "tools/disk.sh", "tamberlune-disk": "tamberlune-disk"}


def target(path, command="write"):
    """Where path's file goes: path itself, or the file a symbolic link names
    (written through; the link stays a link), with its mode (None: new).
    Refuses a device, a folder or anything else that is no regular file, a
    read-only file, and a folder that is missing or takes no files."""
    if not path:
        raise OutputError("an empty path: give the file to write")
    resolved = os.path.realpath(path)
    try:
        mode = os.stat(resolved).st_mode
    except FileNotFoundError:
        mode = None
    except OSError as error:
        raise OutputError(f"cannot look at {path}: {error.strerror}")
    if mode is not None and stat.S_ISDIR(mode):
        raise OutputError(f"{path} is a folder; give the path of the file to write")
    if mode is not None and (stat.S_ISBLK(mode) or stat.S_ISCHR(mode)):
        kind = "block" if stat.S_ISBLK(mode) else "character"
        instead = (COPY_TO_A_STICK.format(command=DISK_COMMANDS[command], path=path) if command in DISK_COMMANDS
                   else "name a file; the device is left as it is")
        raise OutputError(f"{path} is a {kind} device, never written: {instead}")
    if mode is not None and not stat.S_ISREG(mode):
        raise OutputError(f"{path} is no regular file (a pipe or a socket); give the path of the file to write")
    if mode is not None and (not mode & stat.S_IWUSR or not os.access(resolved, os.W_OK)):
        raise OutputError(f"{path} is read-only; it is left as it is: make it writable or name another file")
    folder = os.path.dirname(resolved)
    if not os.path.isdir(folder):
        raise OutputError(f"no folder {os.path.dirname(os.path.abspath(path))} to write {os.path.basename(path)} into")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise OutputError(f"cannot write into {folder}: {why_not_writable(folder)}")
    return resolved, mode


def why_not_writable(folder):
    """Read-only file system or permissions, as the system says."""
    statistics = os.statvfs(folder)
    return "its file system is read-only" if statistics.f_flag & os.ST_RDONLY else "permission denied"


def write(path, produce):
    """Checks path, then writes its file through produce(temporary_path),
    beside it, and renames it into place: a new file with the mode the umask
    gives, a replaced one with its own. Nothing is left if produce raises,
    even SystemExit or KeyboardInterrupt."""
    resolved, mode = target(path)
    folder = os.path.dirname(resolved)
    try:
        handle, temporary = tempfile.mkstemp(dir=folder, prefix=".tamberlune-")
    except OSError as error:
        raise OutputError(f"cannot write into {folder}: {error.strerror}")
    os.close(handle)
    try:
        produce(temporary)
        if mode is None:
            umask = os.umask(0)
            os.umask(umask)
            mode = 0o666 & ~umask
        os.chmod(temporary, stat.S_IMODE(mode))
        os.replace(temporary, resolved)
    except OSError as error:
        os.unlink(temporary)
        raise OutputError(f"cannot write {path}: {error.strerror}")
    except BaseException:
        os.unlink(temporary)
        raise


def main(argv):
    parser = argparse.ArgumentParser(prog="output_file.py", description=__doc__.split("\n\n")[0],
                                     epilog="Prints where PATH's file goes, or says in one line, as COMMAND, why "
                                            "it may not be written (exit 1). "
                                            "example: output_file.py sign /tmp/Tamberlune.signed.efi")
    parser.add_argument("COMMAND", help="the command whose name a refusal begins with")
    parser.add_argument("PATH", help="the file a person names for it to write")
    args = parser.parse_args(argv)
    command, path = args.COMMAND, args.PATH
    command, path = argv
    try:
        print(target(path, command)[0])
    except OutputError as error:
        print(f"{command}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

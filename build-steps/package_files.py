#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes the Debian package's own documents from the project's: the
copyright file in Debian's machine-readable format, its licence text taken
from LICENSE; CHANGELOG.md as the upstream changelog.gz; and
changelog.Debian.gz for the release that CHANGELOG.md dates. Gzipped without
a time stamp, so two builds agree.

Usage: package_files.py LICENSE CHANGELOG VERSION DATE MAINTAINER FOLDER
example: package_files.py LICENSE CHANGELOG.md 1.2.0 2026-12-09 "Tamberlune developers <m@example.org>" build/package
"""

import argparse
import datetime
import gzip
import os
import re
import sys


def copyright_file(license_text):
    """LICENSE's MIT text, which Debian names Expat, with its holder."""
    lines = license_text.strip("\n").split("\n")
    holder = next(index for index, line in enumerate(lines) if line.startswith("Copyright"))
    notice = "\n".join(lines[holder + 1:]).strip("\n").split("\n")
    text = "\n".join(" " + line if line.strip() else " ." for line in notice)
    return ("Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
            "Upstream-Name: Tamberlune\n\n"
            "Files: *\n"
            f"Copyright: {lines[holder].removeprefix('Copyright (c) ')}\n"
            "License: Expat\n\n"
            f"License: Expat\n{text}\n")


def changelog(version, date, maintainer):
    """One entry for this release; the whole story is the upstream changelog."""
    day = datetime.datetime.strptime(date, "%Y-%m-%d").replace(tzinfo=datetime.timezone.utc)
    return (f"tamberlune ({version}) unstable; urgency=medium\n\n"
            f"  * Tamberlune {version}: see /usr/share/doc/tamberlune/changelog.gz.\n\n"
            f" -- {maintainer}  {day.strftime('%a, %d %b %Y %H:%M:%S +0000')}\n")


def packed(path, text):
    with open(path, "wb") as file:
        with gzip.GzipFile(filename="", mode="wb", fileobj=file, compresslevel=9, mtime=0) as out:
            out.write(text.encode())


def release_date(text):
    if not re.fullmatch(r"\d{4}-\d\d-\d\d", text):
        raise argparse.ArgumentTypeError(f"a date as YYYY-MM-DD, not {text!r}")
    return text


def main(argv):
    parser = argparse.ArgumentParser(prog="package_files.py", description=__doc__.split("Usage:")[0].strip(),
                                     epilog=__doc__.split("Usage:")[1].split("\n", 1)[1].strip())
    for name in ("LICENSE", "CHANGELOG", "VERSION"):
        parser.add_argument(name)
    parser.add_argument("DATE", type=release_date)
    parser.add_argument("MAINTAINER")
    parser.add_argument("FOLDER")
    argv = list(vars(parser.parse_args(argv)).values())
    license_path, changelog_path, version, date, maintainer, folder = argv
    os.makedirs(folder, exist_ok=True)
    with open(license_path) as file:
        license_text = file.read()
    with open(os.path.join(folder, "copyright"), "w") as out:
        out.write(copyright_file(license_text))
    with open(changelog_path) as file:
        packed(os.path.join(folder, "changelog.gz"), file.read())
    packed(os.path.join(folder, "changelog.Debian.gz"), changelog(version, date, maintainer))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

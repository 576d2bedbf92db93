#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Writes a host tool's manual page from its own --help and --version, so the
page never says other than the tool: the usage line becomes the synopsis,
the first paragraph the description, option lines a list, an "example:"
line the example. Gzipped without a time stamp, so two builds agree.

Usage: man_page.py TOOL DATE OUT.1.gz: DATE is the release's (YYYY-MM-DD)
example: man_page.py build/tools/tamberlune-sim 2026-12-09 build/man/tamberlune-sim.1.gz
"""

import gzip
import os
import re
import subprocess
import sys

def roff(text):
    """Escapes text for a manual page: backslashes, and a leading dot or quote."""
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return ("\\&" + text) if text[:1] in (".", "'") else text


def page(name, version, date, help_text):
    lines = help_text.rstrip("\n").split("\n")
    usage = lines[0].removeprefix("usage: ")
    body = lines[1:]
    examples = [line.split("example:", 1)[1].strip() for line in body if line.startswith("example:")]
    body = [line for line in body if not line.startswith("example:")]
    description, options = [], []
    for line in body:
        match = re.match(r"^  (-\S+(?: [A-Z][A-Z-]*)?(?:, -\S+)?)\s{2,}(.*)$", line)
        if match:
            options.append([match.group(1), match.group(2)])
        elif options and line.startswith("   ") and line.strip():
            options[-1][1] += " " + line.strip()
        else:
            description.append(line.strip())
    paragraph = " ".join(line for line in description if line)
    summary = re.split(r"[.:] ", paragraph, maxsplit=1)[0].rstrip(".")
    out = [f'.TH {name.upper()} 1 "{date}" "Tamberlune {version}" "User Commands"',
           ".SH NAME", f"{name} \\- {roff(summary)}",
           ".SH SYNOPSIS", f".B {name}", roff(usage.removeprefix(name).strip()),
           ".SH DESCRIPTION", roff(paragraph)]
    if options:
        out.append(".SH OPTIONS")
        for option, text in options:
            out += [".TP", f".B {roff(option)}", roff(text)]
    if examples:
        out.append(".SH EXAMPLE")
        for example in examples:
            out += [".nf", roff(example), ".fi"]
    out += [".SH SEE ALSO", "/usr/share/doc/tamberlune/README"]
    return "\n".join(out) + "\n"


def main(argv):
    if argv[:1] in (["-h"], ["--help"]):
        print(__doc__.strip())
        return 0
    if len(argv) != 3 or not re.fullmatch(r"\d{4}-\d\d-\d\d", argv[1]):
        print("usage: man_page.py TOOL DATE OUT.1.gz (--help for more)", file=sys.stderr)
        return 2
    tool, date, out = argv
    name = os.path.basename(tool)
    help_text = subprocess.run([tool, "--help"], check=True, capture_output=True, text=True).stdout
    version = subprocess.run([tool, "--version"], check=True, capture_output=True, text=True).stdout.split()[-1]
    with open(out, "wb") as file:
        # mtime 0 and no file name inside: the same page gives the same bytes.
        with gzip.GzipFile(filename="", mode="wb", fileobj=file, compresslevel=9, mtime=0) as packed:
            packed.write(page(name, version, date, help_text).encode())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

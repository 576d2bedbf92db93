#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs lld-link for the image and passes on everything it prints but one
understood warning, "/align specified without /driver; image may not run".
That warning speaks of Windows, whose loader maps sections page by page; a
UEFI loader copies each section to the alignment its header states, and 64
bytes keeps the image small. (/driver would silence it, but changes the
image's layout.) The exit status is lld-link's.

Usage: link_image.py LLD-LINK [ARGUMENTS...]
example: link_image.py lld-link /subsystem:efi_application /out:Tamberlune.efi a.obj b.obj
"""

import subprocess
import sys

UNDERSTOOD = "/align specified without /driver; image may not run"

if len(sys.argv) < 2 or sys.argv[1] in ("-h", "--help"):
    print(__doc__.strip())
    sys.exit(0 if len(sys.argv) == 2 else 2)
result = subprocess.run(sys.argv[1:], capture_output=True, text=True)
for stream, text in ((sys.stdout, result.stdout), (sys.stderr, result.stderr)):
    stream.write("".join(line for line in text.splitlines(keepends=True) if UNDERSTOOD not in line))
sys.exit(result.returncode)

# SPDX-License-Identifier: MIT
"""How the Python commands end when interrupted: SIGINT, SIGTERM and SIGHUP
unwind like an exception, so every `with` and `finally` on the way out runs
(a QEMU is closed, a half-written file removed); then one line,
"NAME: interrupted", and exit 128 + the signal's number. A command started
by another command (its parent process's ID in TAMBERLUNE_CALLER) leaves the
line to its caller."""

import contextlib
import os
import signal
import sys


class Interrupted(BaseException):
    def __init__(self, number):
        super().__init__(number)
        self.number = number


def _raise(number, _frame):
    raise Interrupted(number)


@contextlib.contextmanager
def ends_quietly(name):
    """Runs the body with the signals turned into Interrupted, and ends the
    process on one the way this module says."""
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, _raise)
    try:
        yield
    except Interrupted as interrupt:
        # No second interrupt while the line is written and the process ends.
        for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)
        if os.environ.get("TAMBERLUNE_CALLER") != str(os.getppid()):
            print(f"\n{name}: interrupted", file=sys.stderr)
        sys.stderr.flush()
        os._exit(128 + interrupt.number)

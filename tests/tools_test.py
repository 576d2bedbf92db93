# SPDX-License-Identifier: MIT
"""The commands a person runs: help and version texts, bad input refused
before anything is built, files that are no image, key and certificate
mistakes; and, with a machine (label boot), a piped key and a driver that is
killed. Usage: tools_test.py BUILD-DIR VERSION [unittest arguments]
"""

import contextlib
import os
import re
import resource
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
import unittest

import harness
import machines
import serial_session

REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
BUILD = VERSION = None


def run(*command, stdin=subprocess.DEVNULL, cwd=None, timeout=60):
    # A program the build made runs as its tree's architecture runs.
    if command[0].startswith(BUILD + os.sep):
        command = harness.host_program(*command)
    return subprocess.run(command, stdin=stdin, capture_output=True, text=True, cwd=cwd, timeout=timeout)


def running(pid):
    """Whether any thread of a process still runs; one that ended but was not
    yet reaped does not. (Its first thread can be a zombie while the others
    still wind down, holding the process's files.)"""
    try:
        threads = os.listdir(f"/proc/{pid}/task")
    except FileNotFoundError:
        return False
    for thread in threads:
        try:
            with open(f"/proc/{pid}/task/{thread}/stat") as stat:
                if stat.read().rsplit(")", 1)[1].split()[0] not in "ZX":
                    return True
        except FileNotFoundError:
            pass
    return False


def catches(pid, number):
    """Whether a process has a handler of its own for the signal."""
    with contextlib.suppress(OSError), open(f"/proc/{pid}/status") as status:
        caught = next(line for line in status if line.startswith("SigCgt:")).split()[1]
        return int(caught, 16) >> (number - 1) & 1
    return False


def within(seconds, found):
    """What found() returns once it is something, asked every 50 ms for at most seconds."""
    for _ in range(int(seconds * 20)):
        if result := found():
            return result
        time.sleep(0.05)
    return found()


def tool(path):
    return os.path.join(REPO, path)


class Arguments(unittest.TestCase):
    def test_every_command_explains_itself(self):
        commands = [tool(f"tools/{name}") for name in (
            "run.sh", "disk.sh", "sign.sh", "fuzz.sh", "bench.sh", "test.sh", "install-deps.sh",
            "build.sh")]
        commands += [f"{sys.executable} {tool(path)}" for path in (
            "lib/uboot.py", "lib/make_disk.py", "build-steps/image_sizes.py", "build-steps/stack_budget.py",
            "bench/run.py", "build-steps/link_image.py", "build-steps/package_files.py")]
        commands += [os.path.join(BUILD, path) for path in (
            "tools/tamberlune-inspect", "tools/tamberlune-sim", "make_help_resource")]
        for command in commands:
            with self.subTest(command=command):
                result = run(*command.split(), "--help", timeout=10)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn("usage", result.stdout.lower())
                self.assertIn("example", result.stdout.lower())

    def test_host_tools_say_their_version(self):
        for name in ("tamberlune-inspect", "tamberlune-sim"):
            result = run(os.path.join(BUILD, "tools", name), "--version")
            self.assertEqual((result.returncode, result.stdout), (0, f"{name} {VERSION}\n"))

    def test_bad_arguments_are_refused_in_one_line_before_anything_is_built(self):
        inspect, sim = (os.path.join(BUILD, "tools", name) for name in ("tamberlune-inspect", "tamberlune-sim"))
        every = [tool(f"tools/{name}") for name in ("build.sh", "run.sh", "disk.sh", "sign.sh", "test.sh", "fuzz.sh",
                                                    "bench.sh", "firmware.sh")] + [
                     inspect, sim, os.path.join(BUILD, "make_help_resource")]
        rows = [(command, ["--bogus"], "unknown option '--bogus'") for command in every]
        rows += [(command, [""], "an empty argument") for command in every if not command.endswith(("build.sh", "test.sh", "fuzz.sh", "bench.sh", "sim"))]
        rows += [
            (tool("tools/run.sh"), ["--key", "p", "--key", "r"], "--key given twice"),
            (tool("tools/run.sh"), ["--key=pp"], "not 'pp'"),
            (tool("tools/run.sh"), ["--arch"], "--arch needs a value"),
            (tool("tools/run.sh"), ["--arch="], "--arch needs a value, not an empty one"),
            (tool("tools/run.sh"), ["--boot-flow=yes"], "--boot-flow takes no value"),
            (tool("tools/run.sh"), ["extra"], "one argument too many: 'extra'"),
            (tool("tools/build.sh"), ["--quiet", "--quiet"], "--quiet given twice"),
            (tool("tools/firmware.sh"), ["../x"], "a Debian suite such as trixie, not '../x'"),
            (sim, ["--key", "--no-key"], "--key needs a value"),  # an option is never a value
            (sim, ["--help", "--bogus"], "unknown option '--bogus'"),  # help does not hide a bad word
            (inspect, ["--help", "--bogus"], "unknown option '--bogus'"),
            (tool("tools/fuzz.sh"), ["--seconds", "0"], "above 0, not '0'"),
            (tool("tools/fuzz.sh"), ["--seconds=ten"], "not 'ten'"),
            (tool("tools/bench.sh"), ["--calls", "-5"], "not '-5'"),
            (tool("tools/bench.sh"), ["--calls", "--update-docs"], "--calls needs a value"),
            (tool("tools/test.sh"), ["now"], "one argument too many: 'now'"),
            (tool("tools/disk.sh"), ["--out"], "--out needs a value"),
            (tool("tools/disk.sh"), ["a.img", "b.img"], "one argument too many: 'b.img'"),
            (tool("tools/disk.sh"), ["a.img", "--out", "b.img"], "two disk files: 'a.img' and --out 'b.img'"),
            (tool("tools/disk.sh"), ["--boot-flow", "--arch", "mips"], "not 'mips'"),
            (tool("tools/disk.sh"), ["--arch", "arm"], "the plain disk holds every machine's image"),
            (tool("tools/disk.sh"), ["--key", "p"], "--key goes with --boot"),
            (tool("tools/disk.sh"), ["--board", "cubieboard"], "--board takes raspi3b or orangepi-pc, not 'cubieboard'"),
            (tool("tools/disk.sh"), ["--board", "raspi3b", "--arch", "aa64"], "--board names the machine already"),
            (tool("tools/disk.sh"), ["--boot", "--arch", "orangepi-pc"], "not 'orangepi-pc'"),
            (tool("tools/run.sh"), ["--arch", "raspi3b"], "not 'raspi3b'"),
            (tool("tools/disk.sh"), ["--boot", "--key", "pp"], "not 'pp'"),
            (tool("tools/disk.sh"), ["--boot", "--arch=arm", "--key=pp"], "not 'pp'"),
            (tool("tools/sign.sh"), ["k", "c", "i", "s", "extra"], "one argument too many: 'extra'"),
            (tool("tools/sign.sh"), ["k"], "give at least KEY and CERT"),
            (tool("tools/install-deps.sh"), ["mips"], "JOB is build, boot, sign, bench, fuzz or test, not 'mips'"),
        ]
        # Every machine, by its name or an alias, is one the commands take: a
        # bad key is then the only fault.
        rows += [(tool("tools/run.sh"), ["--arch", arch, "--key", "pp"], "not 'pp'")
                 for arch in [*machines.BOOT_NAMES]]
        for command, arguments, message in rows:
            with self.subTest(command=os.path.basename(command), arguments=arguments):
                result = run(command, *arguments, timeout=10)
                self.assertEqual((result.returncode, result.stdout), (2, ""), result.stderr)
                self.assertRegex(result.stderr, rf"^[a-z_-]+: .*{re.escape(message)}.* \(--help for more\)\n$")

    def test_a_key_name_or_one_character_is_what_a_person_types(self):
        self.assertEqual([machines.key_bytes(key) for key in ("esc", "none", "x")], [b"\x1b", b"", b"x"])
        self.assertRaisesRegex(ValueError, "not 'pp'", machines.key_bytes, "pp")


class Readme(unittest.TestCase):
    def test_machine_table_is_the_machine_tables(self):
        """The README's table of machines says what lib/machines.json says."""
        with open(os.path.join(REPO, "README.md"), encoding="utf-8") as readme:
            rows = re.findall(r"^\| ([^|`]+) \| (`.+?`) \| `(\w+\.efi)` \| `\\EFI\\BOOT\\(\w+\.EFI)` \| (\d+) bytes \|$",
                              readme.read(), re.M)
        table = [(machine["title"], ", ".join(f"`{boot['name']}`" for boot in machine["boots"] if "board" not in boot),
                  machines.image_name(name), machine["removable"], str(machine["budget"]))
                 for name, machine in machines.MACHINES.items()]
        self.assertEqual(rows, table)

    def test_board_table_is_the_machine_tables(self):
        """The README's table of boards names each board, its package and folders as lib/machines.json does."""
        with open(os.path.join(REPO, "README.md"), encoding="utf-8") as readme:
            rows = re.findall(r"^\| ([^|`]+) \| `([\w-]+)` \| `([\w-]+)` (.+?) \|", readme.read(), re.M)
        table = [(board["title"], name, board["package"], ", ".join(dict.fromkeys(
            f"`{folder}`" for folder in board["folders"].values()))) for name, board in machines.BOARDS.items()]
        self.assertEqual(sorted(rows), sorted(table))


class TerminalQuery(unittest.TestCase):
    def test_the_query_never_reaches_the_terminal_however_reads_split_it(self):
        query = b"\x1b7\x1b[r\x1b[999;999H\x1b[6n\x1b8"  # what U-Boot's UEFI console sends, written out
        stream = b"8000 bytes read\r\n" + query + b"Booting\r\n\x1b[0m=> "
        for cut in range(1, len(stream)):
            shown = bytearray()
            console = serial_session.Console(type("Out", (), {"write": shown.extend, "flush": lambda self: None})())
            console.write(stream[:cut])
            console.write(stream[cut:])
            console.flush()
            self.assertEqual(bytes(shown), b"8000 bytes read\r\nBooting\r\n\x1b[0m=> ", cut)


class StackFigure(unittest.TestCase):
    def test_every_cycle_is_bounded_or_the_figure_refused(self):
        import stack_budget
        sizes = {"ImageEntry": 8, "FormatCore": 100, "CheckFailed": 10, "ReportAssertion": 20,
                 "ReadDirective": 10, "Renamed": 30}
        # A check's report formats again, and its own checks report nothing:
        # the cycle through the check is twice deep.
        reported = {"ImageEntry": {"FormatCore"}, "FormatCore": {"CheckFailed"},
                    "CheckFailed": {"ReportAssertion"}, "ReportAssertion": {"FormatCore"}}
        depth, path = stack_budget.deepest("ImageEntry", sizes, reported, {}, 8)
        self.assertEqual([name for name, _ in path], ["ImageEntry", "FormatCore", "CheckFailed", "ReportAssertion",
                                                      "FormatCore"])
        self.assertEqual(depth, 16 + 2 * 108 + 18 + 28)  # each frame with its return address
        # A call graph that was not read (COFF's leading underscores left on
        # the names, say) never reaches the engine: no figure.
        with self.assertRaisesRegex(stack_budget.Unbounded, "does not reach FormatCore"):
            stack_budget.figure("ImageEntry", sizes, {"_ImageEntry": {"_FormatCore"}}, 8)
        # A cycle that holds no function of known depth has no figure.
        with self.assertRaisesRegex(stack_budget.Unbounded, "cycle of unknown depth: ReadDirective > Renamed"):
            stack_budget.deepest("ImageEntry", sizes, {"ImageEntry": {"ReadDirective"},
                                                      "ReadDirective": {"Renamed"}, "Renamed": {"ReadDirective"}},
                                 {}, 8)


class Paths(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.folder = self.directory.name

    def tearDown(self):
        self.directory.cleanup()

    def test_the_link_step_passes_on_every_error_of_the_linker(self):
        lld_link = shutil.which("lld-link") or shutil.which("lld-link-14")
        result = run(sys.executable, tool("build-steps/link_image.py"), lld_link, "/machine:x64",
                     "/out:" + os.path.join(self.folder, "x.efi"), os.path.join(self.folder, "absent.obj"))
        self.assertNotEqual(result.returncode, 0)
        self.assertIn("absent.obj", result.stderr)

    def test_an_arm_image_marked_armnt_is_still_arm_to_the_disk_writer(self):
        import make_disk
        import pefile
        with open(os.path.join(BUILD, "TamberluneARM.efi"), "rb") as file:
            data = bytearray(file.read())
        machine_at = pefile.PE(data=bytes(data), fast_load=True).FILE_HEADER.get_field_absolute_offset("Machine")
        data[machine_at:machine_at + 2] = (0x01C4).to_bytes(2, "little")
        marked = os.path.join(self.folder, "armnt.efi")
        with open(marked, "wb") as file:
            file.write(data)
        self.assertEqual(make_disk.removable_path(marked), "EFI/BOOT/BOOTARM.EFI")

    def test_disk_paths_are_the_callers_and_nothing_is_left_behind(self):
        image = os.path.join(BUILD, "Tamberlune.efi")
        write = [sys.executable, tool("lib/make_disk.py"), image]
        result = run(*write, "relative.img", cwd=self.folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(os.path.isfile(os.path.join(self.folder, "relative.img")))
        # A new disk has the mode the umask gives; a replaced one keeps its own.
        umask = os.umask(0o022)
        os.umask(umask)
        mode = lambda path: os.stat(os.path.join(self.folder, path)).st_mode & 0o777
        self.assertEqual(mode("relative.img"), 0o666 & ~umask)
        # A symbolic link is written through: the file it names gets the disk.
        os.symlink("relative.img", os.path.join(self.folder, "link.img"))
        with open(os.path.join(self.folder, "relative.img"), "r+b") as disk:
            disk.truncate(512)
        os.chmod(os.path.join(self.folder, "relative.img"), 0o640)
        self.assertEqual(run(*write, "link.img", cwd=self.folder).returncode, 0)
        self.assertTrue(os.path.islink(os.path.join(self.folder, "link.img")))
        self.assertEqual((os.path.getsize(os.path.join(self.folder, "relative.img")), mode("relative.img")),
                         (34 << 20, 0o640))
        read_only = os.path.join(self.folder, "read-only.img")
        with open(read_only, "wb") as file:
            file.write(b"kept")
        os.chmod(read_only, 0o444)
        os.symlink("/dev/null", os.path.join(self.folder, "device.img"))
        for target, message in (([self.folder], "is a folder"),
                                ([os.path.join(self.folder, "missing", "d.img")], "no folder"),
                                (["/dev/zero"], "is a character device"),
                                ([os.path.join(self.folder, "device.img")], "is a character device"),
                                ([read_only], "is read-only; it is left as it is"),
                                ([image, read_only], "are for the same machine")):
            with self.subTest(target=target):
                result = run(*write, *target)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)
                self.assertEqual(len(result.stderr.strip().splitlines()), 1, result.stderr)
        with open(read_only, "rb") as file:
            self.assertEqual((file.read(), os.stat(read_only).st_mode & 0o777), (b"kept", 0o444))
        self.assertTrue(os.path.islink(os.path.join(self.folder, "device.img")))
        # A boot-flow disk is for one machine: an image for another is refused.
        mixed = run(sys.executable, tool("lib/make_disk.py"), "--boot-flow", image, image, image, image,
                    os.path.join(BUILD, "TamberluneARM.efi"), os.path.join(self.folder, "flow.img"))
        self.assertEqual((mixed.returncode, "are for different machines" in mixed.stderr), (1, True), mixed.stderr)
        self.assertEqual(sorted(os.listdir(self.folder)), ["device.img", "link.img", "read-only.img", "relative.img"])

    def test_no_command_writes_into_a_device(self):
        key, cert = harness.key_pair(self.folder, "one")
        image = os.path.join(BUILD, "Tamberlune.efi")
        backing = os.path.join(self.folder, "backing.img")
        with open(backing, "wb") as file:
            file.write(bytes(range(256)) * 4096)
        # A loop device over a file of ours, where this machine lets us make one.
        made = run("losetup", "--find", "--show", backing)
        devices = ["/dev/zero"] + ([made.stdout.strip()] if made.returncode == 0 else [])
        try:
            for device in devices:
                kind = "character" if device == "/dev/zero" else "block"
                for command, message in (([tool("tools/sign.sh"), key, cert, image, device],
                                          f"sign: {device} is a {kind} device, never written"),
                                         ([tool("tools/disk.sh"), device],
                                          f"disk: {device} is a {kind} device, never written: write a disk file, then "
                                          f"copy it: tools/disk.sh tamberlune-disk.img && sudo dd "
                                          f"if=tamberlune-disk.img of={device} ")):
                    with self.subTest(command=os.path.basename(command[0]), device=device):
                        result = run(*command)
                        self.assertEqual(result.returncode, 1, result.stderr)
                        self.assertTrue(result.stderr.startswith(message), result.stderr)
                        self.assertEqual(len(result.stderr.splitlines()), 1, result.stderr)
                        self.assertNotIn("built:", result.stdout)  # refused before anything was built
        finally:
            if len(devices) > 1:
                run("losetup", "--detach", devices[1])
        with open(backing, "rb") as file:
            self.assertEqual(file.read(), bytes(range(256)) * 4096)

    def test_interrupted_commands_end_in_one_line_and_leave_nothing(self):
        # disk.sh while it builds and writes, sign.sh while it signs: each
        # signal reaches the command alone (not its process group).
        key, cert = harness.key_pair(self.folder, "one")
        image = os.path.join(BUILD, "Tamberlune.efi")
        # Several moments into each run: while it makes its scratch files too.
        for number, status, delay in ((signal.SIGINT, 130, 0.3), (signal.SIGTERM, 143, 0.3),
                                      (signal.SIGTERM, 143, 0.1), (signal.SIGINT, 130, 0.6)):
            for command, name in (([tool("tools/disk.sh"), "--build-dir", BUILD, os.path.join(self.folder, "disk.img")],
                                   "disk"),
                                  ([tool("tools/sign.sh"), "--replace", key, cert, image,
                                    os.path.join(self.folder, "signed.efi")], "sign")):
                with self.subTest(command=name, signal=number.name, delay=delay):
                    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                               env={**os.environ, "TMPDIR": self.folder})
                    # The moments count from when the command handles
                    # interrupts (its traps catch SIGTERM; bash itself always
                    # catches SIGINT): before, the shell is still starting,
                    # which on a loaded machine takes longer than the delay.
                    within(10, lambda: catches(process.pid, signal.SIGTERM))
                    time.sleep(delay)
                    process.send_signal(number)
                    out, err = process.communicate(timeout=60)
                    if process.returncode:  # else it was done before the signal came
                        self.assertEqual((process.returncode, err), (status, f"{name}: interrupted\n"), out)
                    # Nothing half-written: no output, or a whole one put in place before the signal.
                    left = sorted(set(os.listdir(self.folder)) - {"one.crt", "one.key"})
                    self.assertIn(left, ([], [os.path.basename(command[-1])]))
                    if left:
                        self.assertTrue(run("sbverify", "--cert", cert, command[-1]).returncode == 0 if name == "sign"
                                        else os.path.getsize(command[-1]) == 34 << 20)
                        os.unlink(command[-1])

    def test_an_interrupted_command_leaves_nothing_running(self):
        # A build's cmake, make and compilers end with it, not on as orphans,
        # also when another command runs the build.
        # gone.sh's child leaves behind, when terminated, a process that ends
        # a second later, that ignores the signal, or that starts another
        # such one as it ends: each has ended by the time the command has.
        gone = os.path.join(self.folder, "gone.sh")
        with open(gone, "w") as file:
            file.write(textwrap.dedent(f"""\
                if [ "$1" = linger ]; then
                  trap "$3" TERM; mkdir "$2"; while :; do sleep 0.1; done
                fi
                . "{REPO}/lib/command.sh"
                tamberlune_command gone
                tamberlune_run sh -c 'bash "$0" linger "$1" "$2" 2>/dev/null & wait' "$0" "$1" "$2"
                """))
        # "group": SIGINT to the whole process group of a command started as a
        # shell without job control starts one in the background, with SIGINT
        # ignored (as a CI runner or a parent script's "command &" does).
        build = [tool("tools/build.sh"), "--quiet", "--build-dir", "{}"]
        for label, name, command, started, group in (
                ("build", "build", build, "CMakeFiles", False),
                ("group", "build", build, "CMakeFiles", True),
                # Commands that build first: the nested build ends with them.
                ("disk", "disk", [tool("tools/disk.sh"), "--build-dir", "{}", "{}.img"], "CMakeFiles", True),
                ("run", "run", [tool("tools/run.sh"), "--build-dir", "{}", "--key", "none"], "CMakeFiles", False),
                ("slow", "gone", ["bash", gone, "{}", "sleep 1; exit"], "", False),
                ("deaf", "gone", ["bash", gone, "{}", ""], "", False),
                ("heir", "gone", ["bash", gone, "{}", 'bash "$0" linger "$2" "sleep 1; exit" & exit'], "", False)):
            tree = os.path.join(self.folder, label)
            with self.subTest(command=label):
                ignore = (lambda: signal.signal(signal.SIGINT, signal.SIG_IGN)) if group else None
                process = subprocess.Popen([part.format(tree) for part in command], stdout=subprocess.DEVNULL,
                                           stderr=subprocess.PIPE, text=True, start_new_session=group,
                                           preexec_fn=ignore)
                within(60, lambda: os.path.exists(os.path.join(tree, started)))
                if group:
                    os.killpg(process.pid, signal.SIGINT)
                else:
                    process.send_signal(signal.SIGTERM)
                _, err = process.communicate(timeout=60)
                self.assertEqual((process.returncode, err), (130 if group else 143, f"{name}: interrupted\n"))

                def in_tree(pid):  # the command line of a process still running there
                    with contextlib.suppress(OSError), open(f"/proc/{pid}/cmdline", "rb") as file:
                        line = file.read().replace(b"\0", b" ")
                        if running(pid) and (os.readlink(f"/proc/{pid}/cwd").startswith(tree) or tree.encode() in line):
                            return line
                self.assertEqual([line for pid in os.listdir("/proc") if pid.isdigit() and (line := in_tree(pid))], [])

    def test_a_missing_prerequisite_is_named_before_anything_is_built(self):
        tree = os.path.join(self.folder, "tree")
        for command, message in (([tool("tools/run.sh"), "--firmware", "/nonexistent"],
                                  "run: no U-Boot release in /nonexistent: fetch one with tools/firmware.sh"),
                                 ([tool("tools/disk.sh"), "--board", "raspi3b", "--firmware", "/nonexistent"],
                                  "disk: no U-Boot release in /nonexistent")):
            with self.subTest(command=os.path.basename(command[0])):
                result = run(*command, "--build-dir", tree)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertTrue(result.stderr.startswith(message), result.stderr)
                self.assertFalse(os.path.exists(tree))

    def test_install_deps_installs_what_dpkg_does_not_call_installed(self):
        # dpkg-query says each status, apt-get writes what it was asked into the log.
        stubs, log = os.path.join(self.folder, "stubs"), os.path.join(self.folder, "apt.log")
        os.mkdir(stubs)
        for name, body in (("dpkg-query", 'printf %s "$STATUS"'), ("apt-get", f'echo "$*" >>{log}')):
            with open(os.path.join(stubs, name), "w") as file:
                file.write(f"#!/bin/sh\n{body}\n")
            os.chmod(os.path.join(stubs, name), 0o755)
        for status in ("install ok installed", "unknown ok not-installed", "deinstall ok config-files",
                       "install ok half-configured"):
            with self.subTest(status=status):
                missing = status != "install ok installed"
                result = subprocess.run([tool("tools/install-deps.sh"), "sign"], capture_output=True, text=True,
                                        timeout=60, env={**os.environ, "STATUS": status,
                                                         "PATH": stubs + os.pathsep + os.environ["PATH"]})
                self.assertEqual(result.returncode, int(missing and os.getuid() != 0), result.stderr)
                asked = result.stderr + (open(log).read() if os.path.exists(log) else "")
                self.assertEqual("sbsigntool openssl" in asked, missing, asked)
                with contextlib.suppress(FileNotFoundError):
                    os.unlink(log)

    def test_an_interrupted_write_or_another_users_file_leaves_all_as_it_was(self):
        import interrupts
        import output_file

        def interrupted(path, interrupt):
            with open(path, "wb") as file:
                file.write(bytes(1 << 20))
            raise interrupt

        for interrupt in (KeyboardInterrupt(), SystemExit(1), interrupts.Interrupted(signal.SIGTERM)):
            with self.subTest(interrupt=type(interrupt).__name__), self.assertRaises(type(interrupt)):
                output_file.write(os.path.join(self.folder, "disk.img"), lambda path: interrupted(path, interrupt))
            self.assertEqual(os.listdir(self.folder), [])
        if os.getuid() != 0:
            return  # only root can make a file of another user's
        # Another user's file in a folder that lets anyone make files, where a
        # rename onto it would succeed: the check asks about the file itself.
        theirs = os.path.join(self.folder, "shared", "theirs.efi")
        os.mkdir(os.path.dirname(theirs))
        for path, mode in ((self.folder, 0o755), (os.path.dirname(theirs), 0o777)):
            os.chmod(path, mode)
        with open(theirs, "wb") as file:
            file.write(b"kept")
        # The system's Python, which every user may run.
        result = subprocess.run(["/usr/bin/python3", tool("lib/output_file.py"), "sign", theirs], capture_output=True,
                                text=True, timeout=60, preexec_fn=lambda: (os.setgid(65534), os.setuid(65534)))
        self.assertEqual((result.returncode, result.stderr), (1, f"sign: {theirs} is read-only; it is left as it is: "
                                                                  f"make it writable or name another file\n"))

    def test_a_scratch_folder_that_cannot_be_made_is_named(self):
        result = subprocess.run([tool("tools/run.sh"), "--boot-flow", "--key", "p"], capture_output=True, text=True,
                                env={**os.environ, "TMPDIR": os.path.join(self.folder, "absent")}, timeout=60)
        self.assertEqual((result.returncode, result.stderr),
                         (1, f"run: cannot make a scratch folder in {self.folder}/absent (read-only, full or "
                             f"missing?): set TMPDIR to a folder that takes files\n"))

    def test_a_failed_resource_write_leaves_nothing_behind(self):
        target = os.path.join(self.folder, "HelpResource.obj")
        os.makedirs(os.path.join(target, "inside"))  # the rename onto it fails
        result = run(os.path.join(BUILD, "make_help_resource"), target)
        self.assertEqual((result.returncode, sorted(os.listdir(self.folder))), (1, ["HelpResource.obj"]))
        self.assertIn("cannot write", result.stderr)

    def test_inspect_refuses_what_is_no_image_without_reading_it(self):
        inspect = os.path.join(BUILD, "tools", "tamberlune-inspect")
        huge = os.path.join(self.folder, "huge.img")
        with open(huge, "wb") as file:
            file.truncate(64 << 30)  # sparse: no disk is used
        large = os.path.join(self.folder, "large.img")
        with open(large, "wb") as file:
            file.truncate(1 << 30)
        for path, message in ((self.folder, "a folder"), ("/dev/zero", "not a regular file"),
                              (huge, "more than any image can hold"), (large, "no MZ header"),
                              (os.path.join(self.folder, "absent"), "cannot read it")):
            with self.subTest(path=path):
                result = run(inspect, path, timeout=60)
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)
        # Nothing was read whole: no run of the tool came near the 1 GiB file's size.
        largest = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
        self.assertLess(largest, 256 << 20)

    def test_sign_names_the_mistake_in_one_line(self):
        key, cert = harness.key_pair(self.folder, "one")
        _, other = harness.key_pair(self.folder, "two")
        edwards = harness.key_pair(self.folder, "three", "ed25519")
        signed_already = os.path.join(self.folder, "signed-already.efi")
        self.assertEqual(run(tool("tools/sign.sh"), key, cert, os.path.join(BUILD, "Tamberlune.efi"),
                             signed_already).returncode, 0)
        # And again by sbsign alone, which adds a second signature.
        subprocess.run(["sbsign", "--key", key, "--cert", cert, "--output", signed_already, signed_already],
                       check=True, capture_output=True)
        der = os.path.join(self.folder, "one.der")
        subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", der], check=True)
        image = os.path.join(BUILD, "Tamberlune.efi")
        signed = os.path.join(self.folder, "signed.efi")
        for arguments, message in (([key, other], "do not belong together"),
                                   ([cert, key], "give the key first"),
                                   ([key, der], "is a DER certificate"),
                                   ([key, cert, image, os.path.join(self.folder, "no", "s.efi")], "no folder"),
                                   ([*edwards], "is no RSA key (ED25519); sbsign and UEFI take RSA"),
                                   ([key, cert, os.path.join(self.folder, "absent.efi"), signed],
                                    f"no image at {os.path.join(self.folder, 'absent.efi')}\n"),
                                   ([key, cert, signed_already, signed], "is signed already")):
            with self.subTest(arguments=arguments):
                result = run(tool("tools/sign.sh"), *arguments, *([image, signed] if len(arguments) == 2 else []))
                self.assertEqual(result.returncode, 1)
                self.assertIn(message, result.stderr)
                self.assertEqual(len(result.stderr.strip().splitlines()), 1, result.stderr)
                self.assertFalse(os.path.exists(signed))
        # A signed file put in place of one there keeps that one's mode.
        with open(signed, "wb") as file:
            file.write(b"old")
        os.chmod(signed, 0o600)
        self.assertEqual(run(tool("tools/sign.sh"), key, cert, image, signed).returncode, 0)
        self.assertEqual(os.stat(signed).st_mode & 0o777, 0o600)
        os.unlink(signed)
        # --replace signs a signed image anew: one signature, not three.
        self.assertEqual(run(tool("tools/sign.sh"), "--replace", key, cert, signed_already, signed).returncode, 0)
        self.assertEqual(re.findall(r"^signature \d+$", run("sbverify", "--list", signed).stdout, re.M), ["signature 1"])


class Machine(unittest.TestCase):
    """Each of these starts a QEMU."""

    def test_a_piped_key_is_pressed_and_no_byte_is_lost(self):
        # run.sh starts the image from U-Boot's prompt; disk.sh --boot boots the
        # disk through U-Boot's own flow, which goes on to its prompt. Input at
        # its end is no key at all; supervisor-mode RISC-V is started by OpenSBI.
        with tempfile.TemporaryDirectory() as scratch:
            for command, typed in (([tool("tools/run.sh"), "--build-dir", BUILD], b"p\n"),
                                   ([tool("tools/disk.sh"), "--build-dir", BUILD, "--boot",
                                     os.path.join(scratch, "disk.img")], b"p\n"),
                                   ([tool("tools/run.sh"), "--build-dir", BUILD, "--arch", "riscv64-smode"], b"")):
                with self.subTest(command=command[0], arch=command[-1]):
                    result = subprocess.run(command, input=typed, capture_output=True, timeout=240)
                    self.assertEqual(result.returncode, 0, result.stderr)
                    self.assertNotIn(b"\x1b[6n", result.stdout)
                    if command[0].endswith("run.sh"):
                        boot = command[-1] if command[-2] == "--arch" else "x64"
                        self.assertIn(f"U-Boot is up on {boot};".encode(), result.stdout)
                    recorded = re.findall(rb"Recorded (\w+):", result.stdout)
                    if not typed:
                        self.assertEqual(recorded, [])
                        continue
                    _, confirmation, variable = harness.KEYS["p"]
                    self.assertIn(f"{harness.MENU[-1]}\r\r\n{confirmation}\r\r\n".encode(), result.stdout)
                    self.assertEqual(recorded, [variable.encode()])

    def test_the_boot_flow_run_stops_at_what_the_key_booted(self):
        # Its own scratch disk and TFTP folder, removed after the run; on
        # supervisor-mode RISC-V, whose payloads are the machine-mode build's.
        for command in ([tool("tools/run.sh"), "--build-dir", BUILD, "--boot-flow"],
                        [tool("tools/disk.sh"), "--build-dir", BUILD, "--boot-flow", "--boot", "--out", "{}/d.img"]):
            with self.subTest(command=command[0]), tempfile.TemporaryDirectory() as scratch:
                result = subprocess.run([part.format(scratch) for part in command] + [
                    "--arch", "riscv64-smode", "--key", "p"], capture_output=True, timeout=240,
                    env={**os.environ, "TMPDIR": scratch})
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(b"OpenSBI", result.stdout)  # the boot flow shows the whole console
                self.assertIn(b"Tamberlune: starting network.efi from 10.0.2.2", result.stdout)
                self.assertRegex(result.stdout,
                                 rb"\nboot flow: Tamberlune test payload: network, [0-9.]+ s after the key\n$")
                self.assertEqual(os.listdir(scratch), [] if command[0].endswith("run.sh") else ["d.img"])

    def test_a_boot_on_another_release_than_its_files_say_fails(self):
        # The first release's files, said to be the second's: the boot must
        # notice, or a test of one release could pass on the other.
        first, second = machines.RELEASES[0], machines.RELEASES[1]
        with tempfile.TemporaryDirectory() as root:
            os.symlink(os.path.join(BUILD, "firmware", first["suite"], "usr"), os.path.join(root, "usr"))
            with open(os.path.join(root, "version"), "w") as version:
                version.write(second["release"] + "-1\n")
            result = subprocess.run([sys.executable, tool("lib/uboot.py"), "--image", os.path.join(BUILD, "Tamberlune.efi"),
                                     "--key", "none"], capture_output=True, timeout=120,
                                    env={**os.environ, "TAMBERLUNE_FIRMWARE": root})
        self.assertEqual(result.returncode, 1, result.stdout)
        self.assertIn(f"runs U-Boot {first['release']}, not the {second['release']}".encode(), result.stderr)

    def test_a_killed_driver_ends_its_qemu(self):
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGKILL):
            with self.subTest(signal=number.name), tempfile.TemporaryDirectory() as scratch:
                # The driver's scratch disk goes here: a killed driver cannot remove it.
                # Started by no command: it speaks as itself (a command
                # that runs it, tools/test.sh included, names it).
                alone = {name: value for name, value in os.environ.items()
                         if name not in ("TAMBERLUNE_NAME", "TAMBERLUNE_CALLER")}
                driver = subprocess.Popen([sys.executable, tool("lib/uboot.py"), "--image",
                                           os.path.join(BUILD, "Tamberlune.efi"), "--key", "none"],
                                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                          env={**alone, "TMPDIR": scratch})
                # Generous waits: a loaded machine may take seconds for each step.
                qemu = within(60, lambda: run("pgrep", "-P", str(driver.pid), "^qemu-system").stdout.split())
                self.assertTrue(qemu, "no QEMU started")
                driver.send_signal(number)
                _, err = driver.communicate(timeout=60)
                self.assertNotIn(b"Traceback", err)
                if number != signal.SIGKILL:  # one line, and the signal's exit status
                    self.assertEqual((driver.returncode, err.strip()), (128 + number, b"uboot: interrupted"))
                if not within(60, lambda: not running(int(qemu[0]))):
                    os.kill(int(qemu[0]), signal.SIGKILL)
                    self.fail(f"QEMU {qemu[0]} outlived its driver")


if __name__ == "__main__":
    BUILD, VERSION = harness.arguments("tools_test.py BUILD-DIR VERSION [unittest arguments]", 2)
    BUILD = os.path.abspath(BUILD)
    unittest.main()

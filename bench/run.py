#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Runs the benchmark and writes its results table.

Time per call comes from Google Benchmark; instructions per call from
callgrind over a fixed number of calls per job, which is exact on a noisy
machine. Usage: bench/run.py BENCH-BINARY [--calls N] [--write docs/performance.md]
"""

import argparse
import glob
import json
import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile

LIBRARIES = ["Tamberlune", "snprintf", "stb_sprintf", "{fmt}"]


def instructions(binary, calls):
    """{(job, library): instructions per call} from one callgrind run."""
    if shutil.which("valgrind") is None:
        sys.exit("valgrind is missing: apt-get install valgrind")
    counts = {}
    with tempfile.TemporaryDirectory() as directory:
        out = os.path.join(directory, "callgrind.out")
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        binary, "--instructions", str(calls)],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        for path in glob.glob(out + ".*"):
            text = open(path).read()
            name = re.search(r"^desc: Trigger: Client Request: (.*)$", text, re.M)
            total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
            if name and total and "|" in name.group(1):
                job, library = name.group(1).rsplit("|", 1)
                counts[(job, library)] = int(total.group(1)) / calls
    return counts


def times(binary):
    """{(job, library): nanoseconds per call} from Google Benchmark."""
    result = subprocess.run([binary, "--benchmark_format=json", "--benchmark_min_time=0.2"],
                            check=True, capture_output=True, text=True)
    data = json.loads(result.stdout[result.stdout.index("{"):])
    found = {}
    for entry in data["benchmarks"]:
        job, library = entry["name"].rsplit("|", 1)
        scale = {"ns": 1, "us": 1e3, "ms": 1e6}[entry["time_unit"]]
        found[(job, library)] = entry["cpu_time"] * scale
    return found, data.get("context", {})


def cell(text):
    """A table cell: a pipe in a job's format would end the cell."""
    return text.replace("|", "\\|")


def table(jobs, values, unit, digits):
    lines = ["| job | " + " | ".join(LIBRARIES) + " | Tamberlune ÷ best other |",
             "|---|" + "---:|" * (len(LIBRARIES) + 1)]
    for job in jobs:
        cells, others = [], []
        for library in LIBRARIES:
            value = values.get((job, library))
            cells.append("n/a" if value is None else f"{value:.{digits}f}")
            if value is not None and library != "Tamberlune":
                others.append(value)
        ours = values.get((job, "Tamberlune"))
        ratio = f"{ours / min(others):.2f}" if ours and others else "n/a"
        lines.append(f"| {cell(job)} | " + " | ".join(cells) + f" | {ratio} |")
    return "\n".join(lines) + f"\n\n({unit})\n"


def ratios(jobs, values):
    lines = ["| job | " + " | ".join(f"÷ {library}" for library in LIBRARIES[1:]) + " |",
             "|---|" + "---:|" * (len(LIBRARIES) - 1)]
    for job in jobs:
        ours = values.get((job, "Tamberlune"))
        cells = []
        for library in LIBRARIES[1:]:
            other = values.get((job, library))
            cells.append("n/a" if not ours or not other else f"{ours / other:.2f}")
        lines.append(f"| {cell(job)} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n"


# W4, 80 characters of plain text, is bound by the copy itself: widening its
# 8-bit characters into UCS-2 one at a time takes 497 instructions. Its target
# is at most half again that; every other job's is fewer than snprintf's.
PLAIN_LINE_TARGET = 745


def targets(jobs, counts):
    """Fewer instructions than snprintf on every job but W4, and W4 within
    PLAIN_LINE_TARGET: which are met, and by how much the others miss."""
    met, missed = [], []
    for job in jobs:
        ours = counts.get((job, "Tamberlune"))
        if job.split()[0] == "W4":
            bound, name = PLAIN_LINE_TARGET, f"{PLAIN_LINE_TARGET}"
        else:
            bound, name = counts.get((job, "snprintf")), "snprintf"
        if not ours or not bound:
            continue
        (met if ours < bound or (name != "snprintf" and ours <= bound) else missed).append(
            f"{job.split()[0]} (x{ours / bound:.2f} of {name})")
    return (f"- Fewer instructions than snprintf on every job but W4, and W4 within {PLAIN_LINE_TARGET}: "
            f"met on {', '.join(met) or 'none'}; missed on {', '.join(missed) or 'none'}.\n")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0],
                                     epilog="example: bench/run.py build/bench/tamberlune_bench --calls 2000 "
                                            "--write build/performance.md")
    parser.add_argument("binary", help="the built tamberlune_bench")
    parser.add_argument("--calls", type=int, default=20000, help="calls per job under callgrind")
    parser.add_argument("--write", action="append", default=[],
                        help="also write the report to this file (may be repeated); text before "
                             "its '## Results' heading is kept")
    args = parser.parse_args()
    if not os.access(args.binary, os.X_OK):
        parser.error(f"{args.binary} is not an executable: build it first (cmake --build build)")

    counts = instructions(args.binary, args.calls)
    nanoseconds, context = times(args.binary)
    jobs = list(dict.fromkeys(job for job, _ in sorted(counts)))
    compiler = subprocess.run(["clang++", "--version"], capture_output=True, text=True).stdout.split("\n")[0]
    cpu = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                if line.startswith("model name")), platform.processor())
    report = (
        "## Results\n\n"
        f"Machine: {cpu}, {context.get('num_cpus', '?')} cores; {platform.system()} {platform.release()}.\n"
        f"Compiler: {compiler}; the engine as the host library builds it (`-O3`, no vector "
        "registers), the benchmark and stb_sprintf at `-O2`, snprintf and {fmt} as Debian ships them.\n"
        f"Instructions: callgrind over {args.calls} calls per job, the call's own loop included.\n\n"
        "### Targets\n\n" + targets(jobs, counts) +
        "\n### Instructions per call\n\n" + table(jobs, counts, "instructions per call; fewer is better", 0) +
        "\nTamberlune's count as a ratio to each library's:\n\n" + ratios(jobs, counts) +
        "\n### Time per call\n\n" + table(jobs, nanoseconds, "nanoseconds per call, CPU time; less is better", 1) +
        "\nTamberlune's time as a ratio to each library's:\n\n" + ratios(jobs, nanoseconds))
    print(report)
    for path in args.write:
        head = ""
        if os.path.exists(path):
            with open(path) as existing:
                head = existing.read().split("## Results")[0]
        with open(path, "w") as out:
            out.write(head + report)


if __name__ == "__main__":
    main()

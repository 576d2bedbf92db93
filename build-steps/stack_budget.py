#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Worst-case stack depth of any call path from ImageEntry in the image build.

Reads the compiler's per-function stack usage (the .su files that
-fstack-usage writes beside each image object) and the call graph from the
objects' relocations (calls and tail calls alike), and walks every path from
the entry point. Each frame also holds its return address (a word of the
machine's width). The call graph's cycles are found, not named, and each
must contain a function whose depth is known, or the figure is refused:
FormatCore runs once more inside itself for %g, %t and %r, never deeper (the
nested call's templates hold none of them), so every function of its cycle
appears at most twice on a path; every function outside a cycle appears once.
And a report made inside a report cannot fail its own checks (its buffer,
format and sizes are its own), so no check is reported below a report.
Calls into the firmware (through its tables) use the firmware's share of the
stack and are not counted.

Usage: stack_budget.py OBJECT-DIR [--entry NAME] [--fail-above BYTES]
"""

import argparse
import glob
import os
import re
import shutil
import subprocess
import sys

# The return address a call leaves: one word of the machine's.
RETURN_ADDRESS = {"coff-x86-64": 8, "coff-arm64": 8, "elf64-littleriscv": 8, "coff-i386": 4, "coff-arm": 4}
REPORTS = {"ReportAssertion", "ReportDebugMessage"}
CHECK = "CheckFailed"


def frames(directory):
    sizes = {}
    for path in glob.glob(os.path.join(directory, "*.su")):
        for line in open(path):
            parts = line.rstrip("\n").split("\t")
            if len(parts) >= 3:
                name = parts[0].rsplit(":", 1)[-1]
                sizes[name] = int(parts[1])
    return sizes


def calls(directory, functions):
    """The call graph, and the return address's size on this machine."""
    tool = shutil.which("llvm-objdump") or shutil.which("llvm-objdump-14")
    if tool is None:
        sys.exit("stack_budget: llvm-objdump is missing: apt-get install llvm")
    graph = {name: set() for name in functions}
    # IA32 COFF names a C function with a leading underscore; the stack usage does not.
    def plain(name):
        return name[1:] if name not in functions and name[1:] in functions and name[:1] == "_" else name
    word = 8
    for path in glob.glob(os.path.join(directory, "*.obj")):
        text = subprocess.run([tool, "-d", "-r", path], check=True, capture_output=True, text=True).stdout
        kind = re.search(r"file format (\S+)", text)
        word = RETURN_ADDRESS.get(kind.group(1), 8) if kind else word
        current = None
        for line in text.splitlines():
            header = re.match(r"^[0-9a-f]+ <(.+)>:$", line)
            if header:
                # A local label (ELF and ARM objects show them) stays inside its function.
                if not header.group(1).startswith(".L"):
                    current = plain(header.group(1))
                continue
            # Calls and tail calls: the COFF objects of lld-link's machines, RISC-V's ELF ones.
            relocation = re.search(
                r"(?:IMAGE_REL_(?:AMD64_REL32|ARM64_BRANCH26|I386_REL32|ARM_BRANCH24T|ARM_BLX23T|ARM_BRANCH20T)"
                r"|R_RISCV_CALL(?:_PLT)?)\s+(\S+)", line)
            if current in graph and relocation and plain(relocation.group(1)) in functions:
                graph[current].add(plain(relocation.group(1)))
    return graph, word


def base(name):
    """The plain name of a C++ function, Microsoft- or Itanium-mangled."""
    itanium = re.match(r"_ZL?(\d+)", name)
    if itanium:
        return name[itanium.end():itanium.end() + int(itanium.group(1))]
    return re.sub(r"^[?]|@@.*$", "", name)


class Unbounded(Exception):
    pass


def cycle_bounds(graph):
    """How often each function may stand on a path: the known depth of the
    cycle it lies in, or once. Raises Unbounded for a cycle of unknown depth."""
    index, low, stack, on_stack, bounds, counter = {}, {}, [], set(), {}, [0]

    def connect(node):  # Tarjan's strongly connected components
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        for callee in sorted(graph.get(node, ())):
            if callee not in index:
                connect(callee)
                low[node] = min(low[node], low[callee])
            elif callee in on_stack:
                low[node] = min(low[node], index[callee])
        if low[node] == index[node]:
            component = []
            while True:
                member = stack.pop()
                on_stack.discard(member)
                component.append(member)
                if member == node:
                    break
            cyclic = len(component) > 1 or node in graph.get(node, ())
            # A cycle through the check: once outside a report, once inside.
            through_check = any(base(member) == CHECK for member in component)
            if cyclic and not through_check:
                raise Unbounded("a cycle of unknown depth: " + " > ".join(sorted(base(m) for m in component)))
            for member in component:
                bounds[member] = 2 if cyclic else 1

    sys.setrecursionlimit(max(1000, 4 * len(graph) + 100))
    for node in sorted(graph):
        if node not in index:
            connect(node)
    return bounds


# The format engine, which every path that prints goes through.
ENGINE = "FormatCore"


def deepest(name, sizes, graph, visits, word, bounds=None):
    """(bytes, path) of the deepest path from name."""
    bounds = cycle_bounds(graph) if bounds is None else bounds
    visits[name] = visits.get(name, 0) + 1
    in_report = any(visits.get(report, 0) for report in REPORTS)
    best, best_path = 0, []
    for callee in sorted(graph.get(name, ())):
        if callee == CHECK and in_report:
            continue
        if visits.get(callee, 0) < bounds.get(callee, 1):
            depth, path = deepest(callee, sizes, graph, visits, word, bounds)
            if depth > best:
                best, best_path = depth, path
    visits[name] -= 1
    own = sizes[name] + word
    return own + best, [(name, own)] + best_path


def figure(entry, sizes, graph, word):
    """(bytes, path) of the deepest path from entry, which must reach the
    engine: every entry point prints through it, so a path that does not
    means the call graph was not read (names the disassembler spells
    otherwise, say), and its figure would be far too small."""
    depth, path = deepest(entry, sizes, graph, {}, word)
    if ENGINE not in (base(name) for name, _ in path):
        raise Unbounded(f"the deepest path from {entry} does not reach {ENGINE}: the call graph was not read")
    return depth, path


def main():
    parser = argparse.ArgumentParser(description="Worst-case stack depth from the image's entry point.",
                                     epilog="Exit status 0 within the budget. "
                                            "example: stack_budget.py build/image --fail-above 4096")
    parser.add_argument("directory", help="the folder of the image's objects and .su files")
    parser.add_argument("--entry", default="ImageEntry")
    parser.add_argument("--fail-above", type=int, metavar="BYTES")
    args = parser.parse_args()
    sizes = frames(args.directory)
    if args.entry not in sizes:
        sys.exit(f"stack_budget: no stack usage for {args.entry} in {args.directory}: "
                 "build the image first (its objects carry -fstack-usage)")
    graph, word = calls(args.directory, sizes)
    try:
        depth, path = figure(args.entry, sizes, graph, word)
    except Unbounded as error:
        sys.exit(f"stack_budget: {error}; no figure can be given for it")
    names = " > ".join(f"{base(name)} {size}" for name, size in path)
    print(f"worst-case stack from {args.entry}: {depth} bytes: {names}")
    if args.fail_above is not None and depth > args.fail_above:
        print(f"stack_budget: {depth} bytes exceeds the budget of {args.fail_above}", file=sys.stderr)
        sys.exit(1)


if __name__ == "__main__":
    main()

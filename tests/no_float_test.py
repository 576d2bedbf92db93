# SPDX-License-Identifier: MIT
"""No floating-point or vector instruction in an image: the firmware may start
it with that unit off (x86-64 U-Boot leaves SSE off), and one such instruction
faults. Disassembles every executable section and fails on any instruction
that names a floating-point or vector register.
Usage: no_float_test.py IMAGE...
"""

import re
import shutil
import struct
import subprocess
import sys
import tempfile

import pefile

import machines

# Registers by the disassembler's machine names.
X86 = re.compile(r"%(?:[xyz]mm\d+|mm\d|st\b|st\(\d\)|k[0-7]\b)")
REGISTERS = {
    "x86-64": X86,
    "i386": X86,
    # VFP and NEON: single, double and quad registers and the status registers.
    "arm": re.compile(r"\b(?:[sdq]\d{1,2}|fpscr|fpexc|mvfr\d)\b"),
    "aarch64": re.compile(r"\b(?:[vqdshb]\d{1,2}|z\d{1,2}|p\d{1,2}|fpcr|fpsr)\b"),
    "riscv64": re.compile(r"\b(?:f(?:t|s|a)\d{1,2}|f\d{1,2}|v\d{1,2}|fcsr|frm|fflags)\b"),
}


def disassembly(tool, image):
    """The image's instructions as llvm-objdump reads them; it knows 32-bit
    ARM PE code only by Windows' machine type (the one lld-link writes), not
    UEFI's, so it reads a copy of such an image with that type."""
    with open(image, "rb") as file, tempfile.NamedTemporaryFile(suffix=".efi") as copy:
        data = bytearray(file.read())
        arm = machines.MACHINES["arm"]
        header = pefile.PE(data=bytes(data), fast_load=True).FILE_HEADER if data[:2] == b"MZ" else None
        if header and header.Machine == machines.pe_machine(arm):
            struct.pack_into("<H", data, header.get_field_absolute_offset("Machine"), int(arm["linker_machine"], 16))
            copy.write(data)
            copy.flush()
            image = copy.name
        return subprocess.run([tool, "-d", "--no-show-raw-insn", image], check=True,
                              capture_output=True, text=True).stdout


def offending(image):
    tool = shutil.which("llvm-objdump") or shutil.which("llvm-objdump-14")
    if tool is None:
        sys.exit("no_float_test: llvm-objdump is missing: apt-get install llvm")
    text = disassembly(tool, image)
    kind = re.search(r"file format \S+-(x86-64|i386|aarch64|arm64|arm|riscv64|littleriscv)\b", text)
    machine = {"arm64": "aarch64", "littleriscv": "riscv64"}.get(kind.group(1), kind.group(1)) if kind else None
    if machine not in REGISTERS:
        sys.exit(f"no_float_test: {image}: unknown machine in '{text.splitlines()[1] if text else ''}'")
    found = []
    for line in text.splitlines():
        parts = line.split("\t")
        # "address: <tab>mnemonic<tab>operands"
        # Operands without a comment ("//", "#", ARM's "@") or a symbol ("<...>").
        operands = re.split(r"//|#|@|<", parts[2])[0] if len(parts) >= 3 else ""
        if REGISTERS[machine].search(operands) or (machine == "arm" and re.match(r"v[a-z]", parts[1] if len(parts) > 1 else "")):
            found.append(line.strip())
    return machine, found


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: no_float_test.py IMAGE...")
    failed = False
    for image in sys.argv[1:]:
        machine, found = offending(image)
        if found:
            failed = True
            print(f"{image} ({machine}): {len(found)} floating-point or vector instructions:")
            for line in found[:20]:
                print("  " + line)
        else:
            print(f"{image} ({machine}): no floating-point or vector instruction")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

# SPDX-License-Identifier: MIT
"""The engine against the rules of its directives, written apart from it, over
generated formats in all four encodings: every directive character, flags,
widths and precisions (digits and *), line ends, cut-off directives, GUIDs,
times, status values, strings of both widths, and buffers of every size.
Each rule says what a directive prints (what %5.3d of -7 gives), not how
the engine gets there. The status names are the engine's own.
Usage: model_test.py FORMAT-DRIVER [CASES]
"""

import random
import subprocess
import sys

import harness

OUT_UCS2, FMT_UCS2 = 0x40, 0x100
MASK64 = (1 << 64) - 1
# The driver's UINTN, EFI_STATUS and pointers: 64 or 32 bits (main() asks it).
WORD_BITS = 64


def word(value):
    return value & ((1 << WORD_BITS) - 1)
# More fill than any buffer here holds: a fill is cut there anyway.
MOST_FILL = 1000
# %r's names, in the engine's order (success, the warnings 1 to 5, the errors
# 1 to 33): the engine's own, read from it by main().
STATUS_NAMES = []
FLAG_CHARACTERS = " +-,lL"


def signed(value, bits=64):
    value &= (1 << bits) - 1
    return value - (1 << bits) if value >> (bits - 1) else value


def fill(character, count):
    """count of character; a count is a UINTN, and one with its top bit set
    is negative: no fill."""
    count = signed(count, WORD_BITS)
    return character * min(count, MOST_FILL) if count > 0 else ""


class Directive:
    """What a directive's characters say: its flag characters, and its width
    and precision (None where not given), read in any order."""

    def __init__(self):
        self.flags, self.width, self.precision, self.zero = set(), None, None, False


def read_directive(fmt, i, next_slot):
    """Reads the directive whose characters begin at fmt[i], just after the
    %; returns it and the index of the character that ends it: the
    conversion, or the format's end (0)."""
    directive = Directive()
    while True:
        c = fmt[i]
        if c < 128 and chr(c) in FLAG_CHARACTERS:
            directive.flags.add(chr(c).lower())
        elif c == ord("."):
            # A '.' alone leaves the precision at its 1.
            directive.precision = 1 if directive.precision is None else directive.precision
        elif c == ord("*"):
            if directive.precision is None:
                directive.width = word(next_slot())
            else:
                directive.precision = word(next_slot())
        elif ord("0") <= c <= ord("9"):
            # A run of digits: the precision after '.', else the width (one
            # that begins with 0 also asks for zeros).
            number, start = 0, i
            while ord("0") <= fmt[i] <= ord("9"):
                number = word(number * 10 + fmt[i] - ord("0"))
                i += 1
            if directive.precision is None:
                directive.zero |= fmt[start] == ord("0")
                directive.width = number
            else:
                directive.precision = number
            continue
        else:
            return directive, i
        i += 1


def pad(directive, body, least):
    """A field: body, which holds at least least characters (a 64-bit
    count), then blanks to the width: before it, or after it with '-'."""
    if directive.width is None:
        return body
    blanks = fill(" ", directive.width - max(word(least), len(body)))
    return body + blanks if "-" in directive.flags else blanks + body


def number(directive, conversion, value):
    """d, u, x, X and p.

    The value: without l or L (p has it), the argument's low 32 bits, as a
    signed number for d and unsigned for u, x and X; with it, 64 bits,
    signed for d alone. The digits: decimal for d and u, upper-case hex for
    x, X and p; none for a zero of precision 0. The sign: '-' for a negative
    d, else '+' with +, else a blank with ' ' (u and p take no '+', p no
    blank). With ',', decimal digits go in groups of three and the
    precision and 0 mean nothing.

    The digits are at least precision long, zeros in front, the sign before
    them. With 0 (X and p always), a width, no precision and no '-', zeros
    fill the field to the width instead. Then blanks fill it to the width."""
    flags = set(directive.flags)
    precision, zero = directive.precision, directive.zero or conversion in "Xp"
    if conversion == "p":
        flags |= {"l"}
        flags -= {"+", " "}
        value = word(value)
    if conversion == "u":
        flags -= {"+"}
    if "l" not in flags:
        value = signed(value & 0xFFFFFFFF if value & 0x80000000 == 0 else value | ~0xFFFFFFFF)
    hexadecimal = conversion in "xXp"
    if "," in flags and hexadecimal:
        flags -= {","}
    sign = "+" if "+" in flags else " " if " " in flags else ""
    value = signed(value)
    if value < 0:
        if conversion == "d":
            sign, value = "-", -value
        else:
            value &= MASK64 if "l" in flags else 0xFFFFFFFF
    if "," in flags:
        precision, zero = None, False
    if hexadecimal:
        digits = "%X" % value
    elif "," in flags:
        digits = f"{value:,}"
    else:
        digits = "%d" % value
    if precision == 0 and value == 0:
        digits = ""
    # The least the field holds: the precision's digits and the sign (a
    # UINTN count: a precision of its largest value with a sign comes to 0),
    # or with zeros to the width, the width.
    least = word((1 if precision is None else precision) + len(sign))
    if zero and directive.width is not None and "-" not in flags and directive.precision is None:
        least = directive.width
    body = sign + digits
    least = max(least, len(body))
    return pad(directive, sign + fill("0", least - len(body)) + digits, least)


def text(directive, characters, least=1):
    """Text: at most precision characters of it, after blanks up to precision
    characters (or least, where no precision is given), then blanks to the
    width."""
    if directive.precision is not None:
        characters, least = characters[:directive.precision], directive.precision
    return pad(directive, fill(" ", least - len(characters)) + characters, least)


def model(flags, size, fmt, slots, memory):
    """What FormatCore writes, as characters (masked to the output's width),
    by the rules: each plain character as itself; a line end (LF, CR, or
    either pair) as CR LF, a lone CR as CR; and each directive."""
    if size == 0:
        return []
    slots = iter(slots)

    def string_at(pointer, ucs2):
        """The characters before the terminator."""
        data = memory[pointer] + bytes(4)
        units = [data[i] | data[i + 1] << 8 for i in range(0, len(data) - 1, 2)] if ucs2 else list(data)
        return "".join(map(chr, units[:units.index(0)]))

    def value_text(conversion, value):
        """%g, %t and %r's text."""
        if conversion == "g":
            if value == 0:
                return "<null guid>"
            b = memory[value]
            return "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X" % (
                int.from_bytes(b[0:4], "little"), int.from_bytes(b[4:6], "little"),
                int.from_bytes(b[6:8], "little"), *b[8:16])
        if conversion == "t":
            if value == 0:
                return "<null time>"
            b = memory[value]
            return "%02d/%02d/%04d  %02d:%02d" % (b[2], b[3], int.from_bytes(b[0:2], "little"), b[4], b[5])
        value = word(value)
        error = value >> (WORD_BITS - 1)
        code = value & ~(1 << (WORD_BITS - 1))
        if error and 1 <= code <= 33:
            return STATUS_NAMES[5 + code]
        if not error and value <= 5:
            return STATUS_NAMES[value]
        return "%08X" % (value & 0xFFFFFFFF)

    def line_end(i):
        """The line end at i: its text and the index of its last character."""
        pair = fmt[i + 1] == (13 if fmt[i] == 10 else 10)
        return ("\r\n" if fmt[i] == 10 or pair else "\r"), (i + 1 if pair else i)

    out, i = "", 0
    while fmt[i] != 0 and len(out) < size - 1:
        c = fmt[i]
        if c in (10, 13):
            shown, i = line_end(i)
        elif c != ord("%"):
            shown = chr(c)
        else:
            directive, i = read_directive(fmt, i + 1, lambda: next(slots))
            c = fmt[i]
            conversion = chr(c) if c < 128 else ""
            if c == 0:
                # Cut off by the format's end: its width in blanks.
                shown = pad(directive, "", 0)
                i -= 1
            elif conversion and conversion in "duxXp":
                shown = number(directive, conversion, next(slots))
            elif conversion == "c":
                shown = text(directive, chr(next(slots) & 0xFFFF).rstrip("\0"))
            elif conversion and conversion in "asS":
                pointer = next(slots)
                characters = string_at(pointer, conversion != "a") if pointer else "<null string>"
                shown = text(directive, characters, 0)
            elif conversion and conversion in "gtr":
                shown = text(directive, value_text(conversion, next(slots)))
            elif c in (10, 13):
                characters, i = line_end(i)
                shown = text(directive, characters)
            else:
                # Any other character, % among them: itself.
                shown = text(directive, chr(c))
        out += shown
        i += 1
    mask = 0xFFFF if flags & OUT_UCS2 else 0xFF
    return [ord(character) & mask for character in out[:size - 1]]


ALPHABET = list("%%%%%% +-,lL.0123456789**duxXpcasSgtrq%\n\rab") + ["\u0164", "\u0161"]
VALUES = [0, 1, 5, 6, 7, 42, 255, 999, 1000, 1234567, 0x7FFFFFFF, 0x80000000, 0x80000002, 0x8000001D,
          0x80000022, 0xFFFFFFFF, 1 << 32,
          (1 << 63), (1 << 63) | 2, (1 << 63) | 29, (1 << 63) | 34, MASK64, MASK64 - 41]


def directive(rng):
    """A well-formed directive: flags, width, precision, size, conversion."""
    text = "%" + "".join(rng.choice(" +-,0") for _ in range(rng.choice([0, 0, 1, 2, 3])))
    if rng.random() < 0.5:
        text += rng.choice(["*", str(rng.randint(1, 30)), "0" + str(rng.randint(1, 12))])
    if rng.random() < 0.4:
        text += "." + rng.choice(["", "*", "0", str(rng.randint(1, 12))])
    if rng.random() < 0.3:
        text += rng.choice("lL")
    return text + rng.choice("dddduuxxXXppccaasSgtrr%q\n")


def generate(rng):
    flags = rng.choice([0, OUT_UCS2, FMT_UCS2, OUT_UCS2 | FMT_UCS2])
    pieces = []
    for _ in range(rng.randint(0, 6)):
        roll = rng.random()
        if roll < 0.55:
            pieces.append(directive(rng))
        elif roll < 0.8:
            pieces.append("".join(rng.choice("ab \u0164") for _ in range(rng.randint(1, 6))))
        else:
            pieces.append("".join(rng.choice(ALPHABET) for _ in range(rng.randint(1, 8))))
    text = "".join(pieces)
    if not flags & FMT_UCS2:
        text = text.replace("\u0164", "t").replace("\u0161", "a")
    fmt = [ord(c) for c in text] + [0, 0]
    slots = []
    # The slots the directives take, by the same grammar.
    i = 0
    while fmt[i]:
        if fmt[i] == ord("%"):
            i += 1
            long = False
            while fmt[i]:
                c = fmt[i]
                long |= c in (ord("l"), ord("L"))
                if c == ord("*"):
                    slots.append(("v", rng.choice(VALUES + [rng.randint(0, 40)] * 6)))
                elif chr(c) in " +-,lL.0123456789" and c < 128:
                    pass
                else:
                    if chr(c) in "asSgt" and c < 128:
                        if rng.random() < 0.15:
                            slots.append(("n", 0))
                        else:
                            data = bytes(rng.choice(b"abcXYZ019 ") for _ in range(rng.randint(0, 20)))
                            data = data + bytes(rng.randrange(256) for _ in range(max(0, 16 - len(data))))
                            if chr(c) in "sS":
                                data = bytes(x for ch in data[:len(data) // 2 * 2:2] for x in (ch, rng.choice([0, 0, 1]) )) or data
                            slots.append(("p", data))
                    elif chr(c) in "duxXpcr" and c < 128:
                        kind = "l" if long and chr(c) in "duxX" else "v"
                        slots.append((kind, rng.choice(VALUES + [rng.getrandbits(64)])))
                    if c in (10, 13) and fmt[i + 1] == 23 - c:
                        i += 1
                    break
                i += 1
            if not fmt[i]:
                break
        i += 1
    size = rng.choice([0, 1, 2, 3, 5, 8, 13, 40, 200, 400, 400, 400])
    return flags, size, fmt[:-2], slots


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit("usage: model_test.py FORMAT-DRIVER [CASES]")
    cases = int(sys.argv[2]) if len(sys.argv) == 3 else 50000
    global WORD_BITS
    WORD_BITS = int(subprocess.run(harness.host_program(sys.argv[1], "--word-bits"), capture_output=True, text=True,
                                   check=True).stdout)
    # The status names, as the engine has them: each code's %r alone.
    codes = [*range(6), *((1 << (WORD_BITS - 1)) | code for code in range(1, 34))]
    named = subprocess.run(harness.host_program(sys.argv[1]), input="".join(f"0 64 2572 v:{code}\n" for code in codes),
                           capture_output=True, text=True, check=True)
    STATUS_NAMES[:] = [bytes.fromhex(line.split()[1])[:-1].decode() for line in named.stdout.splitlines()]
    rng = random.Random(20261208)
    generated = [generate(rng) for _ in range(cases)]
    lines = []
    for flags, size, fmt, slots in generated:
        unit = 2 if flags & FMT_UCS2 else 1
        fmt_hex = "".join(("%02x" % (c & 0xFF)) + ("%02x" % (c >> 8) if unit == 2 else "") for c in fmt)
        parts = [str(flags), str(size), fmt_hex or "-"]
        for kind, value in slots:
            parts.append(f"{kind}:{value}" if kind in "vl" else "p:" + value.hex() if kind == "p" else "n")
        lines.append(" ".join(parts))
    result = subprocess.run(harness.host_program(sys.argv[1]), input="\n".join(lines) + "\n", capture_output=True, text=True,
                            check=True)
    answers = result.stdout.splitlines()
    failed = 0
    for (flags, size, fmt, slots), line, answer in zip(generated, lines, answers):
        memory, slot_values = {}, []
        for index, (kind, value) in enumerate(slots):
            if kind == "p":
                memory[index + 1] = value
                slot_values.append(index + 1)
            else:
                slot_values.append(value)
        expected = model(flags, size, fmt + [0], slot_values + [0], memory)
        unit = 2 if flags & OUT_UCS2 else 1
        count_text, _, output_hex = answer.partition(" ")
        data = bytes.fromhex(output_hex)
        got = [int.from_bytes(data[i:i + unit], "little") for i in range(0, len(data), unit)]
        want = expected + ([0] if size else [])
        if int(count_text) != len(expected) or got != want:
            failed += 1
            if failed <= 5:
                print(f"mismatch: {line}\n  engine {count_text} {got}\n  model  {len(expected)} {want}")
    print(f"{len(generated) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()

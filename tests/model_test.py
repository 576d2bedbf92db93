# SPDX-License-Identifier: MIT
"""The engine against a model of its rules, written apart from it, over
generated formats in all four encodings: every directive character, flags,
widths and precisions (digits and *), line ends, cut-off directives, GUIDs,
times, status values, strings of both widths, and buffers of every size.
Usage: model_test.py FORMAT-DRIVER [CASES]
"""

import random
import subprocess
import sys

OUT_UCS2, FMT_UCS2 = 0x40, 0x100
MASK64 = (1 << 64) - 1
STATUS_NAMES = [
    "Success", "Warning Unknown Glyph", "Warning Delete Failure", "Warning Write Failure",
    "Warning Buffer Too Small", "Warning Stale Data", "Load Error", "Invalid Parameter", "Unsupported",
    "Bad Buffer Size", "Buffer Too Small", "Not Ready", "Device Error", "Write Protected",
    "Out of Resources", "Volume Corrupt", "Volume Full", "No Media", "Media changed", "Not Found",
    "Access Denied", "No Response", "No mapping", "Time out", "Not started", "Already started", "Aborted",
    "ICMP Error", "TFTP Error", "Protocol Error", "Incompatible Version", "Security Violation", "CRC Error",
    "End of Media", "Reserved (29)", "Reserved (30)", "End of File", "Invalid Language", "Compromised Data"]


def signed(value):
    value &= MASK64
    return value - (1 << 64) if value >> 63 else value


class Item:
    def __init__(self):
        self.left = self.sign_flag = self.blank = self.comma = self.long = False
        self.zero = self.width_given = self.precision_given = self.hex = self.unsigned = False
        self.width, self.precision = 0, 1
        self.text, self.reversed, self.count = [], False, 0
        self.sign, self.zero_pad, self.group = None, False, False


def model(flags, size, fmt, slots, memory):
    """What FormatCore writes: the output characters (masked), per the rules."""
    out_mask = 0xFFFF if flags & OUT_UCS2 else 0xFF
    if size == 0:
        return []
    end = size - 1
    out = []
    args = iter(slots)

    def fill(length, char):
        length = signed(length)
        while length > 0 and len(out) < end:
            out.append(char & out_mask)
            length -= 1

    def emit(item):
        text = item.text
        if item.reversed:
            n = item.count
        else:
            n = 0
            while n < len(text) and text[n] != 0 and (not item.precision_given or n < item.precision):
                n += 1
        p = item.precision & MASK64
        if p < n:
            p = n
        if item.width_given and not item.left:
            fill(item.width - p, ord(" "))
        if item.zero_pad:
            if item.sign:
                fill(1, ord(item.sign))
            fill(p - n, ord("0"))
        else:
            fill(p - n, ord(" "))
        index = 1 if item.sign else 0
        phase = item.phase if item.group else 0
        position = 0
        while index < n:
            char = text[position] if position < len(text) else 0
            position += 1
            if char == 0:
                break
            fill(1, char)
            index += 1
            if item.group:
                phase += 1
                if phase == 3:
                    phase = 0
                    index += 1
                    if index < n:
                        fill(1, ord(","))
        if item.width_given and item.left:
            fill(item.width - p, ord(" "))

    def string_at(pointer, ucs2):
        data = memory[pointer] + bytes(4)
        if ucs2:
            return [data[i] | data[i + 1] << 8 for i in range(0, len(data) - 1, 2)]
        return list(data)

    def integer(item, value):
        if not item.long:
            value = value & 0xFFFFFFFF
            value = value - (1 << 32) if value >> 31 else value
            value &= MASK64
        item.sign = "+" if item.sign_flag else " " if item.blank else None
        if not item.hex:
            radix = 10
            if item.comma:
                item.zero = False
                item.precision = 1
                item.group = True
            if signed(value) < 0 and not item.unsigned:
                value = (-signed(value)) & MASK64
                item.sign = "-"
            elif item.unsigned and not item.long:
                value &= 0xFFFFFFFF
        else:
            radix = 16
            if signed(value) < 0 and not item.long:
                value &= 0xFFFFFFFF
        digits = "0123456789ABCDEF"
        text, v = "", value
        while True:
            text = digits[v % radix] + text
            v //= radix
            if v == 0:
                break
        d = 0 if value == 0 and item.precision == 0 else len(text)
        item.phase = (3 - d % 3) % 3
        n = d + (d - 1) // 3 if item.group and d > 0 else d
        if item.sign:
            n += 1
            item.precision = (item.precision + 1) & MASK64
        item.count = n
        item.text = [ord(c) for c in text[:len(text)]] if d else []
        item.reversed = True
        item.zero_pad = True
        if item.zero and item.width_given and not item.left and not item.precision_given:
            item.precision = item.width

    def value_text(conversion, slot):
        if conversion == "g":
            if slot == 0:
                return "<null guid>"
            b = memory[slot]
            return "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X" % (
                int.from_bytes(b[0:4], "little"), int.from_bytes(b[4:6], "little"),
                int.from_bytes(b[6:8], "little"), *b[8:16])
        if conversion == "t":
            if slot == 0:
                return "<null time>"
            b = memory[slot]
            return "%02d/%02d/%04d  %02d:%02d" % (b[2], b[3], int.from_bytes(b[0:2], "little"), b[4], b[5])
        if slot >> 63:
            code = slot & ((1 << 63) - 1)
            if 1 <= code <= 33:
                return STATUS_NAMES[code + 5]
        elif slot <= 5:
            return STATUS_NAMES[slot]
        return "%08X" % (slot & 0xFFFFFFFF)

    def line_end(item, i):
        """A line feed, or a carriage return, at i: its text; returns the last index it takes."""
        pair = fmt[i + 1] == (13 if fmt[i] == 10 else 10)
        item.text = list(b"\r\n" if fmt[i] == 10 or pair else b"\r")
        return i + 1 if pair else i

    i = 0
    while len(out) < end and fmt[i] != 0:
        c = fmt[i]
        item = Item()
        if c == ord("%"):
            i += 1
            while True:
                c = fmt[i]
                if c == ord(" "): item.blank = True
                elif c == ord("+"): item.sign_flag = True
                elif c == ord("-"): item.left = True
                elif c == ord(","): item.comma = True
                elif c in (ord("l"), ord("L")): item.long = True
                elif c == ord("."): item.precision_given = True
                elif c == ord("*"):
                    value = next(args)
                    if item.precision_given:
                        item.precision = value
                    else:
                        item.width, item.width_given = value, True
                elif ord("0") <= c <= ord("9"):
                    if c == ord("0") and not item.precision_given:
                        item.zero = True
                    number = 0
                    while ord("0") <= fmt[i] <= ord("9"):
                        number = (number * 10 + fmt[i] - ord("0")) & MASK64
                        i += 1
                    if item.precision_given:
                        item.precision = number
                    else:
                        item.width, item.width_given = number, True
                    continue
                elif c == 0:
                    item.text, item.precision = [], 0
                    break
                else:
                    break
                i += 1
            conversion = chr(c) if c < 128 else None
            if c == 0:
                pass
            elif conversion in ("d", "u", "x", "X", "p"):
                if conversion == "u":
                    item.unsigned, item.sign_flag = True, False
                if conversion in "xXp":
                    item.hex = True
                if conversion == "X":
                    item.zero = True
                if conversion == "p":
                    item.sign_flag = item.blank = False
                    item.long = item.zero = True
                integer(item, next(args))
            elif conversion == "c":
                item.text = [next(args) & 0xFFFF, 0]
            elif conversion in ("a", "s", "S"):
                pointer = next(args)
                item.text = string_at(pointer, conversion != "a") if pointer else list(b"<null string>")
                if not item.precision_given:
                    item.precision = 0
            elif conversion in ("g", "t", "r"):
                item.text = list(value_text(conversion, next(args)).encode())
            elif c in (10, 13):
                i = line_end(item, i)
            else:
                item.text = [c, 0]
        elif c in (10, 13):
            i = line_end(item, i)
        else:
            item.text = [c, 0]
        emit(item)
        if fmt[i] == 0:
            break
        i += 1
    return out


ALPHABET = list("%%%%%% +-,lL.0123456789**duxXpcasSgtrq%\n\rab") + ["\u0164", "\u0161"]
VALUES = [0, 1, 5, 6, 7, 42, 255, 999, 1000, 1234567, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 1 << 32,
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
    slots, memory, described = [], {}, []
    # The slots the directives take, by the same grammar.
    i = 0
    while fmt[i]:
        if fmt[i] == ord("%"):
            i += 1
            while fmt[i]:
                c = fmt[i]
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
                        slots.append(("v", rng.choice(VALUES + [rng.getrandbits(64)])))
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
    rng = random.Random(20261208)
    generated = [generate(rng) for _ in range(cases)]
    lines = []
    for flags, size, fmt, slots in generated:
        unit = 2 if flags & FMT_UCS2 else 1
        fmt_hex = "".join(("%02x" % (c & 0xFF)) + ("%02x" % (c >> 8) if unit == 2 else "") for c in fmt)
        parts = [str(flags), str(size), fmt_hex or "-"]
        for kind, value in slots:
            parts.append("v:%d" % value if kind == "v" else "p:" + value.hex() if kind == "p" else "n")
        lines.append(" ".join(parts))
    result = subprocess.run([sys.argv[1]], input="\n".join(lines) + "\n", capture_output=True, text=True,
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

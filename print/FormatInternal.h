// SPDX-License-Identifier: MIT
// The format engine's own state, shared by its two files: FormatCore.cpp
// (the scan, the item readers with the conversion table, and the output
// stage) and ValueText.cpp (the GUID, time and status texts). Everything
// lives in one call's frame, and no piece calls FormatCore: the engine runs
// once per call, whatever the format holds.
#pragma once
#include "PrintFlags.h"
#include "Uefi.h"

// An item's flags: what its directive's characters say and what its
// conversion adds. The caller's two flags (PrintFlags.h) are the frame's,
// never an item's, and share no bit with these.
enum : UINTN {
  PF_LEFT = 0x0001,       // '-': left-justify within the width
  PF_SIGN = 0x0002,       // '+': a number gets '+' unless it gets '-'
  PF_BLANK = 0x0004,      // ' ': a number gets a blank unless it gets '+' or '-'
  PF_COMMA = 0x0008,      // ',': group decimal digits by threes
  PF_LONG = 0x0010,       // 'l', 'L', 'p': the integer is the whole 64-bit argument
  PF_ZERO_FILL = 0x0020,  // '0', 'X', 'p': pad numbers with '0' up to the width
  PF_HEX = 0x0080,        // 'x', 'X', 'p': radix 16
  PF_WIDTH = 0x0200,      // digits or '*' gave a width
  PF_ARG_UCS2 = 0x0400,   // 's', 'S': the argument text is UCS-2
  PF_PRECISION = 0x0800,  // '.' gave a precision
  PF_UNSIGNED = 0x4000,   // 'u': the integer is unsigned and takes no '+'
};
inline constexpr UINTN ItemFlags = PF_LEFT | PF_SIGN | PF_BLANK | PF_COMMA | PF_LONG | PF_ZERO_FILL |
                                   PF_HEX | PF_WIDTH | PF_ARG_UCS2 | PF_PRECISION | PF_UNSIGNED;
static_assert((ItemFlags & (PF_OUT_UCS2 | PF_FMT_UCS2)) == 0, "an item's flags and the caller's share no bit");

// What a conversion character makes of its argument.
typedef enum : UINT8 {
  KIND_SELF,       // any character without a conversion: it prints itself
  KIND_INTEGER,    // d u x X: an int, or a 64-bit integer with PF_LONG
  KIND_POINTER,    // p: a pointer, as a 64-bit hexadecimal integer
  KIND_CHARACTER,  // c: an int whose low 16 bits are a UCS-2 character
  KIND_STRING,     // a s S: a string, 8-bit or (PF_ARG_UCS2) UCS-2
  KIND_GUID,       // g: a GUID reference
  KIND_TIME,       // t: an EFI_TIME reference
  KIND_STATUS,     // r: an EFI_STATUS
  KIND_LINE_END,   // '\n', '\r': a line end, as a literal one is
  KIND_CUT_OFF,    // the format's NUL: only the width still prints
} CONVERSION_KIND;

// The scratch text of one item: the longest is a GUID's 36 characters, and
// its NUL.
#define VALUE_BUFFER_SIZE 38

// One item, as the parser and its conversion leave it for the output stage:
// a literal line end, or a directive.
typedef struct {
  UINTN Flags;            // PF_ bits: the directive's, and its conversion's
  UINTN Width;            // W, meaningful with PF_WIDTH
  UINTN Precision;        // P: a number's least digits, a text's most (and
                          // least) characters; 1 unless given
  UINTN Conversion;       // where the parser stopped: the conversion
                          // character, '*' (a slot gives W or P, then parsing
                          // goes on), or 0 when the format ended first
  CONST UINT8 *Text;      // the argument text, forward: 8-bit, or UCS-2 with PF_ARG_UCS2
  BOOLEAN Number;         // the text is a number's digits: its sign goes
                          // first, then zeros up to the precision
  UINTN Digits;           // a number's digits and grouping commas
  UINTN Sign;             // a number's sign: 0, '+', ' ' or '-'
} FORMAT_ITEM;

typedef struct {
  UINT8 *Cursor;      // next output character
  UINT8 *End;         // reserved for the terminator
  UINTN OutBytes;     // 1 or 2 bytes per output character
  UINTN FmtBytes;     // 1 or 2 bytes per format character
  VA_LIST Arguments;  // the next argument
  UINT8 CharText[4];  // one UCS-2 character and its NUL
  CHAR8 ValueBuffer[VALUE_BUFFER_SIZE];
} FORMAT_FRAME;

// The format character at Scan: a byte, or a little-endian UCS-2 unit read a
// byte at a time so an odd format address is safe.
static inline UINTN FormatCharAt(UINTN FmtBytes, CONST UINT8 *Scan) {
  return FmtBytes == 2 ? (UINTN)(Scan[0] | (Scan[1] << 8)) : Scan[0];
}

// The next argument, read as the type its directive names and passed by the
// machine's C convention, whatever a variadic list is there (a pointer, or a
// structure as on AArch64 and ARM Linux): each takes its own size (and, for a
// 64-bit integer on ARM, its alignment), so on IA32 and ARM an int and a
// UINTN take four bytes and a 64-bit integer eight; on the 64-bit machines
// each takes one 8-byte slot.
static inline UINT64 NextInt(FORMAT_FRAME *Frame) {
  return (UINT64)(INT64)VA_ARG(Frame->Arguments, INT32);
}
static inline UINT64 NextInt64(FORMAT_FRAME *Frame) {
  return VA_ARG(Frame->Arguments, UINT64);
}
static inline UINTN NextUintn(FORMAT_FRAME *Frame) {
  return VA_ARG(Frame->Arguments, UINTN);
}
static inline CONST UINT8 *NextPointer(FORMAT_FRAME *Frame) {
  return VA_ARG(Frame->Arguments, CONST UINT8 *);
}

// Parses directive characters from Scan into Item, which holds what the
// characters before them said, reading no argument. Returns where it stopped:
// at the conversion character, at a '*', or at the NUL that cut the
// directive off. Inline in this header: the engine's reader, ReadDirective,
// takes it in whole, and the parser's own test calls it alone.
__attribute__((always_inline)) inline CONST UINT8 *ParseDirective(UINTN FmtBytes, CONST UINT8 *Scan, FORMAT_ITEM *Item) {
  for (;; Scan += FmtBytes) {
    UINTN Character = FormatCharAt(FmtBytes, Scan);
    // Every flag, digit and '*' lies below 'A', and 'l' and 'L' are the only
    // letters the parser takes: most directives stop here at once.
    if (Character >= 'A' && Character != 'l' && Character != 'L') {
      Item->Conversion = Character;
      return Scan;
    }
    BOOLEAN Precision = (Item->Flags & PF_PRECISION) != 0;
    if (Character >= '0' && Character <= '9') {
      if (Character == '0' && !Precision) {
        Item->Flags |= PF_ZERO_FILL;
      }
      UINTN Number = 0;
      for (; Character >= '0' && Character <= '9'; Character = FormatCharAt(FmtBytes, Scan)) {
        Number = Number * 10 + (Character - '0');
        Scan += FmtBytes;
      }
      if (Precision) {
        Item->Precision = Number;
      } else {
        Item->Width = Number;
        Item->Flags |= PF_WIDTH;
      }
      // The character that ended the number is the next directive character.
      Scan -= FmtBytes;
      continue;
    }
    UINTN Flag = Character == ' '   ? PF_BLANK
                 : Character == '+' ? PF_SIGN
                 : Character == '-' ? PF_LEFT
                 : Character == ',' ? PF_COMMA
                 : Character == 'l' || Character == 'L' ? PF_LONG
                 : Character == '.' ? PF_PRECISION
                                    : 0;
    if (Flag == 0) {
      // A '*', the conversion character, or the NUL of a format that ended first.
      Item->Conversion = Character;
      return Scan;
    }
    Item->Flags |= Flag;
  }
}

// The g, t and r conversions: the 8-bit text of a GUID reference, an
// EFI_TIME reference or a status value, built at the end of Buffer (the
// value buffer) or taken from a constant text.
CONST CHAR8 *EFIAPI ValueText(CHAR8 *Buffer, CONVERSION_KIND Kind, CONST UINT8 *Value);
CONST CHAR8 *EFIAPI StatusText(CHAR8 *Buffer, EFI_STATUS Status);

// Writes Value's digits in Radix (10 or 16) backward, ending just before End,
// at least Least of them (zeros before the first nonzero one), with a ','
// between groups of three when Grouped. Returns where the digits start. The
// one digit writer: the integer conversions' and the GUID, time and status
// fields'.
CHAR8 *EFIAPI WriteDigits(CHAR8 *End, UINT64 Value, UINTN Radix, UINTN Least, BOOLEAN Grouped);

// Value / 10 in 32-bit halves, with no division instruction or compiler
// helper: IA32 and ARM have no 64-bit divide, and ARMv7 need not have a
// 32-bit one. Multiplies by 2^67 / 10 (rounded up) and keeps the top bits.
static inline UINT64 DivideByTenInHalves(UINT64 Value) {
  constexpr UINT64 Reciprocal = 0xCCCCCCCCCCCCCCCDull;
  UINT64 High = Value >> 32, Low = Value & 0xFFFFFFFF;
  UINT64 RHigh = Reciprocal >> 32, RLow = Reciprocal & 0xFFFFFFFF;
  UINT64 Middle = High * RLow + ((Low * RLow) >> 32);
  UINT64 Cross = Low * RHigh + (Middle & 0xFFFFFFFF);
  return (High * RHigh + (Middle >> 32) + (Cross >> 32)) >> 3;
}

// Value / 10, and Value % 10 in *Remainder; the 64-bit machines divide.
static inline UINT64 DivideByTen(UINT64 Value, UINTN *Remainder) {
  UINT64 Quotient = sizeof(UINTN) == 8 ? Value / 10 : DivideByTenInHalves(Value);
  *Remainder = (UINTN)(Value - Quotient * 10);
  return Quotient;
}

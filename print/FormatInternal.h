// SPDX-License-Identifier: MIT
// The format engine's own state, shared by its pieces: the frame, the scan
// and the output stage (FormatCore.cpp); the directive parser, the line-end
// reader and the integer, character and string conversions (Directive.cpp);
// and the GUID, time and status conversions (ValueText.cpp). Everything lives
// in one call's frame, so FormatCore may be entered again while a call is in
// progress.
#pragma once
#include "PrintFlags.h"
#include "Uefi.h"

// What a directive's characters say, as bits: the flag characters', and
// whether a width and a precision were given. The caller's two flags
// (PrintFlags.h) are the frame's, never an item's.
#define PF_LEFT 0x0001       // '-': left-justify within the width
#define PF_SIGN 0x0002       // '+': a number gets '+' unless it gets '-'
#define PF_BLANK 0x0004      // ' ': a number gets a blank unless it gets '+' or '-'
#define PF_COMMA 0x0008      // ',': group decimal digits by threes
#define PF_LONG 0x0010       // 'l', 'L': the integer is the whole 64-bit slot
#define PF_ZERO_FILL 0x0020  // '0': pad numbers with '0' up to the width
#define PF_WIDTH 0x0200      // digits or '*' gave a width
#define PF_PRECISION 0x0800  // '.' gave a precision
// And what the integer conversions add to them.
#define PF_HEX 0x0080        // 'x', 'X', 'p': radix 16
#define PF_UNSIGNED 0x4000   // 'u': the integer is unsigned

// Where WriteOutput takes its characters from; each value is the step from
// one character to the next.
typedef enum : INTN {
  COPY_REPEAT = 0,      // the one 8-bit character at Text, again and again
  COPY_TEXT = 1,        // 8-bit text, forward
  COPY_UCS2_TEXT = 2,   // UCS-2 text, forward
  COPY_DIGITS = -1,     // a number's digits, least significant first, backward
} COPY;

// Scratch text of one FormatCore call: room for 37 characters and the NUL.
#define VALUE_BUFFER_SIZE 38

// What a directive's characters say, before any argument is read.
typedef struct {
  UINTN Flags;       // PF_ bits set by the flag, width and precision characters
  UINTN Width;       // W, meaningful with PF_WIDTH
  UINTN Precision;   // P; 1 unless given
  UINTN Conversion;  // where the parser stopped: the conversion character, '*'
                     // (a slot gives W or P, then parsing goes on), or 0 when
                     // the format ended first
} DIRECTIVE;

// One item for the output stage: a line end or a directive.
typedef struct {
  UINTN Flags;        // the directive's PF_ bits
  UINTN Width;        // W, meaningful with PF_WIDTH
  UINTN Precision;    // P: a number's least digits, a text's most (and least)
                      // characters; 1 unless given
  CONST UINT8 *Text;  // the text, read as Copy says
  COPY Copy;          // COPY_TEXT, COPY_UCS2_TEXT, or COPY_DIGITS for a number
  UINTN Count;        // a number's digits and grouping commas, sign apart
  UINTN Sign;         // a number's sign: 0, '+', ' ' or '-'
  BOOLEAN Number;     // a number: its sign first, then zeros up to the precision
  BOOLEAN ZeroFill;   // a number whose zeros fill the whole width, sign included
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
// machine's C convention: each takes its own size (and, for a 64-bit integer
// on ARM, its alignment), so on IA32 and ARM an int and a UINTN take four
// bytes and a 64-bit integer eight; on the 64-bit machines each takes one
// 8-byte slot.
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

// Parses directive characters from Scan into Directive, which holds what the
// characters before them said, reading no argument. Returns where it stopped:
// at the conversion character, at a '*', or at the NUL that cut the
// directive off. Inline in this header: the engine's caller, ReadDirective,
// takes it in whole, and the parser's own test calls it alone.
inline CONST UINT8 *ParseDirective(UINTN FmtBytes, CONST UINT8 *Scan, DIRECTIVE *Directive) {
  for (;; Scan += FmtBytes) {
    UINTN Character = FormatCharAt(FmtBytes, Scan);
    BOOLEAN Precision = (Directive->Flags & PF_PRECISION) != 0;
    if (Character >= '0' && Character <= '9') {
      if (Character == '0' && !Precision) {
        Directive->Flags |= PF_ZERO_FILL;
      }
      UINTN Number = 0;
      for (; Character >= '0' && Character <= '9'; Character = FormatCharAt(FmtBytes, Scan)) {
        Number = Number * 10 + (Character - '0');
        Scan += FmtBytes;
      }
      if (Precision) {
        Directive->Precision = Number;
      } else {
        Directive->Width = Number;
        Directive->Flags |= PF_WIDTH;
      }
      // The character that ended the number is the next directive character.
      Scan -= FmtBytes;
      continue;
    }
    switch (Character) {
      case ' ':
        Directive->Flags |= PF_BLANK;
        continue;
      case '+':
        Directive->Flags |= PF_SIGN;
        continue;
      case '-':
        Directive->Flags |= PF_LEFT;
        continue;
      case ',':
        Directive->Flags |= PF_COMMA;
        continue;
      case 'l':
      case 'L':
        Directive->Flags |= PF_LONG;
        continue;
      case '.':
        Directive->Flags |= PF_PRECISION;
        continue;
      default:
        // A '*', the conversion character, or the NUL of a format that ended first.
        Directive->Conversion = Character;
        return Scan;
    }
  }
}

// Reads the '%' directive after Scan: parses it, takes its slots and runs its
// conversion into Item. Returns the last format character it consumed.
CONST UINT8 *EFIAPI ReadDirective(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan);

// Line feed or carriage return at Scan (as a literal or as a directive's
// conversion character): sets the item's 8-bit text to "\r\n" or "\r" and
// returns the last format character the line end consumed.
CONST UINT8 *EFIAPI ReadLineEnd(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan);

// The g, t and r conversions: the argument text of a GUID reference, an
// EFI_TIME reference or a status value, built in Buffer (the value buffer)
// or taken from a constant text.
CONST CHAR8 *EFIAPI GuidText(CHAR8 *Buffer, CONST UINT8 *Guid);
CONST CHAR8 *EFIAPI TimeText(CHAR8 *Buffer, CONST UINT8 *Time);
CONST CHAR8 *EFIAPI StatusText(CHAR8 *Buffer, EFI_STATUS Status);

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

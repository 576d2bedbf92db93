// SPDX-License-Identifier: MIT
// FormatCore: the one formatter behind every print entry point.
//
// Directives: %[flags][width][.precision][l|L]conversion, where the flags are
// '-', '+', ' ', ',' and '0', and '*' takes a width or precision from the next
// slot. Conversions: d u x X p c a s S g t r; a line end after '%' is a line
// end; any other character prints itself.
//
// Where it differs from C's printf:
// - each argument is read as its directive's type: an int, or a 64-bit integer
//   with 'l'; '*' a UINTN, 'c' an int, 'r' an EFI_STATUS, the others a pointer;
// - hexadecimal is always upper case, and X zero-fills to the width by itself;
// - 'a' is an 8-bit string, 's' and 'S' are UCS-2 strings;
// - ',' groups decimal digits by threes and turns zero fill off;
// - a precision on a string caps it and also pads a shorter one with blanks;
// - every "\n" is written as "\r\n" (and "\n\r" as one "\r\n");
// - text that does not fit is cut, and the result counts what was written.
#include "Check.h"
#include "FormatInternal.h"
#include "Print.h"

// Format characters that start an item of their own; every other character
// prints as itself, so runs of them are written in one step. All four lie at
// or below '%', so most characters are ruled out by one comparison.
static constexpr UINT64 ItemStarts = (1ull << 0) | (1ull << '\n') | (1ull << '\r') | (1ull << '%');
static inline BOOLEAN IsItemStart(UINTN Character) {
  if (__builtin_expect(Character > '%', 1)) {
    return FALSE;
  }
  return ((ItemStarts >> Character) & 1) != 0;
}

// Bytes before the first NUL, counting at most Limit.
//
// It reads whole aligned words and tests eight bytes at once, from the word
// that holds Text (its bytes before Text made nonzero). An aligned word never
// crosses a page, so the word that holds the NUL lies in memory that the
// NUL's page has; its other bytes are read but not used. AddressSanitizer,
// which would call those reads overflows, is told to leave this one function
// alone.
__attribute__((no_sanitize("address"))) static UINTN ByteLength(CONST UINT8 *Text, UINTN Limit) {
  if (Limit == 0) {
    return 0;
  }
  constexpr UINT64 Ones = 0x0101010101010101ull;
  UINTN Offset = (UINTN)Text & 7;
  CONST UINT8 *Word = (CONST UINT8 *)((UINTN)Text - Offset);
  UINT64 Bytes;
  __builtin_memcpy(&Bytes, Word, 8);
  Bytes |= ((UINT64)1 << (8 * Offset)) - 1;
  for (;;) {
    // A byte's high bit survives (Byte - 1) & ~Byte only where the byte is
    // zero; the lowest such byte is exact, and that is the one used.
    UINT64 Zeros = (Bytes - Ones) & ~Bytes & (Ones << 7);
    // Characters from Text to this word's start: at first minus Offset, as a
    // UINTN that the found byte's position brings back above zero.
    UINTN Seen = (UINTN)Word - (UINTN)Text;
    if (Zeros != 0) {
      UINTN Index = Seen + (UINTN)__builtin_ctzll(Zeros) / 8;
      return Index < Limit ? Index : Limit;
    }
    Word += 8;
    if ((UINTN)Word - (UINTN)Text >= Limit) {
      return Limit;
    }
    __builtin_memcpy(&Bytes, Word, 8);
  }
}

// Characters of Bytes each (1 or 2) before the first NUL, counting at most Limit.
static UINTN TextLength(CONST UINT8 *Text, UINTN Limit, UINTN Bytes) {
  if (Bytes == 1) {
    return ByteLength(Text, Limit);
  }
  UINTN Index = 0;
  while (Index < Limit && FormatCharAt(2, Text + 2 * Index) != 0) {
    Index++;
  }
  return Index;
}

// Format characters before the next item start, counting at most Limit.
static UINTN PlainRunLength(CONST UINT8 *Scan, UINTN Limit, UINTN FmtBytes) {
  UINTN Index = 0;
  for (CONST UINT8 *At = Scan; Index < Limit && !IsItemStart(FormatCharAt(FmtBytes, At));
       At += FmtBytes) {
    Index++;
  }
  return Index;
}

// How long a format is, counting at most Limit characters, and where its
// first item starts: the scan then writes the leading plain run without
// reading it again.
typedef struct {
  UINTN Length;
  UINTN FirstItem;
} FORMAT_EXTENT;

static FORMAT_EXTENT MeasureFormat(CONST UINT8 *Format, UINTN Limit, UINTN FmtBytes) {
  if (FmtBytes == 2) {
    CHECK(((UINTN)Format & 0x00000001) == 0, "((UINTN) String & 0x00000001) == 0");
  }
  FORMAT_EXTENT Extent = {0, 0};
  if (Format != nullptr) {
    // Each encoding's scan with its width a constant the compiler may build in.
    Extent.FirstItem = FmtBytes == 1 ? PlainRunLength(Format, Limit, 1) : PlainRunLength(Format, Limit, 2);
    Extent.Length = Extent.FirstItem + TextLength(Format + Extent.FirstItem * FmtBytes,
                                                  Limit - Extent.FirstItem, FmtBytes);
  }
  return Extent;
}

// The one write path: Count characters from Text, Step bytes apart (1 for
// 8-bit text, 2 for UCS-2, 0 for one 8-bit character again and again),
// clamped at the buffer's end. An 8-bit output keeps each character's low
// byte. Zero or a negative Count writes nothing, so a width or precision of
// any size costs only what fits.
static VOID WriteOutput(FORMAT_FRAME *Frame, CONST UINT8 *Text, UINTN Step, INTN Count) {
  if (Count <= 0) {
    return;
  }
  UINT8 *Cursor = Frame->Cursor;
  UINTN Out = Frame->OutBytes;
  UINTN Room = (UINTN)(Frame->End - Cursor) >> (Out - 1);
  UINT8 *Stop = Cursor + ((UINTN)Count < Room ? (UINTN)Count : Room) * Out;
  if (Step == 1 && Out == 2) {
    // 8-bit text into UCS-2, eight characters a step: spread each half's
    // bytes apart.
    for (; Stop - Cursor >= 16; Cursor += 16, Text += 8) {
      UINT64 Eight;
      __builtin_memcpy(&Eight, Text, 8);
      for (UINTN Half = 0; Half < 2; Half++) {
        UINT64 Wide = (Eight >> (32 * Half)) & 0xFFFFFFFF;
        Wide = (Wide | (Wide << 16)) & 0x0000FFFF0000FFFFull;
        Wide = (Wide | (Wide << 8)) & 0x00FF00FF00FF00FFull;
        __builtin_memcpy(Cursor + 8 * Half, &Wide, 8);
      }
    }
  }
  for (; Cursor < Stop; Cursor += Out, Text += Step) {
    Cursor[0] = Text[0];
    if (Out == 2) {
      Cursor[1] = Step == 2 ? Text[1] : 0;
    }
  }
  Frame->Cursor = Cursor;
}

static CONST UINT8 Blank[] = " ";
static CONST UINT8 Zero[] = "0";

// The output stage, the same for every item: blanks, the sign, zeros (a
// number) or blanks (a text) up to the precision, the text, and blanks after
// it when left-justified.
static VOID EmitItem(FORMAT_FRAME *Frame, CONST FORMAT_ITEM *Item) {
  UINTN Flags = Item->Flags;
  UINTN Sign = Item->Sign;
  UINTN Signed = Sign != 0;
  UINTN TextBytes = (Flags & PF_ARG_UCS2) ? 2 : 1;
  // A text's characters, at most its precision of them; a number's digits
  // and its sign.
  UINTN Length;
  UINTN Least = Item->Precision + Signed;
  CONST UINT8 *Fill = Blank;
  if (Item->Number) {
    Length = Item->Digits + Signed;
    // With '0' and a width, and neither '-' nor a precision, the zeros fill
    // the whole width, sign included.
    if ((Flags & (PF_ZERO_FILL | PF_WIDTH | PF_LEFT | PF_PRECISION)) == (PF_ZERO_FILL | PF_WIDTH)) {
      Least = Item->Width;
    }
    Fill = Zero;
  } else {
    Length = TextLength(Item->Text, (Flags & PF_PRECISION) ? Item->Precision : ~(UINTN)0, TextBytes);
  }
  // The fewest characters before the width's blanks: the precision, and a
  // number's sign beside its digits; or the whole width, zero-filled.
  UINTN Field = Least < Length ? Length : Least;
  // The width's blanks go before the field, or after it when left-justified.
  INTN Pad = (Flags & PF_WIDTH) ? (INTN)(Item->Width - Field) : 0;
  INTN After = (Flags & PF_LEFT) ? Pad : 0;
  WriteOutput(Frame, Blank, 0, Pad - After);
  WriteOutput(Frame, (CONST UINT8 *)&Sign, 0, (INTN)Signed);
  WriteOutput(Frame, Fill, 0, (INTN)(Field - Length));
  WriteOutput(Frame, Item->Text, TextBytes, (INTN)(Length - Signed));
  WriteOutput(Frame, Blank, 0, After);
}

extern "C" UINTN EFIAPI FormatCore(VOID *Buffer, UINTN BufferSize, UINTN Flags, CONST VOID *Format,
                                   VA_LIST Arguments) {
  // The call's checks, in order; the first that fails is reported, from one
  // site, and the call writes nothing. Each encoding has its own limit and
  // its own check text.
  FORMAT_FRAME Frame;
  BOOLEAN Ucs2Out = (Flags & PF_OUT_UCS2) != 0;
  Frame.OutBytes = Ucs2Out ? 2 : 1;
  BOOLEAN Ucs2Format = (Flags & PF_FMT_UCS2) != 0;
  UINTN Longest = Ucs2Format ? PcdMaximumUnicodeStringLength : PcdMaximumAsciiStringLength;
  Frame.FmtBytes = Ucs2Format ? 2 : 1;
  FORMAT_EXTENT Extent;
  CONST CHAR8 *Refused = nullptr;
  if (BufferSize != 0 && Buffer == nullptr) {
    Refused = "(Buffer != ((void *) 0))";
  } else if (BufferSize != 0 && Format == nullptr) {
    Refused = "(Format != ((void *) 0))";
  } else if (BufferSize > (Ucs2Out ? PcdMaximumUnicodeStringLength : PcdMaximumAsciiStringLength)) {
    Refused = Ucs2Out ? "(BufferSize <= (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength))"
                      : "(BufferSize <= (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength))";
  } else {
    Extent = MeasureFormat((CONST UINT8 *)Format, Longest + 1, Frame.FmtBytes);
    if (Extent.Length > Longest) {
      Refused = Ucs2Format
                    ? "(StrnLenS ((CHAR16 *)Format, (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength) + "
                      "1) <= (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength))"
                    : "(AsciiStrnLenS (Format, (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength) + 1) <= "
                      "(_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength))";
    }
  }
  if (Refused != nullptr) {
    CheckFailed(__FILE__, __LINE__, Refused);
    return 0;
  }

  if (BufferSize == 0) {
    return 0;
  }

  UINT8 *Start = (UINT8 *)Buffer;
  Frame.Cursor = Start;
  Frame.End = Start + (BufferSize - 1) * Frame.OutBytes;
  Frame.Arguments = Arguments;

  CONST UINT8 *Scan = (CONST UINT8 *)Format;
  UINTN Run = Extent.FirstItem;
  for (;;) {
    // A plain character is an item with no width or precision: it prints as
    // itself (its low byte into 8-bit output), so a run is one write.
    WriteOutput(&Frame, Scan, Frame.FmtBytes, (INTN)Run);
    Scan += Run * Frame.FmtBytes;
    UINTN Character = FormatCharAt(Frame.FmtBytes, Scan);
    if (Character == 0 || Frame.Cursor >= Frame.End) {
      break;
    }
    // Nothing one item sets reaches the next.
    FORMAT_ITEM Item;
    Item.Flags = 0;
    Item.Precision = 1;
    Item.Sign = 0;
    Item.Number = FALSE;
    if (Character == '%') {
      Scan = ReadDirective(&Frame, &Item, Scan + Frame.FmtBytes);
    } else {
      Scan = ReadLineEnd(&Frame, &Item, Scan);
    }
    EmitItem(&Frame, &Item);
    // A directive cut off by the format's end leaves Scan on the NUL.
    if (FormatCharAt(Frame.FmtBytes, Scan) == 0) {
      break;
    }
    Scan += Frame.FmtBytes;
    Run = PlainRunLength(Scan, ~(UINTN)0, Frame.FmtBytes);
  }

  // A shift, not a division: ARMv7 need not have a divide instruction.
  UINTN Written = (UINTN)(Frame.Cursor - Start) >> (Frame.OutBytes - 1);
  // The terminator takes the character reserved for it at End, or an
  // earlier one.
  Frame.Cursor[0] = 0;
  Frame.Cursor[Frame.OutBytes - 1] = 0;
  return Written;
}

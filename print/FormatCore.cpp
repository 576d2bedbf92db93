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

// Format characters before the next item start in a format already
// measured: its NUL starts an item, so nothing else need stop the count.
static UINTN RunLength(CONST UINT8 *Scan, UINTN FmtBytes) {
  CONST UINT8 *At = Scan;
  while (!IsItemStart(FormatCharAt(FmtBytes, At))) {
    At += FmtBytes;
  }
  return (UINTN)(At - Scan) >> (FmtBytes - 1);
}

// How long a format is, counting at most Limit characters.
static UINTN MeasureFormat(CONST UINT8 *Format, UINTN Limit, UINTN FmtBytes) {
  if (FmtBytes == 2) {
    CHECK(((UINTN)Format & 0x00000001) == 0, "((UINTN) String & 0x00000001) == 0");
  }
  return Format == nullptr ? 0 : TextLength(Format, Limit, FmtBytes);
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
    // One store of the character's one or two bytes, little-endian.
    UINT16 Character = (UINT16)(Text[0] | (Step == 2 ? Text[1] << 8 : 0));
    if (Out == 2) {
      __builtin_memcpy(Cursor, &Character, 2);
    } else {
      Cursor[0] = (UINT8)Character;
    }
  }
  Frame->Cursor = Cursor;
}

// The item readers: the digit writer, the conversion table, and the
// integer, character and string conversions, the line-end reader and the
// directive reader. Each conversion consumes its slots and leaves the item
// (its forward text, flags, W, P, and for a number its digits and sign) for
// the output stage below.

// A step of the loop that a build for speed takes into FormatCore itself, so
// the item stays in registers and the call costs nothing; a build for size,
// as the images are, keeps it one call.
#if defined(__OPTIMIZE_SIZE__)
#define ENGINE_STEP static __attribute__((noinline))
#else
#define ENGINE_STEP static inline __attribute__((always_inline))
#endif

// Upper case always: x and X share their digits, and so do the GUID and
// status texts.
static constexpr CHAR8 DigitCharacters[16] = {'0', '1', '2', '3', '4', '5', '6', '7',
                                               '8', '9', 'A', 'B', 'C', 'D', 'E', 'F'};

CHAR8 *EFIAPI WriteDigits(CHAR8 *End, UINT64 Value, UINTN Radix, UINTN Least, BOOLEAN Grouped) {
  UINTN Written = 0;
  UINTN GroupLeft = 3;
  do {
    if (Grouped && GroupLeft-- == 0) {
      *--End = ',';
      GroupLeft = 2;
    }
    UINTN Digit;
    if (Radix == 16) {
      Digit = (UINTN)Value & 0xF;
      Value >>= 4;
    } else {
      Value = DivideByTen(Value, &Digit);
    }
    *--End = DigitCharacters[Digit];
    Written++;
  } while (Value != 0 || Written < Least);
  return End;
}

// A conversion character, what it makes of its argument, and the flags it
// adds to the directive's.
typedef struct {
  CHAR8 Character;
  CONVERSION_KIND Kind;
  UINT16 Flags;
} CONVERSION;

// Searched in order: the most frequent first.
static constexpr CONVERSION Conversions[] = {
    {'a', KIND_STRING, 0},
    {'d', KIND_INTEGER, 0},
    {'x', KIND_INTEGER, PF_HEX},
    {'X', KIND_INTEGER, PF_HEX | PF_ZERO_FILL},  // X zero-fills to the width
    {'s', KIND_STRING, PF_ARG_UCS2},
    {'S', KIND_STRING, PF_ARG_UCS2},
    {'u', KIND_INTEGER, PF_UNSIGNED},
    {'c', KIND_CHARACTER, 0},
    {'p', KIND_POINTER, PF_LONG | PF_ZERO_FILL | PF_HEX},  // the whole pointer, zero-filled
    {'g', KIND_GUID, 0},
    {'t', KIND_TIME, 0},
    {'r', KIND_STATUS, 0},
    {'\n', KIND_LINE_END, 0},
    {'\r', KIND_LINE_END, 0},
};

static constexpr BOOLEAN ConversionsAreSound() {
  for (const CONVERSION &Entry : Conversions) {
    if ((Entry.Flags & ~ItemFlags) != 0 || Entry.Kind == KIND_SELF || Entry.Kind == KIND_CUT_OFF ||
        Entry.Character == 0) {
      return FALSE;
    }
    for (const CONVERSION &Other : Conversions) {
      if (&Other != &Entry && Other.Character == Entry.Character) {
        return FALSE;
      }
    }
  }
  return TRUE;
}
static_assert(ConversionsAreSound(), "each conversion character once, adding only an item's flags");

// The integer conversions d, u, x, X and p of Value: the argument, an int
// sign-extended without 'l', a 64-bit integer with it, or a pointer
// zero-extended.
ENGINE_STEP VOID ConvertInteger(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, UINT64 Value) {
  UINTN Flags = Item->Flags;
  if (Flags & PF_UNSIGNED) {
    Flags &= ~(UINTN)PF_SIGN;
  }
  Item->Sign = (Flags & PF_SIGN) ? '+' : (Flags & PF_BLANK) ? ' ' : 0;

  UINTN Radix = 16;
  BOOLEAN Grouped = FALSE;
  if (!(Flags & PF_HEX)) {
    Radix = 10;
    if (Flags & PF_COMMA) {
      // Grouping drops zero fill and any precision.
      Flags &= ~(UINTN)PF_ZERO_FILL;
      Item->Precision = 1;
      Grouped = TRUE;
    }
    if ((INT64)Value < 0 && !(Flags & PF_UNSIGNED)) {
      Value = 0 - Value;
      Item->Sign = '-';
    } else if ((Flags & PF_UNSIGNED) && !(Flags & PF_LONG)) {
      Value &= 0xFFFFFFFF;
    }
  } else if ((INT64)Value < 0 && !(Flags & PF_LONG)) {
    Value &= 0xFFFFFFFF;
  }
  Item->Flags = Flags;

  // The digits end at the value buffer's end, grouping commas in place.
  CHAR8 *End = Frame->ValueBuffer + VALUE_BUFFER_SIZE;
  CHAR8 *Start = WriteDigits(End, Value, Radix, 1, Grouped);
  Item->Text = (CONST UINT8 *)Start;
  // %.0d of 0 prints no digit at all.
  Item->Digits = (Value == 0 && Item->Precision == 0) ? 0 : (UINTN)(End - Start);
  Item->Number = TRUE;
}

static VOID ConvertString(FORMAT_FRAME *Frame, FORMAT_ITEM *Item) {
  CONST UINT8 *String = NextPointer(Frame);
  if (String == nullptr) {
    String = (CONST UINT8 *)"<null string>";
    Item->Flags &= ~(UINTN)PF_ARG_UCS2;
  }
  Item->Text = String;
  if (!(Item->Flags & PF_PRECISION)) {
    Item->Precision = 0;
  }
}

// One UCS-2 character as the item's text; a NUL character still takes its
// one position, as a blank.
static VOID SetOneCharText(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, UINTN Character) {
  Frame->CharText[0] = (UINT8)Character;
  Frame->CharText[1] = (UINT8)(Character >> 8);
  Frame->CharText[2] = 0;
  Frame->CharText[3] = 0;
  Item->Text = Frame->CharText;
  Item->Flags |= PF_ARG_UCS2;
}

// Line feed or carriage return at Scan (as a literal or as a directive's
// conversion character): sets the item's 8-bit text to "\r\n" or "\r" and
// returns the last format character the line end consumed.
ENGINE_STEP CONST UINT8 *ReadLineEnd(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan) {
  UINTN FmtBytes = Frame->FmtBytes;
  UINTN Character = FormatCharAt(FmtBytes, Scan);
  UINTN Next = FormatCharAt(FmtBytes, Scan + FmtBytes);
  Item->Text = (CONST UINT8 *)"\r\n";
  if (Character == '\n') {
    // "\n\r" is one line end too.
    return Next == '\r' ? Scan + FmtBytes : Scan;
  }
  if (Next == '\n') {
    return Scan + FmtBytes;
  }
  Item->Text = (CONST UINT8 *)"\r";
  return Scan;
}

// Reads the '%' directive after Scan: parses it, takes its slots and runs its
// conversion into Item. Returns the last format character it consumed.
ENGINE_STEP CONST UINT8 *ReadDirective(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan) {
  for (;;) {
    Scan = ParseDirective(Frame->FmtBytes, Scan, Item);
    if (Item->Conversion != '*') {
      break;
    }
    // Each '*' takes a UINTN in turn: the precision after a '.', else the width.
    UINTN Value = NextUintn(Frame);
    if (Item->Flags & PF_PRECISION) {
      Item->Precision = Value;
    } else {
      Item->Width = Value;
      Item->Flags |= PF_WIDTH;
    }
    Scan += Frame->FmtBytes;
  }

  // The format's NUL cut the directive off; any character the table lacks
  // prints itself.
  UINTN Character = Item->Conversion;
  CONVERSION_KIND Kind = Character == 0 ? KIND_CUT_OFF : KIND_SELF;
  for (const CONVERSION &Entry : Conversions) {
    if ((UINTN)(UINT8)Entry.Character == Character) {
      Kind = Entry.Kind;
      Item->Flags |= Entry.Flags;
      break;
    }
  }
  switch (Kind) {
    case KIND_INTEGER:
      ConvertInteger(Frame, Item, (Item->Flags & PF_LONG) ? NextInt64(Frame) : NextInt(Frame));
      break;
    case KIND_POINTER:
      Item->Flags &= ~(UINTN)(PF_SIGN | PF_BLANK);
      ConvertInteger(Frame, Item, (UINT64)(UINTN)NextPointer(Frame));
      break;
    case KIND_CHARACTER:
      SetOneCharText(Frame, Item, (UINTN)(NextInt(Frame) & 0xFFFF));
      break;
    case KIND_STRING:
      ConvertString(Frame, Item);
      break;
    case KIND_GUID:
    case KIND_TIME:
      Item->Text = (CONST UINT8 *)ValueText(Frame->ValueBuffer, Kind, NextPointer(Frame));
      break;
    case KIND_STATUS:
      Item->Text = (CONST UINT8 *)StatusText(Frame->ValueBuffer, (EFI_STATUS)NextUintn(Frame));
      break;
    case KIND_LINE_END:
      return ReadLineEnd(Frame, Item, Scan);
    case KIND_CUT_OFF:
      // Only the width still prints.
      Item->Text = (CONST UINT8 *)"";
      Item->Precision = 0;
      break;
    case KIND_SELF:
      SetOneCharText(Frame, Item, Character);
      break;
  }
  return Scan;
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
  CONST CHAR8 *Refused = nullptr;
  if (BufferSize != 0 && Buffer == nullptr) {
    Refused = "(Buffer != ((void *) 0))";
  } else if (BufferSize != 0 && Format == nullptr) {
    Refused = "(Format != ((void *) 0))";
  } else if (BufferSize > (Ucs2Out ? PcdMaximumUnicodeStringLength : PcdMaximumAsciiStringLength)) {
    Refused = Ucs2Out ? "(BufferSize <= (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength))"
                      : "(BufferSize <= (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength))";
  } else {
    if (MeasureFormat((CONST UINT8 *)Format, Longest + 1, Frame.FmtBytes) > Longest) {
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
  for (;;) {
    UINTN Run = RunLength(Scan, Frame.FmtBytes);
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
  }

  // A shift, not a division: ARMv7 need not have a divide instruction.
  UINTN Written = (UINTN)(Frame.Cursor - Start) >> (Frame.OutBytes - 1);
  // The terminator takes the character reserved for it at End, or an
  // earlier one.
  Frame.Cursor[0] = 0;
  Frame.Cursor[Frame.OutBytes - 1] = 0;
  return Written;
}

// SPDX-License-Identifier: MIT
// FormatCore: the one formatter behind every print entry point.
//
// Directives: %[flags][width][.precision][l|L]conversion, where the flags are
// '-', '+', ' ', ',' and '0', and '*' takes a width or precision from the next
// slot. Conversions: d u x X p c a s S g t r; a line end after '%' is a line
// end; any other character prints itself.
//
// Where it differs from C's printf:
// - every argument is one 8-byte slot; without 'l' an integer is the slot's
//   low 32 bits, and '*' takes the whole 64-bit slot;
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
// prints as itself, so runs of them are copied in one step. All four lie at
// or below '%', so most characters are ruled out by one comparison.
static constexpr UINT64 ItemStarts = (1ull << 0) | (1ull << '\n') | (1ull << '\r') | (1ull << '%');
static inline BOOLEAN IsItemStart(UINTN Character) {
  if (__builtin_expect(Character > '%', 1)) {
    return FALSE;
  }
  return ((ItemStarts >> Character) & 1) != 0;
}

static UINTN FormatCharacter(CONST UINT8 *Scan, UINTN Index, UINTN FmtBytes) {
  return FmtBytes == 1 ? Scan[Index] : (UINTN)(Scan[2 * Index] | (Scan[2 * Index + 1] << 8));
}

// The format characters before the next item start, counting at most Limit.
static UINTN PlainRunLength(CONST UINT8 *Scan, UINTN Limit, UINTN FmtBytes) {
  UINTN Length = 0;
  while (Length < Limit && !IsItemStart(FormatCharacter(Scan, Length, FmtBytes))) {
    Length++;
  }
  return Length;
}

// Format length, bounded by Limit, measured a character at a time: no read
// goes past the terminator. It also reports how long the leading plain run
// is, so the scan need not read that run twice.
static UINTN FormatLength(CONST UINT8 *Format, UINTN Limit, UINTN FmtBytes, UINTN *FirstRun) {
  UINTN Length = PlainRunLength(Format, Limit, FmtBytes);
  *FirstRun = Length;
  while (Length < Limit && FormatCharacter(Format, Length, FmtBytes) != 0) {
    Length++;
  }
  return Length;
}

static UINTN StrnLenS(CONST CHAR16 *String, UINTN MaxSize, UINTN *FirstRun) {
  CHECK(((UINTN)String & 0x00000001) == 0, "((UINTN) String & 0x00000001) == 0");
  *FirstRun = 0;
  if (String == nullptr || MaxSize == 0) {
    return 0;
  }
  return FormatLength((CONST UINT8 *)String, MaxSize, 2, FirstRun);
}

static UINTN AsciiStrnLenS(CONST CHAR8 *String, UINTN MaxSize, UINTN *FirstRun) {
  *FirstRun = 0;
  if (String == nullptr || MaxSize == 0) {
    return 0;
  }
  return FormatLength((CONST UINT8 *)String, MaxSize, 1, FirstRun);
}

// Writes Character Length times below Limit; a negative or zero Length writes
// nothing. The loop runs only for the characters that fit, so a width or
// precision of any size costs nothing beyond the buffer's end.
static UINT8 *FillOutput(UINT8 *Cursor, UINT8 *Limit, INTN Length, UINTN Character,
                         UINTN Increment) {
  if (Length <= 0 || Cursor >= Limit) {
    return Cursor;
  }
  UINTN Fits = (UINTN)(Limit - Cursor) >> (Increment - 1);
  UINTN Count = (UINTN)Length < Fits ? (UINTN)Length : Fits;
  if (Increment == 2) {
    for (UINTN Index = 0; Index < Count; Index++) {
      Cursor[2 * Index] = (UINT8)Character;
      Cursor[2 * Index + 1] = (UINT8)(Character >> 8);
    }
  } else {
    for (UINTN Index = 0; Index < Count; Index++) {
      Cursor[Index] = (UINT8)Character;
    }
  }
  return Cursor + Count * Increment;
}

// Copies Count characters of text, each InBytes wide, stepping Step
// characters (1 forward, -1 backward), as output characters of OutBytes. The
// caller has bounded Count by the room left and by the text's own length.
static UINT8 *CopyText(UINT8 *Cursor, CONST UINT8 *Text, UINTN Count, UINTN InBytes, INTN Step,
                       UINTN OutBytes) {
  INTN Stride = Step * (INTN)InBytes;
  for (UINT8 *Stop = Cursor + Count * OutBytes; Cursor < Stop; Cursor += OutBytes, Text += Stride) {
    Cursor[0] = Text[0];
    if (OutBytes == 2) {
      Cursor[1] = InBytes == 2 ? Text[1] : 0;
    }
  }
  return Cursor;
}

// Characters of Text before its NUL, counting at most Limit.
static UINTN TextLength(CONST UINT8 *Text, BOOLEAN Ucs2, UINTN Limit) {
  UINTN Length = 0;
  if (Ucs2) {
    while (Length < Limit && (Text[2 * Length] | Text[2 * Length + 1]) != 0) {
      Length++;
    }
  } else {
    while (Length < Limit && Text[Length] != 0) {
      Length++;
    }
  }
  return Length;
}

// The output stage: blanks, sign, zeros, the text with its commas, blanks.
static VOID EmitItem(FORMAT_FRAME *Frame, FORMAT_ITEM *Item) {
  UINTN Flags = Item->Flags;
  BOOLEAN Ucs2 = (Flags & PF_ARG_UCS2) != 0;
  UINTN Length;
  if (Flags & PF_REVERSED) {
    Length = Item->Count;
  } else {
    Length = TextLength(Item->Text, Ucs2, (Flags & PF_PRECISION) ? Item->Precision : ~(UINTN)0);
  }
  UINTN Precision = Item->Precision < Length ? Length : Item->Precision;
  UINTN Out = Frame->OutBytes;
  UINT8 *End = Frame->End;
  UINT8 *Cursor = Frame->Cursor;

  BOOLEAN Padded = (Flags & PF_WIDTH) != 0;
  if (Padded && !(Flags & PF_LEFT)) {
    Cursor = FillOutput(Cursor, End, (INTN)(Item->Width - Precision), ' ', Out);
  }
  if (Item->ZeroPad) {
    if (Item->Sign != 0) {
      Cursor = FillOutput(Cursor, End, 1, Item->Sign, Out);
    }
    Cursor = FillOutput(Cursor, End, (INTN)(Precision - Length), '0', Out);
  } else {
    Cursor = FillOutput(Cursor, End, (INTN)(Precision - Length), ' ', Out);
  }

  // The sign already holds one of the Length positions.
  UINTN Index = Item->Sign != 0 ? 1 : 0;
  CONST UINT8 *Text = Item->Text;
  if (!Item->Comma) {
    // Length counts only characters before the text's end: copy what fits.
    UINTN Fits = (UINTN)(End - Cursor) / Out;
    UINTN Count = Index < Length ? Length - Index : 0;
    Count = Count < Fits ? Count : Fits;
    Cursor = CopyText(Cursor, Text, Count, Ucs2 ? 2 : 1, (Flags & PF_REVERSED) ? -1 : 1, Out);
  } else {
    // Decimal digits, read backward, with a comma after every third from the right.
    UINTN Phase = Item->CommaPhase;
    while (Index < Length && Cursor < End) {
      UINTN Character = *Text--;
      if (Character == 0) {
        break;
      }
      Cursor = FillOutput(Cursor, End, 1, Character, Out);
      Index++;
      if (++Phase == 3) {
        Phase = 0;
        Index++;
        if (Index < Length) {
          Cursor = FillOutput(Cursor, End, 1, ',', Out);
        }
      }
    }
  }

  if (Padded && (Flags & PF_LEFT)) {
    Cursor = FillOutput(Cursor, End, (INTN)(Item->Width - Precision), ' ', Out);
  }
  Frame->Cursor = Cursor;
}

CONST UINT8 *EFIAPI ReadLineEnd(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan) {
  UINTN Character = FormatCharAt(Frame, Scan);
  UINTN Next = FormatCharAt(Frame, Scan + Frame->FmtBytes);
  Item->Flags &= ~(UINTN)PF_ARG_UCS2;
  Item->Text = (CONST UINT8 *)"\r\n";
  if (Character == '\n') {
    // "\n\r" is one line end too.
    return Next == '\r' ? Scan + Frame->FmtBytes : Scan;
  }
  if (Next == '\n') {
    return Scan + Frame->FmtBytes;
  }
  Item->Text = (CONST UINT8 *)"\r";
  return Scan;
}

extern "C" UINTN EFIAPI FormatCore(VOID *Buffer, UINTN BufferSize, UINTN Flags, CONST VOID *Format,
                                   VA_LIST Arguments) {
  if (BufferSize != 0) {
    if (Buffer == nullptr) {
      CHECK(FALSE, "(Buffer != ((void *) 0))");
      return 0;
    }
    if (Format == nullptr) {
      CHECK(FALSE, "(Format != ((void *) 0))");
      return 0;
    }
  }

  FORMAT_FRAME Frame;
  Frame.CallerFlags = Flags & (PF_OUT_UCS2 | PF_FMT_UCS2);
  if (Flags & PF_OUT_UCS2) {
    Frame.OutBytes = 2;
    if (BufferSize > PcdMaximumUnicodeStringLength) {
      CHECK(FALSE, "(BufferSize <= (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength))");
      return 0;
    }
  } else {
    Frame.OutBytes = 1;
    if (BufferSize > PcdMaximumAsciiStringLength) {
      CHECK(FALSE, "(BufferSize <= (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength))");
      return 0;
    }
  }

  UINTN PlainRun;
  if (Flags & PF_FMT_UCS2) {
    Frame.FmtBytes = 2;
    if (StrnLenS((CONST CHAR16 *)Format, PcdMaximumUnicodeStringLength + 1, &PlainRun) >
        PcdMaximumUnicodeStringLength) {
      CHECK(FALSE,
            "(StrnLenS ((CHAR16 *)Format, (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength) + "
            "1) <= (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength))");
      return 0;
    }
  } else {
    Frame.FmtBytes = 1;
    if (AsciiStrnLenS((CONST CHAR8 *)Format, PcdMaximumAsciiStringLength + 1, &PlainRun) >
        PcdMaximumAsciiStringLength) {
      CHECK(FALSE,
            "(AsciiStrnLenS (Format, (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength) + 1) <= "
            "(_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength))");
      return 0;
    }
  }

  if (BufferSize == 0) {
    return 0;
  }

  UINT8 *Start = (UINT8 *)Buffer;
  Frame.Cursor = Start;
  Frame.End = Start + (BufferSize - 1) * Frame.OutBytes;
  Frame.Arguments = Arguments;

  CONST UINT8 *Scan = (CONST UINT8 *)Format;
  while (Frame.Cursor < Frame.End) {
    UINTN Character = FormatCharAt(&Frame, Scan);
    if (!IsItemStart(Character)) {
      // A plain character is an item with no width or precision: it prints
      // as itself (its low byte into 8-bit output), so a run is one copy.
      UINTN Run = PlainRun != 0 ? PlainRun : PlainRunLength(Scan, ~(UINTN)0, Frame.FmtBytes);
      PlainRun = 0;
      UINTN Fits = (UINTN)(Frame.End - Frame.Cursor) / Frame.OutBytes;
      Run = Run < Fits ? Run : Fits;
      Frame.Cursor = CopyText(Frame.Cursor, Scan, Run, Frame.FmtBytes, 1, Frame.OutBytes);
      Scan += Run * Frame.FmtBytes;
      continue;
    }
    PlainRun = 0;
    if (Character == 0) {
      break;
    }
    // Nothing one item sets reaches the next.
    FORMAT_ITEM Item;
    Item.Flags = Frame.CallerFlags;
    Item.Width = 0;
    Item.Precision = 1;
    Item.Count = 0;
    Item.Sign = 0;
    Item.ZeroPad = FALSE;
    Item.Comma = FALSE;
    Item.CommaPhase = 0;
    if (Character == '%') {
      Scan = ParseDirective(&Frame, &Item, Scan + Frame.FmtBytes);
    } else {
      Scan = ReadLineEnd(&Frame, &Item, Scan);
    }
    EmitItem(&Frame, &Item);
    // A directive cut off by the format's end leaves Scan on the NUL.
    if (FormatCharAt(&Frame, Scan) == 0) {
      break;
    }
    Scan += Frame.FmtBytes;
  }

  // The terminator may use the character reserved for it at End.
  FillOutput(Frame.Cursor, Frame.End + Frame.OutBytes, 1, 0, Frame.OutBytes);
  return (UINTN)(Frame.Cursor - Start) / Frame.OutBytes;
}

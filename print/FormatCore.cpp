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

// The length checks run on every call, before any character is written.
static UINTN StrnLenS(CONST CHAR16 *String, UINTN MaxSize) {
  CHECK(((UINTN)String & 0x00000001) == 0, "((UINTN) String & 0x00000001) == 0");
  if (String == nullptr || MaxSize == 0) {
    return 0;
  }
  CONST UINT8 *Bytes = (CONST UINT8 *)String;
  UINTN Length = 0;
  while (Length < MaxSize && (Bytes[2 * Length] | Bytes[2 * Length + 1]) != 0) {
    Length++;
  }
  return Length;
}

static UINTN AsciiStrnLenS(CONST CHAR8 *String, UINTN MaxSize) {
  if (String == nullptr) {
    return 0;
  }
  UINTN Length = 0;
  while (Length < MaxSize && String[Length] != 0) {
    Length++;
  }
  return Length;
}

// Writes Character Length times below Limit; a negative or zero Length writes
// nothing. The loop runs only for the characters that fit, so a width or
// precision of any size costs nothing beyond the buffer's end.
static inline UINT8 *FillOutput(UINT8 *Cursor, UINT8 *Limit, INTN Length, UINTN Character,
                                UINTN Increment) {
  if (Length <= 0 || Cursor >= Limit) {
    return Cursor;
  }
  UINTN Fits = (UINTN)(Limit - Cursor) / Increment;
  UINTN Count = (UINTN)Length < Fits ? (UINTN)Length : Fits;
  for (UINTN Index = 0; Index < Count; Index++) {
    Cursor[0] = (UINT8)Character;
    if (Increment == 2) {
      Cursor[1] = (UINT8)(Character >> 8);
    }
    Cursor += Increment;
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
  UINTN Phase = Item->CommaPhase;
  while (Index < Length && Cursor < End) {
    UINTN Character;
    if (Flags & PF_REVERSED) {
      Character = *Text--;
    } else if (Ucs2) {
      Character = Text[0] | (Text[1] << 8);
      Text += 2;
    } else {
      Character = *Text++;
    }
    if (Character == 0) {
      break;
    }
    Cursor = FillOutput(Cursor, End, 1, Character, Out);
    Index++;
    if (Item->Comma && ++Phase == 3) {
      Phase = 0;
      Index++;
      if (Index < Length) {
        Cursor = FillOutput(Cursor, End, 1, ',', Out);
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

extern "C" UINTN EFIAPI FormatCore(VOID *Buffer, UINTN BufferSize, UINTN Flags,
                                   CONST VOID *Format, VA_LIST Arguments) {
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

  if (Flags & PF_FMT_UCS2) {
    Frame.FmtBytes = 2;
    if (StrnLenS((CONST CHAR16 *)Format, PcdMaximumUnicodeStringLength + 1) >
        PcdMaximumUnicodeStringLength) {
      CHECK(FALSE,
            "(StrnLenS ((CHAR16 *)Format, (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength) + "
            "1) <= (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength))");
      return 0;
    }
  } else {
    Frame.FmtBytes = 1;
    if (AsciiStrnLenS((CONST CHAR8 *)Format, PcdMaximumAsciiStringLength + 1) >
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
    } else if (Character == '\n' || Character == '\r') {
      Scan = ReadLineEnd(&Frame, &Item, Scan);
    } else {
      SetOneCharText(&Frame, &Item, Character);
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

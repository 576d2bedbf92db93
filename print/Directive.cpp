// SPDX-License-Identifier: MIT
// The item readers: the conversion table, the directive reader, the
// line-end reader, the digit writer, and the integer, character and string
// conversions. Each conversion consumes its slots and leaves the item (its
// forward text, flags, W, P, and for a number its digits and sign) for the
// output stage in FormatCore.cpp.
#include "FormatInternal.h"

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
static VOID ConvertInteger(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, UINT64 Value) {
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

CONST UINT8 *EFIAPI ReadLineEnd(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan) {
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

CONST UINT8 *EFIAPI ReadDirective(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan) {
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

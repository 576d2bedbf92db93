// SPDX-License-Identifier: MIT
// The item readers: the directive parser, the line-end reader, and the
// integer, character and string conversions. Each conversion consumes its
// slots and leaves the item (text and how to copy it, flags, W, P, and for a
// number its sign and zeros) for the output stage in FormatCore.cpp.
#include "FormatInternal.h"

// Upper case always: x and X share their digits.
static constexpr CHAR8 DigitCharacters[] = "0123456789ABCDEF";

// The integer conversions d, u, x, X and p of Value: the argument, an int
// sign-extended without 'l', a 64-bit integer with it, or a pointer
// zero-extended.
static VOID ConvertInteger(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, UINT64 Value) {
  UINTN Flags = Item->Flags;
  Item->Sign = (Flags & PF_SIGN) ? '+' : (Flags & PF_BLANK) ? ' ' : 0;

  UINT64 Radix = 16;
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

  // Least significant digit first, behind a NUL, with the grouping commas
  // already in place: the output stage copies it backward as it stands.
  CHAR8 *Buffer = Frame->ValueBuffer;
  Buffer[0] = 0;
  UINTN Generated = 0;
  UINTN GroupLeft = 3;
  BOOLEAN Zero = Value == 0;
  do {
    if (Grouped && GroupLeft-- == 0) {
      Buffer[++Generated] = ',';
      GroupLeft = 2;
    }
    UINTN Digit;
    if (Radix == 16) {
      Digit = Value & 0xF;
      Value >>= 4;
    } else {
      Value = DivideByTen(Value, &Digit);
    }
    Buffer[++Generated] = DigitCharacters[Digit];
  } while (Value != 0);

  // %.0d of 0 prints no digit at all.
  Item->Count = (Zero && Item->Precision == 0) ? 0 : Generated;
  Item->Text = (CONST UINT8 *)&Buffer[Generated];
  Item->Copy = COPY_DIGITS;
  Item->Number = TRUE;
  // With '0' and a width, and neither '-' nor a precision, the zeros fill
  // the whole width, sign included.
  Item->ZeroFill = (Flags & (PF_ZERO_FILL | PF_WIDTH | PF_LEFT | PF_PRECISION)) == (PF_ZERO_FILL | PF_WIDTH);
}

static VOID ConvertString(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, BOOLEAN Ucs2) {
  CONST UINT8 *String = NextPointer(Frame);
  if (String == nullptr) {
    String = (CONST UINT8 *)"<null string>";
    Ucs2 = FALSE;
  }
  Item->Text = String;
  if (Ucs2) {
    Item->Copy = COPY_UCS2_TEXT;
  }
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
  Item->Copy = COPY_UCS2_TEXT;
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
  DIRECTIVE Directive = {Item->Flags, 0, 1, 0};  // the item's flags: none yet
  for (;;) {
    Scan = ParseDirective(Frame->FmtBytes, Scan, &Directive);
    if (Directive.Conversion != '*') {
      break;
    }
    // Each '*' takes a UINTN in turn: the precision after a '.', else the width.
    UINTN Value = NextUintn(Frame);
    if (Directive.Flags & PF_PRECISION) {
      Directive.Precision = Value;
    } else {
      Directive.Width = Value;
      Directive.Flags |= PF_WIDTH;
    }
    Scan += Frame->FmtBytes;
  }
  Item->Flags = Directive.Flags;
  Item->Width = Directive.Width;
  Item->Precision = Directive.Precision;
  CHAR8 *Buffer = Frame->ValueBuffer;
  UINTN Character = Directive.Conversion;
  switch (Character) {
    case 0:
      // Cut off by the format's end: only the width still prints.
      Item->Text = (CONST UINT8 *)"";
      Item->Precision = 0;
      break;
    // The conversion's bits: X fills with zeros, x and X are hexadecimal,
    // u is unsigned and takes no '+'; p is the whole pointer in
    // hexadecimal, zero-filled, with no sign.
    case 'X':
      Item->Flags |= PF_ZERO_FILL;
      [[fallthrough]];
    case 'x':
      Item->Flags |= PF_HEX;
      [[fallthrough]];
    case 'd':
    case 'u':
      if (Character == 'u') {
        Item->Flags = (Item->Flags | PF_UNSIGNED) & ~(UINTN)PF_SIGN;
      }
      ConvertInteger(Frame, Item, (Item->Flags & PF_LONG) ? NextInt64(Frame) : NextInt(Frame));
      break;
    case 'p':
      Item->Flags &= ~(UINTN)(PF_SIGN | PF_BLANK | PF_LONG | PF_ZERO_FILL);
      Item->Flags |= PF_LONG | PF_ZERO_FILL | PF_HEX;
      ConvertInteger(Frame, Item, (UINT64)(UINTN)NextPointer(Frame));
      break;
    case 'c':
      SetOneCharText(Frame, Item, (UINTN)(NextInt(Frame) & 0xFFFF));
      break;
    case 'a':
      ConvertString(Frame, Item, FALSE);
      break;
    case 's':
    case 'S':
      ConvertString(Frame, Item, TRUE);
      break;
    case 'g':
      Item->Text = (CONST UINT8 *)GuidText(Buffer, NextPointer(Frame));
      break;
    case 't':
      Item->Text = (CONST UINT8 *)TimeText(Buffer, NextPointer(Frame));
      break;
    case 'r':
      Item->Text = (CONST UINT8 *)StatusText(Buffer, (EFI_STATUS)NextUintn(Frame));
      break;
    case '\n':
    case '\r':
      return ReadLineEnd(Frame, Item, Scan);
    default:
      SetOneCharText(Frame, Item, Character);
      break;
  }
  return Scan;
}

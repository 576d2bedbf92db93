// SPDX-License-Identifier: MIT
// The directive parser and the integer, character and string conversions.
// Each conversion consumes its slots and leaves the item state (text, flags,
// W, P, sign, zero pad, grouping) for the output stage in FormatCore.cpp.
#include "FormatInternal.h"

static VOID ConvertInteger(FORMAT_FRAME *Frame, FORMAT_ITEM *Item) {
  UINT64 Value = NextSlot(Frame);
  UINTN Flags = Item->Flags;
  if (!(Flags & PF_LONG)) {
    Value = (UINT64)(INT64)(INT32)Value;
  }
  Item->Sign = (Flags & PF_SIGN) ? '+' : (Flags & PF_BLANK) ? ' ' : 0;

  UINT64 Radix = 16;
  if (!(Flags & PF_HEX)) {
    Radix = 10;
    if (Flags & PF_COMMA) {
      // Grouping drops zero fill and any precision.
      Flags &= ~(UINTN)PF_ZERO_FILL;
      Item->Precision = 1;
      Item->Comma = TRUE;
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

  // Least significant digit first, behind a NUL that ends the backward read.
  CHAR8 *Buffer = Frame->ValueBuffer;
  Buffer[0] = 0;
  UINTN Generated = 0;
  BOOLEAN Zero = Value == 0;
  do {
    UINTN Digit;
    if (Radix == 16) {
      Digit = Value & 0xF;
      Value >>= 4;
    } else {
      Digit = Value % 10;
      Value /= 10;
    }
    // Upper case always: x and X share their digits.
    Buffer[++Generated] = (CHAR8)(Digit < 10 ? '0' + Digit : 'A' - 10 + Digit);
  } while (Value != 0);

  // %.0d of 0 prints no digit at all.
  UINTN DigitCount = (Zero && Item->Precision == 0) ? 0 : Generated;
  Item->CommaPhase = (3 - DigitCount % 3) % 3;
  UINTN Length = DigitCount;
  if (Item->Comma && DigitCount > 0) {
    Length += (DigitCount - 1) / 3;
  }
  if (Item->Sign != 0) {
    Length++;
    Item->Precision++;
  }
  Item->Count = Length;
  Item->Text = (CONST UINT8 *)&Buffer[Generated];
  Flags |= PF_REVERSED;
  Item->ZeroPad = TRUE;
  if ((Flags & (PF_ZERO_FILL | PF_WIDTH | PF_LEFT | PF_PRECISION)) == (PF_ZERO_FILL | PF_WIDTH)) {
    // The zeros fill the whole width, sign included.
    Item->Precision = Item->Width;
  }
  Item->Flags = Flags;
}

static VOID ConvertString(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, BOOLEAN Ucs2) {
  CONST UINT8 *String = (CONST UINT8 *)(UINTN)NextSlot(Frame);
  if (String == nullptr) {
    String = (CONST UINT8 *)"<null string>";
    Ucs2 = FALSE;
  }
  Item->Text = String;
  if (Ucs2) {
    Item->Flags |= PF_ARG_UCS2;
  }
  if (!(Item->Flags & PF_PRECISION)) {
    Item->Precision = 0;
  }
}

CONST UINT8 *EFIAPI ParseDirective(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan) {
  for (;; Scan += Frame->FmtBytes) {
    UINTN Character = FormatCharAt(Frame, Scan);
    if (Character >= '0' && Character <= '9') {
      if (Character == '0' && !(Item->Flags & PF_PRECISION)) {
        Item->Flags |= PF_ZERO_FILL;
      }
      UINTN Number = 0;
      for (; Character >= '0' && Character <= '9'; Character = FormatCharAt(Frame, Scan)) {
        Number = Number * 10 + (Character - '0');
        Scan += Frame->FmtBytes;
      }
      if (Item->Flags & PF_PRECISION) {
        Item->Precision = Number;
      } else {
        Item->Width = Number;
        Item->Flags |= PF_WIDTH;
      }
      // The character that ended the number is the next directive character.
      Scan -= Frame->FmtBytes;
      continue;
    }
    switch (Character) {
      case ' ':
        Item->Flags |= PF_BLANK;
        continue;
      case '+':
        Item->Flags |= PF_SIGN;
        continue;
      case '-':
        Item->Flags |= PF_LEFT;
        continue;
      case ',':
        Item->Flags |= PF_COMMA;
        continue;
      case 'l':
      case 'L':
        Item->Flags |= PF_LONG;
        continue;
      case '.':
        Item->Flags |= PF_PRECISION;
        continue;
      case '*':
        if (Item->Flags & PF_PRECISION) {
          Item->Precision = NextSlot(Frame);
        } else {
          Item->Width = NextSlot(Frame);
          Item->Flags |= PF_WIDTH;
        }
        continue;
      case 0:
        // Cut off by the format's end: only the width still prints.
        Item->Text = (CONST UINT8 *)"";
        Item->Precision = 0;
        return Scan;
      case 'u':
        Item->Flags = (Item->Flags | PF_UNSIGNED) & ~(UINTN)PF_SIGN;
        ConvertInteger(Frame, Item);
        return Scan;
      case 'X':
        Item->Flags |= PF_ZERO_FILL;
        [[fallthrough]];
      case 'x':
        Item->Flags |= PF_HEX;
        [[fallthrough]];
      case 'd':
        ConvertInteger(Frame, Item);
        return Scan;
      case 'p':
        Item->Flags &= ~(UINTN)(PF_SIGN | PF_BLANK | PF_LONG | PF_ZERO_FILL);
        Item->Flags |= PF_LONG | PF_ZERO_FILL | PF_HEX;
        ConvertInteger(Frame, Item);
        return Scan;
      case 'c':
        // A NUL character still takes its one position, as a blank.
        SetOneCharText(Frame, Item, (UINTN)(NextSlot(Frame) & 0xFFFF));
        return Scan;
      case 'a':
        ConvertString(Frame, Item, FALSE);
        return Scan;
      case 's':
      case 'S':
        ConvertString(Frame, Item, TRUE);
        return Scan;
      case 'g':
      case 't':
      case 'r':
        ConvertValueText(Frame, Item, Character);
        return Scan;
      case '\n':
      case '\r':
        return ReadLineEnd(Frame, Item, Scan);
      default:
        SetOneCharText(Frame, Item, Character);
        return Scan;
    }
  }
}

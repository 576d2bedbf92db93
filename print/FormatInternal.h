// SPDX-License-Identifier: MIT
// The format engine's own state, shared by its three pieces: the frame and
// output stage (FormatCore.cpp), the directive parser with the integer,
// character and string conversions (Directive.cpp), and the GUID, time and
// status conversions (ValueText.cpp). Everything lives in one call's frame,
// so FormatCore may be entered again while a call is in progress.
#pragma once
#include "PrintFlags.h"
#include "Uefi.h"

// Scratch text of one FormatCore call: room for 37 characters and the NUL.
#define VALUE_BUFFER_SIZE 38

typedef struct {
  UINTN Flags;
  UINTN Width;        // W, meaningful with PF_WIDTH
  UINTN Precision;    // P
  CONST UINT8 *Text;  // argument text: 8-bit, UCS-2 (PF_ARG_UCS2) or a
                      // backward digit string (PF_REVERSED)
  UINTN Count;        // N of a reversed text, supplied by the conversion
  UINTN Sign;         // 0, '+', ' ' or '-' (integers only)
  BOOLEAN ZeroPad;    // integers: zeros fill up to the precision
  BOOLEAN Comma;      // group the copied digits by threes
  UINTN CommaPhase;   // 0 to 2: digits since the last comma position
} FORMAT_ITEM;

typedef struct {
  UINT8 *Cursor;      // next output character
  UINT8 *End;         // reserved for the terminator
  UINTN OutBytes;     // 1 or 2 bytes per output character
  UINTN FmtBytes;     // 1 or 2 bytes per format character
  UINTN CallerFlags;  // PF_OUT_UCS2 | PF_FMT_UCS2 as the caller gave them
  VA_LIST Arguments;  // the next 8-byte slot
  UINT8 CharText[4];  // one UCS-2 character and its NUL
  CHAR8 ValueBuffer[VALUE_BUFFER_SIZE];
} FORMAT_FRAME;

// The format character at Scan: a byte, or a little-endian UCS-2 unit read a
// byte at a time so an odd format address is safe.
static inline UINTN FormatCharAt(CONST FORMAT_FRAME *Frame, CONST UINT8 *Scan) {
  return Frame->FmtBytes == 2 ? (UINTN)(Scan[0] | (Scan[1] << 8)) : Scan[0];
}

static inline UINT64 NextSlot(FORMAT_FRAME *Frame) {
  return VA_ARG(Frame->Arguments, UINT64);
}

static inline VOID SetOneCharText(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, UINTN Character) {
  Frame->CharText[0] = (UINT8)Character;
  Frame->CharText[1] = (UINT8)(Character >> 8);
  Frame->CharText[2] = 0;
  Frame->CharText[3] = 0;
  Item->Text = Frame->CharText;
  Item->Flags |= PF_ARG_UCS2;
}

// Line feed or carriage return at Scan (as a literal or as a directive's
// conversion character): sets the item's text to "\r\n" or "\r" and returns
// the last format character the line end consumed.
CONST UINT8 *EFIAPI ReadLineEnd(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan);

// Parses the directive whose first character after '%' is at Scan, runs its
// conversion and fills Item. Returns the last format character consumed: the
// conversion character, or the NUL that cut the directive off.
CONST UINT8 *EFIAPI ParseDirective(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, CONST UINT8 *Scan);

// The g, t and r conversions.
VOID EFIAPI ConvertValueText(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, UINTN Conversion);

// SPDX-License-Identifier: MIT
// The g, t and r conversions: a GUID, a time and a status value as 8-bit
// text. GUID and time fields, and a status without a name, are written into
// the call's value buffer by the integer conversions' digit writer, as their
// pictures lay them out; status values are named from StatusNames.
// Each hands the output stage a plain 8-bit string, so width and precision
// act on it as on %a and never add zeros.
#include "FormatInternal.h"

// The status names, packed into one constant block, each ended by its NUL: the
// image holds no pointer per name, and no relocation. A name is found by
// counting NULs, which costs the rare %r of an error a few hundred
// instructions and saves the image a table of offsets.
// Index 0 is success, 1 to 5 the warnings 1 to 5, 6 to 38 the errors 1 to 33.
static constexpr CONST CHAR8 *StatusNameList[] = {
    "Success",
    "Warning Unknown Glyph",
    "Warning Delete Failure",
    "Warning Write Failure",
    "Warning Buffer Too Small",
    "Warning Stale Data",
    "Load Error",
    "Invalid Parameter",
    "Unsupported",
    "Bad Buffer Size",
    "Buffer Too Small",
    "Not Ready",
    "Device Error",
    "Write Protected",
    "Out of Resources",
    "Volume Corrupt",
    "Volume Full",
    "No Media",
    "Media changed",
    "Not Found",
    "Access Denied",
    "No Response",
    "No mapping",
    "Time out",
    "Not started",
    "Already started",
    "Aborted",
    "ICMP Error",
    "TFTP Error",
    "Protocol Error",
    "Incompatible Version",
    "Security Violation",
    "CRC Error",
    "End of Media",
    "Reserved (29)",
    "Reserved (30)",
    "End of File",
    "Invalid Language",
    "Compromised Data",
};
static constexpr UINTN StatusNameCount = sizeof(StatusNameList) / sizeof(StatusNameList[0]);
static constexpr UINTN LastWarning = 5;
static constexpr UINTN LastError = 33;
static_assert(StatusNameCount == 1 + LastWarning + LastError);

static constexpr UINTN TextBytes(CONST CHAR8 *Text) {
  UINTN Length = 0;
  while (Text[Length] != 0) Length++;
  return Length + 1;
}

static constexpr UINTN StatusTextBytes = [] {
  UINTN Total = 0;
  for (CONST CHAR8 *Name : StatusNameList) Total += TextBytes(Name);
  return Total;
}();

typedef struct {
  CHAR8 Text[StatusTextBytes];  // every name with its NUL, in table order
} STATUS_NAMES;

static constexpr STATUS_NAMES StatusNames = [] {
  STATUS_NAMES Names{};
  UINTN At = 0;
  for (CONST CHAR8 *Name : StatusNameList) {
    for (CONST CHAR8 *Character = Name; *Character != 0; Character++) {
      Names.Text[At++] = *Character;
    }
    Names.Text[At++] = 0;
  }
  return Names;
}();

static CONST CHAR8 *StatusName(UINTN Index) {
  CONST CHAR8 *Name = StatusNames.Text;
  for (; Index > 0; Index--) {
    while (*Name++ != 0) {
    }
  }
  return Name;
}

// A value text's picture, left to right: a field byte (FIELD) stands for a
// little-endian number read from the value, written in at least two digits
// a byte; any other byte is itself.
static constexpr CHAR8 FIELD(UINTN Bytes, UINTN Offset) {
  return (CHAR8)(0x80 | Bytes << 4 | Offset);
}

// A GUID: Data1, Data2 and Data3 as numbers, then the eight bytes of Data4
// in order.
static constexpr CHAR8 GuidPicture[] = {
    FIELD(4, 0), '-', FIELD(2, 4), '-', FIELD(2, 6), '-', FIELD(1, 8), FIELD(1, 9), '-',
    FIELD(1, 10), FIELD(1, 11), FIELD(1, 12), FIELD(1, 13), FIELD(1, 14), FIELD(1, 15), 0};
// An EFI_TIME: month, day, year, hour, minute; no field is range-checked,
// so a larger one takes more digits.
static constexpr CHAR8 TimePicture[] = {FIELD(1, 2), '/', FIELD(1, 3), '/', FIELD(2, 0), ' ', ' ',
                                        FIELD(1, 4), ':', FIELD(1, 5), 0};
// A status without a name: its low 32 bits (the machine is little-endian),
// so on a 64-bit machine the error bit and bits 32 and up do not show; on a
// 32-bit one that is the whole value.
static constexpr CHAR8 StatusPicture[] = {FIELD(4, 0), 0};

// The most characters Picture's text can have in Radix.
static constexpr UINTN LongestText(CONST CHAR8 *Picture, UINTN Radix) {
  UINTN Length = 0;
  for (; *Picture != 0; Picture++) {
    UINTN Code = (UINT8)*Picture;
    UINT64 Largest = Code < 0x80 ? 0 : ~0ull >> (64 - 8 * ((Code >> 4) & 7));
    for (Length++; Largest >= Radix; Largest /= Radix) {
      Length++;
    }
  }
  return Length;
}
static_assert(LongestText(GuidPicture, 16) == 36 && LongestText(GuidPicture, 16) < VALUE_BUFFER_SIZE);
static_assert(LongestText(TimePicture, 10) < VALUE_BUFFER_SIZE);
static_assert(LongestText(StatusPicture, 16) < VALUE_BUFFER_SIZE);

// Writes Picture of Value, in Radix, ending at the value buffer's end with a
// NUL, right to left; returns where the text starts.
static CONST CHAR8 *WritePicture(CHAR8 *Buffer, CONST UINT8 *Value, CONST CHAR8 *Picture, UINTN Radix) {
  CONST CHAR8 *Byte = Picture;
  while (*Byte != 0) {
    Byte++;
  }
  CHAR8 *Start = Buffer + VALUE_BUFFER_SIZE - 1;
  *Start = 0;
  while (Byte > Picture) {
    UINTN Code = (UINT8) * --Byte;
    if (Code < 0x80) {
      *--Start = (CHAR8)Code;
      continue;
    }
    UINTN Bytes = (Code >> 4) & 7;
    UINT64 Number = 0;
    for (CONST UINT8 *At = Value + (Code & 0xF) + Bytes; At > Value + (Code & 0xF);) {
      Number = Number << 8 | *--At;
    }
    Start = WriteDigits(Start, Number, Radix, 2 * Bytes, FALSE);
  }
  return Start;
}

CONST CHAR8 *EFIAPI ValueText(CHAR8 *Buffer, CONVERSION_KIND Kind, CONST UINT8 *Value) {
  BOOLEAN Guid = Kind == KIND_GUID;
  if (Value == nullptr) {
    return Guid ? "<null guid>" : "<null time>";
  }
  return Guid ? WritePicture(Buffer, Value, GuidPicture, 16) : WritePicture(Buffer, Value, TimePicture, 10);
}

CONST CHAR8 *EFIAPI StatusText(CHAR8 *Buffer, EFI_STATUS Status) {
  if (Status & EFI_ERROR_BIT) {
    EFI_STATUS Code = Status & ~EFI_ERROR_BIT;
    if (Code >= 1 && Code <= LastError) {
      return StatusName(LastWarning + Code);
    }
  } else if (Status <= LastWarning) {
    return StatusName(Status);
  }
  return WritePicture(Buffer, (CONST UINT8 *)&Status, StatusPicture, 16);
}

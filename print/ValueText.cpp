// SPDX-License-Identifier: MIT
// The g, t and r conversions: a GUID, a time and a status value as 8-bit
// text. GUID and time fields are formatted into the call's value buffer by a
// nested FormatCore call; status values are named from StatusNames.
// Each hands the output stage a plain 8-bit string, so width and precision
// act on it as on %a and never add zeros.
#include "FormatInternal.h"
#include "Print.h"

// The status names, packed into one constant block and found through their
// offsets: the image then holds no pointer per name, and no relocation.
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
  CHAR8 Text[StatusTextBytes];     // every name with its NUL, in table order
  UINT16 Offset[StatusNameCount];  // where each name starts in Text
} STATUS_NAMES;

static constexpr STATUS_NAMES StatusNames = [] {
  STATUS_NAMES Names{};
  UINTN At = 0;
  for (UINTN Index = 0; Index < StatusNameCount; Index++) {
    Names.Offset[Index] = (UINT16)At;
    for (CONST CHAR8 *Character = StatusNameList[Index]; *Character != 0; Character++) {
      Names.Text[At++] = *Character;
    }
    Names.Text[At++] = 0;
  }
  return Names;
}();
static_assert(StatusTextBytes < 0x10000);

static CONST CHAR8 *StatusName(UINTN Index) {
  return &StatusNames.Text[StatusNames.Offset[Index]];
}

// A complete nested FormatCore call into a 38-character value buffer, 8-bit in
// and out, over Values laid out as an argument list: each an int or a UINTN
// of one machine word, as every directive here reads. Its own frame keeps the
// outer call's state untouched.
static UINTN FormatValueText(CHAR8 *Buffer, CONST CHAR8 *Format, CONST UINTN *Values) {
  return FormatCore(Buffer, VALUE_BUFFER_SIZE, 0, Format, SLOT_LIST(Values));
}

// Little-endian fields read a byte at a time: the GUID may lie at any address.
static inline UINTN ReadUint16(CONST UINT8 *Bytes) {
  return (UINTN)Bytes[0] | ((UINTN)Bytes[1] << 8);
}

CONST CHAR8 *EFIAPI GuidText(CHAR8 *Buffer, CONST UINT8 *Guid) {
  if (Guid == nullptr) {
    return "<null guid>";
  }
  // Data1, Data2 and Data3 as numbers, then the eight bytes of Data4 in order.
  UINTN Values[11] = {ReadUint16(Guid) | (ReadUint16(Guid + 2) << 16), ReadUint16(Guid + 4),
                       ReadUint16(Guid + 6)};
  for (UINTN Index = 0; Index < 8; Index++) {
    Values[3 + Index] = Guid[8 + Index];
  }
  FormatValueText(Buffer, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Values);
  return Buffer;
}

CONST CHAR8 *EFIAPI TimeText(CHAR8 *Buffer, CONST UINT8 *Time) {
  if (Time == nullptr) {
    return "<null time>";
  }
  // Month, day, year, hour, minute; no field is range-checked.
  CONST UINTN Values[5] = {Time[2], Time[3], ReadUint16(Time), Time[4], Time[5]};
  FormatValueText(Buffer, "%02d/%02d/%04d  %02d:%02d", Values);
  return Buffer;
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
  // "%08X" takes the low 32 bits: on a 64-bit machine the error bit and bits
  // 32 and up do not show; on a 32-bit one that is the whole value.
  FormatValueText(Buffer, "%08X", &Status);
  return Buffer;
}

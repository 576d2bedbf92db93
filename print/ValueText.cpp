// The g, t and r conversions: a GUID, a time and a status value as 8-bit
// text. GUID and time fields are formatted into the call's value buffer by a
// nested FormatCore call; status values are named from StatusNames.
// Each hands the output stage a plain 8-bit string, so width and precision
// act on it as on %a and never add zeros.
#include "FormatInternal.h"
#include "Print.h"

// Index 0 is success, 1 to 5 the warnings 1 to 5, 6 to 38 the errors 1 to 33.
static constexpr CONST CHAR8 *StatusNames[] = {
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
static constexpr UINTN LastWarning = 5;
static constexpr UINTN LastError = 33;
static_assert(sizeof(StatusNames) / sizeof(StatusNames[0]) == 1 + LastWarning + LastError);

// A complete nested FormatCore call into a 38-character value buffer, 8-bit in
// and out. Its own frame keeps the outer call's state untouched.
static UINTN EFIAPI FormatValueText(CHAR8 *Buffer, CONST CHAR8 *Format, ...) {
  VA_LIST Arguments;
  VA_START(Arguments, Format);
  UINTN Count = FormatCore(Buffer, VALUE_BUFFER_SIZE, 0, Format, Arguments);
  VA_END(Arguments);
  return Count;
}

// Little-endian fields read a byte at a time: the GUID may lie at any address.
static inline UINT64 ReadUint16(CONST UINT8 *Bytes) {
  return (UINT64)Bytes[0] | ((UINT64)Bytes[1] << 8);
}

static inline UINT64 ReadUint32(CONST UINT8 *Bytes) {
  return ReadUint16(Bytes) | (ReadUint16(Bytes + 2) << 16);
}

static CONST CHAR8 *GuidText(CHAR8 *Buffer, CONST UINT8 *Guid) {
  if (Guid == nullptr) {
    return "<null guid>";
  }
  FormatValueText(Buffer, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", ReadUint32(Guid),
                  ReadUint16(Guid + 4), ReadUint16(Guid + 6), (UINT64)Guid[8], (UINT64)Guid[9],
                  (UINT64)Guid[10], (UINT64)Guid[11], (UINT64)Guid[12], (UINT64)Guid[13],
                  (UINT64)Guid[14], (UINT64)Guid[15]);
  return Buffer;
}

static CONST CHAR8 *TimeText(CHAR8 *Buffer, CONST UINT8 *Time) {
  if (Time == nullptr) {
    return "<null time>";
  }
  // Month, day, year, hour, minute; no field is range-checked.
  FormatValueText(Buffer, "%02d/%02d/%04d  %02d:%02d", (UINT64)Time[2], (UINT64)Time[3],
                  ReadUint16(Time), (UINT64)Time[4], (UINT64)Time[5]);
  return Buffer;
}

static CONST CHAR8 *StatusText(CHAR8 *Buffer, UINT64 Status) {
  if (Status & EFI_ERROR_BIT) {
    UINT64 Code = Status & ~EFI_ERROR_BIT;
    if (Code >= 1 && Code <= LastError) {
      return StatusNames[LastWarning + Code];
    }
  } else if (Status <= LastWarning) {
    return StatusNames[Status];
  }
  // "%08X" takes the low 32 bits: the error bit and bits 32 and up do not show.
  FormatValueText(Buffer, "%08X", Status);
  return Buffer;
}

VOID EFIAPI ConvertValueText(FORMAT_FRAME *Frame, FORMAT_ITEM *Item, UINTN Conversion) {
  UINT64 Slot = NextSlot(Frame);
  CHAR8 *Buffer = Frame->ValueBuffer;
  CONST CHAR8 *Text;
  if (Conversion == 'g') {
    Text = GuidText(Buffer, (CONST UINT8 *)(UINTN)Slot);
  } else if (Conversion == 't') {
    Text = TimeText(Buffer, (CONST UINT8 *)(UINTN)Slot);
  } else {
    Text = StatusText(Buffer, Slot);
  }
  Item->Text = (CONST UINT8 *)Text;
}

// SPDX-License-Identifier: MIT
#include "TerminalKeys.h"

#include <cstring>

namespace {

// UEFI scan codes (UEFI Specification 2.10, table 12.4.1).
struct SEQUENCE {
  const char *Text;
  UINT16 ScanCode;
};

const SEQUENCE Sequences[] = {
    {"\x1b[A", 0x01},   {"\x1b[B", 0x02},   {"\x1b[C", 0x03},
    {"\x1b[D", 0x04},  // arrows
    {"\x1bOA", 0x01},   {"\x1bOB", 0x02},   {"\x1bOC", 0x03},
    {"\x1bOD", 0x04},   {"\x1b[H", 0x05},   {"\x1b[F", 0x06},
    {"\x1b[1~", 0x05},  {"\x1b[4~", 0x06},  // home, end
    {"\x1b[2~", 0x07},  {"\x1b[3~", 0x08},  {"\x1b[5~", 0x09},
    {"\x1b[6~", 0x0A},  // ins, del, pgup, pgdn
    {"\x1bOP", 0x0B},   {"\x1bOQ", 0x0C},   {"\x1bOR", 0x0D},
    {"\x1bOS", 0x0E},  // F1 to F4
    {"\x1b[11~", 0x0B}, {"\x1b[12~", 0x0C}, {"\x1b[13~", 0x0D},
    {"\x1b[14~", 0x0E}, {"\x1b[15~", 0x0F}, {"\x1b[17~", 0x10},
    {"\x1b[18~", 0x11}, {"\x1b[19~", 0x12},  // F5 to F8
    {"\x1b[20~", 0x13}, {"\x1b[21~", 0x14}, {"\x1b[23~", 0x15},
    {"\x1b[24~", 0x16},  // F9 to F12
};

constexpr UINT16 ScanEsc = 0x17;

}  // namespace

size_t DecodeTerminalKey(const std::string &Bytes, bool AtEnd, EFI_INPUT_KEY *Key) {
  if (Bytes.empty()) return 0;
  *Key = {0, 0};
  unsigned char First = (unsigned char)Bytes[0];
  if (First == 0x1b) {
    bool Prefix = false;
    for (const SEQUENCE &Sequence : Sequences) {
      size_t Length = std::strlen(Sequence.Text);
      if (Bytes.compare(0, Length, Sequence.Text) == 0) {
        Key->ScanCode = Sequence.ScanCode;
        return Length;
      }
      if (Bytes.size() < Length &&
          std::string(Sequence.Text).compare(0, Bytes.size(), Bytes) == 0) {
        Prefix = true;
      }
    }
    if (Prefix && !AtEnd) return 0;  // wait for the rest
    Key->ScanCode = ScanEsc;         // a lone Escape, or one no sequence starts with
    return 1;
  }
  if (First == '\n' || First == '\r') {
    Key->UnicodeChar = 0x0D;  // Enter arrives as a carriage return
    return 1;
  }
  if (First == 0x7f) {
    Key->UnicodeChar = 0x08;  // Backspace
    return 1;
  }
  // UTF-8: one character of up to three bytes fits a UCS-2 unit.
  size_t Length = First < 0x80 ? 1 : (First >> 5) == 0x6 ? 2 : (First >> 4) == 0xE ? 3 : 1;
  if (Bytes.size() < Length) {
    if (!AtEnd) return 0;
    Length = 1;
  }
  UINT32 Character = Length == 1 ? First : Length == 2 ? First & 0x1F : First & 0x0F;
  for (size_t Index = 1; Index < Length; Index++) {
    Character = Character << 6 | ((unsigned char)Bytes[Index] & 0x3F);
  }
  Key->UnicodeChar = (CHAR16)Character;
  return Length;
}

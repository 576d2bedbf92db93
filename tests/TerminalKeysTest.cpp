// SPDX-License-Identifier: MIT
// Terminal bytes to UEFI keys, as the simulator's keyboard decodes them.
#include <gtest/gtest.h>

#include "TerminalKeys.h"

namespace {

struct CASE {
  std::string Bytes;
  bool AtEnd;
  size_t Used;
  UINT16 ScanCode;
  CHAR16 UnicodeChar;
};

TEST(TerminalKeys, SequencesCharactersAndLoneEscape) {
  const CASE Cases[] = {
      {"p", false, 1, 0, u'p'},
      {"pr", false, 1, 0, u'p'},
      {"\r", false, 1, 0, 0x0D},
      {"\n", false, 1, 0, 0x0D},
      {"\x7f", false, 1, 0, 0x08},
      {"\xc3\xa9", false, 2, 0, 0x00E9},      // é
      {"\xe2\x82\xac", false, 3, 0, 0x20AC},  // €
      {"\xc3", false, 0, 0, 0},               // half a character: wait
      {"\x1b", false, 0, 0, 0},               // could start a sequence: wait
      {"\x1b", true, 1, 0x17, 0},             // nothing followed: Escape
      {"\x1bp", false, 1, 0x17, 0},           // Escape, then p
      {"\x1b[A", false, 3, 0x01, 0},
      {"\x1bOD", false, 3, 0x04, 0},
      {"\x1b[", false, 0, 0, 0},
      {"\x1b[", true, 1, 0x17, 0},
      {"\x1b[3~", false, 4, 0x08, 0},
      {"\x1bOP", false, 3, 0x0B, 0},
      {"\x1b[24~", false, 5, 0x16, 0},
      {"\x1b[24~p", false, 5, 0x16, 0},
      {"", true, 0, 0, 0},
  };
  for (const CASE &Case : Cases) {
    EFI_INPUT_KEY Key = {0xFFFF, 0xFFFF};
    size_t Used = DecodeTerminalKey(Case.Bytes, Case.AtEnd, &Key);
    // The key counts only where bytes were used.
    EXPECT_EQ(std::make_tuple(Used, Used ? Key.ScanCode : 0, Used ? Key.UnicodeChar : 0),
              std::make_tuple(Case.Used, Case.ScanCode, Case.UnicodeChar))
        << "bytes of length " << Case.Bytes.size();
  }
}

}  // namespace

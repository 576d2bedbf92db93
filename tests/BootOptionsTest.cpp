// SPDX-License-Identifier: MIT
// Boot#### data comes from the variable store, written by anyone: the
// listing reads it only within its size.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "BootOptions.h"

namespace {

// Attributes, FilePathListLength, then the raw bytes that follow.
std::vector<UINT8> Option(UINT32 Attributes, UINT16 PathLength, const std::u16string &Tail) {
  std::vector<UINT8> Data = {(UINT8)Attributes, (UINT8)(Attributes >> 8), (UINT8)(Attributes >> 16),
                             (UINT8)(Attributes >> 24), (UINT8)PathLength, (UINT8)(PathLength >> 8)};
  for (char16_t Character : Tail) {
    Data.push_back((UINT8)Character);
    Data.push_back((UINT8)(Character >> 8));
  }
  return Data;
}

TEST(BootOptions, LoadOptionsAreReadOnlyWithinTheirSize) {
  // The path list here is four bytes (an end node) after the description.
  const std::u16string Named(u"Disk\0\xff7f\x0004", 7);
  struct {
    std::vector<UINT8> Data;
    BOOLEAN Readable;
    std::u16string Description;
  } Cases[] = {
      {Option(1, 4, Named), TRUE, u"Disk"},
      {Option(0, 4, std::u16string(u"\0\xff7f\x0004", 3)), TRUE, u""},     // no description
      {Option(1, 6, Named), FALSE, u""},                                     // path list runs past the end
      {Option(1, 0, u"Disk"), FALSE, u""},                                   // no terminator
      {Option(1, 0, u""), FALSE, u""},                                       // header alone
      {{1, 0, 0, 0, 0, 0, 0}, FALSE, u""},                                   // half a terminator
  };
  for (const auto &Case : Cases) {
    LOAD_OPTION_VIEW View = {};
    EXPECT_EQ(ReadLoadOption(Case.Data.data(), Case.Data.size(), &View), Case.Readable);
    if (Case.Readable) {
      EXPECT_EQ(std::u16string((const char16_t *)View.Description), Case.Description);
      EXPECT_EQ(View.Attributes & LOAD_OPTION_ACTIVE, Case.Data[0] & 1u);
    }
  }
  EXPECT_FALSE(ReadLoadOption(nullptr, 0, nullptr));
}

TEST(BootOptions, DescriptionsReachTheConsoleAsText) {
  // A description is anyone's text: a terminal's escape sequence in it is
  // shown, never sent.
  struct {
    std::u16string Text;
    UINTN Capacity;
    std::u16string Shown;
  } Cases[] = {
      {u"ubuntu", 16, u"ubuntu"},
      {u"\x1b[2J\x1b]0;x\x07", 32, u"\\x1B[2J\\x1B]0;x\\x07"},
      {u"a\r\nb\x7f\x9b\xa0\x0100", 32, u"a\\x0D\\x0Ab\\x7F\\x9B\xa0\x0100"},
      {u"ab\x1b", 6, u"ab"},  // an escape is cut whole, never half-shown
      {u"abcdef", 4, u"abc"},
  };
  for (const auto &Case : Cases) {
    std::vector<CHAR16> Buffer(Case.Capacity, 0xFFFF);
    EXPECT_EQ(VisibleText((const CHAR16 *)Case.Text.c_str(), Buffer.data(), Case.Capacity), Case.Shown.size());
    EXPECT_EQ(std::u16string((const char16_t *)Buffer.data()), Case.Shown);
  }
}

}  // namespace

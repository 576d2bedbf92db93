// SPDX-License-Identifier: MIT
// Runs FormatCore on cases read from standard input, one a line, and prints
// what it wrote, so a test can hold the engine against an independent model.
//
// A line: FLAGS BUFFER-SIZE FORMAT-HEX SLOT...; a slot is v:NUMBER (a word:
// an int, a UINTN or a status), l:NUMBER (a 64-bit integer), p:HEX (a
// pointer to those bytes, followed by four zero bytes) or n (null).
// The answer: COUNT OUTPUT-HEX (the buffer up to and including the terminator).
// With --word-bits it prints the width of this machine's UINTN and ends.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "FormatArguments.h"
#include "Print.h"
#include "PrintFlags.h"

namespace {

std::vector<UINT8> FromHex(const std::string &Hex) {
  std::vector<UINT8> Bytes;
  for (size_t At = 0; At + 1 < Hex.size(); At += 2) {
    Bytes.push_back((UINT8)std::stoi(Hex.substr(At, 2), nullptr, 16));
  }
  return Bytes;
}

}  // namespace

int main(int Count, char **Arguments) {
  if (Count == 2 && std::strcmp(Arguments[1], "--word-bits") == 0) {
    std::printf("%zu\n", sizeof(UINTN) * 8);
    return 0;
  }
  std::string Line;
  while (std::getline(std::cin, Line)) {
    std::istringstream Fields(Line);
    UINTN Flags, Size;
    std::string FormatHex, Slot;
    Fields >> Flags >> Size >> FormatHex;
    std::vector<UINT8> Format = FromHex(FormatHex);
    Format.insert(Format.end(), {0, 0});
    std::vector<std::unique_ptr<UINT8[]>> Owned;
    std::vector<UINT64> Values;
    UINT32 Long = 0;
    while (Fields >> Slot) {
      if (Slot[0] == 'v' || Slot[0] == 'l') {
        Long |= (UINT32)(Slot[0] == 'l') << Values.size();
        Values.push_back(std::stoull(Slot.substr(2)));
      } else if (Slot[0] == 'p') {
        std::vector<UINT8> Bytes = FromHex(Slot.substr(2));
        Owned.emplace_back(new UINT8[Bytes.size() + 4]());
        std::copy(Bytes.begin(), Bytes.end(), Owned.back().get());
        Values.push_back((UINT64)(UINTN)Owned.back().get());
      } else {
        Values.push_back(0);
      }
    }
    size_t Unit = (Flags & PF_OUT_UCS2) ? 2 : 1;
    std::vector<UINT8> Buffer(Size * Unit + Unit, 0xA5);
    FORMAT_CALL Call = {Buffer.data(), Size, Flags, Format.data()};
    BOOLEAN Passed;
    UINTN Written = WithArguments(CallFormatCore, &Call, Values.data(), Values.size(), Long, &Passed);
    if (!Passed) {
      std::fprintf(stderr, "format_driver: %zu arguments are more than one call passes\n", Values.size());
      return 1;
    }
    std::printf("%llu ", (unsigned long long)Written);
    for (size_t At = 0; At < (Size == 0 ? 0 : (Written + 1) * Unit); At++) std::printf("%02x", Buffer[At]);
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}

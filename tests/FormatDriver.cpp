// SPDX-License-Identifier: MIT
// Runs FormatCore on cases read from standard input, one a line, and prints
// what it wrote, so a test can hold the engine against an independent model.
//
// A line: FLAGS BUFFER-SIZE FORMAT-HEX SLOT...; a slot is v:NUMBER (a value),
// p:HEX (a pointer to those bytes, followed by four zero bytes) or n (null).
// The answer: COUNT OUTPUT-HEX (the buffer up to and including the terminator).
#include <cstdio>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

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

// The engine through a real variadic call, each slot a 64-bit value: on the
// 64-bit hosts every argument takes one 8-byte slot, and an int is read from
// its low half.
UINTN EFIAPI FormatSlots(VOID *Buffer, UINTN Size, UINTN Flags, CONST VOID *Format, ...) {
  VA_LIST Arguments;
  VA_START(Arguments, Format);
  UINTN Count = FormatCore(Buffer, Size, Flags, Format, Arguments);
  VA_END(Arguments);
  return Count;
}

constexpr size_t MostSlots = 24;

}  // namespace

int main() {
  std::string Line;
  while (std::getline(std::cin, Line)) {
    std::istringstream Fields(Line);
    UINTN Flags, Size;
    std::string FormatHex, Slot;
    Fields >> Flags >> Size >> FormatHex;
    std::vector<UINT8> Format = FromHex(FormatHex);
    Format.insert(Format.end(), {0, 0});
    std::vector<std::unique_ptr<UINT8[]>> Owned;
    std::vector<UINT64> Slots;
    while (Fields >> Slot) {
      if (Slot[0] == 'v') {
        Slots.push_back(std::stoull(Slot.substr(2)));
      } else if (Slot[0] == 'p') {
        std::vector<UINT8> Bytes = FromHex(Slot.substr(2));
        Owned.emplace_back(new UINT8[Bytes.size() + 4]());
        std::copy(Bytes.begin(), Bytes.end(), Owned.back().get());
        Slots.push_back((UINT64)(UINTN)Owned.back().get());
      } else {
        Slots.push_back(0);
      }
    }
    if (Slots.size() > MostSlots) {
      std::fprintf(stderr, "format_driver: %zu slots, more than %zu\n", Slots.size(), MostSlots);
      return 1;
    }
    Slots.resize(MostSlots, 0);
    const UINT64 *S = Slots.data();
    size_t Unit = (Flags & PF_OUT_UCS2) ? 2 : 1;
    std::vector<UINT8> Buffer(Size * Unit + Unit, 0xA5);
    UINTN Count = FormatSlots(Buffer.data(), Size, Flags, Format.data(), S[0], S[1], S[2], S[3], S[4], S[5], S[6],
                              S[7], S[8], S[9], S[10], S[11], S[12], S[13], S[14], S[15], S[16], S[17], S[18],
                              S[19], S[20], S[21], S[22], S[23]);
    std::printf("%llu ", (unsigned long long)Count);
    for (size_t At = 0; At < (Size == 0 ? 0 : (Count + 1) * Unit); At++) std::printf("%02x", Buffer[At]);
    std::printf("\n");
    std::fflush(stdout);
  }
  return 0;
}

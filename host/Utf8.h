// SPDX-License-Identifier: MIT
// UCS-2 text, as the firmware and the image hold it, in UTF-8 for a terminal.
#pragma once
#include <string>

inline std::string Utf8(const std::u16string &Text) {
  std::string Out;
  for (char16_t Character : Text) {
    if (Character < 0x80) {
      Out.push_back((char)Character);
    } else if (Character < 0x800) {
      Out += {(char)(0xC0 | Character >> 6), (char)(0x80 | (Character & 0x3F))};
    } else {
      Out += {(char)(0xE0 | Character >> 12), (char)(0x80 | ((Character >> 6) & 0x3F)),
              (char)(0x80 | (Character & 0x3F))};
    }
  }
  return Out;
}

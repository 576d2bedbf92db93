// SPDX-License-Identifier: MIT
// Runs FormatCore on a real argument list, each value passed as the type its
// directive reads, in any of its four encodings, inside guard bytes that
// catch a write outside the buffer.
#pragma once
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FormatArguments.h"
#include "Print.h"

// One argument: its value, and whether it is a 64-bit integer (the
// argument of a d, u, x or X with l or L) rather than a machine word.
struct ARGUMENT {
  UINT64 Value;
  bool Long;
  ARGUMENT(UINT64 Value, bool Long = false) : Value(Value), Long(Long) {}
};
inline ARGUMENT LongSlot(UINT64 Value) {
  return {Value, true};
}

// The arguments, in order; each is passed as its type.
using SLOTS = std::vector<ARGUMENT>;

inline UINT64 Slot(const void *Pointer) {
  return (UINT64)(UINTN)Pointer;
}

inline std::u16string Widen(const std::string &Text) {
  std::u16string Wide;
  for (unsigned char Character : Text) {
    Wide.push_back(Character);
  }
  return Wide;
}

// UCS-2 text as 8-bit, for messages and patterns: '?' for what ASCII lacks.
inline std::string Narrow(const std::u16string &Text) {
  std::string Narrowed;
  for (char16_t Character : Text) {
    Narrowed.push_back(Character < 0x80 ? (char)Character : '?');
  }
  return Narrowed;
}

struct FORMATTED {
  std::u16string Text;  // the output characters before the terminator
  UINTN Count;          // what FormatCore returned
};

// The engine's constants, written out rather than taken from
// the product's headers, so that a wrong value there cannot pass.
constexpr UINTN OUT_UCS2 = 0x0040;   // PF_OUT_UCS2
constexpr UINTN FMT_UCS2 = 0x0100;   // PF_FMT_UCS2
constexpr UINT16 EscapeScanCode = 0x17;

// An error status: Code with EFI_STATUS's top bit, bit 63 (bit 31 on IA32 and ARM).
constexpr UINT64 ErrorStatus(UINT64 Code) {
  return (EFI_STATUS)(((EFI_STATUS)1 << (8 * sizeof(EFI_STATUS) - 1)) | (EFI_STATUS)Code);
}

// A text that differs with the width of UINTN, pointers and EFI_STATUS.
inline const char *ByWidth(const char *Bits64, const char *Bits32) {
  return sizeof(UINTN) == 8 ? Bits64 : Bits32;
}

constexpr UINT8 GuardByte = 0xA5;
constexpr size_t GuardBytes = 64;

// Formats into a buffer of BufferSize characters with guard bytes on both
// sides; fails the test if a guard byte or the terminator is wrong.
inline FORMATTED RunFormat(UINTN Flags, const void *Format, const SLOTS &Slots,
                           UINTN BufferSize = 400) {
  size_t Unit = (Flags & OUT_UCS2) ? 2 : 1;
  std::vector<UINT8> Memory(GuardBytes * 2 + BufferSize * Unit, GuardByte);
  UINT8 *Buffer = Memory.data() + GuardBytes;
  FORMAT_CALL Call = {Buffer, BufferSize, Flags, Format};
  std::vector<UINT64> Values;
  UINT32 Long = 0;
  for (const ARGUMENT &Argument : Slots) {
    Long |= (UINT32)Argument.Long << Values.size();
    Values.push_back(Argument.Value);
  }
  BOOLEAN Passed;
  UINTN Count = WithArguments(CallFormatCore, &Call, Values.data(), Values.size(), Long, &Passed);
  EXPECT_TRUE(Passed) << "the harness passes no list of " << Slots.size() << " such arguments";
  FORMATTED Result{{}, Count};
  for (size_t Index = 0; Index < GuardBytes; Index++) {
    EXPECT_EQ(Memory[Index], GuardByte) << "write before the buffer";
    EXPECT_EQ(Memory[Memory.size() - 1 - Index], GuardByte) << "write past the buffer";
  }
  if (BufferSize == 0) {
    return Result;
  }
  EXPECT_LT(Count, BufferSize);
  for (UINTN Index = 0; Index <= Count && Index < BufferSize; Index++) {
    UINTN Character = Unit == 2 ? Buffer[2 * Index] | (Buffer[2 * Index + 1] << 8) : Buffer[Index];
    if (Index == Count) {
      EXPECT_EQ(Character, 0u) << "no terminator at the count";
    } else {
      Result.Text.push_back((char16_t)Character);
    }
  }
  return Result;
}

// FormatCore on a format that reads no argument, into a buffer of the caller's.
inline UINTN FormatWithoutArguments(VOID *Buffer, UINTN BufferSize, UINTN Flags, const void *Format) {
  FORMAT_CALL Call = {Buffer, BufferSize, Flags, Format};
  BOOLEAN Passed;
  return WithArguments(CallFormatCore, &Call, nullptr, 0, 0, &Passed);
}

// The four encodings of one 8-bit test format.
struct ENCODING {
  const char *Name;
  UINTN Flags;
};
constexpr ENCODING Encodings[] = {
    {"8-bit to 8-bit", 0},
    {"8-bit to UCS-2", OUT_UCS2},
    {"UCS-2 to 8-bit", FMT_UCS2},
    {"UCS-2 to UCS-2", FMT_UCS2 | OUT_UCS2},
};

inline void PrintTo(const ENCODING &Encoding, std::ostream *Stream) {
  *Stream << Encoding.Name;
}

inline std::string EncodingName(const ::testing::TestParamInfo<ENCODING> &Info) {
  std::string Name;
  for (const char *Character = Info.param.Name; *Character != 0; Character++) {
    if (isalnum((unsigned char)*Character)) {
      Name += *Character;
    }
  }
  return Name;
}

// Formats Format (given 8-bit) in the encoding Flags names.
inline FORMATTED RunFormatAs(UINTN Flags, const std::string &Format, const SLOTS &Slots,
                             UINTN BufferSize = 400) {
  if (Flags & FMT_UCS2) {
    std::u16string Wide = Widen(Format);
    return RunFormat(Flags, Wide.c_str(), Slots, BufferSize);
  }
  return RunFormat(Flags, Format.c_str(), Slots, BufferSize);
}

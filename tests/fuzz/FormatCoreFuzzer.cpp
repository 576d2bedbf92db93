// SPDX-License-Identifier: MIT
// libFuzzer target: FormatCore on any format, in any encoding, into buffers of
// any size, with argument slots that are safe whatever the format makes of them.
//
// Input: byte 0 chooses the encodings and odd addresses, bytes 1-2 the
// BufferSize (0 to 700), bytes 3-4 the format's length; the format follows,
// and the rest feeds the argument slots and the strings they point at.
// Every input asserts: no byte outside the buffer changes, the result is at
// most BufferSize - 1, and the terminator stands at the result; and a read
// past the format's terminator faults, word-wise reads included.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "../FormatArguments.h"
#include "../UnmappedPage.h"
#include "Print.h"
#include "PrintFlags.h"

namespace {

constexpr size_t GuardBytes = 64;
constexpr uint8_t Guard = 0xA5;

struct INPUT {
  const uint8_t *Data;
  size_t Size;
  size_t At = 0;
  uint8_t Byte() { return At < Size ? Data[At++] : 0; }
  uint64_t Word() {
    uint64_t Value = 0;
    for (int Index = 0; Index < 8; Index++) Value = Value << 8 | Byte();
    return Value;
  }
};

// What a slot holds for the engine: a word-sized number, a 64-bit one, or a
// pointer it will read.
enum class SLOT { Value, Long, Pointer };

// The slots a format consumes, in order, by the directive grammar.
std::vector<SLOT> SlotsOf(const uint8_t *Format, size_t Bytes) {
  std::vector<SLOT> Slots;
  auto At = [&](size_t Index) -> unsigned {
    return Bytes == 2 ? Format[2 * Index] | Format[2 * Index + 1] << 8 : Format[Index];
  };
  for (size_t Index = 0; At(Index) != 0; Index++) {
    if (At(Index) != '%') continue;
    bool Long = false;
    for (Index++;; Index++) {
      unsigned Character = At(Index);
      if (Character == 0) return Slots;
      Long |= Character == 'l' || Character == 'L';
      if (strchr(" +-,lL.0123456789", (int)Character) != nullptr && Character < 0x80) continue;
      if (Character == '*') {
        Slots.push_back(SLOT::Value);
        continue;
      }
      if (Character == 'a' || Character == 's' || Character == 'S' || Character == 'g' ||
          Character == 't') {
        Slots.push_back(SLOT::Pointer);
      } else if (Character == 'd' || Character == 'u' || Character == 'x' || Character == 'X') {
        Slots.push_back(Long ? SLOT::Long : SLOT::Value);
      } else if (Character == 'p' || Character == 'c' || Character == 'r') {
        Slots.push_back(SLOT::Value);
      } else if ((Character == '\n' && At(Index + 1) == '\r') ||
                 (Character == '\r' && At(Index + 1) == '\n')) {
        Index++;
      }
      break;
    }
  }
  return Slots;
}

// A pointer slot's target: fuzzer bytes, at an odd address now and then, with
// at least 16 bytes (a GUID) and ending in four zero bytes, so an 8-bit or a
// UCS-2 string read from it ends inside it. Allocated to size, so a read past
// it is caught.
uint8_t *Target(INPUT &Input, std::vector<std::unique_ptr<uint8_t[]>> &Owned) {
  uint8_t Choice = Input.Byte();
  if (Choice % 8 == 0) return nullptr;
  size_t Length = Choice % 48;
  size_t Odd = Choice >> 7;
  size_t Total = Odd + (Length < 16 ? 16 : Length) + 4;
  Owned.emplace_back(new uint8_t[Total]());
  uint8_t *Start = Owned.back().get() + Odd;
  for (size_t Index = 0; Index < Length; Index++) Start[Index] = Input.Byte();
  return Start;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  INPUT Input{Data, Size};
  uint8_t Mode = Input.Byte();
  UINTN Flags = ((Mode & 1) ? PF_OUT_UCS2 : 0) | ((Mode & 2) ? PF_FMT_UCS2 : 0);
  size_t FmtBytes = (Flags & PF_FMT_UCS2) ? 2 : 1;
  size_t OutBytes = (Flags & PF_OUT_UCS2) ? 2 : 1;
  UINTN BufferSize = (Input.Byte() << 8 | Input.Byte()) % 701;
  size_t FormatLength = (Input.Byte() << 8 | Input.Byte()) % 1024;

  // The format, NUL-terminated and ending at an unmapped page, where the
  // engine's word-wise reads fault too if they pass its end (a UCS-2 one at
  // an odd address, when Mode says so, one byte short of it).
  size_t FormatOdd = FmtBytes == 2 ? (Mode >> 2) & 1 : 0;
  std::vector<uint8_t> Text((FormatLength + 1) * FmtBytes + FormatOdd, 0);
  for (size_t Index = 0; Index < FormatLength * FmtBytes; Index++) Text[Index] = Input.Byte();
  const uint8_t *Format = BeforeUnmappedPage(Text.data(), Text.size());

  std::vector<std::unique_ptr<uint8_t[]>> Owned;
  std::vector<UINT64> Slots;
  UINT32 Long = 0;
  for (SLOT Kind : SlotsOf(Format, FmtBytes)) {
    Long |= (UINT32)(Kind == SLOT::Long) << (Slots.size() % 32);
    Slots.push_back(Kind == SLOT::Pointer ? (uint64_t)(uintptr_t)Target(Input, Owned)
                                          : Input.Word());
  }

  size_t BufferOdd = (Mode >> 3) & 1;
  std::vector<uint8_t> Memory(2 * GuardBytes + BufferOdd + BufferSize * OutBytes, Guard);
  uint8_t *Buffer = Memory.data() + GuardBytes + BufferOdd;
  FORMAT_CALL Call = {BufferSize != 0 || (Mode & 16) == 0 ? Buffer : nullptr, BufferSize, Flags, Format};
  BOOLEAN Passed;
  UINTN Count = WithArguments(CallFormatCore, &Call, Slots.data(), Slots.size(), Long, &Passed);
  if (!Passed) return 0;  // more arguments than one call passes: no case

  for (size_t Index = 0; Index < GuardBytes + BufferOdd; Index++) {
    if (Memory[Index] != Guard) abort();  // a write before the buffer
  }
  for (size_t Index = GuardBytes + BufferOdd + BufferSize * OutBytes; Index < Memory.size();
       Index++) {
    if (Memory[Index] != Guard) abort();  // a write past the buffer
  }
  if (BufferSize == 0) {
    if (Count != 0) abort();
    return 0;
  }
  if (Count > BufferSize - 1) abort();
  if (Buffer[Count * OutBytes] != 0 || (OutBytes == 2 && Buffer[Count * OutBytes + 1] != 0))
    abort();
  return 0;
}

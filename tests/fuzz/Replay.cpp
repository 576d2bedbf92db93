// SPDX-License-Identifier: MIT
// A fuzz target without the fuzzer: runs each file named on the command line
// through it once, so every host tree (sanitized, 32-bit, another
// architecture's) replays the seeds and the shipped images as a smoke test.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size);

int main(int Count, char **Files) {
  for (int Index = 1; Index < Count; Index++) {
    std::ifstream File(Files[Index], std::ios::binary);
    if (!File) {
      std::fprintf(stderr, "replay: cannot read %s\n", Files[Index]);
      return 1;
    }
    std::vector<uint8_t> Data((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(Data.data(), Data.size());
  }
  std::printf("replay: %d inputs, none failed\n", Count - 1);
  return 0;
}

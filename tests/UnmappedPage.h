// SPDX-License-Identifier: MIT
// Bytes placed where a read past them faults: the unit tests' load options
// and formats, and the fuzzer's formats.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

// Size bytes copied to end where an unmapped page begins: a read past them
// faults in every build, not only under AddressSanitizer (which leaves the
// engine's word-wise reads alone).
inline unsigned char *BeforeUnmappedPage(const void *Bytes, size_t Size) {
  static const size_t Page = (size_t)sysconf(_SC_PAGESIZE);
  static unsigned char *const Pages = [] {
    auto *Mapped = (unsigned char *)mmap(nullptr, 2 * Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mapped == MAP_FAILED || mprotect(Mapped + Page, Page, PROT_NONE) != 0) std::abort();
    return Mapped;
  }();
  if (Size > Page) std::abort();
  return (unsigned char *)std::memcpy(Pages + Page - Size, Bytes, Size);
}

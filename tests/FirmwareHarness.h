// SPDX-License-Identifier: MIT
// What the stand-in tests share: the menu, a fixture that installs a fresh stand-in
// before each test (a suite takes it by name: using Suite = ON_FIRMWARE),
// the pattern of the reports a test expects on standard error, and bytes
// placed where a read past them faults.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "FirmwareStandIn.h"
#include "FormatHarness.h"

// The menu as the image prints it.
inline const std::u16string Menu =
    u"Key Options: \r\n  'r' -- Clear boot order list.\r\n  'p' --  PXE boot.\r\n"
    u"  'ESC' -- Boot Manager Menu. \r\n Any key to continue\r\n";

class ON_FIRMWARE : public ::testing::Test {
 protected:
  FIRMWARE_STAND_IN Firmware;
  void SetUp() override { Firmware.Install(); }
};

// One assertion report from File, at any line, on Condition as written.
inline std::string ReportPattern(const std::string &File, const std::string &Condition) {
  static const std::regex Special(R"([.^$|()\[\]{}*+?\\])");
  return "ASSERT \\[Tamberlune\\] " + std::regex_replace(File, Special, "\\$&") + "\\(\\d+\\): " +
         std::regex_replace(Condition, Special, "\\$&") + "\r\n";
}

// Whether standard error holds exactly what Pattern matches.
inline bool StdErrIs(const FIRMWARE_STAND_IN &Firmware, const std::string &Pattern) {
  return std::regex_match(Narrow(Firmware.StdErr), std::regex(Pattern));
}

// Size bytes copied to end where an unmapped page begins: a read past them
// faults in every build, not only under AddressSanitizer.
inline UINT8 *BeforeUnmappedPage(const void *Bytes, size_t Size) {
  static const size_t Page = (size_t)sysconf(_SC_PAGESIZE);
  static UINT8 *const Pages = [] {
    auto *Mapped = (UINT8 *)mmap(nullptr, 2 * Page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mapped == MAP_FAILED || mprotect(Mapped + Page, Page, PROT_NONE) != 0) std::abort();
    return Mapped;
  }();
  if (Size > Page) std::abort();
  return (UINT8 *)std::memcpy(Pages + Page - Size, Bytes, Size);
}

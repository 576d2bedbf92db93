// SPDX-License-Identifier: MIT
// What the stand-in tests share: the menu, a fixture that installs a fresh stand-in
// before each test (a suite takes it by name: using Suite = ON_FIRMWARE),
// the pattern of the reports a test expects on standard error, and (from
// UnmappedPage.h) bytes placed where a read past them faults.
#pragma once
#include <cstring>
#include <regex>

#include "BuildSettings.h"
#include "FirmwareStandIn.h"
#include "FormatHarness.h"
#include "UnmappedPage.h"

// A build setting's number as text.
#define TAMBERLUNE_TEXT_OF(Value) #Value
#define TAMBERLUNE_TEXT(Value) TAMBERLUNE_TEXT_OF(Value)

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

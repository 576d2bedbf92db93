// SPDX-License-Identifier: MIT
// What the stand-in tests share: the menu, a fixture that installs a fresh stand-in
// before each test (a suite takes it by name: using Suite = ON_FIRMWARE),
// the pattern of the reports a test expects on standard error, and (from
// UnmappedPage.h) bytes placed where a read past them faults.
#pragma once
#include <cstring>
#include <regex>

#include "BootChoices.h"
#include "BuildSettings.h"
#include "FirmwareStandIn.h"
#include "FormatHarness.h"
#include "UnmappedPage.h"

// A build setting's number as text.
#define TAMBERLUNE_TEXT_OF(Value) #Value
#define TAMBERLUNE_TEXT(Value) TAMBERLUNE_TEXT_OF(Value)

// An image text as the console shows it: each line feed as CR LF.
inline std::u16string OnConsole(const CHAR16 *Text) {
  std::u16string Shown;
  for (; *Text != 0; Text++) Shown += *Text == u'\n' ? std::u16string(u"\r\n") : std::u16string(1, *Text);
  return Shown;
}

// The menu as the image prints it.
inline const std::u16string Menu = OnConsole(KeyMenu);

// The boot choice of a key: its character, or 0 for Escape.
inline const BOOT_CHOICE *ChoiceOf(CHAR16 Character) {
  for (const BOOT_CHOICE &Choice : BootChoices) {
    if (Choice.UnicodeChar == Character) return &Choice;
  }
  return nullptr;
}

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

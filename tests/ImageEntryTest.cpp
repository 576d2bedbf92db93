// SPDX-License-Identifier: MIT
// ImageEntry through the firmware stand-in: the menu, the wait, the choices
// and the variables they record, and the firmware failures around them.
#include <regex>

#include "FirmwareStandIn.h"
#include "FormatHarness.h"

namespace {

const std::u16string Menu =
    u"Key Options: \r\n  'r' -- Clear boot order list.\r\n  'p' --  PXE boot.\r\n"
    u"  'ESC' -- Boot Manager Menu. \r\n Any key to continue\r\n";

const EFI_GUID VendorGuid = {
    0xC450ED8E, 0xC3C2, 0x4FE7, {0xAE, 0xE6, 0xD1, 0xC5, 0x0A, 0xBB, 0x78, 0xCF}};

struct KEY_CASE {
  const char *Name;
  std::vector<KEY_ATTEMPT> Keys;
  const char16_t *Confirmation;  // nullptr: no choice
  const char16_t *Variable;
  UINTN ReadKeyStrokeCalls;
};

const KEY_CASE KeyCases[] = {
    {"p", {KeyChar(u'p')}, u"Loading PXE boot..\r\n", u"PXEVariable", 1},
    {"r", {KeyChar(u'r')}, u"Boot Order Factory  Reset ...\r\n", u"RestOrderVariable", 1},
    {"Escape", {KeyScan(EscapeScanCode)}, u"Launching Boot Menu ...\r\n", u"BootmenuVariable", 1},
    {"p with a scan code", {KeyScan(0x01, u'p')}, u"Loading PXE boot..\r\n", u"PXEVariable", 1},
    {"Escape carrying a character", {KeyScan(EscapeScanCode, 0x1B)}, nullptr, nullptr, 1},
    {"P", {KeyChar(u'P')}, nullptr, nullptr, 1},
    {"R", {KeyChar(u'R')}, nullptr, nullptr, 1},
    {"Enter", {KeyChar(u'\r')}, nullptr, nullptr, 1},
    {"F1", {KeyScan(0x0B)}, nullptr, nullptr, 1},
    {"no key at all", {}, nullptr, nullptr, 401},
    {"p after three empty polls",
     {KeyStatus(EFI_NOT_READY), KeyStatus(EFI_NOT_READY), KeyStatus(EFI_NOT_READY), KeyChar(u'p')},
     u"Loading PXE boot..\r\n",
     u"PXEVariable",
     4},
    {"device errors count as no key",
     {KeyStatus(EFI_DEVICE_ERROR), KeyChar(u'r')},
     u"Boot Order Factory  Reset ...\r\n",
     u"RestOrderVariable",
     2},
    {"only the first key counts", {KeyChar(u'x'), KeyChar(u'p')}, nullptr, nullptr, 1},
    {"first key p wins over r",
     {KeyChar(u'p'), KeyChar(u'r')},
     u"Loading PXE boot..\r\n",
     u"PXEVariable",
     1},
};

TEST(ImageEntry, KeysChooseTheirVariable) {
  for (const KEY_CASE &Case : KeyCases) {
    FIRMWARE_STAND_IN Firmware;
    Firmware.Keys = Case.Keys;
    EXPECT_EQ(Firmware.StartImage(), EFI_SUCCESS) << Case.Name;
    EXPECT_EQ(Firmware.ConOut, Menu + (Case.Confirmation ? Case.Confirmation : u"")) << Case.Name;
    EXPECT_EQ(Firmware.StdErr, u"") << Case.Name;
    EXPECT_EQ(Firmware.ReadKeyStrokeCalls, Case.ReadKeyStrokeCalls) << Case.Name;
    // A stall follows every empty poll, and only those.
    UINTN Found = Case.Variable != nullptr || Case.ReadKeyStrokeCalls < 401 ? 1 : 0;
    EXPECT_EQ(Firmware.Stalls, std::vector<UINTN>(Case.ReadKeyStrokeCalls - Found, 10000))
        << Case.Name;
    if (Case.Variable == nullptr) {
      EXPECT_TRUE(Firmware.Variables.empty()) << Case.Name;
      continue;
    }
    ASSERT_EQ(Firmware.Variables.size(), 1u) << Case.Name;
    const RECORDED_VARIABLE &Variable = Firmware.Variables[0];
    EXPECT_EQ(Variable.Name, Case.Variable);
    EXPECT_EQ(std::memcmp(&Variable.Guid, &VendorGuid, sizeof(EFI_GUID)), 0);
    EXPECT_EQ(Variable.Attributes, (UINT32)EFI_VARIABLE_BOOTSERVICE_ACCESS);
    EXPECT_EQ(Variable.Data, (std::vector<UINT8>{0x31, 0x00}));
    EXPECT_TRUE(Firmware.LivePool.empty());
  }
}

TEST(ImageEntry, VendorGuidHasItsPublishedBytes) {
  const UINT8 Bytes[] = {0x8E, 0xED, 0x50, 0xC4, 0xC2, 0xC3, 0xE7, 0x4F,
                         0xAE, 0xE6, 0xD1, 0xC5, 0x0A, 0xBB, 0x78, 0xCF};
  FIRMWARE_STAND_IN Firmware;
  Firmware.Keys = {KeyChar(u'p')};
  Firmware.StartImage();
  ASSERT_EQ(Firmware.Variables.size(), 1u);
  EXPECT_EQ(std::memcmp(&Firmware.Variables[0].Guid, Bytes, 16), 0);
}

TEST(ImageEntry, SetsTheServiceGlobals) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Keys = {KeyChar(u'x')};
  Firmware.StartImage();
  EXPECT_EQ(gImageHandle, StandInImageHandle);
  EXPECT_EQ(gST, &Firmware.SystemTable);
  EXPECT_EQ(gBS, &Firmware.BootServices);
  EXPECT_EQ(gRT, &Firmware.RuntimeServices);
}

TEST(ImageEntry, FailedSetVariableIsReportedAndReturned) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Keys = {KeyScan(EscapeScanCode)};
  Firmware.SetVariableStatus = EFI_OUT_OF_RESOURCES;
  EXPECT_EQ(Firmware.StartImage(), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Firmware.ConOut, Menu + u"Launching Boot Menu ...\r\n");
  EXPECT_TRUE(std::regex_match(
      Narrow(Firmware.StdErr),
      std::regex(
          "\r\nASSERT_EFI_ERROR \\(Status = Out of Resources\\)\r\n"
          "ASSERT \\[Tamberlune\\] app/ImageEntry\\.cpp\\(\\d+\\): !EFI_ERROR \\(Status\\)\r\n")))
      << Narrow(Firmware.StdErr);
  EXPECT_TRUE(Firmware.Variables.empty());
}

TEST(ImageEntry, NoInputDeviceWaitsOutTheFullTime) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.HasConIn = false;
  EXPECT_EQ(Firmware.StartImage(), EFI_SUCCESS);
  EXPECT_EQ(Firmware.ReadKeyStrokeCalls, 0u);
  EXPECT_EQ(Firmware.Stalls.size(), 401u);
  EXPECT_EQ(Firmware.ConOut, Menu);
}

TEST(ImageEntry, AKeyboardThatAppearsDuringTheWaitIsPolled) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.HasConIn = false;
  Firmware.ConInAfterStalls = 3;
  Firmware.Keys = {KeyChar(u'p')};
  EXPECT_EQ(Firmware.StartImage(), EFI_SUCCESS);
  EXPECT_EQ(Firmware.Stalls.size(), 3u);
  EXPECT_EQ(Firmware.ReadKeyStrokeCalls, 1u);
  EXPECT_EQ(Firmware.Variables.size(), 1u);
}

TEST(ImageEntry, NullImageHandleIsReportedAndTheMenuStillRuns) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Keys = {KeyChar(u'p')};
  Firmware.Install();
  EXPECT_EQ(ImageEntry(nullptr, &Firmware.SystemTable), EFI_SUCCESS);
  EXPECT_TRUE(std::regex_match(Narrow(Firmware.StdErr),
                               std::regex("ASSERT \\[Tamberlune\\] app/ImageEntry\\.cpp\\(\\d+\\): "
                                          "gImageHandle != \\(\\(void \\*\\) 0\\)\r\n")));
  EXPECT_EQ(Firmware.Variables.size(), 1u);
}

// The wait and the module name are build settings: 401 polls of 10 ms and
// "Tamberlune" by default; a configured build's test says what it asked for.
TEST(ImageEntry, WaitsAndReportsAsTheBuildWasConfigured) {
  auto Expected = [](const char *Name, const char *Default) {
    const char *Value = std::getenv(Name);
    return std::string(Value != nullptr ? Value : Default);
  };
  UINTN Polls = std::stoul(Expected("TAMBERLUNE_EXPECT_KEY_POLLS", "401"));
  UINTN Interval = std::stoul(Expected("TAMBERLUNE_EXPECT_POLL_INTERVAL_US", "10000"));
  std::string Module = Expected("TAMBERLUNE_EXPECT_MODULE_NAME", "Tamberlune");
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  EXPECT_EQ(ImageEntry(nullptr, &Firmware.SystemTable), EFI_SUCCESS);
  EXPECT_EQ(Firmware.ReadKeyStrokeCalls, Polls);
  EXPECT_EQ(Firmware.Stalls, std::vector<UINTN>(Polls, Interval));
  EXPECT_EQ(Narrow(Firmware.StdErr).rfind("ASSERT [" + Module + "] app/ImageEntry.cpp(", 0), 0u)
      << Narrow(Firmware.StdErr);
}

struct TABLE_CASE {
  const char *Name;
  bool NullSystemTable;
  bool NullBootServices;
  bool NullRuntimeServices;
  std::vector<const char *> Checks;
};

TEST(ImageEntry, MissingTablesAreReportedAndRefused) {
  const TABLE_CASE Cases[] = {
      // Without a system table there is no StdErr either: the reports vanish.
      {"no system table", true, false, false, {}},
      {"no boot services", false, true, false, {"gBS != ((void *) 0)"}},
      {"no runtime services", false, false, true, {"gRT != ((void *) 0)"}},
      {"neither", false, true, true, {"gBS != ((void *) 0)", "gRT != ((void *) 0)"}},
  };
  for (const TABLE_CASE &Case : Cases) {
    FIRMWARE_STAND_IN Firmware;
    Firmware.Keys = {KeyChar(u'p')};
    Firmware.Install();
    if (Case.NullBootServices) Firmware.SystemTable.BootServices = nullptr;
    if (Case.NullRuntimeServices) Firmware.SystemTable.RuntimeServices = nullptr;
    EFI_SYSTEM_TABLE *Table = Case.NullSystemTable ? nullptr : &Firmware.SystemTable;
    EXPECT_EQ(ImageEntry(StandInImageHandle, Table), EFI_INVALID_PARAMETER) << Case.Name;
    std::string Expected;
    for (const char *Check : Case.Checks) {
      Expected += std::string("): ") + Check + "\r\n";
    }
    std::string Reports =
        std::regex_replace(Narrow(Firmware.StdErr),
                           std::regex("ASSERT \\[Tamberlune\\] app/ImageEntry\\.cpp\\(\\d+"), "");
    EXPECT_EQ(Reports, Expected) << Case.Name;
    EXPECT_EQ(Firmware.ConOut, u"") << Case.Name;
    EXPECT_EQ(Firmware.ReadKeyStrokeCalls, 0u) << Case.Name;
    EXPECT_TRUE(Firmware.Variables.empty()) << Case.Name;
    EXPECT_TRUE(Firmware.AllocationSizes.empty()) << Case.Name;
  }
}

}  // namespace

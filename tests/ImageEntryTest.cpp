// SPDX-License-Identifier: MIT
// ImageEntry through the firmware stand-in: the menu, the wait, the keys,
// the variables they record and the service globals (every firmware failure
// is FaultMatrixTest's).
#include "FirmwareHarness.h"

namespace {

using ImageEntryTest = ON_FIRMWARE;

struct KEY_CASE {
  const char *Name;
  std::vector<KEY_ATTEMPT> Keys;
  const BOOT_CHOICE *Choice;  // nullptr: no choice
  UINTN ReadKeyStrokeCalls;
};

const KEY_CASE KeyCases[] = {
    {"p", {KeyChar(u'p')}, ChoiceOf(u'p'), 1},
    {"r", {KeyChar(u'r')}, ChoiceOf(u'r'), 1},
    {"Escape", {KeyScan(EscapeScanCode)}, ChoiceOf(0), 1},
    {"p with a scan code", {KeyScan(0x01, u'p')}, ChoiceOf(u'p'), 1},
    {"Escape carrying a character", {KeyScan(EscapeScanCode, 0x1B)}, nullptr, 1},
    {"P", {KeyChar(u'P')}, nullptr, 1},
    {"R", {KeyChar(u'R')}, nullptr, 1},
    {"Enter", {KeyChar(u'\r')}, nullptr, 1},
    {"F1", {KeyScan(0x0B)}, nullptr, 1},
    {"no key at all", {}, nullptr, TAMBERLUNE_KEY_POLLS},
    {"p after three empty polls",
     {KeyStatus(EFI_NOT_READY), KeyStatus(EFI_NOT_READY), KeyStatus(EFI_NOT_READY), KeyChar(u'p')},
     ChoiceOf(u'p'),
     4},
    {"device errors count as no key",
     {KeyStatus(EFI_DEVICE_ERROR), KeyChar(u'r')},
     ChoiceOf(u'r'),
     2},
    {"only the first key counts", {KeyChar(u'x'), KeyChar(u'p')}, nullptr, 1},
    {"first key p wins over r",
     {KeyChar(u'p'), KeyChar(u'r')},
     ChoiceOf(u'p'),
     1},
};

TEST_F(ImageEntryTest, KeysChooseTheirVariable) {
  for (const KEY_CASE &Case : KeyCases) {
    FIRMWARE_STAND_IN Fresh;
    Fresh.Keys = Case.Keys;
    EXPECT_EQ(Fresh.StartImage(), EFI_SUCCESS) << Case.Name;
    EXPECT_EQ(Fresh.ConOut, Menu + (Case.Choice ? OnConsole(Case.Choice->Confirmation) : u"")) << Case.Name;
    EXPECT_EQ(Fresh.StdErr, u"") << Case.Name;
    EXPECT_EQ(Fresh.ReadKeyStrokeCalls, Case.ReadKeyStrokeCalls) << Case.Name;
    // A stall follows every empty poll, and only those.
    UINTN Found = Case.Choice != nullptr || Case.ReadKeyStrokeCalls < TAMBERLUNE_KEY_POLLS ? 1 : 0;
    EXPECT_EQ(Fresh.Stalls, std::vector<UINTN>(Case.ReadKeyStrokeCalls - Found, TAMBERLUNE_POLL_INTERVAL_US))
        << Case.Name;
    // The once-a-boot mark before the menu, then the choice, if any.
    ASSERT_EQ(Fresh.Variables.size(), Case.Choice != nullptr ? 2u : 1u) << Case.Name;
    EXPECT_EQ(Fresh.Variables[0].Name, KeyMenuShownVariable) << Case.Name;
    EXPECT_EQ(Fresh.Variables[0].ConOutWhenSet, u"") << Case.Name;
    for (const RECORDED_VARIABLE &Variable : Fresh.Variables) {
      // The GUID as recorded, read back as text: the one the boot choices name.
      EXPECT_EQ(Narrow(RunFormat(0, "%g", {Slot(&Variable.Guid)}).Text), BOOT_CHOICE_VENDOR_GUID_TEXT);
      EXPECT_EQ(Variable.Attributes, 0x2u);  // boot-services access alone: volatile
      EXPECT_EQ(Variable.Data, (std::vector<UINT8>{0x31, 0x00}));
    }
    EXPECT_TRUE(Fresh.LivePool.empty());
    if (Case.Choice == nullptr) {
      continue;
    }
    const RECORDED_VARIABLE &Variable = Fresh.Variables[1];
    EXPECT_EQ(Variable.Name, Case.Choice->VariableName);
    EXPECT_EQ(Variable.ConOutWhenSet, Fresh.ConOut) << Case.Name << ": the confirmation comes first";
  }
}

// A firmware that starts the image again in the same boot (U-Boot 2025.01
// with a disk's own boot option) gets no second menu and no second choice,
// whatever the first start recorded.
TEST_F(ImageEntryTest, ASecondStartInTheSameBootShowsNothing) {
  for (const std::vector<KEY_ATTEMPT> &First : {std::vector<KEY_ATTEMPT>{KeyChar(u'p')}, std::vector<KEY_ATTEMPT>{}}) {
    FIRMWARE_STAND_IN Fresh;
    Fresh.Keys = First;
    Fresh.StartImage();
    std::u16string Shown = Fresh.ConOut;
    UINTN Reads = Fresh.ReadKeyStrokeCalls, Stalls = Fresh.Stalls.size(), Recorded = Fresh.Variables.size();
    // The script is read by attempt: r waits at the next one.
    Fresh.Keys.resize(Reads, KeyStatus(EFI_NOT_READY));
    Fresh.Keys.push_back(KeyChar(u'r'));
    EXPECT_EQ(Fresh.StartImage(), EFI_SUCCESS);
    EXPECT_EQ(std::make_tuple(Fresh.ConOut, Fresh.ReadKeyStrokeCalls, Fresh.Stalls.size(), Fresh.Variables.size()),
              std::make_tuple(Shown, Reads, Stalls, Recorded));
    // The next boot (the mark was volatile) shows the menu again.
    Fresh.Variables.clear();
    Fresh.StartImage();
    EXPECT_EQ(Fresh.ConOut, Shown + Menu + OnConsole(ChoiceOf(u'r')->Confirmation));
  }
}

TEST_F(ImageEntryTest, SetsTheServiceGlobals) {
  Firmware.Keys = {KeyChar(u'x')};
  Firmware.StartImage();
  EXPECT_EQ(std::make_tuple(gImageHandle, gST, gBS, gRT),
            std::make_tuple(StandInImageHandle, &Firmware.SystemTable, &Firmware.BootServices,
                            &Firmware.RuntimeServices));
}

TEST_F(ImageEntryTest, AKeyboardThatAppearsDuringTheWaitIsPolled) {
  Firmware.HasConIn = false;
  Firmware.ConInAfterStalls = 3;
  Firmware.Keys = {KeyChar(u'p')};
  EXPECT_EQ(Firmware.StartImage(), EFI_SUCCESS);
  EXPECT_EQ(std::make_tuple(Firmware.Stalls.size(), Firmware.ReadKeyStrokeCalls, Firmware.Variables.size()),
            std::make_tuple(3u, 1u, 2u));
}

TEST_F(ImageEntryTest, NullImageHandleIsReportedAndTheMenuStillRuns) {
  Firmware.Keys = {KeyChar(u'p')};
  Firmware.Install();
  EXPECT_EQ(ImageEntry(nullptr, &Firmware.SystemTable), EFI_SUCCESS);
  EXPECT_TRUE(StdErrIs(Firmware, ReportPattern("app/ImageEntry.cpp", "gImageHandle != ((void *) 0)")));
  EXPECT_EQ(Firmware.Variables.back().Name, ChoiceOf(u'p')->VariableName);
}

// The wait and the module name are build settings; a configured build's test
// says what it asked for.
TEST_F(ImageEntryTest, WaitsAndReportsAsTheBuildWasConfigured) {
  auto Expected = [](const char *Name, const char *Default) {
    const char *Value = std::getenv(Name);
    return std::string(Value != nullptr ? Value : Default);
  };
  UINTN Polls = std::stoul(Expected("TAMBERLUNE_EXPECT_KEY_POLLS", TAMBERLUNE_TEXT(TAMBERLUNE_KEY_POLLS)));
  UINTN Interval =
      std::stoul(Expected("TAMBERLUNE_EXPECT_POLL_INTERVAL_US", TAMBERLUNE_TEXT(TAMBERLUNE_POLL_INTERVAL_US)));
  std::string Module = Expected("TAMBERLUNE_EXPECT_MODULE_NAME", TAMBERLUNE_MODULE_NAME);
  EXPECT_EQ(ImageEntry(nullptr, &Firmware.SystemTable), EFI_SUCCESS);
  EXPECT_EQ(Firmware.ReadKeyStrokeCalls, Polls);
  EXPECT_EQ(Firmware.Stalls, std::vector<UINTN>(Polls, Interval));
  EXPECT_EQ(Narrow(Firmware.StdErr).rfind("ASSERT [" + Module + "] app/ImageEntry.cpp(", 0), 0u)
      << Narrow(Firmware.StdErr);
}

}  // namespace

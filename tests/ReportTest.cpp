// SPDX-License-Identifier: MIT
// ConsolePrint, FormatAsciiToUcs2 and the reports, through the firmware stand-in.
#include <regex>

#include "Check.h"
#include "FirmwareStandIn.h"
#include "FormatHarness.h"

namespace {

const std::string InvalidParameterReport =
    "\r\nASSERT_EFI_ERROR \\(Status = Invalid Parameter\\)\r\n"
    "ASSERT \\[Tamberlune\\] print/ConsolePrint\\.cpp\\(\\d+\\): !EFI_ERROR \\(Status\\)\r\n";

TEST(ConsolePrint, WritesTheFormattedTextAndFreesThePool) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  EXPECT_EQ(ConsolePrint(u"%d: %s\n", 7, u"seven"), 10u);
  EXPECT_EQ(Firmware.ConOut, u"7: seven\r\n");
  EXPECT_EQ(Firmware.AllocationSizes, std::vector<UINTN>{642});
  EXPECT_EQ(Firmware.AllocationTypes, std::vector<EFI_MEMORY_TYPE>{EfiBootServicesData});
  EXPECT_TRUE(Firmware.LivePool.empty());
  EXPECT_EQ(Firmware.StdErr, u"");
}

TEST(ConsolePrint, CutsAt320Characters) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  std::u16string Long(400, u'x');
  EXPECT_EQ(ConsolePrint(Long.c_str()), 320u);
  EXPECT_EQ(Firmware.ConOut, std::u16string(320, u'x'));
}

struct FAILURE_CASE {
  const char *Name;
  void (*Arrange)(FIRMWARE_STAND_IN &);
  UINTN Result;
  const char16_t *ConOut;
  UINTN ConOutCalls;  // firmware dereferences what it is given: no call without text
  std::string StdErrPattern;
};

const FAILURE_CASE FailureCases[] = {
    {"console fails", [](FIRMWARE_STAND_IN &F) { F.ConOutStatus = EFI_DEVICE_ERROR; }, 0, u"", 1,
     ""},
    {"no console", [](FIRMWARE_STAND_IN &F) { F.HasConOut = false; }, 0, u"", 0,
     "ASSERT \\[Tamberlune\\] print/ConsolePrint\\.cpp\\(\\d+\\): Console != \\(\\(void \\*\\) "
     "0\\)\r\n"},
    {"allocation fails", [](FIRMWARE_STAND_IN &F) { F.AllocatePoolStatus = EFI_OUT_OF_RESOURCES; },
     0, u"", 0,
     "ASSERT \\[Tamberlune\\] print/ConsolePrint\\.cpp\\(\\d+\\): Buffer != \\(\\(void \\*\\) "
     "0\\)\r\n"
     "ASSERT \\[Tamberlune\\] print/FormatCore\\.cpp\\(\\d+\\): \\(Buffer != \\(\\(void \\*\\) "
     "0\\)\\)\r\n" +
         InvalidParameterReport},
    {"FreePool fails", [](FIRMWARE_STAND_IN &F) { F.FreePoolStatus = EFI_INVALID_PARAMETER; }, 5,
     u"hello", 1, InvalidParameterReport},
    {"FreePool fails, no standard error",
     [](FIRMWARE_STAND_IN &F) {
       F.FreePoolStatus = EFI_INVALID_PARAMETER;
       F.HasStdErr = false;
     },
     5, u"hello", 1, ""},
    {"standard error fails",
     [](FIRMWARE_STAND_IN &F) {
       F.FreePoolStatus = EFI_DEVICE_ERROR;
       F.StdErrStatus = EFI_DEVICE_ERROR;
     },
     5, u"hello", 1, ""},
};

TEST(ConsolePrint, FirmwareFailuresAreAbsorbedAndReported) {
  for (const FAILURE_CASE &Case : FailureCases) {
    FIRMWARE_STAND_IN Firmware;
    Case.Arrange(Firmware);
    Firmware.Install();
    EXPECT_EQ(ConsolePrint(u"hello"), Case.Result) << Case.Name;
    EXPECT_EQ(Firmware.ConOut, Case.ConOut) << Case.Name;
    EXPECT_EQ(Firmware.ConOutCalls, Case.ConOutCalls) << Case.Name;
    EXPECT_TRUE(std::regex_match(Narrow(Firmware.StdErr), std::regex(Case.StdErrPattern)))
        << Case.Name << ": " << Narrow(Firmware.StdErr);
    EXPECT_TRUE(Firmware.LivePool.empty()) << Case.Name;
    EXPECT_EQ(Firmware.FreePoolCalls, 1u) << Case.Name;
  }
}

TEST(ConsolePrint, OddFormatIsReportedAndStillPrinted) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  alignas(2) UINT8 Memory[16] = {};
  std::memcpy(Memory + 1, u"ok", 6);
  EXPECT_EQ(ConsolePrint((const CHAR16 *)(Memory + 1)), 2u);
  EXPECT_EQ(Firmware.ConOut, u"ok");
  std::string Reports = Narrow(Firmware.StdErr);
  EXPECT_NE(Reports.find("): ((UINTN) Format & 0x00000001) == 0\r\n"), std::string::npos);
  EXPECT_NE(Reports.find("): (((UINTN) (FormatString)) & 0x01) == 0\r\n"), std::string::npos);
  EXPECT_NE(Reports.find("): ((UINTN) String & 0x00000001) == 0\r\n"), std::string::npos);
}

TEST(ConsolePrint, WithoutTablesNothingCrashes) {
  EXPECT_EQ(gST, nullptr);
  EXPECT_EQ(ConsolePrint(u"nobody listens"), 0u);
}

TEST(Reports, AssertionIsOneLineOnStandardError) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  ReportAssertion("app/ImageEntry.cpp", 61, "gST != ((void *) 0)");
  EXPECT_EQ(Firmware.StdErr,
            u"ASSERT [Tamberlune] app/ImageEntry.cpp(61): gST != ((void *) 0)\r\n");
  EXPECT_EQ(Firmware.ConOut, u"");
}

TEST(Reports, CheckMacroReportsItsOwnFileAndLine) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  CHECK(1 + 1 == 2, "never");
  EXPECT_EQ(Firmware.StdErr, u"");
  UINTN Line = __LINE__ + 1;
  CHECK(1 + 1 == 3, "1 + 1 == 3");
  EXPECT_EQ(Narrow(Firmware.StdErr), "ASSERT [Tamberlune] tests/ReportTest.cpp(" +
                                         std::to_string(Line) + "): 1 + 1 == 3\r\n");
}

TEST(Reports, LineNumberPrintsItsLow32BitsSigned) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  ReportAssertion("f", (UINTN)0x1FFFFFFFFull, "c");
  EXPECT_EQ(Firmware.StdErr, u"ASSERT [Tamberlune] f(-1): c\r\n");
}

TEST(Reports, AssertionIsCutAt255Characters) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  std::string Long(300, 'c');
  ReportAssertion("f", 1, Long.c_str());
  std::string Prefix = "ASSERT [Tamberlune] f(1): ";
  EXPECT_EQ(Narrow(Firmware.StdErr), Prefix + Long.substr(0, 255 - Prefix.size()));
}

TEST(Reports, DebugMessageIsCutAt127CharactersWhateverItsLevel) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  std::string Long(200, 'd');
  ReportDebugMessage(0, "%a", Long.c_str());
  EXPECT_EQ(Narrow(Firmware.StdErr), Long.substr(0, 127));
  Firmware.StdErr.clear();
  ReportDebugMessage(DEBUG_ERROR, "\nASSERT_EFI_ERROR (Status = %r)\n", EFI_NOT_FOUND);
  EXPECT_EQ(Firmware.StdErr, u"\r\nASSERT_EFI_ERROR (Status = Not Found)\r\n");
}

// Leaves text where the next call at this depth keeps its locals, so a
// report that writes an unset buffer shows it.
__attribute__((noinline)) void DirtyTheStack() {
  volatile CHAR16 Stale[2048];
  for (CHAR16 &Character : const_cast<CHAR16(&)[2048]>(Stale)) Character = u'X';
}

TEST(Reports, DebugMessageWithNullFormatWritesAnEmptyLine) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  DirtyTheStack();
  ReportDebugMessage(DEBUG_ERROR, nullptr);
  // The engine's report, then the message: an empty string, no stale stack text.
  EXPECT_EQ(Firmware.StdErrCalls, 2u);
  EXPECT_TRUE(std::regex_match(Narrow(Firmware.StdErr),
                               std::regex("ASSERT \\[Tamberlune\\] print/FormatCore\\.cpp\\(\\d+\\): "
                                          "\\(Format != \\(\\(void \\*\\) 0\\)\\)\r\n")))
      << Narrow(Firmware.StdErr);
}

TEST(ConsolePrint, NothingFormattedMakesNoOutputCall) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  EXPECT_EQ(ConsolePrint(u""), 0u);
  EXPECT_EQ(Firmware.ConOutCalls, 0u);
}

TEST(Reports, VanishWithoutStandardError) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.HasStdErr = false;
  Firmware.Install();
  ReportAssertion("f", 1, "c");
  ReportDebugMessage(DEBUG_ERROR, "x");
  EXPECT_EQ(Firmware.StdErr, u"");
  EXPECT_EQ(Firmware.ConOut, u"");
}

UINTN EFIAPI AsciiToUcs2(CHAR16 *Buffer, UINTN Size, const CHAR8 *Format, ...) {
  VA_LIST Arguments;
  VA_START(Arguments, Format);
  UINTN Count = FormatAsciiToUcs2(Buffer, Size, Format, Arguments);
  VA_END(Arguments);
  return Count;
}

TEST(FormatAsciiToUcs2, SizeIsInBytesAndAnOddOneRoundsDown) {
  FIRMWARE_STAND_IN Firmware;
  Firmware.Install();
  CHAR16 Buffer[8];
  EXPECT_EQ(AsciiToUcs2(Buffer, 7, "%d-%d", 12, 34), 2u);
  EXPECT_EQ(std::u16string(Buffer), u"12");
  EXPECT_EQ(AsciiToUcs2(Buffer, 16, "%d-%d", 12, 34), 5u);
  EXPECT_EQ(std::u16string(Buffer), u"12-34");
  EXPECT_EQ(AsciiToUcs2(Buffer, 1, "x"), 0u);
  EXPECT_EQ(Firmware.StdErr, u"");
  alignas(2) UINT8 Odd[16];
  EXPECT_EQ(AsciiToUcs2((CHAR16 *)(Odd + 1), 8, "abc"), 3u);
  EXPECT_EQ(std::memcmp(Odd + 1, "a\0b\0c\0\0", 8), 0);
  EXPECT_NE(Narrow(Firmware.StdErr).find("(((UINTN) (StartOfBuffer)) & 0x01) == 0"),
            std::string::npos);
}

}  // namespace

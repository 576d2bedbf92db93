// SPDX-License-Identifier: MIT
// ConsolePrint, FormatAsciiToUcs2 and the reports, through the firmware stand-in.
#include <functional>

#include "Check.h"
#include "FirmwareHarness.h"
#include "FormatHarness.h"

namespace {

using ConsolePrintTest = ON_FIRMWARE;
using Reports = ON_FIRMWARE;
using FormatAsciiToUcs2Test = ON_FIRMWARE;

const std::string InvalidParameterReport = "\r\nASSERT_EFI_ERROR \\(Status = Invalid Parameter\\)\r\n" +
                                           ReportPattern("print/ConsolePrint.cpp", "!EFI_ERROR (Status)");

TEST_F(ConsolePrintTest, WritesTheFormattedTextAndFreesThePool) {
  EXPECT_EQ(ConsolePrint(u"%d: %s\n", 7, u"seven"), 10u);
  EXPECT_EQ(Firmware.ConOut, u"7: seven\r\n");
  EXPECT_EQ(Firmware.AllocationSizes, std::vector<UINTN>{642});
  EXPECT_EQ(Firmware.AllocationTypes, std::vector<EFI_MEMORY_TYPE>{EfiBootServicesData});
  EXPECT_TRUE(Firmware.LivePool.empty());
  EXPECT_EQ(Firmware.StdErr, u"");
}

TEST_F(ConsolePrintTest, CutsAt320Characters) {
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
     ReportPattern("print/ConsolePrint.cpp", "Console != ((void *) 0)")},
    {"allocation fails", [](FIRMWARE_STAND_IN &F) { F.AllocatePoolStatus = EFI_OUT_OF_RESOURCES; },
     0, u"", 0,
     ReportPattern("print/ConsolePrint.cpp", "Buffer != ((void *) 0)") +
         ReportPattern("print/FormatCore.cpp", "(Buffer != ((void *) 0))") + InvalidParameterReport},
    {"FreePool fails", [](FIRMWARE_STAND_IN &F) { F.FreePoolStatus = EFI_INVALID_PARAMETER; }, 5,
     u"hello", 1, InvalidParameterReport},
    {"FreePool fails, no standard error",
     [](FIRMWARE_STAND_IN &F) { F.FreePoolStatus = EFI_INVALID_PARAMETER, F.HasStdErr = false; }, 5, u"hello", 1, ""},
    {"standard error fails",
     [](FIRMWARE_STAND_IN &F) { F.FreePoolStatus = F.StdErrStatus = EFI_DEVICE_ERROR; }, 5, u"hello", 1, ""},
};

TEST_F(ConsolePrintTest, FirmwareFailuresAreAbsorbedAndReported) {
  for (const FAILURE_CASE &Case : FailureCases) {
    FIRMWARE_STAND_IN Fresh;
    Case.Arrange(Fresh);
    Fresh.Install();
    EXPECT_EQ(ConsolePrint(u"hello"), Case.Result) << Case.Name;
    EXPECT_EQ(Fresh.ConOut, Case.ConOut) << Case.Name;
    EXPECT_EQ(Fresh.ConOutCalls, Case.ConOutCalls) << Case.Name;
    EXPECT_TRUE(StdErrIs(Fresh, Case.StdErrPattern))
        << Case.Name << ": " << Narrow(Fresh.StdErr);
    EXPECT_TRUE(Fresh.LivePool.empty()) << Case.Name;
    EXPECT_EQ(Fresh.FreePoolCalls, 1u) << Case.Name;
  }
}

TEST_F(ConsolePrintTest, OddFormatIsReportedAndStillPrinted) {
  alignas(2) UINT8 Memory[16] = {};
  std::memcpy(Memory + 1, u"ok", 6);
  EXPECT_EQ(ConsolePrint((const CHAR16 *)(Memory + 1)), 2u);
  EXPECT_EQ(Firmware.ConOut, u"ok");
  EXPECT_TRUE(StdErrIs(Firmware, ReportPattern("print/ConsolePrint.cpp", "((UINTN) Format & 0x00000001) == 0") +
                                     ReportPattern("print/ConsolePrint.cpp", "(((UINTN) (FormatString)) & 0x01) == 0") +
                                     ReportPattern("print/FormatCore.cpp", "((UINTN) String & 0x00000001) == 0")))
      << Narrow(Firmware.StdErr);
}

TEST(NoFirmware, ConsolePrintCrashesNothing) {
  EXPECT_EQ(gST, nullptr);
  EXPECT_EQ(ConsolePrint(u"nobody listens"), 0u);
}

// Each report alone: one line on standard error, cut to its buffer, nothing on the console.
TEST_F(Reports, EachIsOneCutLineOnStandardError) {
  const std::string Long(300, 'c'), Prefix = "ASSERT [Tamberlune] f(1): ";
  const std::pair<std::function<void()>, std::string> Cases[] = {
      {[] { ReportAssertion("app/ImageEntry.cpp", 61, "gST != ((void *) 0)"); },
       "ASSERT [Tamberlune] app/ImageEntry.cpp(61): gST != ((void *) 0)\r\n"},
      {[] { ReportAssertion("f", (UINTN)0x1FFFFFFFFull, "c"); }, "ASSERT [Tamberlune] f(-1): c\r\n"},  // low 32 bits, signed
      {[&] { ReportAssertion("f", 1, Long.c_str()); }, Prefix + Long.substr(0, 255 - Prefix.size())},
      {[&] { ReportDebugMessage(0, "%a", Long.c_str()); }, Long.substr(0, 127)},  // whatever its level
      {[] { ReportDebugMessage(DEBUG_ERROR, "\nASSERT_EFI_ERROR (Status = %r)\n", EFI_NOT_FOUND); },
       "\r\nASSERT_EFI_ERROR (Status = Not Found)\r\n"},
  };
  for (const auto &[Report, Expected] : Cases) {
    Firmware.StdErr.clear();
    Report();
    EXPECT_EQ(Narrow(Firmware.StdErr), Expected);
    EXPECT_EQ(Firmware.ConOut, u"");
  }
}

TEST_F(Reports, CheckMacroReportsItsOwnFileAndLine) {
  CHECK(1 + 1 == 2, "never");
  EXPECT_EQ(Firmware.StdErr, u"");
  UINTN Line = __LINE__ + 1;
  CHECK(1 + 1 == 3, "1 + 1 == 3");
  EXPECT_EQ(Narrow(Firmware.StdErr), "ASSERT [Tamberlune] tests/ReportTest.cpp(" +
                                         std::to_string(Line) + "): 1 + 1 == 3\r\n");
}

// Leaves text where the next call at this depth keeps its locals, so a
// report that writes an unset buffer shows it.
__attribute__((noinline)) void DirtyTheStack() {
  volatile CHAR16 Stale[2048];
  for (volatile CHAR16 &Character : Stale) Character = u'X';
}

TEST_F(Reports, DebugMessageWithNullFormatWritesAnEmptyLine) {
  DirtyTheStack();
  ReportDebugMessage(DEBUG_ERROR, nullptr);
  // The engine's report, then the message: an empty string, no stale stack text.
  EXPECT_EQ(Firmware.StdErrCalls, 2u);
  EXPECT_TRUE(StdErrIs(Firmware, ReportPattern("print/FormatCore.cpp", "(Format != ((void *) 0))")))
      << Narrow(Firmware.StdErr);
}

TEST_F(ConsolePrintTest, NothingFormattedMakesNoOutputCall) {
  EXPECT_EQ(ConsolePrint(u""), 0u);
  EXPECT_EQ(Firmware.ConOutCalls, 0u);
}

TEST_F(Reports, VanishWithoutStandardError) {
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

TEST_F(FormatAsciiToUcs2Test, SizeIsInBytesAndAnOddOneRoundsDown) {
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

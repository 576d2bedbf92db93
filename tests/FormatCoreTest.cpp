// SPDX-License-Identifier: MIT
// The format engine: directives, conversions and the output stage, each case
// run in all four encodings; the frame's checks; truncation and bounds.
#include <climits>
#include <cstdint>

#include "FirmwareHarness.h"
#include "FormatHarness.h"
#include "FormatCases.h"
#include "FormatInternal.h"

namespace {

using FormatChecks = ON_FIRMWARE;
using FormatEncodings = ON_FIRMWARE;
using FormatScan = ON_FIRMWARE;

const CHAR8 *const Ab = CaseAb;
const char16_t WideHigh[] = u"\u0141x";  // a character above 0xFF, then x

class FormatCoreTest : public ON_FIRMWARE, public ::testing::WithParamInterface<ENCODING> {
  void TearDown() override { EXPECT_EQ(Firmware.StdErr, u"") << "unexpected report"; }
};

TEST_P(FormatCoreTest, DirectivesConversionsAndLiterals) {
  for (const FORMAT_CASE &Case : FormatCases) {
    SLOTS Slots;
    for (UINTN Index = 0; Index < Case.SlotCount; Index++) {
      Slots.push_back({CaseSlot(&Case, Index), (Case.LongSlots >> Index & 1) != 0});
    }
    FORMATTED Result = RunFormatAs(GetParam().Flags, Case.Format, Slots);
    EXPECT_EQ(Result.Text, Widen(Case.Expected)) << "format \"" << Case.Format << "\"";
    EXPECT_EQ(Result.Count, std::strlen(Case.Expected)) << "format \"" << Case.Format << "\"";
  }
}

TEST_P(FormatCoreTest, EveryBufferSizeCutsAtTheEndAndTerminates) {
  const std::string Full = "x= -1,234|ab   |FF|<null string>\r\nend";
  const SLOTS Slots = {(UINT64)-1234, Slot(Ab), 255, 0};
  for (UINTN Size = 0; Size <= Full.size() + 3; Size++) {
    FORMATTED Result = RunFormatAs(GetParam().Flags, "x=%7,d|%-5a|%X|%s\nend", Slots, Size);
    size_t Kept = Size == 0 ? 0 : std::min<size_t>(Size - 1, Full.size());
    EXPECT_EQ(Result.Count, Kept) << "size " << Size;
    EXPECT_EQ(Result.Text, Widen(Full.substr(0, Kept))) << "size " << Size;
  }
}

TEST_P(FormatCoreTest, HugeWidthsAndPrecisionsStopAtTheBuffersEnd) {
  // A width or precision near the top of UINTN must cost only the characters that fit.
  const UINT64 Huge = (UINTN)1 << (8 * sizeof(UINTN) - 2);
  const char *Formats[] = {"%*d", "%.*d", "%*a", "%.*a", "%*c", "%-*d", "%0*d", "%*%"};
  for (const char *Format : Formats) {
    FORMATTED Result = RunFormatAs(GetParam().Flags, Format, {Huge, Slot("x")}, 300);
    EXPECT_EQ(Result.Count, 299u) << Format;
  }
  FORMATTED Digits = RunFormatAs(GetParam().Flags, "%99999999999999999d", {1}, 50);
  EXPECT_EQ(Digits.Count, 49u);
}

TEST_P(FormatCoreTest, PrecisionBoundsTheReadOfAnUnterminatedString) {
  // Without a NUL, only the characters the precision allows may be read.
  char Unterminated[3] = {'x', 'y', 'z'};
  FORMATTED Result =
      RunFormatAs(GetParam().Flags, "%.3a|%.2a", {Slot(Unterminated), Slot(Unterminated)});
  EXPECT_EQ(Result.Text, u"xyz|xy");
}

INSTANTIATE_TEST_SUITE_P(Encodings, FormatCoreTest, ::testing::ValuesIn(Encodings), EncodingName);

// Encoding-specific behaviour.
TEST_F(FormatEncodings, UcsCharactersAboveFfKeepTheirLowByteIn8BitOutput) {
  const char16_t Format[] = u"\u0141%s";
  EXPECT_EQ(RunFormat(FMT_UCS2, Format, {Slot(WideHigh)}).Text, u"\x41\x41x");
  EXPECT_EQ(RunFormat(FMT_UCS2 | OUT_UCS2, Format, {Slot(WideHigh)}).Text, u"\u0141\u0141x");
  EXPECT_EQ(RunFormat(OUT_UCS2, "%c", {0x0141}).Text, u"\u0141");
  EXPECT_EQ(RunFormat(0, "%c", {0x0141}).Text, u"\x41");
}

TEST_F(FormatEncodings, UcsFormatDirectiveCharactersCompareAllSixteenBits) {
  // U+0164 has the low byte of 'd' but is no conversion.
  const char16_t Format[] = u"%5\u0164|%\u0130";
  EXPECT_EQ(RunFormat(FMT_UCS2 | OUT_UCS2, Format, {7}).Text, u"    \u0164|\u0130");
}

TEST_F(FormatEncodings, OddAddressesAreReadByteWise) {
  alignas(2) UINT8 Memory[32] = {};
  const char16_t Text[] = u"%sok";
  std::memcpy(Memory + 1, Text, sizeof(Text));
  alignas(2) UINT8 Argument[16] = {};
  std::memcpy(Argument + 1, u"hi", 6);
  FORMATTED Result = RunFormat(FMT_UCS2 | OUT_UCS2, Memory + 1, {Slot(Argument + 1)});
  EXPECT_EQ(Result.Text, u"hiok");
  EXPECT_NE(Firmware.StdErr.find(u"((UINTN) String & 0x00000001) == 0"), std::u16string::npos);
  // An odd output buffer works too: every write is byte-wise.
  UINT8 Out[16];
  EXPECT_EQ(FormatWithoutArguments(Out + 1, 4, OUT_UCS2, "abcdef"), 3u);
  EXPECT_EQ(std::memcmp(Out + 1, "a\0b\0c\0\0\0", 8), 0);
}

// The frame's checks.
struct CHECK_CASE {
  const char *Name;
  void *Buffer;
  UINTN BufferSize;
  UINTN Flags;
  const void *Format;
  const char *Condition;  // nullptr: no report
};

char Scratch[16];

TEST_F(FormatChecks, RefusedCallsReportAndWriteNothing) {
  const std::string Overlong(1000001, 'a');
  const std::u16string WideOverlong(1000001, u'a');
  const CHECK_CASE Cases[] = {
      {"null buffer", nullptr, 10, 0, "x", "(Buffer != ((void *) 0))"},
      {"null format", Scratch, 10, 0, nullptr, "(Format != ((void *) 0))"},
      {"null buffer and format", nullptr, 10, 0, nullptr, "(Buffer != ((void *) 0))"},
      {"size 0, nothing else", nullptr, 0, 0, nullptr, nullptr},
      {"8-bit size over the limit", Scratch, 1000001, 0, "x",
       "(BufferSize <= (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength))"},
      {"UCS-2 size over the limit", Scratch, 1000001, OUT_UCS2, "x",
       "(BufferSize <= (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength))"},
      {"8-bit format over the limit", Scratch, 4, 0, Overlong.c_str(),
       "(AsciiStrnLenS (Format, (_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength) + 1) <= "
       "(_gPcd_FixedAtBuild_PcdMaximumAsciiStringLength))"},
      {"UCS-2 format over the limit", Scratch, 4, FMT_UCS2, WideOverlong.c_str(),
       "(StrnLenS ((CHAR16 *)Format, (_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength) + 1) <= "
       "(_gPcd_FixedAtBuild_PcdMaximumUnicodeStringLength))"},
  };
  for (const CHECK_CASE &Case : Cases) {
    FIRMWARE_STAND_IN Fresh;
    Fresh.Install();
    std::memset(Scratch, 0x5A, sizeof(Scratch));
    EXPECT_EQ(FormatWithoutArguments(Case.Buffer, Case.BufferSize, Case.Flags, Case.Format), 0u)
        << Case.Name;
    EXPECT_EQ((UINT8)Scratch[0], 0x5A) << Case.Name;
    EXPECT_TRUE(StdErrIs(Fresh, Case.Condition ? ReportPattern("print/FormatCore.cpp", Case.Condition) : ""))
        << Case.Name << ": " << Narrow(Fresh.StdErr);
  }
}

TEST_F(FormatChecks, TheLimitsThemselvesAreAccepted) {
  std::vector<UINT8> Big(2 * 1000000);
  EXPECT_EQ(FormatWithoutArguments(Big.data(), 1000000, OUT_UCS2, "ok"), 2u);
  EXPECT_EQ(RunFormat(0, std::string(1000000, 'a').c_str(), {}, 4).Text, u"aaa");
  EXPECT_EQ(RunFormat(FMT_UCS2, std::u16string(1000000, u'a').c_str(), {}, 4).Text, u"aaa");
  EXPECT_EQ(Firmware.StdErr, u"");
}

// The parser alone: the characters after '%' in, a description out, no
// argument read.
struct PARSE_CASE {
  const char *Characters;
  UINTN Flags;
  UINTN Width;
  UINTN Precision;
  UINTN StopsAt;     // the character where it stopped
  size_t Consumed;   // characters before it
};

const PARSE_CASE ParseCases[] = {
    {"d", 0, 0, 1, 'd', 0},
    {"-08.3lX", PF_LEFT | PF_ZERO_FILL | PF_WIDTH | PF_PRECISION | PF_LONG, 8, 3, 'X', 6},
    {"+ ,5d", PF_SIGN | PF_BLANK | PF_COMMA | PF_WIDTH, 5, 1, 'd', 4},
    {".d", PF_PRECISION, 0, 1, 'd', 1},   // a point without digits leaves P at 1
    {".0d", PF_PRECISION, 0, 0, 'd', 2},  // a 0 after the point is a precision, not a fill
    {"12.34.5x", PF_WIDTH | PF_PRECISION, 12, 5, 'x', 7},
    {"L%", PF_LONG, 0, 1, '%', 1},
    {"5*d", PF_WIDTH, 5, 1, '*', 1},  // a '*' hands the next slot to the caller
    {".*d", PF_PRECISION, 0, 1, '*', 1},
    {"-5", PF_LEFT | PF_WIDTH, 5, 1, 0, 2},  // cut off by the format's end
    {"", 0, 0, 1, 0, 0},
};

TEST(DirectiveParser, DescribesTheCharactersAndStopsWhereItShould) {
  for (const PARSE_CASE &Case : ParseCases) {
    for (UINTN FmtBytes : {1, 2}) {
      std::u16string Wide = Widen(Case.Characters);
      const UINT8 *Start = FmtBytes == 1 ? (const UINT8 *)Case.Characters : (const UINT8 *)Wide.c_str();
      FORMAT_ITEM Item = {};
      Item.Precision = 1;
      const UINT8 *Stop = ParseDirective(FmtBytes, Start, &Item);
      EXPECT_EQ(std::make_tuple(Item.Flags, Item.Width, Item.Precision, Item.Conversion,
                                (size_t)(Stop - Start)),
                std::make_tuple(Case.Flags, Case.Width, Case.Precision, Case.StopsAt, Case.Consumed * FmtBytes))
          << Case.Characters;
    }
  }
}

// The engine finds the end of a format and of a %a string a word at a time:
// exact at every alignment and length, and never past the page that holds
// the last byte it needs, even when that byte is a page's last.
TEST_F(FormatScan, ExactAtEveryAlignmentAndAtAPageEnd) {
  std::string Text = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (size_t Length = 0; Length < 34; Length++) {
    std::string Expected = Text.substr(0, Length);
    std::u16string Wide = Widen(Expected);
    // Ending with its NUL on the page's last byte; in a buffer whose bytes
    // after the NUL are not zero, at every offset.
    UINT8 *AtEnd = BeforeUnmappedPage(Expected.c_str(), Length + 1);
    EXPECT_EQ(RunFormat(OUT_UCS2, AtEnd, {}).Text, Wide) << Length;
    EXPECT_EQ(RunFormat(OUT_UCS2, "<%a>", {Slot(AtEnd)}).Text, u"<" + Wide + u">") << Length;
    // Without a NUL at all, a precision bounds the read.
    UINT8 *Unended = BeforeUnmappedPage(Expected.data(), Length);
    EXPECT_EQ(RunFormat(OUT_UCS2, "%.*a", {Length, Slot(Unended)}).Text, Wide) << Length;
    for (size_t Offset = 0; Offset < 8; Offset++) {
      alignas(8) UINT8 Memory[64];
      std::memset(Memory, 'Z', sizeof(Memory));
      std::memcpy(Memory + Offset, Expected.c_str(), Length + 1);
      EXPECT_EQ(RunFormat(OUT_UCS2, Memory + Offset, {}).Text, Wide) << Length << "+" << Offset;
      EXPECT_EQ(RunFormat(0, "%a|", {Slot(Memory + Offset)}).Text, Wide + u"|") << Length;
    }
  }
  EXPECT_EQ(Firmware.StdErr, u"");
}

// The 32-bit machines' division by ten, checked against the host's on the
// edges of each half and of the reciprocal's error.
TEST(DivideByTen, InHalvesAgreesWithDivision) {
  std::vector<UINT64> Values = {0, 1, 9, 10, 11, 99, 100, 0xFFFFFFFF, 0x100000000, 0x100000009,
                                0x10000000A, 9999999999999999999ull, 10000000000000000000ull,
                                0x7FFFFFFFFFFFFFFF, 0x8000000000000000, ~0ull, ~0ull - 5};
  for (UINT64 Value = 1; Value != 0 && Value < (1ull << 63); Value *= 3) {
    Values.insert(Values.end(), {Value - 1, Value, Value + 1, Value * 10 - 1});
  }
  for (UINT64 Value : Values) {
    EXPECT_EQ(DivideByTenInHalves(Value), Value / 10) << Value;
  }
}

}  // namespace

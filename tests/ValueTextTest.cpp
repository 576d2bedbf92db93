// SPDX-License-Identifier: MIT
// %g, %t and %r: GUID, time and status texts, and how width, precision and
// flags act on them.
#include "FirmwareHarness.h"

namespace {

struct CASE {
  std::string Expected;
  std::string Format;
  SLOTS Slots;
};

alignas(8) const UINT8 CountingGuid[17] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                           0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
// The same GUID one byte past an aligned address.
alignas(8) const UINT8 OddGuid[17] = {0xAA, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                      0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
alignas(8) const UINT8 HighGuid[16] = {0xFF, 0xEE, 0xDD, 0xCC, 0xBB, 0xAA, 0x99, 0x88,
                                       0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x00};
const EFI_TIME Spring = {2024, 3, 7, 9, 5, 59, 0, 0, 0, 0, 0};
const EFI_TIME Zeros = {};
const EFI_TIME Widest = {65535, 255, 255, 255, 255, 255, 0, 0, 0, 0, 0};

const CASE Cases[] = {
    // GUID text: Data1 to Data3 as numbers, Data4 in memory order.
    {"03020100-0504-0706-0809-0A0B0C0D0E0F", "%g", {Slot(CountingGuid)}},
    {"CCDDEEFF-AABB-8899-7766-554433221100", "%g", {Slot(HighGuid)}},
    {"<null guid>", "%g", {0}},
    {"<null guid>|7", "%g|%d", {0, 7}},  // the null reference still takes its slot
    {"03020100-0504-0706-0809-0A0B0C0D0E0F", "%,g", {Slot(CountingGuid)}},
    {"   03020100-0504-0706-0809-0A0B0C0D0E0F", "%039g", {Slot(CountingGuid)}},
    {"03020100", "%.8g", {Slot(CountingGuid)}},
    {"03020100-0504-0706-0809-0A0B0C0D0E0F", "%g", {Slot(OddGuid + 1)}},
    // Time text: zero-filled fields, no range check, no seconds.
    {"03/07/2024  09:05", "%t", {Slot(&Spring)}},
    {"00/00/0000  00:00", "%t", {Slot(&Zeros)}},
    {"255/255/65535  255:255", "%t", {Slot(&Widest)}},
    {"<null time>", "%t", {0}},
    {"<null time>|7", "%t|%d", {0, 7}},
    {"03/07/2024  09:05", "%+t", {Slot(&Spring)}},
    {"   03/07/2024  09:05", "%20t", {Slot(&Spring)}},
    // Status names at the table's edges, and the numeric form.
    {"Success", "%r", {0}},
    {"Warning Unknown Glyph", "%r", {1}},
    {"Warning Buffer Too Small", "%r", {4}},
    {"Warning Stale Data", "%r", {5}},
    {"00000006", "%r", {6}},
    {"Load Error", "%r", {ErrorStatus(1)}},
    {"Buffer Too Small", "%r", {ErrorStatus(5)}},
    {"Not Found", "%r", {ErrorStatus(14)}},
    {"Reserved (29)", "%r", {ErrorStatus(29)}},
    {"Compromised Data", "%r", {ErrorStatus(33)}},
    {ByWidth("00000022", "80000022"), "%r", {ErrorStatus(34)}},
    {"00000022", "%r", {34}},
    {ByWidth("00000000", "80000000"), "%r", {ErrorStatus(0)}},
    // The range test sees all the code bits: 63 of them on a 64-bit machine.
    {ByWidth("00000001", "Warning Unknown Glyph"), "%r", {(1ull << 32) | 1}},
    {ByWidth("00000002", "Invalid Parameter"), "%r", {ErrorStatus((1ull << 40) | 2)}},
    {"FFFFFFFF", "%r", {UINT64_MAX}},
    {"Success", "%lr", {0}},
    // Width, precision and flags act as on a string and never add zeros.
    {"                  Success", "%25r", {0}},
    {"Success                  ", "%-25r", {0}},
    {"                  Success", "%025r", {0}},
    {"Succ", "%.4r", {0}},
    {"   Success", "%.10r", {0}},
    {"S", "%.r", {0}},
    {"Success", "%+ ,r", {0}},
    {"  00000006", "%010r", {6}},
    {"Not Found|Success", "%r|%r", {ErrorStatus(14), 0}},
    // The nested call runs between the outer call's '*' slots, flags and cursor.
    {"[03020100-0504-0706-0809-0A0B0C0D0E0F    ]00042|         Inv|"
     "1,234,567|03/07/2024  09:05Zend",
     "[%-*g]%05d|%*.*r|%,d|%t%c%a",
     {40, Slot(CountingGuid), 42, 12, 3, ErrorStatus(2), 1234567, Slot(&Spring), 'Z', Slot("end")}},
};

class ValueTextTest : public ON_FIRMWARE, public ::testing::WithParamInterface<ENCODING> {
  void TearDown() override { EXPECT_EQ(Firmware.StdErr, u""); }
};

TEST_P(ValueTextTest, Texts) {
  for (const CASE &Case : Cases) {
    FORMATTED Result = RunFormatAs(GetParam().Flags, Case.Format, Case.Slots);
    EXPECT_EQ(Result.Text, Widen(Case.Expected)) << "format \"" << Case.Format << "\"";
  }
}

INSTANTIATE_TEST_SUITE_P(Encodings, ValueTextTest, ::testing::ValuesIn(Encodings), EncodingName);

}  // namespace

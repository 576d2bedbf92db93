// SPDX-License-Identifier: MIT
// Boot#### data comes from the variable store, written by anyone: the
// listing reads it only within its size.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "BootOptions.h"
#include "FirmwareHarness.h"
#include "UefiGuids.h"

namespace {

// Attributes, FilePathListLength, then the raw bytes that follow.
std::vector<UINT8> Option(UINT32 Attributes, UINT16 PathLength, const std::u16string &Tail) {
  std::vector<UINT8> Data = {(UINT8)Attributes, (UINT8)(Attributes >> 8), (UINT8)(Attributes >> 16),
                             (UINT8)(Attributes >> 24), (UINT8)PathLength, (UINT8)(PathLength >> 8)};
  for (char16_t Character : Tail) {
    Data.push_back((UINT8)Character);
    Data.push_back((UINT8)(Character >> 8));
  }
  return Data;
}

TEST(BootOptions, LoadOptionsAreReadOnlyWithinTheirSize) {
  // The path list here is four bytes (an end node) after the description.
  const std::u16string Named(u"Disk\0\xff7f\x0004", 7);
  struct {
    std::vector<UINT8> Data;
    BOOLEAN Readable;
    std::u16string Description;
  } Cases[] = {
      {Option(0x80000109, 4, Named), TRUE, u"Disk"},  // active, hidden, an application; a reserved bit
      {Option(0, 4, std::u16string(u"\0\xff7f\x0004", 3)), TRUE, u""},     // no description
      {Option(1, 6, Named), FALSE, u""},                                     // path list runs past the end
      {Option(1, 0, u"Disk"), FALSE, u""},                                   // no terminator
      {Option(1, 0, u""), FALSE, u""},                                       // header alone
      {{1, 0, 0, 0, 0, 0, 0}, FALSE, u""},                                   // half a terminator
      {{1, 0, 0, 0, 0, 0, 'A', 0, 0}, FALSE, u""},                           // odd size, half a terminator
      {Option(1, 4, std::u16string(u"\x0100\0\xff7f\x0004", 4)), TRUE, u"\x0100"},  // a NUL low byte is no end
      {Option(1, 6, std::u16string(u"\x0100\0\xff7f\x0004", 4)), FALSE, u""},  // nor does it shorten the option
  };
  for (const auto &Case : Cases) {
    LOAD_OPTION_VIEW View = {};
    const UINT8 *Data = BeforeUnmappedPage(Case.Data.data(), Case.Data.size());
    EXPECT_EQ(ReadLoadOption(Data, Case.Data.size(), &View), Case.Readable);
    if (Case.Readable) {
      EXPECT_EQ(std::u16string((const char16_t *)View.Description), Case.Description);
      EXPECT_EQ(View.Attributes,
                Case.Data[0] | Case.Data[1] << 8 | Case.Data[2] << 16 | (UINT32)Case.Data[3] << 24);
    }
  }
  EXPECT_FALSE(ReadLoadOption(nullptr, 0, nullptr));
}

TEST(BootOptions, DescriptionsReachTheConsoleAsText) {
  // A description is anyone's text: a terminal's escape sequence in it is
  // shown, never sent.
  struct {
    std::u16string Text;
    UINTN Capacity;
    std::u16string Shown;
  } Cases[] = {
      {u"ubuntu", 16, u"ubuntu"},
      {u"\x1b[2J\x1b]0;x\x07", 32, u"\\x1B[2J\\x1B]0;x\\x07"},
      {u"a\r\nb\x1f \x7f\x9b\x9f\xa0\x0100", 48, u"a\\x0D\\x0Ab\\x1F \\x7F\\x9B\\x9F\xa0\x0100"},
      {u"ab\x1b", 6, u"ab"},  // an escape is cut whole, never half-shown
      {u"abcdef", 4, u"abc"},
  };
  for (const auto &Case : Cases) {
    std::vector<CHAR16> Buffer(Case.Capacity, 0xFFFF);
    EXPECT_EQ(VisibleText((const CHAR16 *)Case.Text.c_str(), Buffer.data(), Case.Capacity), Case.Shown.size());
    EXPECT_EQ(std::u16string((const char16_t *)Buffer.data()), Case.Shown);
  }
}

// The listing on the stand-in's variable store and block devices.

RECORDED_VARIABLE Variable(const std::u16string &Name, std::vector<UINT8> Data, const EFI_GUID &Guid = gEfiGlobalVariableGuid) {
  return {Name, Guid, 7, Data, {}};
}

TEST(BootOptions, ListsWhatTheStoreAndTheDevicesHold) {
  const std::u16string End(u"\xff7f\x0004", 2);
  std::vector<UINT8> Huge = Option(1, 4, u"Huge" + std::u16string(1, 0) + End);
  Huge.resize(64 * 1024 + 1);  // optional data past the size of any boot variable
  struct {
    const char *Name;
    std::vector<RECORDED_VARIABLE> Store;
    std::vector<STAND_IN_BLOCK_DEVICE> Devices;
    std::u16string Shown;
    bool HasToText = true;
    EFI_STATUS DataStatus = EFI_SUCCESS;  // a variable's data that cannot be read, its size can
  } Cases[] = {
      {"options, order and devices",
       {Variable(u"Boot0001", Option(1, 4, u"Disk" + std::u16string(1, 0) + End)),
        Variable(u"Boot0001X", Option(1, 4, u"Not an option" + std::u16string(1, 0) + End)),
        Variable(u"Boot0003", Option(1, 4, u"Vendor's" + std::u16string(1, 0) + End), BootChoiceVendorGuid),
        Variable(u"Boot000a", Option(1, 4, u"Lower-case" + std::u16string(1, 0) + End)),
        // Names longer than the walk's first buffer, and the one before it, carried over whole.
        Variable(std::u16string(100, u'K'), {1}), Variable(std::u16string(200, u'L'), {1}),
        Variable(u"Boot0005", Huge),
        Variable(u"Boot0004", {1, 0, 0, 0}),
        Variable(u"Boot00A2", Option(0, 4, u"Old" + std::u16string(1, 0) + End)),
        Variable(u"BootOrder", {0x01, 0x00, 0xA2, 0x00})},
       {{{1, 1, 1, 0, 0, 0, 512, 0, 69631}, u"/disk"}, {{1, 1, 1, 1, 0, 0, 4096, 0, 8191}, u"/disk/part"},
        {{2, 1, 0, 0, 1, 0, 2048, 0, 4095}, u"/cdrom"}, {{3, 0, 1, 0, 0, 0, 512, 0, 2047}, u""}},
       u"UEFI boot options:\r\n"
       u"  Boot0001  Disk\r\n"
       u"        boot it: setenv -e -nv -bs -rt BootNext =H0100; bootefi bootmgr\r\n"
       u"  Boot0005  (not a readable load option)\r\n"
       u"  Boot0004  (not a readable load option)\r\n"
       u"  Boot00A2  Old  (inactive)\r\n"
       u"        boot it: setenv -e -nv -bs -rt BootNext =HA200; bootefi bootmgr\r\n"
       u"BootOrder: 0001 00A2\r\nBootNext: not set\r\nBlock devices:\r\n"
       u"  disk          34 MiB  /disk\r\n"
       u"  partition     32 MiB  /disk/part\r\n"
       u"  disk           0 MiB  /cdrom\r\n"
       u"  disk           1 MiB  (no device path text)\r\n"},
      {"nothing at all", {}, {},
       u"UEFI boot options:\r\n  none\r\nBootOrder: not set\r\nBootNext: not set\r\nBlock devices:\r\n  none\r\n"},
      {"a name too long to follow",
       {Variable(u"BootNext", {0x02, 0x00}), Variable(std::u16string(3000, u'N'), {1})},
       {},
       u"UEFI boot options:\r\n  (the list ends at a variable name of 6002 bytes, over 4096)\r\n  none\r\n"
       u"BootOrder: not set\r\nBootNext: 0002\r\nBlock devices:\r\n  none\r\n"},
      {"the longest name followed, 4096 bytes with its terminator",
       {Variable(std::u16string(2047, u'N'), {1}), Variable(u"Boot0007", Option(1, 4, u"After" + std::u16string(1, 0) + End))},
       {},
       u"UEFI boot options:\r\n  Boot0007  After\r\n"
       u"        boot it: setenv -e -nv -bs -rt BootNext =H0700; bootefi bootmgr\r\n"
       u"BootOrder: not set\r\nBootNext: not set\r\nBlock devices:\r\n  none\r\n"},
      {"firmware without the Device Path To Text protocol", {},
       {{{1, 1, 1, 0, 0, 0, 512, 0, 2047}, u"/disk"}},
       u"UEFI boot options:\r\n  none\r\nBootOrder: not set\r\nBootNext: not set\r\nBlock devices:\r\n"
       u"  disk           1 MiB  (no device path text)\r\n",
       false},
      {"an odd-sized order: its whole numbers", {Variable(u"BootOrder", {0x01, 0x00, 0x02})}, {},
       u"UEFI boot options:\r\n  none\r\nBootOrder: 0001\r\nBootNext: not set\r\nBlock devices:\r\n  none\r\n"},
      {"an order whose data cannot be read: no pool kept", {Variable(u"BootOrder", {0x01, 0x00})}, {},
       u"UEFI boot options:\r\n  none\r\nBootOrder: not set\r\nBootNext: not set\r\nBlock devices:\r\n  none\r\n",
       true, EFI_DEVICE_ERROR},
  };
  for (auto &Case : Cases) {
    FIRMWARE_STAND_IN Firmware;
    Firmware.Variables = Case.Store;
    Firmware.BlockDevices = Case.Devices;
    Firmware.HasDevicePathToText = Case.HasToText;
    Firmware.GetVariableDataStatus = Case.DataStatus;
    Firmware.Install();
    EXPECT_EQ(BootOptionsEntry(StandInImageHandle, &Firmware.SystemTable), EFI_SUCCESS) << Case.Name;
    EXPECT_EQ(Firmware.ConOut, Case.Shown) << Case.Name;
    EXPECT_EQ(Firmware.StdErr, u"") << Case.Name;
    EXPECT_TRUE(Firmware.LivePool.empty()) << Case.Name << ": pool left allocated";
  }
}

// The boot script's question comes in the load options, from U-Boot's
// bootargs: anything else is the listing's, a board's own bootargs included.
TEST(BootOptions, OnlyAChoiceRequestAsksForTheChoice) {
  struct {
    std::u16string Options;
    BOOLEAN Asks;
    UINT64 Address;
  } Cases[] = {
      {std::u16string(u"choice 0x42000000\0", 18), TRUE, 0x42000000},  // terminated, as U-Boot passes it
      {u"choice 40400000", TRUE, 0x40400000},
      {u"choice 0XabCDef01", TRUE, 0xABCDEF01},
      {u"choice 0xffffffffffffffff", TRUE, ~0ull},
      {u"choice 0x1ffffffffffffffff", FALSE, 0},  // more than 64 bits
      {u"choice 0x", FALSE, 0},
      {u"choice ", FALSE, 0},
      {u"choice 0x4200000g", FALSE, 0},
      {u"choice  0x42000000", FALSE, 0},
      {u"Choice 0x42000000", FALSE, 0},
      {u"console=ttyS0,115200", FALSE, 0},
      {u"", FALSE, 0},
  };
  for (const auto &Case : Cases) {
    UINT64 Address = 0;
    EXPECT_EQ(ReadChoiceRequest(Case.Options.data(), Case.Options.size() * sizeof(CHAR16), &Address), Case.Asks)
        << Narrow(Case.Options);
    if (Case.Asks) EXPECT_EQ(Address, Case.Address) << Narrow(Case.Options);
  }
  // The size bounds the read: a request cut short by it asks for nothing.
  UINT64 Address = 0;
  EXPECT_FALSE(ReadChoiceRequest(u"choice 0x42", 7 * sizeof(CHAR16), &Address));
  EXPECT_FALSE(ReadChoiceRequest(nullptr, 16, &Address));
}

// Asked for the choice: the byte its key types at the address, the choice
// gone, and for a boot-order reset BootOrder and BootNext gone too.
TEST(BootOptions, HandsTheChoiceToTheScriptOnce) {
  alignas(EFI_PAGE_SIZE) static UINT8 Page[EFI_PAGE_SIZE];
  const UINTN At = (UINTN)Page + 0x123;
  char Text[24];
  std::snprintf(Text, sizeof(Text), "%llX", (unsigned long long)At);  // as the engine writes %lx
  const std::u16string Hex = Widen(Text);
  auto Choice = [](CHAR16 Key) { return Variable(ChoiceOf(Key)->VariableName, {0x31, 0}, BootChoiceVendorGuid); };
  const RECORDED_VARIABLE Mark = Variable(KeyMenuShownVariable, {0x31, 0}, BootChoiceVendorGuid);
  const RECORDED_VARIABLE Order = Variable(u"BootOrder", {1, 0, 2, 0}), Next = Variable(u"BootNext", {2, 0});
  const RECORDED_VARIABLE Option = Variable(u"Boot0001", {1});
  struct {
    const char *Name;
    std::vector<RECORDED_VARIABLE> Store;
    bool Lends;  // the firmware lends the page
    EFI_STATUS Status;
    UINT8 Byte;
    std::vector<std::u16string> Left;
    std::u16string Shown;
  } Cases[] = {
      {"p", {Mark, Choice(u'p'), Order}, true, EFI_SUCCESS, 'p', {KeyMenuShownVariable, u"BootOrder"}, u""},
      {"Escape", {Choice(0)}, true, EFI_SUCCESS, 0x1B, {}, u""},
      {"r", {Option, Order, Choice(u'r'), Next}, true, EFI_SUCCESS, 'r', {u"Boot0001"},
       u"Tamberlune: removing BootOrder: 0001 0002\r\nTamberlune: removing BootNext: 0002\r\n"},
      {"r with no order to remove", {Choice(u'r')}, true, EFI_SUCCESS, 'r', {}, u""},
      {"no choice", {Mark, Order}, true, EFI_SUCCESS, 0, {KeyMenuShownVariable, u"BootOrder"}, u""},
      // Two at once, as an older image started twice could leave: the first
      // in table order counts, and neither is acted on again.
      {"two choices", {Choice(0), Choice(u'p')}, true, EFI_SUCCESS, 'p', {}, u""},
      {"the page refused", {Choice(u'r'), Order}, false, EFI_NOT_FOUND, 0xA5,
       {ChoiceOf(u'r')->VariableName, u"BootOrder"},
       u"Tamberlune: cannot hand the choice over at 0x" + Hex + u": Not Found\r\n"},
  };
  for (auto &Case : Cases) {
    FIRMWARE_STAND_IN Firmware;
    Firmware.Variables = Case.Store;
    Firmware.LoadOptions = u"choice 0x" + Hex;
    Firmware.LendablePage = Case.Lends ? (UINTN)Page : 0;
    Page[0x123] = 0xA5;
    Firmware.Install();
    EXPECT_EQ(BootOptionsEntry(StandInImageHandle, &Firmware.SystemTable), Case.Status) << Case.Name;
    EXPECT_EQ(Page[0x123], Case.Byte) << Case.Name;
    std::vector<std::u16string> Left;
    for (const RECORDED_VARIABLE &Kept : Firmware.Variables) Left.push_back(Kept.Name);
    EXPECT_EQ(Left, Case.Left) << Case.Name;
    EXPECT_EQ(Firmware.ConOut, Case.Shown) << Case.Name;
    EXPECT_TRUE(Firmware.HeldPages.empty() && Firmware.LivePool.empty()) << Case.Name << ": memory kept";
  }
}

}  // namespace

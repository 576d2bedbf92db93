// SPDX-License-Identifier: MIT
// The built image, read byte by byte as a loader would: PE headers and
// sections, then the resource section and the HII package list it carries.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

class ImageLayoutTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::ifstream Stream(TAMBERLUNE_IMAGE, std::ios::binary);
    ASSERT_TRUE(Stream) << "no image at " << TAMBERLUNE_IMAGE;
    File.assign(std::istreambuf_iterator<char>(Stream), std::istreambuf_iterator<char>());
  }

  static uint32_t U8(size_t Offset) {
    return Offset < File.size() ? (uint8_t)File[Offset] : 0xFFFFFFFF;
  }
  static uint32_t U16(size_t Offset) { return U8(Offset) | (U8(Offset + 1) << 8); }
  static uint32_t U32(size_t Offset) { return U16(Offset) | (U16(Offset + 2) << 16); }
  static std::u16string Ucs2(size_t Offset, size_t Count) {
    std::u16string Text;
    for (size_t Index = 0; Index < Count; Index++)
      Text.push_back((char16_t)U16(Offset + 2 * Index));
    return Text;
  }

  size_t PeHeader() const { return U32(0x3C); }
  size_t OptionalHeader() const { return PeHeader() + 24; }
  size_t SectionTable() const { return OptionalHeader() + U16(PeHeader() + 20); }
  size_t SectionCount() const { return U16(PeHeader() + 6); }
  std::string SectionName(size_t Index) const {
    std::string Name;
    for (size_t At = SectionTable() + 40 * Index; Name.size() < 8 && U8(At) != 0; At++)
      Name.push_back((char)U8(At));
    return Name;
  }
  size_t SectionField(size_t Index, size_t Field) const {
    return U32(SectionTable() + 40 * Index + Field);
  }
  // PE32+ (the 64-bit machines) or PE32 (IA32, ARM): the data directories
  // follow a 64-bit or a 32-bit image base.
  static constexpr bool Pe32Plus = TAMBERLUNE_PE_MAGIC == 0x20B;
  uint32_t Directory(size_t Index, size_t Field) const {
    return U32(OptionalHeader() + (Pe32Plus ? 112 : 96) + 8 * Index + Field);
  }
  // The resource section's file offset and RVA.
  size_t Rsrc() const { return SectionField(2, 20); }
  uint32_t RsrcRva() const { return (uint32_t)SectionField(2, 12); }
  // The package list, at section offset 0x70.
  size_t List() const { return Rsrc() + 0x70; }

  static std::vector<char> File;
};
std::vector<char> ImageLayoutTest::File;

TEST_F(ImageLayoutTest, HeadersSayEfiApplicationForItsMachine) {
  EXPECT_EQ(U16(0), 0x5A4Du);
  EXPECT_EQ(U32(PeHeader()), 0x4550u);
  EXPECT_EQ(U16(PeHeader() + 4), TAMBERLUNE_MACHINE);  // machine
  EXPECT_EQ(U16(OptionalHeader()), TAMBERLUNE_PE_MAGIC);  // PE32+ or PE32
  EXPECT_EQ(U16(OptionalHeader() + 68), 10u);    // subsystem: EFI application
  EXPECT_EQ(U32(OptionalHeader() + 32), 0x40u);  // section alignment
  EXPECT_EQ(U32(OptionalHeader() + 36), 0x40u);  // file alignment
  EXPECT_EQ(U16(PeHeader() + 22) & 0x0001, 0u);  // relocations not stripped
  EXPECT_NE(U32(OptionalHeader() + 16), 0u);     // entry point
  EXPECT_EQ(Directory(1, 0), 0u);                // no imports
  EXPECT_EQ(Directory(1, 4), 0u);
  EXPECT_NE(Directory(5, 4), 0u);  // base relocations
}

TEST_F(ImageLayoutTest, BaseRelocationsAreOfTheMachinesWidthOnly) {
  // DIR64 (10) on a 64-bit machine, HIGHLOW (3) on IA32 and ARM; type 0 pads a block.
  const uint32_t Wanted = Pe32Plus ? 10 : 3;
  size_t Reloc = SectionField(3, 20), End = Reloc + Directory(5, 4);
  size_t Fixups = 0;
  for (size_t Block = Reloc; Block + 8 <= End; Block += U32(Block + 4)) {
    ASSERT_GE(U32(Block + 4), 8u);
    for (size_t Entry = Block + 8; Entry < Block + U32(Block + 4); Entry += 2) {
      uint32_t Type = U16(Entry) >> 12;
      EXPECT_TRUE(Type == Wanted || Type == 0) << "type " << Type;
      Fixups += Type != 0;
    }
  }
  EXPECT_GT(Fixups, 0u);
}

TEST_F(ImageLayoutTest, SectionsInOrderAlignedAndNeverWritableAndExecutable) {
  const std::vector<std::pair<std::string, uint32_t>> Expected = {
      {".text", 0x60000020}, {".data", 0xC0000040}, {".rsrc", 0x40000040}, {".reloc", 0x42000040}};
  ASSERT_EQ(SectionCount(), Expected.size());
  for (size_t Index = 0; Index < Expected.size(); Index++) {
    EXPECT_EQ(SectionName(Index), Expected[Index].first);
    uint32_t Characteristics = (uint32_t)SectionField(Index, 36);
    EXPECT_EQ(Characteristics, Expected[Index].second) << SectionName(Index);
    EXPECT_FALSE((Characteristics & 0x80000000) && (Characteristics & 0x20000000))
        << SectionName(Index);
    EXPECT_EQ(SectionField(Index, 12) % 0x40, 0u) << SectionName(Index);  // RVA
    EXPECT_EQ(SectionField(Index, 20) % 0x40, 0u) << SectionName(Index);  // file offset
    EXPECT_LE(SectionField(Index, 20) + SectionField(Index, 16), File.size());
  }
}

TEST_F(ImageLayoutTest, ResourceDirectoryCoversTheWholeSection) {
  EXPECT_EQ(Directory(2, 0), RsrcRva());
  EXPECT_EQ(Directory(2, 4), 0x1C0u);
  EXPECT_EQ(SectionField(2, 8), 0x1C0u);   // virtual size
  EXPECT_EQ(SectionField(2, 16), 0x1C0u);  // raw size
}

TEST_F(ImageLayoutTest, ThreeLevelsOfOneNamedEntry) {
  const uint32_t Tables[] = {0x00, 0x18, 0x30};
  const uint32_t Names[] = {0x80000048, 0x80000050, 0x80000058};
  const uint32_t Targets[] = {0x80000018, 0x80000030, 0x60};
  for (int Level = 0; Level < 3; Level++) {
    size_t Table = Rsrc() + Tables[Level];
    EXPECT_EQ(U32(Table), 0u);       // characteristics
    EXPECT_EQ(U32(Table + 4), 0u);   // time stamp
    EXPECT_EQ(U32(Table + 8), 0u);   // versions
    EXPECT_EQ(U16(Table + 12), 1u);  // named entries
    EXPECT_EQ(U16(Table + 14), 0u);  // ID entries
    EXPECT_EQ(U32(Table + 16), Names[Level]);
    EXPECT_EQ(U32(Table + 20), Targets[Level]);
  }
  const char16_t *Strings[] = {u"HII", u"EFI", u"BIN"};
  for (int Index = 0; Index < 3; Index++) {
    EXPECT_EQ(U16(Rsrc() + 0x48 + 8 * Index), 3u);
    EXPECT_EQ(Ucs2(Rsrc() + 0x4A + 8 * Index, 3), Strings[Index]);
  }
}

TEST_F(ImageLayoutTest, DataEntryPointsAtThePackageList) {
  EXPECT_EQ(U32(Rsrc() + 0x60), RsrcRva() + 0x70);
  EXPECT_EQ(U32(Rsrc() + 0x64), 283u);
  EXPECT_EQ(U32(Rsrc() + 0x68), 0u);
  EXPECT_EQ(U32(Rsrc() + 0x6C), 0u);
}

TEST_F(ImageLayoutTest, PackageListHeaderAndLengthsAgree) {
  const uint8_t Guid[] = {0xE4, 0x91, 0x3C, 0x7A, 0x2D, 0x5B, 0x68, 0x4F,
                          0x9E, 0x1A, 0xC8, 0x4D, 0x20, 0xF6, 0xB5, 0x73};
  for (int Index = 0; Index < 16; Index++) EXPECT_EQ(U8(List() + Index), Guid[Index]);
  uint32_t PackageLength = U32(List() + 0x10);
  uint32_t StringPackageLength = U32(List() + 0x14) & 0xFFFFFF;
  EXPECT_EQ(PackageLength, 283u);
  EXPECT_EQ(StringPackageLength, 259u);
}

TEST_F(ImageLayoutTest, StringPackageHeader) {
  EXPECT_EQ(U32(List() + 0x14), 0x04000103u);  // bytes 03 01 00 04
  EXPECT_EQ(U32(List() + 0x18), 52u);          // HdrSize
  EXPECT_EQ(U32(List() + 0x1C), 52u);          // StringInfoOffset
  for (int Index = 0; Index < 32; Index++)
    EXPECT_EQ(U8(List() + 0x20 + Index), 0u);  // LanguageWindow
  EXPECT_EQ(U16(List() + 0x40), 1u);           // LanguageName: string 1
  EXPECT_EQ(std::string(&File[List() + 0x42], 6), std::string("en-US\0", 6));
}

TEST_F(ImageLayoutTest, StringBlocksWalkToEnglishAndTheHelpText) {
  const std::u16string Help =
      u".TH Tamberlune 0 \"Displays a \"UEFI Tamberlune!\" string.\"\r\n.SH NAME\r\nTamberlune "
      u"application.\r\n";
  // Walk from StringInfoOffset as a shell would: blocks until the end block.
  std::vector<std::pair<size_t, std::u16string>> Strings;
  size_t At = List() + 0x14 + U32(List() + 0x1C);
  while (U8(At) == 0x14) {
    size_t Start = ++At;
    std::u16string Text;
    for (; U16(At) != 0; At += 2) Text.push_back((char16_t)U16(At));
    At += 2;
    Strings.push_back({Start - List(), Text});
  }
  ASSERT_EQ(Strings.size(), 2u);
  EXPECT_EQ(Strings[0].first, 0x49u);  // odd: no alignment is inserted
  EXPECT_EQ(Strings[0].second, u"English");
  EXPECT_EQ(Strings[1].first, 0x5Au);
  EXPECT_EQ(Strings[1].second, Help);
  EXPECT_EQ(At - List(), 0x116u);  // the end block is the string package's last byte
  EXPECT_EQ(U8(At), 0x00u);
}

TEST_F(ImageLayoutTest, EndPackageThenZerosToTheSectionsEnd) {
  EXPECT_EQ(U32(List() + 0x117), 0xDF000004u);  // bytes 04 00 00 DF
  for (size_t Offset = 0x18B; Offset < 0x1C0; Offset++)
    EXPECT_EQ(U8(Rsrc() + Offset), 0u) << Offset;
}

}  // namespace

// SPDX-License-Identifier: MIT
#include "PeImage.h"

#include <cstdio>

#include "HiiLayout.h"

namespace {

// A bounded view of the file: every read says where it went wrong.
struct READER {
  const uint8_t *Data;
  size_t Size;
  std::string *Error;

  bool Fail(const std::string &Message) {
    if (Error->empty()) *Error = Message;
    return false;
  }
  bool Has(uint64_t Offset, uint64_t Length, const char *What) {
    if (Offset > Size || Length > Size - Offset) {
      return Fail(std::string(What) + " lies outside the file (offset " + std::to_string(Offset) +
                  ", " + std::to_string(Length) + " bytes, file " + std::to_string(Size) + ")");
    }
    return true;
  }
  uint32_t U8(uint64_t Offset) { return Data[Offset]; }
  uint32_t U16(uint64_t Offset) { return Data[Offset] | (Data[Offset + 1] << 8); }
  uint32_t U32(uint64_t Offset) { return U16(Offset) | (U16(Offset + 2) << 16); }
  uint64_t U64(uint64_t Offset) { return U32(Offset) | ((uint64_t)U32(Offset + 4) << 32); }
};

std::string Hex(uint64_t Value) {
  char Text[17];
  snprintf(Text, sizeof(Text), "%llx", (unsigned long long)Value);
  return Text;
}

// The file offset of Length bytes at Rva, if one section's raw data holds them.
bool RvaToOffset(READER &File, const PE_IMAGE &Image, uint64_t Rva, uint64_t Length,
                 const char *What, uint64_t *Offset) {
  for (const PE_SECTION &Section : Image.Sections) {
    uint64_t Start = Section.VirtualAddress;
    if (Rva >= Start && Rva - Start < Section.RawSize) {
      if (Length > Section.RawSize - (Rva - Start)) {
        return File.Fail(std::string(What) + " runs past the end of section " + Section.Name);
      }
      *Offset = Section.RawOffset + (Rva - Start);
      return File.Has(*Offset, Length, What);
    }
  }
  return File.Fail(std::string(What) + " (RVA 0x" + Hex(Rva) + ") is in no section's data");
}

bool ReadImports(READER &File, PE_IMAGE *Image) {
  const PE_DIRECTORY &Directory = Image->Directories[PeImportDirectory];
  if (Directory.Rva == 0 && Directory.Size == 0) return true;
  // Import descriptors of 20 bytes, ended by an all-zero one.
  for (uint64_t Index = 0;; Index++) {
    uint64_t Offset;
    if (!RvaToOffset(File, *Image, Directory.Rva + Index * 20, 20, "import descriptor", &Offset)) {
      return false;
    }
    uint32_t NameRva = File.U32(Offset + 12);
    if (NameRva == 0) return true;
    std::string Name;
    for (uint64_t Character = 0;; Character++) {
      uint64_t At;
      if (!RvaToOffset(File, *Image, (uint64_t)NameRva + Character, 1, "import name", &At)) {
        return false;
      }
      if (File.U8(At) == 0) break;
      Name.push_back((char)File.U8(At));
    }
    Image->Imports.push_back(Name);
  }
}

bool ReadRelocations(READER &File, PE_IMAGE *Image) {
  const PE_DIRECTORY &Directory = Image->Directories[PeRelocationDirectory];
  uint64_t Offset;
  if (Directory.Size == 0) return true;
  if (!RvaToOffset(File, *Image, Directory.Rva, Directory.Size, "base relocation table", &Offset)) {
    return false;
  }
  uint64_t End = Offset + Directory.Size;
  while (Offset + 8 <= End) {
    uint32_t BlockSize = File.U32(Offset + 4);
    if (BlockSize < 8 || BlockSize > End - Offset || BlockSize % 2 != 0) {
      return File.Fail("base relocation block with a bad size " + std::to_string(BlockSize));
    }
    for (uint64_t Entry = Offset + 8; Entry < Offset + BlockSize; Entry += 2) {
      if ((File.U16(Entry) >> 12) != 0) Image->BaseRelocations++;  // type 0 pads a block
    }
    Offset += BlockSize;
  }
  return true;
}

// A section name longer than eight characters is "/N": N is its offset in
// the COFF string table (behind the symbol table), where linkers of
// GNU lineage put names such as .debug_info. Unresolved, it stays "/N"
// with a word on why.
std::string LongSectionName(READER &File, uint64_t Pe, const std::string &Short) {
  uint64_t Offset = 0;
  for (size_t Index = 1; Index < Short.size(); Index++) {
    if (Short[Index] < '0' || Short[Index] > '9') return Short;
    Offset = Offset * 10 + (uint64_t)(Short[Index] - '0');
  }
  uint64_t Symbols = File.U32(Pe + 12);
  uint64_t Strings = Symbols + 18 * (uint64_t)File.U32(Pe + 16);
  if (Symbols == 0 || Strings > File.Size || 4 > File.Size - Strings) {
    return Short + " (a long name, and no string table to read it from)";
  }
  uint64_t Size = File.U32(Strings);
  if (Offset < 4 || Size > File.Size - Strings || Offset >= Size) {
    return Short + " (a long name past the string table's end)";
  }
  std::string Name;
  for (uint64_t At = Strings + Offset; At < Strings + Size && File.U8(At) != 0; At++) {
    Name.push_back((char)File.U8(At));
  }
  return Name;
}

}  // namespace

bool ParsePeImage(const uint8_t *Data, size_t Size, PE_IMAGE *Image, std::string *Error) {
  READER File{Data, Size, Error};
  *Image = PE_IMAGE{};
  Error->clear();
  if (Size < 2 || File.U16(0) != 0x5A4D) {
    *Error = "not a PE image: no MZ header";
    return false;
  }
  if (Size < 64) {
    *Error = "not a PE image: it ends inside the DOS header (" + std::to_string(Size) + " of its 64 bytes)";
    return false;
  }
  uint64_t Pe = File.U32(0x3C);
  if (!File.Has(Pe, 24, "the PE header") || File.U32(Pe) != 0x00004550) {
    *Error = "not a PE image: no PE signature";
    return false;
  }
  Image->Machine = (uint16_t)File.U16(Pe + 4);
  uint32_t SectionCount = File.U16(Pe + 6);
  uint32_t OptionalSize = File.U16(Pe + 20);
  Image->FileCharacteristics = (uint16_t)File.U16(Pe + 22);
  uint64_t Optional = Pe + 24;
  // PE32+ (magic 0x20B, the 64-bit machines) has a 64-bit image base and its
  // data directories at 112; PE32 (0x10B, IA32 and ARM) a 32-bit one, after
  // BaseOfData, and its directories at 96.
  uint32_t Magic = OptionalSize >= 2 && File.Has(Optional, 2, "the optional header") ? File.U16(Optional) : 0;
  Image->Pe32Plus = Magic == 0x20B;
  uint64_t Directories = Image->Pe32Plus ? 112 : 96;
  if ((Magic != 0x20B && Magic != 0x10B) || OptionalSize < Directories ||
      !File.Has(Optional, OptionalSize, "the optional header")) {
    *Error = "not a PE image: no PE32 or PE32+ optional header";
    return false;
  }
  Image->EntryRva = File.U32(Optional + 16);
  Image->ImageBase = Image->Pe32Plus ? File.U64(Optional + 24) : File.U32(Optional + 28);
  Image->SectionAlignment = File.U32(Optional + 32);
  Image->FileAlignment = File.U32(Optional + 36);
  Image->SizeOfImage = File.U32(Optional + 56);
  Image->SizeOfHeaders = File.U32(Optional + 60);
  Image->Subsystem = (uint16_t)File.U16(Optional + 68);
  Image->DllCharacteristics = (uint16_t)File.U16(Optional + 70);
  uint32_t DirectoryCount = File.U32(Optional + Directories - 4);
  if (DirectoryCount > 16 || Directories + 8ull * DirectoryCount > OptionalSize) {
    *Error = "not a PE image: " + std::to_string(DirectoryCount) + " data directories " +
             (DirectoryCount > 16 ? "are more than the 16 a PE image has" : "do not fit the optional header");
    return false;
  }
  Image->Directories.assign(16, PE_DIRECTORY{0, 0});
  for (uint32_t Index = 0; Index < DirectoryCount; Index++) {
    Image->Directories[Index] = {File.U32(Optional + Directories + 8 * Index),
                                 File.U32(Optional + Directories + 4 + 8 * Index)};
  }
  uint64_t Table = Optional + OptionalSize;
  if (!File.Has(Table, 40ull * SectionCount, "the section table")) return false;
  for (uint32_t Index = 0; Index < SectionCount; Index++) {
    uint64_t Header = Table + 40ull * Index;
    PE_SECTION Section;
    for (int Character = 0; Character < 8 && File.U8(Header + Character) != 0; Character++) {
      Section.Name.push_back((char)File.U8(Header + Character));
    }
    if (Section.Name.size() > 1 && Section.Name[0] == '/') {
      Section.Name = LongSectionName(File, Pe, Section.Name);
    }
    Section.VirtualSize = File.U32(Header + 8);
    Section.VirtualAddress = File.U32(Header + 12);
    Section.RawSize = File.U32(Header + 16);
    Section.RawOffset = File.U32(Header + 20);
    Section.Characteristics = File.U32(Header + 36);
    if (!File.Has(Section.RawOffset, Section.RawSize, ("section " + Section.Name).c_str())) {
      return false;
    }
    Image->Sections.push_back(Section);
  }
  return ReadImports(File, Image) && ReadRelocations(File, Image);
}

namespace {

// Finds the entry named Name in the resource directory table at Table.
bool FindNamedEntry(READER &File, uint64_t Base, uint64_t Limit, uint64_t Table,
                    const std::u16string &Name, uint32_t *Target) {
  if (Table > Limit || ResourceDirectoryTableSize > Limit - Table) {
    return File.Fail("resource tree: directory table at 0x" + Hex(Table) +
                     " lies outside the resource section");
  }
  uint64_t Entries = (uint64_t)File.U16(Base + Table + 12) + File.U16(Base + Table + 14);
  if (Entries * 8 > Limit - Table - ResourceDirectoryTableSize) {
    return File.Fail("resource tree: directory entries run past the resource section");
  }
  for (uint64_t Index = 0; Index < Entries; Index++) {
    uint64_t Entry = Base + Table + ResourceDirectoryTableSize + 8 * Index;
    uint32_t NameField = File.U32(Entry);
    if (!(NameField & ResourceNameIsString)) continue;  // an ID entry
    uint64_t String = NameField & ~ResourceNameIsString;
    if (String > Limit || 2 > Limit - String) {
      return File.Fail("resource tree: a name lies outside the resource section");
    }
    uint64_t Length = File.U16(Base + String);
    if (Length * 2 > Limit - String - 2) {
      return File.Fail("resource tree: a name runs past the resource section");
    }
    std::u16string Text;
    for (uint64_t Character = 0; Character < Length; Character++) {
      Text.push_back((char16_t)File.U16(Base + String + 2 + 2 * Character));
    }
    if (Text == Name) {
      *Target = File.U32(Entry + 4);
      return true;
    }
  }
  return File.Fail("resource tree: no entry named " + std::string(Name.begin(), Name.end()));
}

bool ReadStringPackage(READER &File, uint64_t Package, uint64_t Length, HELP_RESOURCE *Help) {
  if (Length < HiiStringHeaderFixedSize) return File.Fail("string package: shorter than its header");
  uint64_t HdrSize = File.U32(Package + 4);
  uint64_t StringInfoOffset = File.U32(Package + 8);
  if (HdrSize < HiiStringHeaderFixedSize || HdrSize > Length || StringInfoOffset < HdrSize ||
      StringInfoOffset >= Length) {
    return File.Fail("string package: header size or string offset out of range");
  }
  for (uint64_t At = Package + HiiStringHeaderFixedSize; At < Package + HdrSize && File.U8(At) != 0; At++) {
    Help->Language.push_back((char)File.U8(At));
  }
  uint64_t At = Package + StringInfoOffset;
  uint64_t End = Package + Length;
  while (At < End) {
    uint32_t Type = File.U8(At++);
    if (Type == HiiSibtEnd) return true;
    if (Type != HiiSibtStringUcs2) {
      return File.Fail("string package: unsupported string block type " + std::to_string(Type));
    }
    std::u16string Text;
    for (;; At += 2) {
      if (At + 2 > End) return File.Fail("string package: a string runs past the package");
      char16_t Character = (char16_t)File.U16(At);
      if (Character == 0) break;
      Text.push_back(Character);
    }
    At += 2;
    Help->Strings.push_back(Text);
  }
  return File.Fail("string package: no end block");
}

}  // namespace

bool ReadHelpResource(const uint8_t *Data, size_t Size, const PE_IMAGE &Image, HELP_RESOURCE *Help,
                      std::string *Error) {
  READER File{Data, Size, Error};
  *Help = HELP_RESOURCE{};
  Error->clear();
  const PE_DIRECTORY &Directory = Image.Directories[PeResourceDirectory];
  if (Directory.Rva == 0 || Directory.Size == 0) {
    return File.Fail("resource tree: the image has no resource directory");
  }
  uint64_t Base;
  if (!RvaToOffset(File, Image, Directory.Rva, Directory.Size, "resource directory", &Base)) {
    return false;
  }
  uint64_t Limit = Directory.Size;
  uint32_t Target = 0;
  uint64_t Table = 0;
  const std::u16string Path[] = {u"HII", u"EFI", u"BIN"};
  for (size_t Level = 0; Level < 3; Level++) {
    if (!FindNamedEntry(File, Base, Limit, Table, Path[Level], &Target)) return false;
    bool Subdirectory = (Target & ResourceTargetIsDirectory) != 0;
    if (Subdirectory != (Level < 2)) {
      return File.Fail(
          "resource tree: entry " + std::string(Path[Level].begin(), Path[Level].end()) +
          (Subdirectory ? " points at a directory, not data" : " points at data, not a directory"));
    }
    Table = Target & ~ResourceTargetIsDirectory;
  }
  if (Table > Limit || ResourceDataEntrySize > Limit - Table) {
    return File.Fail("resource tree: the data entry lies outside the resource section");
  }
  Help->DataRva = File.U32(Base + Table);
  Help->DataSize = File.U32(Base + Table + 4);
  uint64_t List;
  if (!RvaToOffset(File, Image, Help->DataRva, Help->DataSize, "HII package list", &List)) {
    return false;
  }
  if (Help->DataSize < HiiPackageListHeaderSize + HiiPackageHeaderSize) {
    return File.Fail("HII package list: shorter than its header");
  }
  Help->PackageListGuid.assign(Data + List, Data + List + 16);
  Help->PackageLength = File.U32(List + 16);
  if (Help->PackageLength != Help->DataSize) {
    return File.Fail("HII package list: PackageLength " + std::to_string(Help->PackageLength) +
                     " differs from the resource's size " + std::to_string(Help->DataSize));
  }
  // Packages follow the header until the end package.
  bool Strings = false;
  for (uint64_t Package = List + HiiPackageListHeaderSize; Package + HiiPackageHeaderSize <= List + Help->PackageLength;) {
    uint32_t Header = File.U32(Package);
    uint64_t Length = Header & 0xFFFFFF;
    uint32_t Type = Header >> 24;
    if (Type == HiiPackageEnd) {
      if (!Strings) return File.Fail("HII package list: no string package");
      return true;
    }
    if (Length < HiiPackageHeaderSize || Length > List + Help->PackageLength - Package) {
      return File.Fail("HII package list: a package of length " + std::to_string(Length) +
                       " runs past the list");
    }
    if (Type == HiiPackageStrings && !Strings) {
      if (!ReadStringPackage(File, Package, Length, Help)) return false;
      Strings = true;
    }
    Package += Length;
  }
  return File.Fail("HII package list: no end package");
}

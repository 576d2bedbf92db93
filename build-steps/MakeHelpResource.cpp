// SPDX-License-Identifier: MIT
// Writes an image's resource section as a COFF object for lld-link: the
// three-level resource directory ("HII" / "EFI" / "BIN"), its one data entry,
// and the HII package list with the English help text of one application
// (Tamberlune, or the boot flow's listing), padded to the section alignment.
// Every length is computed here from the content.
//
//   make_help_resource [--machine M] [--for tamberlune|bootoptions] OUTPUT.obj
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "HelpResource.h"
#include "HiiLayout.h"
#include "Machines.h"
#include "ToolCommand.h"

namespace {

constexpr UINT32 SectionAlignment = 0x40;           // the image's section and file alignment
constexpr UINT32 RsrcCharacteristics = 0x40000040;  // initialized data, readable
constexpr UINT32 ScnAlign4Bytes = 0x00300000;       // object-file only; the linker drops it
constexpr UINT8 SymClassStatic = 3;

struct BYTES {
  std::vector<UINT8> Data;
  void U8(UINT32 Value) { Data.push_back((UINT8)Value); }
  void U16(UINT32 Value) { U8(Value), U8(Value >> 8); }
  void U32(UINT32 Value) { U16(Value), U16(Value >> 16); }
  void Zeros(size_t Count) { Data.insert(Data.end(), Count, 0); }
  void Raw(const void *Bytes, size_t Count) {
    Data.insert(Data.end(), (const UINT8 *)Bytes, (const UINT8 *)Bytes + Count);
  }
  void Ucs2(const CHAR16 *Text, bool Terminated) {
    for (; *Text != 0; Text++) U16(*Text);
    if (Terminated) U16(0);
  }
  size_t Size() const { return Data.size(); }
};

size_t Length(const CHAR16 *Text) {
  size_t Count = 0;
  while (Text[Count] != 0) Count++;
  return Count;
}

// Whose help: its package list's GUID and its text.
struct HELP {
  const char *Name;  // as --for names it
  const EFI_GUID *Guid;
  const CHAR16 *Text;
};
constexpr HELP Helps[] = {
    {"tamberlune", &PackageListGuid, HelpText},
    {"bootoptions", &BootOptionsPackageListGuid, BootOptionsHelpText},
};

// The HII package list: header, one string package, the end package.
std::vector<UINT8> PackageList(const HELP &Help) {
  const UINT32 LanguageNameBlock = 1 + 2 * (UINT32)(Length(HelpLanguageName) + 1);
  const UINT32 HelpTextBlock = 1 + 2 * (UINT32)(Length(Help.Text) + 1);
  const UINT32 HdrSize = HiiStringHeaderFixedSize + (UINT32)sizeof(HelpLanguage);
  const UINT32 StringPackageLength = HdrSize + LanguageNameBlock + HelpTextBlock + 1;
  const UINT32 PackageLength = HiiPackageListHeaderSize + StringPackageLength + HiiPackageHeaderSize;

  BYTES List;
  List.Raw(Help.Guid, sizeof(EFI_GUID));
  List.U32(PackageLength);
  List.U32(StringPackageLength | ((UINT32)HiiPackageStrings << 24));
  List.U32(HdrSize);
  List.U32(HdrSize);  // StringInfoOffset: the blocks follow the header
  List.Zeros(32);     // LanguageWindow
  List.U16(1);        // LanguageName: string 1
  List.Raw(HelpLanguage, sizeof(HelpLanguage));
  List.U8(HiiSibtStringUcs2);
  List.Ucs2(HelpLanguageName, true);
  List.U8(HiiSibtStringUcs2);
  List.Ucs2(Help.Text, true);
  List.U8(HiiSibtEnd);
  List.U32(HiiPackageHeaderSize | ((UINT32)HiiPackageEnd << 24));
  return List.Data;
}

struct SECTION {
  std::vector<UINT8> Data;
  UINT32 RvaFixup;  // offset of the data entry's RVA, which needs a relocation
};

// Directory tables, then the directory strings, then the data entry, then the
// package list, then zeros up to the section alignment.
SECTION ResourceSection(const HELP &Help) {
  static const CHAR16 *const Names[] = {u"HII", u"EFI", u"BIN"};
  constexpr UINT32 Levels = 3;
  constexpr UINT32 TableSize = 16 + 8;  // a table and its one named entry
  constexpr UINT32 NameSize = 2 + 3 * 2;
  constexpr UINT32 DataEntryOffset = Levels * TableSize + Levels * NameSize;
  constexpr UINT32 PackageListOffset = DataEntryOffset + 16;

  std::vector<UINT8> List = PackageList(Help);
  BYTES Section;
  for (UINT32 Level = 0; Level < Levels; Level++) {
    Section.Zeros(12);  // characteristics, time stamp, versions
    Section.U16(1);     // named entries
    Section.U16(0);     // ID entries
    Section.U32(ResourceNameIsString | (Levels * TableSize + Level * NameSize));
    Section.U32(Level + 1 < Levels ? ResourceTargetIsDirectory | ((Level + 1) * TableSize)
                                   : DataEntryOffset);
  }
  for (const CHAR16 *Name : Names) {
    Section.U16((UINT32)Length(Name));
    Section.Ucs2(Name, false);
  }
  Section.U32(PackageListOffset);  // the relocation adds the section's RVA
  Section.U32((UINT32)List.size());
  Section.U32(0);  // code page
  Section.U32(0);  // reserved
  Section.Raw(List.data(), List.size());
  Section.Zeros((SectionAlignment - Section.Size() % SectionAlignment) % SectionAlignment);
  return {Section.Data, DataEntryOffset};
}

// A COFF object with the one section, its relocation and its section symbol.
std::vector<UINT8> CoffObject(const SECTION &Section, const MACHINE_FACTS &Machine) {
  constexpr UINT32 FileHeaderSize = 20;
  constexpr UINT32 SectionHeaderSize = 40;
  const UINT32 RawData = FileHeaderSize + SectionHeaderSize;
  const UINT32 Relocations = RawData + (UINT32)Section.Data.size();
  const UINT32 Symbols = Relocations + 10;

  BYTES Object;
  Object.U16(Machine.LinkerMachine);
  Object.U16(1);  // sections
  Object.U32(0);  // no time stamp: reproducible
  Object.U32(Symbols);
  Object.U32(2);  // the section symbol and its auxiliary record
  Object.U16(0);  // no optional header
  Object.U16(0);

  Object.Raw(".rsrc\0\0\0", 8);
  Object.U32(0);
  Object.U32(0);
  Object.U32((UINT32)Section.Data.size());
  Object.U32(RawData);
  Object.U32(Relocations);
  Object.U32(0);
  Object.U16(1);  // relocations
  Object.U16(0);
  Object.U32(RsrcCharacteristics | ScnAlign4Bytes);

  Object.Raw(Section.Data.data(), Section.Data.size());

  Object.U32(Section.RvaFixup);
  Object.U32(0);  // symbol 0: the section
  Object.U16(Machine.Addr32Nb);

  Object.Raw(".rsrc\0\0\0", 8);
  Object.U32(0);  // value
  Object.U16(1);  // section number
  Object.U16(0);  // type
  Object.U8(SymClassStatic);
  Object.U8(1);  // one auxiliary record: the section definition
  Object.U32((UINT32)Section.Data.size());
  Object.U16(1);  // relocations
  Object.U16(0);
  Object.Zeros(10);

  Object.U32(4);  // empty string table
  return Object.Data;
}

}  // namespace

int main(int ArgumentCount, char **Arguments) {
  const char Usage[] =
      "usage: make_help_resource [--machine MACHINE|raw] [--for tamberlune|bootoptions] OUTPUT\n"
      "Writes an image's resource section (its help text's HII package list under\n"
      "HII/EFI/BIN) as a COFF object for lld-link's /machine MACHINE (x64 unless\n"
      "--machine says otherwise); raw writes the section's bytes alone, its data entry holding the\n"
      "package list's offset in the section, for a converter that adds the section's\n"
      "RVA. --for names the application: Tamberlune (the default) or the boot flow's\n"
      "listing, BootOptions.efi. Exit status 0 when written, 1 when the output cannot\n"
      "be written, 2 on bad arguments.\n"
      "example: make_help_resource --machine arm64 build/image-aa64/TamberluneHelp.obj\n";
  // The machines whose linker takes a COFF object, by lld-link's names.
  std::string MachineProblem = "--machine takes";
  for (const MACHINE_FACTS &Known : MachineFacts) {
    if (Known.Addr32Nb != 0) MachineProblem += std::string(" ") + Known.Linker + ",";
  }
  MachineProblem.back() = ' ';
  MachineProblem += "or raw";
  TOOL_ARGUMENTS Read = ReadToolArguments(ArgumentCount, Arguments, {{"--machine", true, false}, {"--for", true, false}}, 1);
  if (AnswerHelpOrVersion(Read, "make_help_resource", Usage, TAMBERLUNE_VERSION)) return 0;
  const MACHINE_FACTS *Machine = &MachineFacts[0];
  bool Raw = Read.Has("--machine") && Read.Value("--machine") == "raw";
  if (Read.Problem.empty() && Read.Has("--machine") && !Raw) {
    Machine = nullptr;
    for (const MACHINE_FACTS &Known : MachineFacts) {
      if (Known.Addr32Nb != 0 && Read.Value("--machine") == Known.Linker) Machine = &Known;
    }
    if (Machine == nullptr) Read.Problem = MachineProblem;
  }
  const HELP *Help = &Helps[0];
  if (Read.Problem.empty() && Read.Has("--for")) {
    Help = nullptr;
    for (const HELP &Known : Helps) {
      if (Read.Value("--for") == Known.Name) Help = &Known;
    }
    if (Help == nullptr) Read.Problem = "--for takes tamberlune or bootoptions";
  }
  if (Read.Problem.empty() && Read.Operands.empty()) Read.Problem = "name the OUTPUT file";
  if (!Read.Problem.empty()) return RefuseArguments("make_help_resource", Read.Problem);
  const char *Output = Read.Operands[0].c_str();
  std::vector<UINT8> Object =
      Raw ? ResourceSection(*Help).Data : CoffObject(ResourceSection(*Help), *Machine);
  std::string Temporary = std::string(Output) + ".tmp";
  FILE *File = std::fopen(Temporary.c_str(), "wb");
  bool Written = File != nullptr && std::fwrite(Object.data(), 1, Object.size(), File) == Object.size();
  if (File != nullptr && std::fclose(File) != 0) Written = false;
  if (!Written || std::rename(Temporary.c_str(), Output) != 0) {
    // Nothing half-written is left beside the output.
    int Error = errno;
    std::remove(Temporary.c_str());
    std::fprintf(stderr, "make_help_resource: cannot write %s: %s\n", Output, std::strerror(Error));
    return 1;
  }
  return 0;
}

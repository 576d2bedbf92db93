// SPDX-License-Identifier: MIT
// tamberlune-inspect IMAGE: prints what a UEFI loader and a shell find in an
// image: the PE summary and the help text of its HII resource.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "Machines.h"
#include "PeImage.h"
#include "ToolCommand.h"
#include "Utf8.h"

namespace {

// The machine table's name for a PE machine type: UEFI's, or the one a
// linker writes in its place.
const char *MachineName(uint16_t Machine) {
  for (const MACHINE_FACTS &Known : MachineFacts) {
    if (Machine == Known.PeMachine) return Known.PeMachineTitle;
    if (Machine == Known.LinkerMachine) return Known.LinkerMachineTitle;
  }
  return "unknown";
}

const char *SubsystemName(uint16_t Subsystem) {
  switch (Subsystem) {
    case 10:
      return "EFI application";
    case 11:
      return "EFI boot service driver";
    case 12:
      return "EFI runtime driver";
    default:
      return "not EFI";
  }
}

std::string Flags(uint32_t Characteristics) {
  std::string Text;
  if (Characteristics & 0x20) Text += " code";
  if (Characteristics & 0x40) Text += " initialized-data";
  if (Characteristics & 0x80) Text += " uninitialized-data";
  if (Characteristics & 0x02000000) Text += " discardable";
  if (Characteristics & 0x20000000) Text += " execute";
  if (Characteristics & 0x40000000) Text += " read";
  if (Characteristics & 0x80000000) Text += " write";
  return Text;
}

std::string GuidText(const std::vector<uint8_t> &Bytes) {
  char Text[40];
  snprintf(Text, sizeof(Text),
           "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", Bytes[3],
           Bytes[2], Bytes[1], Bytes[0], Bytes[5], Bytes[4], Bytes[7], Bytes[6], Bytes[8], Bytes[9],
           Bytes[10], Bytes[11], Bytes[12], Bytes[13], Bytes[14], Bytes[15]);
  return Text;
}

// Every offset and size in a PE image is 32 bits wide, so no image, its
// signature included, reaches 4 GiB.
constexpr uint64_t LargestImage = 0xFFFFFFFFull;

// The file mapped, not read: only the pages that the headers lead to are ever
// loaded, so a large file costs no more than a small one.
struct MAPPED_FILE {
  const uint8_t *Data = nullptr;
  size_t Size = 0;
};

bool MapFile(const char *Path, MAPPED_FILE *File, std::string *Error) {
  int Descriptor = open(Path, O_RDONLY | O_NOCTTY);
  if (Descriptor < 0) {
    *Error = std::string("cannot read it: ") + std::strerror(errno);
    return false;
  }
  struct stat Status;
  bool Ok = false;
  if (fstat(Descriptor, &Status) != 0) {
    *Error = std::string("cannot read it: ") + std::strerror(errno);
  } else if (S_ISDIR(Status.st_mode)) {
    *Error = "a folder, not an image";
  } else if (!S_ISREG(Status.st_mode)) {
    *Error = "not a regular file (a device or a pipe), so no image";
  } else if ((uint64_t)Status.st_size > LargestImage) {
    *Error = "not a PE image: " + std::to_string((uint64_t)Status.st_size) +
             " bytes, more than any image can hold (4 GiB)";
  } else if (Status.st_size == 0) {
    Ok = true;  // the parser says what an empty file lacks
  } else {
    void *Address = mmap(nullptr, (size_t)Status.st_size, PROT_READ, MAP_PRIVATE, Descriptor, 0);
    if (Address == MAP_FAILED) {
      *Error = std::string("cannot read it: ") + std::strerror(errno);
    } else {
      File->Data = (const uint8_t *)Address;
      File->Size = (size_t)Status.st_size;
      Ok = true;
    }
  }
  close(Descriptor);
  return Ok;
}

const char Usage[] =
    "Usage: tamberlune-inspect [--] IMAGE\n"
    "Prints what a UEFI loader and a shell find in a PE32+ or PE32 image: machine,\n"
    "subsystem, entry, sections, relocations, imports, a signature, and the help text\n"
    "of its HII resource. Exit status 0 for a well-formed image (with or without\n"
    "resources), 1 for a file that is none or whose resources are malformed, 2 for bad\n"
    "arguments.\n"
    "  --help      this text\n"
    "  --version   the version\n"
    "Example:\n  tamberlune-inspect build/Tamberlune.efi\n";

}  // namespace

int main(int ArgumentCount, char **Arguments) {
  EndQuietlyWhenInterrupted("tamberlune-inspect");
  TOOL_ARGUMENTS Read = ReadToolArguments(ArgumentCount, Arguments, {}, 1);
  if (AnswerHelpOrVersion(Read, "tamberlune-inspect", Usage, TAMBERLUNE_VERSION)) return 0;
  if (Read.Problem.empty() && Read.Operands.empty()) Read.Problem = "name the image to inspect";
  if (!Read.Problem.empty()) return RefuseArguments("tamberlune-inspect", Read.Problem);
  const char *Path = Read.Operands[0].c_str();
  MAPPED_FILE File;
  std::string Error;
  if (!MapFile(Path, &File, &Error)) {
    std::fprintf(stderr, "tamberlune-inspect: %s: %s\n", Path, Error.c_str());
    return 1;
  }

  PE_IMAGE Image;
  if (!ParsePeImage(File.Data, File.Size, &Image, &Error)) {
    std::fprintf(stderr, "tamberlune-inspect: %s: %s\n", Path, Error.c_str());
    return 1;
  }
  std::printf("%s: %s image, %zu bytes\n", Path, Image.Pe32Plus ? "PE32+" : "PE32", File.Size);
  std::printf("  machine      %s (0x%04X)\n", MachineName(Image.Machine), Image.Machine);
  std::printf("  subsystem    %s (%u)\n", SubsystemName(Image.Subsystem), Image.Subsystem);
  std::printf("  entry        RVA 0x%X\n", Image.EntryRva);
  std::printf("  image        base 0x%llX, size 0x%X, headers 0x%X\n",
              (unsigned long long)Image.ImageBase, Image.SizeOfImage, Image.SizeOfHeaders);
  std::printf("  alignment    section 0x%X, file 0x%X\n", Image.SectionAlignment,
              Image.FileAlignment);
  std::printf("  sections     name      RVA     virtual  file-off  raw   characteristics\n");
  for (const PE_SECTION &Section : Image.Sections) {
    std::printf("               %-8s  0x%05X 0x%05X  0x%05X  0x%04X 0x%08X%s\n",
                Section.Name.c_str(), Section.VirtualAddress, Section.VirtualSize,
                Section.RawOffset, Section.RawSize, Section.Characteristics,
                Flags(Section.Characteristics).c_str());
  }
  std::printf("  relocations  %u base relocations%s\n", Image.BaseRelocations,
              (Image.FileCharacteristics & 0x0001) ? ", stripped" : "");
  const PE_DIRECTORY &Certificates = Image.Directories[PeCertificateDirectory];
  if (Certificates.Size != 0) {
    std::printf("  certificates %u bytes at file offset 0x%X (a signature)\n", Certificates.Size,
                Certificates.Rva);
  }
  std::printf("  imports      %s", Image.Imports.empty() ? "none\n" : "");
  for (size_t Index = 0; Index < Image.Imports.size(); Index++) {
    std::printf("%s%s", Image.Imports[Index].c_str(),
                Index + 1 < Image.Imports.size() ? ", " : "\n");
  }

  // Most EFI binaries carry no resources at all: that is information, not a
  // fault. A resource directory that is there must be well-formed.
  const PE_DIRECTORY &Resources = Image.Directories[PeResourceDirectory];
  if (Resources.Rva == 0 && Resources.Size == 0) {
    std::printf("  resource     none: the image carries no help text\n");
    return 0;
  }
  HELP_RESOURCE Help;
  if (!ReadHelpResource(File.Data, File.Size, Image, &Help, &Error)) {
    std::fprintf(stderr, "tamberlune-inspect: %s: %s\n", Path, Error.c_str());
    return 1;
  }
  if (Help.Strings.size() < 2) {
    std::fprintf(stderr, "tamberlune-inspect: %s: the string package has no string 2\n", Path);
    return 1;
  }
  std::printf("  resource     HII/EFI/BIN: package list %s, %u bytes at RVA 0x%X\n",
              GuidText(Help.PackageListGuid).c_str(), Help.PackageLength, Help.DataRva);
  std::printf("  language     %s (%s)\n", Help.Language.c_str(), Utf8(Help.Strings[0]).c_str());
  std::printf("help text:\n");
  std::string Text = Utf8(Help.Strings[1]);
  for (size_t At; (At = Text.find('\r')) != std::string::npos;) Text.erase(At, 1);
  std::fputs(Text.c_str(), stdout);
  return 0;
}

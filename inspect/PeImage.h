// SPDX-License-Identifier: MIT
// Reads a PE32+ or PE32 image the way a UEFI loader and a shell would: headers,
// sections, base relocations, imports, and the help text found through the
// resource directory "HII" / "EFI" / "BIN" and its HII package list.
// Every read is checked against the file's size; bad input gives an error
// message, never a read outside the file.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct PE_SECTION {
  std::string Name;
  uint32_t VirtualAddress;
  uint32_t VirtualSize;
  uint32_t RawOffset;
  uint32_t RawSize;
  uint32_t Characteristics;
};

struct PE_DIRECTORY {
  uint32_t Rva;
  uint32_t Size;
};

struct PE_IMAGE {
  bool Pe32Plus;  // PE32+ (the 64-bit machines), else PE32 (IA32, ARM)
  uint16_t Machine;
  uint16_t FileCharacteristics;
  uint16_t Subsystem;
  uint16_t DllCharacteristics;
  uint32_t EntryRva;
  uint64_t ImageBase;
  uint32_t SectionAlignment;
  uint32_t FileAlignment;
  uint32_t SizeOfImage;
  uint32_t SizeOfHeaders;
  std::vector<PE_DIRECTORY> Directories;
  std::vector<PE_SECTION> Sections;
  uint32_t BaseRelocations;          // fix-ups, padding entries not counted
  std::vector<std::string> Imports;  // names of the imported modules
};

struct HELP_RESOURCE {
  uint32_t DataRva;  // of the package list, from the data entry
  uint32_t DataSize;
  std::vector<uint8_t> PackageListGuid;
  uint32_t PackageLength;
  std::string Language;                 // e.g. en-US
  std::vector<std::u16string> Strings;  // string 1, string 2, ...
};

// Data directory indexes.
constexpr unsigned PeImportDirectory = 1;
constexpr unsigned PeResourceDirectory = 2;
constexpr unsigned PeCertificateDirectory = 4;  // holds a file offset, not an RVA
constexpr unsigned PeRelocationDirectory = 5;

// Fills Image from the Size bytes at Data; false with a message in Error if
// the file is not a well-formed PE32+ or PE32 image.
bool ParsePeImage(const uint8_t *Data, size_t Size, PE_IMAGE *Image, std::string *Error);

// Walks data directory 2 to the HII package list and its string package.
bool ReadHelpResource(const uint8_t *Data, size_t Size, const PE_IMAGE &Image, HELP_RESOURCE *Help,
                      std::string *Error);

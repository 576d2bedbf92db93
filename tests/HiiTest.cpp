// SPDX-License-Identifier: MIT
// The help text as a shell reads it, through the firmware's own HII
// protocols: this image loads \Tamberlune.efi with LoadImage, without
// starting it, from the first file system that holds it (as a shell finds a
// file: U-Boot puts the file system of a disk without a partition table on a
// partition handle of its own); finds the package list by walking the loaded
// image's resource directory (HII, EFI, BIN) as a loader does; hands it to
// the HII database (NewPackageList); and reads strings 1 and 2 back through
// the HII string protocol in "en-US". Each must be, character for character,
// what the build put there. Prints "HII: passed" or the step that failed.
// Linked from the image's own objects, as the self-test is.
#include "HelpResource.h"
#include "Print.h"
#include "ServiceGlobals.h"
#include "UefiGuids.h"

namespace {

// The protocols this test calls, laid out as UEFI defines them,
// up to the last member it calls.
typedef struct {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
} EFI_LOADED_IMAGE_PROTOCOL;

typedef VOID *EFI_HII_HANDLE;
typedef struct EFI_HII_DATABASE_PROTOCOL EFI_HII_DATABASE_PROTOCOL;
typedef struct EFI_HII_STRING_PROTOCOL EFI_HII_STRING_PROTOCOL;

struct EFI_HII_DATABASE_PROTOCOL {
  EFI_STATUS(EFIAPI *NewPackageList)
  (CONST EFI_HII_DATABASE_PROTOCOL *This, CONST VOID *PackageList, EFI_HANDLE DriverHandle,
   EFI_HII_HANDLE *Handle);
  EFI_STATUS(EFIAPI *RemovePackageList)(CONST EFI_HII_DATABASE_PROTOCOL *This, EFI_HII_HANDLE Handle);
};

struct EFI_HII_STRING_PROTOCOL {
  VOID *NewString;
  EFI_STATUS(EFIAPI *GetString)
  (CONST EFI_HII_STRING_PROTOCOL *This, CONST CHAR8 *Language, EFI_HII_HANDLE PackageList, UINT16 StringId,
   CHAR16 *String, UINTN *StringSize, VOID **StringFontInfo);
};

// A file path node for \Tamberlune.efi, and the end of a device path.
struct FILE_TAIL {
  EFI_DEVICE_PATH_PROTOCOL Node;
  CHAR16 Name[16];
  EFI_DEVICE_PATH_PROTOCOL End;
};
constexpr FILE_TAIL TamberluneFile = {{0x04, 0x04, {sizeof(EFI_DEVICE_PATH_PROTOCOL) + 32, 0}},
                                      u"\\Tamberlune.efi",
                                      {0x7F, 0xFF, {4, 0}}};
static_assert(sizeof(FILE_TAIL) == 4 + 32 + 4);

CONST UINT8 *Bytes(CONST VOID *Base, UINTN Offset) {
  return (CONST UINT8 *)Base + Offset;
}

// A little-endian field of Size bytes.
UINT32 Read(CONST VOID *Base, UINTN Offset, UINTN Size = 4) {
  UINT32 Value = 0;
  while (Size-- > 0) Value = Value << 8 | Bytes(Base, Offset)[Size];
  return Value;
}

// The device's path with Tail in place of its end, in pool; nullptr when no
// pool is to be had.
EFI_DEVICE_PATH_PROTOCOL *FilePath(CONST EFI_DEVICE_PATH_PROTOCOL *Device, CONST FILE_TAIL *Tail) {
  UINTN Size = 0;
  while (!(Bytes(Device, Size)[0] == 0x7F && Bytes(Device, Size)[1] == 0xFF)) {
    Size += Read(Device, Size + 2, 2);
  }
  UINT8 *Path = nullptr;
  if (gBS->AllocatePool(EfiBootServicesData, Size + sizeof(FILE_TAIL), (VOID **)&Path) != EFI_SUCCESS) {
    return nullptr;
  }
  for (UINTN Index = 0; Index < Size + sizeof(FILE_TAIL); Index++) {
    Path[Index] = Index < Size ? Bytes(Device, Index)[0] : Bytes(Tail, Index - Size)[0];
  }
  return (EFI_DEVICE_PATH_PROTOCOL *)Path;
}

// A directory's named entry whose name is Name; its OffsetToData, or 0.
UINT32 NamedEntry(CONST VOID *Resources, UINT32 Directory, CONST CHAR16 *Name) {
  UINT16 Named = Read(Resources, Directory + 12, 2);
  for (UINT16 Index = 0; Index < Named; Index++) {
    UINT32 Entry = Directory + 16 + 8 * Index;
    UINT32 NameOffset = Read(Resources, Entry) & 0x7FFFFFFF;
    UINT16 Length = Read(Resources, NameOffset, 2);
    BOOLEAN Same = Name[Length] == 0;
    for (UINT16 Character = 0; Same && Character < Length; Character++) {
      Same = Read(Resources, NameOffset + 2 + 2 * Character, 2) == Name[Character];
    }
    if (Same) return Read(Resources, Entry + 4);
  }
  return 0;
}

// The HII package list of a loaded image: its resource HII/EFI/BIN.
CONST VOID *PackageList(CONST VOID *Image) {
  UINT32 Optional = Read(Image, 0x3C) + 24;
  // The resource directory is the third data directory, whose table starts
  // 96 bytes into a PE32 optional header and 112 into a PE32+ one.
  UINT32 Directories = Optional + (Read(Image, Optional, 2) == 0x20B ? 112 : 96);
  CONST VOID *Resources = Bytes(Image, Read(Image, Directories + 2 * 8));
  static constexpr CONST CHAR16 *Names[] = {u"HII", u"EFI", u"BIN"};
  UINT32 Next = 0;
  for (CONST CHAR16 *Name : Names) {
    if ((Next = NamedEntry(Resources, Next & 0x7FFFFFFF, Name)) == 0) return nullptr;
  }
  // The leaf: a data entry whose first field is the package list's RVA.
  return Bytes(Image, Read(Resources, Next));
}

// Reads string Id in en-US and compares it, terminator included, with Wanted.
BOOLEAN StringIs(EFI_HII_STRING_PROTOCOL *Strings, EFI_HII_HANDLE List, UINT16 Id, CONST CHAR16 *Wanted) {
  CHAR16 Text[256];
  UINTN Size = sizeof(Text);
  EFI_STATUS Status = Strings->GetString(Strings, (CONST CHAR8 *)"en-US", List, Id, Text, &Size, nullptr);
  UINTN At = 0;
  while (Status == EFI_SUCCESS && Wanted[At] != 0 && Text[At] == Wanted[At]) At++;
  if (Status != EFI_SUCCESS || Text[At] != Wanted[At]) {
    ConsolePrint(u"HII: string %d: %r, \"%s\"\n", (UINTN)Id, Status, Status == EFI_SUCCESS ? Text : u"");
    return FALSE;
  }
  return TRUE;
}

BOOLEAN Fail(CONST CHAR16 *Step, EFI_STATUS Status) {
  ConsolePrint(u"HII: failed: %s: %r\n", Step, Status);
  return FALSE;
}

// Loads File from the first file system that holds it.
EFI_STATUS LoadFromAnyFileSystem(EFI_HANDLE ImageHandle, CONST FILE_TAIL *File, EFI_HANDLE *Loaded) {
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  EFI_STATUS Status = gBS->LocateHandleBuffer(ByProtocol, &gEfiSimpleFileSystemProtocolGuid, nullptr, &Count, &Handles);
  if (Status != EFI_SUCCESS) return Status;
  Status = EFI_NOT_FOUND;
  for (UINTN Index = 0; Index < Count && Status != EFI_SUCCESS; Index++) {
    EFI_DEVICE_PATH_PROTOCOL *Device = nullptr;
    EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
    if (gBS->HandleProtocol(Handles[Index], &gEfiDevicePathProtocolGuid, (VOID **)&Device) == EFI_SUCCESS &&
        (Path = FilePath(Device, File)) != nullptr) {
      Status = gBS->LoadImage(FALSE, ImageHandle, Path, nullptr, 0, Loaded);
      gBS->FreePool(Path);
    }
  }
  gBS->FreePool(Handles);
  return Status;
}

BOOLEAN ReadHelpBack(EFI_HANDLE ImageHandle) {
  EFI_HANDLE Tamberlune = nullptr;
  EFI_STATUS Status = LoadFromAnyFileSystem(ImageHandle, &TamberluneFile, &Tamberlune);
  if (Status != EFI_SUCCESS) return Fail(u"LoadImage of \\Tamberlune.efi", Status);
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  BOOLEAN Passed = FALSE;
  EFI_HII_DATABASE_PROTOCOL *Database = nullptr;
  EFI_HII_STRING_PROTOCOL *Strings = nullptr;
  EFI_HII_HANDLE List = nullptr;
  CONST VOID *Packages = nullptr;
  if ((Status = gBS->HandleProtocol(Tamberlune, &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded)) != EFI_SUCCESS) {
    Fail(u"the loaded image's protocol", Status);
  } else if ((Packages = PackageList(Loaded->ImageBase)) == nullptr) {
    Fail(u"the resource HII/EFI/BIN in the loaded image", EFI_NOT_FOUND);
  } else if ((Status = gBS->LocateProtocol(&gEfiHiiDatabaseProtocolGuid, nullptr, (VOID **)&Database)) != EFI_SUCCESS) {
    Fail(u"the HII database protocol", Status);
  } else if ((Status = gBS->LocateProtocol(&gEfiHiiStringProtocolGuid, nullptr, (VOID **)&Strings)) != EFI_SUCCESS) {
    Fail(u"the HII string protocol", Status);
  } else if ((Status = Database->NewPackageList(Database, Packages, nullptr, &List)) != EFI_SUCCESS) {
    Fail(u"NewPackageList", Status);
  } else {
    Passed = StringIs(Strings, List, 1, HelpLanguageName) && StringIs(Strings, List, 2, HelpText);
    Database->RemovePackageList(Database, List);
  }
  gBS->UnloadImage(Tamberlune);
  return Passed;
}

}  // namespace

extern "C" EFI_STATUS EFIAPI HiiTestEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  SetServiceGlobals(ImageHandle, SystemTable);
  if (!ReadHelpBack(ImageHandle)) return EFI_DEVICE_ERROR;
  ConsolePrint(u"HII: passed: string 1 \"%s\", string 2 the help text, %d characters\n", HelpLanguageName,
               (UINTN)(sizeof(HelpText) / sizeof(CHAR16) - 1));
  return EFI_SUCCESS;
}

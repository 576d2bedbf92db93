// SPDX-License-Identifier: MIT
// BootOptions.efi, the UEFI half of U-Boot's boot flow, linked from the
// image's own objects with another entry point. Started plainly, it lists
// what the firmware can boot, for a boot manager menu on firmware that has
// none (the boot flow starts it when Escape was pressed at Tamberlune's
// menu), and changes nothing. Started with the load options "choice ADDRESS"
// (U-Boot passes bootargs), it hands the boot script the recorded choice,
// which the script itself could read only with commands that few board
// builds of U-Boot have.
#include "BootOptions.h"

#include "BootChoices.h"
#include "Print.h"
#include "PrintFlags.h"
#include "ServiceGlobals.h"
#include "UefiGuids.h"

// No boot variable comes near this; a larger size is a firmware fault.
static constexpr UINTN MaximumVariableSize = 64 * 1024;
// Longest variable name followed while walking the store, in bytes.
static constexpr UINTN MaximumNameSize = 4096;
// A description shown in full, in characters, its escapes and terminator
// included; a longer one is cut.
static constexpr UINTN MaximumDescription = 160;
// What a block device is, by its media's LogicalPartition.
static CONST CHAR16 *CONST BlockDeviceKinds[] = {u"disk", u"partition"};

extern "C" BOOLEAN ReadLoadOption(CONST UINT8 *Data, UINTN Size, LOAD_OPTION_VIEW *View) {
  // Attributes (4 bytes), FilePathListLength (2), then the description.
  if (Data == nullptr || Size < 8) {
    return FALSE;
  }
  View->Attributes = (UINT32)Data[0] | (UINT32)Data[1] << 8 | (UINT32)Data[2] << 16 |
                     (UINT32)Data[3] << 24;
  View->FilePathListLength = (UINT16)(Data[4] | Data[5] << 8);
  View->Description = (CONST CHAR16 *)(Data + 6);
  UINTN At = 6;
  while (At + 1 < Size && (Data[At] | Data[At + 1]) != 0) {
    At += 2;
  }
  if (At + 1 >= Size) {
    return FALSE;  // no terminator
  }
  return Size - (At + 2) >= View->FilePathListLength;
}

// The variable's data in pool memory, or null when it is absent or unreadable.
static VOID *ReadVariable(CONST CHAR16 *Name, UINTN *Size) {
  *Size = 0;
  EFI_STATUS Status = gRT->GetVariable((CHAR16 *)Name, &gEfiGlobalVariableGuid, nullptr, Size, nullptr);
  if (Status != EFI_BUFFER_TOO_SMALL || *Size == 0 || *Size > MaximumVariableSize) {
    return nullptr;
  }
  VOID *Data = nullptr;
  if (gBS->AllocatePool(EfiBootServicesData, *Size, &Data) != EFI_SUCCESS) {
    return nullptr;
  }
  if (gRT->GetVariable((CHAR16 *)Name, &gEfiGlobalVariableGuid, nullptr, Size, Data) != EFI_SUCCESS) {
    gBS->FreePool(Data);
    return nullptr;
  }
  return Data;
}

static INTN HexDigit(CHAR16 Character) {
  if (Character >= u'0' && Character <= u'9') {
    return Character - u'0';
  }
  if (Character >= u'A' && Character <= u'F') {
    return Character - u'A' + 10;
  }
  return -1;
}

// The option number of a name "Boot" and four upper-case hex digits, or -1.
static INTN BootOptionNumber(CONST CHAR16 *Name) {
  CONST CHAR16 Prefix[] = u"Boot";
  for (UINTN Index = 0; Index < 4; Index++) {
    if (Name[Index] != Prefix[Index]) {
      return -1;
    }
  }
  INTN Number = 0;
  for (UINTN Index = 4; Index < 8; Index++) {
    INTN Digit = HexDigit(Name[Index]);
    if (Digit < 0) {
      return -1;
    }
    Number = Number * 16 + Digit;
  }
  return Name[8] == 0 ? Number : -1;
}

// A list of option numbers (BootOrder, BootNext): "0001 0000", or "not set".
static VOID ListNumbers(CONST CHAR16 *Name) {
  UINTN Size;
  UINT8 *Data = (UINT8 *)ReadVariable(Name, &Size);
  ConsolePrint(u"%s:", Name);
  if (Data == nullptr) {
    ConsolePrint(u" not set");
  }
  for (UINTN At = 0; Data != nullptr && At + 1 < Size; At += 2) {
    ConsolePrint(u" %04X", (UINTN)(Data[At] | Data[At + 1] << 8));
  }
  ConsolePrint(u"\n");
  if (Data != nullptr) {
    gBS->FreePool(Data);
  }
}

// Formats into Buffer, Capacity characters with the terminator.
static UINTN EFIAPI FormatInto(CHAR16 *Buffer, UINTN Capacity, CONST CHAR16 *Format, ...) {
  VA_LIST Arguments;
  VA_START(Arguments, Format);
  UINTN Count = FormatCore(Buffer, Capacity, PF_FMT_UCS2 | PF_OUT_UCS2, Format, Arguments);
  VA_END(Arguments);
  return Count;
}

extern "C" UINTN VisibleText(CONST CHAR16 *Text, CHAR16 *Buffer, UINTN Capacity) {
  UINTN Length = 0;
  for (; *Text != 0; Text++) {
    CHAR16 Character = *Text;
    BOOLEAN Control = Character < 0x20 || (Character >= 0x7F && Character < 0xA0);
    UINTN Needed = Control ? 4 : 1;
    if (Length + Needed >= Capacity) {
      break;  // cut at a whole character or escape
    }
    if (Control) {
      Length += FormatInto(Buffer + Length, Needed + 1, u"\\x%02X", (UINTN)Character);
    } else {
      Buffer[Length++] = Character;
    }
  }
  Buffer[Length] = 0;
  return Length;
}

static VOID ShowBootOption(CONST CHAR16 *Name, UINTN Number) {
  UINTN Size;
  UINT8 *Data = (UINT8 *)ReadVariable(Name, &Size);
  LOAD_OPTION_VIEW View;
  if (!ReadLoadOption(Data, Size, &View)) {
    ConsolePrint(u"  %s  (not a readable load option)\n", Name);
  } else {
    // Whoever can write a Boot#### variable chooses its description: its
    // control characters reach the console as text, never as a terminal's
    // escape sequence.
    CHAR16 Description[MaximumDescription];
    VisibleText(View.Description, Description, MaximumDescription);
    ConsolePrint(u"  %s  %s%s\n", Name, Description,
                 (View.Attributes & LOAD_OPTION_ACTIVE) ? u"" : u"  (inactive)");
    // BootNext is the option number, little-endian; U-Boot's boot manager
    // boots it once and deletes it.
    ConsolePrint(u"        boot it: setenv -e -nv -bs -rt BootNext =H%02X%02X; bootefi bootmgr\n",
                 Number & 0xFF, Number >> 8);
  }
  if (Data != nullptr) {
    gBS->FreePool(Data);
  }
}

// Every Boot#### in the variable store, in the store's order.
static VOID ListBootOptions(VOID) {
  UINTN Capacity = 256;
  CHAR16 *Name = nullptr;
  if (gBS->AllocatePool(EfiBootServicesData, Capacity, (VOID **)&Name) != EFI_SUCCESS) {
    return;
  }
  Name[0] = 0;
  UINTN Shown = 0;
  for (;;) {
    UINTN Size = Capacity;
    EFI_GUID Guid;
    EFI_STATUS Status = gRT->GetNextVariableName(&Size, Name, &Guid);
    if (Status == EFI_BUFFER_TOO_SMALL && Size > Capacity && Size <= MaximumNameSize) {
      // A longer name comes next: the walk goes on from the current one.
      CHAR16 *Larger = nullptr;
      if (gBS->AllocatePool(EfiBootServicesData, Size, (VOID **)&Larger) != EFI_SUCCESS) {
        break;
      }
      for (UINTN Index = 0; Index < Capacity / 2; Index++) {
        Larger[Index] = Name[Index];
      }
      gBS->FreePool(Name);
      Name = Larger;
      Capacity = Size;
      continue;
    }
    if (Status == EFI_BUFFER_TOO_SMALL && Size > MaximumNameSize) {
      // The walk cannot step past a name it cannot hold: say where it ends.
      ConsolePrint(u"  (the list ends at a variable name of %d bytes, over %d)\n", Size, MaximumNameSize);
      break;
    }
    if (Status != EFI_SUCCESS) {
      break;  // EFI_NOT_FOUND: the end of the store
    }
    CONST UINT8 *Wanted = (CONST UINT8 *)&gEfiGlobalVariableGuid;
    CONST UINT8 *Seen = (CONST UINT8 *)&Guid;
    BOOLEAN Global = TRUE;
    for (UINTN Index = 0; Index < sizeof(EFI_GUID); Index++) {
      Global = Global && Wanted[Index] == Seen[Index];
    }
    INTN Number = Global ? BootOptionNumber(Name) : -1;
    if (Number >= 0) {
      ShowBootOption(Name, (UINTN)Number);
      Shown++;
    }
  }
  if (Shown == 0) {
    ConsolePrint(u"  none\n");
  }
  gBS->FreePool(Name);
}

static VOID ListBlockDevices(VOID) {
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL *ToText = nullptr;
  if (gBS->LocateProtocol(&gEfiDevicePathToTextProtocolGuid, nullptr, (VOID **)&ToText) != EFI_SUCCESS) {
    ToText = nullptr;
  }
  UINTN Count = 0;
  EFI_HANDLE *Handles = nullptr;
  if (gBS->LocateHandleBuffer(ByProtocol, &gEfiBlockIoProtocolGuid, nullptr, &Count, &Handles) !=
          EFI_SUCCESS ||
      Count == 0) {
    ConsolePrint(u"  none\n");
    if (Handles != nullptr) {
      gBS->FreePool(Handles);
    }
    return;
  }
  for (UINTN Index = 0; Index < Count; Index++) {
    EFI_BLOCK_IO_PROTOCOL *BlockIo = nullptr;
    EFI_DEVICE_PATH_PROTOCOL *Path = nullptr;
    if (gBS->HandleProtocol(Handles[Index], &gEfiBlockIoProtocolGuid, (VOID **)&BlockIo) != EFI_SUCCESS ||
        BlockIo == nullptr || BlockIo->Media == nullptr) {
      continue;
    }
    CONST EFI_BLOCK_IO_MEDIA *Media = BlockIo->Media;
    UINT64 MiB = Media->MediaPresent ? ((Media->LastBlock + 1) * Media->BlockSize) >> 20 : 0;
    ConsolePrint(u"  %-9s %6ld MiB  ", BlockDeviceKinds[Media->LogicalPartition ? 1 : 0], MiB);
    CHAR16 *Text = nullptr;
    if (ToText != nullptr &&
        gBS->HandleProtocol(Handles[Index], &gEfiDevicePathProtocolGuid, (VOID **)&Path) == EFI_SUCCESS &&
        Path != nullptr) {
      Text = ToText->ConvertDevicePathToText(Path, FALSE, TRUE);
    }
    ConsolePrint(u"%s\n", Text != nullptr ? Text : u"(no device path text)");
    if (Text != nullptr) {
      gBS->FreePool(Text);
    }
  }
  gBS->FreePool(Handles);
}

extern "C" BOOLEAN ReadChoiceRequest(CONST CHAR16 *Options, UINTN Size, UINT64 *Address) {
  CONST CHAR16 Word[] = u"choice ";
  UINTN Length = Options != nullptr ? Size / sizeof(CHAR16) : 0;
  UINTN At = 0;
  for (; Word[At] != 0; At++) {
    if (At >= Length || Options[At] != Word[At]) {
      return FALSE;
    }
  }
  if (At + 1 < Length && Options[At] == u'0' && (Options[At + 1] | 0x20) == u'x') {
    At += 2;
  }
  UINT64 Value = 0;
  UINTN Digits = 0;
  for (; At < Length && Options[At] != 0; At++, Digits++) {
    INTN Digit = HexDigit(Options[At] >= u'a' ? Options[At] - (u'a' - u'A') : Options[At]);
    if (Digit < 0 || Digits == 16) {
      return FALSE;  // not a hexadecimal address, or more than 64 bits of one
    }
    Value = Value << 4 | (UINT64)Digit;
  }
  *Address = Value;
  return Digits > 0;
}

// Removes BootOrder and BootNext, each shown first: a boot-order reset. The
// Boot#### options stay.
static VOID ResetBootOrder(VOID) {
  CONST CHAR16 *CONST Names[] = {u"BootOrder", u"BootNext"};
  for (CONST CHAR16 *Name : Names) {
    UINTN Size;
    VOID *Data = ReadVariable(Name, &Size);
    if (Data == nullptr) {
      continue;
    }
    gBS->FreePool(Data);
    ConsolePrint(u"Tamberlune: removing ");
    ListNumbers(Name);
    EFI_STATUS Status = gRT->SetVariable((CHAR16 *)Name, &gEfiGlobalVariableGuid,
                                         EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                             EFI_VARIABLE_RUNTIME_ACCESS,
                                         0, nullptr);
    if (EFI_ERROR(Status)) {
      ConsolePrint(u"Tamberlune: %s stays: %r\n", Name, Status);
    }
  }
}

// Which boot choice was recorded, as the byte its key types (0: none), in
// the byte at Address, which the boot script names and reads back. The
// choice is then gone: acted on once. Where it cannot be handed over, it
// stays recorded and this says why.
static EFI_STATUS TakeChoice(UINT64 Address) {
  CONST BOOT_CHOICE *Taken = nullptr;
  for (CONST BOOT_CHOICE &Choice : BootChoices) {
    UINT8 Data[2];
    UINTN Size = sizeof(Data);
    EFI_STATUS Status = gRT->GetVariable((CHAR16 *)Choice.VariableName, (EFI_GUID *)&BootChoiceVendorGuid,
                                         nullptr, &Size, Data);
    if (Taken == nullptr && (Status == EFI_SUCCESS || Status == EFI_BUFFER_TOO_SMALL)) {
      Taken = &Choice;
    }
  }
  // The byte is the script's: the page that holds it is ours only while we
  // write it, as UEFI asks of memory an application writes.
  EFI_PHYSICAL_ADDRESS Page = Address & ~(EFI_PHYSICAL_ADDRESS)(EFI_PAGE_SIZE - 1);
  EFI_STATUS Status = (UINTN)Address == Address ? gBS->AllocatePages(AllocateAddress, EfiLoaderData, 1, &Page)
                                                : EFI_INVALID_PARAMETER;
  if (EFI_ERROR(Status)) {
    ConsolePrint(u"Tamberlune: cannot hand the choice over at 0x%lx: %r\n", Address, Status);
    return Status;
  }
  *(volatile UINT8 *)(UINTN)Address = Taken != nullptr ? Taken->Typed : 0;
  gBS->FreePages(Page, 1);
  // Every choice goes, should a firmware have kept more than one.
  for (CONST BOOT_CHOICE &Choice : BootChoices) {
    gRT->SetVariable((CHAR16 *)Choice.VariableName, (EFI_GUID *)&BootChoiceVendorGuid,
                     EFI_VARIABLE_BOOTSERVICE_ACCESS, 0, nullptr);
  }
  if (Taken != nullptr && Taken->ClearsBootOrder) {
    ResetBootOrder();
  }
  return EFI_SUCCESS;
}

extern "C" EFI_STATUS EFIAPI BootOptionsEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  SetServiceGlobals(ImageHandle, SystemTable);
  if (gBS == nullptr || gRT == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_LOADED_IMAGE_PROTOCOL *Loaded = nullptr;
  UINT64 Address;
  if (gBS->HandleProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid, (VOID **)&Loaded) == EFI_SUCCESS &&
      Loaded != nullptr &&
      ReadChoiceRequest((CONST CHAR16 *)Loaded->LoadOptions, Loaded->LoadOptionsSize, &Address)) {
    return TakeChoice(Address);
  }
  ConsolePrint(u"UEFI boot options:\n");
  ListBootOptions();
  ListNumbers(u"BootOrder");
  ListNumbers(u"BootNext");
  ConsolePrint(u"Block devices:\n");
  ListBlockDevices();
  return EFI_SUCCESS;
}

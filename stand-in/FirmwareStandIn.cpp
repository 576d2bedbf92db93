// SPDX-License-Identifier: MIT
#include "FirmwareStandIn.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include "UefiGuids.h"

// The services have no context argument (or one that points into the
// tables), so they find their stand-in here. Tests run one at a time.
static FIRMWARE_STAND_IN *Current;

static char ImageHandleTarget;
EFI_HANDLE const StandInImageHandle = &ImageHandleTarget;

KEY_ATTEMPT KeyChar(CHAR16 Character) {
  return {EFI_SUCCESS, {0, Character}};
}
KEY_ATTEMPT KeyScan(UINT16 ScanCode, CHAR16 Character) {
  return {EFI_SUCCESS, {ScanCode, Character}};
}
KEY_ATTEMPT KeyStatus(EFI_STATUS Status) {
  return {Status, {0, 0}};
}

static std::u16string TextOf(const CHAR16 *String) {
  return String != nullptr ? std::u16string(String) : std::u16string();
}

static EFI_STATUS EFIAPI ReadKeyStroke(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *, EFI_INPUT_KEY *Key) {
  UINTN Attempt = Current->ReadKeyStrokeCalls++;
  if (Current->KeySource != nullptr) {
    return Current->KeySource(Key) ? EFI_SUCCESS : EFI_NOT_READY;
  }
  if (Attempt >= Current->Keys.size()) {
    return EFI_NOT_READY;
  }
  const KEY_ATTEMPT &Script = Current->Keys[Attempt];
  if (Script.Status == EFI_SUCCESS) {
    *Key = Script.Key;
  }
  return Script.Status;
}

static EFI_STATUS EFIAPI OutputString(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String) {
  bool IsStdErr = This == &Current->StdErrProtocol;
  (IsStdErr ? Current->StdErrCalls : Current->ConOutCalls)++;
  if (String == nullptr) {
    // Firmware reads the string whatever it is: a null one is a fault of the caller.
    std::fprintf(stderr, "firmware stand-in: OutputString on %s with a null string\n",
                 IsStdErr ? "StdErr" : "ConOut");
    std::abort();
  }
  EFI_STATUS Status = IsStdErr ? Current->StdErrStatus : Current->ConOutStatus;
  if (EFI_ERROR(Status)) {
    return Status;
  }
  std::u16string Text = TextOf(String);
  (IsStdErr ? Current->StdErr : Current->ConOut) += Text;
  auto Tap = IsStdErr ? Current->StdErrTap : Current->ConOutTap;
  if (Tap != nullptr) {
    Tap(Text);
  }
  return Status;
}

static EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  Current->AllocationSizes.push_back(Size);
  Current->AllocationTypes.push_back(PoolType);
  if (EFI_ERROR(Current->AllocatePoolStatus)) {
    return Current->AllocatePoolStatus;
  }
  // Fill fresh pool with a pattern, so that text the engine did not write shows.
  *Buffer = std::malloc(Size);
  std::memset(*Buffer, 0xA5, Size);
  Current->LivePool.push_back(*Buffer);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FreePool(VOID *Buffer) {
  Current->FreePoolCalls++;
  auto Found = std::find(Current->LivePool.begin(), Current->LivePool.end(), Buffer);
  if (Found == Current->LivePool.end()) {
    // As the firmware does for null or foreign pointers.
    return EFI_INVALID_PARAMETER;
  }
  Current->LivePool.erase(Found);
  std::free(Buffer);
  return Current->FreePoolStatus;
}

static EFI_STATUS EFIAPI Stall(UINTN Microseconds) {
  Current->Stalls.push_back(Microseconds);
  // A keyboard that the firmware connects during the wait.
  if (Current->ConInAfterStalls != 0 && Current->Stalls.size() == Current->ConInAfterStalls) {
    Current->SystemTable.ConIn = &Current->ConInProtocol;
  }
  if (Current->StallTap != nullptr) {
    Current->StallTap(Microseconds);
  }
  return EFI_SUCCESS;
}

static RECORDED_VARIABLE *FindVariable(const CHAR16 *Name, const EFI_GUID *Guid);

static EFI_STATUS EFIAPI SetVariable(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes,
                                     UINTN DataSize, VOID *Data) {
  if (EFI_ERROR(Current->SetVariableStatus)) {
    return Current->SetVariableStatus;
  }
  // As UEFI has it: no data deletes the variable, new data replaces the old.
  RECORDED_VARIABLE *Old = FindVariable(VariableName, VendorGuid);
  if (Old != nullptr) {
    Current->Variables.erase(Current->Variables.begin() + (Old - Current->Variables.data()));
  }
  if (DataSize == 0) {
    return Old != nullptr ? EFI_SUCCESS : EFI_NOT_FOUND;
  }
  RECORDED_VARIABLE Variable;
  Variable.Name = TextOf(VariableName);
  std::memcpy(&Variable.Guid, VendorGuid, sizeof(EFI_GUID));
  Variable.Attributes = Attributes;
  const UINT8 *Bytes = static_cast<const UINT8 *>(Data);
  Variable.Data.assign(Bytes, Bytes + DataSize);
  Variable.ConOutWhenSet = Current->ConOut;
  Current->Variables.push_back(Variable);
  return EFI_SUCCESS;
}

static bool SameGuid(const EFI_GUID *A, const EFI_GUID *B) {
  return std::memcmp(A, B, sizeof(EFI_GUID)) == 0;
}

static RECORDED_VARIABLE *FindVariable(const CHAR16 *Name, const EFI_GUID *Guid) {
  for (RECORDED_VARIABLE &Variable : Current->Variables) {
    if (Variable.Name == TextOf(Name) && SameGuid(&Variable.Guid, Guid)) return &Variable;
  }
  return nullptr;
}

static EFI_STATUS EFIAPI GetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes, UINTN *DataSize,
                                     VOID *Data) {
  RECORDED_VARIABLE *Variable = FindVariable(Name, Guid);
  if (Variable == nullptr) return EFI_NOT_FOUND;
  if (Attributes != nullptr) *Attributes = Variable->Attributes;
  if (*DataSize < Variable->Data.size()) {
    *DataSize = Variable->Data.size();
    return EFI_BUFFER_TOO_SMALL;
  }
  if (Current->GetVariableDataStatus != EFI_SUCCESS) return Current->GetVariableDataStatus;
  *DataSize = Variable->Data.size();
  std::memcpy(Data, Variable->Data.data(), Variable->Data.size());
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI GetNextVariableName(UINTN *NameSize, CHAR16 *Name, EFI_GUID *Guid) {
  std::vector<RECORDED_VARIABLE> &Store = Current->Variables;
  size_t Next = 0;
  if (Name[0] != 0) {
    RECORDED_VARIABLE *At = FindVariable(Name, Guid);
    if (At == nullptr) return EFI_INVALID_PARAMETER;
    Next = (size_t)(At - Store.data()) + 1;
  }
  if (Next >= Store.size()) return EFI_NOT_FOUND;
  UINTN Needed = (Store[Next].Name.size() + 1) * sizeof(CHAR16);
  if (*NameSize < Needed) {
    *NameSize = Needed;
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(Name, Store[Next].Name.c_str(), Needed);
  *Guid = Store[Next].Guid;
  *NameSize = Needed;
  return EFI_SUCCESS;
}


// Pages at a given address only: the host's memory is the test's, which
// names the page it lends (Lendable).
static EFI_STATUS EFIAPI AllocatePages(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE, UINTN Pages,
                                       EFI_PHYSICAL_ADDRESS *Memory) {
  if (Type != AllocateAddress || Pages != 1 || *Memory != Current->LendablePage ||
      std::count(Current->HeldPages.begin(), Current->HeldPages.end(), *Memory) != 0) {
    return EFI_NOT_FOUND;
  }
  Current->HeldPages.push_back(*Memory);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FreePages(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages) {
  auto Found = std::find(Current->HeldPages.begin(), Current->HeldPages.end(), Memory);
  if (Pages != 1 || Found == Current->HeldPages.end()) return EFI_NOT_FOUND;
  Current->HeldPages.erase(Found);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE, EFI_GUID *Protocol, VOID *, UINTN *Count,
                                            EFI_HANDLE **Buffer) {
  if (!SameGuid(Protocol, &gEfiBlockIoProtocolGuid) || Current->BlockDevices.empty()) return EFI_NOT_FOUND;
  UINTN Size = Current->BlockDevices.size() * sizeof(EFI_HANDLE);
  EFI_STATUS Status = Current->BootServices.AllocatePool(EfiBootServicesData, Size, (VOID **)Buffer);
  if (EFI_ERROR(Status)) return Status;
  for (size_t Index = 0; Index < Current->BlockDevices.size(); Index++) {
    (*Buffer)[Index] = &Current->BlockDevices[Index];
  }
  *Count = Current->BlockDevices.size();
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface) {
  if (Handle == StandInImageHandle && SameGuid(Protocol, &gEfiLoadedImageProtocolGuid)) {
    Current->LoadedImage.LoadOptions = Current->LoadOptions.empty() ? nullptr : Current->LoadOptions.data();
    Current->LoadedImage.LoadOptionsSize = (UINT32)(Current->LoadOptions.size() * sizeof(CHAR16));
    *Interface = &Current->LoadedImage;
    return EFI_SUCCESS;
  }
  for (STAND_IN_BLOCK_DEVICE &Device : Current->BlockDevices) {
    if (Handle != &Device) continue;
    bool Path = SameGuid(Protocol, &gEfiDevicePathProtocolGuid) && !Device.PathText.empty();
    if (SameGuid(Protocol, &gEfiBlockIoProtocolGuid)) *Interface = &Device.BlockIo;
    if (Path) *Interface = &Device.Path;
    return SameGuid(Protocol, &gEfiBlockIoProtocolGuid) || Path ? EFI_SUCCESS : EFI_UNSUPPORTED;
  }
  return EFI_UNSUPPORTED;
}

static CHAR16 *EFIAPI ConvertDevicePathToText(CONST EFI_DEVICE_PATH_PROTOCOL *Path, BOOLEAN, BOOLEAN) {
  for (STAND_IN_BLOCK_DEVICE &Device : Current->BlockDevices) {
    if (Path != &Device.Path) continue;
    CHAR16 *Text = nullptr;
    UINTN Size = (Device.PathText.size() + 1) * sizeof(CHAR16);
    if (EFI_ERROR(Current->BootServices.AllocatePool(EfiBootServicesData, Size, (VOID **)&Text))) return nullptr;
    std::memcpy(Text, Device.PathText.c_str(), Size);
    return Text;
  }
  return nullptr;
}

static EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *Protocol, VOID *, VOID **Interface) {
  if (!SameGuid(Protocol, &gEfiDevicePathToTextProtocolGuid) || !Current->HasDevicePathToText) return EFI_NOT_FOUND;
  *Interface = &Current->ToTextProtocol;
  return EFI_SUCCESS;
}

FIRMWARE_STAND_IN::FIRMWARE_STAND_IN() {
  Current = this;
}

FIRMWARE_STAND_IN::~FIRMWARE_STAND_IN() {
  for (VOID *Buffer : LivePool) {
    std::free(Buffer);
  }
  SetServiceGlobals(nullptr, nullptr);
  if (Current == this) {
    Current = nullptr;
  }
}

void FIRMWARE_STAND_IN::Install() {
  Current = this;
  ConInProtocol.ReadKeyStroke = ReadKeyStroke;
  ConOutProtocol.OutputString = OutputString;
  StdErrProtocol.OutputString = OutputString;
  BootServices.AllocatePages = AllocatePages;
  BootServices.FreePages = FreePages;
  BootServices.AllocatePool = AllocatePool;
  BootServices.FreePool = FreePool;
  BootServices.Stall = Stall;
  BootServices.LocateHandleBuffer = LocateHandleBuffer;
  BootServices.HandleProtocol = HandleProtocol;
  BootServices.LocateProtocol = LocateProtocol;
  RuntimeServices.SetVariable = SetVariable;
  RuntimeServices.GetVariable = GetVariable;
  RuntimeServices.GetNextVariableName = GetNextVariableName;
  ToTextProtocol.ConvertDevicePathToText = ConvertDevicePathToText;
  for (STAND_IN_BLOCK_DEVICE &Device : BlockDevices) Device.BlockIo.Media = &Device.Media;
  SystemTable.ConIn = HasConIn ? &ConInProtocol : nullptr;
  SystemTable.ConOut = HasConOut ? &ConOutProtocol : nullptr;
  SystemTable.StdErr = HasStdErr ? &StdErrProtocol : nullptr;
  SystemTable.BootServices = &BootServices;
  SystemTable.RuntimeServices = &RuntimeServices;
  SetServiceGlobals(StandInImageHandle, &SystemTable);
}

EFI_STATUS FIRMWARE_STAND_IN::StartImage() {
  Install();
  return ImageEntry(StandInImageHandle, &SystemTable);
}

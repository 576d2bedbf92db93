// SPDX-License-Identifier: MIT
#include "FirmwareStandIn.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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
  if (Current->StallTap != nullptr) {
    Current->StallTap(Microseconds);
  }
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI SetVariable(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 Attributes,
                                     UINTN DataSize, VOID *Data) {
  if (EFI_ERROR(Current->SetVariableStatus)) {
    return Current->SetVariableStatus;
  }
  RECORDED_VARIABLE Variable;
  Variable.Name = TextOf(VariableName);
  std::memcpy(&Variable.Guid, VendorGuid, sizeof(EFI_GUID));
  Variable.Attributes = Attributes;
  const UINT8 *Bytes = static_cast<const UINT8 *>(Data);
  Variable.Data.assign(Bytes, Bytes + DataSize);
  Current->Variables.push_back(Variable);
  return EFI_SUCCESS;
}

FIRMWARE_STAND_IN::FIRMWARE_STAND_IN() {
  Current = this;
}

FIRMWARE_STAND_IN::~FIRMWARE_STAND_IN() {
  for (VOID *Buffer : LivePool) {
    std::free(Buffer);
  }
  gImageHandle = nullptr;
  gST = nullptr;
  gBS = nullptr;
  gRT = nullptr;
  if (Current == this) {
    Current = nullptr;
  }
}

void FIRMWARE_STAND_IN::Install() {
  Current = this;
  ConInProtocol.ReadKeyStroke = ReadKeyStroke;
  ConOutProtocol.OutputString = OutputString;
  StdErrProtocol.OutputString = OutputString;
  BootServices.AllocatePool = AllocatePool;
  BootServices.FreePool = FreePool;
  BootServices.Stall = Stall;
  RuntimeServices.SetVariable = SetVariable;
  SystemTable.ConIn = HasConIn ? &ConInProtocol : nullptr;
  SystemTable.ConOut = HasConOut ? &ConOutProtocol : nullptr;
  SystemTable.StdErr = HasStdErr ? &StdErrProtocol : nullptr;
  SystemTable.BootServices = &BootServices;
  SystemTable.RuntimeServices = &RuntimeServices;
  gImageHandle = StandInImageHandle;
  gST = &SystemTable;
  gBS = &BootServices;
  gRT = &RuntimeServices;
}

EFI_STATUS FIRMWARE_STAND_IN::StartImage() {
  Install();
  return ImageEntry(StandInImageHandle, &SystemTable);
}

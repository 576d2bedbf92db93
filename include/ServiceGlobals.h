// SPDX-License-Identifier: MIT
// The service-table globals: written by the entry point of whichever image
// runs (ImageEntry, BootOptionsEntry, the test images') or, on the host, by
// the firmware stand-in; read everywhere else.
#pragma once
#include "Uefi.h"

TAMBERLUNE_EXTERN_C EFI_HANDLE gImageHandle;
TAMBERLUNE_EXTERN_C EFI_SYSTEM_TABLE *gST;
TAMBERLUNE_EXTERN_C EFI_BOOT_SERVICES *gBS;
TAMBERLUNE_EXTERN_C EFI_RUNTIME_SERVICES *gRT;

TAMBERLUNE_EXTERN_C EFI_STATUS EFIAPI ImageEntry(EFI_HANDLE ImageHandle,
                                                 EFI_SYSTEM_TABLE *SystemTable);

#ifdef __cplusplus
// Sets the globals from an entry point's arguments; no system table (or none
// given, as the stand-in clears them) leaves the services null. ImageEntry
// sets them one by one instead, each checked as it is set.
static inline VOID SetServiceGlobals(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  gImageHandle = ImageHandle;
  gST = SystemTable;
  gBS = SystemTable != nullptr ? SystemTable->BootServices : nullptr;
  gRT = SystemTable != nullptr ? SystemTable->RuntimeServices : nullptr;
}
#endif

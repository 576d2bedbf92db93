// SPDX-License-Identifier: MIT
// The service-table globals: written once by ImageEntry, read everywhere else.
#pragma once
#include "Uefi.h"

TAMBERLUNE_EXTERN_C EFI_HANDLE gImageHandle;
TAMBERLUNE_EXTERN_C EFI_SYSTEM_TABLE *gST;
TAMBERLUNE_EXTERN_C EFI_BOOT_SERVICES *gBS;
TAMBERLUNE_EXTERN_C EFI_RUNTIME_SERVICES *gRT;

TAMBERLUNE_EXTERN_C EFI_STATUS EFIAPI ImageEntry(EFI_HANDLE ImageHandle,
                                                 EFI_SYSTEM_TABLE *SystemTable);

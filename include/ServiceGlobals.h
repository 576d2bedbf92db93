// SPDX-License-Identifier: MIT
// The service-table globals: written by the entry point of whichever image
// runs (ImageEntry, BootOptionsEntry, SelfTestEntry) or, on the host, by the
// firmware stand-in; read everywhere else.
#pragma once
#include "Uefi.h"

TAMBERLUNE_EXTERN_C EFI_HANDLE gImageHandle;
TAMBERLUNE_EXTERN_C EFI_SYSTEM_TABLE *gST;
TAMBERLUNE_EXTERN_C EFI_BOOT_SERVICES *gBS;
TAMBERLUNE_EXTERN_C EFI_RUNTIME_SERVICES *gRT;

TAMBERLUNE_EXTERN_C EFI_STATUS EFIAPI ImageEntry(EFI_HANDLE ImageHandle,
                                                 EFI_SYSTEM_TABLE *SystemTable);

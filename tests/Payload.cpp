// SPDX-License-Identifier: MIT
// A stand-in boot target for trying the boot flow (tools/run.sh and
// tools/disk.sh --boot-flow, and its tests), not part of the product: an EFI
// application that prints one marker line and returns. Built once per role
// (network boot file, the board's normal loader, a boot option), each with
// its own PAYLOAD_MARKER, so the console says which one the firmware started.
#include "Uefi.h"

#ifndef PAYLOAD_MARKER
#error "build with -DPAYLOAD_MARKER=u\"...\""
#endif

extern "C" EFI_STATUS EFIAPI PayloadEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  static CHAR16 Line[] = u"\r\n" PAYLOAD_MARKER u"\r\n";
  SystemTable->ConOut->OutputString(SystemTable->ConOut, Line);
  return EFI_SUCCESS;
}

// SPDX-License-Identifier: MIT
// The boot manager menu's listing, for firmware that has no menu of its own
// (U-Boot's boot flow runs BootOptions.efi when Escape was pressed).
#pragma once
#include "Uefi.h"

// What a Boot#### variable (an EFI_LOAD_OPTION) says of itself.
typedef struct {
  UINT32 Attributes;
  CONST CHAR16 *Description;  // inside the variable's data, terminated
  UINT16 FilePathListLength;
} LOAD_OPTION_VIEW;

#define LOAD_OPTION_ACTIVE 0x00000001
#define LOAD_OPTION_HIDDEN 0x00000008

// Reads a load option of Size bytes at Data (2-byte aligned). FALSE when it
// is malformed: too short, a description without its terminator, or a file
// path list that runs past the end.
TAMBERLUNE_EXTERN_C BOOLEAN ReadLoadOption(CONST UINT8 *Data, UINTN Size, LOAD_OPTION_VIEW *View);

// Copies Text into Buffer (Capacity characters, terminator included) with
// each control character (C0, DEL, C1) written out as \xHH, cut at a whole
// character or escape. Returns the characters written.
TAMBERLUNE_EXTERN_C UINTN VisibleText(CONST CHAR16 *Text, CHAR16 *Buffer, UINTN Capacity);

// Reads the load options "choice ADDRESS" (Size bytes of UCS-2, a terminator
// optional; ADDRESS hexadecimal, 0x optional): the boot script asks for the
// recorded choice at ADDRESS. FALSE for any other options.
TAMBERLUNE_EXTERN_C BOOLEAN ReadChoiceRequest(CONST CHAR16 *Options, UINTN Size, UINT64 *Address);

// Started with the load options "choice ADDRESS": writes the recorded boot
// choice's typed byte (0 for none) at ADDRESS and deletes the choice; when the
// choice clears the boot order, removes BootOrder and BootNext too. Otherwise
// lists BootOrder, BootNext and every Boot#### with its description and the
// U-Boot line that boots it, then the block devices by device path.
TAMBERLUNE_EXTERN_C EFI_STATUS EFIAPI BootOptionsEntry(EFI_HANDLE ImageHandle,
                                                       EFI_SYSTEM_TABLE *SystemTable);

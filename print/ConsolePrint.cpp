// SPDX-License-Identifier: MIT
// ConsolePrint: a UCS-2 format to the console, through a pool buffer that
// lives for the call.
#include "Check.h"
#include "Print.h"
#include "PrintFlags.h"
#include "ServiceGlobals.h"

// 321 UCS-2 characters of pool, terminator included: 320 characters a call.
static constexpr UINTN ConsoleCharacters = 321;

extern "C" UINTN EFIAPI ConsolePrint(CONST CHAR16 *Format, ...) {
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *Console = gST != nullptr ? gST->ConOut : nullptr;
  CHECK(((UINTN)Format & 0x00000001) == 0, "((UINTN) Format & 0x00000001) == 0");
  CHECK(Console != nullptr, "Console != ((void *) 0)");

  // Without boot services there is no pool: the buffer stays null and the
  // engine reports it, as after a failed allocation.
  VOID *Buffer = nullptr;
  if (gBS != nullptr && EFI_ERROR(gBS->AllocatePool(EfiBootServicesData,
                                                    ConsoleCharacters * sizeof(CHAR16), &Buffer))) {
    Buffer = nullptr;
  }
  CHECK(Buffer != nullptr, "Buffer != ((void *) 0)");
  if (Buffer != nullptr) {
    CHECK((((UINTN)(Buffer)) & 0x01) == 0, "(((UINTN) (StartOfBuffer)) & 0x01) == 0");
  }
  CHECK((((UINTN)(Format)) & 0x01) == 0, "(((UINTN) (FormatString)) & 0x01) == 0");

  VA_LIST Arguments;
  VA_START(Arguments, Format);
  UINTN Count = FormatCore(Buffer, ConsoleCharacters, PF_FMT_UCS2 | PF_OUT_UCS2, Format, Arguments);
  VA_END(Arguments);

  if (Console == nullptr) {
    // Formatted, but nothing reached the console.
    Count = 0;
  } else if (Count != 0 && EFI_ERROR(Console->OutputString(Console, (CHAR16 *)Buffer))) {
    Count = 0;
  }

  if (gBS != nullptr) {
    EFI_STATUS Status = gBS->FreePool(Buffer);
    if (EFI_ERROR(Status)) {
      REPORT_EFI_ERROR(Status);
    }
  }
  return Count;
}

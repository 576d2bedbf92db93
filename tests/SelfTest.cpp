// SPDX-License-Identifier: MIT
// The self-test image: the engine's case table run inside the firmware, in
// all four encodings, through FormatCore and (8-bit format into UCS-2) the
// FormatAsciiToUcs2 entry point, with results printed through ConsolePrint.
// It is linked from the image's own objects, compiled with the image's own
// flags, so what it proves holds for what ships. Prints "N passed, M failed"
// and returns an error status if any case failed.
#include "FormatArguments.h"
#include "FormatCases.h"
#include "Print.h"
#include "PrintFlags.h"
#include "ServiceGlobals.h"

// Room for the longest expected text and format of the table, and more.
static constexpr UINTN Characters = 128;

static constexpr UINTN Encodings[] = {0, PF_OUT_UCS2, PF_FMT_UCS2, PF_FMT_UCS2 | PF_OUT_UCS2};

static UINTN TextLength(CONST CHAR8 *Text) {
  UINTN Length = 0;
  while (Text[Length] != 0) {
    Length++;
  }
  return Length;
}

typedef struct {
  CHAR16 *Output;
  UINTN Flags;
  CONST VOID *Format;
} CASE_CALL;

// 8-bit format into UCS-2 goes through FormatAsciiToUcs2, the others through FormatCore.
static UINTN RunCase(VOID *Context, VA_LIST Arguments) {
  CASE_CALL *Call = (CASE_CALL *)Context;
  if (Call->Flags == PF_OUT_UCS2) {
    return FormatAsciiToUcs2(Call->Output, Characters * sizeof(CHAR16), (CONST CHAR8 *)Call->Format, Arguments);
  }
  return FormatCore(Call->Output, Characters, Call->Flags, Call->Format, Arguments);
}

static BOOLEAN CasePasses(CONST FORMAT_CASE *Case, UINTN Flags) {
  CHAR16 WideFormat[Characters];
  UINTN Index = 0;
  for (; Case->Format[Index] != 0 && Index + 1 < Characters; Index++) {
    WideFormat[Index] = (UINT8)Case->Format[Index];
  }
  WideFormat[Index] = 0;
  UINT64 Values[3];
  for (UINTN Slot = 0; Slot < Case->SlotCount; Slot++) {
    Values[Slot] = CaseSlot(Case, Slot);
  }
  CHAR16 Output[Characters];
  CASE_CALL Call = {Output, Flags, (Flags & PF_FMT_UCS2) ? (CONST VOID *)WideFormat : Case->Format};
  BOOLEAN Passed;
  UINTN Count = WithArguments(RunCase, &Call, Values, Case->SlotCount, Case->LongSlots, &Passed);
  if (!Passed) {
    return FALSE;
  }
  UINTN Length = TextLength(Case->Expected);
  if (Count != Length) {
    return FALSE;
  }
  // The text and its terminator, in the output's own character width.
  for (UINTN At = 0; At <= Length; At++) {
    UINTN Character = (Flags & PF_OUT_UCS2) ? Output[At] : ((CONST UINT8 *)Output)[At];
    if (Character != (UINT8)Case->Expected[At]) {
      return FALSE;
    }
  }
  return TRUE;
}

extern "C" EFI_STATUS EFIAPI SelfTestEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  SetServiceGlobals(ImageHandle, SystemTable);
  UINTN Passed = 0;
  UINTN Failed = 0;
  for (UINTN Index = 0; Index < FormatCaseCount; Index++) {
    for (UINTN Flags : Encodings) {
      if (CasePasses(&FormatCases[Index], Flags)) {
        Passed++;
      } else {
        Failed++;
        ConsolePrint(u"failed: case %d, flags 0x%x, format %a\n", Index, Flags,
                     FormatCases[Index].Format);
      }
    }
  }
  // What ran, from the table itself: every case in every encoding.
  ConsolePrint(u"%d passed, %d failed of %d cases in %d encodings\n", Passed, Failed, FormatCaseCount,
               sizeof(Encodings) / sizeof(Encodings[0]));
  return Failed == 0 ? EFI_SUCCESS : EFI_DEVICE_ERROR;
}

// SPDX-License-Identifier: MIT
// The image's entry point: show the key menu, wait for one keystroke and record
// the boot choice it names in a volatile variable that later boot code reads.
#include "BootChoices.h"
#include "BuildSettings.h"
#include "Check.h"
#include "Print.h"
#include "ServiceGlobals.h"

extern "C" {
EFI_HANDLE gImageHandle;
EFI_SYSTEM_TABLE *gST;
EFI_BOOT_SERVICES *gBS;
EFI_RUNTIME_SERVICES *gRT;
}

// 401 polls, 10 ms apart (a little over four seconds), unless the build says otherwise.
static constexpr UINTN KeyAttempts = TAMBERLUNE_KEY_POLLS;
static constexpr UINTN PollIntervalMicroseconds = TAMBERLUNE_POLL_INTERVAL_US;

// Sets a variable of ours: volatile, with boot-services access alone, and
// the boot choices' data (BootChoiceData: the text "1" in UCS-2, without a
// terminator), which the boot flow's listing and the tests expect of every
// variable of ours.
static EFI_STATUS Record(CONST CHAR16 *Name) {
  return gRT->SetVariable((CHAR16 *)Name, (EFI_GUID *)&BootChoiceVendorGuid, EFI_VARIABLE_BOOTSERVICE_ACCESS,
                          sizeof(BootChoiceData), (VOID *)BootChoiceData);
}

// Polls for one keystroke. A missing input device yields no key that attempt.
static BOOLEAN PollForKey(EFI_INPUT_KEY *Key) {
  for (UINTN Attempt = 0; Attempt < KeyAttempts; Attempt++) {
    EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn = gST->ConIn;
    if (ConIn != nullptr && ConIn->ReadKeyStroke(ConIn, Key) == EFI_SUCCESS) {
      return TRUE;
    }
    gBS->Stall(PollIntervalMicroseconds);
  }
  return FALSE;
}

extern "C" EFI_STATUS EFIAPI ImageEntry(EFI_HANDLE ImageHandle, EFI_SYSTEM_TABLE *SystemTable) {
  // Each global is checked as it is set; the checks read the values, not the
  // globals, which a report might change.
  gImageHandle = ImageHandle;
  CHECK(ImageHandle != nullptr, "gImageHandle != ((void *) 0)");
  gST = SystemTable;
  CHECK(SystemTable != nullptr, "gST != ((void *) 0)");
  EFI_BOOT_SERVICES *BootServices = SystemTable != nullptr ? SystemTable->BootServices : nullptr;
  gBS = BootServices;
  CHECK(BootServices != nullptr, "gBS != ((void *) 0)");
  EFI_RUNTIME_SERVICES *RuntimeServices = SystemTable != nullptr ? SystemTable->RuntimeServices : nullptr;
  gRT = RuntimeServices;
  CHECK(RuntimeServices != nullptr, "gRT != ((void *) 0)");
  if (SystemTable == nullptr || BootServices == nullptr || RuntimeServices == nullptr) {
    return EFI_INVALID_PARAMETER;
  }

  // One menu a boot: some firmware starts the same loader twice in one boot
  // (U-Boot 2025.01 boots the boot option it made for a disk, then finds the
  // disk's removable-media file again). A mark that cannot be set costs only
  // that guard; a variable store that cannot be read hides no menu.
  UINT8 Shown[sizeof(BootChoiceData)];
  UINTN ShownSize = sizeof(Shown);
  EFI_STATUS Found = gRT->GetVariable((CHAR16 *)KeyMenuShownVariable, (EFI_GUID *)&BootChoiceVendorGuid,
                                      nullptr, &ShownSize, Shown);
  if (Found == EFI_SUCCESS || Found == EFI_BUFFER_TOO_SMALL) {
    return EFI_SUCCESS;
  }
  Record(KeyMenuShownVariable);

  ConsolePrint(KeyMenu);

  EFI_INPUT_KEY Key = {0, 0};
  if (!PollForKey(&Key)) {
    return EFI_SUCCESS;
  }

  for (CONST BOOT_CHOICE &Choice : BootChoices) {
    if (Key.UnicodeChar != Choice.UnicodeChar ||
        (Choice.UnicodeChar == 0 && Key.ScanCode != Choice.ScanCode)) {
      continue;
    }
    ConsolePrint(Choice.Confirmation);
    EFI_STATUS Status = Record(Choice.VariableName);
    if (EFI_ERROR(Status)) {
      // The confirmation is already on the screen: say that the choice did not stick.
      return REPORT_EFI_ERROR(Status);
    }
    return EFI_SUCCESS;
  }
  return EFI_SUCCESS;
}

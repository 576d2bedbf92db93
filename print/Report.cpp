// SPDX-License-Identifier: MIT
// Assertion and debug reports on StdErr, which never stop the program and vanish
// without a StdErr device; and FormatAsciiToUcs2, the road they take.
#include "BuildSettings.h"
#include "Check.h"
#include "Print.h"
#include "PrintFlags.h"
#include "ServiceGlobals.h"

static constexpr CONST CHAR8 *ModuleBaseName = TAMBERLUNE_MODULE_NAME;

// Report buffers are 512 bytes; an assertion may use all of them (255
// characters), a debug message only the first 256 bytes (127 characters).
static constexpr UINTN ReportBufferBytes = 512;
static constexpr UINTN DebugMessageBytes = 256;

static VOID WriteStdErr(CHAR16 *Text) {
  if (gST != nullptr && gST->StdErr != nullptr) {
    gST->StdErr->OutputString(gST->StdErr, Text);
  }
}

extern "C" UINTN EFIAPI FormatAsciiToUcs2(CHAR16 *StartOfBuffer, UINTN BufferSize,
                                          CONST CHAR8 *FormatString, VA_LIST Arguments) {
  CHECK((((UINTN)(StartOfBuffer)) & 0x01) == 0, "(((UINTN) (StartOfBuffer)) & 0x01) == 0");
  return FormatCore(StartOfBuffer, BufferSize / 2, PF_OUT_UCS2, FormatString, Arguments);
}

// FormatAsciiToUcs2 with the arguments written out in the call.
static UINTN EFIAPI PrintAsciiToUcs2(CHAR16 *StartOfBuffer, UINTN BufferSize,
                                     CONST CHAR8 *FormatString, ...) {
  VA_LIST Arguments;
  VA_START(Arguments, FormatString);
  UINTN Count = FormatAsciiToUcs2(StartOfBuffer, BufferSize, FormatString, Arguments);
  VA_END(Arguments);
  return Count;
}

extern "C" BOOLEAN EFIAPI AssertsEnabled(VOID) {
  return TRUE;
}

extern "C" VOID EFIAPI ReportAssertion(CONST CHAR8 *FileName, UINTN LineNumber,
                                       CONST CHAR8 *Description) {
  CHAR16 Buffer[ReportBufferBytes / sizeof(CHAR16)];
  Buffer[0] = 0;
  PrintAsciiToUcs2(Buffer, sizeof(Buffer), "ASSERT [%a] %a(%d): %a\n", ModuleBaseName, FileName,
                      LineNumber, Description);
  WriteStdErr(Buffer);
}

extern "C" VOID EFIAPI CheckFailed(CONST CHAR8 *FileName, UINTN LineNumber,
                                   CONST CHAR8 *Description) {
  if (AssertsEnabled()) {
    ReportAssertion(FileName, LineNumber, Description);
  }
}

extern "C" VOID EFIAPI ReportDebugMessage(UINTN ErrorLevel, CONST CHAR8 *Format, ...) {
  // Every level is written: the one debug report the system makes is an error.
  (VOID) ErrorLevel;
  // A format the engine refuses leaves the buffer untouched: keep it a string.
  CHAR16 Buffer[ReportBufferBytes / sizeof(CHAR16)];
  Buffer[0] = 0;
  VA_LIST Arguments;
  VA_START(Arguments, Format);
  FormatAsciiToUcs2(Buffer, DebugMessageBytes, Format, Arguments);
  VA_END(Arguments);
  WriteStdErr(Buffer);
}

extern "C" EFI_STATUS EFIAPI ReportEfiError(EFI_STATUS Status, CONST CHAR8 *FileName,
                                           UINTN LineNumber) {
  ReportDebugMessage(DEBUG_ERROR, "\nASSERT_EFI_ERROR (Status = %r)\n", Status);
  CheckFailed(FileName, LineNumber, "!EFI_ERROR (Status)");
  return Status;
}

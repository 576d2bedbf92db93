// SPDX-License-Identifier: MIT
// The check facility: a failed check is reported on the standard-error console
// and execution carries on. The condition text is spelt out by each caller, so
// a report quotes it exactly, whatever the expression looks like in the code.
#pragma once
#include "Uefi.h"

TAMBERLUNE_EXTERN_C VOID EFIAPI ReportAssertion(CONST CHAR8 *FileName, UINTN LineNumber,
                                                CONST CHAR8 *Description);
TAMBERLUNE_EXTERN_C BOOLEAN EFIAPI AssertsEnabled(VOID);

// Reports a failed check when checks are enabled: one call per check site
// keeps the image small.
TAMBERLUNE_EXTERN_C VOID EFIAPI CheckFailed(CONST CHAR8 *FileName, UINTN LineNumber,
                                            CONST CHAR8 *Description);

// CHECK (Expression, "text"): report "text" with this file and line when
// Expression is false. The caller decides what happens after a failure.
#define CHECK(Expression, Text)              \
  do {                                       \
    if (!(Expression)) {                     \
      CheckFailed(__FILE__, __LINE__, Text); \
    }                                        \
  } while (0)

// CHECK_OR_RETURN (Expression, "text", Value): a check whose failure ends the
// calling function with Value.
#define CHECK_OR_RETURN(Expression, Text, Value) \
  do {                                           \
    if (!(Expression)) {                         \
      CheckFailed(__FILE__, __LINE__, Text);     \
      return Value;                              \
    }                                            \
  } while (0)

// Reports a failed firmware call: the debug report
// "\nASSERT_EFI_ERROR (Status = %r)\n", then the check "!EFI_ERROR (Status)"
// at FileName and LineNumber. Returns Status.
TAMBERLUNE_EXTERN_C EFI_STATUS EFIAPI ReportEfiError(EFI_STATUS Status, CONST CHAR8 *FileName,
                                                     UINTN LineNumber);

// REPORT_EFI_ERROR (Status): ReportEfiError at the caller's file and line.
#define REPORT_EFI_ERROR(Status) ReportEfiError(Status, __FILE__, __LINE__)

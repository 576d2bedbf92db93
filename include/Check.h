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

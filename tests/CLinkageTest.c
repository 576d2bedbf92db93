// SPDX-License-Identifier: MIT
/* The host library from C: the entry points and the service globals have C
   linkage and the UEFI calling convention, so plain C code links and calls
   them through the project's own headers. */
#include <stdio.h>
#include <string.h>

#include "Check.h"

#include "Print.h"
#include "PrintFlags.h"
#include "ServiceGlobals.h"

static UINTN EFIAPI Format(CHAR8 *Buffer, UINTN Size, CONST CHAR8 *FormatString, ...) {
  VA_LIST Arguments;
  VA_START(Arguments, FormatString);
  UINTN Count = FormatCore(Buffer, Size, 0, FormatString, Arguments);
  VA_END(Arguments);
  return Count;
}

int main(void) {
  CHAR8 Text[64];
  UINTN Count =
      Format(Text, sizeof(Text), "%a %5d|%-4x|%r", "C", 42, 255, (EFI_STATUS)0);
  const char *Expected = "C    42|FF  |Success";
  if (Count != strlen(Expected) || strcmp(Text, Expected) != 0) {
    fprintf(stderr, "FormatCore from C gave \"%s\" (%llu)\n", Text, (unsigned long long)Count);
    return 1;
  }
  /* No tables: ImageEntry refuses to run, and says so through its status. */
  if (ImageEntry(NULL, NULL) != EFI_INVALID_PARAMETER || gST != NULL || gBS != NULL ||
      gRT != NULL) {
    fprintf(stderr, "ImageEntry from C without tables did not refuse\n");
    return 1;
  }
  /* The host library is built with its checks on: a report would be lost otherwise. */
  if (!AssertsEnabled()) {
    fprintf(stderr, "AssertsEnabled() from C says the checks are off\n");
    return 1;
  }
  printf("1 passed, 0 failed\n");
  return 0;
}

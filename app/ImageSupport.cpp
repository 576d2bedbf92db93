// SPDX-License-Identifier: MIT
// Freestanding support that only the image needs: the compiler may turn
// struct copies and clears into calls of memcpy and memset, and there is no
// C library to provide them.
#include "Uefi.h"

extern "C" VOID *memcpy(VOID *Destination, CONST VOID *Source, UINTN Length) {
  UINT8 *To = (UINT8 *)Destination;
  CONST UINT8 *From = (CONST UINT8 *)Source;
  while (Length-- != 0) {
    *To++ = *From++;
  }
  return Destination;
}

extern "C" VOID *memset(VOID *Destination, int Value, UINTN Length) {
  UINT8 *To = (UINT8 *)Destination;
  while (Length-- != 0) {
    *To++ = (UINT8)Value;
  }
  return Destination;
}

// SPDX-License-Identifier: MIT
// Formatted text: console print, the reports, and the format engine behind them.
#pragma once
#include "Uefi.h"

// Largest BufferSize and longest format FormatCore accepts, in characters.
#define PcdMaximumUnicodeStringLength 1000000
#define PcdMaximumAsciiStringLength 1000000

// Error level of the one debug report the system writes.
#define DEBUG_ERROR 0x80000000

// Prints a UCS-2 format to ConOut; returns the characters formatted, or 0
// when nothing reached the console. At most 320 characters per call.
TAMBERLUNE_EXTERN_C UINTN EFIAPI ConsolePrint(CONST CHAR16 *Format, ...);

// Formats an 8-bit format into a UCS-2 buffer of BufferSize bytes.
TAMBERLUNE_EXTERN_C UINTN EFIAPI FormatAsciiToUcs2(CHAR16 *StartOfBuffer, UINTN BufferSize,
                                                   CONST CHAR8 *FormatString, VA_LIST Arguments);

// Writes a debug message to StdErr, whatever ErrorLevel says; at most 127 characters.
TAMBERLUNE_EXTERN_C VOID EFIAPI ReportDebugMessage(UINTN ErrorLevel, CONST CHAR8 *Format, ...);

// The one formatter. BufferSize counts characters, terminator included;
// Flags holds PF_OUT_UCS2 and/or PF_FMT_UCS2. Returns the characters written.
TAMBERLUNE_EXTERN_C UINTN EFIAPI FormatCore(VOID *Buffer, UINTN BufferSize, UINTN Flags,
                                            CONST VOID *Format, VA_LIST Arguments);

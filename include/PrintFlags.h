// SPDX-License-Identifier: MIT
// Print flags: one word travels with every FormatCore call and every item.
// A caller passes only PF_OUT_UCS2 and PF_FMT_UCS2; the rest are per item.
#pragma once
#include "Uefi.h"

#define PF_LEFT 0x0001       // '-': left-justify within the width
#define PF_SIGN 0x0002       // '+': a number gets '+' unless it gets '-'
#define PF_BLANK 0x0004      // ' ': a number gets a blank unless it gets '+' or '-'
#define PF_COMMA 0x0008      // ',': group decimal digits by threes
#define PF_LONG 0x0010       // 'l', 'L', 'p': the integer is the whole 64-bit slot
#define PF_ZERO_FILL 0x0020  // '0', 'X', 'p': pad numbers with '0' up to the width
#define PF_OUT_UCS2 0x0040   // caller: output characters are UCS-2, else 8-bit
#define PF_HEX 0x0080        // 'x', 'X', 'p': radix 16
#define PF_FMT_UCS2 0x0100   // caller: the format string is UCS-2, else 8-bit
#define PF_WIDTH 0x0200      // digits or '*' gave a width
#define PF_ARG_UCS2 0x0400   // the argument text is UCS-2, else 8-bit
#define PF_PRECISION 0x0800  // '.' gave a precision
#define PF_REVERSED 0x1000   // the argument text is a digit string, least significant first
#define PF_UNSIGNED 0x4000   // 'u': the integer is unsigned

// SPDX-License-Identifier: MIT
// The caller's print flags: what FormatCore's Flags argument says of the
// output and the format. The engine's per-item bits are its own (print/).
#pragma once
#include "Uefi.h"

#define PF_OUT_UCS2 0x0040   // caller: output characters are UCS-2, else 8-bit
#define PF_FMT_UCS2 0x0100   // caller: the format string is UCS-2, else 8-bit

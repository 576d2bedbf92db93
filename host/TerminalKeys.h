// SPDX-License-Identifier: MIT
// Terminal key sequences to UEFI keys: what a firmware's serial console does
// with the bytes a terminal sends, for the host simulator.
#pragma once
#include <cstddef>
#include <string>

#include "Uefi.h"

// How many of Bytes the first key takes (0 when Bytes could still be the start
// of a longer sequence and AtEnd is false), and that key in Key. A lone
// Escape is Escape only once no more bytes follow (AtEnd).
size_t DecodeTerminalKey(const std::string &Bytes, bool AtEnd, EFI_INPUT_KEY *Key);

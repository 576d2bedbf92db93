// SPDX-License-Identifier: MIT
// The layout of the help resource, as the PE/COFF and UEFI specifications
// give it: the resource directory tree ("HII" / "EFI" / "BIN") and the HII
// package list under it. The build's resource writer and the inspector
// share these numbers; the image's own code never reads its resource.
#pragma once
#include <stdint.h>

// Resource directory entries: a name (not an ID), and a subdirectory (not
// data), each marked by the high bit.
constexpr uint32_t ResourceNameIsString = 0x80000000;
constexpr uint32_t ResourceTargetIsDirectory = 0x80000000;
constexpr uint32_t ResourceDirectoryTableSize = 16;  // then its 8-byte entries
constexpr uint32_t ResourceDataEntrySize = 16;       // RVA, size, code page, reserved

// EFI_HII_PACKAGE_LIST_HEADER: the GUID and PackageLength; then packages,
// each with a 4-byte header (Length:24, Type:8), up to the end package.
constexpr uint32_t HiiPackageListHeaderSize = 20;
constexpr uint32_t HiiPackageHeaderSize = 4;
constexpr uint8_t HiiPackageStrings = 0x04;
constexpr uint8_t HiiPackageEnd = 0xDF;

// EFI_HII_STRING_PACKAGE_HDR up to its Language field, and the two string
// block types a package here holds.
constexpr uint32_t HiiStringHeaderFixedSize = 46;
constexpr uint8_t HiiSibtStringUcs2 = 0x14;
constexpr uint8_t HiiSibtEnd = 0x00;

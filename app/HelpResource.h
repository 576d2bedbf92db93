// SPDX-License-Identifier: MIT
// The shell's help texts for Tamberlune and for its boot flow's listing,
// BootOptions.efi, and the HII package lists that carry them, each named by
// its application's file GUID. The build turns these into each image's
// resource section (see build-steps/MakeHelpResource.cpp); the applications never
// read them.
#pragma once
#include "Uefi.h"

// The application's own file GUID, which also names its HII package list:
// 7A3C91E4-5B2D-4F68-9E1A-C84D20F6B573.
static constexpr EFI_GUID PackageListGuid = {
    0x7A3C91E4, 0x5B2D, 0x4F68, {0x9E, 0x1A, 0xC8, 0x4D, 0x20, 0xF6, 0xB5, 0x73}};

// RFC 4646 language of the one string package, and its display name (string 1).
static constexpr CHAR8 HelpLanguage[] = "en-US";
static constexpr CHAR16 HelpLanguageName[] = u"English";

// String 2, in manual-page markup: a title line with a one-line description
// (which itself quotes a phrase), a NAME section heading, and the name line.
static constexpr CHAR16 HelpText[] =
    u".TH Tamberlune 0 "
    u"\""
    u"Displays a "
    u"\""
    u"UEFI Tamberlune!"
    u"\""
    u" string."
    u"\""
    u"\r\n.SH NAME\r\nTamberlune application.\r\n";

// The listing's own file GUID and package list: 7A3C91E4-5B2D-4F68-9E1A-C84D20F6B576.
static constexpr EFI_GUID BootOptionsPackageListGuid = {
    0x7A3C91E4, 0x5B2D, 0x4F68, {0x9E, 0x1A, 0xC8, 0x4D, 0x20, 0xF6, 0xB5, 0x76}};

// Its string 2, in the same markup: what it lists, and how its lines are used.
static constexpr CHAR16 BootOptionsHelpText[] =
    u".TH BootOptions 0 "
    u"\"Lists what this firmware can boot.\""
    u"\r\n.SH NAME\r\nBootOptions application.\r\n"
    u".SH DESCRIPTION\r\n"
    u"Prints every UEFI boot option (Boot####) with its description, BootOrder, "
    u"BootNext and every block device with its size and device path; it changes "
    u"nothing. Under each active option, a U-Boot command line that boots it once "
    u"(through BootNext). Tamberlune's U-Boot boot flow runs it when Escape was "
    u"pressed at Tamberlune's menu. Started with the load options \"choice ADDRESS\" "
    u"(hexadecimal), it writes at ADDRESS the byte of the key chosen at "
    u"Tamberlune's menu (0 for none) and deletes the choice, and for r removes "
    u"BootOrder and BootNext: the boot flow reads the choice so.\r\n";

// SPDX-License-Identifier: MIT
// The shell's help text for Tamberlune and the HII package list that carries
// it. The build turns these into the image's resource section (see
// cmake/MakeHelpResource.cpp); the application never reads them.
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

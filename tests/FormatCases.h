// SPDX-License-Identifier: MIT
// The engine's case table: directives, conversions and literals, each with
// the text it must give in every encoding. One source for two runners: the
// unit tests on the host and the self-test image inside each firmware, so it
// is freestanding C++ (no library, no constructor to run).
#pragma once
#include "Uefi.h"

// The texts that pointer slots name, by their index in CaseTexts.
static const CHAR8 CaseAbcdef[] = "abcdef";
static const CHAR8 CaseAb[] = "ab";
static const CHAR16 CaseWideAbc[] = u"abc";
static const VOID *const CaseTexts[] = {CaseAbcdef, CaseAb, CaseWideAbc, "abc", ""};

// Expected text (8-bit, widened for UCS-2 output), format (8-bit, widened for
// a UCS-2 format), the arguments' values, which of them (bit per argument)
// are indexes into CaseTexts rather than values, and which are 64-bit
// integers (the argument of a d, u, x or X with l or L). Each value is
// passed as that type: on IA32 and ARM a word-sized one (an int, a UINTN, a
// pointer, a status) keeps its low 32 bits.
typedef struct FORMAT_CASE {
  const CHAR8 *Expected;
  const CHAR8 *Format;
  UINT8 SlotCount;
  UINT64 Slots[3];
  UINT8 PointerSlots;
  UINT8 LongSlots = 0;
} FORMAT_CASE;

// A text that differs with the width of UINTN, pointers and EFI_STATUS.
#define CASE_WIDTH(Text64, Text32) (sizeof(VOID *) == 8 ? (Text64) : (Text32))

static const FORMAT_CASE FormatCases[] = {
    // Literals and line ends.
    {"plain text", "plain text", 0, {}, 0},
    {"a\r\nb", "a\nb", 0, {}, 0},
    {"a\r\nb", "a\n\rb", 0, {}, 0},
    {"a\r\nb", "a\r\nb", 0, {}, 0},
    {"a\rb", "a\rb", 0, {}, 0},
    {"a\r\n\r\nb", "a\n\nb", 0, {}, 0},
    {"a\r\n\r\n", "a\n\r\n\r", 0, {}, 0},
    {"\r", "\r", 0, {}, 0},
    // Integers.
    {"-1", "%d", 1, {0xFFFFFFFFull}, 0},
    {"4294967295", "%ld", 1, {0xFFFFFFFFull}, 0, 1},
    {"4294967295", "%u", 1, {0xFFFFFFFFull}, 0},
    {"42", "%d", 1, {0xDEADBEEF0000002Aull}, 0},  // only the low 32 bits without l
    {"FF", "%x", 1, {255}, 0},
    {"FF", "%X", 1, {255}, 0},
    {"000000FF", "%08X", 1, {255}, 0},
    {"   FF", "%5x", 1, {255}, 0},
    {"000FF", "%5X", 1, {255}, 0},  // X zero-fills to the width
    {"  -42", "%5d", 1, {(UINT64)-42}, 0},
    {"-0042", "%05d", 1, {(UINT64)-42}, 0},
    {"-42  ", "%-5d", 1, {(UINT64)-42}, 0},
    {"+0042", "%+05d", 1, {42}, 0},
    {" 0042", "% 05d", 1, {42}, 0},
    {"1,234,567", "%,d", 1, {1234567}, 0},
    {"-1,234", "%,d", 1, {(UINT64)-1234}, 0},
    {"999", "%,d", 1, {999}, 0},
    {"1,000", "%,d", 1, {1000}, 0},
    {"12,345", "%,d", 1, {12345}, 0},
    {"123,456", "%,d", 1, {123456}, 0},
    {"+1,234", "%+,d", 1, {1234}, 0},
    {"1234", "%,x", 1, {4660}, 0},
    {" 1,234,567", "%,10d", 1, {1234567}, 0},
    {"     1,234", "%010,d", 1, {1234}, 0},
    {"1,234", "%,.8d", 1, {1234}, 0},  // grouping drops the precision
    {"1,234     ", "%-,10d", 1, {1234}, 0},
    {"18,446,744,073,709,551,615", "%,lu", 1, {~0ull}, 0, 1},
    {"", "%.0d", 1, {0}, 0},
    {"+", "%+.0d", 1, {0}, 0},
    {"0", "%.d", 1, {0}, 0},
    {"+0", "%+d", 1, {0}, 0},
    {" 5", "% d", 1, {5}, 0},
    {"+5", "%+ d", 1, {5}, 0},
    {"+FF", "%+x", 1, {255}, 0},
    {"5", "%+u", 1, {5}, 0},
    {" 5", "% u", 1, {5}, 0},
    {"  007", "%5.3d", 1, {7}, 0},
    {"000FF", "%.5x", 1, {255}, 0},
    {"   -007", "%7.3d", 1, {(UINT64)-7}, 0},
    {"-007   ", "%-7.3d", 1, {(UINT64)-7}, 0},
    {"FF      ", "%-08x", 1, {255}, 0},
    {"   42", "%05.1d", 1, {42}, 0},  // a precision stops the zero fill of the width
    {"18446744073709551615", "%lu", 1, {~0ull}, 0, 1},
    {"-9223372036854775808", "%ld", 1, {0x8000000000000000ull}, 0, 1},
    {"-2147483648", "%d", 1, {0x80000000ull}, 0},
    {"2147483648", "%u", 1, {0x80000000ull}, 0},
    {"FFFFFFFF", "%x", 1, {~0ull}, 0},
    {"FFFFFFFFFFFFFFFF", "%lx", 1, {~0ull}, 0, 1},
    {"7FFFFFFF", "%x", 1, {0xFFFFFFFF7FFFFFFFull}, 0},
    {"-1", "%Ld", 1, {~0ull}, 0, 1},
    {"1234", "%p", 1, {0x1234}, 0},
    {"0000000000001234", "%016p", 1, {0x1234}, 0},
    {CASE_WIDTH("FFFFFFFFFFFFFFFF", "FFFFFFFF"), "%p", 1, {~0ull}, 0},
    {"80000000", "%p", 1, {0x80000000ull}, 0},  // zero-extended, never sign-extended
    {"0", "%p", 1, {0}, 0},
    {"   42", "%*d", 2, {5, 42}, 0},
    {"42   ", "%-*d", 2, {5, 42}, 0},
    {"  042", "%*.*d", 3, {5, 3, 42}, 0},
    {"00042", "%0*d", 2, {5, 42}, 0},
    {"42", "%*d", 2, {~0ull, 42}, 0},  // a negative width writes no blanks
    // Characters.
    {"A", "%c", 1, {'A'}, 0},
    {" ", "%c", 1, {0}, 0},
    {"", "%.0c", 1, {'A'}, 0},
    {"    A", "%5c", 1, {'A'}, 0},
    {"A    ", "%-5c", 1, {'A'}, 0},
    {"    A", "%05c", 1, {'A'}, 0},
    {"B", "%c", 1, {0xFFFF0042}, 0},
    // Strings.
    {"abcdef", "%a", 1, {0}, 0x1},
    {"abc", "%.3a", 1, {0}, 0x1},
    {"   ab", "%.5a", 1, {1}, 0x1},
    {"    ab", "%6a", 1, {1}, 0x1},
    {"ab    ", "%-6a", 1, {1}, 0x1},
    {"    ab", "%06a", 1, {1}, 0x1},
    {"abcdef", "%3a", 1, {0}, 0x1},
    {"ab", "%.*a", 2, {2, 3}, 0x2},
    {"abc", "%s", 1, {2}, 0x1},
    {"abc", "%S", 1, {2}, 0x1},
    {"  ab", "%4.2s", 1, {2}, 0x1},
    {"<null string>", "%a", 1, {0}, 0},
    {"<null string>", "%s", 1, {0}, 0},
    {"<null string>", "%S", 1, {0}, 0},
    {"<null ", "%.6a", 1, {0}, 0},
    {"", "%a", 1, {4}, 0x1},
    {"   ", "%3a", 1, {4}, 0x1},
    // Other directive characters.
    {"%", "%%", 0, {}, 0},
    {"    %", "%5%", 0, {}, 0},
    {"%    ", "%-5%", 0, {}, 0},
    {"q", "%q", 0, {}, 0},
    {"5%", "%d%%", 1, {5}, 0},
    {"a\r\nb", "a%\nb", 0, {}, 0},
    {"a\r\nb", "a%\n\rb", 0, {}, 0},
    {"a   \r\nb", "a%5\nb", 0, {}, 0},  // a line end after '%' keeps the width
    {"a\rb", "a%\rb", 0, {}, 0},
    // Directives cut off by the format's end.
    {"ab     ", "ab%5", 0, {}, 0},
    {"ab", "ab%", 0, {}, 0},
    {"ab", "ab%.", 0, {}, 0},
    {"ab", "ab%-", 0, {}, 0},
    {"ab   ", "ab%-3", 0, {}, 0},
    {"ab", "ab%l", 0, {}, 0},
    // Every item starts afresh.
    {"   1|2", "%4d|%d", 2, {1, 2}, 0},
    {"-1|4294967295", "%ld|%u", 2, {~0ull, ~0ull}, 0, 1},
    {"FF|255", "%X|%d", 2, {255, 255}, 0},
    {"1 2 3", "%d %d %d", 3, {1, 2, 3}, 0},
    // Each argument read as its type: an int, a 64-bit integer (on ARM at an
    // 8-byte-aligned place), a UINTN for '*', a status.
    {"-1|4294967295|-1", "%d|%lu|%d", 3, {~0ull, 0xFFFFFFFFull, ~0ull}, 0, 2},
    {"7|-2", "%d|%ld", 2, {7, (UINT64)-2}, 0, 2},
    {"   -5|6", "%*ld|%d", 3, {5, (UINT64)-5, 6}, 0, 2},
    {"A|8589934592", "%c|%lu", 2, {'A', 0x200000000ull}, 0, 2},
    {"-1|Not Found", "%Ld|%r", 2, {~0ull, EFI_NOT_FOUND}, 0, 1},
    // Status names: the error bit is EFI_STATUS's top bit, bit 63 or bit 31.
    {"Not Found", "%r", 1, {EFI_NOT_FOUND}, 0},
    {"Compromised Data", "%r", 1, {ENCODE_ERROR(33)}, 0},
    {CASE_WIDTH("00000022", "80000022"), "%r", 1, {ENCODE_ERROR(34)}, 0},
    {CASE_WIDTH("00000000", "80000000"), "%r", 1, {EFI_ERROR_BIT}, 0},
    {"Warning Stale Data", "%r", 1, {5}, 0},
    {"00000006", "%r", 1, {6}, 0},
};

static const UINTN FormatCaseCount = sizeof(FormatCases) / sizeof(FormatCases[0]);

// The case's slot Index as the engine reads it: a value, or a text's address.
static inline UINT64 CaseSlot(const FORMAT_CASE *Case, UINTN Index) {
  if (Case->PointerSlots & (1u << Index)) {
    return (UINT64)(UINTN)CaseTexts[Case->Slots[Index]];
  }
  return Case->Slots[Index];
}

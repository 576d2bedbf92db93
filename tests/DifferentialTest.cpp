// SPDX-License-Identifier: MIT
// The engine against the host C library's snprintf, over generated directives
// in the subset where both define the same text: decimal and hexadecimal
// integers with width and the '-', '+', ' ' and '0' flags but no precision,
// strings and characters with width and '-', and literal text between them.
#include <cstdio>
#include <random>
#include <type_traits>

#include "FirmwareHarness.h"
#include "FormatHarness.h"

namespace {

using Differential = ON_FIRMWARE;

constexpr int CaseCount = 20000;

struct GENERATED {
  std::string Ours;    // the engine's format
  std::string Theirs;  // the same directives for snprintf
  SLOTS Slots;
  std::string Expected;
};

std::string Upper(std::string Text) {
  for (char &Character : Text) {
    Character = (char)toupper((unsigned char)Character);
  }
  return Text;
}

const char *const Words[] = {"", "a", "Tamberlune", "print/FormatCore.cpp", "x y z"};

// One directive and its argument, appended to both formats.
void AddDirective(std::mt19937_64 &Random, GENERATED &Case) {
  std::string Flags;
  const char FlagCharacters[] = "-+ 0";
  for (int Index = 0; Index < 4; Index++) {
    if (Random() % 3 == 0) {
      Flags += FlagCharacters[Index];
    }
  }
  std::string Width = Random() % 2 ? std::to_string(Random() % 25) : "";
  if (Width == "0") {
    Width.clear();
  }
  char Text[128];
  UINT64 Value = Random();
  switch (Value % 4) {  // favour small numbers and the edges too
    case 0:
      Value %= 1000;
      break;
    case 1:
      Value = (UINT64) - (INT64)(Value % 1000);
      break;
    case 2:
      Value = Random() % 2 ? 0x8000000000000000ull : 0x7FFFFFFF80000000ull | (Value & 1);
      break;
    default:
      break;
  }
  std::string Directive = "%" + Flags + Width;
  // C ignores ' ' for unsigned conversions, where the engine keeps it; the
  // engine signs hexadecimal with '+' and ' ', which C never does; strings
  // and characters take '-' alone.
  std::string Unsigned = Directive, Hex;
  std::string TextDirective = "%" + std::string(Flags.find('-') != std::string::npos ? "-" : "") + Width;
  std::erase(Unsigned, ' ');
  Hex = Unsigned;
  std::erase(Hex, '+');
  // The same directive for both: the engine's conversion and C's, with the
  // argument as C's conversion takes it.
  bool Long = false;
  auto Both = [&](const std::string &Prefix, const char *Theirs, const char *Ours, auto Argument) {
    snprintf(Text, sizeof(Text), (Prefix + Theirs).c_str(), Argument);
    Case.Ours += Prefix + Ours;
    Long = std::is_integral_v<decltype(Argument)> && sizeof(Argument) == 8;
  };
  switch (Random() % 7) {
    case 0: Both(Directive, "d", "d", (int)(INT32)Value); break;
    case 1: Both(Directive, "lld", "ld", (long long)Value); break;
    case 2: Both(Unsigned, "u", "u", (unsigned)Value); break;
    case 3: Both(Unsigned, "llu", "lu", (unsigned long long)Value); break;
    case 4:
      Random() % 2 ? Both(Hex, "llx", "lx", (unsigned long long)Value) : Both(Hex, "x", "x", (unsigned)Value);
      break;
    case 5: {
      const char *Word = Words[Value % 5];
      Both(TextDirective, "s", "a", Word);
      Value = Slot(Word);
      break;
    }
    default: {
      char Character = (char)('!' + Value % 90);
      Both(TextDirective, "c", "c", Character);
      Value = (UINT64)Character;
      break;
    }
  }
  Case.Slots.push_back({Value, Long});
  Case.Expected += Text;
}

GENERATED Generate(std::mt19937_64 &Random) {
  GENERATED Case;
  int Items = 1 + (int)(Random() % 4);
  for (int Item = 0; Item < Items; Item++) {
    if (Random() % 2) {
      const char *Literal = Words[Random() % 5];
      Case.Ours += Literal;
      Case.Expected += Literal;
    }
    AddDirective(Random, Case);
  }
  return Case;
}

TEST_F(Differential, AgreesWithSnprintfWhereBothDefineTheText) {
  std::mt19937_64 Random(20261208);
  int Compared = 0;
  for (int Index = 0; Index < CaseCount; Index++) {
    GENERATED Case = Generate(Random);
    // Half the cases run into a buffer that cuts the text somewhere.
    UINTN Size = Random() % 2 ? 400 : 1 + Random() % (Case.Expected.size() + 2);
    std::string Expected =
        Upper(Case.Expected.substr(0, std::min<size_t>(Size - 1, Case.Expected.size())));
    for (const ENCODING &Encoding : Encodings) {
      FORMATTED Result = RunFormatAs(Encoding.Flags, Case.Ours, Case.Slots, Size);
      ASSERT_EQ(Upper(Narrow(Result.Text)), Expected)
          << "format \"" << Case.Ours << "\" size " << Size << ", " << Encoding.Name;
      ASSERT_EQ(Result.Count, Expected.size());
      Compared++;
    }
  }
  EXPECT_EQ(Firmware.StdErr, u"");
  RecordProperty("DifferentialCases", Compared);
}

}  // namespace

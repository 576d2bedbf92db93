// SPDX-License-Identifier: MIT
// The engine beside the formatters engineers know, on the same jobs: time per
// call (Google Benchmark) and, under callgrind, instructions per call.
//
//   tamberlune_bench [Google Benchmark flags]   time every library on every job
//   tamberlune_bench --smoke                    check every text, time nothing
//   tamberlune_bench --instructions N           N calls per job between callgrind dumps
#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <valgrind/callgrind.h>

#include <clocale>
#include <cstdio>
#include <cstring>
#include <locale>
#include <string>

#include "Print.h"
#include "ServiceGlobals.h"

#define STB_SPRINTF_IMPLEMENTATION
#define STB_SPRINTF_STATIC
#include <stb/stb_sprintf.h>

namespace {

constexpr size_t BufferBytes = 512;
constexpr const char *PlainLine =
    "Tamberlune waits a little over four seconds for one key, then boots as chosen.";
static_assert(std::char_traits<char>::length(PlainLine) == 80 - 2);

struct JOB {
  const char *Name;
  const char *Expected;
};

// W4's text is the 78 characters above and a CR LF: an 80-character line.
const JOB Jobs[] = {
    {"W1 %d", "1234567"},
    {"W2 %08X", "0000BEEF"},
    {"W3 assert report",
     "ASSERT [Tamberlune] print/FormatCore.cpp(123): (Buffer != ((void *) 0))\r\n"},
    {"W4 80-char line",
     "Tamberlune waits a little over four seconds for one key, then boots as chosen.\r\n"},
    {"W5 %-20a|%5d|%lx|%c", "Tamberlune          |   42|DEADBEEF|Z"},
    {"W6 %lu max", "18446744073709551615"},
    {"W7 %,d", "1,234,567"},
};
constexpr int JobCount = sizeof(Jobs) / sizeof(Jobs[0]);

enum LIBRARY { Tamberlune, Snprintf, StbSprintf, Fmt, LibraryCount };
const char *const LibraryNames[] = {"Tamberlune", "snprintf", "stb_sprintf", "{fmt}"};

bool HaveGroupingLocale;

// Called through pointers the compiler cannot see through, so that it neither
// folds a format without directives into a copy nor specializes a call.
int (*volatile Snprintf_)(char *, size_t, const char *, ...) = snprintf;
int (*volatile StbSnprintf_)(char *, int, const char *, ...) = stbsp_snprintf;
std::locale GroupingLocale = std::locale::classic();

UINTN EFIAPI Ours(CHAR16 *Buffer, const char *Format, ...) {
  VA_LIST Arguments;
  VA_START(Arguments, Format);
  UINTN Count = FormatAsciiToUcs2(Buffer, BufferBytes, Format, Arguments);
  VA_END(Arguments);
  return Count;
}

// Formats job Job with Library into Buffer (UCS-2 for the engine, 8-bit for
// the others); false where the library cannot do the job.
bool Run(int Library, int Job, void *Buffer) {
  char *Text = (char *)Buffer;
  CHAR16 *Wide = (CHAR16 *)Buffer;
  switch (Library * 16 + Job) {
    case Tamberlune * 16 + 0:
      return Ours(Wide, "%d", (UINT64)1234567);
    case Tamberlune * 16 + 1:
      return Ours(Wide, "%08X", (UINT64)0xBEEF);
    case Tamberlune * 16 + 2:
      return Ours(Wide, "ASSERT [%a] %a(%d): %a\n", "Tamberlune", "print/FormatCore.cpp",
                  (UINT64)123, "(Buffer != ((void *) 0))");
    case Tamberlune * 16 + 3:
      return Ours(
          Wide, "Tamberlune waits a little over four seconds for one key, then boots as chosen.\n");
    case Tamberlune * 16 + 4:
      return Ours(Wide, "%-20a|%5d|%lx|%c", "Tamberlune", (UINT64)42, (UINT64)0xDEADBEEF,
                  (UINT64)'Z');
    case Tamberlune * 16 + 5:
      return Ours(Wide, "%lu", (UINT64)18446744073709551615ull);
    case Tamberlune * 16 + 6:
      return Ours(Wide, "%,d", (UINT64)1234567);

    case Snprintf * 16 + 0:
      return Snprintf_(Text, BufferBytes, "%d", 1234567);
    case Snprintf * 16 + 1:
      return Snprintf_(Text, BufferBytes, "%08X", 0xBEEF);
    case Snprintf * 16 + 2:
      return Snprintf_(Text, BufferBytes, "ASSERT [%s] %s(%d): %s\r\n", "Tamberlune",
                       "print/FormatCore.cpp", 123, "(Buffer != ((void *) 0))");
    case Snprintf * 16 + 3:
      return Snprintf_(
          Text, BufferBytes,
          "Tamberlune waits a little over four seconds for one key, then boots as chosen.\r\n");
    case Snprintf * 16 + 4:
      return Snprintf_(Text, BufferBytes, "%-20s|%5d|%lX|%c", "Tamberlune", 42, 0xDEADBEEFul, 'Z');
    case Snprintf * 16 + 5:
      return Snprintf_(Text, BufferBytes, "%lu", 18446744073709551615ul);
    case Snprintf * 16 + 6:
      return HaveGroupingLocale && Snprintf_(Text, BufferBytes, "%'d", 1234567);

    case StbSprintf * 16 + 0:
      return StbSnprintf_(Text, BufferBytes, "%d", 1234567);
    case StbSprintf * 16 + 1:
      return StbSnprintf_(Text, BufferBytes, "%08X", 0xBEEF);
    case StbSprintf * 16 + 2:
      return StbSnprintf_(Text, BufferBytes, "ASSERT [%s] %s(%d): %s\r\n", "Tamberlune",
                          "print/FormatCore.cpp", 123, "(Buffer != ((void *) 0))");
    case StbSprintf * 16 + 3:
      return StbSnprintf_(
          Text, BufferBytes,
          "Tamberlune waits a little over four seconds for one key, then boots as chosen.\r\n");
    case StbSprintf * 16 + 4:
      return StbSnprintf_(Text, BufferBytes, "%-20s|%5d|%lX|%c", "Tamberlune", 42, 0xDEADBEEFul,
                          'Z');
    case StbSprintf * 16 + 5:
      return StbSnprintf_(Text, BufferBytes, "%lu", 18446744073709551615ul);
    case StbSprintf * 16 + 6:
      return StbSnprintf_(Text, BufferBytes, "%'d", 1234567);

#define FMT_TO(...) (*fmt::format_to_n(Text, BufferBytes - 1, __VA_ARGS__).out = 0, true)
    case Fmt * 16 + 0:
      return FMT_TO("{}", 1234567);
    case Fmt * 16 + 1:
      return FMT_TO("{:08X}", 0xBEEF);
    case Fmt * 16 + 2:
      return FMT_TO("ASSERT [{}] {}({}): {}\r\n", "Tamberlune", "print/FormatCore.cpp", 123,
                    "(Buffer != ((void *) 0))");
    case Fmt * 16 + 3:
      return FMT_TO(
          "Tamberlune waits a little over four seconds for one key, then boots as chosen.\r\n");
    case Fmt * 16 + 4:
      return FMT_TO("{:<20}|{:5}|{:X}|{}", "Tamberlune", 42, 0xDEADBEEFul, 'Z');
    case Fmt * 16 + 5:
      return FMT_TO("{}", 18446744073709551615ul);
    case Fmt * 16 + 6:
      // {fmt} has no bounded form that takes a locale; the text is short.
      return HaveGroupingLocale &&
             (*fmt::format_to(Text, GroupingLocale, "{:L}", 1234567) = 0, true);
#undef FMT_TO
  }
  return false;
}

// The text a library produced, as 8-bit; empty where it cannot do the job.
std::string TextOf(int Library, int Job) {
  alignas(8) char Buffer[BufferBytes];
  std::memset(Buffer, 0, sizeof(Buffer));
  if (!Run(Library, Job, Buffer)) {
    return "";
  }
  if (Library != Tamberlune) {
    return Buffer;
  }
  std::string Narrow;
  for (const CHAR16 *Wide = (const CHAR16 *)Buffer; *Wide != 0; Wide++)
    Narrow.push_back((char)*Wide);
  return Narrow;
}

bool Supported(int Library, int Job) {
  return !TextOf(Library, Job).empty();
}

// Every library's text must be the expected one before anything is timed.
int CheckTexts() {
  int Passed = 0, Failed = 0;
  for (int Job = 0; Job < JobCount; Job++) {
    for (int Library = 0; Library < LibraryCount; Library++) {
      if (!Supported(Library, Job)) continue;
      std::string Text = TextOf(Library, Job);
      if (Text == Jobs[Job].Expected) {
        Passed++;
      } else {
        Failed++;
        std::fprintf(stderr, "%s on %s: \"%s\", expected \"%s\"\n", LibraryNames[Library],
                     Jobs[Job].Name, Text.c_str(), Jobs[Job].Expected);
      }
    }
  }
  std::printf("%d passed, %d failed\n", Passed, Failed);
  return Failed == 0 ? 0 : 1;
}

void Time(benchmark::State &State, int Library, int Job) {
  alignas(8) char Buffer[BufferBytes];
  for (auto _ : State) {
    benchmark::DoNotOptimize(Run(Library, Job, Buffer));
    benchmark::ClobberMemory();
  }
}

// Under callgrind: one dump per library and job, named "<job>|<library>",
// each holding Calls calls.
void CountInstructions(long Calls) {
  alignas(8) char Buffer[BufferBytes];
  for (int Job = 0; Job < JobCount; Job++) {
    for (int Library = 0; Library < LibraryCount; Library++) {
      if (!Supported(Library, Job)) continue;
      std::string Name = std::string(Jobs[Job].Name) + "|" + LibraryNames[Library];
      CALLGRIND_ZERO_STATS;
      for (long Call = 0; Call < Calls; Call++) {
        benchmark::DoNotOptimize(Run(Library, Job, Buffer));
      }
      CALLGRIND_DUMP_STATS_AT(Name.c_str());
    }
  }
}

}  // namespace

int main(int ArgumentCount, char **Arguments) {
  // snprintf and {fmt} group digits only under a locale that says how.
  for (const char *Name : {"en_US.UTF-8", "C.UTF-8"}) {
    if (std::setlocale(LC_NUMERIC, Name) != nullptr &&
        std::strcmp(std::localeconv()->thousands_sep, ",") == 0) {
      HaveGroupingLocale = true;
      GroupingLocale = std::locale(Name);
      break;
    }
  }
  if (CheckTexts() != 0) return 1;
  if (ArgumentCount == 2 && std::strcmp(Arguments[1], "--smoke") == 0) {
    return 0;
  }
  if (ArgumentCount == 3 && std::strcmp(Arguments[1], "--instructions") == 0) {
    long Calls = std::atol(Arguments[2]);
    if (Calls <= 0) {
      std::fprintf(stderr, "--instructions takes a positive number of calls\n");
      return 2;
    }
    CountInstructions(Calls);
    return 0;
  }
  for (int Job = 0; Job < JobCount; Job++) {
    for (int Library = 0; Library < LibraryCount; Library++) {
      if (!Supported(Library, Job)) continue;
      benchmark::RegisterBenchmark(
          (std::string(Jobs[Job].Name) + "|" + LibraryNames[Library]).c_str(), Time, Library, Job);
    }
  }
  benchmark::Initialize(&ArgumentCount, Arguments);
  if (benchmark::ReportUnrecognizedArguments(ArgumentCount, Arguments)) return 2;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

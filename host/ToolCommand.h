// SPDX-License-Identifier: MIT
// What the host tools share with the shell commands: how they read their
// arguments (--option VALUE and --option=VALUE alike; an unknown or repeated
// option, a missing or empty value, an empty operand or one too many are
// refused in one line ending "(--help for more)", exit status 2; after --,
// every argument is an operand), and how they end when interrupted.
#pragma once
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

struct TOOL_OPTION {
  const char *Name;  // "--key"
  bool TakesValue;
  bool Repeats;  // may be given more than once (its values in order)
};

struct TOOL_ARGUMENTS {
  std::map<std::string, std::vector<std::string>> Options;  // a flag's value is ""
  std::vector<std::string> Operands;
  bool Help = false;
  bool Version = false;
  std::string Problem;  // empty: the arguments are good

  bool Has(const std::string &Name) const { return Options.count(Name) != 0; }
  const std::string &Value(const std::string &Name) const { return Options.at(Name).front(); }
};

inline TOOL_ARGUMENTS ReadToolArguments(int Count, char **Arguments, std::initializer_list<TOOL_OPTION> Known,
                                        size_t MostOperands) {
  TOOL_ARGUMENTS Read;
  bool OptionsEnded = false;
  for (int Index = 1; Index < Count && Read.Problem.empty(); Index++) {
    std::string Argument = Arguments[Index];
    if (!OptionsEnded && Argument == "--") {
      OptionsEnded = true;
    } else if (OptionsEnded || Argument.empty() || Argument[0] != '-' || Argument == "-") {
      if (Argument.empty()) {
        Read.Problem = "an empty argument: give a path or a value";
      } else if (Read.Operands.size() == MostOperands) {
        Read.Problem = "one argument too many: '" + Argument + "'";
      } else {
        Read.Operands.push_back(Argument);
      }
    } else if (Argument == "--help" || Argument == "-h") {
      Read.Help = true;
    } else if (Argument == "--version") {
      Read.Version = true;
    } else {
      size_t Equals = Argument.find('=');
      std::string Name = Argument.substr(0, Equals);
      const TOOL_OPTION *Option = nullptr;
      for (const TOOL_OPTION &Candidate : Known) {
        if (Name == Candidate.Name) Option = &Candidate;
      }
      std::string Value;
      if (Option == nullptr) {
        Read.Problem = "unknown option '" + Name + "'";
      } else if (!Option->TakesValue && Equals != std::string::npos) {
        Read.Problem = Name + " takes no value";
      } else if (Option->TakesValue && Equals != std::string::npos) {
        Value = Argument.substr(Equals + 1);
      } else if (Option->TakesValue && Index + 1 < Count && std::string(Arguments[Index + 1]).rfind("--", 0) != 0) {
        Value = Arguments[++Index];
      } else if (Option->TakesValue) {
        Read.Problem = Name + " needs a value";
      }
      if (Read.Problem.empty() && Option->TakesValue && Value.empty()) {
        Read.Problem = Name + " needs a value, not an empty one";
      }
      if (Read.Problem.empty() && Read.Has(Name) && !Option->Repeats) {
        Read.Problem = Name + " given twice";
      }
      if (Read.Problem.empty()) Read.Options[Name].push_back(Value);
    }
  }
  return Read;
}

// --help or --version asked for (and nothing refused): prints the usage or
// "TOOL VERSION" and returns true, so the tool ends with status 0.
inline bool AnswerHelpOrVersion(const TOOL_ARGUMENTS &Read, const char *Tool, const char *Usage,
                                const char *Version) {
  if (!Read.Problem.empty() || !(Read.Help || Read.Version)) return false;
  if (Read.Help) {
    std::fputs(Usage, stdout);
  } else {
    std::printf("%s %s\n", Tool, Version);
  }
  return true;
}

// The one line for bad arguments; returns the exit status for them.
inline int RefuseArguments(const char *Tool, const std::string &Problem) {
  std::fprintf(stderr, "%s: %s (--help for more)\n", Tool, Problem.c_str());
  return 2;
}

// SIGINT and SIGTERM (and a hang-up): Restore runs (it must be
// async-signal-safe), then one line "TOOL: interrupted", and exit 128 + the
// signal's number. Tool must outlive the process: a string literal.
inline const char *InterruptedTool;
inline void (*InterruptedRestore)(void);
inline void EndInterrupted(int Signal) {
  if (InterruptedRestore != nullptr) InterruptedRestore();
  const char Tail[] = ": interrupted\n";
  ssize_t Ignored = write(STDERR_FILENO, "\n", 1);
  Ignored = write(STDERR_FILENO, InterruptedTool, std::strlen(InterruptedTool));
  Ignored = write(STDERR_FILENO, Tail, sizeof(Tail) - 1);
  (void)Ignored;
  _exit(128 + Signal);
}
inline void EndQuietlyWhenInterrupted(const char *Tool, void (*Restore)(void) = nullptr) {
  InterruptedTool = Tool;
  InterruptedRestore = Restore;
  for (int Signal : {SIGINT, SIGTERM, SIGHUP}) signal(Signal, EndInterrupted);
}

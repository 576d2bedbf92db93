// SPDX-License-Identifier: MIT
// tamberlune-sim: the image's own code (the host library) against the firmware
// stand-in wired to this terminal. The menu and the reports appear here, one
// keystroke is read raw, the wait is real (as the build was configured), and when
// ImageEntry returns, its status and every variable it recorded are shown.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BootChoices.h"
#include "BuildSettings.h"
#include "FirmwareStandIn.h"
#include "Print.h"
#include "TerminalKeys.h"
#include "ToolCommand.h"
#include "Utf8.h"

namespace {

const char Usage[] =
    "Usage: tamberlune-sim [--key K] [--fail CALL]...\n"
    "Runs Tamberlune's own code against a firmware stand-in on this terminal.\n"
    "  --key K      press K unattended: " BOOT_CHOICE_KEYS ", none (press nothing: the image\n"
    "               waits out its " TAMBERLUNE_WAIT_TEXT "), or one character\n"
    "  --no-key     the same as --key none\n"
    "  --fail CALL  make a firmware call fail: allocation, freepool, console or setvariable\n"
    "  --help       this text\n"
    "  --version    the version\n"
    "Without --key, it reads one keystroke from the terminal. Exit status\n"
    "0 when the image returns success, 1 when it returns an error, 2 on bad arguments.\n"
    "Example:\n  tamberlune-sim --key r --fail allocation\n";

void ToConsole(const std::u16string &Text) {
  std::fputs(Utf8(Text).c_str(), stdout);
  std::fflush(stdout);
}

void ToStdErr(const std::u16string &Text) {
  std::fputs(Utf8(Text).c_str(), stderr);
  std::fflush(stderr);
}

void RealStall(UINTN Microseconds) {
  usleep((useconds_t)Microseconds);
}

// The keyboard: bytes from standard input, decoded as a serial console would.
std::string Pending;
bool InputEnded;

bool ReadTerminalKey(EFI_INPUT_KEY *Key) {
  for (;;) {
    size_t Used = DecodeTerminalKey(Pending, InputEnded, Key);
    if (Used != 0) {
      Pending.erase(0, Used);
      return true;
    }
    // More bytes may complete a sequence; a terminal sends one at once.
    pollfd Input = {STDIN_FILENO, POLLIN, 0};
    if (InputEnded || poll(&Input, 1, Pending.empty() ? 0 : 30) <= 0) {
      if (Pending.empty()) return false;
      InputEnded = true;  // nothing followed: decode what is there
      continue;
    }
    char Bytes[64];
    ssize_t Count = read(STDIN_FILENO, Bytes, sizeof(Bytes));
    if (Count <= 0) {
      InputEnded = true;
      if (Pending.empty()) return false;
      continue;
    }
    Pending.append(Bytes, (size_t)Count);
  }
}

EFI_INPUT_KEY ScriptedKey;
bool ScriptedKeyGiven;
bool GiveScriptedKey(EFI_INPUT_KEY *Key) {
  if (ScriptedKeyGiven) return false;
  *Key = ScriptedKey;
  ScriptedKeyGiven = true;
  return true;
}
bool NoKey(EFI_INPUT_KEY *) {
  return false;
}

// Formats with the engine itself: status names and GUIDs as the image
// prints them, from one word (a status or a pointer).
std::string EFIAPI Format(const char *FormatString, ...) {
  CHAR16 Buffer[64];
  VA_LIST Arguments;
  VA_START(Arguments, FormatString);
  FormatAsciiToUcs2(Buffer, sizeof(Buffer), FormatString, Arguments);
  VA_END(Arguments);
  return Utf8(Buffer);
}

bool ParseKey(const char *Text, EFI_INPUT_KEY *Key) {
  *Key = {0, 0};
  for (size_t Index = 0; Index < sizeof(BootChoices) / sizeof(BootChoices[0]); Index++) {
    if (std::strcmp(Text, BootChoiceKeyNames[Index]) == 0) {
      *Key = {BootChoices[Index].ScanCode, BootChoices[Index].UnicodeChar};
      return true;
    }
  }
  std::string Bytes = Text;
  size_t Used = DecodeTerminalKey(Bytes, true, Key);
  return Used != 0 && Used == Bytes.size();
}

// The terminal as it was, put back however the run ends: Ctrl-C (the
// terminal still sends it), a kill or a hang-up restore it before the tool
// ends, so the shell never gets a terminal without echo.
termios SavedTerminal;
bool Raw;
void RestoreTerminal(void) {
  if (Raw) tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);
}

constexpr char KeyValues[] = BOOT_CHOICE_KEYS ", none or one character";
constexpr char CallValues[] = "allocation, freepool, console or setvariable";

}  // namespace

int main(int ArgumentCount, char **Arguments) {
  FIRMWARE_STAND_IN Firmware;
  enum { Interactive, Scripted, Silent } Mode = Interactive;
  TOOL_ARGUMENTS Read = ReadToolArguments(
      ArgumentCount, Arguments, {{"--key", true, false}, {"--no-key", false, false}, {"--fail", true, true}}, 0);
  if (AnswerHelpOrVersion(Read, "tamberlune-sim", Usage, TAMBERLUNE_VERSION)) return 0;
  if (Read.Problem.empty() && Read.Has("--key") && Read.Has("--no-key")) {
    Read.Problem = "one key at the most: --key or --no-key";
  }
  if (Read.Problem.empty() && Read.Has("--no-key")) Mode = Silent;
  if (Read.Problem.empty() && Read.Has("--key")) {
    const std::string &Key = Read.Value("--key");
    if (Key == "none") {
      Mode = Silent;
    } else if (ParseKey(Key.c_str(), &ScriptedKey)) {
      Mode = Scripted;
    } else {
      Read.Problem = "--key takes " + std::string(KeyValues) + ", not '" + Key + "'";
    }
  }
  if (Read.Problem.empty() && Read.Has("--fail")) {
    for (const std::string &Call : Read.Options["--fail"]) {
      if (Call == "allocation") {
        Firmware.AllocatePoolStatus = EFI_OUT_OF_RESOURCES;
      } else if (Call == "freepool") {
        Firmware.FreePoolStatus = EFI_INVALID_PARAMETER;
      } else if (Call == "console") {
        Firmware.ConOutStatus = EFI_DEVICE_ERROR;
      } else if (Call == "setvariable") {
        Firmware.SetVariableStatus = EFI_OUT_OF_RESOURCES;
      } else {
        Read.Problem = "--fail takes " + std::string(CallValues) + ", not '" + Call + "'";
        break;
      }
    }
  }
  if (!Read.Problem.empty()) return RefuseArguments("tamberlune-sim", Read.Problem);

  Firmware.ConOutTap = ToConsole;
  Firmware.StdErrTap = ToStdErr;
  Firmware.StallTap = RealStall;
  Firmware.KeySource = Mode == Scripted ? GiveScriptedKey
                       : Mode == Silent ? NoKey
                                        : ReadTerminalKey;

  // One keystroke, raw: no echo, no line buffering, as a firmware console.
  EndQuietlyWhenInterrupted("tamberlune-sim", RestoreTerminal);
  Raw = Mode == Interactive && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &SavedTerminal) == 0;
  if (Raw) {
    termios Keys = SavedTerminal;
    Keys.c_lflag &= ~(ICANON | ECHO);
    Keys.c_cc[VMIN] = 0;
    Keys.c_cc[VTIME] = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &Keys);
  }
  EFI_STATUS Status = Firmware.StartImage();
  if (Raw) tcsetattr(STDIN_FILENO, TCSANOW, &SavedTerminal);

  std::printf("\nImageEntry returned %s (0x%016llX)\n", Format("%r", Status).c_str(),
              (unsigned long long)Status);
  // The choices; the once-a-boot mark, set at every start that shows the
  // menu, says nothing of the key.
  std::vector<RECORDED_VARIABLE> Choices;
  for (const RECORDED_VARIABLE &Variable : Firmware.Variables) {
    if (Variable.Name != KeyMenuShownVariable) Choices.push_back(Variable);
  }
  if (Choices.empty()) std::printf("No variable was recorded.\n");
  for (const RECORDED_VARIABLE &Variable : Choices) {
    std::printf("Recorded %s {%s} attributes 0x%X, %zu bytes:", Utf8(Variable.Name).c_str(),
                Format("%g", &Variable.Guid).c_str(), Variable.Attributes,
                Variable.Data.size());
    for (UINT8 Byte : Variable.Data) std::printf(" %02X", Byte);
    std::printf("\n");
  }
  return EFI_ERROR(Status) ? 1 : 0;
}

// SPDX-License-Identifier: MIT
// Every firmware call that can fail, alone and in pairs, for each key
// scenario: the status ImageEntry returns, the text on ConOut and StdErr, and
// the variables recorded. Each row's expectation is built from the rules the
// firmware failures follow, not read back from the code; none may crash or
// leak pool.
#include <regex>

#include "FirmwareHarness.h"

namespace {

enum FAULT {
  AllocatePoolFails,
  FreePoolFails,
  NoConOut,
  ConOutFails,
  NoStdErr,
  StdErrFails,
  SomeKeyReadsFail,
  AllKeyReadsFail,
  NoConIn,
  SetVariableFails,
  NoSystemTable,
  NoBootServices,
  NoRuntimeServices,
  FaultCount
};

const char *const FaultNames[] = {
    "AllocatePool fails", "FreePool fails",    "no ConOut",        "ConOut fails",
    "no StdErr",          "StdErr fails",      "3 key reads fail", "every key read fails",
    "no ConIn",           "SetVariable fails", "no system table",  "no boot services",
    "no runtime services"};

struct SCENARIO {
  const char *Name;
  bool HasKey;
  KEY_ATTEMPT Key;
  const BOOT_CHOICE *Choice;  // nullptr: no choice
};

const SCENARIO Scenarios[] = {
    {"p", true, KeyChar(u'p'), ChoiceOf(u'p')},
    {"r", true, KeyChar(u'r'), ChoiceOf(u'r')},
    {"Escape", true, KeyScan(EscapeScanCode), ChoiceOf(0)},
    {"x", true, KeyChar(u'x'), nullptr},
    {"no key", false, {}, nullptr},
};

constexpr EFI_STATUS WriteProtected = (EFI_STATUS)ErrorStatus(8);

struct OUTCOME {
  EFI_STATUS Status = EFI_SUCCESS;
  std::u16string ConOut;
  std::string StdErr;  // line numbers as (N)
  std::vector<std::u16string> Variables;
  size_t Stalls = 0;
  size_t KeyReads = 0;  // none before the tables are checked
};

std::string Check(const char *File, const char *Condition) {
  return std::string("ASSERT [Tamberlune] ") + File + "(N): " + Condition + "\r\n";
}

std::string Debug(const char *Status) {
  return std::string("\r\nASSERT_EFI_ERROR (Status = ") + Status + ")\r\n";
}

// What the firmware failures in Faults make of one run.
OUTCOME Expect(const std::vector<bool> &Faults, const SCENARIO &Scenario) {
  OUTCOME Out;
  std::string Reports;
  if (Faults[NoSystemTable]) {
    Out.Status = EFI_INVALID_PARAMETER;  // and with no table there is no StdErr either
    return Out;
  }
  if (Faults[NoBootServices] || Faults[NoRuntimeServices]) {
    Out.Status = EFI_INVALID_PARAMETER;
    if (Faults[NoBootServices]) Reports += Check("app/ImageEntry.cpp", "gBS != ((void *) 0)");
    if (Faults[NoRuntimeServices]) Reports += Check("app/ImageEntry.cpp", "gRT != ((void *) 0)");
  } else {
    auto Print = [&](const std::u16string &Text) {
      if (Faults[NoConOut]) Reports += Check("print/ConsolePrint.cpp", "Console != ((void *) 0)");
      if (Faults[AllocatePoolFails]) {
        Reports += Check("print/ConsolePrint.cpp", "Buffer != ((void *) 0)");
        Reports += Check("print/FormatCore.cpp", "(Buffer != ((void *) 0))");
        // The null buffer still goes to FreePool, which refuses it.
        Reports +=
            Debug("Invalid Parameter") + Check("print/ConsolePrint.cpp", "!EFI_ERROR (Status)");
        return;
      }
      if (!Faults[NoConOut] && !Faults[ConOutFails]) Out.ConOut += Text;
      if (Faults[FreePoolFails]) {
        Reports += Debug("Device Error") + Check("print/ConsolePrint.cpp", "!EFI_ERROR (Status)");
      }
    };
    // The once-a-boot mark, unless the store refuses it (which only costs that guard).
    if (!Faults[SetVariableFails]) Out.Variables.push_back(KeyMenuShownVariable);
    Print(Menu);
    bool KeyRead = Scenario.HasKey && !Faults[NoConIn] && !Faults[AllKeyReadsFail];
    Out.Stalls = !KeyRead ? TAMBERLUNE_KEY_POLLS : Faults[SomeKeyReadsFail] ? 3 : 0;
    Out.KeyReads = Faults[NoConIn] ? 0 : !KeyRead ? TAMBERLUNE_KEY_POLLS : Faults[SomeKeyReadsFail] ? 4 : 1;
    if (KeyRead && Scenario.Choice != nullptr) {
      Print(OnConsole(Scenario.Choice->Confirmation));
      if (Faults[SetVariableFails]) {
        Out.Status = WriteProtected;
        Reports += Debug("Write Protected") + Check("app/ImageEntry.cpp", "!EFI_ERROR (Status)");
      } else {
        Out.Variables.push_back(Scenario.Choice->VariableName);
      }
    }
  }
  if (!Faults[NoStdErr] && !Faults[StdErrFails]) Out.StdErr = Reports;
  return Out;
}

OUTCOME RunImage(const std::vector<bool> &Faults, const SCENARIO &Scenario,
                 FIRMWARE_STAND_IN &Firmware) {
  if (Faults[AllKeyReadsFail]) {
    Firmware.Keys.assign(TAMBERLUNE_KEY_POLLS, KeyStatus(EFI_DEVICE_ERROR));
  } else {
    if (Faults[SomeKeyReadsFail]) Firmware.Keys.assign(3, KeyStatus(EFI_DEVICE_ERROR));
    if (Scenario.HasKey) Firmware.Keys.push_back(Scenario.Key);
  }
  Firmware.HasConIn = !Faults[NoConIn];
  Firmware.HasConOut = !Faults[NoConOut];
  Firmware.HasStdErr = !Faults[NoStdErr];
  if (Faults[ConOutFails]) Firmware.ConOutStatus = EFI_DEVICE_ERROR;
  if (Faults[StdErrFails]) Firmware.StdErrStatus = EFI_DEVICE_ERROR;
  if (Faults[AllocatePoolFails]) Firmware.AllocatePoolStatus = EFI_OUT_OF_RESOURCES;
  if (Faults[FreePoolFails]) Firmware.FreePoolStatus = EFI_DEVICE_ERROR;
  if (Faults[SetVariableFails]) Firmware.SetVariableStatus = WriteProtected;
  Firmware.Install();
  if (Faults[NoBootServices]) Firmware.SystemTable.BootServices = nullptr;
  if (Faults[NoRuntimeServices]) Firmware.SystemTable.RuntimeServices = nullptr;

  OUTCOME Out;
  Out.Status =
      ImageEntry(StandInImageHandle, Faults[NoSystemTable] ? nullptr : &Firmware.SystemTable);
  Out.ConOut = Firmware.ConOut;
  Out.StdErr = std::regex_replace(Narrow(Firmware.StdErr), std::regex("\\((\\d+)\\): "), "(N): ");
  for (const RECORDED_VARIABLE &Variable : Firmware.Variables)
    Out.Variables.push_back(Variable.Name);
  Out.Stalls = Firmware.Stalls.size();
  Out.KeyReads = Firmware.ReadKeyStrokeCalls;
  return Out;
}

TEST(FaultMatrix, EveryFailureAloneAndInPairsForEveryKey) {
  std::vector<std::vector<bool>> FaultSets = {std::vector<bool>(FaultCount, false)};
  for (int First = 0; First < FaultCount; First++) {
    for (int Second = First; Second < FaultCount; Second++) {
      std::vector<bool> Faults(FaultCount, false);
      Faults[First] = Faults[Second] = true;
      FaultSets.push_back(Faults);
    }
  }
  size_t Rows = 0;
  for (const std::vector<bool> &Faults : FaultSets) {
    std::string Name;
    for (int Fault = 0; Fault < FaultCount; Fault++) {
      if (Faults[Fault]) Name += (Name.empty() ? "" : " + ") + std::string(FaultNames[Fault]);
    }
    for (const SCENARIO &Scenario : Scenarios) {
      std::string Row = (Name.empty() ? "no fault" : Name) + ", key " + Scenario.Name;
      FIRMWARE_STAND_IN Firmware;
      OUTCOME Expected = Expect(Faults, Scenario);
      OUTCOME Actual = RunImage(Faults, Scenario, Firmware);
      EXPECT_EQ(Actual.Status, Expected.Status) << Row;
      EXPECT_EQ(Actual.ConOut, Expected.ConOut) << Row;
      EXPECT_EQ(Actual.StdErr, Expected.StdErr) << Row;
      EXPECT_EQ(Actual.Variables, Expected.Variables) << Row;
      EXPECT_EQ(Actual.Stalls, Expected.Stalls) << Row;
      EXPECT_EQ(Actual.KeyReads, Expected.KeyReads) << Row;
      EXPECT_TRUE(Firmware.LivePool.empty()) << Row << ": pool leaked";
      EXPECT_EQ(Firmware.AllocationSizes.size(), Firmware.FreePoolCalls) << Row;
      Rows++;
    }
  }
  RecordProperty("Rows", (int)Rows);
}

}  // namespace

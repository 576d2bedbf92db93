// SPDX-License-Identifier: MIT
// A stand-in for the UEFI firmware: the system table and the services the
// image calls, scripted and recorded so tests (and tools) can drive
// ImageEntry, ConsolePrint and the reports on the host. It is as strict as
// firmware where the image could fault it: OutputString with a null string
// ends the process.
#pragma once
#include <string>
#include <vector>

#include "ServiceGlobals.h"

// What one ReadKeyStroke attempt returns.
struct KEY_ATTEMPT {
  EFI_STATUS Status;
  EFI_INPUT_KEY Key;
};

struct RECORDED_VARIABLE {
  std::u16string Name;
  EFI_GUID Guid;
  UINT32 Attributes;
  std::vector<UINT8> Data;
  std::u16string ConOutWhenSet;  // what the console showed when SetVariable wrote it
};

// A block device the boot services report: its media, and the text its
// device path converts to.
struct STAND_IN_BLOCK_DEVICE {
  EFI_BLOCK_IO_MEDIA Media;
  std::u16string PathText;  // empty: the device has no device path
  EFI_BLOCK_IO_PROTOCOL BlockIo{};  // wired by Install
  EFI_DEVICE_PATH_PROTOCOL Path{0x7F, 0xFF, {4, 0}};
};

struct FIRMWARE_STAND_IN {
  // Script. Attempts past the end of Keys return EFI_NOT_READY.
  std::vector<KEY_ATTEMPT> Keys;
  bool HasConIn = true;
  UINTN ConInAfterStalls = 0;  // with HasConIn false: ConIn appears after this many stalls
  bool HasConOut = true;
  bool HasStdErr = true;
  EFI_STATUS ConOutStatus = EFI_SUCCESS;
  EFI_STATUS StdErrStatus = EFI_SUCCESS;
  EFI_STATUS AllocatePoolStatus = EFI_SUCCESS;
  EFI_STATUS FreePoolStatus = EFI_SUCCESS;  // returned for a pool buffer we handed out
  EFI_STATUS SetVariableStatus = EFI_SUCCESS;
  EFI_STATUS GetVariableDataStatus = EFI_SUCCESS;  // returned where GetVariable has room for the data
  // The block devices LocateHandleBuffer finds (none: EFI_NOT_FOUND).
  std::vector<STAND_IN_BLOCK_DEVICE> BlockDevices;
  bool HasDevicePathToText = true;  // LocateProtocol finds the Device Path To Text protocol
  // The image's load options, as its Loaded Image protocol hands them over
  // (empty: none), and the one page AllocatePages lends at its address.
  std::u16string LoadOptions;
  EFI_PHYSICAL_ADDRESS LendablePage = 0;

  // Record.
  std::u16string ConOut;
  std::u16string StdErr;
  UINTN ConOutCalls = 0;  // OutputString calls, failed ones included
  UINTN StdErrCalls = 0;
  UINTN ReadKeyStrokeCalls = 0;
  std::vector<UINTN> Stalls;
  // The variable store: what SetVariable recorded, and what a test put there
  // for GetVariable and GetNextVariableName, in the store's order.
  std::vector<RECORDED_VARIABLE> Variables;
  std::vector<VOID *> LivePool;
  std::vector<UINTN> AllocationSizes;
  std::vector<EFI_MEMORY_TYPE> AllocationTypes;
  UINTN FreePoolCalls = 0;
  std::vector<EFI_PHYSICAL_ADDRESS> HeldPages;  // allocated and not yet freed

  // Optional taps, called with each text as it is written (the simulator's terminal).
  void (*ConOutTap)(const std::u16string &Text) = nullptr;
  void (*StdErrTap)(const std::u16string &Text) = nullptr;
  // Optional key source, asked before the script (the simulator's keyboard).
  bool (*KeySource)(EFI_INPUT_KEY *Key) = nullptr;
  void (*StallTap)(UINTN Microseconds) = nullptr;

  EFI_SYSTEM_TABLE SystemTable{};
  EFI_BOOT_SERVICES BootServices{};
  EFI_RUNTIME_SERVICES RuntimeServices{};
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL ConInProtocol{};
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL ConOutProtocol{};
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL StdErrProtocol{};
  EFI_DEVICE_PATH_TO_TEXT_PROTOCOL ToTextProtocol{};
  EFI_LOADED_IMAGE_PROTOCOL LoadedImage{};

  FIRMWARE_STAND_IN();
  ~FIRMWARE_STAND_IN();
  FIRMWARE_STAND_IN(const FIRMWARE_STAND_IN &) = delete;
  FIRMWARE_STAND_IN &operator=(const FIRMWARE_STAND_IN &) = delete;

  // Wires the tables from the script and points the image's globals at them,
  // as ImageEntry would; for calling ConsolePrint and the reports directly.
  void Install();
  // Wires the tables and starts the image.
  EFI_STATUS StartImage();
};

// A recognisable image handle.
extern EFI_HANDLE const StandInImageHandle;

// Shorthands for scripts.
KEY_ATTEMPT KeyChar(CHAR16 Character);
KEY_ATTEMPT KeyScan(UINT16 ScanCode, CHAR16 Character = 0);
KEY_ATTEMPT KeyStatus(EFI_STATUS Status);

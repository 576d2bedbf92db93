// SPDX-License-Identifier: MIT
// UEFI base types, status codes and the firmware tables the image calls through.
//
// Layouts follow the UEFI Specification 2.10 (sections 3.1.3, 4.3 to 4.5, 7.3, 8.2,
// 10.2, 10.6, 12.3, 12.4 and 13.9).
// Every function slot of the three service tables is listed in order so that the
// offsets of the slots we call are right; slots we never call stay untyped.
#pragma once

// Declarations shared with C: C linkage from C++, plain extern from C.
#ifdef __cplusplus
#define TAMBERLUNE_EXTERN_C extern "C"
#else
#define TAMBERLUNE_EXTERN_C extern
#endif

typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef signed short INT16;
typedef signed int INT32;
typedef signed long long INT64;
// The machine's word: 64 bits on x86-64, AArch64 and RISC-V 64, 32 bits on
// IA32 and ARM, as are pointers and EFI_STATUS.
#if __SIZEOF_POINTER__ == 8
typedef UINT64 UINTN;
typedef INT64 INTN;
#else
typedef UINT32 UINTN;
typedef INT32 INTN;
#endif
typedef unsigned char BOOLEAN;
typedef char CHAR8;
#ifdef __cplusplus
typedef char16_t CHAR16;
#else
typedef UINT16 CHAR16;
#endif
typedef void VOID;
#define CONST const
#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;

// On x86-64 the UEFI calling convention is the Microsoft x64 one: the image
// is built for a Windows target where it is the default, and the host build
// asks for it explicitly. Elsewhere it is the platform's own C convention
// (cdecl on IA32, AAPCS on ARM and AArch64, the RISC-V one), which the
// Windows targets also follow for every call the firmware makes.
#if defined(_WIN32) || !defined(__x86_64__)
#define EFIAPI
#else
#define EFIAPI __attribute__((ms_abi))
#endif

// Variadic lists. The engine reads each argument by the type its directive
// names (an int, a 64-bit integer, a UINTN, a pointer or an EFI_STATUS), as
// the machine's C convention passes it, whatever a list is there.
#if defined(__x86_64__)
typedef __builtin_ms_va_list VA_LIST;
#define VA_START(Marker, Parameter) __builtin_ms_va_start(Marker, Parameter)
#define VA_END(Marker) __builtin_ms_va_end(Marker)
#else
typedef __builtin_va_list VA_LIST;
#define VA_START(Marker, Parameter) __builtin_va_start(Marker, Parameter)
#define VA_END(Marker) __builtin_va_end(Marker)
#endif
#define VA_ARG(Marker, TYPE) __builtin_va_arg(Marker, TYPE)

// EFI_STATUS's top bit: bit 63, or bit 31 on a 32-bit machine.
#define EFI_ERROR_BIT ((EFI_STATUS)1 << (sizeof(EFI_STATUS) * 8 - 1))
#define ENCODE_ERROR(Code) ((EFI_STATUS)(EFI_ERROR_BIT | (Code)))
#define EFI_ERROR(Status) (((INTN)(EFI_STATUS)(Status)) < 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_INVALID_PARAMETER ENCODE_ERROR(2)
#define EFI_UNSUPPORTED ENCODE_ERROR(3)
#define EFI_BUFFER_TOO_SMALL ENCODE_ERROR(5)
#define EFI_NOT_READY ENCODE_ERROR(6)
#define EFI_DEVICE_ERROR ENCODE_ERROR(7)
#define EFI_OUT_OF_RESOURCES ENCODE_ERROR(9)
#define EFI_NOT_FOUND ENCODE_ERROR(14)

typedef struct {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
} EFI_GUID;

typedef struct {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
} EFI_TIME;

typedef struct {
  UINT16 ScanCode;
  CHAR16 UnicodeChar;
} EFI_INPUT_KEY;

#define SCAN_ESC 0x0017

typedef struct {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
} EFI_TABLE_HEADER;

typedef enum {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
} EFI_MEMORY_TYPE;

#define EFI_VARIABLE_NON_VOLATILE 0x00000001
#define EFI_VARIABLE_BOOTSERVICE_ACCESS 0x00000002
#define EFI_VARIABLE_RUNTIME_ACCESS 0x00000004

typedef struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
typedef struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_INPUT_READ_KEY)(EFI_SIMPLE_TEXT_INPUT_PROTOCOL *This,
                                               EFI_INPUT_KEY *Key);

struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL {
  VOID *Reset;
  EFI_INPUT_READ_KEY ReadKeyStroke;
  EFI_EVENT WaitForKey;
};

typedef EFI_STATUS(EFIAPI *EFI_TEXT_STRING)(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This, CHAR16 *String);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  VOID *Reset;
  EFI_TEXT_STRING OutputString;
  VOID *TestString;
  VOID *QueryMode;
  VOID *SetMode;
  VOID *SetAttribute;
  VOID *ClearScreen;
  VOID *SetCursorPosition;
  VOID *EnableCursor;
  VOID *Mode;
};

// A device path is a run of nodes, each Type, SubType and its own Length
// (header included, little-endian, unaligned), ended by the node 7F FF.
typedef struct {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
} EFI_DEVICE_PATH_PROTOCOL;

typedef CHAR16 *(EFIAPI *EFI_DEVICE_PATH_TO_TEXT_PATH)(CONST EFI_DEVICE_PATH_PROTOCOL *DevicePath,
                                                       BOOLEAN DisplayOnly, BOOLEAN AllowShortcuts);

typedef struct {
  VOID *ConvertDeviceNodeToText;
  EFI_DEVICE_PATH_TO_TEXT_PATH ConvertDevicePathToText;
} EFI_DEVICE_PATH_TO_TEXT_PROTOCOL;

typedef struct {
  UINT32 MediaId;
  BOOLEAN RemovableMedia;
  BOOLEAN MediaPresent;
  BOOLEAN LogicalPartition;
  BOOLEAN ReadOnly;
  BOOLEAN WriteCaching;
  UINT32 BlockSize;
  UINT32 IoAlign;
  // Naturally aligned, as UEFI lays out every field, also where the C
  // convention aligns a 64-bit integer to 4 bytes (the IA32 host).
  UINT64 LastBlock __attribute__((aligned(8)));
} EFI_BLOCK_IO_MEDIA;

typedef struct {
  UINT64 Revision;
  EFI_BLOCK_IO_MEDIA *Media;
  VOID *Reset;
  VOID *ReadBlocks;
  VOID *WriteBlocks;
  VOID *FlushBlocks;
} EFI_BLOCK_IO_PROTOCOL;

typedef enum { AllHandles, ByRegisterNotify, ByProtocol } EFI_LOCATE_SEARCH_TYPE;

typedef enum { AllocateAnyPages, AllocateMaxAddress, AllocateAddress } EFI_ALLOCATE_TYPE;

typedef UINT64 EFI_PHYSICAL_ADDRESS;
#define EFI_PAGE_SIZE 4096

typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_PAGES)(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages,
                                               EFI_PHYSICAL_ADDRESS *Memory);
typedef EFI_STATUS(EFIAPI *EFI_FREE_PAGES)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_STALL)(UINTN Microseconds);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE_BUFFER)(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol,
                                                     VOID *SearchKey, UINTN *NoHandles, EFI_HANDLE **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_LOAD)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                           EFI_DEVICE_PATH_PROTOCOL *DevicePath, VOID *SourceBuffer,
                                           UINTN SourceSize, EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_UNLOAD)(EFI_HANDLE ImageHandle);

typedef struct {
  EFI_TABLE_HEADER Hdr;
  VOID *RaiseTPL;
  VOID *RestoreTPL;
  EFI_ALLOCATE_PAGES AllocatePages;
  EFI_FREE_PAGES FreePages;
  VOID *GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  VOID *CreateEvent;
  VOID *SetTimer;
  VOID *WaitForEvent;
  VOID *SignalEvent;
  VOID *CloseEvent;
  VOID *CheckEvent;
  VOID *InstallProtocolInterface;
  VOID *ReinstallProtocolInterface;
  VOID *UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  VOID *RegisterProtocolNotify;
  VOID *LocateHandle;
  VOID *LocateDevicePath;
  VOID *InstallConfigurationTable;
  EFI_IMAGE_LOAD LoadImage;
  VOID *StartImage;
  VOID *Exit;
  EFI_IMAGE_UNLOAD UnloadImage;
  VOID *ExitBootServices;
  VOID *GetNextMonotonicCount;
  EFI_STALL Stall;
  VOID *SetWatchdogTimer;
  VOID *ConnectController;
  VOID *DisconnectController;
  VOID *OpenProtocol;
  VOID *CloseProtocol;
  VOID *OpenProtocolInformation;
  VOID *ProtocolsPerHandle;
  EFI_LOCATE_HANDLE_BUFFER LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  VOID *InstallMultipleProtocolInterfaces;
  VOID *UninstallMultipleProtocolInterfaces;
  VOID *CalculateCrc32;
  VOID *CopyMem;
  VOID *SetMem;
  VOID *CreateEventEx;
} EFI_BOOT_SERVICES;

// What the firmware's image loader knows of a loaded image: on
// The loaded image protocol (gEfiLoadedImageProtocolGuid, UefiGuids.h).
typedef struct {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  VOID *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;  // in bytes
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize __attribute__((aligned(8)));
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_IMAGE_UNLOAD Unload;
} EFI_LOADED_IMAGE_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_SET_VARIABLE)(CHAR16 *VariableName, EFI_GUID *VendorGuid,
                                             UINT32 Attributes, UINTN DataSize, VOID *Data);

typedef EFI_STATUS(EFIAPI *EFI_GET_VARIABLE)(CHAR16 *VariableName, EFI_GUID *VendorGuid, UINT32 *Attributes,
                                             UINTN *DataSize, VOID *Data);
typedef EFI_STATUS(EFIAPI *EFI_GET_NEXT_VARIABLE_NAME)(UINTN *VariableNameSize, CHAR16 *VariableName,
                                                       EFI_GUID *VendorGuid);

typedef struct {
  EFI_TABLE_HEADER Hdr;
  VOID *GetTime;
  VOID *SetTime;
  VOID *GetWakeupTime;
  VOID *SetWakeupTime;
  VOID *SetVirtualAddressMap;
  VOID *ConvertPointer;
  EFI_GET_VARIABLE GetVariable;
  EFI_GET_NEXT_VARIABLE_NAME GetNextVariableName;
  EFI_SET_VARIABLE SetVariable;
  VOID *GetNextHighMonotonicCount;
  VOID *ResetSystem;
  VOID *UpdateCapsule;
  VOID *QueryCapsuleCapabilities;
  VOID *QueryVariableInfo;
} EFI_RUNTIME_SERVICES;

typedef struct {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  VOID *ConfigurationTable;
} EFI_SYSTEM_TABLE;

#ifdef __cplusplus
#include <stddef.h>
// The engine reads text a byte at a time and the firmware hands us 2-byte
// CHAR16 strings on a little-endian machine; pin both and the table offsets,
// for the 64-bit layout and, on IA32 and ARM, the 32-bit one.
#define TAMBERLUNE_WIDTH(Bits64, Bits32) (sizeof(VOID *) == 8 ? (Bits64) : (Bits32))
static_assert(sizeof(CHAR16) == 2 && sizeof(UINTN) == sizeof(VOID *) && sizeof(EFI_STATUS) == sizeof(UINTN));
static_assert(sizeof(VOID *) == 8 || sizeof(VOID *) == 4);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
static_assert(sizeof(EFI_GUID) == 16 && sizeof(EFI_TIME) == 16 && sizeof(EFI_INPUT_KEY) == 4);
static_assert(offsetof(EFI_SYSTEM_TABLE, ConIn) == TAMBERLUNE_WIDTH(48, 36));
static_assert(offsetof(EFI_SYSTEM_TABLE, ConOut) == TAMBERLUNE_WIDTH(64, 44));
static_assert(offsetof(EFI_SYSTEM_TABLE, StdErr) == TAMBERLUNE_WIDTH(80, 52));
static_assert(offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == TAMBERLUNE_WIDTH(88, 56));
static_assert(offsetof(EFI_SYSTEM_TABLE, BootServices) == TAMBERLUNE_WIDTH(96, 60));
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePool) == TAMBERLUNE_WIDTH(64, 44));
static_assert(offsetof(EFI_BOOT_SERVICES, FreePool) == TAMBERLUNE_WIDTH(72, 48));
static_assert(offsetof(EFI_BOOT_SERVICES, Stall) == TAMBERLUNE_WIDTH(248, 136));
static_assert(offsetof(EFI_BOOT_SERVICES, HandleProtocol) == TAMBERLUNE_WIDTH(152, 88));
static_assert(offsetof(EFI_BOOT_SERVICES, LocateHandleBuffer) == TAMBERLUNE_WIDTH(312, 168));
static_assert(offsetof(EFI_BOOT_SERVICES, LocateProtocol) == TAMBERLUNE_WIDTH(320, 172));
static_assert(offsetof(EFI_BOOT_SERVICES, AllocatePages) == TAMBERLUNE_WIDTH(40, 32));
static_assert(sizeof(EFI_BOOT_SERVICES) == 24 + 44 * sizeof(VOID *));
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptionsSize) == TAMBERLUNE_WIDTH(48, 24));
static_assert(offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptions) == TAMBERLUNE_WIDTH(56, 28));
static_assert(offsetof(EFI_RUNTIME_SERVICES, GetVariable) == TAMBERLUNE_WIDTH(72, 48));
static_assert(offsetof(EFI_RUNTIME_SERVICES, SetVariable) == TAMBERLUNE_WIDTH(88, 56));
static_assert(sizeof(EFI_RUNTIME_SERVICES) == 24 + 14 * sizeof(VOID *));
static_assert(offsetof(EFI_BLOCK_IO_MEDIA, BlockSize) == 12 && offsetof(EFI_BLOCK_IO_MEDIA, LastBlock) == 24);
static_assert(offsetof(EFI_BLOCK_IO_PROTOCOL, Media) == 8);
static_assert(sizeof(EFI_DEVICE_PATH_PROTOCOL) == 4);
static_assert(offsetof(EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL, OutputString) == TAMBERLUNE_WIDTH(8, 4));
static_assert(offsetof(EFI_SIMPLE_TEXT_INPUT_PROTOCOL, ReadKeyStroke) == TAMBERLUNE_WIDTH(8, 4));
#undef TAMBERLUNE_WIDTH
#endif

// The firmware interfaces that the testbed's stand-ins use beyond the ones the
// driver needs: the standard SMBIOS protocol record that OVMF installs, the
// published SMBIOS entry points, the loaded-image, file-system and text-output
// protocols. Written from the UEFI 2.x and PI 1.x specifications and the
// SMBIOS 3.x reference; only the members used here are typed, every other
// member keeps its slot so that each one sits at its standard offset.
#pragma once

#include "platform/Uefi.h"

// ---- SMBIOS protocol (PI volume 5) ----------------------------------------

typedef UINT16 EFI_SMBIOS_HANDLE;
typedef UINT8 EFI_SMBIOS_TYPE;

// Asks Add for a fresh handle, and starts a GetNext walk.
#define SMBIOS_HANDLE_PI_RESERVED ((EFI_SMBIOS_HANDLE)0xFFFE)

#define SMBIOS_TYPE_END_OF_TABLE 127

struct EFI_SMBIOS_TABLE_HEADER {
  EFI_SMBIOS_TYPE Type;
  UINT8 Length;
  EFI_SMBIOS_HANDLE Handle;
};

struct EFI_SMBIOS_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_SMBIOS_ADD)(IN CONST EFI_SMBIOS_PROTOCOL *This,
                                           IN EFI_HANDLE ProducerHandle OPTIONAL,
                                           IN OUT EFI_SMBIOS_HANDLE *SmbiosHandle,
                                           IN EFI_SMBIOS_TABLE_HEADER *Record);
typedef EFI_STATUS(EFIAPI *EFI_SMBIOS_UPDATE_STRING)(IN CONST EFI_SMBIOS_PROTOCOL *This,
                                                     IN EFI_SMBIOS_HANDLE *SmbiosHandle,
                                                     IN UINTN *StringNumber, IN CHAR8 *String);
typedef EFI_STATUS(EFIAPI *EFI_SMBIOS_REMOVE)(IN CONST EFI_SMBIOS_PROTOCOL *This,
                                              IN EFI_SMBIOS_HANDLE SmbiosHandle);
typedef EFI_STATUS(EFIAPI *EFI_SMBIOS_GET_NEXT)(IN CONST EFI_SMBIOS_PROTOCOL *This,
                                                IN OUT EFI_SMBIOS_HANDLE *SmbiosHandle,
                                                IN EFI_SMBIOS_TYPE *Type OPTIONAL,
                                                OUT EFI_SMBIOS_TABLE_HEADER **Record,
                                                OUT EFI_HANDLE *ProducerHandle OPTIONAL);

struct EFI_SMBIOS_PROTOCOL {
  EFI_SMBIOS_ADD Add;
  EFI_SMBIOS_UPDATE_STRING UpdateString;
  EFI_SMBIOS_REMOVE Remove;
  EFI_SMBIOS_GET_NEXT GetNext;
  UINT8 MajorVersion;
  UINT8 MinorVersion;
};

static_assert(__builtin_offsetof(EFI_SMBIOS_PROTOCOL, GetNext) == 24, "GetNext slot");
static_assert(__builtin_offsetof(EFI_SMBIOS_PROTOCOL, MajorVersion) == 32, "version bytes");
static_assert(sizeof(EFI_SMBIOS_PROTOCOL) == 40, "PI SMBIOS protocol record");

// ---- Published SMBIOS table (configuration table entries) -----------------

// SMBIOS_TABLE_GUID: the 2.x ("_SM_") entry point.
#define TESTBED_SMBIOS_TABLE_GUID                                                  \
  {                                                                                \
    0xEB9D2D31, 0x2D88, 0x11D3, { 0x9A, 0x16, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D } \
  }
// SMBIOS3_TABLE_GUID: the 3.0 ("_SM3_") entry point.
#define TESTBED_SMBIOS3_TABLE_GUID                                                 \
  {                                                                                \
    0xF2FD1544, 0x9794, 0x4A2C, { 0x99, 0x2E, 0xE5, 0xBB, 0xCF, 0x20, 0xE3, 0x94 } \
  }

// ---- Loaded image ---------------------------------------------------------

#define TESTBED_LOADED_IMAGE_PROTOCOL_GUID                                         \
  {                                                                                \
    0x5B1B31A1, 0x9562, 0x11D2, { 0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B } \
  }

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  VOID *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  VOID *Unload;
};

static_assert(__builtin_offsetof(EFI_LOADED_IMAGE_PROTOCOL, DeviceHandle) == 24, "device");
static_assert(__builtin_offsetof(EFI_LOADED_IMAGE_PROTOCOL, LoadOptions) == 56, "options");

// ---- Simple file system and file ------------------------------------------

#define TESTBED_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID                                   \
  {                                                                                \
    0x964E5B22, 0x6459, 0x11D2, { 0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B } \
  }

#define EFI_FILE_MODE_READ 0x0000000000000001ULL
#define EFI_FILE_MODE_WRITE 0x0000000000000002ULL
#define EFI_FILE_MODE_CREATE 0x8000000000000000ULL

struct EFI_FILE_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_FILE_OPEN)(IN EFI_FILE_PROTOCOL *This,
                                          OUT EFI_FILE_PROTOCOL **NewHandle, IN CHAR16 *FileName,
                                          IN UINT64 OpenMode, IN UINT64 Attributes);
typedef EFI_STATUS(EFIAPI *EFI_FILE_CLOSE)(IN EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_DELETE)(IN EFI_FILE_PROTOCOL *This);
typedef EFI_STATUS(EFIAPI *EFI_FILE_WRITE)(IN EFI_FILE_PROTOCOL *This, IN OUT UINTN *BufferSize,
                                           IN VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FILE_FLUSH)(IN EFI_FILE_PROTOCOL *This);

struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_FILE_OPEN Open;
  EFI_FILE_CLOSE Close;
  EFI_FILE_DELETE Delete;
  VOID *Read;
  EFI_FILE_WRITE Write;
  VOID *GetPosition;
  VOID *SetPosition;
  VOID *GetInfo;
  VOID *SetInfo;
  EFI_FILE_FLUSH Flush;
};

static_assert(__builtin_offsetof(EFI_FILE_PROTOCOL, Write) == 40, "Write slot");
static_assert(__builtin_offsetof(EFI_FILE_PROTOCOL, Flush) == 80, "Flush slot");

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL;

typedef EFI_STATUS(EFIAPI *EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME)(
    IN EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, OUT EFI_FILE_PROTOCOL **Root);

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_OPEN_VOLUME OpenVolume;
};

// ---- Simple text output ---------------------------------------------------

typedef EFI_STATUS(EFIAPI *EFI_TEXT_STRING)(IN EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *This,
                                            IN CHAR16 *String);

struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL {
  VOID *Reset;
  EFI_TEXT_STRING OutputString;
};

// ---- Event groups (UEFI 2.x CreateEventEx; PI volume 2 End-of-DXE) ---------

typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT_EX)(IN UINT32 Type, IN EFI_TPL NotifyTpl,
                                                IN EFI_EVENT_NOTIFY NotifyFunction,
                                                IN CONST VOID *NotifyContext,
                                                IN CONST EFI_GUID *EventGroup,
                                                OUT EFI_EVENT *Event);

// Signalled by the platform once every driver of the firmware volumes has
// been dispatched, before consoles and boot options.
#define EFI_END_OF_DXE_EVENT_GROUP_GUID                                            \
  {                                                                                \
    0x02CE967A, 0xDD7E, 0x4FFC, { 0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80 } \
  }

// ---- Task priority levels ---------------------------------------------------
// The boot-services table keeps these two slots untyped, as the driver does
// not use them.

typedef EFI_TPL(EFIAPI *EFI_RAISE_TPL)(IN EFI_TPL NewTpl);
typedef VOID(EFIAPI *EFI_RESTORE_TPL)(IN EFI_TPL OldTpl);

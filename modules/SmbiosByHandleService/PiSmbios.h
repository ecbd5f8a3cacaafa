// The PI SMBIOS protocol record and the published table's configuration
// GUIDs, written from the PI 1.x (volume 5) and UEFI 2.x specifications; only
// the members used here are typed, every other keeps its standard offset.
#pragma once

#include "platform/Uefi.h"

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
#define SMBIOS_TABLE_GUID                                                          \
  {                                                                                \
    0xEB9D2D31, 0x2D88, 0x11D3, { 0x9A, 0x16, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D } \
  }
// SMBIOS3_TABLE_GUID: the 3.0 ("_SM3_") entry point.
#define SMBIOS3_TABLE_GUID                                                         \
  {                                                                                \
    0xF2FD1544, 0x9794, 0x4A2C, { 0x99, 0x2E, 0xE5, 0xBB, 0xCF, 0x20, 0xE3, 0x94 } \
  }

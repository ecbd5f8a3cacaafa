// The platform's SMBIOS table service as this driver sees it. The target
// firmware installs a longer record than the four-function one of the PI
// specification under the same GUID; the driver calls two of its entries and
// treats every other entry as opaque.
#pragma once

#include "platform/Uefi.h"

// Neither entry takes the interface pointer: the first argument is the
// structure handle.
typedef EFI_STATUS(EFIAPI *SMBIOS_READ_STRUCTURE_BY_HANDLE)(IN UINT16 Handle, OUT UINT8 **Structure,
                                                            OUT UINT16 *Size);
typedef EFI_STATUS(EFIAPI *SMBIOS_WRITE_STRUCTURE_BY_HANDLE)(IN UINT16 Handle,
                                                             IN CONST UINT8 *Buffer,
                                                             IN UINT16 Size);

struct SMBIOS_TABLE_SERVICE {
  VOID *Entry0To11[12];  // the standard members and vendor entries
  SMBIOS_READ_STRUCTURE_BY_HANDLE ReadStructureByHandle;
  VOID *Entry13;
  SMBIOS_WRITE_STRUCTURE_BY_HANDLE WriteStructureByHandle;
};

static_assert(__builtin_offsetof(SMBIOS_TABLE_SERVICE, ReadStructureByHandle) == 96,
              "ReadStructureByHandle is entry 12");
static_assert(__builtin_offsetof(SMBIOS_TABLE_SERVICE, WriteStructureByHandle) == 112,
              "WriteStructureByHandle is entry 14");

// EFI_SMBIOS_PROTOCOL_GUID of the PI specification.
extern EFI_GUID SmbiosServiceGuid;

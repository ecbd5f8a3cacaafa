// The two by-handle entries that the target firmware's SMBIOS table service
// offers beyond the standard record, built on the standard protocol that OVMF
// installs. The standard protocol keeps the structures; these entries only
// find and replace them.
#pragma once

#include "packaging/modules/SmbiosByHandleService/PiSmbios.h"
#include "platform/SmbiosTableService.h"

struct ADAPTER_STATE {
  EFI_SMBIOS_PROTOCOL *Standard;    // OVMF's record, called with its own This
  EFI_BOOT_SERVICES *BootServices;  // pool for the copy kept while replacing
  UINT16 EndOfTableHandle;          // as the published table gives it
  UINT8 EndOfTable[6];              // presented under that handle
};

extern ADAPTER_STATE AdapterState;

// Records the standard protocol and the End-of-Table handle of the published
// table; must run before either entry is called.
VOID InitAdapterState(IN EFI_SMBIOS_PROTOCOL *Standard, IN EFI_BOOT_SERVICES *BootServices,
                      IN UINT16 EndOfTableHandle);

// Points *Structure at the structure held under Handle and sets *Size to its
// whole size. The standard walk never yields End-of-Table, so that structure
// is presented under EndOfTableHandle unless the protocol holds one itself.
// EFI_INVALID_PARAMETER for a null output pointer; EFI_NOT_FOUND when no
// structure has that handle.
EFI_STATUS EFIAPI AdapterReadStructureByHandle(IN UINT16 Handle, OUT UINT8 **Structure,
                                               OUT UINT16 *Size);

// Replaces the structure held under Handle by exactly Size bytes from Buffer,
// keeping its handle, type and producer; the firmware then republishes the
// table. On any error the table is left as it was:
//   EFI_INVALID_PARAMETER  null buffer, a header shorter than 4 bytes, a
//                          header handle other than Handle, a type other than
//                          the held structure's, no closing zero pair
//   EFI_BAD_BUFFER_SIZE    Size is not the size that the bytes describe
//   EFI_NOT_FOUND          no structure has that handle
//   EFI_ACCESS_DENIED      End-of-Table, which the firmware itself appends
//   others                 the standard protocol's or the pool's own status
//                          (a failed Add puts the held structure back)
EFI_STATUS EFIAPI AdapterWriteStructureByHandle(IN UINT16 Handle, IN CONST UINT8 *Buffer,
                                                IN UINT16 Size);

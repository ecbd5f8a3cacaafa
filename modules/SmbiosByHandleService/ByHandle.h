// The two by-handle entries that a board's SMBIOS table service offers beyond
// the standard record, built here on the standard record that EDK II's
// SmbiosDxe installs. SmbiosDxe keeps the structures; these entries only find
// and replace them.
#pragma once

#include "modules/SmbiosByHandleService/PiSmbios.h"
#include "platform/SmbiosTableService.h"

struct BY_HANDLE_SERVICE {
  EFI_SMBIOS_PROTOCOL *Standard;    // SmbiosDxe's record, called with its own This
  EFI_BOOT_SERVICES *BootServices;  // pool for the copy kept while replacing
  UINT16 EndOfTableHandle;          // as the published table gives it
  UINT8 EndOfTable[6];              // presented under that handle
};

extern BY_HANDLE_SERVICE ByHandleService;

// Records the standard record and the End-of-Table handle of the published
// table and binds the handle index to the record (HandleIndex.h); must run
// before either entry is called.
VOID InitByHandleService(IN EFI_SMBIOS_PROTOCOL *Standard, IN EFI_BOOT_SERVICES *BootServices,
                         IN UINT16 EndOfTableHandle);

// Presents End-of-Table under EndOfTableHandle from now on.
VOID SetEndOfTableHandle(IN UINT16 EndOfTableHandle);

// Points *Structure at the structure held under Handle and sets *Size to its
// whole size. SmbiosDxe's walk never yields End-of-Table, so that structure
// is presented under EndOfTableHandle unless the record holds one itself;
// EndOfTableHandle 0xFFFF, which no structure can have (the table is not
// published yet), presents none.
//   EFI_INVALID_PARAMETER  a null output pointer, or the service not initialised
//   EFI_NOT_FOUND          no structure has that handle
//   EFI_BAD_BUFFER_SIZE    the structure is longer than Size can express
EFI_STATUS EFIAPI SmbiosReadStructureByHandle(IN UINT16 Handle, OUT UINT8 **Structure,
                                              OUT UINT16 *Size);

// Replaces the structure held under Handle by exactly Size bytes from Buffer,
// keeping its handle, type and producer; SmbiosDxe then republishes the
// table. Where only strings differ (same Length, formatted area and number
// of strings) they are replaced one by one with UpdateString and the
// structure keeps its place in the table; otherwise it is removed and added
// again, which moves it to the end. On any error the table holds the
// structure as it was:
//   EFI_NOT_READY          the service is not initialised
//   EFI_INVALID_PARAMETER  null buffer, a header shorter than 4 bytes, a
//                          header handle other than Handle, a type other than
//                          the held structure's, no closing zero pair, an
//                          empty first string
//   EFI_BAD_BUFFER_SIZE    Size is not the size that the bytes describe, or
//                          the held structure is longer than Size can express
//   EFI_NOT_FOUND          no structure has that handle
//   EFI_ACCESS_DENIED      End-of-Table, which SmbiosDxe itself appends
//   EFI_UNSUPPORTED        a string of 64 characters or more in a table of
//                          SMBIOS before 2.7
//   others                 SmbiosDxe's or the pool's own status: the strings
//                          already replaced are put back (if SmbiosDxe refuses
//                          that too, the held structure is removed and added
//                          again); a refused Add puts the held structure back.
//                          Only if SmbiosDxe refuses that Add as well (its
//                          pool allocation failing right after Remove freed
//                          the structure's own pool) is the structure lost
EFI_STATUS EFIAPI SmbiosWriteStructureByHandle(IN UINT16 Handle, IN CONST UINT8 *Buffer,
                                               IN UINT16 Size);

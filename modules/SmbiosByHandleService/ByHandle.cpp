#include "modules/SmbiosByHandleService/ByHandle.h"
#include "platform/Platform.h"

#include "modules/SmbiosByHandleService/HandleIndex.h"
#include "modules/SmbiosByHandleService/Replace.h"
#include "modules/SmbiosByHandleService/SmbiosTable.h"

BY_HANDLE_SERVICE ByHandleService;

// The largest structure the 16-bit sizes of both entries can express.
static CONST UINT32 MaxStructureSize = 0xFFFF;

// The End-of-Table handle before a published table gave one: a value SMBIOS
// reserves, so no structure has it and no End-of-Table is presented.
static CONST UINT16 NoEndOfTable = 0xFFFF;

VOID InitByHandleService(IN EFI_SMBIOS_PROTOCOL *Standard, IN EFI_BOOT_SERVICES *BootServices,
                         IN UINT16 EndOfTableHandle) {
  ByHandleService.Standard = Standard;
  ByHandleService.BootServices = BootServices;
  InitHandleIndex(Standard, BootServices);
  SetEndOfTableHandle(EndOfTableHandle);
}

VOID SetEndOfTableHandle(IN UINT16 EndOfTableHandle) {
  ByHandleService.EndOfTableHandle = EndOfTableHandle;
  ByHandleService.EndOfTable[0] = SMBIOS_TYPE_END_OF_TABLE;
  ByHandleService.EndOfTable[1] = 4;
  ByHandleService.EndOfTable[2] = (UINT8)EndOfTableHandle;
  ByHandleService.EndOfTable[3] = (UINT8)(EndOfTableHandle >> 8);
  ByHandleService.EndOfTable[4] = 0;
  ByHandleService.EndOfTable[5] = 0;
}

EFI_STATUS EFIAPI SmbiosReadStructureByHandle(IN UINT16 Handle, OUT UINT8 **Structure,
                                              OUT UINT16 *Size) {
  if (Structure == nullptr || Size == nullptr || ByHandleService.Standard == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_SMBIOS_TABLE_HEADER *Record = FindStructure(Handle, nullptr);
  if (Record != nullptr) {
    UINT32 Measured = MeasureStructure((CONST UINT8 *)Record, MaxStructureSize);
    if (Measured == 0) {
      return EFI_BAD_BUFFER_SIZE;
    }
    *Structure = (UINT8 *)Record;
    *Size = (UINT16)Measured;
    return EFI_SUCCESS;
  }
  if (Handle == ByHandleService.EndOfTableHandle && Handle != NoEndOfTable) {
    *Structure = ByHandleService.EndOfTable;
    *Size = sizeof(ByHandleService.EndOfTable);
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
}

// Before SMBIOS 2.7 a string holds at most 63 characters. SmbiosDxe's Add
// refuses a longer one, but its UpdateString takes 64 and then publishes the
// structure cut short at that string, so the check is made here.
static BOOLEAN StringsFitVersion(IN CONST UINT8 *Structure, IN UINT32 Size) {
  CONST EFI_SMBIOS_PROTOCOL *Standard = ByHandleService.Standard;
  if (((UINT32)Standard->MajorVersion << 8 | Standard->MinorVersion) >= 0x0207) {
    return TRUE;
  }
  UINT32 Run = 0;
  for (UINT32 Position = Structure[1]; Position < Size; Position++) {
    Run = Structure[Position] == 0 ? 0 : Run + 1;
    if (Run >= 64) {
      return FALSE;
    }
  }
  return TRUE;
}

// Everything about the new bytes that can be checked without the firmware.
static EFI_STATUS CheckReplacement(IN UINT16 Handle, IN CONST UINT8 *Buffer, IN UINT16 Size) {
  if (Buffer == nullptr || Size < 6 || Buffer[1] < 4 || Buffer[1] > Size - 2) {
    return EFI_INVALID_PARAMETER;
  }
  if ((UINT16)(Buffer[2] | (Buffer[3] << 8)) != Handle) {
    return EFI_INVALID_PARAMETER;
  }
  if (Buffer[0] == SMBIOS_TYPE_END_OF_TABLE) {
    return EFI_ACCESS_DENIED;
  }
  if (StartsWithEmptyString(Buffer)) {
    return EFI_INVALID_PARAMETER;
  }
  UINT32 Described = MeasureStructure(Buffer, Size);
  if (Described == 0) {
    return EFI_INVALID_PARAMETER;
  }
  if (Described != Size) {
    return EFI_BAD_BUFFER_SIZE;
  }
  return StringsFitVersion(Buffer, Size) ? EFI_SUCCESS : EFI_UNSUPPORTED;
}

EFI_STATUS EFIAPI SmbiosWriteStructureByHandle(IN UINT16 Handle, IN CONST UINT8 *Buffer,
                                               IN UINT16 Size) {
  if (ByHandleService.Standard == nullptr) {
    return EFI_NOT_READY;
  }
  if (Handle == ByHandleService.EndOfTableHandle) {
    return EFI_ACCESS_DENIED;
  }
  EFI_STATUS Status = CheckReplacement(Handle, Buffer, Size);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  REPLACEMENT Replacement = {ByHandleService.Standard, Handle, nullptr, nullptr, 0, Buffer, Size};
  EFI_SMBIOS_TABLE_HEADER *Held = FindStructure(Handle, &Replacement.Producer);
  if (Held == nullptr) {
    return EFI_NOT_FOUND;
  }
  if (Held->Type != Buffer[0]) {
    return EFI_INVALID_PARAMETER;
  }
  Replacement.HeldSize = MeasureStructure((CONST UINT8 *)Held, MaxStructureSize);
  if (Replacement.HeldSize == 0) {
    return EFI_BAD_BUFFER_SIZE;
  }

  // SmbiosDxe frees the held structure when it resizes or removes it, so
  // keep a copy to put back if it refuses the new one.
  UINT8 *Saved = nullptr;
  EFI_BOOT_SERVICES *BootServices = ByHandleService.BootServices;
  Status = BootServices->AllocatePool(EfiBootServicesData, Replacement.HeldSize, (VOID **)&Saved);
  if (EFI_ERROR(Status) || Saved == nullptr) {
    return EFI_ERROR(Status) ? Status : EFI_OUT_OF_RESOURCES;
  }
  CopyBytes(Saved, (CONST UINT8 *)Held, Replacement.HeldSize);
  Replacement.Held = Saved;
  Status =
      OnlyStringsDiffer(&Replacement) ? ReplaceStrings(&Replacement) : ReplaceWhole(&Replacement);
  // Called at TPL_NOTIFY, SmbiosDxe's republishing notifies nobody yet.
  MarkHandleIndexStale();
  BootServices->FreePool(Saved);
  return Status;
}

#include "packaging/modules/SmbiosByHandleService/ByHandle.h"
#include "platform/Platform.h"

#include "packaging/modules/SmbiosByHandleService/SmbiosTable.h"

ADAPTER_STATE AdapterState;

VOID InitAdapterState(IN EFI_SMBIOS_PROTOCOL *Standard, IN EFI_BOOT_SERVICES *BootServices,
                      IN UINT16 EndOfTableHandle) {
  AdapterState.Standard = Standard;
  AdapterState.BootServices = BootServices;
  AdapterState.EndOfTableHandle = EndOfTableHandle;
  AdapterState.EndOfTable[0] = SMBIOS_TYPE_END_OF_TABLE;
  AdapterState.EndOfTable[1] = 4;
  AdapterState.EndOfTable[2] = (UINT8)EndOfTableHandle;
  AdapterState.EndOfTable[3] = (UINT8)(EndOfTableHandle >> 8);
  AdapterState.EndOfTable[4] = 0;
  AdapterState.EndOfTable[5] = 0;
}

// The standard walk is the only way to reach a structure by its handle.
static EFI_SMBIOS_TABLE_HEADER *FindHeld(IN UINT16 Handle, OUT EFI_HANDLE *Producer) {
  EFI_SMBIOS_PROTOCOL *Standard = AdapterState.Standard;
  EFI_SMBIOS_HANDLE Cursor = SMBIOS_HANDLE_PI_RESERVED;
  EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
  EFI_HANDLE RecordProducer = nullptr;
  // Bounded: a protocol holds at most one structure per handle value.
  for (UINT32 Step = 0; Step < 0x10000; Step++) {
    if (EFI_ERROR(Standard->GetNext(Standard, &Cursor, nullptr, &Record, &RecordProducer)) ||
        Record == nullptr) {
      return nullptr;
    }
    if (Record->Handle == Handle) {
      if (Producer != nullptr) {
        *Producer = RecordProducer;
      }
      return Record;
    }
  }
  return nullptr;
}

EFI_STATUS EFIAPI AdapterReadStructureByHandle(IN UINT16 Handle, OUT UINT8 **Structure,
                                               OUT UINT16 *Size) {
  if (Structure == nullptr || Size == nullptr || AdapterState.Standard == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  EFI_SMBIOS_TABLE_HEADER *Record = FindHeld(Handle, nullptr);
  if (Record != nullptr) {
    *Structure = (UINT8 *)Record;
    *Size = (UINT16)MeasureStructure((CONST UINT8 *)Record, 0xFFFF);
    return EFI_SUCCESS;
  }
  if (Handle == AdapterState.EndOfTableHandle) {
    *Structure = AdapterState.EndOfTable;
    *Size = sizeof(AdapterState.EndOfTable);
    return EFI_SUCCESS;
  }
  return EFI_NOT_FOUND;
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
  UINT32 Described = MeasureStructure(Buffer, Size);
  if (Described == 0) {
    return EFI_INVALID_PARAMETER;
  }
  return Described == Size ? EFI_SUCCESS : EFI_BAD_BUFFER_SIZE;
}

EFI_STATUS EFIAPI AdapterWriteStructureByHandle(IN UINT16 Handle, IN CONST UINT8 *Buffer,
                                                IN UINT16 Size) {
  if (AdapterState.Standard == nullptr) {
    return EFI_NOT_READY;
  }
  if (Handle == AdapterState.EndOfTableHandle) {
    return EFI_ACCESS_DENIED;
  }
  EFI_STATUS Status = CheckReplacement(Handle, Buffer, Size);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_HANDLE Producer = nullptr;
  EFI_SMBIOS_TABLE_HEADER *Held = FindHeld(Handle, &Producer);
  if (Held == nullptr) {
    return EFI_NOT_FOUND;
  }
  if (Held->Type != Buffer[0]) {
    return EFI_INVALID_PARAMETER;
  }

  // Remove frees the held structure, so keep a copy to put back if the
  // firmware refuses the new one.
  UINT32 HeldSize = MeasureStructure((CONST UINT8 *)Held, 0xFFFF);
  UINT8 *Saved = nullptr;
  Status = AdapterState.BootServices->AllocatePool(EfiBootServicesData, HeldSize, (VOID **)&Saved);
  if (EFI_ERROR(Status) || Saved == nullptr) {
    return EFI_ERROR(Status) ? Status : EFI_OUT_OF_RESOURCES;
  }
  CopyBytes(Saved, (CONST UINT8 *)Held, HeldSize);

  EFI_SMBIOS_PROTOCOL *Standard = AdapterState.Standard;
  Status = Standard->Remove(Standard, Handle);
  if (!EFI_ERROR(Status)) {
    EFI_SMBIOS_HANDLE NewHandle = Handle;
    Status = Standard->Add(Standard, Producer, &NewHandle, (EFI_SMBIOS_TABLE_HEADER *)Buffer);
    if (EFI_ERROR(Status)) {
      EFI_SMBIOS_HANDLE OldHandle = Handle;
      Standard->Add(Standard, Producer, &OldHandle, (EFI_SMBIOS_TABLE_HEADER *)Saved);
    }
  }
  AdapterState.BootServices->FreePool(Saved);
  return Status;
}

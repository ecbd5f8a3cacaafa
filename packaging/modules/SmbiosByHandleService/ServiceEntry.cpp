// Boot-service driver that gives a stock EDK II platform the SMBIOS table
// service the board-name driver calls: it takes the standard record that
// EDK II's SmbiosDxe installs, builds the longer record (standard members
// first, the by-handle entries at entries 12 and 14) and reinstalls it on the
// same handle, so that every lookup under the SMBIOS service GUID finds it.
// It writes nothing to the console.
#include "packaging/modules/SmbiosByHandleService/ByHandle.h"
#include "packaging/modules/SmbiosByHandleService/SmbiosTable.h"
#include "platform/Platform.h"
#include "platform/SmbiosTableService.h"

struct TARGET_SMBIOS_SERVICE {
  EFI_SMBIOS_PROTOCOL Standard;  // entries 0 to 4, so existing consumers keep working
  VOID *VendorEntries[7];        // entries 5 to 11: vendor services this board lacks
  SMBIOS_READ_STRUCTURE_BY_HANDLE ReadStructureByHandle;
  VOID *Entry13;
  SMBIOS_WRITE_STRUCTURE_BY_HANDLE WriteStructureByHandle;
};

static_assert(__builtin_offsetof(TARGET_SMBIOS_SERVICE, VendorEntries) == 5 * sizeof(VOID *),
              "vendor entries follow the standard record");
static_assert(__builtin_offsetof(TARGET_SMBIOS_SERVICE, ReadStructureByHandle) ==
                  __builtin_offsetof(SMBIOS_TABLE_SERVICE, ReadStructureByHandle),
              "read entry where the driver calls it");
static_assert(__builtin_offsetof(TARGET_SMBIOS_SERVICE, WriteStructureByHandle) ==
                  __builtin_offsetof(SMBIOS_TABLE_SERVICE, WriteStructureByHandle),
              "write entry where the driver calls it");

// OVMF finds its private data from This, so the standard members of the new
// record forward to the original record with the original This.
static EFI_STATUS EFIAPI ForwardAdd(IN CONST EFI_SMBIOS_PROTOCOL *, IN EFI_HANDLE Producer,
                                    IN OUT EFI_SMBIOS_HANDLE *Handle,
                                    IN EFI_SMBIOS_TABLE_HEADER *Record) {
  return AdapterState.Standard->Add(AdapterState.Standard, Producer, Handle, Record);
}

static EFI_STATUS EFIAPI ForwardUpdateString(IN CONST EFI_SMBIOS_PROTOCOL *,
                                             IN EFI_SMBIOS_HANDLE *Handle, IN UINTN *Number,
                                             IN CHAR8 *String) {
  return AdapterState.Standard->UpdateString(AdapterState.Standard, Handle, Number, String);
}

static EFI_STATUS EFIAPI ForwardRemove(IN CONST EFI_SMBIOS_PROTOCOL *,
                                       IN EFI_SMBIOS_HANDLE Handle) {
  return AdapterState.Standard->Remove(AdapterState.Standard, Handle);
}

static EFI_STATUS EFIAPI ForwardGetNext(IN CONST EFI_SMBIOS_PROTOCOL *,
                                        IN OUT EFI_SMBIOS_HANDLE *Handle, IN EFI_SMBIOS_TYPE *Type,
                                        OUT EFI_SMBIOS_TABLE_HEADER **Record,
                                        OUT EFI_HANDLE *Producer) {
  return AdapterState.Standard->GetNext(AdapterState.Standard, Handle, Type, Record, Producer);
}

// Any entry this stand-in does not offer answers instead of jumping to null.
static EFI_STATUS EFIAPI UnsupportedEntry() { return EFI_UNSUPPORTED; }

// Dispatched from the firmware volume, the adapter can start before the
// platform has added any structure, so no table is published yet. The
// End-of-Table handle is then taken from the table at the first read that
// finds it published; the reads come from the trigger, late in boot.
static EFI_SYSTEM_TABLE *System;
static BOOLEAN EndOfTableKnown;

static BOOLEAN SummarizePublishedTable(OUT TABLE_SUMMARY *Summary) {
  PUBLISHED_TABLE Published;
  return LocatePublishedTable(System, &Published) &&
         SummarizeTable(Published.Table, Published.TableLength, Summary);
}

static EFI_STATUS EFIAPI ReadOnceTablePublished(IN UINT16 Handle, OUT UINT8 **Structure,
                                                OUT UINT16 *Size) {
  TABLE_SUMMARY Summary;
  if (!EndOfTableKnown && SummarizePublishedTable(&Summary)) {
    InitAdapterState(AdapterState.Standard, AdapterState.BootServices, Summary.EndOfTableHandle);
    EndOfTableKnown = TRUE;
  }
  return AdapterReadStructureByHandle(Handle, Structure, Size);
}

static TARGET_SMBIOS_SERVICE TargetService;
static EFI_GUID ServiceGuid;  // a writable copy: the boot services take a non-const GUID

static VOID BuildTargetService(IN EFI_SMBIOS_PROTOCOL *Standard) {
  TargetService.Standard.Add = ForwardAdd;
  TargetService.Standard.UpdateString = ForwardUpdateString;
  TargetService.Standard.Remove = ForwardRemove;
  TargetService.Standard.GetNext = ForwardGetNext;
  TargetService.Standard.MajorVersion = Standard->MajorVersion;
  TargetService.Standard.MinorVersion = Standard->MinorVersion;
  for (UINTN Index = 0; Index < 7; Index++) {
    TargetService.VendorEntries[Index] = (VOID *)UnsupportedEntry;
  }
  TargetService.ReadStructureByHandle = ReadOnceTablePublished;
  TargetService.Entry13 = (VOID *)UnsupportedEntry;
  TargetService.WriteStructureByHandle = AdapterWriteStructureByHandle;
}

extern "C" EFI_STATUS EFIAPI SmbiosByHandleServiceEntry(IN EFI_HANDLE ImageHandle,
                                                        IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  System = SystemTable;
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  CopyBytes((UINT8 *)&ServiceGuid, (CONST UINT8 *)&SmbiosServiceGuid, sizeof(EFI_GUID));
  TABLE_SUMMARY Summary = {0, 0, 0xFFFF};
  EndOfTableKnown = SummarizePublishedTable(&Summary);

  // The service's own handle: the record must be replaced where it is found.
  EFI_HANDLE Handles[4];
  UINTN HandlesSize = sizeof(Handles);
  EFI_STATUS Status =
      BootServices->LocateHandle(ByProtocol, &ServiceGuid, nullptr, &HandlesSize, Handles);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // Two records under one GUID: which one a consumer gets is not ours to pick.
  if (HandlesSize != sizeof(EFI_HANDLE)) {
    return EFI_UNSUPPORTED;
  }
  EFI_SMBIOS_PROTOCOL *Standard = nullptr;
  Status = BootServices->HandleProtocol(Handles[0], &ServiceGuid, (VOID **)&Standard);
  if (EFI_ERROR(Status) || Standard == nullptr) {
    return EFI_ERROR(Status) ? Status : EFI_NOT_FOUND;
  }

  InitAdapterState(Standard, BootServices, Summary.EndOfTableHandle);
  BuildTargetService(Standard);
  return BootServices->ReinstallProtocolInterface(Handles[0], &ServiceGuid, Standard,
                                                  &TargetService);
}

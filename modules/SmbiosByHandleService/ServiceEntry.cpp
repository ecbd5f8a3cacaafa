// Boot-service driver that gives a stock EDK II platform the SMBIOS table
// service the board-name driver calls: it takes the standard record that
// EDK II's SmbiosDxe installs, builds the longer record (standard members
// first, the by-handle entries at entries 12 and 14) and reinstalls it on the
// same handle, so that every lookup under the SMBIOS protocol GUID finds it.
// It writes nothing to the console.
#include "modules/SmbiosByHandleService/ByHandle.h"
#include "platform/Platform.h"
#include "platform/SmbiosTableService.h"

#include "modules/SmbiosByHandleService/HandleIndex.h"
#include "modules/SmbiosByHandleService/SmbiosTable.h"

struct SMBIOS_BY_HANDLE_RECORD {
  EFI_SMBIOS_PROTOCOL Standard;  // entries 0 to 4, so existing consumers keep working
  VOID *VendorEntries[7];        // entries 5 to 11: vendor services a stock platform lacks
  SMBIOS_READ_STRUCTURE_BY_HANDLE ReadStructureByHandle;
  VOID *Entry13;
  SMBIOS_WRITE_STRUCTURE_BY_HANDLE WriteStructureByHandle;
};

static_assert(__builtin_offsetof(SMBIOS_BY_HANDLE_RECORD, VendorEntries) == 5 * sizeof(VOID *),
              "vendor entries follow the standard record");
static_assert(__builtin_offsetof(SMBIOS_BY_HANDLE_RECORD, ReadStructureByHandle) ==
                  __builtin_offsetof(SMBIOS_TABLE_SERVICE, ReadStructureByHandle),
              "read entry where the driver calls it");
static_assert(__builtin_offsetof(SMBIOS_BY_HANDLE_RECORD, WriteStructureByHandle) ==
                  __builtin_offsetof(SMBIOS_TABLE_SERVICE, WriteStructureByHandle),
              "write entry where the driver calls it");

// SmbiosDxe finds its private data from This, so the standard members of the
// new record forward to the original record with the original This. A change
// made through them may come at TPL_NOTIFY, before the table's event groups
// are delivered, so each marks the handle index stale itself.
static EFI_STATUS EFIAPI ForwardAdd(IN CONST EFI_SMBIOS_PROTOCOL *, IN EFI_HANDLE Producer,
                                    IN OUT EFI_SMBIOS_HANDLE *Handle,
                                    IN EFI_SMBIOS_TABLE_HEADER *Record) {
  EFI_SMBIOS_PROTOCOL *Standard = ByHandleService.Standard;
  EFI_STATUS Status = Standard->Add(Standard, Producer, Handle, Record);
  MarkHandleIndexStale();
  return Status;
}

static EFI_STATUS EFIAPI ForwardUpdateString(IN CONST EFI_SMBIOS_PROTOCOL *,
                                             IN EFI_SMBIOS_HANDLE *Handle, IN UINTN *Number,
                                             IN CHAR8 *String) {
  EFI_SMBIOS_PROTOCOL *Standard = ByHandleService.Standard;
  EFI_STATUS Status = Standard->UpdateString(Standard, Handle, Number, String);
  MarkHandleIndexStale();
  return Status;
}

static EFI_STATUS EFIAPI ForwardRemove(IN CONST EFI_SMBIOS_PROTOCOL *,
                                       IN EFI_SMBIOS_HANDLE Handle) {
  EFI_SMBIOS_PROTOCOL *Standard = ByHandleService.Standard;
  EFI_STATUS Status = Standard->Remove(Standard, Handle);
  MarkHandleIndexStale();
  return Status;
}

static EFI_STATUS EFIAPI ForwardGetNext(IN CONST EFI_SMBIOS_PROTOCOL *,
                                        IN OUT EFI_SMBIOS_HANDLE *Handle, IN EFI_SMBIOS_TYPE *Type,
                                        OUT EFI_SMBIOS_TABLE_HEADER **Record,
                                        OUT EFI_HANDLE *Producer) {
  EFI_SMBIOS_PROTOCOL *Standard = ByHandleService.Standard;
  return Standard->GetNext(Standard, Handle, Type, Record, Producer);
}

// Any entry this module does not offer answers instead of jumping to null.
static EFI_STATUS EFIAPI UnsupportedEntry() { return EFI_UNSUPPORTED; }

// Dispatched from the firmware volume, this module can start before the
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
    SetEndOfTableHandle(Summary.EndOfTableHandle);
    EndOfTableKnown = TRUE;
  }
  return SmbiosReadStructureByHandle(Handle, Structure, Size);
}

static SMBIOS_BY_HANDLE_RECORD ServiceRecord;
static EFI_GUID ServiceGuid;  // a writable copy: the boot services take a non-const GUID

static VOID BuildRecord(IN EFI_SMBIOS_PROTOCOL *Standard) {
  ServiceRecord.Standard.Add = ForwardAdd;
  ServiceRecord.Standard.UpdateString = ForwardUpdateString;
  ServiceRecord.Standard.Remove = ForwardRemove;
  ServiceRecord.Standard.GetNext = ForwardGetNext;
  ServiceRecord.Standard.MajorVersion = Standard->MajorVersion;
  ServiceRecord.Standard.MinorVersion = Standard->MinorVersion;
  for (UINTN Index = 0; Index < 7; Index++) {
    ServiceRecord.VendorEntries[Index] = (VOID *)UnsupportedEntry;
  }
  ServiceRecord.ReadStructureByHandle = ReadOnceTablePublished;
  ServiceRecord.Entry13 = (VOID *)UnsupportedEntry;
  ServiceRecord.WriteStructureByHandle = SmbiosWriteStructureByHandle;
}

// Replaces SmbiosDxe's record by the longer one on the same handle. Needs the
// SMBIOS protocol installed (the module's dependency). Returns
//   EFI_SUCCESS            the longer record is installed; if the table's
//                          event groups could not be registered, every
//                          by-handle lookup walks the record instead
//   EFI_UNSUPPORTED        more than one record is installed under the GUID
//   EFI_NOT_FOUND          HandleProtocol gave no record
//   others                 LocateHandle's (EFI_BUFFER_TOO_SMALL for more than
//                          four records), HandleProtocol's or
//                          ReinstallProtocolInterface's status; nothing stays
//                          registered and SmbiosDxe's record stays in place
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

  InitByHandleService(Standard, BootServices, Summary.EndOfTableHandle);
  BuildRecord(Standard);
  Status =
      BootServices->ReinstallProtocolInterface(Handles[0], &ServiceGuid, Standard, &ServiceRecord);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  // Only now: an image whose entry fails is unloaded, and a registered
  // notification would then point into freed code.
  WatchTableChanges();
  return EFI_SUCCESS;
}

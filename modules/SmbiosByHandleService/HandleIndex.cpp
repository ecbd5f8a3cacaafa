#include "modules/SmbiosByHandleService/HandleIndex.h"

struct INDEX_ENTRY {
  EFI_SMBIOS_TABLE_HEADER *Record;
  EFI_HANDLE Producer;
  UINT16 Handle;
  UINT16 Previous;  // the handle GetNext yields it after (PI_RESERVED: first)
};

// A record holds at most one structure per handle value, so no walk of a
// sound record takes more steps.
static CONST UINTN MaxStructures = 0x10000;

static struct {
  EFI_SMBIOS_PROTOCOL *Standard;
  EFI_BOOT_SERVICES *BootServices;
  INDEX_ENTRY *Entries;  // pool, sorted by handle
  UINTN Capacity;
  UINTN Count;
  BOOLEAN Watched;  // both table groups registered: no change goes unnoticed
  BOOLEAN Stale;    // the table may have changed since Entries were filled
  BOOLEAN Usable;   // Entries hold the whole table as of the last fill
} Index;

VOID MarkHandleIndexStale() { Index.Stale = TRUE; }

static VOID EFIAPI OnTablePublished(IN EFI_EVENT Event, IN VOID *Context) {
  (void)Event;
  (void)Context;
  MarkHandleIndexStale();
}

VOID InitHandleIndex(IN EFI_SMBIOS_PROTOCOL *Standard, IN EFI_BOOT_SERVICES *BootServices) {
  Index.Standard = Standard;
  Index.BootServices = BootServices;
  Index.Entries = nullptr;
  Index.Capacity = 0;
  Index.Count = 0;
  Index.Watched = FALSE;
  Index.Stale = TRUE;
  Index.Usable = FALSE;
}

EFI_STATUS WatchTableChanges() {
  static CONST EFI_GUID Groups[2] = {SMBIOS_TABLE_GUID, SMBIOS3_TABLE_GUID};
  EFI_BOOT_SERVICES *BootServices = Index.BootServices;
  EFI_EVENT Events[2] = {nullptr, nullptr};
  for (UINTN Group = 0; Group < 2; Group++) {
    EFI_STATUS Status = BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, OnTablePublished,
                                                    nullptr, &Groups[Group], &Events[Group]);
    if (EFI_ERROR(Status)) {
      if (Group > 0) {
        BootServices->CloseEvent(Events[0]);
      }
      return Status;
    }
  }
  Index.Watched = TRUE;
  return EFI_SUCCESS;
}

// Inserts at its place by handle among the first Filled entries. SmbiosDxe's
// list is mostly in handle order, so this rarely moves an entry.
static VOID InsertSorted(IN UINTN Filled, IN EFI_SMBIOS_TABLE_HEADER *Record,
                         IN EFI_HANDLE Producer, IN UINT16 Previous) {
  UINTN Position = Filled;
  while (Position > 0 && Index.Entries[Position - 1].Handle > Record->Handle) {
    Index.Entries[Position].Record = Index.Entries[Position - 1].Record;
    Index.Entries[Position].Producer = Index.Entries[Position - 1].Producer;
    Index.Entries[Position].Handle = Index.Entries[Position - 1].Handle;
    Index.Entries[Position].Previous = Index.Entries[Position - 1].Previous;
    Position--;
  }
  Index.Entries[Position].Record = Record;
  Index.Entries[Position].Producer = Producer;
  Index.Entries[Position].Handle = Record->Handle;
  Index.Entries[Position].Previous = Previous;
}

// One pass of GetNext over the record: fills up to Capacity entries and
// returns how many structures the record holds.
static UINTN FillIndex() {
  EFI_SMBIOS_PROTOCOL *Standard = Index.Standard;
  EFI_SMBIOS_HANDLE Cursor = SMBIOS_HANDLE_PI_RESERVED;
  UINTN Total = 0;
  for (; Total < MaxStructures; Total++) {
    EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
    EFI_HANDLE Producer = nullptr;
    UINT16 Previous = Cursor;
    if (EFI_ERROR(Standard->GetNext(Standard, &Cursor, nullptr, &Record, &Producer)) ||
        Record == nullptr) {
      break;
    }
    if (Total < Index.Capacity) {
      InsertSorted(Total, Record, Producer, Previous);
    }
  }
  return Total;
}

static BOOLEAN ReplaceEntries(IN UINTN Count) {
  EFI_BOOT_SERVICES *BootServices = Index.BootServices;
  if (Index.Entries != nullptr) {
    BootServices->FreePool(Index.Entries);
    Index.Entries = nullptr;
    Index.Capacity = 0;
  }
  VOID *Block = nullptr;
  EFI_STATUS Status =
      BootServices->AllocatePool(EfiBootServicesData, Count * sizeof(INDEX_ENTRY), &Block);
  if (EFI_ERROR(Status) || Block == nullptr) {
    return FALSE;
  }
  Index.Entries = (INDEX_ENTRY *)Block;
  Index.Capacity = Count;
  return TRUE;
}

// Brings the index up to date; FALSE when the lookup must walk the record.
// Without pool the index stays unusable until the table changes again.
static BOOLEAN RefreshIndex() {
  if (!Index.Watched) {
    return FALSE;
  }
  if (!Index.Stale) {
    return Index.Usable;
  }
  // Cleared before the pass, so a change signalled during it is not lost.
  Index.Stale = FALSE;
  UINTN Total = FillIndex();
  if (Total > Index.Capacity) {
    if (!ReplaceEntries(Total)) {
      Index.Usable = FALSE;
      return FALSE;
    }
    Total = FillIndex();
  }
  Index.Count = Total;
  Index.Usable = Total <= Index.Capacity;
  if (!Index.Usable) {
    Index.Stale = TRUE;  // the table grew between the two passes
  }
  return Index.Usable;
}

static INDEX_ENTRY *LookUp(IN UINT16 Handle) {
  UINTN Low = 0;
  UINTN High = Index.Count;
  // Halves the range each step: at most 17 steps.
  while (Low < High) {
    UINTN Middle = Low + (High - Low) / 2;
    if (Index.Entries[Middle].Handle < Handle) {
      Low = Middle + 1;
    } else {
      High = Middle;
    }
  }
  return Low < Index.Count && Index.Entries[Low].Handle == Handle ? &Index.Entries[Low] : nullptr;
}

static EFI_SMBIOS_TABLE_HEADER *FindByWalk(IN UINT16 Handle, OUT EFI_HANDLE *Producer) {
  EFI_SMBIOS_PROTOCOL *Standard = Index.Standard;
  EFI_SMBIOS_HANDLE Cursor = SMBIOS_HANDLE_PI_RESERVED;
  for (UINTN Step = 0; Step < MaxStructures; Step++) {
    EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
    EFI_HANDLE RecordProducer = nullptr;
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

// TRUE when SmbiosDxe still holds the entry's structure where the index saw
// it: one GetNext from the structure before it. SmbiosDxe frees a structure
// without republishing, and so without telling the index, when it cannot
// have the pages to publish the change, or removes or resizes one a refused
// UpdateString left out of both tables; the pointer is compared, never read.
static BOOLEAN StillHeld(IN CONST INDEX_ENTRY *Entry) {
  EFI_SMBIOS_PROTOCOL *Standard = Index.Standard;
  EFI_SMBIOS_HANDLE Cursor = Entry->Previous;
  EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
  return !EFI_ERROR(Standard->GetNext(Standard, &Cursor, nullptr, &Record, nullptr)) &&
         Record == Entry->Record;
}

EFI_SMBIOS_TABLE_HEADER *FindStructure(IN UINT16 Handle, OUT EFI_HANDLE *Producer OPTIONAL) {
  if (!RefreshIndex()) {
    return FindByWalk(Handle, Producer);
  }
  INDEX_ENTRY *Entry = LookUp(Handle);
  if (Entry == nullptr) {
    return nullptr;
  }
  if (!StillHeld(Entry)) {
    MarkHandleIndexStale();
    return FindByWalk(Handle, Producer);
  }
  if (Producer != nullptr) {
    *Producer = Entry->Producer;
  }
  return Entry->Record;
}

// Finding a structure by its handle in SmbiosDxe's standard record. The
// record offers only GetNext, and SmbiosDxe's GetNext walks its list from the
// head on every call, so one lookup by walking costs a pass of the table.
// The index holds every handle's structure, sorted by handle: it is built
// with one pass of GetNext (two the first time: one counts, one fills the
// pool block sized from the count) and rebuilt only after the table changed.
//
// A change is noticed two ways: this service's own writes and the
// standard members of its record mark the index stale directly (they may run
// at TPL_NOTIFY, where no notification is delivered); and SmbiosDxe
// republishes the table after every Add, UpdateString and Remove, which
// signals the event groups of the table GUIDs, so a producer calling the
// original record (below TPL_NOTIFY) marks it stale too. Where the events
// cannot be created or the pool is short, every lookup walks the record.
#pragma once

#include "modules/SmbiosByHandleService/PiSmbios.h"

// Binds the index to the standard record, empty and not yet in use: until
// WatchTableChanges succeeds every lookup walks the record. Runs before any
// lookup; the pool block of an earlier binding is not freed.
VOID InitHandleIndex(IN EFI_SMBIOS_PROTOCOL *Standard, IN EFI_BOOT_SERVICES *BootServices);

// Registers for both table groups at TPL_NOTIFY and puts the index in use.
// Call it only once this image stays loaded: the notification is its code.
// EFI_SUCCESS, or CreateEventEx's status (nothing stays registered, every
// lookup keeps walking the record: slower, never wrong).
EFI_STATUS WatchTableChanges();

// The next lookup rebuilds the index first. Safe at any TPL up to TPL_NOTIFY;
// it only sets a flag.
VOID MarkHandleIndexStale();

// The structure SmbiosDxe holds under Handle and, when Producer is not null,
// its producer handle; null when no structure has that handle. The pointer
// is SmbiosDxe's own and valid until the table next changes. A structure
// found in the index is confirmed with one GetNext from the one before it
// (SmbiosDxe changes some structures without republishing); if SmbiosDxe no
// longer holds it there, the index is rebuilt at the next lookup and this
// one walks the record.
EFI_SMBIOS_TABLE_HEADER *FindStructure(IN UINT16 Handle, OUT EFI_HANDLE *Producer OPTIONAL);

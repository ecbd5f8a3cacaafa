// EDK II's SmbiosDxe compiled for the host from the fetched edk2 source, and
// the DXE core it runs on (HostDxeCore.c), as the fuzz target drives them.
// Plain C types only: the EDK II headers and platform/Uefi.h do not mix in
// one translation unit, but the tables they describe have the same layout.
#pragma once

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

// Frees everything the last run left, clears the protocol database, events,
// configuration tables and fault schedule, and sets the TPL to
// TPL_APPLICATION.
void HostResetDxeCore(void);
// The system table (EDK II's EFI_SYSTEM_TABLE, the layout platform/Uefi.h
// gives too).
void *HostSystemTable(void);

// Resets SmbiosDxe's globals, sets its PCDs and runs its entry point, which
// installs its record on a new handle. Returns the entry point's status.
unsigned long long HostStartSmbiosDxe(unsigned short Version, unsigned int EntryPointMethod);
// SmbiosDxe's own record (the original, whatever is installed now).
void *HostSmbiosDxeRecord(void);
// The interface installed under Guid now; null when none.
void *HostInstalledInterface(const void *Guid);
// The handle SmbiosDxe gives its End-of-Table structure.
unsigned short HostEndOfTableHandle(void);

// The allocation made After allocations from now (1: the next) fails; up to
// eight are scheduled at once.
void HostFailAllocation(unsigned After);
// With 0, the allocations SmbiosDxe makes to publish its table (pages, a
// larger configuration table array) do not fail, scheduled or not; 1 again
// after.
void HostPublishingMayFail(int MayFail);
// Allocations made to fail since the reset.
unsigned HostAllocationsFailed(void);
size_t HostBlocksHeld(void);
size_t HostEventsOpen(void);
unsigned long long HostRaiseTplTo(unsigned long long Tpl);
void HostRestoreTplTo(unsigned long long Tpl);

struct HOST_SMBIOS_ENTRY {
  const unsigned char *Structure;  // SmbiosDxe's copy, as GetNext yields it
  size_t Size;                     // the structure's size from SmbiosDxe's record header
  void *Producer;
};

// SmbiosDxe's structures in GetNext order, walked with its own GetNext on its
// own record; fills at most Capacity entries and returns how many there are.
size_t HostWalkSmbiosDxe(struct HOST_SMBIOS_ENTRY *Entries, size_t Capacity);

// TRUE when a configuration table holds an SMBIOS entry point (the 3.0 one
// preferred) whose checksum holds and whose table holds End-of-Table, whose
// handle is then stored in *Handle.
int HostPublishedEndOfTable(unsigned short *Handle);

// The structure under Handle in the published 2.x (Table64 0) or 3.0 table,
// as readers get it (through its first zero pair): 1 and *Bytes, *Size set
// when the table is published and holds it, else 0.
int HostPublishedStructure(int Table64, unsigned short Handle, const unsigned char **Bytes,
                           size_t *Size);

#ifdef __cplusplus
}
#endif

// A fake of EDK II SmbiosDxe's standard record, behaving as SmbiosDxe does
// where the by-handle service depends on it: GetNext walks the list from its
// head on every call and never yields End-of-Table; Add appends; Remove
// unlinks; UpdateString replaces a string in place, in a new block at the
// same list position when its length changes (the old block is freed, so a
// stale pointer into it is a use-after-free for ASan), and refuses as
// SmbiosDxe does; every change republishes the table, signalling the table
// GUID's event group through the fake boot services.
#pragma once

#include <cstddef>
#include <vector>

#include "modules/SmbiosByHandleService/PiSmbios.h"
#include "platform/SmbiosTableService.h"

struct FakeSmbiosDxeEntry {
  std::vector<UINT8> Bytes;
  EFI_HANDLE Producer;
};

struct FakeSmbiosDxe {
  EFI_SMBIOS_PROTOCOL Protocol;
  std::vector<FakeSmbiosDxeEntry> Entries;  // in list order
  unsigned GetNextCalls = 0;
  unsigned AddCalls = 0;
  unsigned RemoveCalls = 0;
  unsigned UpdateStringCalls = 0;
  // The n-th call (from 1) of each is refused with EFI_OUT_OF_RESOURCES, as
  // SmbiosDxe is when its pool runs out; 0 for none.
  std::vector<unsigned> FailingAdds;
  std::vector<unsigned> FailingUpdateStrings;
  // SmbiosDxe's Remove refuses only a handle it does not hold; these stand
  // for a record that refuses anyway.
  std::vector<unsigned> FailingRemoves;
  // SmbiosDxe's limit on the 2.x table's length: a resize past it is refused.
  size_t TableLimit = 0xFFFF;
};

FakeSmbiosDxe &SmbiosDxe();
// A fresh record of that version holding Structures, in that order, each
// with the producer handle 0x3000 + its position.
void ResetSmbiosDxe(UINT8 MajorVersion, UINT8 MinorVersion,
                    const std::vector<std::vector<UINT8>> &Structures);
std::vector<UINT16> HandlesInListOrder();
// The bytes held under Handle; empty when there is none.
std::vector<UINT8> HeldBytes(UINT16 Handle);
// What Read hands out for Handle, copied; empty when it fails.
std::vector<UINT8> ReadThrough(SMBIOS_READ_STRUCTURE_BY_HANDLE Read, UINT16 Handle);

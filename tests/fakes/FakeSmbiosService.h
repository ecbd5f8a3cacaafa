// An SMBIOS table service for host tests: holds structures by handle, hands
// each read out as an exact-size copy (so ASan sees over-reads and tests can
// check nothing wrote to it), and records every write.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/SmbiosTableService.h"

struct SmbiosWrite {
  UINT16 Handle;
  std::vector<UINT8> Bytes;
  UINT16 Size;
};

struct FakeSmbiosTable {
  SMBIOS_TABLE_SERVICE Service;
  std::map<UINT16, std::vector<UINT8>> Structures;
  std::set<UINT16> FailingReads;   // reads of these handles fail
  std::set<UINT16> NullOnSuccess;  // reads of these succeed with a null pointer
  EFI_STATUS WriteStatus = EFI_SUCCESS;

  std::vector<UINT16> Reads;  // handles probed, in order
  std::vector<SmbiosWrite> Writes;
  // What each successful read handed out, and what it held at the time.
  std::vector<std::pair<std::unique_ptr<UINT8[]>, std::vector<UINT8>>> HandedOut;
};

FakeSmbiosTable &SmbiosTable();
void ResetSmbiosTable();
// True when no structure handed out was changed by its reader.
bool HandedOutStructuresIntact();

// Builds a structure: a formatted area of FormattedLength bytes (header
// included, filled with a pattern after the header), then the strings.
std::vector<UINT8> MakeStructure(UINT8 Type, UINT16 Handle, UINT8 FormattedLength,
                                 const std::vector<std::string> &Strings);
// The strings of a well-formed structure.
std::vector<std::string> StringsOf(const std::vector<UINT8> &Structure);

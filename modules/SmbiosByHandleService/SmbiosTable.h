// Reading SMBIOS structures and the table that the firmware publishes, with
// every step bounded by the bytes known to be there. Shared by the by-handle
// service and the testbed's table dump; pure byte work except
// LocatePublishedTable.
#pragma once

#include "platform/Uefi.h"

// Whole size of the structure at Structure (formatted area, strings and the
// closing zero pair), reading at most Limit bytes. Returns 0 when the
// structure is malformed: Length below 4, or no zero pair within Limit.
UINT32 MeasureStructure(IN CONST UINT8 *Structure, IN UINT32 Limit);

struct TABLE_SUMMARY {
  UINT32 Size;              // bytes from the first structure through End-of-Table
  UINT16 Count;             // structures, End-of-Table included
  UINT16 EndOfTableHandle;  // handle of the End-of-Table structure
};

// Walks a table of at most Length bytes up to its End-of-Table structure.
// Returns FALSE when a structure is malformed or no End-of-Table is found.
BOOLEAN SummarizeTable(IN CONST UINT8 *Table, IN UINT32 Length, OUT TABLE_SUMMARY *Summary);

struct PUBLISHED_TABLE {
  CONST UINT8 *EntryPoint;
  UINT8 EntryPointLength;
  BOOLEAN Is64Bit;  // a 3.0 "_SM3_" entry point rather than a 2.x "_SM_" one
  CONST UINT8 *Table;
  UINT32 TableLength;  // 2.x: the table length; 3.0: the table maximum size
};

// Finds the entry point among the system table's configuration tables,
// preferring the 3.0 one when both are published. FALSE when neither is there
// or the entry point found is not well formed (anchor, length, checksum).
BOOLEAN LocatePublishedTable(IN EFI_SYSTEM_TABLE *SystemTable, OUT PUBLISHED_TABLE *Published);

// Same test on a bare entry point; fills Published from it.
BOOLEAN ParseEntryPoint(IN CONST UINT8 *EntryPoint, OUT PUBLISHED_TABLE *Published);

// The sum of Length bytes, modulo 256: 0 over an entry point whose checksum
// holds.
UINT8 SumBytes(IN CONST UINT8 *Bytes, IN UINTN Length);

#include "modules/SmbiosByHandleService/SmbiosTable.h"

#include "modules/SmbiosByHandleService/PiSmbios.h"

UINT32 MeasureStructure(IN CONST UINT8 *Structure, IN UINT32 Limit) {
  if (Structure == nullptr || Limit < 6 || Structure[1] < 4) {
    return 0;
  }
  for (UINT32 Position = Structure[1]; Position + 1 < Limit; Position++) {
    if (Structure[Position] == 0 && Structure[Position + 1] == 0) {
      return Position + 2;
    }
  }
  return 0;
}

BOOLEAN SummarizeTable(IN CONST UINT8 *Table, IN UINT32 Length, OUT TABLE_SUMMARY *Summary) {
  UINT32 Offset = 0;
  UINT16 Count = 0;
  while (Offset < Length) {
    UINT32 Size = MeasureStructure(Table + Offset, Length - Offset);
    if (Size == 0 || Count == 0xFFFF) {
      return FALSE;
    }
    Count++;
    if (Table[Offset] == 127) {
      Summary->Size = Offset + Size;
      Summary->Count = Count;
      Summary->EndOfTableHandle = (UINT16)(Table[Offset + 2] | (Table[Offset + 3] << 8));
      return TRUE;
    }
    Offset += Size;
  }
  return FALSE;
}

UINT8 SumBytes(IN CONST UINT8 *Bytes, IN UINTN Length) {
  UINT8 Sum = 0;
  for (UINTN Index = 0; Index < Length; Index++) {
    Sum = (UINT8)(Sum + Bytes[Index]);
  }
  return Sum;
}

static BOOLEAN SameBytes(IN CONST UINT8 *Left, IN CONST CHAR8 *Right, IN UINTN Length) {
  for (UINTN Index = 0; Index < Length; Index++) {
    if (Left[Index] != (UINT8)Right[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOLEAN ParseEntryPoint(IN CONST UINT8 *EntryPoint, OUT PUBLISHED_TABLE *Published) {
  if (EntryPoint == nullptr) {
    return FALSE;
  }
  if (SameBytes(EntryPoint, "_SM3_", 5)) {
    UINT8 Length = EntryPoint[6];
    if (Length < 24 || SumBytes(EntryPoint, Length) != 0) {
      return FALSE;
    }
    UINT64 Address = 0;
    for (UINT8 Index = 0; Index < 8; Index++) {
      Address |= (UINT64)EntryPoint[16 + Index] << (8 * Index);
    }
    Published->EntryPoint = EntryPoint;
    Published->EntryPointLength = Length;
    Published->Is64Bit = TRUE;
    Published->Table = (CONST UINT8 *)(UINTN)Address;
    Published->TableLength = (UINT32)(EntryPoint[12] | (EntryPoint[13] << 8) |
                                      (EntryPoint[14] << 16) | ((UINT32)EntryPoint[15] << 24));
    return TRUE;
  }
  if (SameBytes(EntryPoint, "_SM_", 4)) {
    UINT8 Length = EntryPoint[5];
    if (Length < 31 || SumBytes(EntryPoint, Length) != 0 ||
        !SameBytes(EntryPoint + 16, "_DMI_", 5) || SumBytes(EntryPoint + 16, 15) != 0) {
      return FALSE;
    }
    UINT32 Address = (UINT32)(EntryPoint[24] | (EntryPoint[25] << 8) | (EntryPoint[26] << 16) |
                              ((UINT32)EntryPoint[27] << 24));
    Published->EntryPoint = EntryPoint;
    Published->EntryPointLength = Length;
    Published->Is64Bit = FALSE;
    Published->Table = (CONST UINT8 *)(UINTN)Address;
    Published->TableLength = (UINT32)(EntryPoint[22] | (EntryPoint[23] << 8));
    return TRUE;
  }
  return FALSE;
}

static BOOLEAN SameGuid(IN CONST EFI_GUID *Left, IN CONST EFI_GUID *Right) {
  CONST UINT8 *L = (CONST UINT8 *)Left;
  CONST UINT8 *R = (CONST UINT8 *)Right;
  for (UINTN Index = 0; Index < sizeof(EFI_GUID); Index++) {
    if (L[Index] != R[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

static CONST UINT8 *FindConfigurationTable(IN EFI_SYSTEM_TABLE *SystemTable,
                                           IN CONST EFI_GUID *Guid) {
  for (UINTN Index = 0; Index < SystemTable->NumberOfTableEntries; Index++) {
    if (SameGuid(&SystemTable->ConfigurationTable[Index].VendorGuid, Guid)) {
      return (CONST UINT8 *)SystemTable->ConfigurationTable[Index].VendorTable;
    }
  }
  return nullptr;
}

static CONST EFI_GUID Smbios3Guid = SMBIOS3_TABLE_GUID;
static CONST EFI_GUID SmbiosGuid = SMBIOS_TABLE_GUID;

BOOLEAN LocatePublishedTable(IN EFI_SYSTEM_TABLE *SystemTable, OUT PUBLISHED_TABLE *Published) {
  CONST UINT8 *EntryPoint = FindConfigurationTable(SystemTable, &Smbios3Guid);
  if (EntryPoint != nullptr && ParseEntryPoint(EntryPoint, Published)) {
    return TRUE;
  }
  EntryPoint = FindConfigurationTable(SystemTable, &SmbiosGuid);
  return EntryPoint != nullptr && ParseEntryPoint(EntryPoint, Published);
}

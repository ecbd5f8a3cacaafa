// Application that puts the by-handle SMBIOS service's entries through bad
// and good input on the real firmware, after the service is loaded and
// before any driver runs. Every refused write must leave the structure as it
// was; a write of new strings must keep the structure where it stands in the
// published table; the last write puts the original bytes back, so the table
// ends as it began, by handle. Prints one line per case and a verdict.
#include "modules/SmbiosByHandleService/PiSmbios.h"
#include "modules/SmbiosByHandleService/SmbiosTable.h"
#include "platform/Platform.h"
#include "platform/SmbiosTableService.h"
#include "testbed/efi/Console.h"

static CONST UINT16 ProbeHandle = 0x0100;  // QEMU's System Information structure
static CONST UINTN Capacity = 512;

static SMBIOS_TABLE_SERVICE *Service;
static UINT8 Original[Capacity];
static UINT16 OriginalSize;
static UINT8 Work[Capacity];
static UINTN Failures;

static BOOLEAN HeldEquals(IN CONST UINT8 *Bytes, IN UINT16 Size) {
  UINT8 *Held = nullptr;
  UINT16 HeldSize = 0;
  if (EFI_ERROR(Service->ReadStructureByHandle(ProbeHandle, &Held, &HeldSize)) ||
      HeldSize != Size) {
    return FALSE;
  }
  for (UINT16 Index = 0; Index < Size; Index++) {
    if (Held[Index] != Bytes[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

static VOID Report(IN CONST CHAR8 *Case, IN EFI_STATUS Status, IN BOOLEAN Passed) {
  Print(Passed ? "probe: ok   " : "probe: FAIL ");
  Print(Case);
  Print(", status ");
  PrintHex(Status, 16);
  Print("\n");
  if (!Passed) {
    Failures++;
  }
}

// A write that must be refused and must leave the held structure unchanged.
static VOID ExpectRefused(IN CONST CHAR8 *Case, IN UINT16 Handle, IN CONST UINT8 *Bytes,
                          IN UINT16 Size) {
  EFI_STATUS Status = Service->WriteStructureByHandle(Handle, Bytes, Size);
  Report(Case, Status, EFI_ERROR(Status) && HeldEquals(Original, OriginalSize));
}

static VOID StartFromOriginal() { CopyBytes(Work, Original, OriginalSize); }

static VOID SetHeaderHandle(IN UINT16 Handle) {
  Work[2] = (UINT8)Handle;
  Work[3] = (UINT8)(Handle >> 8);
}

// Replaces the original's string set by Strings (each NUL-terminated, then
// one more zero); returns the new size.
static UINT16 WithStrings(IN CONST CHAR8 *Strings, IN UINTN Length) {
  UINTN Size = Original[1];
  CopyBytes(Work, Original, Size);
  CopyBytes(Work + Size, (CONST UINT8 *)Strings, Length);
  return (UINT16)(Size + Length);
}

// Replaces string 2 of the original by Name; 0 when it has no string 2.
static UINT16 WithSecondString(IN CONST CHAR8 *Name, IN UINTN NameLength) {
  UINTN FirstEnd = Original[1];
  while (FirstEnd < OriginalSize && Original[FirstEnd] != 0) {
    FirstEnd++;
  }
  UINTN SecondEnd = FirstEnd + 1;
  while (SecondEnd < OriginalSize && Original[SecondEnd] != 0) {
    SecondEnd++;
  }
  if (FirstEnd == Original[1] || SecondEnd == FirstEnd + 1 || SecondEnd >= OriginalSize) {
    return 0;
  }
  UINTN Tail = OriginalSize - SecondEnd - 1;  // the strings after string 2 and the set's zero
  CopyBytes(Work, Original, FirstEnd + 1);
  CopyBytes(Work + FirstEnd + 1, (CONST UINT8 *)Name, NameLength + 1);
  CopyBytes(Work + FirstEnd + 2 + NameLength, Original + SecondEnd + 1, Tail);
  return (UINT16)(FirstEnd + 2 + NameLength + Tail);
}

static CONST UINTN NotPublished = ~(UINTN)0;

// Where the probed structure stands among the published table's structures.
static UINTN PublishedPosition(IN EFI_SYSTEM_TABLE *SystemTable) {
  PUBLISHED_TABLE Published;
  if (!LocatePublishedTable(SystemTable, &Published)) {
    return NotPublished;
  }
  UINT32 Offset = 0;
  for (UINTN Position = 0; Offset < Published.TableLength && Position < 0x10000; Position++) {
    CONST UINT8 *Structure = Published.Table + Offset;
    UINT32 Size = MeasureStructure(Structure, Published.TableLength - Offset);
    if (Size == 0 || Structure[0] == SMBIOS_TYPE_END_OF_TABLE) {
      return NotPublished;
    }
    if ((UINT16)(Structure[2] | (Structure[3] << 8)) == ProbeHandle) {
      return Position;
    }
    Offset += Size;
  }
  return NotPublished;
}

// A write that differs only in string 2 (longer, then the original again)
// must be taken with the structure where it stood in the published table.
static VOID ExpectWrittenInPlace(IN EFI_SYSTEM_TABLE *SystemTable) {
  static CONST CHAR8 Renamed[] = "TB-PROBE-RENAMED-PRODUCT";
  UINTN Before = PublishedPosition(SystemTable);
  UINT16 Size = WithSecondString(Renamed, sizeof(Renamed) - 1);
  EFI_STATUS Status =
      Size == 0 ? EFI_NOT_FOUND : Service->WriteStructureByHandle(ProbeHandle, Work, Size);
  Report("write of a new string 2 taken where the structure stands", Status,
         !EFI_ERROR(Status) && HeldEquals(Work, Size) && Before != NotPublished &&
             PublishedPosition(SystemTable) == Before);
  Status = Service->WriteStructureByHandle(ProbeHandle, Original, OriginalSize);
  Report("write of the original string 2 taken where the structure stands", Status,
         !EFI_ERROR(Status) && HeldEquals(Original, OriginalSize) &&
             PublishedPosition(SystemTable) == Before);
}

extern "C" EFI_STATUS EFIAPI AdapterProbeEntry(IN EFI_HANDLE ImageHandle,
                                               IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  ConsoleInit(SystemTable);
  EFI_STATUS Status =
      SystemTable->BootServices->LocateProtocol(&SmbiosServiceGuid, nullptr, (VOID **)&Service);
  if (EFI_ERROR(Status) || Service == nullptr || Service->ReadStructureByHandle == nullptr) {
    Report("service with by-handle entries located", Status, FALSE);
    return EFI_NOT_FOUND;
  }
  UINT8 *Held = nullptr;
  Status = Service->ReadStructureByHandle(ProbeHandle, &Held, &OriginalSize);
  if (EFI_ERROR(Status) || OriginalSize > Capacity / 2 ||
      MeasureStructure(Held, OriginalSize) != OriginalSize) {
    Report("read of the System Information structure", Status, FALSE);
    return EFI_NOT_FOUND;
  }
  CopyBytes(Original, Held, OriginalSize);
  Report("read of the System Information structure", Status, TRUE);

  UINT8 *Unused = nullptr;
  UINT16 UnusedSize = 0;
  Status = Service->ReadStructureByHandle(0x0101, &Unused, &UnusedSize);
  Report("read of an unknown handle refused", Status, Status == EFI_NOT_FOUND);

  StartFromOriginal();
  SetHeaderHandle(0x0101);
  EFI_STATUS Unknown = Service->WriteStructureByHandle(0x0101, Work, OriginalSize);
  Report("write to an unknown handle refused", Unknown,
         Unknown == EFI_NOT_FOUND && HeldEquals(Original, OriginalSize));

  StartFromOriginal();
  SetHeaderHandle(0x0200);
  ExpectRefused("write whose header names another handle", ProbeHandle, Work, OriginalSize);

  StartFromOriginal();
  Work[OriginalSize - 1] = 'X';
  ExpectRefused("write without a closing zero pair", ProbeHandle, Work, OriginalSize);

  StartFromOriginal();
  Work[OriginalSize] = 0;
  ExpectRefused("write with a size past the structure", ProbeHandle, Work,
                (UINT16)(OriginalSize + 1));
  ExpectRefused("write with a size short of the structure", ProbeHandle, Work,
                (UINT16)(OriginalSize - 1));

  StartFromOriginal();
  Work[1] = 3;
  ExpectRefused("write with a header shorter than 4 bytes", ProbeHandle, Work, OriginalSize);

  StartFromOriginal();
  Work[0] = 2;
  ExpectRefused("write that changes the type", ProbeHandle, Work, OriginalSize);

  ExpectWrittenInPlace(SystemTable);

  // A string longer than the firmware may accept: whichever way the firmware
  // decides, the held structure is then exactly the new or the old bytes.
  static CONST CHAR8 LongStrings[] =
      "M\0P-0123456789012345678901234567890123456789012345678901234567890123456789\0V\0";
  UINT16 LongSize = WithStrings(LongStrings, sizeof(LongStrings));
  Status = Service->WriteStructureByHandle(ProbeHandle, Work, LongSize);
  Report(EFI_ERROR(Status) ? "write with a 72-character string refused, structure kept"
                           : "write with a 72-character string taken",
         Status,
         EFI_ERROR(Status) ? HeldEquals(Original, OriginalSize) : HeldEquals(Work, LongSize));

  Status = Service->WriteStructureByHandle(ProbeHandle, Original, OriginalSize);
  Report("write of the original bytes", Status,
         !EFI_ERROR(Status) && HeldEquals(Original, OriginalSize));

  Print(Failures == 0 ? "probe: all cases passed\n" : "probe: cases failed\n");
  return Failures == 0 ? EFI_SUCCESS : EFI_ABORTED;
}

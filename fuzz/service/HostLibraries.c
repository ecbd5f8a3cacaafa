// The library instances SmbiosDxe links against in a platform build, written
// for the host: BaseMemoryLib, MemoryAllocationLib (through the boot services,
// so that injected failures reach it), DebugLib (an ASSERT stops the run),
// UefiLib's lock, HobLib (no HOB list), the PCDs and GUIDs AutoGen would
// define, and what the fuzz target needs to see of SmbiosDxe's state.
// BaseLib's list and checksum code is compiled from the source; its two string
// functions SmbiosDxe calls are written here, as BaseLib's safe-string file
// pulls in most of BaseLib.
// The C library first (HostDxeCore.c says why).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "SmbiosDxe.h"

#include "HostSmbiosDxe.h"

unsigned short HostPcdSmbiosVersion = 0x0300;
unsigned char HostPcdSmbiosDocRev = 0;
unsigned int HostPcdSmbiosEntryPointProvideMethod = 0x3;

EFI_GUID gEfiSmbiosProtocolGuid = EFI_SMBIOS_PROTOCOL_GUID;
EFI_GUID gEfiSmbiosTableGuid = SMBIOS_TABLE_GUID;
EFI_GUID gEfiSmbios3TableGuid = SMBIOS3_TABLE_GUID;
// MdeModulePkg.dec's values; no HOB carries either here.
EFI_GUID gUniversalPayloadSmbios3TableGuid = {
    0x92b7896c, 0x3362, 0x46ce, {0x99, 0xb3, 0x4f, 0x5e, 0x3c, 0x34, 0xeb, 0x42}};
EFI_GUID gUniversalPayloadSmbiosTableGuid = {
    0x590a0d26, 0x06e5, 0x4d20, {0x8a, 0x82, 0x59, 0xea, 0x1b, 0x34, 0x98, 0x2d}};

// ---- DebugLib: DEBUG output is dropped, an ASSERT ends the run ----------------------

VOID EFIAPI DebugPrint(IN UINTN ErrorLevel, IN CONST CHAR8 *Format, ...) {
  (void)ErrorLevel;
  (void)Format;
}

VOID EFIAPI DebugAssert(IN CONST CHAR8 *FileName, IN UINTN LineNumber,
                        IN CONST CHAR8 *Description) {
  fprintf(stderr, "ASSERT %s(%lu): %s\n", FileName, (unsigned long)LineNumber, Description);
  abort();
}

BOOLEAN EFIAPI DebugAssertEnabled(VOID) { return TRUE; }
BOOLEAN EFIAPI DebugPrintEnabled(VOID) { return FALSE; }
BOOLEAN EFIAPI DebugCodeEnabled(VOID) { return FALSE; }
BOOLEAN EFIAPI DebugClearMemoryEnabled(VOID) { return FALSE; }
BOOLEAN EFIAPI DebugPrintLevelEnabled(IN CONST UINTN ErrorLevel) {
  (void)ErrorLevel;
  return FALSE;
}

// ---- BaseMemoryLib --------------------------------------------------------------------

VOID *EFIAPI CopyMem(OUT VOID *Destination, IN CONST VOID *Source, IN UINTN Length) {
  return memmove(Destination, Source, Length);
}

VOID *EFIAPI ZeroMem(OUT VOID *Buffer, IN UINTN Length) { return memset(Buffer, 0, Length); }

VOID *EFIAPI SetMem(OUT VOID *Buffer, IN UINTN Length, IN UINT8 Value) {
  return memset(Buffer, Value, Length);
}

INTN EFIAPI CompareMem(IN CONST VOID *Left, IN CONST VOID *Right, IN UINTN Length) {
  return memcmp(Left, Right, Length);
}

BOOLEAN EFIAPI CompareGuid(IN CONST GUID *Guid1, IN CONST GUID *Guid2) {
  return memcmp(Guid1, Guid2, sizeof(GUID)) == 0;
}

// ---- BaseLib's strings -------------------------------------------------------------

UINTN EFIAPI AsciiStrLen(IN CONST CHAR8 *String) {
  ASSERT(String != NULL);
  return strlen(String);
}

// As BaseLib's DEBUG build: a broken constraint ASSERTs.
RETURN_STATUS EFIAPI AsciiStrCpyS(OUT CHAR8 *Destination, IN UINTN DestMax,
                                  IN CONST CHAR8 *Source) {
  ASSERT(Destination != NULL && Source != NULL && DestMax != 0);
  UINTN Length = strnlen(Source, DestMax);
  ASSERT(Length < DestMax);
  ASSERT(Destination + DestMax <= Source || Source + Length + 1 <= Destination);
  memcpy(Destination, Source, Length + 1);
  return RETURN_SUCCESS;
}

// ---- MemoryAllocationLib ------------------------------------------------------------

VOID *EFIAPI AllocatePool(IN UINTN AllocationSize) {
  VOID *Buffer = NULL;
  return EFI_ERROR(gBS->AllocatePool(EfiBootServicesData, AllocationSize, &Buffer)) ? NULL : Buffer;
}

VOID *EFIAPI AllocateZeroPool(IN UINTN AllocationSize) {
  VOID *Buffer = AllocatePool(AllocationSize);
  return Buffer == NULL ? NULL : ZeroMem(Buffer, AllocationSize);
}

VOID EFIAPI FreePool(IN VOID *Buffer) {
  EFI_STATUS Status = gBS->FreePool(Buffer);
  ASSERT_EFI_ERROR(Status);
}

VOID EFIAPI FreePages(IN VOID *Buffer, IN UINTN Pages) {
  ASSERT(Pages != 0);
  EFI_STATUS Status = gBS->FreePages((EFI_PHYSICAL_ADDRESS)(UINTN)Buffer, Pages);
  ASSERT_EFI_ERROR(Status);
}

// ---- HobLib: the host has no HOB list, as a platform without a payload's table ------

VOID *EFIAPI GetFirstGuidHob(IN CONST EFI_GUID *Guid) {
  (void)Guid;
  return NULL;
}

// ---- UefiLib's lock -------------------------------------------------------------------

EFI_LOCK *EFIAPI EfiInitializeLock(IN OUT EFI_LOCK *Lock, IN EFI_TPL Priority) {
  ASSERT(Lock != NULL);
  ASSERT(Priority <= TPL_HIGH_LEVEL);
  Lock->Tpl = Priority;
  Lock->OwnerTpl = TPL_APPLICATION;
  Lock->Lock = EfiLockReleased;
  return Lock;
}

VOID EFIAPI EfiAcquireLock(IN EFI_LOCK *Lock) {
  ASSERT(Lock != NULL);
  ASSERT(Lock->Lock == EfiLockReleased);
  Lock->OwnerTpl = gBS->RaiseTPL(Lock->Tpl);
  Lock->Lock = EfiLockAcquired;
}

EFI_STATUS EFIAPI EfiAcquireLockOrFail(IN EFI_LOCK *Lock) {
  ASSERT(Lock != NULL);
  ASSERT(Lock->Lock != EfiLockUninitialized);
  if (Lock->Lock == EfiLockAcquired) {
    return EFI_ACCESS_DENIED;
  }
  Lock->OwnerTpl = gBS->RaiseTPL(Lock->Tpl);
  Lock->Lock = EfiLockAcquired;
  return EFI_SUCCESS;
}

VOID EFIAPI EfiReleaseLock(IN EFI_LOCK *Lock) {
  ASSERT(Lock != NULL);
  ASSERT(Lock->Lock == EfiLockAcquired);
  EFI_TPL Tpl = Lock->OwnerTpl;
  Lock->Lock = EfiLockReleased;
  gBS->RestoreTPL(Tpl);
}

// ---- SmbiosDxe, driven ----------------------------------------------------------------

extern SMBIOS_INSTANCE mPrivateData;
extern UINTN mPreAllocatedPages;
extern UINTN mPre64BitAllocatedPages;
extern SMBIOS_TABLE_ENTRY_POINT *EntryPointStructure;
extern SMBIOS_TABLE_3_0_ENTRY_POINT *Smbios30EntryPointStructure;
// Defined in SmbiosDxe.c without a declaration in its header.
EFI_STATUS EFIAPI SmbiosDriverEntryPoint(IN EFI_HANDLE ImageHandle,
                                         IN EFI_SYSTEM_TABLE *SystemTable);
VOID EFIAPI GetMaxSmbiosHandle(IN CONST EFI_SMBIOS_PROTOCOL *This,
                               IN OUT EFI_SMBIOS_HANDLE *MaxHandle);

// Its globals as a freshly loaded image has them: the entry point templates
// are rewritten before each use, so only these hold state.
unsigned long long HostStartSmbiosDxe(unsigned short Version, unsigned int EntryPointMethod) {
  ZeroMem(&mPrivateData, sizeof(mPrivateData));
  mPreAllocatedPages = 0;
  mPre64BitAllocatedPages = 0;
  EntryPointStructure = NULL;
  Smbios30EntryPointStructure = NULL;
  HostPcdSmbiosVersion = Version;
  HostPcdSmbiosEntryPointProvideMethod = EntryPointMethod;
  return SmbiosDriverEntryPoint(gImageHandle, gST);
}

void *HostSmbiosDxeRecord(void) { return &mPrivateData.Smbios; }

unsigned short HostEndOfTableHandle(void) {
  EFI_SMBIOS_HANDLE Handle = 0;
  GetMaxSmbiosHandle(&mPrivateData.Smbios, &Handle);
  return Handle;
}

size_t HostWalkSmbiosDxe(struct HOST_SMBIOS_ENTRY *Entries, size_t Capacity) {
  EFI_SMBIOS_PROTOCOL *Smbios = &mPrivateData.Smbios;
  EFI_SMBIOS_HANDLE Handle = SMBIOS_HANDLE_PI_RESERVED;
  size_t Count = 0;
  for (;;) {
    EFI_SMBIOS_TABLE_HEADER *Record = NULL;
    EFI_HANDLE Producer = NULL;
    if (EFI_ERROR(Smbios->GetNext(Smbios, &Handle, NULL, &Record, &Producer))) {
      return Count;
    }
    // Each structure follows its record header in SmbiosDxe's entry.
    EFI_SMBIOS_RECORD_HEADER *Header = (EFI_SMBIOS_RECORD_HEADER *)Record - 1;
    if (Count < Capacity) {
      Entries[Count].Structure = (const unsigned char *)Record;
      Entries[Count].Size = Header->RecordSize - Header->HeaderSize;
      Entries[Count].Producer = Producer;
    }
    Count++;
  }
}

static BOOLEAN SumsToZero(CONST UINT8 *Bytes, UINTN Length) {
  UINT8 Sum = 0;
  for (UINTN Index = 0; Index < Length; Index++) {
    Sum = (UINT8)(Sum + Bytes[Index]);
  }
  return Sum == 0;
}

static VOID *FindTable(EFI_GUID *Guid) {
  for (UINTN Index = 0; Index < gST->NumberOfTableEntries; Index++) {
    if (CompareGuid(&gST->ConfigurationTable[Index].VendorGuid, Guid)) {
      return gST->ConfigurationTable[Index].VendorTable;
    }
  }
  return NULL;
}

int HostPublishedStructure(int Table64, unsigned short Handle, const unsigned char **Bytes,
                           size_t *Size) {
  CONST UINT8 *Table = NULL;
  UINTN Length = 0;
  if (Table64) {
    SMBIOS_TABLE_3_0_ENTRY_POINT *Entry = FindTable(&gEfiSmbios3TableGuid);
    if (Entry != NULL) {
      Table = (CONST UINT8 *)(UINTN)Entry->TableAddress;
      Length = Entry->TableMaximumSize;
    }
  } else {
    SMBIOS_TABLE_ENTRY_POINT *Entry = FindTable(&gEfiSmbiosTableGuid);
    if (Entry != NULL) {
      Table = (CONST UINT8 *)(UINTN)Entry->TableAddress;
      Length = Entry->TableLength;
    }
  }
  UINTN Offset = 0;
  while (Table != NULL && Offset + 4 <= Length) {
    UINTN End = Offset + Table[Offset + 1];
    while (End + 1 < Length && (Table[End] != 0 || Table[End + 1] != 0)) {
      End++;
    }
    if ((UINT16)(Table[Offset + 2] | (Table[Offset + 3] << 8)) == Handle) {
      *Bytes = Table + Offset;
      *Size = End + 2 - Offset;
      return 1;
    }
    Offset = End + 2;
  }
  return 0;
}

int HostPublishedEndOfTable(unsigned short *Handle) {
  CONST UINT8 *Table = NULL;
  UINTN Length = 0;
  SMBIOS_TABLE_3_0_ENTRY_POINT *Entry3 = FindTable(&gEfiSmbios3TableGuid);
  SMBIOS_TABLE_ENTRY_POINT *Entry2 = FindTable(&gEfiSmbiosTableGuid);
  if (Entry3 != NULL) {
    if (!SumsToZero((CONST UINT8 *)Entry3, Entry3->EntryPointLength)) {
      return 0;
    }
    Table = (CONST UINT8 *)(UINTN)Entry3->TableAddress;
    Length = Entry3->TableMaximumSize;
  } else if (Entry2 != NULL) {
    if (!SumsToZero((CONST UINT8 *)Entry2, Entry2->EntryPointLength)) {
      return 0;
    }
    Table = (CONST UINT8 *)(UINTN)Entry2->TableAddress;
    Length = Entry2->TableLength;
  }
  if (Table == NULL) {
    return 0;
  }
  // SmbiosDxe writes the table itself, so its structures are whole.
  UINTN Offset = 0;
  while (Offset + 4 <= Length) {
    if (Table[Offset] == SMBIOS_TYPE_END_OF_TABLE) {
      *Handle = (UINT16)(Table[Offset + 2] | (Table[Offset + 3] << 8));
      return 1;
    }
    UINTN End = Offset + Table[Offset + 1];
    while (End + 1 < Length && (Table[End] != 0 || Table[End + 1] != 0)) {
      End++;
    }
    Offset = End + 2;
  }
  return 0;
}

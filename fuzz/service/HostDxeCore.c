// The boot services that EDK II's SmbiosDxe and our by-handle service call,
// for the host: pool and pages, the protocol database, configuration tables,
// events and event groups, and the TPL. Each behaves as the DXE core does
// where either module depends on it; where it departs, a comment says how.
// Every allocation (pool, pages, and the pool the DXE core itself takes for
// an event, a protocol entry or a larger configuration table) is counted, and
// any of them can be made to fail.
// The C library first: MdePkg's X64 ProcessorBind.h makes every later
// declaration hidden, which would keep these from binding to the shared libc.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <PiDxe.h>

#include <Library/BaseMemoryLib.h>

#include "HostSmbiosDxe.h"

#define HOST_PAGE 4096u
#define MAX_BLOCKS 8192
#define MAX_EVENTS 16
#define MAX_PROTOCOLS 8

static void Fail(const char *What) {
  fprintf(stderr, "host DXE core: %s\n", What);
  abort();
}

// ---- Fault injection ---------------------------------------------------------

static unsigned AllocationCount;  // allocations made since the last reset
static unsigned FailingAt[8];     // 1-based allocation numbers that fail
static unsigned FailingCount;
static unsigned FailedCount;
static BOOLEAN PublishingMayFail = TRUE;

void HostPublishingMayFail(int MayFail) { PublishingMayFail = MayFail ? TRUE : FALSE; }

void HostFailAllocation(unsigned After) {
  if (FailingCount < sizeof(FailingAt) / sizeof(FailingAt[0])) {
    FailingAt[FailingCount++] = AllocationCount + After;
  }
}

unsigned HostAllocationsFailed(void) { return FailedCount; }

// TRUE when this allocation is one made to fail. Publishing is TRUE for the
// allocations SmbiosDxe makes to publish its table (pages, a larger
// configuration table array).
static BOOLEAN NextAllocationFails(BOOLEAN Publishing) {
  AllocationCount++;
  if (Publishing && !PublishingMayFail) {
    return FALSE;
  }
  for (unsigned Index = 0; Index < FailingCount; Index++) {
    if (FailingAt[Index] == AllocationCount) {
      FailedCount++;
      return TRUE;
    }
  }
  return FALSE;
}

// ---- Pool and pages ------------------------------------------------------------

// Pool comes from malloc, so ASan guards every block; the DXE core's pool
// header is not modelled. Each block is tracked so that a run can free what
// the modules still hold and a free of an unknown pointer stops the run (the
// DXE core would ASSERT on its signature).
static struct {
  void *Address;
  UINTN Pages;  // 0 for pool
} Blocks[MAX_BLOCKS];
static UINTN BlockCount;

static void Track(void *Address, UINTN Pages) {
  if (BlockCount == MAX_BLOCKS) {
    Fail("too many blocks held");
  }
  Blocks[BlockCount].Address = Address;
  Blocks[BlockCount].Pages = Pages;
  BlockCount++;
}

// Removes the block from the list; FALSE when it is not held with that size.
static BOOLEAN Untrack(void *Address, UINTN Pages) {
  for (UINTN Index = 0; Index < BlockCount; Index++) {
    if (Blocks[Index].Address == Address) {
      if (Blocks[Index].Pages != Pages) {
        return FALSE;
      }
      Blocks[Index] = Blocks[--BlockCount];
      return TRUE;
    }
  }
  return FALSE;
}

static EFI_STATUS EFIAPI HostAllocatePool(EFI_MEMORY_TYPE Type, UINTN Size, VOID **Buffer) {
  (void)Type;
  if (Buffer == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  if (NextAllocationFails(FALSE)) {
    return EFI_OUT_OF_RESOURCES;
  }
  *Buffer = malloc(Size == 0 ? 1 : Size);
  Track(*Buffer, 0);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI HostFreePool(VOID *Buffer) {
  if (Buffer == NULL || !Untrack(Buffer, 0)) {
    Fail("FreePool of a block not allocated from pool");
  }
  free(Buffer);
  return EFI_SUCCESS;
}

// Pages come from mmap with one inaccessible page after them, as the DXE
// core's heap guard places one, so a run past the end faults at once. Below
// 4 GiB is asked for with MAP_32BIT (below 2 GiB on x86-64 Linux): SmbiosDxe
// keeps the 2.x table's address in 32 bits.
static EFI_STATUS EFIAPI HostAllocatePages(EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType,
                                           UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory) {
  (void)MemoryType;
  if (Memory == NULL || Pages == 0 || Type == AllocateAddress) {
    return EFI_INVALID_PARAMETER;  // SmbiosDxe never asks for a fixed address
  }
  if (NextAllocationFails(TRUE)) {
    return EFI_OUT_OF_RESOURCES;
  }
  int Flags = MAP_PRIVATE | MAP_ANONYMOUS;
  if (Type == AllocateMaxAddress && *Memory <= 0xFFFFFFFFull) {
    Flags |= MAP_32BIT;
  }
  UINT8 *Block = mmap(NULL, (Pages + 1) * HOST_PAGE, PROT_READ | PROT_WRITE, Flags, -1, 0);
  if (Block == MAP_FAILED) {
    return EFI_OUT_OF_RESOURCES;
  }
  mprotect(Block + Pages * HOST_PAGE, HOST_PAGE, PROT_NONE);
  if (Type == AllocateMaxAddress &&
      (EFI_PHYSICAL_ADDRESS)(UINTN)(Block + Pages * HOST_PAGE) - 1 > *Memory) {
    Fail("no pages below the address asked for");
  }
  Track(Block, Pages);
  *Memory = (EFI_PHYSICAL_ADDRESS)(UINTN)Block;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI HostFreePages(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages) {
  if (!Untrack((void *)(UINTN)Memory, Pages)) {
    Fail("FreePages of pages not allocated with that count");
  }
  munmap((void *)(UINTN)Memory, (Pages + 1) * HOST_PAGE);
  return EFI_SUCCESS;
}

static void FreeEverything(void) {
  while (BlockCount > 0) {
    BlockCount--;
    if (Blocks[BlockCount].Pages == 0) {
      free(Blocks[BlockCount].Address);
    } else {
      munmap(Blocks[BlockCount].Address, (Blocks[BlockCount].Pages + 1) * HOST_PAGE);
    }
  }
}

size_t HostBlocksHeld(void) { return BlockCount; }

// ---- TPL and events ------------------------------------------------------------

typedef struct {
  BOOLEAN InUse;
  BOOLEAN Pending;  // signalled, its notification not yet run
  UINT32 Type;
  EFI_TPL NotifyTpl;
  EFI_EVENT_NOTIFY Notify;
  VOID *Context;
  BOOLEAN InGroup;
  EFI_GUID Group;
} HOST_EVENT;

static HOST_EVENT Events[MAX_EVENTS];
static EFI_TPL CurrentTpl = TPL_APPLICATION;

static EFI_TPL EFIAPI HostRaiseTpl(EFI_TPL NewTpl) {
  EFI_TPL Old = CurrentTpl;
  if (NewTpl < Old || NewTpl > TPL_HIGH_LEVEL) {
    Fail("RaiseTPL to a lower TPL");  // the DXE core ASSERTs
  }
  CurrentTpl = NewTpl;
  return Old;
}

// As the DXE core: before the TPL drops to NewTpl, every pending notification
// above it runs, highest TPL first, at its own TPL.
static VOID EFIAPI HostRestoreTpl(EFI_TPL NewTpl) {
  if (NewTpl > CurrentTpl) {
    Fail("RestoreTPL to a higher TPL");
  }
  for (;;) {
    HOST_EVENT *Next = NULL;
    for (UINTN Index = 0; Index < MAX_EVENTS; Index++) {
      HOST_EVENT *Event = &Events[Index];
      if (Event->InUse && Event->Pending && Event->NotifyTpl > NewTpl &&
          (Next == NULL || Event->NotifyTpl > Next->NotifyTpl)) {
        Next = Event;
      }
    }
    if (Next == NULL) {
      break;
    }
    Next->Pending = FALSE;
    CurrentTpl = Next->NotifyTpl;
    Next->Notify((EFI_EVENT)Next, Next->Context);
  }
  CurrentTpl = NewTpl;
}

static EFI_STATUS EFIAPI HostCreateEventEx(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Notify,
                                           CONST VOID *Context, CONST EFI_GUID *Group,
                                           EFI_EVENT *Event) {
  if (Event == NULL || Type != EVT_NOTIFY_SIGNAL || Notify == NULL ||
      NotifyTpl <= TPL_APPLICATION || NotifyTpl >= TPL_HIGH_LEVEL) {
    // Only the notify-signal events the modules create are modelled.
    return EFI_INVALID_PARAMETER;
  }
  // The DXE core takes the event's record from pool.
  if (NextAllocationFails(FALSE)) {
    return EFI_OUT_OF_RESOURCES;
  }
  for (UINTN Index = 0; Index < MAX_EVENTS; Index++) {
    HOST_EVENT *Slot = &Events[Index];
    if (!Slot->InUse) {
      memset(Slot, 0, sizeof(*Slot));
      Slot->InUse = TRUE;
      Slot->Type = Type;
      Slot->NotifyTpl = NotifyTpl;
      Slot->Notify = Notify;
      Slot->Context = (VOID *)Context;
      if (Group != NULL) {
        Slot->InGroup = TRUE;
        Slot->Group = *Group;
      }
      *Event = Slot;
      return EFI_SUCCESS;
    }
  }
  Fail("too many events");
  return EFI_OUT_OF_RESOURCES;
}

static EFI_STATUS EFIAPI HostCreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Notify,
                                         VOID *Context, EFI_EVENT *Event) {
  return HostCreateEventEx(Type, NotifyTpl, Notify, Context, NULL, Event);
}

static HOST_EVENT *EventOf(EFI_EVENT Event) {
  HOST_EVENT *Slot = (HOST_EVENT *)Event;
  if (Slot < Events || Slot >= Events + MAX_EVENTS || !Slot->InUse) {
    Fail("an event that is not open");
  }
  return Slot;
}

static EFI_STATUS EFIAPI HostCloseEvent(EFI_EVENT Event) {
  EventOf(Event)->InUse = FALSE;
  return EFI_SUCCESS;
}

// Queues the notification and runs it at once when the TPL is below its
// own, as the DXE core's signal does by raising and restoring the TPL.
static void SignalSlot(HOST_EVENT *Slot) { Slot->Pending = TRUE; }

static EFI_STATUS EFIAPI HostSignalEvent(EFI_EVENT Event) {
  HOST_EVENT *Slot = EventOf(Event);
  EFI_TPL Old = HostRaiseTpl(TPL_HIGH_LEVEL);
  if (Slot->InGroup) {
    for (UINTN Index = 0; Index < MAX_EVENTS; Index++) {
      if (Events[Index].InUse && Events[Index].InGroup &&
          CompareGuid(&Events[Index].Group, &Slot->Group)) {
        SignalSlot(&Events[Index]);
      }
    }
  } else {
    SignalSlot(Slot);
  }
  HostRestoreTpl(Old);
  return EFI_SUCCESS;
}

static void SignalGroup(CONST EFI_GUID *Group) {
  EFI_TPL Old = HostRaiseTpl(TPL_HIGH_LEVEL);
  for (UINTN Index = 0; Index < MAX_EVENTS; Index++) {
    if (Events[Index].InUse && Events[Index].InGroup && CompareGuid(&Events[Index].Group, Group)) {
      SignalSlot(&Events[Index]);
    }
  }
  HostRestoreTpl(Old);
}

size_t HostEventsOpen(void) {
  UINTN Open = 0;
  for (UINTN Index = 0; Index < MAX_EVENTS; Index++) {
    Open += Events[Index].InUse ? 1 : 0;
  }
  return Open;
}

unsigned long long HostRaiseTplTo(unsigned long long Tpl) { return HostRaiseTpl(Tpl); }
void HostRestoreTplTo(unsigned long long Tpl) { HostRestoreTpl(Tpl); }

// ---- Protocols -------------------------------------------------------------------

// One interface per handle, which is all either module installs. The DXE core
// also notifies RegisterProtocolNotify listeners on install and reinstall and
// reconnects controllers on reinstall: nobody here registers or manages one.
static struct {
  BOOLEAN InUse;
  EFI_GUID Guid;
  VOID *Interface;
} Protocols[MAX_PROTOCOLS];

static EFI_HANDLE HandleOf(UINTN Index) { return (EFI_HANDLE)&Protocols[Index]; }

static EFI_STATUS EFIAPI HostInstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Guid,
                                                      EFI_INTERFACE_TYPE Type, VOID *Interface) {
  if (Handle == NULL || Guid == NULL || Type != EFI_NATIVE_INTERFACE || *Handle != NULL) {
    return EFI_INVALID_PARAMETER;  // installs on an existing handle are not modelled
  }
  if (NextAllocationFails(FALSE)) {  // the handle and protocol entries
    return EFI_OUT_OF_RESOURCES;
  }
  for (UINTN Index = 0; Index < MAX_PROTOCOLS; Index++) {
    if (!Protocols[Index].InUse) {
      Protocols[Index].InUse = TRUE;
      Protocols[Index].Guid = *Guid;
      Protocols[Index].Interface = Interface;
      *Handle = HandleOf(Index);
      return EFI_SUCCESS;
    }
  }
  Fail("too many protocols");
  return EFI_OUT_OF_RESOURCES;
}

static EFI_STATUS EFIAPI HostReinstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Guid,
                                                        VOID *Old, VOID *New) {
  for (UINTN Index = 0; Index < MAX_PROTOCOLS; Index++) {
    if (Protocols[Index].InUse && HandleOf(Index) == Handle &&
        CompareGuid(&Protocols[Index].Guid, Guid)) {
      if (Protocols[Index].Interface != Old) {
        return EFI_NOT_FOUND;
      }
      Protocols[Index].Interface = New;
      return EFI_SUCCESS;
    }
  }
  return EFI_NOT_FOUND;
}

static EFI_STATUS EFIAPI HostHandleProtocol(EFI_HANDLE Handle, EFI_GUID *Guid, VOID **Interface) {
  if (Guid == NULL || Interface == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  for (UINTN Index = 0; Index < MAX_PROTOCOLS; Index++) {
    if (Protocols[Index].InUse && HandleOf(Index) == Handle &&
        CompareGuid(&Protocols[Index].Guid, Guid)) {
      *Interface = Protocols[Index].Interface;
      return EFI_SUCCESS;
    }
  }
  return EFI_UNSUPPORTED;
}

static EFI_STATUS EFIAPI HostLocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Guid,
                                          VOID *SearchKey, UINTN *BufferSize, EFI_HANDLE *Buffer) {
  (void)SearchKey;
  if (SearchType != ByProtocol || Guid == NULL || BufferSize == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  UINTN Found = 0;
  for (UINTN Index = 0; Index < MAX_PROTOCOLS; Index++) {
    if (Protocols[Index].InUse && CompareGuid(&Protocols[Index].Guid, Guid)) {
      if ((Found + 1) * sizeof(EFI_HANDLE) <= *BufferSize && Buffer != NULL) {
        Buffer[Found] = HandleOf(Index);
      }
      Found++;
    }
  }
  if (Found == 0) {
    return EFI_NOT_FOUND;
  }
  BOOLEAN Fits = Found * sizeof(EFI_HANDLE) <= *BufferSize;
  *BufferSize = Found * sizeof(EFI_HANDLE);
  return Fits ? EFI_SUCCESS : EFI_BUFFER_TOO_SMALL;
}

static EFI_STATUS EFIAPI HostLocateProtocol(EFI_GUID *Guid, VOID *Registration, VOID **Interface) {
  (void)Registration;
  for (UINTN Index = 0; Index < MAX_PROTOCOLS; Index++) {
    if (Protocols[Index].InUse && CompareGuid(&Protocols[Index].Guid, Guid)) {
      *Interface = Protocols[Index].Interface;
      return EFI_SUCCESS;
    }
  }
  *Interface = NULL;
  return EFI_NOT_FOUND;
}

void *HostInstalledInterface(const void *Guid) {
  VOID *Interface = NULL;
  HostLocateProtocol((EFI_GUID *)Guid, NULL, &Interface);
  return Interface;
}

// ---- Configuration tables -----------------------------------------------------------

#define TABLE_GROWTH 16  // the DXE core grows its array by this many entries

static EFI_CONFIGURATION_TABLE Tables[4 * TABLE_GROWTH];
static UINTN TableCapacity;
static EFI_SYSTEM_TABLE SystemTable;

// As the DXE core: adds, replaces or (Table NULL) removes the entry, then
// signals the event group named by the GUID.
static EFI_STATUS EFIAPI HostInstallConfigurationTable(EFI_GUID *Guid, VOID *Table) {
  if (Guid == NULL) {
    return EFI_INVALID_PARAMETER;
  }
  UINTN Index = 0;
  while (Index < SystemTable.NumberOfTableEntries &&
         !CompareGuid(&Tables[Index].VendorGuid, Guid)) {
    Index++;
  }
  if (Index < SystemTable.NumberOfTableEntries) {
    if (Table != NULL) {
      Tables[Index].VendorTable = Table;
    } else {
      SystemTable.NumberOfTableEntries--;
      memmove(&Tables[Index], &Tables[Index + 1],
              (SystemTable.NumberOfTableEntries - Index) * sizeof(Tables[0]));
    }
  } else {
    if (Table == NULL) {
      return EFI_NOT_FOUND;
    }
    if (SystemTable.NumberOfTableEntries == TableCapacity) {
      // The DXE core allocates a larger array here, and can fail to.
      if (NextAllocationFails(TRUE)) {
        return EFI_OUT_OF_RESOURCES;
      }
      if (TableCapacity + TABLE_GROWTH > sizeof(Tables) / sizeof(Tables[0])) {
        Fail("too many configuration tables");
      }
      TableCapacity += TABLE_GROWTH;
    }
    Tables[Index].VendorGuid = *Guid;
    Tables[Index].VendorTable = Table;
    SystemTable.NumberOfTableEntries++;
  }
  SignalGroup(Guid);
  return EFI_SUCCESS;
}

// ---- The tables -------------------------------------------------------------------------

// Every slot no module here calls stops the run.
static EFI_STATUS EFIAPI Unexpected(void) {
  Fail("a boot service that is not modelled");
  return EFI_UNSUPPORTED;
}

static EFI_BOOT_SERVICES BootServices;

static void BuildTables(void) {
  VOID **Slot = (VOID **)((UINT8 *)&BootServices + sizeof(EFI_TABLE_HEADER));
  VOID **End = (VOID **)((UINT8 *)&BootServices + sizeof(BootServices));
  for (; Slot < End; Slot++) {
    *Slot = (VOID *)Unexpected;
  }
  BootServices.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  BootServices.Hdr.HeaderSize = sizeof(BootServices);
  BootServices.RaiseTPL = HostRaiseTpl;
  BootServices.RestoreTPL = HostRestoreTpl;
  BootServices.AllocatePages = HostAllocatePages;
  BootServices.FreePages = HostFreePages;
  BootServices.AllocatePool = HostAllocatePool;
  BootServices.FreePool = HostFreePool;
  BootServices.CreateEvent = HostCreateEvent;
  BootServices.CreateEventEx = HostCreateEventEx;
  BootServices.SignalEvent = HostSignalEvent;
  BootServices.CloseEvent = HostCloseEvent;
  BootServices.InstallProtocolInterface = HostInstallProtocolInterface;
  BootServices.ReinstallProtocolInterface = HostReinstallProtocolInterface;
  BootServices.HandleProtocol = HostHandleProtocol;
  BootServices.LocateHandle = HostLocateHandle;
  BootServices.LocateProtocol = HostLocateProtocol;
  BootServices.InstallConfigurationTable = HostInstallConfigurationTable;
  SystemTable.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  SystemTable.Hdr.HeaderSize = sizeof(SystemTable);
  SystemTable.BootServices = &BootServices;
  SystemTable.ConfigurationTable = Tables;
  SystemTable.NumberOfTableEntries = 0;
}

EFI_SYSTEM_TABLE *gST;
EFI_BOOT_SERVICES *gBS;
EFI_HANDLE gImageHandle;

void *HostSystemTable(void) { return &SystemTable; }

void HostResetDxeCore(void) {
  FreeEverything();
  memset(Events, 0, sizeof(Events));
  memset(Protocols, 0, sizeof(Protocols));
  memset(Tables, 0, sizeof(Tables));
  TableCapacity = 0;
  CurrentTpl = TPL_APPLICATION;
  AllocationCount = 0;
  FailingCount = 0;
  FailedCount = 0;
  PublishingMayFail = TRUE;
  BuildTables();
  gST = &SystemTable;
  gBS = &BootServices;
  gImageHandle = (EFI_HANDLE)&SystemTable;  // any non-null handle
}

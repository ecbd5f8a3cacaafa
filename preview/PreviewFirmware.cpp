// Boot services and the SMBIOS table service for a preview run: just what the
// driver calls, over a table held in memory.
#include "preview/PreviewFirmware.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

#include "driver/Driver.h"
#include "driver/TriggerProtocol.h"
#include "platform/Platform.h"
#include "smbios/StringSet.h"

namespace preview {

struct PreviewEvent {
  EFI_EVENT_NOTIFY Notify;
  VOID *Context;
  bool Closed;
};

static EFI_BOOT_SERVICES BootServices;
static EFI_SYSTEM_TABLE SystemTable;
static SMBIOS_TABLE_SERVICE TableService;
static StructureList *Table;
static std::map<UINT16, size_t> ByHandle;
static std::vector<UINT8> HandedOut;  // the last structure read, held until the next read
static std::set<VOID *> LivePool;
static PreviewEvent Event;
static bool EventCreated;
static EFI_EVENT Registered;
static bool TriggerInstalled;
static int TriggerInterface;
static const char *Unprovided;
static UINT32 Probes;

static UINT16 HandleOf(const std::vector<UINT8> &Structure) {
  return (UINT16)(Structure[2] | (Structure[3] << 8));
}

std::string SplitTable(const std::vector<UINT8> &Bytes, StructureList *Structures) {
  std::set<UINT16> Handles;
  size_t Offset = 0;
  while (Offset < Bytes.size()) {
    char Where[64];
    std::snprintf(Where, sizeof(Where), "the structure at table offset %zu", Offset);
    if (Bytes.size() - Offset < SMBIOS_HEADER_SIZE) {
      return std::string(Where) + " overruns the table";
    }
    if (Bytes[Offset + 1] < SMBIOS_HEADER_SIZE) {
      return std::string(Where) + " has a Length below 4";
    }
    UINT16 Size = GetStructureSize(&Bytes[Offset], Bytes.size() - Offset);
    if (Size == 0) {
      return std::string(Where) + " overruns the table (no closing zero pair)";
    }
    Structures->emplace_back(Bytes.begin() + (long)Offset, Bytes.begin() + (long)(Offset + Size));
    if (!Handles.insert(HandleOf(Structures->back())).second) {
      return std::string(Where) + " repeats a handle";
    }
    Offset += Size;
    if (Structures->back()[0] == SMBIOS_TYPE_END_OF_TABLE) {
      break;
    }
  }
  return "";
}

static EFI_STATUS EFIAPI ReadByHandle(UINT16 Handle, UINT8 **Structure, UINT16 *Size) {
  Probes++;
  auto Found = ByHandle.find(Handle);
  if (Found == ByHandle.end()) {
    return EFI_NOT_FOUND;
  }
  HandedOut = (*Table)[Found->second];
  *Structure = HandedOut.data();
  *Size = (UINT16)HandedOut.size();
  return EFI_SUCCESS;
}

// Takes a write only as the board's service does: a known handle other than
// End-of-Table, bytes that are one whole structure of Size bytes, the same
// handle and type in its header.
static EFI_STATUS EFIAPI WriteByHandle(UINT16 Handle, CONST UINT8 *Buffer, UINT16 Size) {
  auto Found = ByHandle.find(Handle);
  if (Found == ByHandle.end()) {
    return EFI_NOT_FOUND;
  }
  std::vector<UINT8> &Old = (*Table)[Found->second];
  if (Buffer == nullptr || Old[0] == SMBIOS_TYPE_END_OF_TABLE ||
      GetStructureSize(Buffer, Size) != Size || Buffer[0] != Old[0] ||
      (UINT16)(Buffer[2] | (Buffer[3] << 8)) != Handle) {
    return EFI_INVALID_PARAMETER;
  }
  Old.assign(Buffer, Buffer + Size);
  return EFI_SUCCESS;
}

// Every boot service slot the driver is not expected to use.
static EFI_STATUS EFIAPI NotProvided() {
  Unprovided = "a boot service the preview does not provide";
  return EFI_UNSUPPORTED;
}

static EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
  *Buffer = std::malloc(Size == 0 ? 1 : Size);
  if (*Buffer == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  LivePool.insert(*Buffer);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FreePool(VOID *Buffer) {
  if (LivePool.erase(Buffer) == 0) {
    Unprovided = "FreePool of memory that is not pool";
    return EFI_INVALID_PARAMETER;
  }
  std::free(Buffer);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI CreateEvent(UINT32, EFI_TPL, EFI_EVENT_NOTIFY Notify, VOID *Context,
                                     EFI_EVENT *Created) {
  if (EventCreated) {
    Unprovided = "a second event";
    return EFI_OUT_OF_RESOURCES;
  }
  EventCreated = true;
  Event = {Notify, Context, false};
  *Created = &Event;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI CloseEvent(EFI_EVENT Closing) {
  if (Closing != &Event || Event.Closed) {
    Unprovided = "CloseEvent of an event that is not open";
    return EFI_INVALID_PARAMETER;
  }
  Event.Closed = true;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI RegisterProtocolNotify(EFI_GUID *Protocol, EFI_EVENT Notified,
                                                VOID **Registration) {
  if (std::memcmp(Protocol, &TriggerProtocolGuid, sizeof(EFI_GUID)) == 0) {
    Registered = Notified;
  }
  *Registration = Notified;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *Protocol, VOID *, VOID **Interface) {
  *Interface = nullptr;
  if (TriggerInstalled && std::memcmp(Protocol, &TriggerProtocolGuid, sizeof(EFI_GUID)) == 0) {
    *Interface = &TriggerInterface;
  } else if (std::memcmp(Protocol, &SmbiosServiceGuid, sizeof(EFI_GUID)) == 0) {
    *Interface = &TableService;
  }
  return *Interface == nullptr ? EFI_NOT_FOUND : EFI_SUCCESS;
}

static void InstallServices() {
  VOID **Slots = (VOID **)((UINT8 *)&BootServices + sizeof(BootServices.Hdr));
  for (size_t Slot = 0; Slot < (sizeof(BootServices) - sizeof(BootServices.Hdr)) / sizeof(VOID *);
       Slot++) {
    Slots[Slot] = (VOID *)&NotProvided;
  }
  BootServices.AllocatePool = AllocatePool;
  BootServices.FreePool = FreePool;
  BootServices.CreateEvent = CreateEvent;
  BootServices.CloseEvent = CloseEvent;
  BootServices.RegisterProtocolNotify = RegisterProtocolNotify;
  BootServices.LocateProtocol = LocateProtocol;
  SystemTable.BootServices = &BootServices;
  for (VOID *&Entry : TableService.Entry0To11) {
    Entry = (VOID *)&NotProvided;
  }
  TableService.Entry13 = (VOID *)&NotProvided;
  TableService.ReadStructureByHandle = ReadByHandle;
  TableService.WriteStructureByHandle = WriteByHandle;
}

std::string RunDriver(StructureList *Structures, UINT8 Code) {
  Table = Structures;
  for (size_t Index = 0; Index < Structures->size(); Index++) {
    ByHandle[HandleOf((*Structures)[Index])] = Index;
  }
  InstallServices();
  PresentStrapCode(Code);
  static int ImageHandle;
  DriverEntry(&ImageHandle, &SystemTable);
  if (Registered != &Event) {
    return "the driver did not register for the trigger";
  }
  // Installing the trigger signals the event registered for it.
  TriggerInstalled = true;
  Event.Notify(&Event, Event.Context);
  if (Unprovided != nullptr) {
    return std::string("the driver asked for ") + Unprovided;
  }
  if (!Event.Closed) {
    return "the driver's walk did not end (its event is still open)";
  }
  if (!LivePool.empty()) {
    return "the driver left pool memory allocated";
  }
  return "";
}

UINT32 ProbeCount() { return Probes; }

}  // namespace preview

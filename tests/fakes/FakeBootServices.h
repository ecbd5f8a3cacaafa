// A boot services table for host tests. Pool, events and event groups with
// the TPL's hold on notifications, protocol lookup, installation and
// notification are modelled; every other slot aborts the test.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Uefi.h"

struct FakeEvent {
  UINT32 Type;
  EFI_TPL NotifyTpl;
  EFI_EVENT_NOTIFY Notify;
  VOID *Context;
  bool Closed;
  unsigned Signals;
  bool InGroup = false;  // made by CreateEventEx with a group
  EFI_GUID Group = {};
  bool Pending = false;  // signalled while the TPL held its notification back
};

struct FakeFirmware {
  EFI_BOOT_SERVICES BootServices;
  EFI_SYSTEM_TABLE SystemTable;

  // Pool: each allocation is an exact-size heap block so ASan sees overruns.
  std::set<VOID *> LivePool;
  std::vector<UINTN> AllocationSizes;
  // This allocation (counting from 1) reports success but hands back null.
  size_t NullAllocation = 0;

  // Events created, in order; an EFI_EVENT is a FakeEvent pointer.
  std::vector<std::unique_ptr<FakeEvent>> Events;
  EFI_STATUS CreateEventStatus = EFI_SUCCESS;

  unsigned CreateEventExCalls = 0;
  unsigned CreateEventExFailsFrom = 0;  // the n-th CreateEventEx (from 1) and later fail
  // The TPL the code under test runs at: notifications at or below it wait.
  EFI_TPL Tpl = TPL_APPLICATION;

  // Interfaces LocateProtocol finds, by GUID, and events registered for them.
  // The handle of Interfaces[i] is HandleOf(i); LocateHandle, HandleProtocol
  // and ReinstallProtocolInterface work on it.
  std::vector<std::pair<EFI_GUID, VOID *>> Interfaces;
  EFI_STATUS ReinstallStatus = EFI_SUCCESS;
  std::vector<std::pair<EFI_GUID, EFI_EVENT>> Notifications;

  // Calls of each boot service by name ("AllocatePool", "CloseEvent", ...),
  // counted from 1, and the call numbers of each that fail. A refused FreePool
  // leaves its block allocated, as the firmware does.
  std::map<std::string, unsigned> Calls;
  std::map<std::string, std::set<unsigned>> Failing;
};

FakeFirmware &Firmware();
// Fresh tables, nothing installed, nothing allocated.
void ResetFirmware();
// Fresh call log, boot services and SMBIOS table, and a fresh ServiceContext
// initialised from the fake system table and pointing at the fake SMBIOS
// service. Hardware is reset separately: each harness links its own backend.
void ResetServiceFakes();
// Installs Interface under Guid and signals, as the firmware does, every event
// registered for it; the notification runs at once.
void InstallInterface(const EFI_GUID &Guid, VOID *Interface);
FakeEvent *AsFakeEvent(EFI_EVENT Event);
EFI_HANDLE HandleOf(size_t InterfaceIndex);
// Signals every open event of Group, as InstallConfigurationTable does for a
// table's GUID: each notification runs at once unless the TPL holds it back.
void SignalEventGroup(const EFI_GUID &Group);
// Lowers the TPL to Tpl and runs the notifications it held back.
void LowerTpl(EFI_TPL Tpl);
size_t PoolLeaks();
// Events neither closed nor failed to create: each holds a notification
// function that must stay loaded.
size_t OpenEvents();
bool SameGuid(const EFI_GUID &A, const EFI_GUID &B);

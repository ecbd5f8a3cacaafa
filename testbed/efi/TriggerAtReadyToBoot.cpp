// A firmware driver standing in for a component that installs the trigger
// interface too late: from its ReadyToBoot notification. EDK II notifies the
// members of an event group at one TPL in the reverse order of their
// registration, and this driver registers early (it waits for nothing), so a
// platform that measures the SMBIOS table at ReadyToBoot from a driver
// dispatched later has measured the table before the rewrite: the TPM
// attests the old product name while the OS reads the new one.
#include "modules/SmbiosBoardNameTrigger/EventGroups.h"
#include "testbed/efi/InstallTrigger.h"

// EFI_EVENT_GROUP_READY_TO_BOOT: signalled by the boot manager right before
// it starts a boot option.
#define TESTBED_READY_TO_BOOT_EVENT_GROUP_GUID                                     \
  {                                                                                \
    0x7CE88FB3, 0x4BD7, 0x4679, { 0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B } \
  }

static VOID EFIAPI OnReadyToBoot(IN EFI_EVENT Event, IN VOID *Context) {
  EFI_BOOT_SERVICES *BootServices = (EFI_BOOT_SERVICES *)Context;
  BootServices->CloseEvent(Event);
  InstallTrigger(BootServices);
}

extern "C" EFI_STATUS EFIAPI TriggerAtReadyToBootEntry(IN EFI_HANDLE ImageHandle,
                                                       IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  static CONST EFI_GUID ReadyToBoot = TESTBED_READY_TO_BOOT_EVENT_GROUP_GUID;
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  EFI_EVENT Event = nullptr;
  return BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnReadyToBoot, BootServices,
                                     &ReadyToBoot, &Event);
}

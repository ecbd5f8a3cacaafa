// Boot-service driver that installs the board-name driver's trigger interface
// from the End-of-DXE notification: after every driver of the volumes, the
// platform's SMBIOS producers among them, has run, and before the table is
// measured or any boot option starts. It writes nothing to the console.
#include "driver/TriggerProtocol.h"
#include "modules/SmbiosBoardNameTrigger/EventGroups.h"

// The interface is only ever located, never read; this image stays resident,
// so a record of its own serves.
static UINT64 TriggerInterface;

static VOID EFIAPI InstallTriggerAtEndOfDxe(IN EFI_EVENT Event, IN VOID *Context) {
  EFI_BOOT_SERVICES *BootServices = (EFI_BOOT_SERVICES *)Context;
  BootServices->CloseEvent(Event);
  EFI_HANDLE Handle = nullptr;
  BootServices->InstallProtocolInterface(&Handle, &TriggerProtocolGuid, EFI_NATIVE_INTERFACE,
                                         &TriggerInterface);
}

// Registers for End-of-DXE. EFI_SUCCESS once registered; otherwise
// CreateEventEx's own status, and the trigger is never installed.
extern "C" EFI_STATUS EFIAPI SmbiosBoardNameTriggerEntry(IN EFI_HANDLE ImageHandle,
                                                         IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  static CONST EFI_GUID EndOfDxe = EFI_END_OF_DXE_EVENT_GROUP_GUID;
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  EFI_EVENT Event = nullptr;
  return BootServices->CreateEventEx(EVT_NOTIFY_SIGNAL, TPL_CALLBACK, InstallTriggerAtEndOfDxe,
                                     BootServices, &EndOfDxe, &Event);
}

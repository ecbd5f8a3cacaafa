// Firmware drivers standing in for the component that installs the trigger
// interface during boot, dispatched from the firmware volume like the driver.
//   TriggerAtEndOfDxeEntry  installs it from the End-of-DXE notification: after
//                           every driver, the platform's SMBIOS producer among
//                           them, has run, and before any boot option starts.
//   TriggerAtEntryEntry     installs it in its own entry point; placed before
//                           the driver in the volume, it installs too early.
// Both first read each strap port once, so the port trace shows it works even
// in boots where the driver must read nothing.
#include "platform/Platform.h"
#include "testbed/efi/InstallTrigger.h"
#include "testbed/efi/TestbedUefi.h"

static VOID MarkStrapTrace() {
  (void)PortRead8(0x1C0E);
  (void)PortRead8(0x1C38);
}

static VOID EFIAPI OnEndOfDxe(IN EFI_EVENT Event, IN VOID *Context) {
  EFI_BOOT_SERVICES *BootServices = (EFI_BOOT_SERVICES *)Context;
  BootServices->CloseEvent(Event);
  MarkStrapTrace();
  InstallTrigger(BootServices);
}

extern "C" EFI_STATUS EFIAPI TriggerAtEndOfDxeEntry(IN EFI_HANDLE ImageHandle,
                                                    IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  static CONST EFI_GUID EndOfDxe = EFI_END_OF_DXE_EVENT_GROUP_GUID;
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;
  EFI_EVENT Event = nullptr;
  return ((EFI_CREATE_EVENT_EX)BootServices->CreateEventEx)(
      EVT_NOTIFY_SIGNAL, TPL_CALLBACK, OnEndOfDxe, BootServices, &EndOfDxe, &Event);
}

extern "C" EFI_STATUS EFIAPI TriggerAtEntryEntry(IN EFI_HANDLE ImageHandle,
                                                 IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  MarkStrapTrace();
  return InstallTrigger(SystemTable->BootServices);
}

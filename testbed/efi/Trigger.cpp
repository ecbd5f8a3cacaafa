// Application standing in for the firmware component whose installation of
// the trigger interface starts the driver's work. Each run installs one more
// interface on a new handle; notifications run before the install returns.
#include "driver/TriggerProtocol.h"
#include "testbed/efi/Console.h"
#include "testbed/efi/TriggerInterface.h"

extern "C" EFI_STATUS EFIAPI TriggerEntry(IN EFI_HANDLE ImageHandle,
                                          IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  ConsoleInit(SystemTable);
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;

  VOID *Interface = nullptr;
  EFI_STATUS Status = NewTriggerInterface(BootServices, "trigger", &Interface);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  EFI_HANDLE Handle = nullptr;
  Print("trigger: installing\n");
  Status = BootServices->InstallProtocolInterface(&Handle, &TriggerProtocolGuid,
                                                  EFI_NATIVE_INTERFACE, Interface);
  Print("trigger: install returned ");
  PrintHex(Status, 16);
  Print("\n");
  return Status;
}

#include "testbed/efi/InstallTrigger.h"

#include "driver/TriggerProtocol.h"
#include "testbed/efi/Console.h"
#include "testbed/efi/TriggerInterface.h"

EFI_STATUS InstallTrigger(IN EFI_BOOT_SERVICES *BootServices) {
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

#include "testbed/efi/InstallTrigger.h"

#include "driver/TriggerProtocol.h"
#include "testbed/efi/Console.h"

EFI_STATUS InstallTrigger(IN EFI_BOOT_SERVICES *BootServices) {
  // The interface outlives the installer's image, so it lives in pool.
  VOID *Interface = nullptr;
  EFI_STATUS Status = BootServices->AllocatePool(EfiBootServicesData, 8, &Interface);
  if (EFI_ERROR(Status)) {
    Print("trigger: no pool for the interface\n");
    return Status;
  }
  *(volatile UINT64 *)Interface = 0;

  EFI_HANDLE Handle = nullptr;
  Print("trigger: installing\n");
  Status = BootServices->InstallProtocolInterface(&Handle, &TriggerProtocolGuid,
                                                  EFI_NATIVE_INTERFACE, Interface);
  Print("trigger: install returned ");
  PrintHex(Status, 16);
  Print("\n");
  return Status;
}

// Application standing in for the firmware component whose installation of
// the trigger interface starts the driver's work. Each run installs one more
// interface on a new handle; notifications run before the install returns.
#include "driver/TriggerProtocol.h"
#include "testbed/efi/Console.h"

extern "C" EFI_STATUS EFIAPI TriggerEntry(IN EFI_HANDLE ImageHandle,
                                          IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  ConsoleInit(SystemTable);
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;

  // The interface outlives this application's image, so it lives in pool.
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

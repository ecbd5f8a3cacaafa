// Application standing in for the firmware component whose installation of
// the trigger interface starts the driver's work. Each run installs one more
// interface on a new handle; notifications run before the install returns.
#include "testbed/efi/Console.h"
#include "testbed/efi/InstallTrigger.h"

extern "C" EFI_STATUS EFIAPI TriggerEntry(IN EFI_HANDLE ImageHandle,
                                          IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  ConsoleInit(SystemTable);
  return InstallTrigger(SystemTable->BootServices);
}

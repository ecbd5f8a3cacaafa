#include "testbed/efi/TriggerInterface.h"
#include "testbed/efi/Console.h"

EFI_STATUS NewTriggerInterface(IN EFI_BOOT_SERVICES *BootServices, IN CONST CHAR8 *Tool,
                               OUT VOID **Interface) {
  *Interface = nullptr;
  EFI_STATUS Status = BootServices->AllocatePool(EfiBootServicesData, 8, Interface);
  if (EFI_ERROR(Status)) {
    return PrintFailure(Tool, "no pool for the interface", Status, Status);
  }
  *(volatile UINT64 *)*Interface = 0;
  return EFI_SUCCESS;
}

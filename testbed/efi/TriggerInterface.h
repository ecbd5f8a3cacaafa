// The interface record that the trigger stand-ins install.
#pragma once

#include "platform/Uefi.h"

// Allocates the record from boot-services pool, since it outlives the
// installing application's image; its contents are never read. Prints the
// failure as Tool's and returns its status if the pool is exhausted.
EFI_STATUS NewTriggerInterface(IN EFI_BOOT_SERVICES *BootServices, IN CONST CHAR8 *Tool,
                               OUT VOID **Interface);

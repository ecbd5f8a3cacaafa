// Installs the trigger interface on a new handle: the moment the driver's
// notification runs. Shared by the Shell application and the firmware drivers
// that stand in for the component installing it.
#pragma once

#include "platform/Uefi.h"

EFI_STATUS InstallTrigger(IN EFI_BOOT_SERVICES *BootServices);

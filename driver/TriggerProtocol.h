// The interface whose installation starts the driver's work. Only its
// installation and presence matter; its contents are never read.
#pragma once

#include "platform/Uefi.h"

extern EFI_GUID TriggerProtocolGuid;

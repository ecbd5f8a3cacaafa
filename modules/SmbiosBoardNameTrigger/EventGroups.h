// Event groups of the boot phase, written from the PI 1.x standard (End-of-DXE,
// volume 2).
#pragma once

#include "platform/Uefi.h"

// Signalled by the platform once every driver of the firmware volumes has
// been dispatched, before consoles and boot options.
#define EFI_END_OF_DXE_EVENT_GROUP_GUID                                            \
  {                                                                                \
    0x02CE967A, 0xDD7E, 0x4FFC, { 0x9E, 0xE7, 0x81, 0x0C, 0xF0, 0x47, 0x08, 0x80 } \
  }

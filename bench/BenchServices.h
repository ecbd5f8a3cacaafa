// Lean stand-ins for the firmware around the driver, for timing the driver's
// own work: a bump pool, a table service over a handle-indexed array, strap
// ports that read fixed values. No logging, so the driver's cost shows.
#pragma once

#include <vector>

#include "platform/Platform.h"

namespace bench {

// The nine structures OVMF builds under QEMU q35 (type 0, 1, 2, 3, 4, 16, 17,
// 19, 32) at their handles, and End-of-Table at 0xFEFF.
void InstallOvmfShapedTable();
// Boot services whose pool hands out two fixed blocks; everything else is unused.
void InstallLeanFirmware();
// Probes and strap reads made since the last install.
unsigned long long ProbeCount();
unsigned long long StrapReadCount();
// A typical System Information structure (type 1, SMBIOS 2.8 layout).
std::vector<UINT8> TypicalSystemInformation();
// The event the walk closes; reopened by InstallLeanFirmware.
EFI_EVENT WalkEvent();

}  // namespace bench

// The firmware around the driver when its rewrite is previewed on the host:
// boot services for the calls the driver makes, an SMBIOS table service over
// one table's structures by handle, and straps that present one code.
#pragma once

#include <string>
#include <vector>

#include "platform/Uefi.h"

namespace preview {

// A table's structures in table order, each with its strings and closing zero pair.
using StructureList = std::vector<std::vector<UINT8>>;

// Splits Table into its structures, through End-of-Table when it has one.
// Returns an empty string, or what is wrong: a structure that overruns the
// table, a Length below 4, a handle that appears twice.
std::string SplitTable(const std::vector<UINT8> &Table, StructureList *Structures);

// Loads the driver as the firmware would (its image entry), installs the
// trigger and lets the notification walk Structures with the straps
// presenting Code; each structure the driver writes back is replaced in
// place. Returns an empty string, or how the run went wrong (a boot service
// the preview does not provide, the walk not ending, pool left allocated).
std::string RunDriver(StructureList *Structures, UINT8 Code);

// The strap ports' bytes for Code, every other bit clear (PreviewHardware.cpp).
void PresentStrapCode(UINT8 Code);

// What the last RunDriver's walk cost: the handles it probed through the
// table service and the strap port reads it made (PreviewHardware.cpp).
UINT32 ProbeCount();
UINT32 StrapPortReadCount();

}  // namespace preview

// A lean hardware backend for the walk target: strap reads are answered from
// a script, every access is kept in a compact log. The recording backend of
// the unit tests formats a text line per access, too slow for 65536 probes.
#pragma once

#include <vector>

#include "platform/Uefi.h"

namespace fuzz {

struct PortAccess {
  bool Mmio;
  bool Write;
  UINT64 Address;
  UINT8 Value;
};

// The values strap reads return, one per read, in turn; empty reads 0.
void SetStrapScript(const std::vector<UINT8> &Script);
// The values the two device registers read.
constexpr UINT8 RegisterAValue = 0x5A;
constexpr UINT8 RegisterBValue = 0xA5;
const std::vector<PortAccess> &WalkHardwareLog();
void ResetWalkHardware();

}  // namespace fuzz

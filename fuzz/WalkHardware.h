// A lean hardware backend for the walk target: strap reads are answered from
// a script and checked as they come, so a walk of 65536 probes keeps one byte
// per probe rather than a log line per access (the recording backend of the
// unit tests formats a text line per access, far too slow for such walks).
#pragma once

#include <cstddef>
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
// The first five accesses, as they came: the register write-back's place.
const std::vector<PortAccess> &FirstAccesses();
// Every access made since the reset.
size_t AccessCount();
// True while every access after the first five has been the next of a group
// of four strap reads in the board's port order (low bits 1 and 5, high bits
// 0 and 2).
bool StrapReadsInOrder();
// The code each complete group of four strap reads composes, in order.
const std::vector<UINT8> &StrapCodes();
void ResetWalkHardware();

}  // namespace fuzz

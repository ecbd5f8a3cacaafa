// The host backend of the hardware access functions: records every port and
// device-register access in order and answers reads from a script.
#pragma once

#include <functional>
#include <vector>

#include "platform/Uefi.h"

enum class AccessKind { PortRead, PortWrite, MmioRead, MmioWrite };

struct HardwareAccess {
  AccessKind Kind;
  unsigned Width;  // bytes
  UINT64 Address;
  UINT32 Value;
  bool operator==(const HardwareAccess &Other) const {
    return Kind == Other.Kind && Width == Other.Width && Address == Other.Address &&
           Value == Other.Value;
  }
};

// Answers a read of Width bytes at a port (Mmio false) or physical address.
using ReadAnswer = std::function<UINT32(bool Mmio, UINT64 Address, unsigned Width)>;

const std::vector<HardwareAccess> &HardwareLog();
void SetReadAnswer(ReadAnswer Answer);
// Reads of these two strap ports return these bytes; everything else reads 0.
void SetStrapPorts(UINT8 Low, UINT8 High);
void ResetHardware();

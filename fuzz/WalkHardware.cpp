#include "fuzz/WalkHardware.h"

#include "driver/Driver.h"
#include "fuzz/RewriteModel.h"
#include "platform/Platform.h"

namespace fuzz {

static const size_t WriteBackAccesses = 5;
static const UINT16 StrapPorts[4] = {STRAP_PORT_LOW, STRAP_PORT_LOW, STRAP_PORT_HIGH,
                                     STRAP_PORT_HIGH};
static const unsigned StrapBits[4] = {1, 5, 0, 2};

static std::vector<UINT8> Script;
static size_t NextScripted;
static std::vector<PortAccess> First;
static size_t Count;
static bool InOrder;
static size_t StrapReads;  // in order, after the first five accesses
static UINT8 PartialCode;
static std::vector<UINT8> Codes;

void SetStrapScript(const std::vector<UINT8> &NewScript) {
  Script = NewScript;
  NextScripted = 0;
}

const std::vector<PortAccess> &FirstAccesses() { return First; }
size_t AccessCount() { return Count; }
bool StrapReadsInOrder() { return InOrder; }
const std::vector<UINT8> &StrapCodes() { return Codes; }

void ResetWalkHardware() {
  Script.clear();
  NextScripted = 0;
  First.clear();
  Count = 0;
  InOrder = true;
  StrapReads = 0;
  PartialCode = 0;
  Codes.clear();
  Codes.reserve(65536);
}

// Keeps the first five accesses; any later one that is not the next strap
// read in port order ends the order.
// (Fields by value: an access record on the stack would cost a sanitizer
// frame on each of the walk's 262144 strap reads.)
static void Record(bool Mmio, bool Write, UINT64 Address, UINT8 Value) {
  Count++;
  if (First.size() < WriteBackAccesses) {
    First.push_back({Mmio, Write, Address, Value});
    return;
  }
  unsigned Bit = StrapReads % 4;
  if (!InOrder || Mmio || Write || Address != StrapPorts[Bit]) {
    InOrder = false;
    return;
  }
  PartialCode = (UINT8)(PartialCode | (((Value >> StrapBits[Bit]) & 1) << Bit));
  if (++StrapReads % 4 == 0) {
    Codes.push_back(PartialCode);
    PartialCode = 0;
  }
}

}  // namespace fuzz

UINT8 PortRead8(UINT16 Port) {
  UINT8 Value = 0;
  if (!fuzz::Script.empty()) {
    if (fuzz::NextScripted == fuzz::Script.size()) {
      fuzz::NextScripted = 0;
    }
    Value = fuzz::Script[fuzz::NextScripted++];
  }
  fuzz::Record(false, false, Port, Value);
  return Value;
}

UINT8 MmioRead8(UINTN Address) {
  UINT8 Value = Address == WRITE_BACK_REGISTER_A ? fuzz::RegisterAValue : fuzz::RegisterBValue;
  fuzz::Record(true, false, Address, Value);
  return Value;
}

UINT8 MmioWrite8(UINTN Address, UINT8 Value) {
  fuzz::Record(true, true, Address, Value);
  return Value;
}

// The handler uses none of these; any use is a finding.
UINT16 PortRead16(UINT16) {
  fuzz::Require(false, "only 8-bit port reads");
  return 0;
}
UINT32 PortRead32(UINT16) {
  fuzz::Require(false, "only 8-bit port reads");
  return 0;
}
UINT8 PortWrite8(UINT16, UINT8) {
  fuzz::Require(false, "no port writes");
  return 0;
}
UINT16 PortWrite16(UINT16, UINT16) {
  fuzz::Require(false, "no port writes");
  return 0;
}
UINT32 PortWrite32(UINT16, UINT32) {
  fuzz::Require(false, "no port writes");
  return 0;
}

#include "fuzz/WalkHardware.h"

#include "driver/Driver.h"
#include "fuzz/RewriteModel.h"
#include "platform/Platform.h"

namespace fuzz {

static std::vector<UINT8> Script;
static size_t NextScripted;
static std::vector<PortAccess> Log;

void SetStrapScript(const std::vector<UINT8> &NewScript) {
  Script = NewScript;
  NextScripted = 0;
}

const std::vector<PortAccess> &WalkHardwareLog() { return Log; }

void ResetWalkHardware() {
  Script.clear();
  NextScripted = 0;
  Log.clear();
  Log.reserve(5 + 4 * 65536);
}

}  // namespace fuzz

using fuzz::Log;

UINT8 PortRead8(UINT16 Port) {
  UINT8 Value = 0;
  if (!fuzz::Script.empty()) {
    Value = fuzz::Script[fuzz::NextScripted++ % fuzz::Script.size()];
  }
  Log.push_back({false, false, Port, Value});
  return Value;
}

UINT8 MmioRead8(UINTN Address) {
  UINT8 Value = Address == WRITE_BACK_REGISTER_A ? fuzz::RegisterAValue : fuzz::RegisterBValue;
  Log.push_back({true, false, Address, Value});
  return Value;
}

UINT8 MmioWrite8(UINTN Address, UINT8 Value) {
  Log.push_back({true, true, Address, Value});
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

#include "tests/fakes/RecordingHardware.h"

#include <cstdio>

#include "driver/Driver.h"
#include "platform/Platform.h"
#include "tests/fakes/CallLog.h"

static std::vector<HardwareAccess> Accesses;
static ReadAnswer Answer;

const std::vector<HardwareAccess> &HardwareLog() { return Accesses; }

void SetReadAnswer(ReadAnswer NewAnswer) { Answer = std::move(NewAnswer); }

void SetStrapPorts(UINT8 Low, UINT8 High) {
  Answer = [Low, High](bool Mmio, UINT64 Address, unsigned) -> UINT32 {
    if (Mmio) {
      return 0;
    }
    return Address == STRAP_PORT_LOW ? Low : Address == STRAP_PORT_HIGH ? High : 0;
  };
}

void ResetHardware() {
  Accesses.clear();
  Answer = nullptr;
}

static const char *KindName(AccessKind Kind) {
  switch (Kind) {
    case AccessKind::PortRead: return "PortRead";
    case AccessKind::PortWrite: return "PortWrite";
    case AccessKind::MmioRead: return "MmioRead";
    case AccessKind::MmioWrite: return "MmioWrite";
  }
  return "?";
}

static UINT32 Record(AccessKind Kind, unsigned Width, UINT64 Address, UINT32 Value) {
  bool IsRead = Kind == AccessKind::PortRead || Kind == AccessKind::MmioRead;
  if (IsRead) {
    Value = Answer ? Answer(Kind == AccessKind::MmioRead, Address, Width) : 0;
  }
  Accesses.push_back({Kind, Width, Address, Value});
  char Line[64];
  std::snprintf(Line, sizeof(Line), "%s%u(0x%llx)=0x%x", KindName(Kind), Width * 8,
                (unsigned long long)Address, Value);
  CallLog().push_back(Line);
  return Value;
}

UINT8 PortRead8(UINT16 Port) { return (UINT8)Record(AccessKind::PortRead, 1, Port, 0); }
UINT16 PortRead16(UINT16 Port) { return (UINT16)Record(AccessKind::PortRead, 2, Port, 0); }
UINT32 PortRead32(UINT16 Port) { return Record(AccessKind::PortRead, 4, Port, 0); }
UINT8 PortWrite8(UINT16 Port, UINT8 Value) {
  return (UINT8)Record(AccessKind::PortWrite, 1, Port, Value);
}
UINT16 PortWrite16(UINT16 Port, UINT16 Value) {
  return (UINT16)Record(AccessKind::PortWrite, 2, Port, Value);
}
UINT32 PortWrite32(UINT16 Port, UINT32 Value) {
  return Record(AccessKind::PortWrite, 4, Port, Value);
}
UINT8 MmioRead8(UINTN Address) { return (UINT8)Record(AccessKind::MmioRead, 1, Address, 0); }
UINT8 MmioWrite8(UINTN Address, UINT8 Value) {
  return (UINT8)Record(AccessKind::MmioWrite, 1, Address, Value);
}

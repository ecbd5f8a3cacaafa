// Processor backend of the hardware access functions, linked into the
// firmware image. Device registers are reached through volatile byte
// pointers so the compiler keeps every access, its width and its order.
#include "platform/Platform.h"
#include "platform/X86.h"

UINT8 PortRead8(IN UINT16 Port) { return X86In8(Port); }
UINT16 PortRead16(IN UINT16 Port) { return X86In16(Port); }
UINT32 PortRead32(IN UINT16 Port) { return X86In32(Port); }

UINT8 PortWrite8(IN UINT16 Port, IN UINT8 Value) {
  X86Out8(Port, Value);
  return Value;
}

UINT16 PortWrite16(IN UINT16 Port, IN UINT16 Value) {
  X86Out16(Port, Value);
  return Value;
}

UINT32 PortWrite32(IN UINT16 Port, IN UINT32 Value) {
  X86Out32(Port, Value);
  return Value;
}

UINT8 MmioRead8(IN UINTN Address) { return *(volatile UINT8 *)Address; }

UINT8 MmioWrite8(IN UINTN Address, IN UINT8 Value) {
  *(volatile UINT8 *)Address = Value;
  return Value;
}

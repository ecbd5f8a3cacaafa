// The hardware backend of the preview: the strap ports read as the chosen
// code presents them; the device registers the driver writes back are not
// there, so reads give 0 and writes go nowhere.
#include "driver/Driver.h"
#include "platform/Platform.h"
#include "preview/PreviewFirmware.h"

static UINT8 StrapLow;
static UINT8 StrapHigh;
static UINT32 StrapReads;

// Code bit 0 is bit 1 of the low port, bit 1 bit 5; bit 2 is bit 0 of the
// high port, bit 3 bit 2.
void preview::PresentStrapCode(UINT8 Code) {
  StrapLow = (UINT8)(((Code & 1) << 1) | (((Code >> 1) & 1) << 5));
  StrapHigh = (UINT8)(((Code >> 2) & 1) | (((Code >> 3) & 1) << 2));
}

UINT32 preview::StrapPortReadCount() { return StrapReads; }

static UINT32 ReadPort(UINT16 Port) {
  if (Port != STRAP_PORT_LOW && Port != STRAP_PORT_HIGH) {
    return 0;
  }
  StrapReads++;
  return Port == STRAP_PORT_LOW ? StrapLow : StrapHigh;
}

UINT8 PortRead8(UINT16 Port) { return (UINT8)ReadPort(Port); }
UINT16 PortRead16(UINT16 Port) { return (UINT16)ReadPort(Port); }
UINT32 PortRead32(UINT16 Port) { return ReadPort(Port); }
UINT8 PortWrite8(UINT16, UINT8 Value) { return Value; }
UINT16 PortWrite16(UINT16, UINT16 Value) { return Value; }
UINT32 PortWrite32(UINT16, UINT32 Value) { return Value; }
UINT8 MmioRead8(UINTN) { return 0; }
UINT8 MmioWrite8(UINTN, UINT8 Value) { return Value; }

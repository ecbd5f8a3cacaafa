// The board strap code. Each bit comes from its own port read, so a strap
// that changes mid-sample is seen as the hardware presented it bit by bit.
#include "driver/Driver.h"
#include "platform/Platform.h"

struct STRAP_BIT {
  UINT16 Port;
  UINT8 PortBit;
};

// Indexed by the code bit they produce.
static CONST STRAP_BIT StrapBits[] = {
    {STRAP_PORT_LOW, 1},
    {STRAP_PORT_LOW, 5},
    {STRAP_PORT_HIGH, 0},
    {STRAP_PORT_HIGH, 2},
};

BOARD_STRAP_CODE ReadBoardStrapCode() {
  BOARD_STRAP_CODE Code = 0;
  for (UINTN CodeBit = 0; CodeBit < sizeof(StrapBits) / sizeof(StrapBits[0]); CodeBit++) {
    UINT8 Value = PortRead8(StrapBits[CodeBit].Port);
    Code |= (BOARD_STRAP_CODE)(((Value >> StrapBits[CodeBit].PortBit) & 1) << CodeBit);
  }
  return Code;
}

#include <gtest/gtest.h>

#include "driver/Driver.h"
#include "tests/fakes/DriverFixture.h"

namespace {

using BoardStrapsTest = DriverFixture;

// Sets exactly the four strap bits for Code, with every other bit of both
// ports at Others.
void PresentCode(BOARD_STRAP_CODE Code, UINT8 Others) {
  UINT8 Low = (UINT8)((Others & ~0x22) | ((Code & 1) << 1) | ((Code & 2) << 4));
  UINT8 High = (UINT8)((Others & ~0x05) | ((Code >> 2) & 1) | (((Code >> 3) & 1) << 2));
  SetStrapPorts(Low, High);
}

TEST_F(BoardStrapsTest, ComposesTheCodeFromItsFourBitsOnly) {
  for (BOARD_STRAP_CODE Code = 0; Code < 16; Code++) {
    for (UINT8 Others : {0x00, 0xFF, 0x55, 0xAA}) {
      PresentCode(Code, Others);
      EXPECT_EQ(ReadBoardStrapCode(), Code) << "others 0x" << std::hex << int(Others);
    }
  }
}

TEST_F(BoardStrapsTest, ReadsEachBitWithItsOwnPortRead) {
  // A port whose byte changes on every read shows which read each bit came from.
  unsigned LowReads = 0;
  SetReadAnswer([&LowReads](bool, UINT64 Address, unsigned) -> UINT32 {
    if (Address == STRAP_PORT_LOW) {
      return LowReads++ == 0 ? 0x02 : 0x00;  // bit 1 set on the first read only
    }
    return 0x04;  // bit 2 of the high port: code bit 3
  });
  EXPECT_EQ(ReadBoardStrapCode(), 0x01 | 0x08);
  EXPECT_EQ(HardwareLog(),
            (std::vector<HardwareAccess>{{AccessKind::PortRead, 1, STRAP_PORT_LOW, 0x02},
                                         {AccessKind::PortRead, 1, STRAP_PORT_LOW, 0x00},
                                         {AccessKind::PortRead, 1, STRAP_PORT_HIGH, 0x04},
                                         {AccessKind::PortRead, 1, STRAP_PORT_HIGH, 0x04}}));
}

}  // namespace

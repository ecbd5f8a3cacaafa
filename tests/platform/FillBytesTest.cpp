#include <gtest/gtest.h>

#include "platform/Platform.h"

namespace {

TEST(FillBytesTest, WritesExactlyItsBytesFromEveryAlignment) {
  for (size_t Start = 0; Start < 4; Start++) {
    for (size_t Length = 0; Length <= 9; Length++) {
      alignas(8) UINT8 Buffer[32];
      for (UINT8 &Byte : Buffer) {
        Byte = 0xEE;
      }
      UINT8 *Target = Buffer + 8 + Start;
      EXPECT_EQ(FillBytes(Target, Length, 0x5A), Target);
      for (size_t Index = 0; Index < sizeof(Buffer); Index++) {
        bool Inside = Index >= 8 + Start && Index < 8 + Start + Length;
        ASSERT_EQ(Buffer[Index], Inside ? 0x5A : 0xEE)
            << "start " << Start << " length " << Length << " byte " << Index;
      }
    }
  }
}

TEST(FillBytesTest, FillsLongRunsFromEveryAlignment) {
  for (size_t Start = 0; Start < 4; Start++) {
    for (size_t Length : {127, 128, 129, 290}) {
      alignas(8) UINT8 Buffer[300] = {0};
      FillBytes(Buffer + Start + 1, Length, 0xFF);
      for (size_t Index = 0; Index < sizeof(Buffer); Index++) {
        bool Inside = Index > Start && Index <= Start + Length;
        ASSERT_EQ(Buffer[Index], Inside ? 0xFF : 0) << Start << "/" << Length << " byte " << Index;
      }
    }
  }
}

}  // namespace

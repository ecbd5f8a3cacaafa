#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/Platform.h"

namespace {

// A 64-byte-aligned arena of distinct bytes, so any misplaced byte shows.
struct Arena {
  alignas(64) UINT8 Bytes[640];
  Arena() {
    for (size_t Index = 0; Index < sizeof(Bytes); Index++) {
      Bytes[Index] = (UINT8)(Index * 7 + 3);
    }
  }
};

// Compares CopyBytes with memmove over every source offset, destination
// offset and length in the ranges, which covers both directions, the byte
// and word paths, and equal and unequal word offsets.
void ExpectSameAsMemmove(size_t MaxOffset, size_t MinLength, size_t MaxLength) {
  for (size_t From = 0; From < MaxOffset; From++) {
    for (size_t To = 0; To < MaxOffset; To++) {
      for (size_t Length = MinLength; Length <= MaxLength; Length++) {
        Arena Ours;
        Arena Reference;
        CopyBytes(Ours.Bytes + 64 + To, Ours.Bytes + 64 + From, Length);
        std::memmove(Reference.Bytes + 64 + To, Reference.Bytes + 64 + From, Length);
        ASSERT_EQ(0, std::memcmp(Ours.Bytes, Reference.Bytes, sizeof(Ours.Bytes)))
            << "from +" << From << " to +" << To << " length " << Length;
      }
    }
  }
}

TEST(CopyBytesTest, MatchesMemmoveForEveryOverlapAndAlignment) { ExpectSameAsMemmove(24, 0, 70); }

// Long runs take the string-move path upward and the word loop downward.
TEST(CopyBytesTest, MatchesMemmoveForLongRuns) { ExpectSameAsMemmove(17, 505, 520); }

TEST(CopyBytesTest, ShiftsTwentyBytesUpAndDownByOne) {
  UINT8 Up[22] = {0};
  UINT8 Down[22] = {0};
  for (int Index = 0; Index < 20; Index++) {
    Up[Index] = (UINT8)(Index + 1);
    Down[Index + 2] = (UINT8)(Index + 1);
  }
  CopyBytes(Up + 1, Up, 20);
  CopyBytes(Down + 1, Down + 2, 20);
  for (int Index = 0; Index < 20; Index++) {
    EXPECT_EQ(Up[Index + 1], Index + 1);
    EXPECT_EQ(Down[Index + 1], Index + 1);
  }
  EXPECT_EQ(Up[0], 1);  // the vacated byte keeps its value
  EXPECT_EQ(Down[21], 20);
}

TEST(CopyBytesTest, SourceEndingAtTheDestinationAndDisjointAreas) {
  Arena Ours;
  Arena Reference;
  // Source [64, 96) ends exactly where the destination begins.
  CopyBytes(Ours.Bytes + 96, Ours.Bytes + 64, 32);
  std::memmove(Reference.Bytes + 96, Reference.Bytes + 64, 32);
  EXPECT_EQ(0, std::memcmp(Ours.Bytes, Reference.Bytes, sizeof(Ours.Bytes)));
  // Source wholly below a distant destination, and wholly above it.
  CopyBytes(Ours.Bytes + 200, Ours.Bytes + 3, 45);
  std::memmove(Reference.Bytes + 200, Reference.Bytes + 3, 45);
  CopyBytes(Ours.Bytes + 1, Ours.Bytes + 150, 33);
  std::memmove(Reference.Bytes + 1, Reference.Bytes + 150, 33);
  EXPECT_EQ(0, std::memcmp(Ours.Bytes, Reference.Bytes, sizeof(Ours.Bytes)));
}

TEST(CopyBytesTest, LengthZeroChangesNothing) {
  Arena Ours;
  Arena Untouched;
  CopyBytes(Ours.Bytes + 10, Ours.Bytes + 20, 0);
  CopyBytes(Ours.Bytes + 20, Ours.Bytes + 10, 0);
  EXPECT_EQ(0, std::memcmp(Ours.Bytes, Untouched.Bytes, sizeof(Ours.Bytes)));
}

}  // namespace

// Host tests of the structure, table and entry-point readers.
#include <gtest/gtest.h>

#include "modules/SmbiosByHandleService/SmbiosTable.h"
#include "tests/fakes/FakeSmbiosService.h"

namespace {

using Bytes = std::vector<UINT8>;

TEST(SmbiosTableTest, MeasureStructureStaysWithinItsLimit) {
  Bytes Record = MakeStructure(1, 1, 8, {"AB"});
  EXPECT_EQ(MeasureStructure(Record.data(), (UINT32)Record.size()), 12u);
  EXPECT_EQ(MeasureStructure(Record.data(), (UINT32)Record.size() - 1), 0u);
  Bytes Bare = MakeStructure(1, 1, 8, {});
  EXPECT_EQ(MeasureStructure(Bare.data(), (UINT32)Bare.size()), 10u);
  Bare[1] = 2;
  EXPECT_EQ(MeasureStructure(Bare.data(), (UINT32)Bare.size()), 0u);
}

TEST(SmbiosTableTest, SummarizeTableCountsThroughEndOfTable) {
  Bytes Table = MakeStructure(1, 0x100, 8, {"A"});
  Bytes End = {127, 4, 0xFF, 0xFE, 0, 0};
  Table.insert(Table.end(), End.begin(), End.end());
  Table.push_back(0xAA);  // beyond End-of-Table: never read as a structure
  TABLE_SUMMARY Summary{};
  ASSERT_TRUE(SummarizeTable(Table.data(), (UINT32)Table.size(), &Summary));
  EXPECT_EQ(Summary.Count, 2);
  EXPECT_EQ(Summary.EndOfTableHandle, 0xFEFF);
  EXPECT_EQ(Summary.Size, Table.size() - 1);
  EXPECT_FALSE(SummarizeTable(Table.data(), (UINT32)Table.size() - 7, &Summary));
}

TEST(SmbiosTableTest, ParseEntryPointChecksAnchorAndChecksum) {
  UINT8 EntryPoint[24] = {'_', 'S', 'M', '3', '_', 0, 24, 3, 0, 0, 1, 0, 0x40, 0, 0, 0, 0x20};
  EntryPoint[5] = (UINT8)(0 - SumBytes(EntryPoint, 24));
  PUBLISHED_TABLE Published{};
  ASSERT_TRUE(ParseEntryPoint(EntryPoint, &Published));
  EXPECT_TRUE(Published.Is64Bit);
  EXPECT_EQ(Published.TableLength, 0x40u);
  EXPECT_EQ((UINTN)Published.Table, 0x20u);
  EntryPoint[12]++;
  EXPECT_FALSE(ParseEntryPoint(EntryPoint, &Published));
}

}  // namespace

// Host tests of the structure, table and entry-point readers.
#include <gtest/gtest.h>

#include <cstring>

#include "modules/SmbiosByHandleService/PiSmbios.h"
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
  EXPECT_EQ(MeasureStructure(nullptr, 64), 0u);
  EXPECT_EQ(MeasureStructure(Record.data(), 5), 0u) << "shorter than the smallest structure";
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
  Table[1] = 3;
  EXPECT_FALSE(SummarizeTable(Table.data(), (UINT32)Table.size(), &Summary)) << "malformed first";
}

TEST(SmbiosTableTest, SummarizeTableCountsNoMoreStructuresThanItsCountHolds) {
  // 65534 bare six-byte structures, then End-of-Table.
  Bytes Table(6 * 0xFFFF, 0);
  for (size_t Offset = 0; Offset < Table.size(); Offset += 6) {
    Table[Offset] = 9;
    Table[Offset + 1] = 4;
  }
  Table[Table.size() - 6] = 127;
  TABLE_SUMMARY Summary{};
  ASSERT_TRUE(SummarizeTable(Table.data(), (UINT32)Table.size(), &Summary));
  EXPECT_EQ(Summary.Count, 0xFFFF);
  Bytes Bare(Table.begin(), Table.begin() + 6);
  Table.insert(Table.begin(), Bare.begin(), Bare.end());
  EXPECT_FALSE(SummarizeTable(Table.data(), (UINT32)Table.size(), &Summary))
      << "65536 structures: the count would wrap";
}

// A 2.x entry point for a table of Length bytes at Address, checksums set.
Bytes EntryPoint2(UINT32 Address, UINT16 Length) {
  Bytes EntryPoint(31, 0);
  std::memcpy(EntryPoint.data(), "_SM_", 4);
  EntryPoint[5] = 31;
  EntryPoint[6] = 2;
  EntryPoint[7] = 8;
  std::memcpy(&EntryPoint[16], "_DMI_", 5);
  std::memcpy(&EntryPoint[22], &Length, 2);
  std::memcpy(&EntryPoint[24], &Address, 4);
  EntryPoint[21] = (UINT8)(0 - SumBytes(&EntryPoint[16], 15));
  EntryPoint[4] = (UINT8)(0 - SumBytes(EntryPoint.data(), 31));
  return EntryPoint;
}

TEST(SmbiosTableTest, ParseEntryPointReadsA2xEntryPointAndRefusesEachFlaw) {
  PUBLISHED_TABLE Published{};
  Bytes Good = EntryPoint2(0x000F0000, 0x1234);
  ASSERT_TRUE(ParseEntryPoint(Good.data(), &Published));
  EXPECT_FALSE(Published.Is64Bit);
  EXPECT_EQ(Published.EntryPointLength, 31);
  EXPECT_EQ((UINTN)Published.Table, 0x000F0000u);
  EXPECT_EQ(Published.TableLength, 0x1234u);

  Bytes Short = Good;
  Short[5] = 30;
  Short[4]++;  // the sum over 30 bytes holds
  Bytes BadSum = Good;
  BadSum[4]++;
  Bytes BadAnchor = Good;
  BadAnchor[16] = 'X';
  BadAnchor[4] = (UINT8)(BadAnchor[4] + '_' - 'X');
  Bytes BadIntermediateSum = Good;
  BadIntermediateSum[21]++;  // inside the intermediate area
  BadIntermediateSum[8]--;   // outside it: the whole sum holds
  Bytes Unknown = Good;
  Unknown[3] = '3';
  const Bytes *Flawed[] = {&Short, &BadSum, &BadAnchor, &BadIntermediateSum, &Unknown};
  for (size_t Flaw = 0; Flaw < 5; Flaw++) {
    EXPECT_FALSE(ParseEntryPoint(Flawed[Flaw]->data(), &Published)) << "flaw " << Flaw;
  }
  EXPECT_FALSE(ParseEntryPoint(nullptr, &Published));
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
  EntryPoint[6] = 23;
  EntryPoint[5] = 0;
  EntryPoint[5] = (UINT8)(0 - SumBytes(EntryPoint, 23));
  EXPECT_FALSE(ParseEntryPoint(EntryPoint, &Published)) << "shorter than 24 bytes";
}

TEST(SmbiosTableTest, LocatePublishedTablePrefersAWellFormed3xEntryPoint) {
  UINT8 EntryPoint3[24] = {'_', 'S', 'M', '3', '_', 0, 24, 3, 0, 0, 1, 0, 0x40, 0, 0, 0, 0x30};
  EntryPoint3[5] = (UINT8)(0 - SumBytes(EntryPoint3, 24));
  Bytes EntryPoint = EntryPoint2(0x20, 0x10);
  EFI_CONFIGURATION_TABLE Tables[3] = {{{0x12345678, 0, 0, {0}}, nullptr},
                                       {SMBIOS_TABLE_GUID, EntryPoint.data()},
                                       {SMBIOS3_TABLE_GUID, EntryPoint3}};
  EFI_SYSTEM_TABLE System{};
  System.ConfigurationTable = Tables;
  PUBLISHED_TABLE Published{};

  System.NumberOfTableEntries = 1;
  EXPECT_FALSE(LocatePublishedTable(&System, &Published)) << "neither published";
  System.NumberOfTableEntries = 2;
  ASSERT_TRUE(LocatePublishedTable(&System, &Published));
  EXPECT_FALSE(Published.Is64Bit);
  System.NumberOfTableEntries = 3;
  ASSERT_TRUE(LocatePublishedTable(&System, &Published));
  EXPECT_TRUE(Published.Is64Bit);
  EntryPoint3[5]++;
  ASSERT_TRUE(LocatePublishedTable(&System, &Published));
  EXPECT_FALSE(Published.Is64Bit) << "a 3.0 entry point that fails its checksum";
  EntryPoint[4]++;
  EXPECT_FALSE(LocatePublishedTable(&System, &Published));
}

}  // namespace

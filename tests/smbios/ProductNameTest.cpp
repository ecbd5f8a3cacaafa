#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "smbios/ProductName.h"
#include "smbios/StringSet.h"
#include "tests/fakes/DriverFixture.h"

namespace {

class RewriteProductNameTest : public DriverFixture {
 protected:
  // Hands Structure in as the SMBIOS service would: an exact-size copy.
  EFI_STATUS Rewrite(const std::vector<UINT8> &Structure, BOARD_STRAP_CODE Code) {
    SmbiosTable().Structures[0x22] = Structure;
    Handed.reset(new UINT8[Structure.size()]);
    std::copy(Structure.begin(), Structure.end(), Handed.get());
    EFI_STATUS Status = RewriteProductName(0x22, Handed.get(), Code);
    EXPECT_TRUE(std::equal(Structure.begin(), Structure.end(), Handed.get()))
        << "the structure handed in was written to";
    return Status;
  }
  std::unique_ptr<UINT8[]> Handed;
};

TEST_F(RewriteProductNameTest, GivesEveryNamedCodeItsBoardName) {
  const std::pair<BOARD_STRAP_CODE, std::string> Boards[] = {{0, "KP5VRA-E"}, {1, "KP5VRC-E"},
                                                             {2, "KP5VRA"},   {4, "KP5VRA-TE"},
                                                             {6, "KP5VRA-T"}, {8, "KP5VRA-E-WDN"}};
  for (const auto &Board : Boards) {
    SmbiosTable().Writes.clear();
    std::vector<UINT8> Structure = MakeStructure(2, 0x22, 15, {"Maker", "Board", "1.0", "Serial"});
    ASSERT_EQ(Rewrite(Structure, Board.first), EFI_SUCCESS) << Board.second;
    ASSERT_EQ(SmbiosTable().Writes.size(), 1u);
    const SmbiosWrite &Write = SmbiosTable().Writes[0];
    EXPECT_EQ(Write.Handle, 0x22);
    EXPECT_EQ(Write.Bytes, MakeStructure(2, 0x22, 15, {"Maker", Board.second, "1.0", "Serial"}));
  }
}

TEST_F(RewriteProductNameTest, SystemInformationGrowsByTheNamesExtraCharacters) {
  std::vector<UINT8> Structure = MakeStructure(1, 0x22, 27, {"M", "P", "V"});
  ASSERT_EQ(Rewrite(Structure, 4), EFI_SUCCESS);
  ASSERT_EQ(SmbiosTable().Writes.size(), 1u);
  const SmbiosWrite &Write = SmbiosTable().Writes[0];
  EXPECT_EQ(Write.Size, Structure.size() + 8);
  EXPECT_EQ(StringsOf(Write.Bytes), (std::vector<std::string>{"M", "KP5VRA-TE", "V"}));
  // The formatted area, Length byte included, goes back unchanged.
  EXPECT_TRUE(std::equal(Structure.begin(), Structure.begin() + 27, Write.Bytes.begin()));
}

TEST_F(RewriteProductNameTest, NameAlreadyInPlaceIsWrittenBackByteForByte) {
  std::vector<UINT8> Structure = MakeStructure(1, 0x22, 27, {"M", "KP5VRA-T", "V"});
  ASSERT_EQ(Rewrite(Structure, 6), EFI_SUCCESS);
  ASSERT_EQ(SmbiosTable().Writes.size(), 1u);
  EXPECT_EQ(SmbiosTable().Writes[0].Bytes, Structure);
}

TEST_F(RewriteProductNameTest, CallsTheServicesInOrder) {
  ASSERT_EQ(Rewrite(MakeStructure(1, 0x22, 27, {"M", "P", "V"}), 2), EFI_SUCCESS);
  EXPECT_EQ(CallLog(),
            (std::vector<std::string>{"AllocatePool(4,406)", "AllocatePool(4,20)",
                                      "WriteStructureByHandle(34,39)", "FreePool", "FreePool"}));
}

TEST_F(RewriteProductNameTest, CodesWithoutABoardWriteNothing) {
  for (BOARD_STRAP_CODE Code : {3, 5, 7, 9, 10, 11, 12, 13, 14, 15, 16, 255}) {
    EXPECT_EQ(Rewrite(MakeStructure(1, 0x22, 27, {"M", "P", "V"}), Code), EFI_UNSUPPORTED)
        << int(Code);
  }
  EXPECT_TRUE(SmbiosTable().Writes.empty());
}

TEST_F(RewriteProductNameTest, EitherAllocationFailingSkipsTheStructure) {
  for (unsigned FailingCall : {1u, 2u}) {
    ResetCallLog();
    FailFallibleCall(FailingCall);
    EXPECT_EQ(Rewrite(MakeStructure(1, 0x22, 27, {"M", "P", "V"}), 4), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(PoolLeaks(), 0u);
  }
  EXPECT_TRUE(SmbiosTable().Writes.empty());
}

TEST_F(RewriteProductNameTest, EitherAllocationSucceedingWithNullSkipsTheStructure) {
  for (size_t NullAllocation : {1u, 2u}) {
    ResetCallLog();
    Firmware().AllocationSizes.clear();
    Firmware().NullAllocation = NullAllocation;
    EXPECT_EQ(Rewrite(MakeStructure(1, 0x22, 27, {"M", "P", "V"}), 4), EFI_OUT_OF_RESOURCES);
    EXPECT_EQ(PoolLeaks(), 0u);  // the other buffer is freed, null is not handed to FreePool
    EXPECT_EQ(std::count(CallLog().begin(), CallLog().end(), "FreePool"), 1);
  }
  EXPECT_TRUE(SmbiosTable().Writes.empty());
}

TEST_F(RewriteProductNameTest, SkipsStructuresTheWorkingCopyCannotHold) {
  // 406 bytes exactly fits before the rewrite, but a longer name would not.
  std::vector<UINT8> Full = MakeStructure(1, 0x22, 27, {"M", "P", std::string(406 - 33, 'v')});
  ASSERT_EQ(Full.size(), 406u);
  EXPECT_EQ(Rewrite(Full, 4), EFI_BUFFER_TOO_SMALL);
  // One byte more does not fit even before it.
  std::vector<UINT8> TooLong =
      MakeStructure(1, 0x22, 27, {"M", "P", std::string(406 - 33 + 1, 'v')});
  EXPECT_EQ(Rewrite(TooLong, 4), EFI_BAD_BUFFER_SIZE);
  // Shrinking to a shorter name fits although the grown one would not.
  std::vector<UINT8> Shrinks =
      MakeStructure(1, 0x22, 27, {"M", "PPPPPPPPPPPP", std::string(406 - 44, 'v')});
  ASSERT_EQ(Shrinks.size(), 406u);
  EXPECT_EQ(Rewrite(Shrinks, 2), EFI_SUCCESS);
  EXPECT_EQ(SmbiosTable().Writes.size(), 1u);
}

TEST_F(RewriteProductNameTest, UnterminatedStructureIsReadNoFurtherThanTheWorkingCopy) {
  // Exactly 406 bytes with no zero pair: ASan stops any read beyond them.
  std::vector<UINT8> Unterminated(406, 'x');
  Unterminated[0] = 1;
  Unterminated[1] = 27;
  EXPECT_EQ(Rewrite(Unterminated, 4), EFI_BAD_BUFFER_SIZE);
  EXPECT_TRUE(SmbiosTable().Writes.empty());
}

TEST_F(RewriteProductNameTest, SkipsMalformedHeadersAndMissingProductStrings) {
  std::vector<UINT8> ShortHeader = MakeStructure(1, 0x22, 27, {"M", "P"});
  ShortHeader[1] = 3;
  EXPECT_EQ(Rewrite(ShortHeader, 4), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Rewrite(MakeStructure(1, 0x22, 27, {"M"}), 4), EFI_NOT_FOUND);
  EXPECT_EQ(Rewrite(MakeStructure(1, 0x22, 27, {}), 4), EFI_NOT_FOUND);
  EXPECT_TRUE(SmbiosTable().Writes.empty());
}

TEST_F(RewriteProductNameTest, ReportsAFailedWriteBack) {
  SmbiosTable().WriteStatus = EFI_DEVICE_ERROR;
  EXPECT_EQ(Rewrite(MakeStructure(1, 0x22, 27, {"M", "P", "V"}), 4), EFI_DEVICE_ERROR);
  EXPECT_EQ(SmbiosTable().Writes.size(), 1u);
}

}  // namespace

// Host tests of the by-handle entries over the fake of SmbiosDxe's standard
// record (tests/fakes/FakeSmbiosDxe.h).
#include <gtest/gtest.h>

#include "modules/SmbiosByHandleService/ByHandle.h"
#include "modules/SmbiosByHandleService/HandleIndex.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeBootServices.h"
#include "tests/fakes/FakeSmbiosDxe.h"
#include "tests/fakes/FakeSmbiosService.h"

namespace {

using Bytes = std::vector<UINT8>;

UINT16 HandleOf(const Bytes &Structure) { return (UINT16)(Structure[2] | (Structure[3] << 8)); }

class ByHandleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCallLog();
    ResetFirmware();
    Original = {MakeStructure(0, 0x0000, 8, {"Vendor"}),
                MakeStructure(1, 0x0100, 8, {"M", "P", "V"}),
                MakeStructure(2, 0x0200, 8, {"BM", "BP"}), MakeStructure(11, 0x0E00, 8, {})};
    ResetSmbiosDxe(3, 0, Original);
    InitByHandleService(&SmbiosDxe().Protocol, &Firmware().BootServices, 0xFEFF);
    ASSERT_EQ(WatchTableChanges(), EFI_SUCCESS);
    Held(0x0100);  // builds the handle index, whose pool block stays
    OriginalOrder = HandlesInListOrder();
    PoolAtStart = Firmware().LivePool.size();
  }

  void TearDown() override { EXPECT_EQ(Firmware().LivePool.size(), PoolAtStart) << "pool leaked"; }

  EFI_STATUS Write(const Bytes &Structure) {
    return SmbiosWriteStructureByHandle(HandleOf(Structure), Structure.data(),
                                        (UINT16)Structure.size());
  }

  Bytes Held(UINT16 Handle) { return ReadThrough(SmbiosReadStructureByHandle, Handle); }

  std::vector<Bytes> Original;
  std::vector<UINT16> OriginalOrder;
  size_t PoolAtStart = 0;
};

TEST_F(ByHandleTest, ReadFindsEachStructureByHandleWithItsWholeSize) {
  for (const Bytes &Structure : Original) {
    EXPECT_EQ(Held(HandleOf(Structure)), Structure);
  }
}

TEST_F(ByHandleTest, ReadPresentsEndOfTableUnderThePublishedHandle) {
  EXPECT_EQ(Held(0xFEFF), (Bytes{127, 4, 0xFF, 0xFE, 0, 0}));
  SetEndOfTableHandle(0x0042);
  EXPECT_EQ(Held(0x0042), (Bytes{127, 4, 0x42, 0x00, 0, 0}));
}

TEST_F(ByHandleTest, ReadReportsUnknownHandlesAndNullOutputs) {
  UINT8 *Pointer = nullptr;
  UINT16 Size = 0;
  EXPECT_EQ(SmbiosReadStructureByHandle(0x0001, &Pointer, &Size), EFI_NOT_FOUND);
  EXPECT_EQ(SmbiosReadStructureByHandle(0xFEFE, &Pointer, &Size), EFI_NOT_FOUND);
  EXPECT_EQ(SmbiosReadStructureByHandle(0x0100, nullptr, &Size), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SmbiosReadStructureByHandle(0x0100, &Pointer, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(ByHandleTest, NeitherEntryWorksBeforeTheServiceIsInitialised) {
  BY_HANDLE_SERVICE Initialised = ByHandleService;
  ByHandleService.Standard = nullptr;
  UINT8 *Pointer = nullptr;
  UINT16 Size = 0;
  EXPECT_EQ(SmbiosReadStructureByHandle(0x0100, &Pointer, &Size), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(Original[1]), EFI_NOT_READY);
  ByHandleService = Initialised;
}

TEST_F(ByHandleTest, AStructureTooLongForASixteenBitSizeIsNeitherReadNorReplaced) {
  Bytes Long = MakeStructure(4, 0x0400, 8, {std::string(0x10000, 'L')});
  SmbiosDxe().Entries.push_back({Long, nullptr});
  MarkHandleIndexStale();
  UINT8 *Pointer = nullptr;
  UINT16 Size = 0;
  EXPECT_EQ(SmbiosReadStructureByHandle(0x0400, &Pointer, &Size), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Write(MakeStructure(4, 0x0400, 8, {"Short"})), EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(HeldBytes(0x0400), Long);
}

TEST_F(ByHandleTest, NewStringsAreWrittenOneByOneWhereTheStructureStands) {
  Bytes Renamed = MakeStructure(1, 0x0100, 8, {"M", "KP5VRA-TE", "V"});
  ASSERT_EQ(Write(Renamed), EFI_SUCCESS);
  EXPECT_EQ(Held(0x0100), Renamed);
  EXPECT_EQ(HandlesInListOrder(), OriginalOrder);
  EXPECT_EQ(SmbiosDxe().UpdateStringCalls, 1u) << "only the string that differs";
  ASSERT_EQ(Write(Renamed), EFI_SUCCESS);
  EXPECT_EQ(SmbiosDxe().UpdateStringCalls, 1u) << "the same bytes again change nothing";
  Bytes SameLength = MakeStructure(1, 0x0100, 8, {"M", "KP5VRA-TE", "W"});
  ASSERT_EQ(Write(SameLength), EFI_SUCCESS);
  EXPECT_EQ(Held(0x0100), SameLength) << "a string of the same length with other bytes";
  ASSERT_EQ(Write(Original[3]), EFI_SUCCESS) << "no strings at all";
  EXPECT_EQ(SmbiosDxe().UpdateStringCalls, 2u);
  EXPECT_EQ(SmbiosDxe().AddCalls + SmbiosDxe().RemoveCalls, 0u);
  EXPECT_EQ(HandlesInListOrder(), OriginalOrder);
}

TEST_F(ByHandleTest, AnotherFormattedAreaOrStringCountIsRemovedAndAddedWithItsProducer) {
  Bytes OtherLength = MakeStructure(1, 0x0100, 9, {"M", "P", "V"});
  Bytes OtherByte = Original[1];
  OtherByte[6] ^= 1;
  Bytes FewerStrings = MakeStructure(1, 0x0100, 8, {"M", "P"});
  for (const Bytes &Structure : {OtherLength, OtherByte, FewerStrings}) {
    ASSERT_EQ(Write(Structure), EFI_SUCCESS);
    EXPECT_EQ(Held(0x0100), Structure);
    EXPECT_EQ(HandlesInListOrder().back(), 0x0100) << "SmbiosDxe adds at the end";
    EXPECT_EQ(SmbiosDxe().Entries.back().Producer, reinterpret_cast<EFI_HANDLE>(0x3001));
    ASSERT_EQ(Write(Original[1]), EFI_SUCCESS);
  }
  EXPECT_EQ(SmbiosDxe().UpdateStringCalls, 0u);
}

TEST_F(ByHandleTest, HeldEmptyFirstStringIsReplacedWhole) {
  // A producer's UpdateString left string 1 empty: counted as no strings,
  // a write without strings looked like one that changes none.
  UINTN Number = 1;
  EFI_SMBIOS_HANDLE Handle = 0x0200;
  CHAR8 Empty[] = "";
  ASSERT_EQ(SmbiosDxe().Protocol.UpdateString(&SmbiosDxe().Protocol, &Handle, &Number, Empty),
            EFI_SUCCESS);
  Bytes NoStrings = MakeStructure(2, 0x0200, 8, {});
  ASSERT_EQ(Write(NoStrings), EFI_SUCCESS);
  EXPECT_EQ(Held(0x0200), NoStrings);
}

TEST_F(ByHandleTest, RefusedStringLeavesTheStructureAsItWasAndInPlace) {
  // Strings 1 and 3 differ; SmbiosDxe takes string 1 and refuses string 3.
  SmbiosDxe().FailingUpdateStrings = {2};
  EXPECT_EQ(Write(MakeStructure(1, 0x0100, 8, {"NEW-M", "P", "NEW-V"})), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Held(0x0100), Original[1]);
  EXPECT_EQ(SmbiosDxe().UpdateStringCalls, 3u) << "string 1, string 3 refused, string 1 back";

  // Before SMBIOS 2.7 a string holds at most 63 characters. SmbiosDxe's
  // UpdateString takes 64 but then publishes the structure cut short.
  SmbiosDxe().Protocol.MinorVersion = 6;
  SmbiosDxe().Protocol.MajorVersion = 2;
  EXPECT_EQ(Write(MakeStructure(1, 0x0100, 8, {"NEW-M", std::string(65, 'P'), "V"})),
            EFI_UNSUPPORTED);
  EXPECT_EQ(Write(MakeStructure(1, 0x0100, 8, {"M", std::string(64, 'P'), "V"})), EFI_UNSUPPORTED);
  EXPECT_EQ(Held(0x0100), Original[1]);
  EXPECT_EQ(HandlesInListOrder(), OriginalOrder);
  EXPECT_EQ(SmbiosDxe().AddCalls + SmbiosDxe().RemoveCalls, 0u);
}

TEST_F(ByHandleTest, RefusedPutBackRestoresTheHeldStructureWhole) {
  SmbiosDxe().FailingUpdateStrings = {2, 3};  // string 3, then string 1's put-back
  EXPECT_EQ(Write(MakeStructure(1, 0x0100, 8, {"NEW-M", "P", "NEW-V"})), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Held(0x0100), Original[1]);
  EXPECT_EQ(SmbiosDxe().Entries.back().Producer, reinterpret_cast<EFI_HANDLE>(0x3001));
}

TEST_F(ByHandleTest, RefusedAddPutsTheHeldStructureBack) {
  SmbiosDxe().FailingAdds = {1};
  EXPECT_EQ(Write(MakeStructure(1, 0x0100, 9, {"M", "NEW", "V"})), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Held(0x0100), Original[1]);
  EXPECT_EQ(SmbiosDxe().Entries.size(), Original.size());
}

TEST_F(ByHandleTest, RefusedRemoveAddsNothing) {
  SmbiosDxe().FailingRemoves = {1};
  EXPECT_EQ(Write(MakeStructure(1, 0x0100, 9, {"M", "NEW", "V"})), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Held(0x0100), Original[1]);
  EXPECT_EQ(HandlesInListOrder(), OriginalOrder);
  EXPECT_EQ(SmbiosDxe().AddCalls, 0u);

  // String 3 and string 1's put-back refused, then the Remove that would
  // restore the structure whole: it stays, once, under its handle.
  SmbiosDxe().FailingUpdateStrings = {2, 3};
  SmbiosDxe().FailingRemoves = {2};
  EXPECT_EQ(Write(MakeStructure(1, 0x0100, 8, {"NEW-M", "P", "NEW-V"})), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(HandlesInListOrder(), OriginalOrder);
  EXPECT_EQ(SmbiosDxe().AddCalls, 0u);
}

TEST_F(ByHandleTest, NoPoolMeansNoChange) {
  FailFallibleCall(FallibleCallCount() + 1);
  EXPECT_EQ(Write(MakeStructure(1, 0x0100, 8, {"M", "NEW", "V"})), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(HeldBytes(0x0100), Original[1]);
  Firmware().NullAllocation = Firmware().AllocationSizes.size() + 1;  // success, but no block
  EXPECT_EQ(Write(MakeStructure(1, 0x0100, 8, {"M", "NEW", "V"})), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(HeldBytes(0x0100), Original[1]);
  EXPECT_EQ(SmbiosDxe().UpdateStringCalls, 0u);
}

TEST_F(ByHandleTest, WriteRefusesBadInputAndLeavesTheTableAsItWas) {
  Bytes Good = MakeStructure(2, 0x0200, 8, {"BM", "NEW"});
  Bytes NoZeroPair = Good;
  NoZeroPair.back() = 'X';
  Bytes ShortHeader = Good;
  ShortHeader[1] = 3;
  Bytes LengthPastBuffer = Good;
  LengthPastBuffer[1] = (UINT8)(Good.size() - 1);
  Bytes OtherType = Good;
  OtherType[0] = 3;
  Bytes EndOfTable = {127, 4, 0x00, 0x02, 0, 0};
  Bytes EmptyFirstString = MakeStructure(2, 0x0200, 8, {"", "BP"});

  EXPECT_EQ(Write(EmptyFirstString), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(NoZeroPair), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(ShortHeader), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(LengthPastBuffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(OtherType), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(EndOfTable), EFI_ACCESS_DENIED);
  EXPECT_EQ(SmbiosWriteStructureByHandle(0x0201, Good.data(), (UINT16)Good.size()),
            EFI_INVALID_PARAMETER)
      << "header handle differs from the handle asked for";
  EXPECT_EQ(SmbiosWriteStructureByHandle(0x0200, nullptr, 10), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SmbiosWriteStructureByHandle(0x0200, Good.data(), 5), EFI_INVALID_PARAMETER);
  EXPECT_EQ(SmbiosWriteStructureByHandle(0xFEFF, EndOfTable.data(), 6), EFI_ACCESS_DENIED);
  EXPECT_EQ(Write(MakeStructure(1, 0x0101, 8, {"M", "P"})), EFI_NOT_FOUND);
  for (const Bytes &Structure : Original) {
    EXPECT_EQ(HeldBytes(HandleOf(Structure)), Structure);
  }
  EXPECT_EQ(SmbiosDxe().AddCalls + SmbiosDxe().RemoveCalls + SmbiosDxe().UpdateStringCalls, 0u);
}

TEST_F(ByHandleTest, WriteRefusesSizesThatDisagreeWithTheBytes) {
  Bytes Good = MakeStructure(2, 0x0200, 8, {"BM", "NEW"});
  Bytes Padded = Good;
  Padded.push_back(0);
  EXPECT_EQ(SmbiosWriteStructureByHandle(0x0200, Good.data(), (UINT16)(Good.size() - 1)),
            EFI_INVALID_PARAMETER)
      << "cut before the closing zero pair";
  EXPECT_EQ(SmbiosWriteStructureByHandle(0x0200, Padded.data(), (UINT16)Padded.size()),
            EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(HeldBytes(0x0200), Original[2]);
}

}  // namespace

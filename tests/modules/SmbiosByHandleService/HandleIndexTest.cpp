// Host tests of the handle index: what the by-handle read costs in GetNext
// calls, and that every way the table changes reaches the next read. The
// fake frees a structure's block when SmbiosDxe would, so a read through a
// stale index is a use-after-free that ASan stops.
#include <gtest/gtest.h>

#include <cstdio>

#include "modules/SmbiosByHandleService/ByHandle.h"
#include "modules/SmbiosByHandleService/HandleIndex.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeBootServices.h"
#include "tests/fakes/FakeSmbiosDxe.h"
#include "tests/fakes/FakeSmbiosService.h"

namespace {

using Bytes = std::vector<UINT8>;

// Structures 0 to Count-1 under handles 0 to Count-1; 12 and 13 are the
// System and Baseboard Information structures, as in a laptop's table.
std::vector<Bytes> Table(UINT16 Count) {
  std::vector<Bytes> Structures;
  for (UINT16 Handle = 0; Handle < Count; Handle++) {
    UINT8 Type = Handle == 12 ? 1 : Handle == 13 ? 2 : 9;
    Structures.push_back(MakeStructure(Type, Handle, 8, {"Maker", "PRODUCT", "V"}));
  }
  return Structures;
}

void Start(UINT8 Major, UINT8 Minor, const std::vector<Bytes> &Structures) {
  ResetCallLog();
  ResetFirmware();
  ResetSmbiosDxe(Major, Minor, Structures);
  InitByHandleService(&SmbiosDxe().Protocol, &Firmware().BootServices, 0xFEFF);
}

Bytes Read(UINT16 Handle) { return ReadThrough(SmbiosReadStructureByHandle, Handle); }

TEST(HandleIndexTest, DriverWalkOverSixtyFourStructuresMakesAFewPassesNotOnePerProbe) {
  Start(3, 0, Table(64));
  ASSERT_EQ(WatchTableChanges(), EFI_SUCCESS);
  std::vector<UINT16> Order = HandlesInListOrder();
  // The driver walks from its notification at TPL_NOTIFY: SmbiosDxe's
  // republishing notifies nobody until the walk is over.
  Firmware().Tpl = TPL_NOTIFY;
  unsigned Found = 0;
  for (UINT32 Handle = 0; Handle <= 0xFEFF; Handle++) {
    Bytes Structure = Read((UINT16)Handle);
    Found += Structure.empty() ? 0 : 1;
    if (!Structure.empty() && (Structure[0] == 1 || Structure[0] == 2)) {
      Bytes Renamed = MakeStructure(Structure[0], (UINT16)Handle, 8, {"Maker", "KP5VRA-TE", "V"});
      ASSERT_EQ(
          SmbiosWriteStructureByHandle((UINT16)Handle, Renamed.data(), (UINT16)Renamed.size()),
          EFI_SUCCESS);
      EXPECT_EQ(Read((UINT16)Handle), Renamed) << "read back through the index";
    }
  }
  LowerTpl(TPL_APPLICATION);
  EXPECT_EQ(Found, 65u) << "64 structures and End-of-Table";
  EXPECT_EQ(HandlesInListOrder(), Order);
  // A pass is 64 GetNext calls and the one that ends it: two to build the
  // index, one after each of the two writes; and one call to confirm each
  // structure found (64 reads, and the write and read-back of two).
  std::printf("GetNext calls for the walk over 64 structures: %u\n", SmbiosDxe().GetNextCalls);
  EXPECT_LE(SmbiosDxe().GetNextCalls, 4u * 65 + 68);
}

TEST(HandleIndexTest, ChangesThroughTheOriginalRecordReachTheNextRead) {
  // A 2.x record republishes under SMBIOS_TABLE_GUID, a 3.0 one under
  // SMBIOS3_TABLE_GUID.
  for (UINT8 Major : {2, 3}) {
    Start(Major, Major == 2 ? 8 : 0, Table(16));
    ASSERT_EQ(WatchTableChanges(), EFI_SUCCESS);
    ASSERT_FALSE(Read(12).empty());
    EFI_SMBIOS_PROTOCOL *Original = &SmbiosDxe().Protocol;

    Bytes Added = MakeStructure(3, 0x0300, 8, {"Chassis"});
    EFI_SMBIOS_HANDLE Handle = 0x0300;
    ASSERT_EQ(Original->Add(Original, nullptr, &Handle, (EFI_SMBIOS_TABLE_HEADER *)Added.data()),
              EFI_SUCCESS);
    EXPECT_EQ(Read(0x0300), Added) << "SMBIOS " << (int)Major;

    Handle = 12;
    UINTN Number = 2;
    CHAR8 Longer[] = "A LONGER PRODUCT";
    ASSERT_EQ(Original->UpdateString(Original, &Handle, &Number, Longer), EFI_SUCCESS);
    EXPECT_EQ(StringsOf(Read(12))[1], Longer);

    ASSERT_EQ(Original->Remove(Original, 13), EFI_SUCCESS);
    EXPECT_TRUE(Read(13).empty());
  }
}

TEST(HandleIndexTest, WithoutPoolForTheIndexReadsWalkUntilTheTableChanges) {
  Start(3, 0, Table(16));
  ASSERT_EQ(WatchTableChanges(), EFI_SUCCESS);
  Firmware().NullAllocation = 1;  // the index's block
  for (UINT16 Handle = 0; Handle < 16; Handle++) {
    EXPECT_EQ(Read(Handle), HeldBytes(Handle));
  }
  EXPECT_GT(SmbiosDxe().GetNextCalls, 16u * 8) << "each read walked";

  EFI_SMBIOS_PROTOCOL *Original = &SmbiosDxe().Protocol;
  ASSERT_EQ(Original->Remove(Original, 15), EFI_SUCCESS);
  EXPECT_TRUE(Read(15).empty()) << "the change lets the index try the pool again";
  unsigned Before = SmbiosDxe().GetNextCalls;
  for (UINT16 Handle = 0; Handle < 15; Handle++) {
    EXPECT_EQ(Read(Handle), HeldBytes(Handle));
  }
  EXPECT_EQ(SmbiosDxe().GetNextCalls, Before + 15) << "through the index, one call to confirm each";
}

TEST(HandleIndexTest, StructuresChangedWithoutRepublishingAreNotReadFromTheIndex) {
  // SmbiosDxe frees or moves a structure without republishing when it cannot
  // have the pages to, or when a refused UpdateString left it out of both
  // tables: the index hears nothing, and a stale pointer would be read after
  // it was freed.
  Start(3, 0, Table(16));
  ASSERT_EQ(WatchTableChanges(), EFI_SUCCESS);
  ASSERT_FALSE(Read(12).empty());
  SmbiosDxe().Entries.erase(SmbiosDxe().Entries.begin() + 12);  // frees its block
  SmbiosDxe().Entries[12].Bytes = MakeStructure(2, 13, 8, {"Maker", "A LONGER PRODUCT", "V"});
  EXPECT_TRUE(Read(12).empty());
  EXPECT_EQ(Read(13), HeldBytes(13));
  EXPECT_EQ(Read(14), HeldBytes(14));
  // The structure the index saw before 4 is gone: GetNext from it fails.
  SmbiosDxe().Entries.erase(SmbiosDxe().Entries.begin() + 3);
  EXPECT_EQ(Read(4), HeldBytes(4));
}

TEST(HandleIndexTest, WithoutTheTableEventsEveryReadWalks) {
  Start(3, 0, Table(16));
  Firmware().CreateEventExFailsFrom = 2;
  EXPECT_EQ(WatchTableChanges(), EFI_OUT_OF_RESOURCES);
  ASSERT_EQ(Firmware().Events.size(), 1u);
  EXPECT_TRUE(Firmware().Events[0]->Closed) << "nothing stays registered";
  ASSERT_FALSE(Read(12).empty());

  EFI_SMBIOS_PROTOCOL *Original = &SmbiosDxe().Protocol;
  ASSERT_EQ(Original->Remove(Original, 12), EFI_SUCCESS);
  EXPECT_TRUE(Read(12).empty());
  EXPECT_EQ(Read(13), HeldBytes(13));
}

// Records that misbehave, for the bounds of both lookups. Each pass starts
// at SMBIOS_HANDLE_PI_RESERVED; the structures are handles 0, 1, 2, ...
std::vector<Bytes> Misbehaving = Table(4);
unsigned Passes;

// A corrupt list that loops: GetNext never reports the end.
EFI_STATUS EFIAPI EndlessGetNext(CONST EFI_SMBIOS_PROTOCOL *, EFI_SMBIOS_HANDLE *Handle,
                                 EFI_SMBIOS_TYPE *, EFI_SMBIOS_TABLE_HEADER **Record,
                                 EFI_HANDLE *) {
  *Handle = 1;
  *Record = (EFI_SMBIOS_TABLE_HEADER *)Misbehaving[1].data();
  return EFI_SUCCESS;
}

// Succeeds without a structure.
EFI_STATUS EFIAPI NullGetNext(CONST EFI_SMBIOS_PROTOCOL *, EFI_SMBIOS_HANDLE *, EFI_SMBIOS_TYPE *,
                              EFI_SMBIOS_TABLE_HEADER **Record, EFI_HANDLE *) {
  *Record = nullptr;
  return EFI_SUCCESS;
}

// A table that gains a structure between any two passes, as when a producer
// adds one while the index is being sized.
EFI_STATUS EFIAPI GrowingGetNext(CONST EFI_SMBIOS_PROTOCOL *, EFI_SMBIOS_HANDLE *Handle,
                                 EFI_SMBIOS_TYPE *, EFI_SMBIOS_TABLE_HEADER **Record,
                                 EFI_HANDLE *) {
  UINTN Next = *Handle == SMBIOS_HANDLE_PI_RESERVED ? 0 : *Handle + 1u;
  Passes += Next == 0 ? 1 : 0;
  if (Next > Passes || Next >= Misbehaving.size()) {
    return EFI_NOT_FOUND;
  }
  *Handle = (EFI_SMBIOS_HANDLE)Next;
  *Record = (EFI_SMBIOS_TABLE_HEADER *)Misbehaving[Next].data();
  return EFI_SUCCESS;
}

TEST(HandleIndexTest, MisbehavingRecordsNeitherHangTheLookupNorMisleadIt) {
  for (bool Watched : {false, true}) {
    SCOPED_TRACE(Watched ? "through the index" : "walking");
    Start(3, 0, {});
    if (Watched) {
      ASSERT_EQ(WatchTableChanges(), EFI_SUCCESS);
    }
    SmbiosDxe().Protocol.GetNext = EndlessGetNext;
    EXPECT_EQ(Read(1), Misbehaving[1]);
    EXPECT_TRUE(Read(2).empty()) << "a bounded walk ends";
    MarkHandleIndexStale();

    SmbiosDxe().Protocol.GetNext = NullGetNext;
    EXPECT_TRUE(Read(1).empty());
  }

  Start(3, 0, {});
  ASSERT_EQ(WatchTableChanges(), EFI_SUCCESS);
  SmbiosDxe().Protocol.GetNext = GrowingGetNext;
  Passes = 0;
  EXPECT_EQ(Read(2), Misbehaving[2]) << "an index sized before the table grew is not used";
  EXPECT_EQ(Read(3), Misbehaving[3]);
  EXPECT_EQ(Read(1), Misbehaving[1]);
}

}  // namespace

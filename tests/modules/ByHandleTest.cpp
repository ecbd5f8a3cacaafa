// Host tests of the SMBIOS service adapter's by-handle entries, over a fake
// of OVMF's standard protocol that behaves as OVMF does where it matters: its
// walk yields no End-of-Table structure, and Remove + Add moves a structure
// to the end of the walk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "packaging/modules/SmbiosByHandleService/ByHandle.h"
#include "packaging/modules/SmbiosByHandleService/SmbiosTable.h"

namespace {

using Bytes = std::vector<UINT8>;

struct FakeSmbios {
  EFI_SMBIOS_PROTOCOL Protocol;  // first, so This leads back here
  std::vector<Bytes> Records;
  std::vector<EFI_HANDLE> Producers;
  int AddCalls = 0;
  int FailAddCall = 0;  // 1-based Add call to refuse; 0 for none
};

FakeSmbios *Of(CONST EFI_SMBIOS_PROTOCOL *This) {
  return reinterpret_cast<FakeSmbios *>(const_cast<EFI_SMBIOS_PROTOCOL *>(This));
}

UINT16 HandleOf(const Bytes &Record) { return (UINT16)(Record[2] | (Record[3] << 8)); }

EFI_STATUS EFIAPI FakeAdd(CONST EFI_SMBIOS_PROTOCOL *This, EFI_HANDLE Producer,
                          EFI_SMBIOS_HANDLE *Handle, EFI_SMBIOS_TABLE_HEADER *Record) {
  FakeSmbios *Fake = Of(This);
  if (++Fake->AddCalls == Fake->FailAddCall) {
    return EFI_INVALID_PARAMETER;
  }
  for (const Bytes &Held : Fake->Records) {
    if (HandleOf(Held) == *Handle) {
      return EFIERR(20);  // EFI_ALREADY_STARTED
    }
  }
  const UINT8 *Start = reinterpret_cast<const UINT8 *>(Record);
  Bytes Copy(Start, Start + MeasureStructure(Start, 0xFFFF));
  Copy[2] = (UINT8)*Handle;
  Copy[3] = (UINT8)(*Handle >> 8);
  Fake->Records.push_back(Copy);
  Fake->Producers.push_back(Producer);
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeRemove(CONST EFI_SMBIOS_PROTOCOL *This, EFI_SMBIOS_HANDLE Handle) {
  FakeSmbios *Fake = Of(This);
  for (size_t Index = 0; Index < Fake->Records.size(); Index++) {
    if (HandleOf(Fake->Records[Index]) == Handle) {
      Fake->Records.erase(Fake->Records.begin() + Index);
      Fake->Producers.erase(Fake->Producers.begin() + Index);
      return EFI_SUCCESS;
    }
  }
  return EFI_INVALID_PARAMETER;
}

EFI_STATUS EFIAPI FakeGetNext(CONST EFI_SMBIOS_PROTOCOL *This, EFI_SMBIOS_HANDLE *Handle,
                              EFI_SMBIOS_TYPE *, EFI_SMBIOS_TABLE_HEADER **Record,
                              EFI_HANDLE *Producer) {
  FakeSmbios *Fake = Of(This);
  size_t Next = 0;
  if (*Handle != SMBIOS_HANDLE_PI_RESERVED) {
    Next = Fake->Records.size();
    for (size_t Index = 0; Index < Fake->Records.size(); Index++) {
      if (HandleOf(Fake->Records[Index]) == *Handle) {
        Next = Index + 1;
      }
    }
  }
  if (Next >= Fake->Records.size()) {
    return EFI_NOT_FOUND;
  }
  *Handle = HandleOf(Fake->Records[Next]);
  *Record = reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(Fake->Records[Next].data());
  if (Producer != nullptr) {
    *Producer = Fake->Producers[Next];
  }
  return EFI_SUCCESS;
}

bool PoolFails = false;
int PoolOutstanding = 0;

EFI_STATUS EFIAPI FakeAllocatePool(EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
  if (PoolFails) {
    return EFI_OUT_OF_RESOURCES;
  }
  *Buffer = std::malloc(Size);
  PoolOutstanding++;
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeFreePool(VOID *Buffer) {
  std::free(Buffer);
  PoolOutstanding--;
  return EFI_SUCCESS;
}

Bytes Structure(UINT8 Type, UINT16 Handle, std::vector<const char *> Strings) {
  Bytes Record = {Type, 8, (UINT8)Handle, (UINT8)(Handle >> 8), 1, 2, 3, 0};
  for (const char *String : Strings) {
    Record.insert(Record.end(), String, String + std::strlen(String) + 1);
  }
  if (Strings.empty()) {
    Record.push_back(0);
  }
  Record.push_back(0);
  return Record;
}

class ServiceAdapterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Fake.Protocol = {FakeAdd, nullptr, FakeRemove, FakeGetNext, 3, 0};
    Fake.Records = {Structure(0, 0x0000, {"Vendor"}), Structure(1, 0x0100, {"M", "P", "V"}),
                    Structure(2, 0x0200, {"BM", "BP"}), Structure(11, 0x0E00, {})};
    Fake.Producers = {nullptr, &Fake, &Fake, nullptr};
    Boot = {};
    Boot.AllocatePool = FakeAllocatePool;
    Boot.FreePool = FakeFreePool;
    PoolFails = false;
    PoolOutstanding = 0;
    InitAdapterState(&Fake.Protocol, &Boot, 0xFEFF);
    Original = Fake.Records;
  }

  void TearDown() override { EXPECT_EQ(PoolOutstanding, 0) << "pool leaked"; }

  EFI_STATUS Write(const Bytes &Record) {
    return AdapterWriteStructureByHandle(HandleOf(Record), Record.data(), (UINT16)Record.size());
  }

  Bytes Held(UINT16 Handle) {
    UINT8 *Pointer = nullptr;
    UINT16 Size = 0;
    if (EFI_ERROR(AdapterReadStructureByHandle(Handle, &Pointer, &Size))) {
      return {};
    }
    return Bytes(Pointer, Pointer + Size);
  }

  FakeSmbios Fake;
  EFI_BOOT_SERVICES Boot;
  std::vector<Bytes> Original;
};

TEST_F(ServiceAdapterTest, ReadFindsEachStructureByHandleWithItsWholeSize) {
  for (const Bytes &Record : Original) {
    EXPECT_EQ(Held(HandleOf(Record)), Record);
  }
}

TEST_F(ServiceAdapterTest, ReadPresentsEndOfTableUnderThePublishedHandle) {
  EXPECT_EQ(Held(0xFEFF), (Bytes{127, 4, 0xFF, 0xFE, 0, 0}));
}

TEST_F(ServiceAdapterTest, ReadReportsUnknownHandlesAndNullOutputs) {
  UINT8 *Pointer = nullptr;
  UINT16 Size = 0;
  EXPECT_EQ(AdapterReadStructureByHandle(0x0001, &Pointer, &Size), EFI_NOT_FOUND);
  EXPECT_EQ(AdapterReadStructureByHandle(0xFEFE, &Pointer, &Size), EFI_NOT_FOUND);
  EXPECT_EQ(AdapterReadStructureByHandle(0x0100, nullptr, &Size), EFI_INVALID_PARAMETER);
  EXPECT_EQ(AdapterReadStructureByHandle(0x0100, &Pointer, nullptr), EFI_INVALID_PARAMETER);
}

TEST_F(ServiceAdapterTest, WriteReplacesByExactlyThoseBytesKeepingHandleAndProducer) {
  Bytes Renamed = Structure(1, 0x0100, {"M", "KP5VRA-TE", "V"});
  ASSERT_EQ(Write(Renamed), EFI_SUCCESS);
  EXPECT_EQ(Held(0x0100), Renamed);
  EXPECT_EQ(Fake.Records.size(), Original.size());
  EXPECT_EQ(Fake.Producers.back(), &Fake);
  for (const Bytes &Other : {Original[0], Original[2], Original[3]}) {
    EXPECT_EQ(Held(HandleOf(Other)), Other);
  }
}

TEST_F(ServiceAdapterTest, WriteRefusesBadInputAndLeavesTheTableAsItWas) {
  Bytes Good = Structure(2, 0x0200, {"BM", "NEW"});
  Bytes NoZeroPair = Good;
  NoZeroPair.back() = 'X';
  Bytes ShortHeader = Good;
  ShortHeader[1] = 3;
  Bytes LengthPastBuffer = Good;
  LengthPastBuffer[1] = (UINT8)(Good.size() - 1);
  Bytes OtherType = Good;
  OtherType[0] = 3;
  Bytes EndOfTable = {127, 4, 0x00, 0x02, 0, 0};

  EXPECT_EQ(Write(NoZeroPair), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(ShortHeader), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(LengthPastBuffer), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(OtherType), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Write(EndOfTable), EFI_ACCESS_DENIED);
  EXPECT_EQ(AdapterWriteStructureByHandle(0x0201, Good.data(), (UINT16)Good.size()),
            EFI_INVALID_PARAMETER)
      << "header handle differs from the handle asked for";
  EXPECT_EQ(AdapterWriteStructureByHandle(0x0200, nullptr, 10), EFI_INVALID_PARAMETER);
  EXPECT_EQ(AdapterWriteStructureByHandle(0x0200, Good.data(), 5), EFI_INVALID_PARAMETER);
  EXPECT_EQ(AdapterWriteStructureByHandle(0xFEFF, EndOfTable.data(), 6), EFI_ACCESS_DENIED);
  EXPECT_EQ(Fake.Records, Original);
  EXPECT_EQ(Fake.AddCalls, 0);
}

TEST_F(ServiceAdapterTest, WriteRefusesSizesThatDisagreeWithTheBytes) {
  Bytes Good = Structure(2, 0x0200, {"BM", "NEW"});
  Bytes Padded = Good;
  Padded.push_back(0);
  EXPECT_EQ(AdapterWriteStructureByHandle(0x0200, Good.data(), (UINT16)(Good.size() - 1)),
            EFI_INVALID_PARAMETER)
      << "cut before the closing zero pair";
  EXPECT_EQ(AdapterWriteStructureByHandle(0x0200, Padded.data(), (UINT16)Padded.size()),
            EFI_BAD_BUFFER_SIZE);
  EXPECT_EQ(Fake.Records, Original);
}

TEST_F(ServiceAdapterTest, WriteToUnknownHandleIsNotFound) {
  Bytes Stray = Structure(1, 0x0101, {"M", "P"});
  EXPECT_EQ(Write(Stray), EFI_NOT_FOUND);
  EXPECT_EQ(Fake.Records, Original);
}

TEST_F(ServiceAdapterTest, RefusedAddPutsTheHeldStructureBack) {
  Fake.FailAddCall = 1;
  EXPECT_EQ(Write(Structure(1, 0x0100, {"M", "NEW", "V"})), EFI_INVALID_PARAMETER);
  EXPECT_EQ(Held(0x0100), Original[1]);
  EXPECT_EQ(Fake.Records.size(), Original.size());
}

TEST_F(ServiceAdapterTest, NoPoolMeansNoChange) {
  PoolFails = true;
  EXPECT_EQ(Write(Structure(1, 0x0100, {"M", "NEW", "V"})), EFI_OUT_OF_RESOURCES);
  EXPECT_EQ(Fake.Records, Original);
}

TEST(SmbiosTableTest, MeasureStructureStaysWithinItsLimit) {
  Bytes Record = Structure(1, 1, {"AB"});
  EXPECT_EQ(MeasureStructure(Record.data(), (UINT32)Record.size()), 12u);
  EXPECT_EQ(MeasureStructure(Record.data(), (UINT32)Record.size() - 1), 0u);
  Bytes Bare = Structure(1, 1, {});
  EXPECT_EQ(MeasureStructure(Bare.data(), (UINT32)Bare.size()), 10u);
  Bare[1] = 2;
  EXPECT_EQ(MeasureStructure(Bare.data(), (UINT32)Bare.size()), 0u);
}

TEST(SmbiosTableTest, SummarizeTableCountsThroughEndOfTable) {
  Bytes Table = Structure(1, 0x100, {"A"});
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

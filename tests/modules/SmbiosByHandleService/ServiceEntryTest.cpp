// Host tests of the by-handle service's entry point: the longer record it
// reinstalls over SmbiosDxe's, and what it leaves behind when it cannot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "modules/SmbiosByHandleService/ByHandle.h"
#include "modules/SmbiosByHandleService/SmbiosTable.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeBootServices.h"
#include "tests/fakes/FakeSmbiosDxe.h"
#include "tests/fakes/FakeSmbiosService.h"

extern "C" EFI_STATUS EFIAPI SmbiosByHandleServiceEntry(IN EFI_HANDLE ImageHandle,
                                                        IN EFI_SYSTEM_TABLE *SystemTable);

namespace {

using Bytes = std::vector<UINT8>;

class ServiceEntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetCallLog();
    ResetFirmware();
    ResetSmbiosDxe(3, 2, {MakeStructure(1, 0x0100, 8, {"M", "P"})});
    InstallInterface(SmbiosServiceGuid, &SmbiosDxe().Protocol);
  }

  EFI_STATUS Run() { return SmbiosByHandleServiceEntry(nullptr, &Firmware().SystemTable); }

  SMBIOS_TABLE_SERVICE *Installed() {
    return static_cast<SMBIOS_TABLE_SERVICE *>(Firmware().Interfaces[0].second);
  }
  EFI_SMBIOS_PROTOCOL *Standard() {
    return static_cast<EFI_SMBIOS_PROTOCOL *>(Firmware().Interfaces[0].second);
  }

  Bytes Read(UINT16 Handle) { return ReadThrough(Installed()->ReadStructureByHandle, Handle); }

  size_t Logged(const std::string &Call) {
    auto &Log = CallLog();
    return (
        size_t)(std::find_if(Log.begin(), Log.end(),
                             [&](const std::string &Line) { return Line.rfind(Call, 0) == 0; }) -
                Log.begin());
  }
};

TEST_F(ServiceEntryTest, ReinstallsTheLongerRecordOnTheSameHandleThenWatchesTheTable) {
  ASSERT_EQ(Run(), EFI_SUCCESS);
  ASSERT_EQ(Firmware().Interfaces.size(), 1u);
  ASSERT_NE(Installed(), static_cast<VOID *>(&SmbiosDxe().Protocol));
  EXPECT_EQ(Standard()->MajorVersion, 3);
  EXPECT_EQ(Standard()->MinorVersion, 2);
  EXPECT_EQ(Read(0x0100), HeldBytes(0x0100));
  auto Unsupported = reinterpret_cast<EFI_STATUS(EFIAPI *)()>(Installed()->Entry13);
  EXPECT_EQ(Unsupported(), EFI_UNSUPPORTED);
  EXPECT_LT(Logged("ReinstallProtocolInterface"), Logged("CreateEventEx"));
  ASSERT_EQ(Firmware().Events.size(), 2u);
  for (auto &Event : Firmware().Events) {
    EXPECT_EQ(Event->NotifyTpl, TPL_NOTIFY);
  }
}

TEST_F(ServiceEntryTest, StandardMembersForwardAndTheNextReadSeesTheirChange) {
  ASSERT_EQ(Run(), EFI_SUCCESS);
  ASSERT_FALSE(Read(0x0100).empty());
  Firmware().Tpl = TPL_NOTIFY;  // no notification: the members mark the index themselves
  EFI_SMBIOS_PROTOCOL *Record = Standard();

  Bytes Added = MakeStructure(2, 0x0200, 8, {"BM", "BP"});
  EFI_SMBIOS_HANDLE Handle = 0x0200;
  ASSERT_EQ(Record->Add(Record, nullptr, &Handle, (EFI_SMBIOS_TABLE_HEADER *)Added.data()),
            EFI_SUCCESS);
  EXPECT_EQ(Read(0x0200), Added);

  Handle = 0x0100;
  UINTN Number = 2;
  CHAR8 Longer[] = "A LONGER PRODUCT";
  ASSERT_EQ(Record->UpdateString(Record, &Handle, &Number, Longer), EFI_SUCCESS);
  EXPECT_EQ(Read(0x0100), HeldBytes(0x0100));

  ASSERT_EQ(Record->Remove(Record, 0x0100), EFI_SUCCESS);
  EXPECT_TRUE(Read(0x0100).empty());
  EFI_SMBIOS_TABLE_HEADER *First = nullptr;
  Handle = SMBIOS_HANDLE_PI_RESERVED;
  ASSERT_EQ(Record->GetNext(Record, &Handle, nullptr, &First, nullptr), EFI_SUCCESS);
  EXPECT_EQ(First->Handle, 0x0200);
}

TEST_F(ServiceEntryTest, RefusalsLeaveSmbiosDxesRecordAndRegisterNothing) {
  InstallInterface(SmbiosServiceGuid, &SmbiosDxe().Protocol);
  EXPECT_EQ(Run(), EFI_UNSUPPORTED) << "two records";

  SetUp();
  Firmware().ReinstallStatus = EFI_ACCESS_DENIED;
  EXPECT_EQ(Run(), EFI_ACCESS_DENIED);
  EXPECT_EQ(Standard(), &SmbiosDxe().Protocol);
  EXPECT_TRUE(Firmware().Events.empty()) << "an unloaded image's notification would dangle";

  ResetCallLog();
  ResetFirmware();
  EXPECT_EQ(Run(), EFI_NOT_FOUND) << "no record";
  InstallInterface(SmbiosServiceGuid, nullptr);
  EXPECT_EQ(Run(), EFI_NOT_FOUND) << "a null record";
}

TEST_F(ServiceEntryTest, EndOfTableComesFromTheTablePublishedByTheFirstRead) {
  ASSERT_EQ(Run(), EFI_SUCCESS);
  // Nothing published yet: no End-of-Table under the placeholder handle.
  EXPECT_EQ(Read(0xFFFF), Bytes());
  Bytes Table = HeldBytes(0x0100);
  Table.insert(Table.end(), {127, 4, 0x42, 0x00, 0, 0});
  UINT8 EntryPoint[24] = {'_', 'S', 'M', '3', '_', 0, 24, 3, 2, 1, 1, 0};
  UINT64 Address = (UINT64)(UINTN)Table.data();
  std::memcpy(EntryPoint + 16, &Address, 8);
  EFI_CONFIGURATION_TABLE Published = {SMBIOS3_TABLE_GUID, EntryPoint};
  Firmware().SystemTable.NumberOfTableEntries = 1;
  Firmware().SystemTable.ConfigurationTable = &Published;
  auto Publish = [&](UINT32 Length) {
    std::memcpy(EntryPoint + 12, &Length, 4);
    EntryPoint[5] = 0;
    EntryPoint[5] = (UINT8)(0 - SumBytes(EntryPoint, 24));
  };

  Publish((UINT32)Table.size() - 6);  // End-of-Table not within the length given
  EXPECT_TRUE(Read(0x0042).empty());
  Publish((UINT32)Table.size());
  EXPECT_EQ(Read(0x0042), (Bytes{127, 4, 0x42, 0x00, 0, 0}));
  Firmware().SystemTable.NumberOfTableEntries = 0;
  EXPECT_EQ(Read(0x0042), (Bytes{127, 4, 0x42, 0x00, 0, 0})) << "kept once known";
}

}  // namespace

#include <gtest/gtest.h>

#include "driver/Driver.h"
#include "driver/TriggerProtocol.h"
#include "tests/fakes/DriverFixture.h"

namespace {

class DriverEntryTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    ServiceContext = {};        // the entry point fills it
    SetStrapPorts(0x02, 0x00);  // code 1
    SmbiosTable().Structures[0] = MakeStructure(1, 0, 8, {"M", "P", "V"});
    SmbiosTable().Structures[1] = MakeStructure(127, 1, 4, {});
  }
  EFI_STATUS Load() {
    return DriverEntry(reinterpret_cast<EFI_HANDLE>(0x77), &Firmware().SystemTable);
  }
  int Trigger = 0;
};

TEST_F(DriverEntryTest, ArmsOneNotificationAndTouchesNothingElse) {
  Firmware().Interfaces.push_back({SmbiosServiceGuid, &SmbiosTable().Service});
  EXPECT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(CallLog(),
            (std::vector<std::string>{"CreateEvent(0x200,16)", "RegisterProtocolNotify"}));
  ASSERT_EQ(Firmware().Events.size(), 1u);
  const FakeEvent &Event = *Firmware().Events[0];
  EXPECT_EQ(Event.Notify, &OnTriggerInstalled);
  EXPECT_EQ(Event.Context, nullptr);
  ASSERT_EQ(Firmware().Notifications.size(), 1u);
  EXPECT_TRUE(SameGuid(Firmware().Notifications[0].first, TriggerProtocolGuid));
  EXPECT_EQ(Firmware().Notifications[0].second, &Event);
  EXPECT_TRUE(HardwareLog().empty());
  EXPECT_TRUE(SmbiosTable().Reads.empty());
  EXPECT_EQ(ServiceContext.ImageHandle, reinterpret_cast<EFI_HANDLE>(0x77));
  EXPECT_EQ(ServiceContext.BootServices, &Firmware().BootServices);
}

TEST_F(DriverEntryTest, FailedEventCreationSkipsRegistrationAndStillSucceeds) {
  Firmware().CreateEventStatus = EFI_OUT_OF_RESOURCES;
  EXPECT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(CallLog(), (std::vector<std::string>{"CreateEvent(0x200,16)"}));
  EXPECT_TRUE(Firmware().Notifications.empty());
}

TEST_F(DriverEntryTest, TriggerInstalledAfterLoadingRunsTheJobOnce) {
  Firmware().Interfaces.push_back({SmbiosServiceGuid, &SmbiosTable().Service});
  ASSERT_EQ(Load(), EFI_SUCCESS);
  InstallInterface(TriggerProtocolGuid, &Trigger);
  InstallInterface(TriggerProtocolGuid, &Trigger);  // a second installation finds the event closed
  const FakeEvent &Event = *Firmware().Events[0];
  EXPECT_EQ(Event.Signals, 1u);
  EXPECT_TRUE(Event.Closed);
  EXPECT_EQ(SmbiosTable().Reads, (std::vector<UINT16>{0, 1}));
  ASSERT_EQ(SmbiosTable().Writes.size(), 1u);
  EXPECT_EQ(StringsOf(SmbiosTable().Writes[0].Bytes),
            (std::vector<std::string>{"M", "KP5VRC-E", "V"}));
}

TEST_F(DriverEntryTest, TriggerInstalledBeforeLoadingRunsNothing) {
  Firmware().Interfaces.push_back({SmbiosServiceGuid, &SmbiosTable().Service});
  InstallInterface(TriggerProtocolGuid, &Trigger);
  ASSERT_EQ(Load(), EFI_SUCCESS);
  EXPECT_EQ(Firmware().Events[0]->Signals, 0u);
  EXPECT_FALSE(Firmware().Events[0]->Closed);
  EXPECT_TRUE(HardwareLog().empty());
  EXPECT_TRUE(SmbiosTable().Reads.empty());
}

}  // namespace

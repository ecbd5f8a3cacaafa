// Host tests of the trigger installer: nothing before End-of-DXE, the
// trigger interface once at End-of-DXE.
#include <gtest/gtest.h>

#include "driver/TriggerProtocol.h"
#include "modules/SmbiosBoardNameTrigger/EventGroups.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeBootServices.h"

extern "C" EFI_STATUS EFIAPI SmbiosBoardNameTriggerEntry(IN EFI_HANDLE ImageHandle,
                                                         IN EFI_SYSTEM_TABLE *SystemTable);

namespace {

const EFI_GUID EndOfDxe = EFI_END_OF_DXE_EVENT_GROUP_GUID;

size_t TriggersInstalled() {
  size_t Count = 0;
  for (auto &Entry : Firmware().Interfaces) {
    Count += SameGuid(Entry.first, TriggerProtocolGuid) ? 1 : 0;
  }
  return Count;
}

TEST(TriggerAtEndOfDxeTest, InstallsTheTriggerOnceAtEndOfDxe) {
  ResetCallLog();
  ResetFirmware();
  ASSERT_EQ(SmbiosBoardNameTriggerEntry(nullptr, &Firmware().SystemTable), EFI_SUCCESS);
  ASSERT_EQ(Firmware().Events.size(), 1u);
  EXPECT_EQ(Firmware().Events[0]->NotifyTpl, TPL_CALLBACK);
  EXPECT_EQ(TriggersInstalled(), 0u);
  SignalEventGroup(EndOfDxe);
  EXPECT_EQ(TriggersInstalled(), 1u);
  EXPECT_TRUE(Firmware().Events[0]->Closed);
  SignalEventGroup(EndOfDxe);
  EXPECT_EQ(TriggersInstalled(), 1u);
}

TEST(TriggerAtEndOfDxeTest, ReportsARefusedRegistration) {
  ResetCallLog();
  ResetFirmware();
  Firmware().CreateEventExFailsFrom = 1;
  EXPECT_EQ(SmbiosBoardNameTriggerEntry(nullptr, &Firmware().SystemTable), EFI_OUT_OF_RESOURCES);
}

}  // namespace

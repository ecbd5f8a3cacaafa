#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "driver/Driver.h"
#include "driver/TriggerProtocol.h"
#include "smbios/StringSet.h"
#include "tests/fakes/DriverFixture.h"

namespace {

const std::vector<HardwareAccess> WriteBack = {
    {AccessKind::MmioRead, 1, WRITE_BACK_REGISTER_A, 0x3C},
    {AccessKind::MmioRead, 1, WRITE_BACK_REGISTER_B, 0xC3},
    {AccessKind::MmioWrite, 1, WRITE_BACK_REGISTER_A, 0x3C},
    {AccessKind::MmioWrite, 1, WRITE_BACK_REGISTER_B, 0xC3},
    {AccessKind::MmioWrite, 1, WRITE_BACK_REGISTER_A, 0x3C}};

class TriggerHandlerTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    ServiceContext.SmbiosService = nullptr;  // the handler looks it up itself
    StrapCode(4);
  }
  // Code 4 on the straps; register A reads 0x3C and B 0xC3.
  void StrapCode(BOARD_STRAP_CODE Code) {
    SetReadAnswer([Code](bool Mmio, UINT64 Address, unsigned) -> UINT32 {
      if (Mmio) {
        return Address == WRITE_BACK_REGISTER_A ? 0x3C : 0xC3;
      }
      if (Address == STRAP_PORT_LOW) {
        return ((Code & 1) << 1) | ((Code & 2) << 4);
      }
      return ((Code >> 2) & 1) | (((Code >> 3) & 1) << 2);
    });
  }
  void InstallTrigger() {
    Firmware().Interfaces.push_back({TriggerProtocolGuid, &TriggerInterface});
  }
  void InstallSmbiosService() {
    Firmware().Interfaces.push_back({SmbiosServiceGuid, &SmbiosTable().Service});
  }
  void Add(UINT16 Handle, UINT8 Type,
           std::vector<std::string> Strings = {"Maker", "Product", "1.0"}) {
    SmbiosTable().Structures[Handle] = MakeStructure(Type, Handle, 8, Strings);
  }
  FakeEvent *Run() {
    if (Event == nullptr) {
      Firmware().Events.emplace_back(
          new FakeEvent{EVT_NOTIFY_SIGNAL, TPL_NOTIFY, nullptr, nullptr, false, 0});
      Event = Firmware().Events.back().get();
    }
    OnTriggerInstalled(Event, nullptr);
    return Event;
  }
  std::vector<HardwareAccess> StrapReads() const {
    std::vector<HardwareAccess> Reads;
    for (const HardwareAccess &Access : HardwareLog()) {
      if (Access.Kind == AccessKind::PortRead) {
        Reads.push_back(Access);
      }
    }
    return Reads;
  }
  std::vector<UINT16> WrittenHandles() const {
    std::vector<UINT16> Handles;
    for (const SmbiosWrite &Write : SmbiosTable().Writes) {
      Handles.push_back(Write.Handle);
    }
    return Handles;
  }
  int TriggerInterface = 0;
  FakeEvent *Event = nullptr;
};

TEST_F(TriggerHandlerTest, WritesTheRegistersBackFirstOnEveryRun) {
  Run();  // trigger absent: the event stays armed
  InstallTrigger();
  InstallSmbiosService();
  Add(0, 127);
  Run();
  const std::vector<HardwareAccess> &Log = HardwareLog();
  ASSERT_GE(Log.size(), 10u);
  EXPECT_EQ(std::vector<HardwareAccess>(Log.begin(), Log.begin() + 5), WriteBack);
  EXPECT_EQ(std::vector<HardwareAccess>(Log.begin() + 5, Log.begin() + 10), WriteBack);
  // Nothing precedes the write-back on either run.
  EXPECT_EQ(CallLog()[5], "LocateProtocol(d088a413,0)");
  EXPECT_EQ(CallLog()[11], "LocateProtocol(d088a413,0)");
}

TEST_F(TriggerHandlerTest, TriggerAbsentLeavesTheEventArmedAndTouchesNothingElse) {
  InstallSmbiosService();
  Add(0, 1);
  FakeEvent *Armed = Run();
  EXPECT_FALSE(Armed->Closed);
  ASSERT_EQ(CallLog().size(), 6u);
  EXPECT_EQ(CallLog().back(), "LocateProtocol(d088a413,0)");
  EXPECT_EQ(HardwareLog(), WriteBack);
  EXPECT_TRUE(SmbiosTable().Reads.empty());
}

TEST_F(TriggerHandlerTest, SmbiosServiceAbsentClosesTheEventWithoutReading) {
  InstallTrigger();
  EXPECT_TRUE(Run()->Closed);
  EXPECT_EQ(ServiceContext.SmbiosService, nullptr);
  EXPECT_TRUE(SmbiosTable().Reads.empty());
  EXPECT_TRUE(StrapReads().empty());
  EXPECT_EQ(CallLog().back(), "CloseEvent");
}

TEST_F(TriggerHandlerTest, RewritesSystemAndBaseboardUpToTheEndOfTable) {
  InstallTrigger();
  InstallSmbiosService();
  Add(0, 0);
  Add(1, 1);
  Add(2, 2);
  Add(3, 127, {});
  Add(4, 1);
  EXPECT_TRUE(Run()->Closed);
  EXPECT_EQ(ServiceContext.SmbiosService, &SmbiosTable().Service);
  EXPECT_EQ(SmbiosTable().Reads, (std::vector<UINT16>{0, 1, 2, 3}));
  EXPECT_EQ(WrittenHandles(), (std::vector<UINT16>{1, 2}));
  for (const SmbiosWrite &Write : SmbiosTable().Writes) {
    EXPECT_EQ(StringsOf(Write.Bytes), (std::vector<std::string>{"Maker", "KP5VRA-TE", "1.0"}));
  }
  std::vector<HardwareAccess> Reads = StrapReads();
  ASSERT_EQ(Reads.size(), 16u);
  for (size_t Read = 0; Read < Reads.size(); Read++) {
    EXPECT_EQ(Reads[Read].Address, Read % 4 < 2 ? STRAP_PORT_LOW : STRAP_PORT_HIGH) << Read;
  }
  EXPECT_EQ(CallLog().back(), "CloseEvent");
}

TEST_F(TriggerHandlerTest, SamplesTheStrapsAfterEveryReadAndUsesEachProbesOwnCode) {
  InstallTrigger();
  InstallSmbiosService();
  Add(0, 1);
  Add(1, 2);
  Add(2, 127, {});
  SmbiosTable().FailingReads.insert(1);  // a failed probe samples the straps too
  Add(3, 2);
  SmbiosTable().Structures.erase(1);
  Add(5, 127, {});
  // Code 0 during probe 0, code 8 from probe 1 on.
  unsigned Samples = 0;
  SetReadAnswer([&Samples](bool Mmio, UINT64 Address, unsigned) -> UINT32 {
    if (Mmio) {
      return 0;
    }
    unsigned Probe = Samples++ / 4;
    return (Probe >= 1 && Address == STRAP_PORT_HIGH) ? 0x04 : 0x00;
  });
  SmbiosTable().Structures.erase(2);  // unknown handle between known ones
  Run();
  EXPECT_EQ(SmbiosTable().Reads, (std::vector<UINT16>{0, 1, 2, 3, 4, 5}));
  ASSERT_EQ(WrittenHandles(), (std::vector<UINT16>{0, 3}));
  EXPECT_EQ(StringsOf(SmbiosTable().Writes[0].Bytes)[1], "KP5VRA-E");
  EXPECT_EQ(StringsOf(SmbiosTable().Writes[1].Bytes)[1], "KP5VRA-E-WDN");
  EXPECT_EQ(StrapReads().size(), 24u);
  // Each strap sample follows its read.
  std::vector<std::string> Calls;
  for (const std::string &Call : CallLog()) {
    if (Call.rfind("Read", 0) == 0 || Call.rfind("PortRead8(0x1c0e)", 0) == 0) {
      Calls.push_back(Call.substr(0, 4));
    }
  }
  ASSERT_GE(Calls.size(), 3u);
  EXPECT_EQ(Calls[0], "Read");
  EXPECT_EQ(Calls[1], "Port");
}

TEST_F(TriggerHandlerTest, WritesBackUnderTheHeaderHandle) {
  InstallTrigger();
  InstallSmbiosService();
  SmbiosTable().Structures[0] = MakeStructure(1, 0x0100, 8, {"M", "P"});
  SmbiosTable().Structures[0x0100] = MakeStructure(1, 0x0100, 8, {"M", "P"});
  Add(1, 127, {});
  Run();
  EXPECT_EQ(WrittenHandles(), (std::vector<UINT16>{0x0100}));
}

TEST_F(TriggerHandlerTest, SkipsAProbeThatSucceedsWithoutAStructure) {
  InstallTrigger();
  InstallSmbiosService();
  SmbiosTable().NullOnSuccess.insert(0);
  Add(1, 1);
  Add(2, 127, {});
  EXPECT_TRUE(Run()->Closed);
  EXPECT_EQ(WrittenHandles(), (std::vector<UINT16>{1}));
}

TEST_F(TriggerHandlerTest, TableWithoutEndOfTableStopsAfterHandle65535) {
  InstallTrigger();
  InstallSmbiosService();
  Add(7, 1);
  EXPECT_TRUE(Run()->Closed);
  const std::vector<UINT16> &Reads = SmbiosTable().Reads;
  ASSERT_EQ(Reads.size(), 65536u);
  EXPECT_EQ(Reads.front(), 0);
  EXPECT_EQ(Reads.back(), 65535);
  EXPECT_EQ(WrittenHandles(), (std::vector<UINT16>{7}));
  EXPECT_EQ(StrapReads().size(), 4u * 65536u);
}

}  // namespace

// Fails the n-th boot-service or table-service call of one handler run, for
// every n in turn, over a table of realistic structures. Whatever fails, each
// structure must end either fully rewritten or exactly as it was, nothing may
// leak and the event must end as the failure dictates.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "driver/Driver.h"
#include "driver/TriggerProtocol.h"
#include "tests/fakes/DriverFixture.h"

namespace {

using Table = std::map<UINT16, std::vector<UINT8>>;

// Structures shaped like those OVMF builds under QEMU, handles numbered from 0.
Table RealisticTable() {
  Table Structures;
  Structures[0] = MakeStructure(0, 0, 26, {"EFI Development Kit II / OVMF", "0.0.0", "02/06/2015"});
  Structures[1] = MakeStructure(1, 1, 27, {"QEMU", "Standard PC (Q35 + ICH9, 2009)", "pc-q35-7.2"});
  Structures[2] = MakeStructure(2, 2, 15, {"Testbed Boards", "TB-BOARD", "1.0", "SERIAL"});
  Structures[3] = MakeStructure(3, 3, 22, {"QEMU", "pc-q35-7.2"});
  Structures[4] = MakeStructure(4, 4, 48, {"CPU 0", "QEMU", "pc-q35-7.2"});
  Structures[5] = MakeStructure(1, 5, 27, {"Second", "System", "2.0"});
  Structures[6] = MakeStructure(16, 6, 23, {});
  Structures[7] = MakeStructure(17, 7, 40, {"DIMM 0", "QEMU"});
  Structures[8] = MakeStructure(19, 8, 31, {});
  Structures[9] = MakeStructure(32, 9, 11, {});
  Structures[10] = MakeStructure(127, 10, 4, {});
  return Structures;
}

struct Outcome {
  Table Final;
  std::vector<std::string> FallibleCalls;  // in order, as the call log names them
  std::vector<UINT16> Reads;
  bool EventClosed;
  size_t Leaks;
  bool HandedOutIntact;
};

bool IsFallible(const std::string &Call) {
  for (const char *Name :
       {"AllocatePool", "LocateProtocol", "ReadStructureByHandle", "WriteStructureByHandle"}) {
    if (Call.rfind(Name, 0) == 0) {
      return true;
    }
  }
  return false;
}

class FaultInjectionTest : public DriverFixture {
 protected:
  // One handler run on a fresh copy of the table with call FailingCall failing
  // (0: none). Straps read code 1.
  Outcome RunWithFailure(unsigned FailingCall) {
    ResetHardware();
    ResetServiceFakes();
    ServiceContext.SmbiosService = nullptr;  // the handler looks it up itself
    SetStrapPorts(0x02, 0x00);
    SmbiosTable().Structures = RealisticTable();
    Firmware().Interfaces.push_back({TriggerProtocolGuid, &TriggerInterface});
    Firmware().Interfaces.push_back({SmbiosServiceGuid, &SmbiosTable().Service});
    Firmware().Events.emplace_back(
        new FakeEvent{EVT_NOTIFY_SIGNAL, TPL_NOTIFY, OnTriggerInstalled, nullptr, false, 0});
    FakeEvent *Event = Firmware().Events.back().get();
    FailFallibleCall(FailingCall);
    OnTriggerInstalled(Event, nullptr);
    Outcome Result{SmbiosTable().Structures,   {}, SmbiosTable().Reads, Event->Closed, PoolLeaks(),
                   HandedOutStructuresIntact()};
    for (const std::string &Call : CallLog()) {
      if (IsFallible(Call)) {
        Result.FallibleCalls.push_back(Call);
      }
    }
    return Result;
  }
  int TriggerInterface = 0;
};

// The structure whose rewrite a failing call belonged to: the last one read
// before it. -1 when the call is not part of any rewrite or read.
int StructureOfCall(const std::vector<std::string> &Calls, size_t Index) {
  for (size_t Back = Index + 1; Back-- > 0;) {
    const std::string &Call = Calls[Back];
    if (Call.rfind("ReadStructureByHandle(", 0) == 0) {
      return std::stoi(Call.substr(sizeof("ReadStructureByHandle(") - 1));
    }
  }
  return -1;
}

TEST_F(FaultInjectionTest, EveryFailingCallLeavesEachStructureWholeOrUntouched) {
  const Table Original = RealisticTable();
  const Outcome Clean = RunWithFailure(0);
  // The clean run: the three System and Baseboard structures rewritten, each
  // through two allocations and one write, after the two lookups and 11 reads.
  ASSERT_EQ(Clean.FallibleCalls.size(), 2u + 11u + 3u * 3u);
  ASSERT_TRUE(Clean.EventClosed);
  for (UINT16 Handle : {1, 2, 5}) {
    ASSERT_NE(Clean.Final.at(Handle), Original.at(Handle)) << Handle;
    ASSERT_EQ(StringsOf(Clean.Final.at(Handle))[1], "KP5VRC-E") << Handle;
  }

  for (unsigned FailingCall = 1; FailingCall <= Clean.FallibleCalls.size() + 1; FailingCall++) {
    SCOPED_TRACE("failing call " + std::to_string(FailingCall));
    const Outcome Run = RunWithFailure(FailingCall);
    EXPECT_EQ(Run.Leaks, 0u);
    EXPECT_TRUE(Run.HandedOutIntact);
    ASSERT_EQ(Run.Final.size(), Original.size());

    if (FailingCall > Clean.FallibleCalls.size()) {  // past the last call: a clean run
      EXPECT_EQ(Run.Final, Clean.Final);
      continue;
    }
    const std::string &Failed = Clean.FallibleCalls[FailingCall - 1];
    // The calls before the failing one are those of the clean run.
    ASSERT_GE(Run.FallibleCalls.size(), FailingCall);
    EXPECT_EQ(std::vector<std::string>(Run.FallibleCalls.begin(),
                                       Run.FallibleCalls.begin() + FailingCall),
              std::vector<std::string>(Clean.FallibleCalls.begin(),
                                       Clean.FallibleCalls.begin() + FailingCall));
    if (FailingCall <= 2) {  // a lookup: nothing is read or written
      EXPECT_EQ(Run.Final, Original);
      EXPECT_TRUE(Run.Reads.empty());
      EXPECT_EQ(Run.EventClosed, FailingCall == 2) << "open only when the trigger is not found";
      continue;
    }
    EXPECT_TRUE(Run.EventClosed);
    int Spared = StructureOfCall(Clean.FallibleCalls, FailingCall - 1);
    ASSERT_GE(Spared, 0);
    // The structure the failing call belonged to stays as it was; every other
    // one ends as in the clean run, byte for byte.
    for (const auto &Held : Run.Final) {
      const std::vector<UINT8> &Expected =
          Held.first == Spared ? Original.at(Held.first) : Clean.Final.at(Held.first);
      EXPECT_EQ(Held.second, Expected) << "handle " << Held.first;
    }
    if (Failed == "ReadStructureByHandle(10)") {
      // A failed End-of-Table read is a skipped handle: the walk runs to its bound.
      EXPECT_EQ(Run.Reads.size(), 65536u);
    } else {
      EXPECT_EQ(Run.Reads.size(), 11u);
    }
  }
}

}  // namespace

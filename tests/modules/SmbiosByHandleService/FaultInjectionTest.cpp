// Fails each boot-service call that the by-handle service makes (call N of
// one service, for every N until a run reaches no N-th call) over one boot's
// worth of use: the entry point, reads of every handle, a write of strings
// only, a write of a whole structure, and producers adding, renaming and
// removing structures through whatever record is installed under the SMBIOS
// protocol GUID. Whatever fails: each status is honest, the table holds
// exactly what the calls that succeeded made of it, the installed record
// works for every producer, no event is left behind by an entry that failed,
// and no pool stays allocated but the index's block and a block whose
// FreePool was refused. Prints one row per failure for the record.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "modules/SmbiosByHandleService/ByHandle.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeBootServices.h"
#include "tests/fakes/FakeSmbiosDxe.h"
#include "tests/fakes/FakeSmbiosService.h"

extern "C" EFI_STATUS EFIAPI SmbiosByHandleServiceEntry(IN EFI_HANDLE ImageHandle,
                                                        IN EFI_SYSTEM_TABLE *SystemTable);

namespace {

using Bytes = std::vector<UINT8>;
using Table = std::map<UINT16, Bytes>;
using Failures = std::map<std::string, std::set<unsigned>>;

// Every boot service the fakes provide; any other slot aborts the test, so
// these are all the service could call.
const char *const Services[] = {"LocateHandle",
                                "HandleProtocol",
                                "ReinstallProtocolInterface",
                                "CreateEventEx",
                                "CloseEvent",
                                "AllocatePool",
                                "FreePool",
                                "LocateProtocol",
                                "CreateEvent",
                                "InstallProtocolInterface",
                                "RegisterProtocolNotify"};

// Structures shaped like OVMF's under QEMU. SmbiosDxe's record never yields
// End-of-Table, so the fake holds none.
std::vector<Bytes> Structures() {
  return {MakeStructure(0, 0, 26, {"EFI Development Kit II / OVMF", "0.0.0", "02/06/2015"}),
          MakeStructure(1, 1, 27, {"QEMU", "Standard PC (Q35 + ICH9, 2009)", "pc-q35-7.2"}),
          MakeStructure(2, 2, 15, {"Testbed Boards", "TB-BOARD", "1.0", "SERIAL"}),
          MakeStructure(3, 3, 22, {"QEMU", "pc-q35-7.2"}),
          MakeStructure(4, 4, 48, {"CPU 0", "QEMU", "pc-q35-7.2"}),
          MakeStructure(16, 6, 23, {}),
          MakeStructure(17, 7, 40, {"DIMM 0", "QEMU"})};
}

const char *StatusName(EFI_STATUS Status) {
  switch (Status) {
    case EFI_SUCCESS: return "EFI_SUCCESS";
    case EFI_NOT_FOUND: return "EFI_NOT_FOUND";
    case EFI_UNSUPPORTED: return "EFI_UNSUPPORTED";
    case EFI_ACCESS_DENIED: return "EFI_ACCESS_DENIED";
    case EFI_OUT_OF_RESOURCES: return "EFI_OUT_OF_RESOURCES";
    default: return "other";
  }
}

class ServiceFaultInjectionTest : public ::testing::Test {
 protected:
  struct Hit {
    std::string Step;  // where the failing call was made; empty when none was
    EFI_STATUS Status = EFI_SUCCESS;
  };

  EFI_SMBIOS_PROTOCOL *Installed() {
    return static_cast<EFI_SMBIOS_PROTOCOL *>(Firmware().Interfaces[0].second);
  }
  bool LongerRecordInstalled() { return Installed() != &SmbiosDxe().Protocol; }

  // Failures injected so far, of one service or of all.
  unsigned Injected(const std::string &Service) {
    unsigned Count = 0;
    for (unsigned Number : Firmware().Failing[Service]) {
      Count += Firmware().Calls[Service] >= Number ? 1 : 0;
    }
    return Count;
  }
  unsigned FailuresInjected() {
    unsigned Count = 0;
    for (const char *Service : Services) {
      Count += Injected(Service);
    }
    return Count;
  }
  std::string FailedService() {
    for (const char *Service : Services) {
      if (Injected(Service) != 0) {
        return Service;
      }
    }
    return "";
  }
  unsigned FreesRefused() { return Injected("FreePool"); }

  // Notes the step in which the injected failure came and what it returned.
  void Step(const char *Name, EFI_STATUS Status, unsigned InjectedBefore) {
    if (Result.Step.empty() && FailuresInjected() > InjectedBefore) {
      Result = {Name, Status};
    }
  }

  // Every structure held is the model's, by handle and through the by-handle
  // read of the installed record; an unknown handle is not found.
  void ReadEverything() {
    unsigned Before = FailuresInjected();
    Table Held;
    for (UINT16 Handle : HandlesInListOrder()) {
      Held[Handle] = HeldBytes(Handle);
    }
    EXPECT_EQ(Held, Model);
    if (LongerRecordInstalled()) {
      auto *Service = reinterpret_cast<SMBIOS_TABLE_SERVICE *>(Installed());
      for (auto &Structure : Model) {
        EXPECT_EQ(ReadThrough(Service->ReadStructureByHandle, Structure.first), Structure.second)
            << "handle " << Structure.first;
      }
      UINT8 *Pointer = nullptr;
      UINT16 Size = 0;
      EXPECT_EQ(Service->ReadStructureByHandle(0x0BAD, &Pointer, &Size), EFI_NOT_FOUND);
    }
    Step("read", EFI_SUCCESS, Before);
  }

  // A write either succeeds and changes exactly its structure, or returns the
  // failing call's status and changes nothing; its copy of the held
  // structure is freed unless the firmware refused to free it.
  void Write(const char *Name, const Bytes &Structure, EFI_STATUS Refusal) {
    auto *Service = reinterpret_cast<SMBIOS_TABLE_SERVICE *>(Installed());
    UINT16 Handle = (UINT16)(Structure[2] | (Structure[3] << 8));
    unsigned Before = FailuresInjected();
    size_t Pool = PoolLeaks() - FreesRefused();
    EFI_STATUS Status =
        Service->WriteStructureByHandle(Handle, Structure.data(), (UINT16)Structure.size());
    EXPECT_TRUE(Status == EFI_SUCCESS || Status == Refusal) << Name << ": " << StatusName(Status);
    if (Status == EFI_SUCCESS) {
      Model[Handle] = Structure;
    }
    EXPECT_EQ(PoolLeaks() - FreesRefused(), Pool) << Name << " left pool allocated";
    Step(Name, Status, Before);
    ReadEverything();
  }

  // What every SMBIOS producer does for the rest of the boot, through the
  // record found under the GUID; none of it may fail.
  void Produce() {
    EFI_SMBIOS_PROTOCOL *Record = Installed();
    unsigned Before = FailuresInjected();
    Bytes Chassis = MakeStructure(3, 0x0300, 22, {"Maker", "Chassis"});
    EFI_SMBIOS_HANDLE Handle = 0x0300;
    EXPECT_EQ(Record->Add(Record, nullptr, &Handle, (EFI_SMBIOS_TABLE_HEADER *)Chassis.data()),
              EFI_SUCCESS);
    Model[0x0300] = Chassis;
    Step("producer Add", EFI_SUCCESS, Before);
    ReadEverything();  // the index outgrows its block

    UINTN Number = 2;
    CHAR8 Renamed[] = "A longer chassis name";
    Before = FailuresInjected();
    EXPECT_EQ(Record->UpdateString(Record, &Handle, &Number, Renamed), EFI_SUCCESS);
    Model[0x0300] = MakeStructure(3, 0x0300, 22, {"Maker", Renamed});
    EXPECT_EQ(Record->Remove(Record, 4), EFI_SUCCESS);
    Model.erase(4);
    std::vector<UINT16> Walked;
    for (Handle = SMBIOS_HANDLE_PI_RESERVED;;) {
      EFI_SMBIOS_TABLE_HEADER *Found = nullptr;
      if (EFI_ERROR(Record->GetNext(Record, &Handle, nullptr, &Found, nullptr))) {
        break;
      }
      Walked.push_back(Found->Handle);
    }
    EXPECT_EQ(Walked, HandlesInListOrder());
    Step("producer UpdateString/Remove/GetNext", EFI_SUCCESS, Before);
    ReadEverything();
  }

  Hit RunWith(const Failures &Failing) {
    ResetCallLog();
    ResetFirmware();
    ResetSmbiosDxe(3, 3, Structures());
    InstallInterface(SmbiosServiceGuid, &SmbiosDxe().Protocol);
    Firmware().Failing = Failing;
    Result = {};
    Model.clear();
    for (const Bytes &Structure : Structures()) {
      Model[(UINT16)(Structure[2] | (Structure[3] << 8))] = Structure;
    }

    EFI_STATUS Status = SmbiosByHandleServiceEntry(nullptr, &Firmware().SystemTable);
    Step("entry", Status, 0);
    EXPECT_EQ(Firmware().Interfaces.size(), 1u);
    EXPECT_EQ(Status == EFI_SUCCESS, LongerRecordInstalled()) << StatusName(Status);
    if (EFI_ERROR(Status)) {
      // The failing call's own status, as the fake boot services give it.
      const std::map<std::string, EFI_STATUS> Refusals = {
          {"LocateHandle", EFI_NOT_FOUND},
          {"HandleProtocol", EFI_UNSUPPORTED},
          {"ReinstallProtocolInterface", EFI_ACCESS_DENIED}};
      auto Refusal = Refusals.find(FailedService());
      EXPECT_TRUE(Refusal != Refusals.end() && Refusal->second == Status) << FailedService();
      // The image unloads: nothing of it may stay registered or allocated.
      EXPECT_EQ(OpenEvents(), 0u);
      EXPECT_EQ(PoolLeaks(), 0u);
      Produce();
      return Result;
    }
    ReadEverything();
    Write("write of strings", MakeStructure(1, 1, 27, {"QEMU", "KP5VRA-TE", "pc-q35-7.2"}),
          EFI_OUT_OF_RESOURCES);
    Write("write of a whole structure",
          MakeStructure(2, 2, 16, {"Testbed Boards", "KP5VRA-TE", "1.0", "SERIAL"}),
          EFI_OUT_OF_RESOURCES);
    Produce();
    // The index's block stays with the resident image; nothing else may.
    EXPECT_LE(PoolLeaks() - FreesRefused(), 1u);
    // Both table groups registered, or neither unless CloseEvent refused.
    EXPECT_EQ(OpenEvents(), Injected("CreateEventEx") == 0 ? 2u : Injected("CloseEvent"));
    return Result;
  }

  Hit Result;
  Table Model;
};

TEST_F(ServiceFaultInjectionTest, EachBootServiceCallFailingLeavesTheTableAndTheRecordSound) {
  RunWith({});
  const std::map<std::string, unsigned> Clean = Firmware().Calls;
  // The entry's lookup, reinstall and two registrations; the index's block,
  // then its larger one (freeing the first); each write's copy, allocated
  // and freed.
  ASSERT_EQ(Clean, (std::map<std::string, unsigned>{{"LocateHandle", 1},
                                                    {"HandleProtocol", 1},
                                                    {"ReinstallProtocolInterface", 1},
                                                    {"CreateEventEx", 2},
                                                    {"AllocatePool", 4},
                                                    {"FreePool", 3}}));
  std::printf("clean run:");
  for (auto &Calls : Clean) {
    std::printf(" %s x%u", Calls.first.c_str(), Calls.second);
  }
  std::printf("\n%-31s %-37s %s\n", "call failed", "made by", "status returned");
  auto Row = [](const std::string &Call, const Hit &Hit) {
    std::printf("%-31s %-37s %s\n", Call.c_str(), Hit.Step.c_str(), StatusName(Hit.Status));
  };
  for (const char *Service : Services) {
    if (Clean.count(Service) == 0) {
      std::printf("%-31s %s\n", (std::string(Service) + " #1").c_str(), "not called");
    }
    for (unsigned Number = 1;; Number++) {
      SCOPED_TRACE(std::string(Service) + " #" + std::to_string(Number));
      Hit Hit = RunWith({{Service, {Number}}});
      if (Hit.Step.empty()) {
        break;  // no N-th call: the run was clean
      }
      Row(std::string(Service) + " #" + std::to_string(Number), Hit);
    }
  }
  // CloseEvent is called only when the second registration fails.
  SCOPED_TRACE("CreateEventEx #2 and CloseEvent #1");
  Hit Hit = RunWith({{"CreateEventEx", {2}}, {"CloseEvent", {1}}});
  ASSERT_EQ(Hit.Step, "entry");
  Row("CreateEventEx #2+CloseEvent #1", Hit);
}

}  // namespace

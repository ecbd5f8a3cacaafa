// Fuzz target: the trigger handler's walk over an arbitrary SMBIOS table.
// Input:
//   byte 0      0xFE: no trigger installed; 0xFD: no SMBIOS service; else both
//   bytes 1-2   the fallible call to fail (little-endian; 0 none), counted
//               over LocateProtocol, AllocatePool and the table service's
//               reads and writes
//   byte 3      N, then N bytes: the strap script, one value per port read
//   1 byte      the End-of-Table structure's handle, placed over any entry
//               there; none is placed when it is 0xFF and all input bytes sum
//               to 0 modulo 256, and the walk runs on to handle 65535 unless
//               an entry has type 127. Such a walk is slow; the sum keeps it
//               rare, since almost every mutation of one ends early again.
//   then entries until the input ends:
//     key step  1 byte added to the previous key; 0xFF: 2 bytes of absolute key
//     mode      bits 0-1: 0/3 held, 1 read fails, 2 read succeeds with null;
//               bit 2: header handle names another entry (bits 3-7 pick it),
//               else the header handle is the key
//     size      1 byte, then that many structure bytes (padded to a header)
// The service holds each structure as HeldStructure shapes it, never changes
// it and checks every write; the handler is then checked against a model.
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#include "driver/Driver.h"
#include "driver/TriggerProtocol.h"
#include "fuzz/RewriteModel.h"
#include "fuzz/WalkHardware.h"
#include "platform/Platform.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeBootServices.h"

namespace {

enum class ReadMode { Held, Fails, NullOnSuccess };

struct Entry {
  ReadMode Mode;
  std::unique_ptr<UINT8[]> Block;
  std::vector<UINT8> Original;
};

struct Probe {
  UINT16 Handle;
  const Entry *Found;     // null unless the read succeeded with a structure
  unsigned CallsCounted;  // fallible calls counted once this read was made
};

struct Write {
  UINT16 Handle;
  std::vector<UINT8> Bytes;
};

std::map<UINT16, Entry> Table;
std::vector<Probe> Probes;
std::vector<Write> Writes;
SMBIOS_TABLE_SERVICE Service;

EFI_STATUS EFIAPI Read(UINT16 Handle, UINT8 **Structure, UINT16 *Size) {
  bool Injected = ShouldFailNextCall();
  Probes.push_back({Handle, nullptr, FallibleCallCount()});
  fuzz::Require(Probes.size() <= 65536, "at most 65536 probes");
  auto Found = Table.find(Handle);
  if (Injected || Found == Table.end() || Found->second.Mode == ReadMode::Fails) {
    return EFI_NOT_FOUND;
  }
  if (Found->second.Mode == ReadMode::NullOnSuccess) {
    *Structure = nullptr;
    return EFI_SUCCESS;
  }
  Probes.back().Found = &Found->second;
  *Structure = Found->second.Block.get();
  *Size = (UINT16)Found->second.Original.size();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI WriteBack(UINT16 Handle, CONST UINT8 *Buffer, UINT16 Size) {
  bool Injected = ShouldFailNextCall();
  Writes.push_back({Handle, std::vector<UINT8>(Buffer, Buffer + Size)});
  fuzz::Require(Table.count(Handle) != 0, "every write goes to a handle the table has");
  return Injected ? EFI_DEVICE_ERROR : EFI_SUCCESS;
}

EFI_STATUS EFIAPI UnexpectedEntry() {
  fuzz::Require(false, "the driver uses only entries 12 and 14");
  return EFI_UNSUPPORTED;
}

// Reads the input as the header comment lays it out.
class Input {
 public:
  Input(const uint8_t *Data, size_t Size) : Data(Data), Size(Size) {}
  bool More() const { return At < Size; }
  UINT8 Byte() { return At < Size ? Data[At++] : 0; }
  UINT16 Word() {
    UINT16 Low = Byte();
    return (UINT16)(Low | (Byte() << 8));
  }
  std::vector<UINT8> Bytes(size_t Count) {
    size_t Taken = Count < Size - At ? Count : Size - At;
    std::vector<UINT8> Out(Data + At, Data + At + Taken);
    At += Taken;
    return Out;
  }

 private:
  const uint8_t *Data;
  size_t Size;
  size_t At = 0;
};

void Hold(Entry &Slot, ReadMode Mode, const std::vector<UINT8> &Bytes) {
  Slot.Mode = Mode;
  Slot.Original = fuzz::HeldStructure(Bytes.data(), Bytes.size());
  Slot.Block.reset(new UINT8[Slot.Original.size()]);
  std::memcpy(Slot.Block.get(), Slot.Original.data(), Slot.Original.size());
}

void BuildTable(Input &In) {
  std::vector<UINT16> Keys;
  UINT16 Key = 0;
  bool First = true;
  while (In.More()) {
    UINT8 Step = In.Byte();
    Key = Step == 0xFF ? In.Word() : (UINT16)((First ? 0 : Key) + Step);
    First = false;
    UINT8 Mode = In.Byte();
    std::vector<UINT8> Bytes = In.Bytes(In.Byte());
    if (Bytes.size() < 4) {
      Bytes.resize(4, 0);
    }
    UINT16 HeaderHandle = Key;
    if ((Mode & 4) != 0 && !Keys.empty()) {
      HeaderHandle = Keys[(Mode >> 3) % Keys.size()];
    }
    Bytes[2] = (UINT8)HeaderHandle;
    Bytes[3] = (UINT8)(HeaderHandle >> 8);
    Hold(Table[Key],
         (Mode & 3) == 1   ? ReadMode::Fails
         : (Mode & 3) == 2 ? ReadMode::NullOnSuccess
                           : ReadMode::Held,
         Bytes);
    Keys.push_back(Key);
  }
}

// An End-of-Table structure at a handle the input picks, so most walks end early.
void PlaceEndOfTable(UINT8 Handle, bool Omitted) {
  if (!(Handle == 0xFF && Omitted)) {
    Hold(Table[Handle], ReadMode::Held, {127, 4, Handle, 0, 0, 0});
  }
}

void CheckWriteBack(const std::vector<fuzz::PortAccess> &Log) {
  const fuzz::PortAccess Expected[5] = {{true, false, WRITE_BACK_REGISTER_A, fuzz::RegisterAValue},
                                        {true, false, WRITE_BACK_REGISTER_B, fuzz::RegisterBValue},
                                        {true, true, WRITE_BACK_REGISTER_A, fuzz::RegisterAValue},
                                        {true, true, WRITE_BACK_REGISTER_B, fuzz::RegisterBValue},
                                        {true, true, WRITE_BACK_REGISTER_A, fuzz::RegisterAValue}};
  fuzz::Require(Log.size() >= 5, "the register write-back comes first");
  for (unsigned Index = 0; Index < 5; Index++) {
    fuzz::Require(Log[Index].Mmio == Expected[Index].Mmio &&
                      Log[Index].Write == Expected[Index].Write &&
                      Log[Index].Address == Expected[Index].Address &&
                      Log[Index].Value == Expected[Index].Value,
                  "the register write-back is five byte accesses in order");
  }
}

// Replays the probes through the model: which writes the walk must make.
std::vector<Write> ExpectedWrites(unsigned FailingCall) {
  const std::vector<UINT8> &Codes = fuzz::StrapCodes();
  std::vector<Write> Expected;
  for (size_t Index = 0; Index < Probes.size(); Index++) {
    const Probe &Seen = Probes[Index];
    UINT8 Code = Codes[Index];
    if (Seen.Found == nullptr) {
      continue;
    }
    const std::vector<UINT8> &Bytes = Seen.Found->Original;
    if (Bytes[0] != 1 && Bytes[0] != 2) {
      continue;
    }
    fuzz::RewriteFaults Faults;
    Faults.CopyAllocationFails = FailingCall == Seen.CallsCounted + 1;
    Faults.NameAllocationFails = FailingCall == Seen.CallsCounted + 2;
    fuzz::ExpectedRewrite Rewrite = fuzz::ModelRewrite(Bytes.data(), Bytes.size(), Code, Faults);
    if (Rewrite.Writes) {
      Expected.push_back({(UINT16)(Bytes[2] | (Bytes[3] << 8)), Rewrite.Bytes});
    }
  }
  return Expected;
}

void CheckWalk(unsigned FailingCall) {
  // The walk ends at the first End-of-Table structure read, else after 65535.
  size_t EndOfTable = Probes.size();
  for (size_t Index = 0; Index < Probes.size(); Index++) {
    fuzz::Require(Probes[Index].Handle == Index, "handles probed upward from 0, once each");
    if (Probes[Index].Found != nullptr && Probes[Index].Found->Original[0] == 127) {
      EndOfTable = Index;
      break;
    }
  }
  fuzz::Require(
      EndOfTable == Probes.size() - 1 || (EndOfTable == Probes.size() && Probes.size() == 65536),
      "the walk stops at End-of-Table or after handle 65535");
  fuzz::Require(fuzz::StrapReadsInOrder(), "four strap reads per probe, in the table's port order");
  fuzz::Require(fuzz::AccessCount() == 5 + 4 * Probes.size(),
                "the straps are sampled once with every probe");
  std::vector<Write> Expected = ExpectedWrites(FailingCall);
  fuzz::Require(Writes.size() == Expected.size(), "every sound type 1 and 2 structure is written");
  for (size_t Index = 0; Index < Writes.size(); Index++) {
    fuzz::Require(Writes[Index].Handle == Expected[Index].Handle,
                  "written under its header handle");
    fuzz::Require(Writes[Index].Bytes.size() <= fuzz::WorkingCopyBytes, "at most 406 bytes");
    fuzz::Require(Writes[Index].Bytes == Expected[Index].Bytes,
                  "well formed, with the probe's board name as string 2");
  }
}

void Reset() {
  Table.clear();
  Probes.clear();
  Probes.reserve(65536);
  Writes.clear();
  ResetCallLog();
  ResetFirmware();
  fuzz::ResetWalkHardware();
  for (VOID *&Slot : Service.Entry0To11) {
    Slot = reinterpret_cast<VOID *>(&UnexpectedEntry);
  }
  Service.Entry13 = reinterpret_cast<VOID *>(&UnexpectedEntry);
  Service.ReadStructureByHandle = Read;
  Service.WriteStructureByHandle = WriteBack;
  ServiceContext = {};
  InitServiceContext(reinterpret_cast<EFI_HANDLE>(0x1000), &Firmware().SystemTable);
}

int TriggerInterface;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Reset();
  Input In(Data, Size);
  UINT8 Setup = In.Byte();
  bool TriggerPresent = Setup != 0xFE;
  bool ServicePresent = Setup != 0xFD;
  unsigned FailingCall = In.Word();
  fuzz::SetStrapScript(In.Bytes(In.Byte()));
  UINT8 EndOfTable = In.Byte();
  BuildTable(In);
  UINT8 Sum = 0;
  for (size_t Index = 0; Index < Size; Index++) {
    Sum = (UINT8)(Sum + Data[Index]);
  }
  PlaceEndOfTable(EndOfTable, Sum == 0);
  if (TriggerPresent) {
    Firmware().Interfaces.push_back({TriggerProtocolGuid, &TriggerInterface});
  }
  if (ServicePresent) {
    Firmware().Interfaces.push_back({SmbiosServiceGuid, &Service});
  }
  FailFallibleCall(FailingCall);
  Firmware().Events.emplace_back(
      new FakeEvent{EVT_NOTIFY_SIGNAL, TPL_NOTIFY, OnTriggerInstalled, nullptr, false, 0});
  FakeEvent *Event = Firmware().Events.back().get();

  OnTriggerInstalled(Event, nullptr);  // returning at all is the first invariant

  CheckWriteBack(fuzz::FirstAccesses());
  bool TriggerFound = TriggerPresent && FailingCall != 1;
  bool ServiceFound = TriggerFound && ServicePresent && FailingCall != 2;
  fuzz::Require(Event->Closed == TriggerFound, "the event is closed once the trigger is found");
  if (ServiceFound) {
    CheckWalk(FailingCall);
  } else {
    fuzz::Require(Probes.empty() && fuzz::AccessCount() == 5,
                  "without trigger or service nothing is read");
  }
  fuzz::Require(PoolLeaks() == 0, "every pool allocation is freed");
  for (const auto &Held : Table) {
    fuzz::Require(std::memcmp(Held.second.Block.get(), Held.second.Original.data(),
                              Held.second.Original.size()) == 0,
                  "no structure the service holds is written to");
  }
  // Free this run's table and fakes now: a run that ends with more allocations
  // than frees makes libFuzzer rerun it under a full leak scan.
  Reset();
  return 0;
}

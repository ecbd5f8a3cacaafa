// Fuzz target: the by-handle service on top of EDK II's own SmbiosDxe,
// compiled for the host from the fetched edk2 source (HostSmbiosDxe.h).
// The input is a sequence of operations; after each, what the service hands
// out is checked against what SmbiosDxe holds, walked with its own GetNext.
//
// Input:
//   byte 0    bits 0-2: the SMBIOS version and entry points SmbiosDxe builds
//             (Versions below); bit 3: the service starts before the first
//             operation, else at operation 7 or the first by-handle one
//   then operations until the input ends, each an opcode byte:
//     bits 0-2  0 Add, 1 Remove, 2 UpdateString, 3 by-handle read,
//               4 by-handle write of the held structure with strings changed,
//               5 by-handle write of any bytes, 6 fail an allocation,
//               7 start the service; once started, walk the reinstalled
//               record's GetNext and call its entries it does not offer
//     bit 3     Add, Remove, UpdateString: through SmbiosDxe's original record
//               (a producer that located it before the service started) rather
//               than the reinstalled one
//     bits 4-5  0 at TPL_APPLICATION, 1 TPL_CALLBACK, 2-3 TPL_NOTIFY; the
//               checks also run before the TPL drops back
//     bits 6-7  operation 0: which of four producer handles adds; operation 5:
//               0 the bytes as given, with the header's handle set to the one
//               addressed; 1 as given; 2-3 the held structure with one byte
//               changed
//   followed by the operation's own bytes: for Add a handle byte (0xFF
//   SMBIOS_HANDLE_PI_RESERVED, 0xFE two bytes follow, else the byte itself)
//   and a structure (Structure below); for the others a handle pick
//   (HandlePick below), then a string number and string, string edits, a
//   size and bytes, or an offset and byte. A short input reads as zeros.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/service/HostSmbiosDxe.h"
#include "modules/SmbiosByHandleService/PiSmbios.h"
#include "platform/SmbiosTableService.h"

extern "C" EFI_STATUS EFIAPI SmbiosByHandleServiceEntry(IN EFI_HANDLE ImageHandle,
                                                        IN EFI_SYSTEM_TABLE *SystemTable);

namespace {

// SERVICE_FUZZ_TRACE=1 prints each operation, for reading a finding.
bool Tracing() {
  static const bool On = std::getenv("SERVICE_FUZZ_TRACE") != nullptr;
  return On;
}

void Trace(const char *What, UINT16 Handle, EFI_STATUS Status, const std::vector<UINT8> *Bytes) {
  if (!Tracing()) {
    return;
  }
  std::fprintf(stderr, "%-13s handle 0x%04X status 0x%llX", What, Handle,
               (unsigned long long)Status);
  for (size_t Index = 0; Bytes != nullptr && Index < Bytes->size(); Index++) {
    std::fprintf(stderr, " %02X", (*Bytes)[Index]);
  }
  std::fprintf(stderr, "\n");
}

void Require(bool Condition, const char *What) {
  if (!Condition) {
    std::fprintf(stderr, "invariant broken: %s\n", What);
    std::abort();
  }
}

struct Version {
  UINT16 Pcd;
  UINT32 EntryPoints;
};
const Version Versions[8] = {{0x0300, 3}, {0x0300, 2}, {0x0300, 1}, {0x0208, 3},
                             {0x0206, 3}, {0x0200, 3}, {0x0303, 3}, {0x0207, 3}};

class Input {
 public:
  Input(const uint8_t *Data, size_t Size) : Data(Data), Size(Size) {}
  bool Done() const { return At >= Size; }
  UINT8 Byte() { return At < Size ? Data[At++] : 0; }
  UINT16 Word() { return (UINT16)(Byte() | (Byte() << 8)); }

 private:
  const uint8_t *Data;
  size_t Size;
  size_t At = 0;
};

struct Held {
  UINT16 Handle;
  std::vector<UINT8> Bytes;
  EFI_HANDLE Producer;
  const UINT8 *Where;
};

// The structure's size as SmbiosDxe publishes it: through the first zero pair
// at or after its formatted area, within the record SmbiosDxe holds.
size_t Measure(const UINT8 *Structure, size_t RecordLimit) {
  for (size_t At = Structure[1]; At + 1 < RecordLimit; At++) {
    if (Structure[At] == 0 && Structure[At + 1] == 0) {
      return At + 2;
    }
  }
  Require(false, "SmbiosDxe holds a structure without a closing zero pair");
  return 0;
}

// SmbiosDxe's GetNext starts from the head of its list on every call, so a
// walk costs a pass per structure: a change is walked once, when next needed.
std::vector<Held> Snapshot() {
  std::vector<HOST_SMBIOS_ENTRY> Entries(256);
  size_t Count = HostWalkSmbiosDxe(Entries.data(), Entries.size());
  if (Count > Entries.size()) {
    Entries.resize(Count);
    HostWalkSmbiosDxe(Entries.data(), Entries.size());
  }
  Entries.resize(Count);
  std::vector<Held> Table;
  for (const HOST_SMBIOS_ENTRY &Entry : Entries) {
    size_t Size = Measure(Entry.Structure, Entry.Size);
    Table.push_back({(UINT16)(Entry.Structure[2] | (Entry.Structure[3] << 8)),
                     std::vector<UINT8>(Entry.Structure, Entry.Structure + Size),
                     (EFI_HANDLE)Entry.Producer, Entry.Structure});
  }
  return Table;
}

const Held *Find(const std::vector<Held> &Table, UINT16 Handle) {
  for (const Held &Entry : Table) {
    if (Entry.Handle == Handle) {
      return &Entry;
    }
  }
  return nullptr;
}

size_t PositionOf(const std::vector<Held> &Table, UINT16 Handle) {
  for (size_t Index = 0; Index < Table.size(); Index++) {
    if (Table[Index].Handle == Handle) {
      return Index;
    }
  }
  return Table.size();
}

// Strings of a whole structure: the zeros between its formatted area and its
// closing pair, none when the pair follows the formatted area at once.
size_t StringCount(const std::vector<UINT8> &Bytes) {
  size_t Length = Bytes[1];
  if (Bytes[Length] == 0) {
    return 0;
  }
  size_t Count = 0;
  for (size_t At = Length; At + 1 < Bytes.size(); At++) {
    Count += Bytes[At] == 0 ? 1 : 0;
  }
  return Count;
}

bool OnlyStringsDiffer(const std::vector<UINT8> &Old, const std::vector<UINT8> &New) {
  return Old[1] == New[1] && std::memcmp(Old.data(), New.data(), Old[1]) == 0 &&
         StringCount(Old) == StringCount(New);
}

struct Run {
  EFI_SMBIOS_PROTOCOL *Original = nullptr;
  SMBIOS_TABLE_SERVICE *Service = nullptr;  // null until the service started
  bool EndOfTableSeen = false;              // a read has presented End-of-Table
  std::vector<Held> Table;                  // SmbiosDxe's structures as last walked
  bool Stale = true;                        // changed since
};

Run State;

const std::vector<Held> &Current() {
  if (State.Stale) {
    State.Table = Snapshot();
    State.Stale = false;
  }
  return State.Table;
}

EFI_SMBIOS_PROTOCOL *Record(bool Original) {
  return Original ? State.Original : (EFI_SMBIOS_PROTOCOL *)State.Service;
}

// The End-of-Table structure the service presents, as SmbiosDxe ends its
// published table.
void CheckEndOfTableRead(UINT16 Handle, EFI_STATUS Status, const UINT8 *Bytes, UINT16 Size) {
  if (Status == EFI_NOT_FOUND && Handle != HostEndOfTableHandle()) {
    return;  // the common case, settled without walking the published table
  }
  UINT16 Published = 0;
  bool Valid = HostPublishedEndOfTable(&Published) && Published == Handle;
  if (Status == EFI_SUCCESS) {
    Require(Published == Handle || HostEndOfTableHandle() == Handle,
            "End-of-Table presented under another handle");
    const UINT8 Expected[6] = {SMBIOS_TYPE_END_OF_TABLE, 4, (UINT8)Handle,
                               (UINT8)(Handle >> 8),     0, 0};
    Require(Size == 6 && std::memcmp(Bytes, Expected, 6) == 0, "End-of-Table presented wrong");
    State.EndOfTableSeen = true;
    return;
  }
  Require(Status == EFI_NOT_FOUND, "a read of an unknown handle did not say EFI_NOT_FOUND");
  Require(!Valid && !(State.EndOfTableSeen && Handle == HostEndOfTableHandle()),
          "End-of-Table not presented though the table is published");
}

// Every handle SmbiosDxe holds reads back as exactly its structure, where it
// is held; the End-of-Table handle and a few others are probed as unknown.
void CheckReads(const std::vector<Held> &Table, UINT16 Extra) {
  for (const Held &Entry : Table) {
    UINT8 *Bytes = nullptr;
    UINT16 Size = 0;
    EFI_STATUS Status = State.Service->ReadStructureByHandle(Entry.Handle, &Bytes, &Size);
    if (Entry.Bytes.size() > 0xFFFF) {
      Require(Status == EFI_BAD_BUFFER_SIZE, "a structure over 64 KiB read");
      continue;
    }
    Require(Status == EFI_SUCCESS, "a held structure not read");
    Require(Bytes == Entry.Where, "a read points elsewhere than SmbiosDxe's structure");
    Require(Size == Entry.Bytes.size(), "a read gives the wrong size");
  }
  const UINT16 Unknown[4] = {HostEndOfTableHandle(), 0xFFFF, 0xFFFE, Extra};
  for (UINT16 Handle : Unknown) {
    if (Find(Table, Handle) == nullptr) {
      UINT8 *Bytes = nullptr;
      UINT16 Size = 0;
      EFI_STATUS Status = State.Service->ReadStructureByHandle(Handle, &Bytes, &Size);
      CheckEndOfTableRead(Handle, Status, Bytes, Size);
    }
  }
  Require(HostInstalledInterface(&SmbiosServiceGuid) == State.Service,
          "the service's record was replaced");
}

// After a change, at the TPL it was made at: walks SmbiosDxe again and, at a
// raised TPL, checks the reads before the TPL drops and queued notifications
// run (Operate checks them again after).
void Changed(EFI_TPL Tpl, UINT16 Extra) {
  State.Stale = true;
  if (Tpl != TPL_APPLICATION && State.Service != nullptr) {
    CheckReads(Current(), Extra);
  }
}

// A handle: an index into SmbiosDxe's list below 0xF0, else End-of-Table's
// (0xFD), the reserved 0xFFFE (0xFC), a value given in two bytes (0xFE) or a
// value past the largest one held (0xFF).
UINT16 HandlePick(Input &In) {
  UINT8 Pick = In.Byte();
  const std::vector<Held> &Table = Current();
  if (Pick < 0xF0 && !Table.empty()) {
    return Table[Pick % Table.size()].Handle;
  }
  UINT16 Largest = 0;
  for (const Held &Entry : Table) {
    Largest = Entry.Handle > Largest ? Entry.Handle : Largest;
  }
  switch (Pick) {
    case 0xFC: return SMBIOS_HANDLE_PI_RESERVED;
    case 0xFD: return HostEndOfTableHandle();
    case 0xFE: return In.Word();
    default: return (UINT16)(Largest + 1);
  }
}

// A string of the input: a length byte, then that many bytes (zeros in it
// end it early, as a producer's C string would).
std::vector<CHAR8> String(Input &In) {
  UINT8 Length = In.Byte();
  std::vector<CHAR8> Text;
  for (UINT8 Index = 0; Index < Length; Index++) {
    Text.push_back((CHAR8)In.Byte());
  }
  // 0xFF repeats the last byte to a string longer than SMBIOS 2.x allows.
  if (Length == 0xFF) {
    Text.resize(300, Text.back() == 0 ? 'x' : Text.back());
  }
  Text.push_back(0);
  return Text;
}

// A producer's structure: type, Length, the formatted area's bytes after the
// header, a string count and the strings. Always closed by a zero pair, as
// the SMBIOS protocol requires of its caller; but empty strings, strings
// that end the set early and strings too long for the version pass through.
// Length stays at least 4: SmbiosDxe's Add writes the handle into bytes 2-3
// of its copy even when it measured the structure shorter (Length 0 with a
// zero type byte gives a 2-byte copy), a heap overrun in EDK II itself.
// No producer adds End-of-Table (type 127 becomes 126): SmbiosDxe appends its
// own, and the service takes End-of-Table's handle once, from the first one
// the published table holds; a producer's would end every reader's walk
// early and, removed again, leave the service presenting End-of-Table under
// its handle.
std::vector<UINT8> Structure(Input &In, UINT16 Handle) {
  UINT8 Type = In.Byte();
  Type = Type == SMBIOS_TYPE_END_OF_TABLE ? 126 : Type;
  UINT8 Length = In.Byte();
  Length = Length < 4 ? 4 : Length;
  std::vector<UINT8> Bytes = {Type, Length, (UINT8)Handle, (UINT8)(Handle >> 8)};
  while (Bytes.size() < Length) {
    Bytes.push_back(In.Byte());
  }
  UINT8 Strings = In.Byte() % 16;
  for (UINT8 Index = 0; Index < Strings; Index++) {
    std::vector<CHAR8> Text = String(In);
    Bytes.insert(Bytes.end(), Text.begin(), Text.end());
  }
  Bytes.push_back(0);
  if (Strings == 0) {
    Bytes.push_back(0);
  }
  return Bytes;
}

void StartService() {
  if (State.Service != nullptr) {
    return;
  }
  size_t EventsBefore = HostEventsOpen();
  EFI_STATUS Status =
      SmbiosByHandleServiceEntry((EFI_HANDLE)0x5E5, (EFI_SYSTEM_TABLE *)HostSystemTable());
  Require(Status == EFI_SUCCESS, "the service's entry point failed");
  size_t Registered = HostEventsOpen() - EventsBefore;
  Require(Registered == 0 || Registered == 2, "one table group registered without the other");
  State.Service = (SMBIOS_TABLE_SERVICE *)HostInstalledInterface(&SmbiosServiceGuid);
  Require(State.Service != nullptr && (void *)State.Service != (void *)State.Original,
          "the service's record is not installed");
}

// The reinstalled record's GetNext yields SmbiosDxe's walk, structure for
// structure; every entry it does not offer answers EFI_UNSUPPORTED.
void CheckForwardedWalk() {
  EFI_SMBIOS_PROTOCOL *Ours = (EFI_SMBIOS_PROTOCOL *)State.Service;
  const std::vector<Held> &Table = Current();
  EFI_SMBIOS_HANDLE Handle = SMBIOS_HANDLE_PI_RESERVED;
  for (const Held &Entry : Table) {
    EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
    EFI_HANDLE Producer = nullptr;
    Require(Ours->GetNext(Ours, &Handle, nullptr, &Record, &Producer) == EFI_SUCCESS &&
                (const UINT8 *)Record == Entry.Where && Producer == Entry.Producer,
            "the reinstalled GetNext walks otherwise");
  }
  EFI_SMBIOS_TABLE_HEADER *Record = nullptr;
  Require(Ours->GetNext(Ours, &Handle, nullptr, &Record, nullptr) == EFI_NOT_FOUND,
          "the reinstalled GetNext goes past the end");
  typedef EFI_STATUS(EFIAPI * ENTRY)();
  for (UINTN Slot : {5, 6, 7, 8, 9, 10, 11}) {
    Require(((ENTRY)State.Service->Entry0To11[Slot])() == EFI_UNSUPPORTED,
            "a vendor entry answers");
  }
  Require(((ENTRY)State.Service->Entry13)() == EFI_UNSUPPORTED, "entry 13 answers");
}

EFI_TPL TplOf(UINT8 Opcode) {
  switch ((Opcode >> 4) & 3) {
    case 0: return TPL_APPLICATION;
    case 1: return TPL_CALLBACK;
    default: return TPL_NOTIFY;
  }
}

// FailedAllocations: how many allocations were made to fail during the write.
void CheckWrite(const std::vector<Held> &Before, UINT16 Handle, const std::vector<UINT8> &New,
                EFI_STATUS Status, unsigned FailedAllocations) {
  const std::vector<Held> &After = Current();
  const Held *Old = Find(Before, Handle);
  if (Old == nullptr || Handle == HostEndOfTableHandle()) {
    Require(EFI_ERROR(Status), "a write to a handle SmbiosDxe does not hold succeeded");
  }
  bool Moved = false;
  bool Lost = false;
  if (!EFI_ERROR(Status)) {
    const Held *Now = Find(After, Handle);
    if (Now != nullptr) {
      Trace("  held after", Handle, Status, &Now->Bytes);
    }
    Require(Now != nullptr && Now->Bytes == New, "a write did not leave exactly its bytes");
    Require(Now->Producer == Old->Producer, "a write changed the producer");
    // What readers of the published table get, the 3.0 one first as the
    // service prefers it: SmbiosDxe rebuilds the whole table for a change,
    // unless the allocation for it failed (it then publishes nothing).
    if (FailedAllocations == 0 && New != Old->Bytes) {
      const UINT8 *Bytes = nullptr;
      size_t Size = 0;
      Require(HostPublishedStructure(1, Handle, &Bytes, &Size) ||
                  HostPublishedStructure(0, Handle, &Bytes, &Size),
              "a written structure is not published");
      Require(Size == New.size() && std::memcmp(Bytes, New.data(), Size) == 0,
              "the published table holds other bytes than written");
    }
    if (OnlyStringsDiffer(Old->Bytes, New)) {
      Require(PositionOf(After, Handle) == PositionOf(Before, Handle),
              "a write of strings only moved the structure");
    } else {
      Moved = PositionOf(Before, Handle) + 1 != Before.size();
    }
  } else {
    const Held *Now = Find(After, Handle);
    if (Old != nullptr && Now == nullptr) {
      // Removed, the new structure refused, then the put-back's allocation
      // failed too: nothing can put it back then.
      Require(FailedAllocations >= 1, "a refused write lost the structure");
      Lost = true;
    } else if (Old != nullptr) {
      Require(Now->Bytes == Old->Bytes && Now->Producer == Old->Producer,
              "a refused write changed the structure");
      // Put back whole (by Remove and Add) it moves to the end.
      Moved = PositionOf(After, Handle) != PositionOf(Before, Handle);
    }
  }
  // Every other structure is as it was, in the same order; the one written
  // is either in place or now last.
  Require(After.size() + (Lost ? 1 : 0) == Before.size(),
          "a write changed the number of structures");
  size_t Next = 0;
  for (const Held &Entry : Before) {
    if ((Moved || Lost) && Entry.Handle == Handle) {
      continue;
    }
    if (Entry.Handle != Handle) {
      Require(After[Next].Bytes == Entry.Bytes && After[Next].Producer == Entry.Producer,
              "a write changed another structure");
    }
    Require(After[Next].Handle == Entry.Handle, "a write reordered the table");
    Next++;
  }
  if (Moved) {
    Require(After.back().Handle == Handle, "a moved structure is not last");
  }
}

void Write(Input &In, UINT8 Opcode, bool StringsOnly) {
  UINT16 Handle = HandlePick(In);
  std::vector<Held> Before = Current();
  const Held *Old = Find(Before, Handle);
  std::vector<UINT8> New;
  if (StringsOnly || (Opcode >> 6) >= 2) {
    if (Old == nullptr) {
      return;
    }
    New = Old->Bytes;
  }
  if (StringsOnly) {
    // Replaces string N (1-based) of the held structure, any length.
    UINT8 Edits = In.Byte() % 4 + 1;
    for (UINT8 Edit = 0; Edit < Edits; Edit++) {
      size_t Strings = StringCount(New);
      if (Strings == 0) {
        break;
      }
      size_t Number = In.Byte() % Strings + 1;
      std::vector<CHAR8> Text = String(In);
      size_t At = New[1];
      for (size_t Skipped = 1; Skipped < Number; Skipped++) {
        At += std::strlen((const char *)&New[At]) + 1;
      }
      size_t OldLength = std::strlen((const char *)&New[At]);
      New.erase(New.begin() + At, New.begin() + At + OldLength);
      New.insert(New.begin() + At, Text.begin(), Text.end() - 1);
    }
  } else if ((Opcode >> 6) >= 2) {
    UINT8 Offset = In.Byte();
    New[Offset % New.size()] = In.Byte();
  } else {
    UINT16 Size = In.Word() % 1024;
    for (UINT16 Index = 0; Index < Size; Index++) {
      New.push_back(In.Byte());
    }
    if ((Opcode >> 6) == 0 && Size >= 4) {
      New[2] = (UINT8)Handle;
      New[3] = (UINT8)(Handle >> 8);
    }
  }
  // Exactly the bytes written, in a block of their own: ASan stops any read
  // beyond the size given.
  UINT8 *Buffer = (UINT8 *)std::malloc(New.empty() ? 1 : New.size());
  if (!New.empty()) {
    std::memcpy(Buffer, New.data(), New.size());
  }
  EFI_TPL Old_ = HostRaiseTplTo(TplOf(Opcode));
  unsigned FailedBefore = HostAllocationsFailed();
  EFI_STATUS Status = State.Service->WriteStructureByHandle(Handle, Buffer, (UINT16)New.size());
  Require(New.empty() || std::memcmp(Buffer, New.data(), New.size()) == 0,
          "a write changed the caller's buffer");
  std::free(Buffer);
  Trace(StringsOnly ? "write strings" : "write bytes", Handle, Status, &New);
  if (Old != nullptr) {
    Trace("  held before", Handle, 0, &Old->Bytes);
  }
  Changed(TplOf(Opcode), Handle);
  CheckWrite(Before, Handle, New, Status, HostAllocationsFailed() - FailedBefore);
  HostRestoreTplTo(Old_);
}

void Operate(Input &In) {
  UINT8 Opcode = In.Byte();
  UINT8 Operation = Opcode & 7;
  bool Original = (Opcode & 8) != 0;
  EFI_TPL Tpl = TplOf(Opcode);
  // The index learns of a change made through the original record from the
  // table's event groups, which are delivered only below TPL_NOTIFY: such a
  // producer is modelled at TPL_CALLBACK at most (as the service documents).
  if (Original && Tpl == TPL_NOTIFY) {
    Tpl = TPL_CALLBACK;
  }
  // SmbiosDxe's Add, UpdateString and Remove return EFI_SUCCESS when the
  // pages (or configuration table) to publish the changed table cannot be
  // had, and then neither publish it nor signal the table's event groups: a
  // fault in SmbiosDxe. The service confirms each structure its index finds,
  // but a structure a producer added so through the original record stays
  // unknown to it, so the publishing allocations are not failed under such
  // a change.
  HostPublishingMayFail(!(Original && Operation <= 2));
  if ((Operation >= 3 && Operation <= 5) || (!Original && Operation <= 2)) {
    StartService();
  }
  UINT16 Extra = 0xFFFF;
  switch (Operation) {
    case 0: {  // Add
      UINT8 Pick = In.Byte();
      UINT16 Handle = Pick == 0xFF ? SMBIOS_HANDLE_PI_RESERVED : Pick == 0xFE ? In.Word() : Pick;
      std::vector<UINT8> Bytes = Structure(In, Handle);
      EFI_HANDLE Producer = (EFI_HANDLE)(UINTN)(0x3000 + (Opcode >> 6));
      EFI_TPL Old = HostRaiseTplTo(Tpl);
      EFI_SMBIOS_PROTOCOL *Smbios = Record(Original);
      EFI_STATUS Status =
          Smbios->Add(Smbios, Producer, &Handle, (EFI_SMBIOS_TABLE_HEADER *)Bytes.data());
      Trace(Original ? "add (orig)" : "add", Handle, Status, &Bytes);
      Extra = EFI_ERROR(Status) ? Extra : Handle;
      Changed(Tpl, Extra);
      HostRestoreTplTo(Old);
      break;
    }
    case 1: {  // Remove
      UINT16 Handle = HandlePick(In);
      EFI_TPL Old = HostRaiseTplTo(Tpl);
      EFI_SMBIOS_PROTOCOL *Smbios = Record(Original);
      Trace(Original ? "remove (orig)" : "remove", Handle, Smbios->Remove(Smbios, Handle), nullptr);
      Extra = Handle;
      Changed(Tpl, Extra);
      HostRestoreTplTo(Old);
      break;
    }
    case 2: {  // UpdateString
      UINT16 Handle = HandlePick(In);
      UINTN Number = In.Byte() % 8;
      std::vector<CHAR8> Text = String(In);
      // No producer empties a string: SmbiosDxe takes an empty string, and
      // when it empties a structure's only string it keeps counting that
      // string; a later UpdateString of it then builds a copy without its
      // closing zero pair, which SmbiosDxe itself reads past (a heap overrun
      // in EDK II).
      if (Text[0] == 0) {
        Text.insert(Text.begin(), 'x');
      }
      // Nor, before SMBIOS 2.7, sets one of exactly 64 characters: SmbiosDxe
      // takes it but publishes the structure cut short there, its table
      // length then short too (the by-handle write refuses such strings).
      const EFI_SMBIOS_PROTOCOL *Dxe = State.Original;
      if ((Dxe->MajorVersion < 2 || (Dxe->MajorVersion == 2 && Dxe->MinorVersion < 7)) &&
          std::strlen(Text.data()) == 64) {
        Text[63] = 0;
      }
      EFI_TPL Old = HostRaiseTplTo(Tpl);
      EFI_SMBIOS_PROTOCOL *Smbios = Record(Original);
      EFI_STATUS Status = Smbios->UpdateString(Smbios, &Handle, &Number, Text.data());
      std::vector<UINT8> Shown(Text.begin(), Text.end());
      Trace(Original ? "string (orig)" : "string", Handle, Status, &Shown);
      Changed(Tpl, Extra);
      HostRestoreTplTo(Old);
      break;
    }
    case 3: {  // by-handle read
      UINT16 Handle = HandlePick(In);
      const std::vector<Held> &Before = Current();
      EFI_TPL Old = HostRaiseTplTo(Tpl);
      UINT8 *Bytes = nullptr;
      UINT16 Size = 0;
      EFI_STATUS Status = State.Service->ReadStructureByHandle(Handle, &Bytes, &Size);
      Trace("read", Handle, Status, nullptr);
      const Held *Entry = Find(Before, Handle);
      if (Entry != nullptr) {
        Require(Status == EFI_SUCCESS && Bytes == Entry->Where && Size == Entry->Bytes.size(),
                "a read did not give SmbiosDxe's structure");
      } else {
        CheckEndOfTableRead(Handle, Status, Bytes, Size);
      }
      for (const Held &Kept : Before) {
        Require(std::memcmp(Kept.Where, Kept.Bytes.data(), Kept.Bytes.size()) == 0,
                "a read changed a structure");
      }
      HostRestoreTplTo(Old);
      Extra = Handle;
      break;
    }
    case 4:
    case 5: Write(In, Opcode, Operation == 4); break;
    case 6: {
      unsigned After = In.Byte() + 1u;
      Trace("fail alloc", (UINT16)After, 0, nullptr);
      HostFailAllocation(After);
      break;
    }
    default:
      if (State.Service == nullptr) {
        StartService();
      } else {
        CheckForwardedWalk();
      }
      break;
  }
  HostPublishingMayFail(1);
  if (State.Service != nullptr) {
    CheckReads(Current(), Extra);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  Input In(Data, Size);
  UINT8 Configuration = In.Byte();
  const Version &Chosen = Versions[Configuration & 7];
  HostResetDxeCore();
  State = Run();
  Require(HostStartSmbiosDxe(Chosen.Pcd, Chosen.EntryPoints) == EFI_SUCCESS,
          "SmbiosDxe did not start");
  State.Original = (EFI_SMBIOS_PROTOCOL *)HostSmbiosDxeRecord();
  if (Configuration & 8) {
    StartService();
  }
  while (!In.Done()) {
    Operate(In);
  }
  // Everything back, so that libFuzzer sees no run keep memory.
  State = Run();
  HostResetDxeCore();
  return 0;
}

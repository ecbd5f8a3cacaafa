#include "tests/fakes/FakeSmbiosDxe.h"

#include <algorithm>
#include <cstring>

#include "tests/fakes/FakeBootServices.h"
#include "tests/fakes/FakeSmbiosService.h"

static FakeSmbiosDxe Instance;

FakeSmbiosDxe &SmbiosDxe() { return Instance; }

static UINT16 HandleOf(const std::vector<UINT8> &Bytes) {
  return (UINT16)(Bytes[2] | (Bytes[3] << 8));
}

static size_t Find(UINT16 Handle) {
  for (size_t Index = 0; Index < Instance.Entries.size(); Index++) {
    if (HandleOf(Instance.Entries[Index].Bytes) == Handle) {
      return Index;
    }
  }
  return Instance.Entries.size();
}

// Before 2.7 a string holds at most 64 characters.
static bool ShortStringsOnly() {
  return Instance.Protocol.MajorVersion < 2 ||
         (Instance.Protocol.MajorVersion == 2 && Instance.Protocol.MinorVersion < 7);
}

static size_t TableLength() {
  size_t Length = 0;
  for (const FakeSmbiosDxeEntry &Entry : Instance.Entries) {
    Length += Entry.Bytes.size();
  }
  return Length;
}

static void Republish() {
  static const EFI_GUID Table = SMBIOS_TABLE_GUID;
  static const EFI_GUID Table3 = SMBIOS3_TABLE_GUID;
  SignalEventGroup(Instance.Protocol.MajorVersion >= 3 ? Table3 : Table);
}

static bool Refused(const std::vector<unsigned> &Failing, unsigned Call) {
  return std::find(Failing.begin(), Failing.end(), Call) != Failing.end();
}

static EFI_STATUS EFIAPI FakeAdd(CONST EFI_SMBIOS_PROTOCOL *, EFI_HANDLE Producer,
                                 EFI_SMBIOS_HANDLE *Handle, EFI_SMBIOS_TABLE_HEADER *Record) {
  if (Refused(Instance.FailingAdds, ++Instance.AddCalls)) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (Find(*Handle) != Instance.Entries.size()) {
    return EFIERR(20);  // EFI_ALREADY_STARTED
  }
  const UINT8 *Start = reinterpret_cast<const UINT8 *>(Record);
  size_t End = Start[1];
  while (Start[End] != 0 || Start[End + 1] != 0) {
    End++;
  }
  std::vector<UINT8> Copy(Start, Start + End + 2);
  for (const std::string &String : StringsOf(Copy)) {
    if (ShortStringsOnly() && String.size() >= 64) {
      return EFI_INVALID_PARAMETER;
    }
  }
  Copy[2] = (UINT8)*Handle;
  Copy[3] = (UINT8)(*Handle >> 8);
  Instance.Entries.push_back({Copy, Producer});
  Republish();
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeRemove(CONST EFI_SMBIOS_PROTOCOL *, EFI_SMBIOS_HANDLE Handle) {
  if (Refused(Instance.FailingRemoves, ++Instance.RemoveCalls)) {
    return EFI_OUT_OF_RESOURCES;
  }
  size_t Index = Find(Handle);
  if (Index == Instance.Entries.size()) {
    return EFI_INVALID_PARAMETER;
  }
  Instance.Entries.erase(Instance.Entries.begin() + Index);
  Republish();
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeUpdateString(CONST EFI_SMBIOS_PROTOCOL *, EFI_SMBIOS_HANDLE *Handle,
                                          UINTN *Number, CHAR8 *String) {
  if (Refused(Instance.FailingUpdateStrings, ++Instance.UpdateStringCalls)) {
    return EFI_OUT_OF_RESOURCES;
  }
  size_t NewLength = std::strlen(String);
  if (ShortStringsOnly() && NewLength > 64) {
    return EFI_UNSUPPORTED;
  }
  size_t Index = Find(*Handle);
  if (Index == Instance.Entries.size()) {
    return EFI_INVALID_PARAMETER;
  }
  std::vector<UINT8> &Bytes = Instance.Entries[Index].Bytes;
  std::vector<std::string> Strings = StringsOf(Bytes);
  if (*Number == 0 || *Number > Strings.size()) {
    return EFI_NOT_FOUND;
  }
  size_t At = Bytes[1];
  for (UINTN Skipped = 1; Skipped < *Number; Skipped++) {
    At += Strings[Skipped - 1].size() + 1;
  }
  size_t OldLength = Strings[*Number - 1].size();
  if (NewLength == OldLength) {
    std::memcpy(&Bytes[At], String, NewLength);
  } else {
    if (TableLength() + NewLength - OldLength > Instance.TableLimit) {
      return EFI_UNSUPPORTED;
    }
    std::vector<UINT8> Resized(Bytes.begin(), Bytes.begin() + At);
    Resized.insert(Resized.end(), String, String + NewLength);
    Resized.insert(Resized.end(), Bytes.begin() + At + OldLength, Bytes.end());
    Bytes = std::move(Resized);  // frees the old block
  }
  Republish();
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeGetNext(CONST EFI_SMBIOS_PROTOCOL *, EFI_SMBIOS_HANDLE *Handle,
                                     EFI_SMBIOS_TYPE *, EFI_SMBIOS_TABLE_HEADER **Record,
                                     EFI_HANDLE *Producer) {
  Instance.GetNextCalls++;
  size_t Next = *Handle == SMBIOS_HANDLE_PI_RESERVED ? 0 : Find(*Handle) + 1;
  if (Next >= Instance.Entries.size()) {
    *Handle = SMBIOS_HANDLE_PI_RESERVED;
    return EFI_NOT_FOUND;
  }
  FakeSmbiosDxeEntry &Entry = Instance.Entries[Next];
  *Handle = HandleOf(Entry.Bytes);
  *Record = reinterpret_cast<EFI_SMBIOS_TABLE_HEADER *>(Entry.Bytes.data());
  if (Producer != nullptr) {
    *Producer = Entry.Producer;
  }
  return EFI_SUCCESS;
}

void ResetSmbiosDxe(UINT8 MajorVersion, UINT8 MinorVersion,
                    const std::vector<std::vector<UINT8>> &Structures) {
  Instance = FakeSmbiosDxe();
  Instance.Protocol = {FakeAdd,     FakeUpdateString, FakeRemove,
                       FakeGetNext, MajorVersion,     MinorVersion};
  for (size_t Index = 0; Index < Structures.size(); Index++) {
    Instance.Entries.push_back({Structures[Index], reinterpret_cast<EFI_HANDLE>(0x3000 + Index)});
  }
}

std::vector<UINT16> HandlesInListOrder() {
  std::vector<UINT16> Handles;
  for (const FakeSmbiosDxeEntry &Entry : Instance.Entries) {
    Handles.push_back(HandleOf(Entry.Bytes));
  }
  return Handles;
}

std::vector<UINT8> HeldBytes(UINT16 Handle) {
  size_t Index = Find(Handle);
  return Index == Instance.Entries.size() ? std::vector<UINT8>() : Instance.Entries[Index].Bytes;
}

std::vector<UINT8> ReadThrough(SMBIOS_READ_STRUCTURE_BY_HANDLE Read, UINT16 Handle) {
  UINT8 *Pointer = nullptr;
  UINT16 Size = 0;
  if (EFI_ERROR(Read(Handle, &Pointer, &Size))) {
    return {};
  }
  return std::vector<UINT8>(Pointer, Pointer + Size);
}

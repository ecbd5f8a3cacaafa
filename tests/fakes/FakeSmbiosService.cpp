#include "tests/fakes/FakeSmbiosService.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "tests/fakes/CallLog.h"

static FakeSmbiosTable *Instance;

FakeSmbiosTable &SmbiosTable() {
  if (Instance == nullptr) {
    ResetSmbiosTable();
  }
  return *Instance;
}

static EFI_STATUS EFIAPI UnexpectedTableService() { UnexpectedCall("SMBIOS service entry"); }

static EFI_STATUS EFIAPI FakeRead(UINT16 Handle, UINT8 **Structure, UINT16 *Size) {
  char Line[48];
  std::snprintf(Line, sizeof(Line), "ReadStructureByHandle(%u)", Handle);
  CallLog().push_back(Line);
  FakeSmbiosTable &Table = SmbiosTable();
  Table.Reads.push_back(Handle);
  if (ShouldFailNextCall() || Table.FailingReads.count(Handle) != 0) {
    return EFI_DEVICE_ERROR;
  }
  if (Table.NullOnSuccess.count(Handle) != 0) {
    *Structure = nullptr;
    return EFI_SUCCESS;
  }
  auto Found = Table.Structures.find(Handle);
  if (Found == Table.Structures.end()) {
    return EFI_NOT_FOUND;
  }
  const std::vector<UINT8> &Bytes = Found->second;
  std::unique_ptr<UINT8[]> Copy(new UINT8[Bytes.size()]);
  std::memcpy(Copy.get(), Bytes.data(), Bytes.size());
  *Structure = Copy.get();
  *Size = (UINT16)Bytes.size();
  Table.HandedOut.emplace_back(std::move(Copy), Bytes);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeWrite(UINT16 Handle, CONST UINT8 *Buffer, UINT16 Size) {
  char Line[48];
  std::snprintf(Line, sizeof(Line), "WriteStructureByHandle(%u,%u)", Handle, Size);
  CallLog().push_back(Line);
  FakeSmbiosTable &Table = SmbiosTable();
  Table.Writes.push_back({Handle, std::vector<UINT8>(Buffer, Buffer + Size), Size});
  if (ShouldFailNextCall()) {
    return EFI_DEVICE_ERROR;
  }
  if (EFI_ERROR(Table.WriteStatus)) {
    return Table.WriteStatus;
  }
  auto Found = Table.Structures.find(Handle);
  if (Found == Table.Structures.end()) {
    return EFI_NOT_FOUND;
  }
  Found->second.assign(Buffer, Buffer + Size);
  return EFI_SUCCESS;
}

void ResetSmbiosTable() {
  delete Instance;
  Instance = new FakeSmbiosTable();
  SMBIOS_TABLE_SERVICE &Service = Instance->Service;
  for (VOID *&Entry : Service.Entry0To11) {
    Entry = reinterpret_cast<VOID *>(&UnexpectedTableService);
  }
  Service.Entry13 = reinterpret_cast<VOID *>(&UnexpectedTableService);
  Service.ReadStructureByHandle = FakeRead;
  Service.WriteStructureByHandle = FakeWrite;
}

bool HandedOutStructuresIntact() {
  for (const auto &Entry : SmbiosTable().HandedOut) {
    if (std::memcmp(Entry.first.get(), Entry.second.data(), Entry.second.size()) != 0) {
      return false;
    }
  }
  return true;
}

std::vector<UINT8> MakeStructure(UINT8 Type, UINT16 Handle, UINT8 FormattedLength,
                                 const std::vector<std::string> &Strings) {
  std::vector<UINT8> Bytes = {Type, FormattedLength, (UINT8)(Handle & 0xFF), (UINT8)(Handle >> 8)};
  for (UINT8 Offset = 4; Offset < FormattedLength; Offset++) {
    Bytes.push_back((UINT8)(0x40 + Offset));
  }
  for (const std::string &String : Strings) {
    Bytes.insert(Bytes.end(), String.begin(), String.end());
    Bytes.push_back(0);
  }
  if (Strings.empty()) {
    Bytes.push_back(0);
  }
  Bytes.push_back(0);
  return Bytes;
}

std::vector<std::string> StringsOf(const std::vector<UINT8> &Structure) {
  std::vector<std::string> Strings;
  size_t Position = Structure[1];
  while (Position < Structure.size() && Structure[Position] != 0) {
    std::string String(reinterpret_cast<const char *>(&Structure[Position]));
    Position += String.size() + 1;
    Strings.push_back(String);
  }
  return Strings;
}

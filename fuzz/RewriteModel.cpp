#include "fuzz/RewriteModel.h"

#include <cstdio>
#include <cstdlib>

namespace fuzz {

std::string BoardNameFor(UINT8 Code) {
  switch (Code) {
    case 0: return "KP5VRA-E";
    case 1: return "KP5VRC-E";
    case 2: return "KP5VRA";
    case 4: return "KP5VRA-TE";
    case 6: return "KP5VRA-T";
    case 8: return "KP5VRA-E-WDN";
    default: return "";
  }
}

ExpectedRewrite ModelRewrite(const UINT8 *Structure, size_t Readable, UINT8 Code,
                             const RewriteFaults &Faults) {
  if (Faults.CopyAllocationFails || Faults.NameAllocationFails) {
    return {EFI_OUT_OF_RESOURCES, false, {}};
  }
  size_t Length = Structure[1];
  if (Length < 4) {
    return {EFI_BAD_BUFFER_SIZE, false, {}};
  }
  // The closing zero pair, looked for only inside the working copy.
  size_t Size = 0;
  for (size_t At = Length; At + 1 < WorkingCopyBytes && At + 1 < Readable; At++) {
    if (Structure[At] == 0 && Structure[At + 1] == 0) {
      Size = At + 2;
      break;
    }
  }
  if (Size == 0) {
    return {EFI_BAD_BUFFER_SIZE, false, {}};
  }
  std::string Name = BoardNameFor(Code);
  if (Name.empty()) {
    return {EFI_UNSUPPORTED, false, {}};
  }
  // The strings lie between the formatted area and the closing zero; an empty
  // set is the zero pair alone. A zero straight after the formatted area that
  // is not part of the pair counts as an empty first string, as the measure
  // by zero pair implies.
  std::vector<std::string> Strings;
  for (size_t At = Length; Size > Length + 2 && At < Size - 1;) {
    std::string String(reinterpret_cast<const char *>(Structure + At));
    At += String.size() + 1;
    Strings.push_back(String);
  }
  if (Strings.size() < 2) {
    return {EFI_NOT_FOUND, false, {}};
  }
  if (Size - Strings[1].size() + Name.size() > WorkingCopyBytes) {
    return {EFI_BUFFER_TOO_SMALL, false, {}};
  }
  Strings[1] = Name;
  std::vector<UINT8> Bytes(Structure, Structure + Length);
  for (const std::string &String : Strings) {
    Bytes.insert(Bytes.end(), String.begin(), String.end());
    Bytes.push_back(0);
  }
  Bytes.push_back(0);
  return {Faults.WriteStatus, true, Bytes};
}

std::vector<UINT8> HeldStructure(const UINT8 *Bytes, size_t Size) {
  std::vector<UINT8> Held(Bytes, Bytes + Size);
  size_t Length = Bytes[1];
  if (Length < 4) {
    return Held;
  }
  for (size_t At = Length; At + 1 < Size; At++) {
    if (Bytes[At] == 0 && Bytes[At + 1] == 0) {
      Held.resize(At + 2);
      return Held;
    }
  }
  if (Held.size() < WorkingCopyBytes) {
    Held.resize(WorkingCopyBytes, 0x01);
  }
  return Held;
}

void Require(bool Condition, const char *What) {
  if (!Condition) {
    std::fprintf(stderr, "invariant broken: %s\n", What);
    std::abort();
  }
}

}  // namespace fuzz

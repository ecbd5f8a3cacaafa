// Fuzz target: arbitrary bytes as the structure handed to the product-name
// rewrite, an arbitrary strap code and failing service calls, through the
// host fakes. Input: one control byte, then the structure's bytes.
//   control bits 0-3: strap code; bit 4: use the whole control byte as code
//   bits 5-6: which fallible call fails (0 none, 1 first pool, 2 name pool,
//   3 the write back); bit 7: the table service refuses the write.
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/RewriteModel.h"
#include "platform/Platform.h"
#include "smbios/ProductName.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeBootServices.h"
#include "tests/fakes/FakeSmbiosService.h"
#include "tests/fakes/RecordingHardware.h"

namespace {

const UINT16 StructureHandle = 0x0101;

void ResetFakes() {
  ResetHardware();
  ResetServiceFakes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  if (Size < 1 + 4) {
    return 0;  // a structure has at least its header
  }
  UINT8 Control = Data[0];
  UINT8 Code = (Control & 0x10) != 0 ? Control : (Control & 0x0F);
  unsigned FailingCall = (Control >> 5) & 3;
  bool WriteRefused = (Control & 0x80) != 0;

  ResetFakes();
  std::vector<UINT8> Held = fuzz::HeldStructure(Data + 1, Size - 1);
  SmbiosTable().Structures[StructureHandle] = Held;
  if (WriteRefused) {
    SmbiosTable().WriteStatus = EFI_WRITE_PROTECTED;
  }
  FailFallibleCall(FailingCall);
  // An exact-size block, so any read beyond what the service holds is an overrun.
  std::unique_ptr<UINT8[]> Handed(new UINT8[Held.size()]);
  std::memcpy(Handed.get(), Held.data(), Held.size());

  EFI_STATUS Status = RewriteProductName(StructureHandle, Handed.get(), Code);

  fuzz::RewriteFaults Faults;
  Faults.CopyAllocationFails = FailingCall == 1;
  Faults.NameAllocationFails = FailingCall == 2;
  Faults.WriteStatus = FailingCall == 3 ? EFI_DEVICE_ERROR
                       : WriteRefused   ? EFI_WRITE_PROTECTED
                                        : EFI_SUCCESS;
  fuzz::ExpectedRewrite Expected = fuzz::ModelRewrite(Held.data(), Held.size(), Code, Faults);

  fuzz::Require(std::memcmp(Handed.get(), Held.data(), Held.size()) == 0,
                "the structure handed in is unchanged");
  fuzz::Require(PoolLeaks() == 0, "every pool allocation is freed");
  fuzz::Require(Firmware().AllocationSizes == std::vector<UINTN>({406, 20}),
                "exactly the two pool buffers are allocated");
  fuzz::Require(HardwareLog().empty(), "the rewrite touches no hardware");
  fuzz::Require(Status == Expected.Status, "the status says why nothing was written");
  const std::vector<SmbiosWrite> &Writes = SmbiosTable().Writes;
  fuzz::Require(Writes.size() == (Expected.Writes ? 1u : 0u), "written back only when sound");
  if (Expected.Writes) {
    const SmbiosWrite &Write = Writes[0];
    fuzz::Require(Write.Handle == StructureHandle, "written under its own handle");
    fuzz::Require(Write.Size <= fuzz::WorkingCopyBytes, "at most the working copy");
    fuzz::Require(Write.Bytes == Expected.Bytes,
                  "well formed, string 2 the board's name, all else unchanged");
  }
  return 0;
}

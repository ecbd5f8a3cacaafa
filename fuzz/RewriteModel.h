// An independent model of what the product-name rewrite must do with one
// structure, written from the SMBIOS layout rather than from the driver's
// code, so the fuzz targets can check the driver's result byte for byte.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Uefi.h"

namespace fuzz {

// The pool copy's size, as the firmware's product-name rewrite bounds it.
constexpr size_t WorkingCopyBytes = 406;

// Which of the rewrite's fallible calls fail.
struct RewriteFaults {
  bool CopyAllocationFails = false;
  bool NameAllocationFails = false;
  EFI_STATUS WriteStatus = EFI_SUCCESS;
};

struct ExpectedRewrite {
  EFI_STATUS Status;
  bool Writes;               // a WriteStructureByHandle call is made
  std::vector<UINT8> Bytes;  // what it hands over, when it is made
};

// The board model name for a strap code, or an empty string for a code no
// board uses.
std::string BoardNameFor(UINT8 Code);

// What rewriting Structure (Readable bytes can be read from it) with Code
// must produce.
ExpectedRewrite ModelRewrite(const UINT8 *Structure, size_t Readable, UINT8 Code,
                             const RewriteFaults &Faults);

// The bytes a table service holds for a structure given as arbitrary bytes
// (at least 4): exactly through its closing zero pair when it has one, so any
// read past that pair is an overrun; otherwise the bytes padded to the
// working copy's size with non-zero filler, the most the driver may measure.
std::vector<UINT8> HeldStructure(const UINT8 *Bytes, size_t Size);

// Aborts with a message when Condition is false: a fuzzer finding.
void Require(bool Condition, const char *What);

}  // namespace fuzz

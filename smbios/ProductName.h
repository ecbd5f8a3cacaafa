// Rewrites the product name (string 2) of a System Information or Baseboard
// Information structure with the board's model name.
#pragma once

#include "platform/Uefi.h"
#include "smbios/BoardNames.h"

// Size of the pool copy a structure is rewritten in: the largest structure,
// before and after the new name, that the rewrite takes.
#define WORKING_COPY_SIZE 406
// Size of the pool buffer holding the selected name and its terminator.
#define NAME_BUFFER_SIZE 20

// Copies Structure (owned by the SMBIOS table service, only read) into pool
// memory, replaces string 2 with the name for Code and hands the copy back
// with WriteStructureByHandle under Handle. Returns:
//   EFI_SUCCESS            the structure was written back.
//   EFI_OUT_OF_RESOURCES   a pool allocation failed.
//   EFI_BAD_BUFFER_SIZE    the structure is malformed (Length below 4) or has
//                          no closing zero pair within the working copy.
//   EFI_UNSUPPORTED        no board uses Code.
//   EFI_NOT_FOUND          the structure has fewer than two strings.
//   EFI_BUFFER_TOO_SMALL   with the new name it would outgrow the working copy.
//   any error of WriteStructureByHandle.
// Nothing is written back on an error before the write; pool memory is
// always freed.
EFI_STATUS RewriteProductName(IN UINT16 Handle, IN CONST UINT8 *Structure,
                              IN BOARD_STRAP_CODE Code);

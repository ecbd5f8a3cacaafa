// The two ways to replace a structure that SmbiosDxe holds. Both work from a
// copy of the held structure, since SmbiosDxe frees the original when it
// resizes or removes it, and from a replacement already checked whole.
#pragma once

#include "modules/SmbiosByHandleService/PiSmbios.h"

struct REPLACEMENT {
  EFI_SMBIOS_PROTOCOL *Standard;
  UINT16 Handle;
  EFI_HANDLE Producer;  // the held structure's, kept by a new Add
  CONST UINT8 *Held;    // copy of the structure as SmbiosDxe holds it
  UINT32 HeldSize;
  CONST UINT8 *New;  // the structure wanted, measured: exactly NewSize bytes
  UINT32 NewSize;
};

// TRUE when the structure's string-set opens with an empty string followed by
// more: SmbiosDxe skips that zero and numbers the strings after it from 1, so
// it would not keep such bytes as written. Needs two bytes after the
// formatted area.
BOOLEAN StartsWithEmptyString(IN CONST UINT8 *Structure);

// TRUE when New has Held's Length, formatted area and number of strings, so
// that only strings differ, and Held does not start its strings with an empty
// one (SmbiosDxe would number them otherwise).
BOOLEAN OnlyStringsDiffer(IN CONST REPLACEMENT *Replacement);

// Replaces each string that differs with UpdateString, in string order;
// SmbiosDxe keeps the structure where it stands. EFI_SUCCESS when all are
// replaced. On a refusal the strings already replaced are put back, and if
// SmbiosDxe refuses that too, Held is put back by Remove and Add; the first
// refusal's status is returned either way.
EFI_STATUS ReplaceStrings(IN CONST REPLACEMENT *Replacement);

// Removes the structure and adds New under the same handle and producer, at
// the end of SmbiosDxe's list. EFI_SUCCESS; Remove's status (nothing
// changed); or Add's status after Held was added back.
EFI_STATUS ReplaceWhole(IN CONST REPLACEMENT *Replacement);

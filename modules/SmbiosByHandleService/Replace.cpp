#include "modules/SmbiosByHandleService/Replace.h"

// Length of the string at String; the structure was measured, so its zero
// comes within Limit bytes.
static UINT32 StringLength(IN CONST UINT8 *String, IN UINT32 Limit) {
  UINT32 Length = 0;
  while (Length < Limit && String[Length] != 0) {
    Length++;
  }
  return Length;
}

// Strings of a measured structure: none when its Length is followed by the
// zero pair; otherwise one per zero before the set's last zero.
static UINT32 StringCount(IN CONST UINT8 *Structure, IN UINT32 Size) {
  if (Structure[Structure[1]] == 0) {
    return 0;
  }
  UINT32 Count = 0;
  for (UINT32 Position = Structure[1]; Position + 1 < Size; Position++) {
    Count += Structure[Position] == 0 ? 1 : 0;
  }
  return Count;
}

static BOOLEAN SameBytes(IN CONST UINT8 *Left, IN CONST UINT8 *Right, IN UINT32 Length) {
  for (UINT32 Index = 0; Index < Length; Index++) {
    if (Left[Index] != Right[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

BOOLEAN StartsWithEmptyString(IN CONST UINT8 *Structure) {
  return Structure[Structure[1]] == 0 && Structure[Structure[1] + 1] != 0;
}

BOOLEAN OnlyStringsDiffer(IN CONST REPLACEMENT *Replacement) {
  CONST UINT8 *Held = Replacement->Held;
  CONST UINT8 *New = Replacement->New;
  // A producer may have left an empty first string; only a whole
  // replacement is then exact.
  if (StartsWithEmptyString(Held)) {
    return FALSE;
  }
  return Held[1] == New[1] && SameBytes(Held, New, Held[1]) &&
         StringCount(Held, Replacement->HeldSize) == StringCount(New, Replacement->NewSize);
}

static EFI_STATUS SetString(IN CONST REPLACEMENT *Replacement, IN UINTN Number,
                            IN CONST UINT8 *String) {
  EFI_SMBIOS_PROTOCOL *Standard = Replacement->Standard;
  EFI_SMBIOS_HANDLE Handle = Replacement->Handle;
  // SmbiosDxe copies the string and never writes through the pointer.
  return Standard->UpdateString(Standard, &Handle, &Number, (CHAR8 *)String);
}

// Sets every string numbered below Stop where Held and New differ to New's
// (ToNew) or back to Held's, stopping at the first refusal: EFI_SUCCESS, or
// the refusal's status with *Refused set to its string number.
static EFI_STATUS SetDifferingStrings(IN CONST REPLACEMENT *Replacement, IN BOOLEAN ToNew,
                                      IN UINT32 Stop, OUT UINT32 *Refused) {
  CONST UINT8 *Held = Replacement->Held;
  CONST UINT8 *New = Replacement->New;
  UINT32 HeldAt = Held[1];
  UINT32 NewAt = New[1];
  for (UINT32 Number = 1; Number < Stop; Number++) {
    UINT32 HeldLength = StringLength(Held + HeldAt, Replacement->HeldSize - HeldAt);
    UINT32 NewLength = StringLength(New + NewAt, Replacement->NewSize - NewAt);
    if (HeldLength != NewLength || !SameBytes(Held + HeldAt, New + NewAt, NewLength)) {
      EFI_STATUS Status = SetString(Replacement, Number, ToNew ? New + NewAt : Held + HeldAt);
      if (EFI_ERROR(Status)) {
        *Refused = Number;
        return Status;
      }
    }
    HeldAt += HeldLength + 1;
    NewAt += NewLength + 1;
  }
  return EFI_SUCCESS;
}

static EFI_STATUS AddUnderHandle(IN CONST REPLACEMENT *Replacement, IN CONST UINT8 *Structure) {
  EFI_SMBIOS_PROTOCOL *Standard = Replacement->Standard;
  EFI_SMBIOS_HANDLE Handle = Replacement->Handle;
  // Add copies the structure and only sets the copy's handle.
  return Standard->Add(Standard, Replacement->Producer, &Handle,
                       (EFI_SMBIOS_TABLE_HEADER *)Structure);
}

EFI_STATUS ReplaceStrings(IN CONST REPLACEMENT *Replacement) {
  UINT32 Refused = 0;
  UINT32 Strings = StringCount(Replacement->New, Replacement->NewSize);
  EFI_STATUS Status = SetDifferingStrings(Replacement, TRUE, Strings + 1, &Refused);
  if (!EFI_ERROR(Status)) {
    return EFI_SUCCESS;
  }
  UINT32 Unused = 0;
  if (EFI_ERROR(SetDifferingStrings(Replacement, FALSE, Refused, &Unused))) {
    EFI_SMBIOS_PROTOCOL *Standard = Replacement->Standard;
    if (!EFI_ERROR(Standard->Remove(Standard, Replacement->Handle))) {
      AddUnderHandle(Replacement, Replacement->Held);
    }
  }
  return Status;
}

EFI_STATUS ReplaceWhole(IN CONST REPLACEMENT *Replacement) {
  EFI_SMBIOS_PROTOCOL *Standard = Replacement->Standard;
  EFI_STATUS Status = Standard->Remove(Standard, Replacement->Handle);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = AddUnderHandle(Replacement, Replacement->New);
  if (EFI_ERROR(Status)) {
    AddUnderHandle(Replacement, Replacement->Held);
  }
  return Status;
}

// String-set editing. Every walk is bounded: by the caller's limit while a
// structure is measured, and by its closing zero pair once it is known.
#include "smbios/StringSet.h"

#include "platform/Platform.h"

// Longest string an 8-bit length (terminator included) can describe.
static const UINTN MaxStringCharacters = 254;

UINT16 GetStructureSize(IN CONST UINT8 *Structure, IN UINTN Limit) {
  if (Limit < SMBIOS_HEADER_SIZE + 2) {
    return 0;
  }
  UINTN Length = ((CONST SMBIOS_STRUCTURE_HEADER *)Structure)->Length;
  if (Length < SMBIOS_HEADER_SIZE) {
    return 0;
  }
  if (Limit > 0xFFFF) {
    Limit = 0xFFFF;
  }
  for (UINTN Position = Length; Position + 1 < Limit; Position++) {
    if (Structure[Position] == 0 && Structure[Position + 1] == 0) {
      return (UINT16)(Position + 2);
    }
  }
  return 0;
}

BOOLEAN FindStringInSet(IN OUT UINT8 **Cursor, IN UINT8 StringNumber) {
  if (StringNumber == 0) {
    return FALSE;
  }
  // In an empty string-set this is the closing zero pair, where string 1 goes.
  UINT8 *String = *Cursor + ((SMBIOS_STRUCTURE_HEADER *)*Cursor)->Length;
  for (UINT8 Skipped = 1; Skipped < StringNumber; Skipped++) {
    while (*String != 0) {
      String++;
    }
    String++;
    if (*String == 0) {  // the closing zero: no more strings
      return FALSE;
    }
  }
  *Cursor = String;
  return TRUE;
}

static UINTN AsciiLength(CONST CHAR8 *String, UINTN Limit) {
  UINTN Length = 0;
  while (Length < Limit && String[Length] != 0) {
    Length++;
  }
  return Length;
}

EFI_STATUS ReplaceStringInSet(IN OUT UINT8 *Structure, IN UINT8 StringNumber,
                              IN CONST CHAR8 *NewString, IN UINTN BufferSize) {
  UINTN Size = GetStructureSize(Structure, BufferSize);
  UINTN NewCharacters = AsciiLength(NewString, MaxStringCharacters + 1);
  // An empty string would end the string-set early and drop the strings behind it.
  if (Size == 0 || NewCharacters == 0 || NewCharacters > MaxStringCharacters) {
    return EFI_INVALID_PARAMETER;
  }
  UINT8 *Old = Structure;
  if (!FindStringInSet(&Old, StringNumber)) {
    return EFI_NOT_FOUND;
  }
  UINT8 *Next = Old + AsciiLength((CONST CHAR8 *)Old, Size) + 1;
  UINT8 *End = Structure + Size - 2;  // the closing zero pair
  UINTN TailLength = (UINTN)(End + 2 - Next);
  UINTN NewLength = NewCharacters + 1;
  UINTN OldLength = (UINTN)(Next - Old);
  if (Size - OldLength + NewLength > BufferSize) {
    return EFI_BUFFER_TOO_SMALL;
  }
  // The tail moves first: writing the new string first would overwrite it.
  CopyBytes(Old + NewLength, Next, TailLength);
  CopyBytes(Old, NewString, NewLength);
  return EFI_SUCCESS;
}

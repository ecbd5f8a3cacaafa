// Editing the string-set of one SMBIOS structure held in a writable buffer.
// A structure is a formatted area of Length bytes (header included) followed
// by NUL-terminated strings, numbered from 1, and one more zero byte.
#pragma once

#include "platform/Uefi.h"

#define SMBIOS_HEADER_SIZE 4
#define SMBIOS_TYPE_SYSTEM_INFORMATION 1
#define SMBIOS_TYPE_BASEBOARD_INFORMATION 2
#define SMBIOS_TYPE_END_OF_TABLE 127

// Packed: structures in the table start at any byte address.
struct __attribute__((packed)) SMBIOS_STRUCTURE_HEADER {
  UINT8 Type;
  UINT8 Length;
  UINT16 Handle;
};

static_assert(sizeof(SMBIOS_STRUCTURE_HEADER) == SMBIOS_HEADER_SIZE, "SMBIOS header");

// Returns the whole size of the structure, through the second byte of its
// closing zero pair, looking at no byte at or beyond Structure + Limit.
// Returns 0 when the header's Length is below 4 or the closing zero pair is
// not within Limit bytes.
UINT16 GetStructureSize(IN CONST UINT8 *Structure, IN UINTN Limit);

// Moves *Cursor from byte 0 of a well-formed structure (one GetStructureSize
// accepts) to the first byte of string StringNumber; string 1 of an empty
// string-set is its closing zero pair, where a first string would go.
// Returns FALSE, leaving *Cursor unchanged, when StringNumber is 0 or the
// structure has fewer strings; it never looks past the closing zero pair.
BOOLEAN FindStringInSet(IN OUT UINT8 **Cursor, IN UINT8 StringNumber);

// Replaces string StringNumber of the structure at Structure by NewString,
// moving the strings behind it; string 1 of an empty string-set becomes its
// only string. BufferSize is the room the buffer offers.
// Returns:
//   EFI_SUCCESS            the string was replaced.
//   EFI_INVALID_PARAMETER  the structure is not well formed within BufferSize,
//                          or NewString is empty or 255 characters or longer.
//   EFI_NOT_FOUND          the structure has no string StringNumber.
//   EFI_BUFFER_TOO_SMALL   the grown structure would not fit BufferSize.
// On any error the buffer is left unchanged.
EFI_STATUS ReplaceStringInSet(IN OUT UINT8 *Structure, IN UINT8 StringNumber,
                              IN CONST CHAR8 *NewString, IN UINTN BufferSize);

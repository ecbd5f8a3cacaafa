// The board model names, selected by the four strap bits.
#pragma once

#include "platform/Uefi.h"

// A board strap code: four strap bits, 0 to 15, carried in a byte.
typedef UINT8 BOARD_STRAP_CODE;

struct BOARD_NAME {
  CONST CHAR8 *Name;  // null: no board uses this code
  UINT8 Length;       // characters, terminator excluded
};

#define BOARD_STRAP_CODE_COUNT 16

extern CONST BOARD_NAME BoardNameTable[BOARD_STRAP_CODE_COUNT];

// The name for Code, or null when no board uses it (including codes above 15).
CONST BOARD_NAME *LookUpBoardName(IN BOARD_STRAP_CODE Code);

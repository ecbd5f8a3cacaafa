// One firmware image serves six board variants. Codes without an entry are
// not boards we ship; the rewrite leaves the table alone for them rather than
// invent a name.
#include "smbios/BoardNames.h"

// clang-format off
#define NAMED(Text) {Text, sizeof(Text) - 1}
#define UNUSED_CODE {nullptr, 0}

CONST BOARD_NAME BoardNameTable[BOARD_STRAP_CODE_COUNT] = {
    NAMED("KP5VRA-E"),     // 0
    NAMED("KP5VRC-E"),     // 1
    NAMED("KP5VRA"),       // 2
    UNUSED_CODE,           // 3
    NAMED("KP5VRA-TE"),    // 4
    UNUSED_CODE,           // 5
    NAMED("KP5VRA-T"),     // 6
    UNUSED_CODE,           // 7
    NAMED("KP5VRA-E-WDN"), // 8
    UNUSED_CODE, UNUSED_CODE, UNUSED_CODE, UNUSED_CODE, UNUSED_CODE, UNUSED_CODE, UNUSED_CODE,
};
// clang-format on

CONST BOARD_NAME *LookUpBoardName(IN BOARD_STRAP_CODE Code) {
  if (Code >= BOARD_STRAP_CODE_COUNT || BoardNameTable[Code].Name == nullptr) {
    return nullptr;
  }
  return &BoardNameTable[Code];
}

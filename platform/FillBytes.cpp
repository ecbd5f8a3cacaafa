// Byte fill in aligned 4-byte words.
#include "platform/Platform.h"

typedef UINT32 __attribute__((may_alias)) FILL_WORD;

static const UINTN FillWordSize = sizeof(FILL_WORD);

VOID *FillBytes(OUT VOID *Buffer, IN UINTN Length, IN UINT8 Value) {
  UINT8 *Cursor = (UINT8 *)Buffer;
  if (Length >= FillWordSize) {
    while (((UINTN)Cursor & (FillWordSize - 1)) != 0) {
      *Cursor++ = Value;
      Length--;
    }
    UINT32 Word = Value * 0x01010101U;
    for (; Length >= FillWordSize; Length -= FillWordSize) {
      *(FILL_WORD *)Cursor = Word;
      Cursor += FillWordSize;
    }
  }
  while (Length-- > 0) {
    *Cursor++ = Value;
  }
  return Buffer;
}

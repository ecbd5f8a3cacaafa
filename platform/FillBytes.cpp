// Byte fill in aligned 4-byte words; long runs of words go to the
// processor's string store, still in 4-byte words.
#include "platform/Platform.h"
#include "platform/X86.h"

typedef UINT32 __attribute__((may_alias)) FILL_WORD;

static const UINTN FillWordSize = sizeof(FILL_WORD);
// Below this many words the plain loop beats the string store's start-up cost.
static const UINTN StringStoreWords = 32;

VOID *FillBytes(OUT VOID *Buffer, IN UINTN Length, IN UINT8 Value) {
  UINT8 *Cursor = (UINT8 *)Buffer;
  if (Length >= FillWordSize) {
    while (((UINTN)Cursor & (FillWordSize - 1)) != 0) {
      *Cursor++ = Value;
      Length--;
    }
    UINT32 Word = Value * 0x01010101U;
    UINTN Words = Length / FillWordSize;
    if (Words >= StringStoreWords) {
      X86RepStosD(Cursor, Word, Words);
      Cursor += Words * FillWordSize;
      Length -= Words * FillWordSize;
    }
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

// Overlap-safe byte copy. Words are moved through an alignment-1 type so an
// unaligned word copy is well defined; the downward copy is a plain backward
// loop, so the processor's direction flag is never changed. Long upward runs
// of words go to the processor's string move, still in 8-byte words.
#include "platform/Platform.h"
#include "platform/X86.h"

typedef UINT64 __attribute__((aligned(1), may_alias)) UNALIGNED_UINT64;

static const UINTN WordSize = sizeof(UINT64);

// Below this many words the plain loop beats the string move's start-up cost.
static const UINTN StringMoveWords = 64;

static UINTN WordOffset(UINTN Address) { return Address & (WordSize - 1); }

static VOID CopyUpward(UINT8 *Destination, const UINT8 *Source, UINTN Length, BOOLEAN UseWords) {
  if (UseWords) {
    UINTN Offset = WordOffset((UINTN)Destination);
    if (Offset != 0 && Offset == WordOffset((UINTN)Source)) {
      for (UINTN Lead = WordSize - Offset; Lead > 0; Lead--, Length--) {
        *Destination++ = *Source++;
      }
    }
    UINTN Words = Length / WordSize;
    if (Words >= StringMoveWords) {
      X86RepMovsQ(Destination, Source, Words);
      Destination += Words * WordSize;
      Source += Words * WordSize;
      Length -= Words * WordSize;
    }
    for (; Length >= WordSize; Length -= WordSize) {
      *(UNALIGNED_UINT64 *)Destination = *(const UNALIGNED_UINT64 *)Source;
      Destination += WordSize;
      Source += WordSize;
    }
  }
  while (Length-- > 0) {
    *Destination++ = *Source++;
  }
}

// Destination and Source point one past the last byte to copy.
static VOID CopyDownward(UINT8 *Destination, const UINT8 *Source, UINTN Length, BOOLEAN UseWords) {
  if (UseWords) {
    UINTN Offset = WordOffset((UINTN)Destination);
    if (Offset != 0 && Offset == WordOffset((UINTN)Source)) {
      for (UINTN Lead = Offset; Lead > 0; Lead--, Length--) {
        *--Destination = *--Source;
      }
    }
    for (; Length >= WordSize; Length -= WordSize) {
      Destination -= WordSize;
      Source -= WordSize;
      *(UNALIGNED_UINT64 *)Destination = *(const UNALIGNED_UINT64 *)Source;
    }
  }
  while (Length-- > 0) {
    *--Destination = *--Source;
  }
}

VOID CopyBytes(OUT VOID *Destination, IN CONST VOID *Source, IN UINTN Length) {
  UINTN To = (UINTN)Destination;
  UINTN From = (UINTN)Source;
  if (Length == 0 || To == From) {
    return;
  }
  UINTN Distance = (From > To) ? From - To : To - From;
  BOOLEAN UseWords = (Length >= WordSize && Distance >= WordSize);
  // Upward is safe unless the source starts below the destination and
  // reaches it; a source ending exactly at the destination goes downward.
  if (From >= To || From + Length < To) {
    CopyUpward((UINT8 *)Destination, (const UINT8 *)Source, Length, UseWords);
  } else {
    CopyDownward((UINT8 *)Destination + Length, (const UINT8 *)Source + Length, Length, UseWords);
  }
}

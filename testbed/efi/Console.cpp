#include "testbed/efi/Console.h"

#include "testbed/efi/TestbedUefi.h"

static EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConsoleOut;

VOID ConsoleInit(IN EFI_SYSTEM_TABLE *SystemTable) { ConsoleOut = SystemTable->ConOut; }

// Converts in short chunks so that no caller needs a wide buffer of its own.
VOID Print(IN CONST CHAR8 *Text) {
  if (ConsoleOut == nullptr || Text == nullptr) {
    return;
  }
  CHAR16 Chunk[66];
  UINTN Used = 0;
  for (; *Text != 0; Text++) {
    if (*Text == '\n') {
      Chunk[Used++] = '\r';
    }
    Chunk[Used++] = (CHAR16)(UINT8)*Text;
    if (Used >= 64) {
      Chunk[Used] = 0;
      ConsoleOut->OutputString(ConsoleOut, Chunk);
      Used = 0;
    }
  }
  Chunk[Used] = 0;
  ConsoleOut->OutputString(ConsoleOut, Chunk);
}

VOID PrintHex(IN UINT64 Value, IN UINT8 Digits) {
  CHAR8 Text[19] = {'0', 'x'};
  if (Digits == 0 || Digits > 16) {
    Digits = 16;
  }
  for (UINT8 Index = 0; Index < Digits; Index++) {
    UINT8 Nibble = (UINT8)((Value >> (4 * (Digits - 1 - Index))) & 0xF);
    Text[2 + Index] = (CHAR8)(Nibble < 10 ? '0' + Nibble : 'A' + Nibble - 10);
  }
  Text[2 + Digits] = 0;
  Print(Text);
}

VOID PrintDecimal(IN UINT64 Value) {
  CHAR8 Text[21];
  UINTN Position = sizeof(Text) - 1;
  Text[Position] = 0;
  do {
    Text[--Position] = (CHAR8)('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  Print(&Text[Position]);
}

EFI_STATUS PrintFailure(IN CONST CHAR8 *Tool, IN CONST CHAR8 *What, IN EFI_STATUS Status,
                        IN EFI_STATUS Fallback) {
  Print(Tool);
  Print(": ");
  Print(What);
  Print(", status ");
  PrintHex(Status, 16);
  Print("\n");
  return EFI_ERROR(Status) ? Status : Fallback;
}

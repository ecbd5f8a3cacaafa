// Plain-text output of the testbed's stand-ins on the firmware console, which
// the testbed routes to the serial log. Text is ASCII; "\n" becomes CR LF.
#pragma once

#include "platform/Uefi.h"

VOID ConsoleInit(IN EFI_SYSTEM_TABLE *SystemTable);
VOID Print(IN CONST CHAR8 *Text);
VOID PrintHex(IN UINT64 Value, IN UINT8 Digits);
VOID PrintDecimal(IN UINT64 Value);

// Prints "<Tool>: <What>, status 0x..." and returns Status, or Fallback when
// Status is not an error, so a caller can return the result directly.
EFI_STATUS PrintFailure(IN CONST CHAR8 *Tool, IN CONST CHAR8 *What, IN EFI_STATUS Status,
                        IN EFI_STATUS Fallback);

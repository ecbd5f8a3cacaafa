// Plain-text output of the testbed's stand-ins on the firmware console, which
// the testbed routes to the serial log. Text is ASCII; "\n" becomes CR LF.
#pragma once

#include "platform/Uefi.h"

VOID ConsoleInit(IN EFI_SYSTEM_TABLE *SystemTable);
VOID Print(IN CONST CHAR8 *Text);
VOID PrintHex(IN UINT64 Value, IN UINT8 Digits);
VOID PrintDecimal(IN UINT64 Value);

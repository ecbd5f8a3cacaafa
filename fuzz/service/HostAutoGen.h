// What EDK II's build generates for a module (AutoGen.h) and SmbiosDxe reads:
// the PCDs it and BaseLib's list code get, as variables the fuzz target sets
// per run. Force-included before every EDK II source compiled for the host.
#pragma once

extern unsigned short HostPcdSmbiosVersion;                // PcdSmbiosVersion, e.g. 0x0300
extern unsigned char HostPcdSmbiosDocRev;                  // PcdSmbiosDocRev
extern unsigned int HostPcdSmbiosEntryPointProvideMethod;  // BIT0 32-bit, BIT1 64-bit entry point

#define _PCD_GET_MODE_16_PcdSmbiosVersion HostPcdSmbiosVersion
#define _PCD_GET_MODE_8_PcdSmbiosDocRev HostPcdSmbiosDocRev
#define _PCD_GET_MODE_32_PcdSmbiosEntryPointProvideMethod HostPcdSmbiosEntryPointProvideMethod

// MdePkg's defaults for BaseLib's list code ...
#define _PCD_GET_MODE_BOOL_PcdVerifyNodeInList ((unsigned char)0)
#define _PCD_GET_MODE_32_PcdMaximumLinkedListLength 1000000U
// ... and for its safe-string code.
#define _PCD_GET_MODE_32_PcdMaximumUnicodeStringLength 1000000U
#define _PCD_GET_MODE_32_PcdMaximumAsciiStringLength 1000000U

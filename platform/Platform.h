// The driver's support library: the driver-wide record of firmware services,
// and the processor-level access to ports, device registers and memory.
#pragma once

#include "platform/SmbiosTableService.h"
#include "platform/Uefi.h"

struct SERVICE_CONTEXT {
  SMBIOS_TABLE_SERVICE *SmbiosService;  // refreshed by every lookup; null when absent
  EFI_SYSTEM_TABLE *SystemTable;        // non-null once the context is initialised
  EFI_BOOT_SERVICES *BootServices;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_HANDLE ImageHandle;
};

// Zero when the image is loaded; lives as long as the image.
extern SERVICE_CONTEXT ServiceContext;

// Records the firmware's tables. The first call wins; later calls change nothing.
VOID InitServiceContext(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable);

// Port and device-register access. Each call is exactly one access of the
// given width, with no delay, retry or check. The firmware image links the
// processor backend; host tests link a recording one.
UINT8 PortRead8(IN UINT16 Port);
UINT16 PortRead16(IN UINT16 Port);
UINT32 PortRead32(IN UINT16 Port);
UINT8 PortWrite8(IN UINT16 Port, IN UINT8 Value);
UINT16 PortWrite16(IN UINT16 Port, IN UINT16 Value);
UINT32 PortWrite32(IN UINT16 Port, IN UINT32 Value);
UINT8 MmioRead8(IN UINTN Address);
UINT8 MmioWrite8(IN UINTN Address, IN UINT8 Value);

// Copies Length bytes; correct for areas that overlap in either direction.
VOID CopyBytes(OUT VOID *Destination, IN CONST VOID *Source, IN UINTN Length);

// Sets Length bytes at Buffer to Value. Returns Buffer.
VOID *FillBytes(OUT VOID *Buffer, IN UINTN Length, IN UINT8 Value);

// Runs CPUID with Leaf and the sub-leaf in *EcxInOut (required), stores the
// result registers through the non-null pointers and returns EAX.
UINT32 QueryCpuId(IN UINT32 Leaf, OUT UINT32 *EaxOut OPTIONAL, OUT UINT32 *EbxOut OPTIONAL,
                  IN OUT UINT32 *EcxInOut, OUT UINT32 *EdxOut OPTIONAL);

// The processor's time-stamp counter.
UINT64 ReadTimeStampCounter();

// The driver's lifecycle: the image entry that arms it, and the notification
// that does its one job when the trigger interface is installed.
#pragma once

#include "platform/Uefi.h"
#include "smbios/BoardNames.h"

// The board strap inputs: two 8-bit I/O ports.
#define STRAP_PORT_LOW 0x1C0E
#define STRAP_PORT_HIGH 0x1C38

// The two device registers the handler writes back before anything else.
#define WRITE_BACK_REGISTER_A 0xF80E1062ULL
#define WRITE_BACK_REGISTER_B 0xF80E10DFULL

// Reads the four strap bits, each from its own port read, into a code 0 to 15.
BOARD_STRAP_CODE ReadBoardStrapCode();

// Notification of the driver's event: writes the device registers back,
// confirms the trigger, finds the SMBIOS table service and rewrites the
// product name of every System and Baseboard Information structure up to the
// End-of-Table structure, then closes Event. If the trigger cannot be located
// the event stays armed and a later installation runs the whole handler again.
VOID EFIAPI OnTriggerInstalled(IN EFI_EVENT Event, IN VOID *Context);

// Image entry point: records the firmware's tables and arms OnTriggerInstalled
// for installations of the trigger interface. Always returns EFI_SUCCESS so
// the driver stays resident, even if arming failed.
extern "C" EFI_STATUS EFIAPI DriverEntry(IN EFI_HANDLE ImageHandle,
                                         IN EFI_SYSTEM_TABLE *SystemTable);

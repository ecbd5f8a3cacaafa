// The trigger notification: the driver's one job, done once.
#include "driver/Driver.h"
#include "driver/TriggerProtocol.h"
#include "platform/Platform.h"
#include "smbios/ProductName.h"
#include "smbios/StringSet.h"

// The last handle the walk probes when the table has no End-of-Table
// structure; the counter never wraps back to handle 0.
static const UINT16 LastProbedHandle = 0xFFFF;

// The platform requires both registers to be written back with their own
// values on every run; each access is a separate single-byte access, in this order.
static VOID WriteBackDeviceRegisters() {
  UINT8 ValueA = MmioRead8(WRITE_BACK_REGISTER_A);
  UINT8 ValueB = MmioRead8(WRITE_BACK_REGISTER_B);
  MmioWrite8(WRITE_BACK_REGISTER_A, ValueA);
  MmioWrite8(WRITE_BACK_REGISTER_B, ValueB);
  MmioWrite8(WRITE_BACK_REGISTER_A, ValueA);
}

// Probes handles upward from 0, rewriting System and Baseboard Information
// structures, until the End-of-Table structure or the last handle.
static VOID RewriteTable() {
  UINT8 *Structure = nullptr;
  UINT16 Size = 0;
  UINT16 Handle = 0;
  for (;;) {
    EFI_STATUS Status =
        ServiceContext.SmbiosService->ReadStructureByHandle(Handle, &Structure, &Size);
    BOARD_STRAP_CODE Code = ReadBoardStrapCode();
    if (!EFI_ERROR(Status) && Structure != nullptr) {
      CONST SMBIOS_STRUCTURE_HEADER *Header = (CONST SMBIOS_STRUCTURE_HEADER *)Structure;
      if (Header->Type == SMBIOS_TYPE_END_OF_TABLE) {
        return;
      }
      if (Header->Type == SMBIOS_TYPE_SYSTEM_INFORMATION ||
          Header->Type == SMBIOS_TYPE_BASEBOARD_INFORMATION) {
        RewriteProductName(Header->Handle, Structure, Code);
      }
    }
    if (Handle == LastProbedHandle) {
      return;
    }
    Handle++;
  }
}

VOID EFIAPI OnTriggerInstalled(IN EFI_EVENT Event, IN VOID *Context) {
  (VOID) Context;
  WriteBackDeviceRegisters();
  EFI_BOOT_SERVICES *BootServices = ServiceContext.BootServices;
  VOID *Trigger = nullptr;
  if (EFI_ERROR(BootServices->LocateProtocol(&TriggerProtocolGuid, nullptr, &Trigger))) {
    return;
  }
  BootServices->LocateProtocol(&SmbiosServiceGuid, nullptr, (VOID **)&ServiceContext.SmbiosService);
  if (ServiceContext.SmbiosService != nullptr) {
    RewriteTable();
  }
  BootServices->CloseEvent(Event);
}

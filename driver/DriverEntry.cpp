// Image entry: arm the trigger notification and stay resident.
#include "driver/Driver.h"
#include "driver/TriggerProtocol.h"
#include "platform/Platform.h"

extern "C" EFI_STATUS EFIAPI DriverEntry(IN EFI_HANDLE ImageHandle,
                                         IN EFI_SYSTEM_TABLE *SystemTable) {
  InitServiceContext(ImageHandle, SystemTable);
  EFI_BOOT_SERVICES *BootServices = ServiceContext.BootServices;
  EFI_EVENT Event = nullptr;
  EFI_STATUS Status =
      BootServices->CreateEvent(EVT_NOTIFY_SIGNAL, TPL_NOTIFY, OnTriggerInstalled, nullptr, &Event);
  if (!EFI_ERROR(Status)) {
    // The key is not kept: the handler looks the trigger up without it.
    VOID *Registration = nullptr;
    BootServices->RegisterProtocolNotify(&TriggerProtocolGuid, Event, &Registration);
  }
  return EFI_SUCCESS;
}

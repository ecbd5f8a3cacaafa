// The driver-wide record of firmware services.
#include "platform/Platform.h"

SERVICE_CONTEXT ServiceContext;

VOID InitServiceContext(IN EFI_HANDLE ImageHandle, IN EFI_SYSTEM_TABLE *SystemTable) {
  if (ServiceContext.SystemTable != nullptr) {
    return;
  }
  ServiceContext.SystemTable = SystemTable;
  ServiceContext.BootServices = SystemTable->BootServices;
  ServiceContext.RuntimeServices = SystemTable->RuntimeServices;
  ServiceContext.ImageHandle = ImageHandle;
}

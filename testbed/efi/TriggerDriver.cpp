// Testbed-only firmware drivers for the flash image.
//   StrapMarkDriverEntry  reads each strap port once at dispatch, so the port
//                         trace shows it works even in boots where the
//                         driver must read nothing; it is placed before the
//                         trigger in the volume.
//   TriggerAtEntryEntry   marks the same way, then installs the trigger in
//                         its own entry point; placed before the driver in
//                         the volume, it installs too early.
#include "platform/Platform.h"
#include "testbed/efi/InstallTrigger.h"
#include "testbed/efi/TestbedUefi.h"

static VOID MarkStrapTrace() {
  (void)PortRead8(0x1C0E);
  (void)PortRead8(0x1C38);
}

extern "C" EFI_STATUS EFIAPI StrapMarkDriverEntry(IN EFI_HANDLE ImageHandle,
                                                  IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  (void)SystemTable;
  MarkStrapTrace();
  return EFI_SUCCESS;
}

extern "C" EFI_STATUS EFIAPI TriggerAtEntryEntry(IN EFI_HANDLE ImageHandle,
                                                 IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  MarkStrapTrace();
  return InstallTrigger(SystemTable->BootServices);
}

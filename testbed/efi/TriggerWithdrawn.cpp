// Application standing in for a component that installs the trigger
// interface and withdraws it again before any notification can run (it holds
// the TPL at TPL_NOTIFY meanwhile), then installs it for good. The driver's
// notification thus runs once with no trigger present, when the TPL drops,
// and once more on the second installation.
//
// Marks 1, 2 and 3 are written to an unassigned address that the testbed's
// access recorder also watches, before the first phase, between the two and
// after the second, so the recording shows in which phase each of the
// driver's register accesses came.
#include "driver/TriggerProtocol.h"
#include "testbed/efi/Console.h"
#include "testbed/efi/TestbedUefi.h"
#include "testbed/efi/TriggerInterface.h"

static const UINTN PhaseMarkAddress = 0xF80E0000;

static VOID MarkPhase(UINT8 Phase) { *(volatile UINT8 *)PhaseMarkAddress = Phase; }

static VOID PrintStatus(CONST CHAR8 *What, EFI_STATUS Status) {
  Print("trigger-withdrawn: ");
  Print(What);
  Print(" returned ");
  PrintHex(Status, 16);
  Print("\n");
}

extern "C" EFI_STATUS EFIAPI TriggerWithdrawnEntry(IN EFI_HANDLE ImageHandle,
                                                   IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  ConsoleInit(SystemTable);
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;

  VOID *Interface = nullptr;
  EFI_STATUS Status = NewTriggerInterface(BootServices, "trigger-withdrawn", &Interface);
  if (EFI_ERROR(Status)) {
    return Status;
  }

  // Phase 1: install and uninstall while notifications are held back; the
  // queued notification runs inside RestoreTPL, with the trigger gone.
  MarkPhase(1);
  EFI_TPL OldTpl = ((EFI_RAISE_TPL)BootServices->RaiseTPL)(TPL_NOTIFY);
  EFI_HANDLE Handle = nullptr;
  EFI_STATUS Installed = BootServices->InstallProtocolInterface(&Handle, &TriggerProtocolGuid,
                                                                EFI_NATIVE_INTERFACE, Interface);
  EFI_STATUS Uninstalled = EFI_ERROR(Installed) ? Installed
                                                : BootServices->UninstallProtocolInterface(
                                                      Handle, &TriggerProtocolGuid, Interface);
  ((EFI_RESTORE_TPL)BootServices->RestoreTPL)(OldTpl);
  MarkPhase(2);
  PrintStatus("install at TPL_NOTIFY", Installed);
  PrintStatus("uninstall at TPL_NOTIFY", Uninstalled);
  if (EFI_ERROR(Uninstalled)) {
    return Uninstalled;
  }

  // Phase 2: the installation that stays; its notification runs before
  // InstallProtocolInterface returns.
  Handle = nullptr;
  Status = BootServices->InstallProtocolInterface(&Handle, &TriggerProtocolGuid,
                                                  EFI_NATIVE_INTERFACE, Interface);
  MarkPhase(3);
  PrintStatus("install for good", Status);
  return Status;
}

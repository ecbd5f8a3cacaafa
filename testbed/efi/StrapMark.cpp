// Application that reads each board strap port once, in a known order, and
// prints the bytes. Run before the driver, it tells a port-access trace which
// device is which port and shows the strap bytes that the board presents.
#include "platform/X86.h"
#include "testbed/efi/Console.h"

extern "C" EFI_STATUS EFIAPI StrapMarkEntry(IN EFI_HANDLE ImageHandle,
                                            IN EFI_SYSTEM_TABLE *SystemTable) {
  (void)ImageHandle;
  ConsoleInit(SystemTable);
  UINT8 Low = X86In8(0x1C0E);
  UINT8 High = X86In8(0x1C38);
  Print("straps: port 0x1C0E reads ");
  PrintHex(Low, 2);
  Print(", port 0x1C38 reads ");
  PrintHex(High, 2);
  Print("\n");
  return EFI_SUCCESS;
}

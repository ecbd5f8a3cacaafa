// The driver's string-set editing with a planted fault, for one testbed image
// only: after each replacement it writes one 8-byte word 32 bytes past the end
// of the buffer it was handed, the rewrite's pool working copy. A firmware
// with the DXE core's pool guard must stop on it; never in a product image.
#define ReplaceStringInSet ReplaceStringInSetAsShipped
#include "smbios/StringSet.cpp"
#undef ReplaceStringInSet

EFI_STATUS ReplaceStringInSet(IN OUT UINT8 *Structure, IN UINT8 StringNumber,
                              IN CONST CHAR8 *NewString, IN UINTN BufferSize) {
  EFI_STATUS Status = ReplaceStringInSetAsShipped(Structure, StringNumber, NewString, BufferSize);
  *(volatile UINT64 *)(Structure + BufferSize + 32) = 0x4E55525245564F;  // "OVERRUN"
  return Status;
}

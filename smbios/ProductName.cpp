// The product-name rewrite of one structure, in pool memory of its own.
#include "smbios/ProductName.h"

#include "platform/Platform.h"
#include "smbios/StringSet.h"

static const UINT8 ProductNameString = 2;

// Builds the rewritten structure in WorkingCopy; returns its size through NewSize.
static EFI_STATUS BuildRewrite(UINT8 *WorkingCopy, CHAR8 *NameBuffer, CONST UINT8 *Structure,
                               BOARD_STRAP_CODE Code, UINT16 *NewSize) {
  // Bounded by the working copy: an unterminated string-set stops here.
  UINT16 Size = GetStructureSize(Structure, WORKING_COPY_SIZE);
  if (Size == 0) {
    return EFI_BAD_BUFFER_SIZE;
  }
  CopyBytes(WorkingCopy, Structure, Size);
  CONST BOARD_NAME *Board = LookUpBoardName(Code);
  if (Board == nullptr) {
    return EFI_UNSUPPORTED;
  }
  CopyBytes(NameBuffer, Board->Name, Board->Length);
  NameBuffer[Board->Length] = 0;
  EFI_STATUS Status =
      ReplaceStringInSet(WorkingCopy, ProductNameString, NameBuffer, WORKING_COPY_SIZE);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  *NewSize = GetStructureSize(WorkingCopy, WORKING_COPY_SIZE);
  return EFI_SUCCESS;
}

EFI_STATUS RewriteProductName(IN UINT16 Handle, IN CONST UINT8 *Structure,
                              IN BOARD_STRAP_CODE Code) {
  EFI_BOOT_SERVICES *BootServices = ServiceContext.BootServices;
  VOID *WorkingCopy = nullptr;
  VOID *NameBuffer = nullptr;
  EFI_STATUS Status = EFI_OUT_OF_RESOURCES;
  EFI_STATUS CopyStatus =
      BootServices->AllocatePool(EfiBootServicesData, WORKING_COPY_SIZE, &WorkingCopy);
  EFI_STATUS NameStatus =
      BootServices->AllocatePool(EfiBootServicesData, NAME_BUFFER_SIZE, &NameBuffer);
  if (!EFI_ERROR(CopyStatus) && !EFI_ERROR(NameStatus) && WorkingCopy != nullptr &&
      NameBuffer != nullptr) {
    UINT16 NewSize = 0;
    Status = BuildRewrite((UINT8 *)WorkingCopy, (CHAR8 *)NameBuffer, Structure, Code, &NewSize);
    if (!EFI_ERROR(Status)) {
      Status = ServiceContext.SmbiosService->WriteStructureByHandle(
          Handle, (CONST UINT8 *)WorkingCopy, NewSize);
    }
  }
  if (!EFI_ERROR(CopyStatus) && WorkingCopy != nullptr) {
    BootServices->FreePool(WorkingCopy);
  }
  if (!EFI_ERROR(NameStatus) && NameBuffer != nullptr) {
    BootServices->FreePool(NameBuffer);
  }
  return EFI_ERROR(Status) ? Status : EFI_SUCCESS;
}

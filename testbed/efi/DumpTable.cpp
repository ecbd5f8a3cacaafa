// Application that writes the SMBIOS table the firmware publishes to a file on
// its own boot volume, in the layout of a binary table dump: the entry point
// in the first 32 bytes with its table address set to 32 (checksums redone),
// then the structures through End-of-Table. Usage: DumpTable.efi NAME
#include "modules/SmbiosByHandleService/SmbiosTable.h"
#include "platform/Platform.h"
#include "testbed/efi/Console.h"
#include "testbed/efi/TestbedUefi.h"

static EFI_GUID LoadedImageGuid = TESTBED_LOADED_IMAGE_PROTOCOL_GUID;
static EFI_GUID FileSystemGuid = TESTBED_SIMPLE_FILE_SYSTEM_PROTOCOL_GUID;

static CONST UINT32 DumpTableOffset = 32;
static CONST UINTN FileNameCapacity = 64;

// The last word of the command line that the Shell hands over, as the name of
// a file in the volume's root. FALSE when there is no such word or it does
// not fit.
static BOOLEAN TakeFileName(IN EFI_LOADED_IMAGE_PROTOCOL *Image, OUT CHAR16 *Name) {
  CONST CHAR16 *Options = (CONST CHAR16 *)Image->LoadOptions;
  UINTN Count = Image->LoadOptionsSize / sizeof(CHAR16);
  if (Options == nullptr) {
    return FALSE;
  }
  UINTN End = 0;
  while (End < Count && Options[End] != 0) {
    End++;
  }
  while (End > 0 && Options[End - 1] == ' ') {
    End--;
  }
  UINTN Start = End;
  while (Start > 0 && Options[Start - 1] != ' ') {
    Start--;
  }
  // The first word is the application itself.
  if (Start == 0 || End == Start || End - Start + 2 > FileNameCapacity) {
    return FALSE;
  }
  Name[0] = '\\';
  for (UINTN Index = Start; Index < End; Index++) {
    Name[1 + Index - Start] = Options[Index];
  }
  Name[1 + End - Start] = 0;
  return TRUE;
}

// Copies the entry point and points it at the table that follows it.
static VOID BuildHeader(IN CONST PUBLISHED_TABLE *Published, OUT UINT8 *Header) {
  for (UINTN Index = 0; Index < DumpTableOffset; Index++) {
    Header[Index] = 0;
  }
  CopyBytes(Header, Published->EntryPoint, Published->EntryPointLength);
  if (Published->Is64Bit) {
    for (UINTN Index = 0; Index < 8; Index++) {
      Header[16 + Index] = (UINT8)(Index == 0 ? DumpTableOffset : 0);
    }
    Header[5] = 0;
    Header[5] = (UINT8)(0 - SumBytes(Header, Published->EntryPointLength));
  } else {
    for (UINTN Index = 0; Index < 4; Index++) {
      Header[24 + Index] = (UINT8)(Index == 0 ? DumpTableOffset : 0);
    }
    Header[21] = 0;
    Header[21] = (UINT8)(0 - SumBytes(Header + 16, 15));
    Header[4] = 0;
    Header[4] = (UINT8)(0 - SumBytes(Header, Published->EntryPointLength));
  }
}

static EFI_STATUS WriteWhole(IN EFI_FILE_PROTOCOL *File, IN CONST UINT8 *Bytes, IN UINTN Length) {
  UINTN Written = Length;
  EFI_STATUS Status = File->Write(File, &Written, (VOID *)Bytes);
  if (!EFI_ERROR(Status) && Written != Length) {
    Status = EFI_DEVICE_ERROR;
  }
  return Status;
}

static EFI_STATUS WriteDump(IN EFI_FILE_PROTOCOL *Root, IN CHAR16 *Name, IN CONST UINT8 *Header,
                            IN CONST UINT8 *Table, IN UINT32 TableSize) {
  // Open-with-create keeps an existing file's old bytes, so start afresh.
  EFI_FILE_PROTOCOL *File = nullptr;
  if (!EFI_ERROR(Root->Open(Root, &File, Name, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE, 0))) {
    File->Delete(File);
  }
  EFI_STATUS Status = Root->Open(
      Root, &File, Name, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE | EFI_FILE_MODE_CREATE, 0);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Status = WriteWhole(File, Header, DumpTableOffset);
  if (!EFI_ERROR(Status)) {
    Status = WriteWhole(File, Table, TableSize);
  }
  if (!EFI_ERROR(Status)) {
    Status = File->Flush(File);
  }
  EFI_STATUS CloseStatus = File->Close(File);
  return EFI_ERROR(Status) ? Status : CloseStatus;
}

static EFI_STATUS Fail(IN CONST CHAR8 *What, IN EFI_STATUS Status) {
  return PrintFailure("dump", What, Status, EFI_ABORTED);
}

extern "C" EFI_STATUS EFIAPI DumpEntry(IN EFI_HANDLE ImageHandle,
                                       IN EFI_SYSTEM_TABLE *SystemTable) {
  ConsoleInit(SystemTable);
  EFI_BOOT_SERVICES *BootServices = SystemTable->BootServices;

  EFI_LOADED_IMAGE_PROTOCOL *Image = nullptr;
  EFI_STATUS Status = BootServices->HandleProtocol(ImageHandle, &LoadedImageGuid, (VOID **)&Image);
  if (EFI_ERROR(Status)) {
    return Fail("no loaded image", Status);
  }
  CHAR16 Name[FileNameCapacity];
  if (!TakeFileName(Image, Name)) {
    return Fail("usage: DumpTable.efi NAME", EFI_INVALID_PARAMETER);
  }

  PUBLISHED_TABLE Published;
  TABLE_SUMMARY Summary;
  if (!LocatePublishedTable(SystemTable, &Published)) {
    return Fail("no published SMBIOS entry point", EFI_NOT_FOUND);
  }
  if (!SummarizeTable(Published.Table, Published.TableLength, &Summary)) {
    return Fail("published table malformed or without End-of-Table", EFI_VOLUME_CORRUPTED);
  }
  // A 2.x entry point states the table's exact length; keep all of it.
  UINT32 TableSize = Published.Is64Bit ? Summary.Size : Published.TableLength;

  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem = nullptr;
  Status = BootServices->HandleProtocol(Image->DeviceHandle, &FileSystemGuid, (VOID **)&FileSystem);
  if (EFI_ERROR(Status)) {
    return Fail("boot volume has no file system", Status);
  }
  EFI_FILE_PROTOCOL *Root = nullptr;
  Status = FileSystem->OpenVolume(FileSystem, &Root);
  if (EFI_ERROR(Status)) {
    return Fail("cannot open the boot volume", Status);
  }
  UINT8 Header[DumpTableOffset];
  BuildHeader(&Published, Header);
  Status = WriteDump(Root, Name, Header, Published.Table, TableSize);
  Root->Close(Root);
  if (EFI_ERROR(Status)) {
    return Fail("writing the dump failed", Status);
  }
  Print(Published.Is64Bit ? "dump: SMBIOS 3.0 entry point, " : "dump: SMBIOS 2.x entry point, ");
  PrintDecimal(Summary.Count);
  Print(" structures, ");
  PrintDecimal(TableSize);
  Print(" bytes, End-of-Table handle ");
  PrintHex(Summary.EndOfTableHandle, 4);
  Print("\n");
  return EFI_SUCCESS;
}

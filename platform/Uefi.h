// The UEFI types, constants and service tables this firmware uses, written
// from the UEFI 2.x specification. Only what is used is typed; the other
// service-table slots are kept as opaque pointers so that every member sits
// at its standard offset.
#pragma once

typedef unsigned char UINT8;
typedef unsigned short UINT16;
typedef unsigned int UINT32;
typedef unsigned long long UINT64;
typedef signed char INT8;
typedef short INT16;
typedef int INT32;
typedef long long INT64;
typedef UINT64 UINTN;
typedef INT64 INTN;
typedef UINT8 BOOLEAN;
typedef char CHAR8;
typedef unsigned short CHAR16;  // UCS-2; matches -fshort-wchar L"" literals
typedef void VOID;

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;

static_assert(sizeof(UINTN) == 8, "x86-64 only");
static_assert(sizeof(CHAR16) == 2, "UCS-2 characters");

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#define IN
#define OUT
#define OPTIONAL
#define CONST const

// Every UEFI service uses the Microsoft x64 convention. Spelling it out keeps
// host-built test doubles call-compatible with the firmware image.
#define EFIAPI __attribute__((ms_abi))

#define EFI_ERROR_BIT (1ULL << 63)
#define EFIERR(Code) (EFI_ERROR_BIT | (Code))
#define EFI_ERROR(Status) (((EFI_STATUS)(Status)&EFI_ERROR_BIT) != 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR EFIERR(1)
#define EFI_INVALID_PARAMETER EFIERR(2)
#define EFI_UNSUPPORTED EFIERR(3)
#define EFI_BAD_BUFFER_SIZE EFIERR(4)
#define EFI_BUFFER_TOO_SMALL EFIERR(5)
#define EFI_NOT_READY EFIERR(6)
#define EFI_DEVICE_ERROR EFIERR(7)
#define EFI_WRITE_PROTECTED EFIERR(8)
#define EFI_OUT_OF_RESOURCES EFIERR(9)
#define EFI_VOLUME_CORRUPTED EFIERR(10)
#define EFI_NOT_FOUND EFIERR(14)
#define EFI_ACCESS_DENIED EFIERR(15)
#define EFI_ABORTED EFIERR(21)
#define EFI_COMPROMISED_DATA EFIERR(33)

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};

#define TPL_APPLICATION ((EFI_TPL)4)
#define TPL_CALLBACK ((EFI_TPL)8)
#define TPL_NOTIFY ((EFI_TPL)16)
#define TPL_HIGH_LEVEL ((EFI_TPL)31)

#define EVT_TIMER 0x80000000U
#define EVT_RUNTIME 0x40000000U
#define EVT_NOTIFY_WAIT 0x00000100U
#define EVT_NOTIFY_SIGNAL 0x00000200U

enum EFI_MEMORY_TYPE {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
};

enum EFI_INTERFACE_TYPE { EFI_NATIVE_INTERFACE };

enum EFI_LOCATE_SEARCH_TYPE { AllHandles, ByRegisterNotify, ByProtocol };

typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(IN EFI_EVENT Event, IN VOID *Context);

typedef EFI_STATUS(EFIAPI *EFI_ALLOCATE_POOL)(IN EFI_MEMORY_TYPE PoolType, IN UINTN Size,
                                              OUT VOID **Buffer);
typedef EFI_STATUS(EFIAPI *EFI_FREE_POOL)(IN VOID *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT)(IN UINT32 Type, IN EFI_TPL NotifyTpl,
                                             IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                             IN VOID *NotifyContext OPTIONAL, OUT EFI_EVENT *Event);
typedef EFI_STATUS(EFIAPI *EFI_CREATE_EVENT_EX)(IN UINT32 Type, IN EFI_TPL NotifyTpl,
                                                IN EFI_EVENT_NOTIFY NotifyFunction OPTIONAL,
                                                IN CONST VOID *NotifyContext OPTIONAL,
                                                IN CONST EFI_GUID *EventGroup OPTIONAL,
                                                OUT EFI_EVENT *Event);
typedef EFI_STATUS(EFIAPI *EFI_CLOSE_EVENT)(IN EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_SIGNAL_EVENT)(IN EFI_EVENT Event);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_PROTOCOL_INTERFACE)(IN OUT EFI_HANDLE *Handle,
                                                           IN EFI_GUID *Protocol,
                                                           IN EFI_INTERFACE_TYPE InterfaceType,
                                                           IN VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_REINSTALL_PROTOCOL_INTERFACE)(IN EFI_HANDLE Handle,
                                                             IN EFI_GUID *Protocol,
                                                             IN VOID *OldInterface,
                                                             IN VOID *NewInterface);
typedef EFI_STATUS(EFIAPI *EFI_UNINSTALL_PROTOCOL_INTERFACE)(IN EFI_HANDLE Handle,
                                                             IN EFI_GUID *Protocol,
                                                             IN VOID *Interface);
typedef EFI_STATUS(EFIAPI *EFI_HANDLE_PROTOCOL)(IN EFI_HANDLE Handle, IN EFI_GUID *Protocol,
                                                OUT VOID **Interface);
typedef EFI_STATUS(EFIAPI *EFI_REGISTER_PROTOCOL_NOTIFY)(IN EFI_GUID *Protocol, IN EFI_EVENT Event,
                                                         OUT VOID **Registration);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_HANDLE)(IN EFI_LOCATE_SEARCH_TYPE SearchType,
                                              IN EFI_GUID *Protocol OPTIONAL,
                                              IN VOID *SearchKey OPTIONAL, IN OUT UINTN *BufferSize,
                                              OUT EFI_HANDLE *Buffer);
typedef EFI_STATUS(EFIAPI *EFI_INSTALL_CONFIGURATION_TABLE)(IN EFI_GUID *Guid, IN VOID *Table);
typedef EFI_STATUS(EFIAPI *EFI_STALL)(IN UINTN Microseconds);
typedef EFI_STATUS(EFIAPI *EFI_LOCATE_PROTOCOL)(IN EFI_GUID *Protocol,
                                                IN VOID *Registration OPTIONAL,
                                                OUT VOID **Interface);

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  VOID *RaiseTPL;
  VOID *RestoreTPL;
  VOID *AllocatePages;
  VOID *FreePages;
  VOID *GetMemoryMap;
  EFI_ALLOCATE_POOL AllocatePool;
  EFI_FREE_POOL FreePool;
  EFI_CREATE_EVENT CreateEvent;
  VOID *SetTimer;
  VOID *WaitForEvent;
  EFI_SIGNAL_EVENT SignalEvent;
  EFI_CLOSE_EVENT CloseEvent;
  VOID *CheckEvent;
  EFI_INSTALL_PROTOCOL_INTERFACE InstallProtocolInterface;
  EFI_REINSTALL_PROTOCOL_INTERFACE ReinstallProtocolInterface;
  EFI_UNINSTALL_PROTOCOL_INTERFACE UninstallProtocolInterface;
  EFI_HANDLE_PROTOCOL HandleProtocol;
  VOID *Reserved;
  EFI_REGISTER_PROTOCOL_NOTIFY RegisterProtocolNotify;
  EFI_LOCATE_HANDLE LocateHandle;
  VOID *LocateDevicePath;
  EFI_INSTALL_CONFIGURATION_TABLE InstallConfigurationTable;
  VOID *LoadImage;
  VOID *StartImage;
  VOID *Exit;
  VOID *UnloadImage;
  VOID *ExitBootServices;
  VOID *GetNextMonotonicCount;
  EFI_STALL Stall;
  VOID *SetWatchdogTimer;
  VOID *ConnectController;
  VOID *DisconnectController;
  VOID *OpenProtocol;
  VOID *CloseProtocol;
  VOID *OpenProtocolInformation;
  VOID *ProtocolsPerHandle;
  VOID *LocateHandleBuffer;
  EFI_LOCATE_PROTOCOL LocateProtocol;
  VOID *InstallMultipleProtocolInterfaces;
  VOID *UninstallMultipleProtocolInterfaces;
  VOID *CalculateCrc32;
  VOID *CopyMem;
  VOID *SetMem;
  EFI_CREATE_EVENT_EX CreateEventEx;
};

#define EFI_BOOT_SERVICES_OFFSET(Member) __builtin_offsetof(EFI_BOOT_SERVICES, Member)
static_assert(EFI_BOOT_SERVICES_OFFSET(AllocatePool) == 64, "AllocatePool slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(FreePool) == 72, "FreePool slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(CreateEvent) == 80, "CreateEvent slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(SignalEvent) == 104, "SignalEvent slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(CloseEvent) == 112, "CloseEvent slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(InstallProtocolInterface) == 128, "Install slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(ReinstallProtocolInterface) == 136, "Reinstall slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(HandleProtocol) == 152, "HandleProtocol slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(RegisterProtocolNotify) == 168, "Notify slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(Stall) == 248, "Stall slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(LocateProtocol) == 320, "LocateProtocol slot");
static_assert(EFI_BOOT_SERVICES_OFFSET(CreateEventEx) == 368, "CreateEventEx slot");
static_assert(sizeof(EFI_BOOT_SERVICES) == 376, "UEFI 2.x boot services table");

struct EFI_RUNTIME_SERVICES;
struct EFI_SIMPLE_TEXT_INPUT_PROTOCOL;
struct EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL;

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  EFI_SIMPLE_TEXT_INPUT_PROTOCOL *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *ConOut;
  EFI_HANDLE StandardErrorHandle;
  EFI_SIMPLE_TEXT_OUTPUT_PROTOCOL *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};

static_assert(__builtin_offsetof(EFI_SYSTEM_TABLE, ConOut) == 64, "ConOut slot");
static_assert(__builtin_offsetof(EFI_SYSTEM_TABLE, RuntimeServices) == 88, "RT slot");
static_assert(__builtin_offsetof(EFI_SYSTEM_TABLE, BootServices) == 96, "BS slot");
static_assert(sizeof(EFI_SYSTEM_TABLE) == 120, "UEFI 2.x system table");

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_ENTRY_POINT)(IN EFI_HANDLE ImageHandle,
                                                  IN EFI_SYSTEM_TABLE *SystemTable);

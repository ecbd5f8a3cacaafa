#include "bench/BenchServices.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "driver/TriggerProtocol.h"

namespace bench {

static std::vector<std::vector<UINT8>> Held(65536);
static unsigned long long Probes;
static unsigned long long StrapReads;
static EFI_BOOT_SERVICES BootServices;
static EFI_SYSTEM_TABLE SystemTable;
static SMBIOS_TABLE_SERVICE Service;
static int TriggerInterface;
static int Event;
alignas(16) static UINT8 PoolBlocks[2][512];
static unsigned PoolInUse;

static std::vector<UINT8> Structure(UINT8 Type, UINT16 Handle, UINT8 Length,
                                    std::initializer_list<const char *> Strings) {
  std::vector<UINT8> Bytes = {Type, Length, (UINT8)Handle, (UINT8)(Handle >> 8)};
  Bytes.resize(Length, 0x11);
  for (const char *String : Strings) {
    Bytes.insert(Bytes.end(), String, String + std::strlen(String) + 1);
  }
  if (Strings.size() == 0) {
    Bytes.push_back(0);
  }
  Bytes.push_back(0);
  return Bytes;
}

std::vector<UINT8> TypicalSystemInformation() {
  return Structure(1, 0x100, 27,
                   {"QEMU", "Standard PC (Q35 + ICH9, 2009)", "pc-q35-7.2", "", "SKU", "Family"});
}

static EFI_STATUS EFIAPI Read(UINT16 Handle, UINT8 **Bytes, UINT16 *Size) {
  Probes++;
  std::vector<UINT8> &Found = Held[Handle];
  if (Found.empty()) {
    return EFI_NOT_FOUND;
  }
  *Bytes = Found.data();
  *Size = (UINT16)Found.size();
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI Write(UINT16, CONST UINT8 *, UINT16) { return EFI_SUCCESS; }

static EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE, UINTN Size, VOID **Buffer) {
  if (PoolInUse == 2 || Size > sizeof(PoolBlocks[0])) {
    return EFI_OUT_OF_RESOURCES;
  }
  *Buffer = PoolBlocks[PoolInUse++];
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FreePool(VOID *) {
  PoolInUse--;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *Protocol, VOID *, VOID **Interface) {
  if (std::memcmp(Protocol, &TriggerProtocolGuid, sizeof(EFI_GUID)) == 0) {
    *Interface = &TriggerInterface;
  } else {
    *Interface = &Service;
  }
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI CloseEvent(EFI_EVENT) { return EFI_SUCCESS; }

void InstallOvmfShapedTable() {
  for (std::vector<UINT8> &Entry : Held) {
    Entry.clear();
  }
  Held[0x000] = Structure(0, 0x000, 26, {"EFI Development Kit II / OVMF", "0.0.0", "02/06/2015"});
  Held[0x100] = TypicalSystemInformation();
  Held[0x200] = Structure(2, 0x200, 15, {"QEMU", "Standard PC", "pc-q35-7.2", "", ""});
  Held[0x300] = Structure(3, 0x300, 22, {"QEMU", "pc-q35-7.2"});
  Held[0x400] = Structure(4, 0x400, 48, {"CPU 0", "QEMU", "pc-q35-7.2"});
  Held[0x1000] = Structure(16, 0x1000, 23, {});
  Held[0x1100] = Structure(17, 0x1100, 40, {"DIMM 0", "QEMU"});
  Held[0x1300] = Structure(19, 0x1300, 31, {});
  Held[0x2000] = Structure(32, 0x2000, 11, {});
  Held[0xFEFF] = Structure(127, 0xFEFF, 4, {});
}

void InstallLeanFirmware() {
  std::memset(&BootServices, 0, sizeof(BootServices));
  BootServices.AllocatePool = AllocatePool;
  BootServices.FreePool = FreePool;
  BootServices.LocateProtocol = LocateProtocol;
  BootServices.CloseEvent = CloseEvent;
  SystemTable.BootServices = &BootServices;
  Service.ReadStructureByHandle = Read;
  Service.WriteStructureByHandle = Write;
  ServiceContext = {};
  InitServiceContext(nullptr, &SystemTable);
  ServiceContext.SmbiosService = &Service;
  Probes = 0;
  StrapReads = 0;
}

unsigned long long ProbeCount() { return Probes; }
unsigned long long StrapReadCount() { return StrapReads; }
EFI_EVENT WalkEvent() { return &Event; }

}  // namespace bench

// Strap and register backend: fixed values, strap reads counted. Code 4.
UINT8 PortRead8(UINT16 Port) {
  bench::StrapReads++;
  return Port == 0x1C38 ? 0x01 : 0x00;
}
UINT8 MmioRead8(UINTN) { return 0; }
UINT8 MmioWrite8(UINTN, UINT8 Value) { return Value; }
[[noreturn]] static void Unused(const char *What) {
  std::fprintf(stderr, "bench: unexpected %s\n", What);
  std::abort();
}
UINT16 PortRead16(UINT16) { Unused("PortRead16"); }
UINT32 PortRead32(UINT16) { Unused("PortRead32"); }
UINT8 PortWrite8(UINT16, UINT8) { Unused("PortWrite8"); }
UINT16 PortWrite16(UINT16, UINT16) { Unused("PortWrite16"); }
UINT32 PortWrite32(UINT16, UINT32) { Unused("PortWrite32"); }

#include "tests/fakes/FakeBootServices.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/Platform.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeSmbiosService.h"

static FakeFirmware *Instance;

FakeFirmware &Firmware() {
  if (Instance == nullptr) {
    ResetFirmware();
  }
  return *Instance;
}

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) { return std::memcmp(&A, &B, sizeof(A)) == 0; }

FakeEvent *AsFakeEvent(EFI_EVENT Event) { return static_cast<FakeEvent *>(Event); }

size_t PoolLeaks() { return Firmware().LivePool.size(); }

size_t OpenEvents() {
  size_t Open = 0;
  for (auto &Event : Firmware().Events) {
    Open += Event->Closed ? 0 : 1;
  }
  return Open;
}

// Counts a call of the boot service Name and says whether it is one to fail.
static bool Refuse(const char *Name) {
  FakeFirmware &Fw = Firmware();
  unsigned Number = ++Fw.Calls[Name];
  auto Failing = Fw.Failing.find(Name);
  return Failing != Fw.Failing.end() && Failing->second.count(Number) != 0;
}

static std::string Format(const char *Pattern, unsigned long long A, unsigned long long B = 0) {
  char Line[96];
  std::snprintf(Line, sizeof(Line), Pattern, A, B);
  return Line;
}

static EFI_STATUS EFIAPI UnexpectedBootService() { UnexpectedCall("boot service slot"); }

static EFI_STATUS EFIAPI FakeAllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
  CallLog().push_back(Format("AllocatePool(%llu,%llu)", PoolType, Size));
  Firmware().AllocationSizes.push_back(Size);
  bool Refused = Refuse("AllocatePool");  // both counters see every call
  if (ShouldFailNextCall() || Refused) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (Firmware().AllocationSizes.size() == Firmware().NullAllocation) {
    *Buffer = nullptr;
    return EFI_SUCCESS;
  }
  *Buffer = new UINT8[Size];
  std::memset(*Buffer, 0xA5, Size);  // pool memory is not cleared
  Firmware().LivePool.insert(*Buffer);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeFreePool(VOID *Buffer) {
  CallLog().push_back("FreePool");
  if (Refuse("FreePool")) {
    return EFI_INVALID_PARAMETER;
  }
  if (Firmware().LivePool.erase(Buffer) == 0) {
    UnexpectedCall("FreePool of memory that is not pool");
  }
  delete[] static_cast<UINT8 *>(Buffer);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeCreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Notify,
                                         VOID *Context, EFI_EVENT *Event) {
  CallLog().push_back(Format("CreateEvent(0x%llx,%llu)", Type, NotifyTpl));
  FakeFirmware &Fw = Firmware();
  if (Refuse("CreateEvent")) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (EFI_ERROR(Fw.CreateEventStatus)) {
    return Fw.CreateEventStatus;
  }
  Fw.Events.push_back(
      std::unique_ptr<FakeEvent>(new FakeEvent{Type, NotifyTpl, Notify, Context, false, 0}));
  *Event = Fw.Events.back().get();
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeCreateEventEx(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Notify,
                                           CONST VOID *Context, CONST EFI_GUID *Group,
                                           EFI_EVENT *Event) {
  CallLog().push_back(Format("CreateEventEx(%08llx,%llu)", Group ? Group->Data1 : 0, NotifyTpl));
  FakeFirmware &Fw = Firmware();
  Fw.CreateEventExCalls++;
  if (Refuse("CreateEventEx") ||
      (Fw.CreateEventExFailsFrom != 0 && Fw.CreateEventExCalls >= Fw.CreateEventExFailsFrom)) {
    return EFI_OUT_OF_RESOURCES;
  }
  Fw.Events.push_back(std::unique_ptr<FakeEvent>(
      new FakeEvent{Type, NotifyTpl, Notify, const_cast<VOID *>(Context), false, 0}));
  FakeEvent *Made = Fw.Events.back().get();
  Made->InGroup = Group != nullptr;
  Made->Group = Group != nullptr ? *Group : EFI_GUID{};
  *Event = Made;
  return EFI_SUCCESS;
}

static void Deliver(FakeEvent *Event) {
  Event->Pending = false;
  Event->Notify(Event, Event->Context);
}

void SignalEventGroup(const EFI_GUID &Group) {
  FakeFirmware &Fw = Firmware();
  for (size_t Index = 0; Index < Fw.Events.size(); Index++) {
    FakeEvent *Event = Fw.Events[Index].get();
    if (Event->Closed || !Event->InGroup || !SameGuid(Event->Group, Group)) {
      continue;
    }
    Event->Signals++;
    if (Event->NotifyTpl > Fw.Tpl) {
      Deliver(Event);
    } else {
      Event->Pending = true;
    }
  }
}

void LowerTpl(EFI_TPL Tpl) {
  FakeFirmware &Fw = Firmware();
  Fw.Tpl = Tpl;
  for (size_t Index = 0; Index < Fw.Events.size(); Index++) {
    FakeEvent *Event = Fw.Events[Index].get();
    if (Event->Pending && !Event->Closed && Event->NotifyTpl > Tpl) {
      Deliver(Event);
    }
  }
}

static EFI_STATUS EFIAPI FakeCloseEvent(EFI_EVENT Event) {
  CallLog().push_back("CloseEvent");
  FakeEvent *Closing = AsFakeEvent(Event);
  if (Closing == nullptr || Closing->Closed) {
    UnexpectedCall("CloseEvent of an event that is not open");
  }
  if (Refuse("CloseEvent")) {
    return EFI_INVALID_PARAMETER;
  }
  Closing->Closed = true;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeRegisterProtocolNotify(EFI_GUID *Protocol, EFI_EVENT Event,
                                                    VOID **Registration) {
  CallLog().push_back("RegisterProtocolNotify");
  if (Refuse("RegisterProtocolNotify")) {
    return EFI_OUT_OF_RESOURCES;
  }
  Firmware().Notifications.push_back({*Protocol, Event});
  *Registration = Event;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeLocateProtocol(EFI_GUID *Protocol, VOID *Registration,
                                            VOID **Interface) {
  CallLog().push_back(
      Format("LocateProtocol(%08llx,%llu)", Protocol->Data1, Registration != nullptr));
  bool Refused = Refuse("LocateProtocol");
  if (ShouldFailNextCall() || Refused) {
    *Interface = nullptr;
    return EFI_NOT_FOUND;
  }
  for (auto &Entry : Firmware().Interfaces) {
    if (SameGuid(Entry.first, *Protocol)) {
      *Interface = Entry.second;
      return EFI_SUCCESS;
    }
  }
  *Interface = nullptr;
  return EFI_NOT_FOUND;
}

EFI_HANDLE HandleOf(size_t InterfaceIndex) {
  return reinterpret_cast<EFI_HANDLE>(0x2000 + InterfaceIndex);
}

static FakeFirmware &FirmwareOfHandle(EFI_HANDLE Handle, EFI_GUID *Protocol, size_t *Index) {
  FakeFirmware &Fw = Firmware();
  *Index = reinterpret_cast<size_t>(Handle) - 0x2000;
  if (*Index >= Fw.Interfaces.size() || !SameGuid(Fw.Interfaces[*Index].first, *Protocol)) {
    *Index = Fw.Interfaces.size();
  }
  return Fw;
}

static EFI_STATUS EFIAPI FakeLocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol,
                                          VOID *, UINTN *BufferSize, EFI_HANDLE *Buffer) {
  CallLog().push_back("LocateHandle");
  if (SearchType != ByProtocol) {
    UnexpectedCall("LocateHandle other than ByProtocol");
  }
  if (Refuse("LocateHandle")) {
    return EFI_NOT_FOUND;
  }
  std::vector<EFI_HANDLE> Found;
  for (size_t Index = 0; Index < Firmware().Interfaces.size(); Index++) {
    if (SameGuid(Firmware().Interfaces[Index].first, *Protocol)) {
      Found.push_back(HandleOf(Index));
    }
  }
  if (Found.empty()) {
    return EFI_NOT_FOUND;
  }
  UINTN Needed = Found.size() * sizeof(EFI_HANDLE);
  bool Fits = *BufferSize >= Needed;
  *BufferSize = Needed;
  if (!Fits) {
    return EFI_BUFFER_TOO_SMALL;
  }
  std::memcpy(Buffer, Found.data(), Needed);
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeHandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol,
                                            VOID **Interface) {
  CallLog().push_back("HandleProtocol");
  if (Refuse("HandleProtocol")) {
    return EFI_UNSUPPORTED;
  }
  size_t Index = 0;
  FakeFirmware &Fw = FirmwareOfHandle(Handle, Protocol, &Index);
  if (Index == Fw.Interfaces.size()) {
    return EFI_UNSUPPORTED;
  }
  *Interface = Fw.Interfaces[Index].second;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeReinstallProtocolInterface(EFI_HANDLE Handle, EFI_GUID *Protocol,
                                                        VOID *OldInterface, VOID *NewInterface) {
  CallLog().push_back("ReinstallProtocolInterface");
  size_t Index = 0;
  FakeFirmware &Fw = FirmwareOfHandle(Handle, Protocol, &Index);
  if (Refuse("ReinstallProtocolInterface")) {
    return EFI_ACCESS_DENIED;
  }
  if (EFI_ERROR(Fw.ReinstallStatus)) {
    return Fw.ReinstallStatus;
  }
  if (Index == Fw.Interfaces.size() || Fw.Interfaces[Index].second != OldInterface) {
    return EFI_NOT_FOUND;
  }
  Fw.Interfaces[Index].second = NewInterface;
  return EFI_SUCCESS;
}

static EFI_STATUS EFIAPI FakeInstallProtocolInterface(EFI_HANDLE *Handle, EFI_GUID *Protocol,
                                                      EFI_INTERFACE_TYPE, VOID *Interface) {
  CallLog().push_back("InstallProtocolInterface");
  if (Refuse("InstallProtocolInterface")) {
    return EFI_OUT_OF_RESOURCES;
  }
  if (*Handle != nullptr) {
    UnexpectedCall("InstallProtocolInterface on an existing handle");
  }
  *Handle = HandleOf(Firmware().Interfaces.size());
  InstallInterface(*Protocol, Interface);
  return EFI_SUCCESS;
}

void InstallInterface(const EFI_GUID &Guid, VOID *Interface) {
  FakeFirmware &Fw = Firmware();
  Fw.Interfaces.push_back({Guid, Interface});
  for (auto &Entry : Fw.Notifications) {
    FakeEvent *Event = AsFakeEvent(Entry.second);
    if (SameGuid(Entry.first, Guid) && !Event->Closed && Event->Notify != nullptr) {
      Event->Signals++;
      Event->Notify(Event, Event->Context);
    }
  }
}

void ResetFirmware() {
  if (Instance != nullptr) {
    for (VOID *Block : Instance->LivePool) {
      delete[] static_cast<UINT8 *>(Block);
    }
    delete Instance;
  }
  Instance = new FakeFirmware();
  EFI_BOOT_SERVICES &Bs = Instance->BootServices;
  VOID **Slots = reinterpret_cast<VOID **>(reinterpret_cast<UINT8 *>(&Bs) + sizeof(Bs.Hdr));
  for (size_t Slot = 0; Slot < (sizeof(Bs) - sizeof(Bs.Hdr)) / sizeof(VOID *); Slot++) {
    Slots[Slot] = reinterpret_cast<VOID *>(&UnexpectedBootService);
  }
  Bs.AllocatePool = FakeAllocatePool;
  Bs.FreePool = FakeFreePool;
  Bs.CreateEvent = FakeCreateEvent;
  Bs.CreateEventEx = FakeCreateEventEx;
  Bs.CloseEvent = FakeCloseEvent;
  Bs.LocateHandle = FakeLocateHandle;
  Bs.HandleProtocol = FakeHandleProtocol;
  Bs.ReinstallProtocolInterface = FakeReinstallProtocolInterface;
  Bs.InstallProtocolInterface = FakeInstallProtocolInterface;
  Bs.RegisterProtocolNotify = FakeRegisterProtocolNotify;
  Bs.LocateProtocol = FakeLocateProtocol;
  Instance->SystemTable.BootServices = &Bs;
  Instance->SystemTable.RuntimeServices = reinterpret_cast<EFI_RUNTIME_SERVICES *>(0x5000);
}

void ResetServiceFakes() {
  ResetCallLog();
  ResetFirmware();
  ResetSmbiosTable();
  ServiceContext = {};
  InitServiceContext(reinterpret_cast<EFI_HANDLE>(0x1000), &Firmware().SystemTable);
  ServiceContext.SmbiosService = &SmbiosTable().Service;
}

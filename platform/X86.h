// The x86-64 instructions the driver needs, as inline assembly and nothing else.
#pragma once

#include "platform/Uefi.h"

static inline UINT8 X86In8(UINT16 Port) {
  UINT8 Value;
  __asm__ __volatile__("inb %w1, %b0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

static inline UINT16 X86In16(UINT16 Port) {
  UINT16 Value;
  __asm__ __volatile__("inw %w1, %w0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

static inline UINT32 X86In32(UINT16 Port) {
  UINT32 Value;
  __asm__ __volatile__("inl %w1, %0" : "=a"(Value) : "Nd"(Port));
  return Value;
}

static inline VOID X86Out8(UINT16 Port, UINT8 Value) {
  __asm__ __volatile__("outb %b0, %w1" : : "a"(Value), "Nd"(Port));
}

static inline VOID X86Out16(UINT16 Port, UINT16 Value) {
  __asm__ __volatile__("outw %w0, %w1" : : "a"(Value), "Nd"(Port));
}

static inline VOID X86Out32(UINT16 Port, UINT32 Value) {
  __asm__ __volatile__("outl %0, %w1" : : "a"(Value), "Nd"(Port));
}

// The asm outputs write through all four pointers; clang-tidy does not see it.
// NOLINTBEGIN(readability-non-const-parameter)
static inline VOID X86CpuId(UINT32 Leaf, UINT32 SubLeaf, UINT32 *Eax, UINT32 *Ebx, UINT32 *Ecx,
                            UINT32 *Edx) {
  __asm__ __volatile__("cpuid"
                       : "=a"(*Eax), "=b"(*Ebx), "=c"(*Ecx), "=d"(*Edx)
                       : "a"(Leaf), "c"(SubLeaf));
}
// NOLINTEND(readability-non-const-parameter)

// Forward string moves of whole words. Both firmware and host ABIs keep the
// direction flag clear, so these never touch it.
static inline VOID X86RepMovsQ(VOID *Destination, const VOID *Source, UINTN Count) {
  __asm__ __volatile__("rep movsq" : "+D"(Destination), "+S"(Source), "+c"(Count) : : "memory");
}

static inline VOID X86RepStosD(VOID *Destination, UINT32 Value, UINTN Count) {
  __asm__ __volatile__("rep stosl" : "+D"(Destination), "+c"(Count) : "a"(Value) : "memory");
}

static inline UINT64 X86ReadTsc() {
  UINT32 Low;
  UINT32 High;
  __asm__ __volatile__("rdtsc" : "=a"(Low), "=d"(High));
  return ((UINT64)High << 32) | Low;
}

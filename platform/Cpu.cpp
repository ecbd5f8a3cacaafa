// Processor identification and the time-stamp counter.
#include "platform/Platform.h"
#include "platform/X86.h"

UINT32 QueryCpuId(IN UINT32 Leaf, OUT UINT32 *EaxOut, OUT UINT32 *EbxOut, IN OUT UINT32 *EcxInOut,
                  OUT UINT32 *EdxOut) {
  UINT32 Eax;
  UINT32 Ebx;
  UINT32 Ecx;
  UINT32 Edx;
  X86CpuId(Leaf, *EcxInOut, &Eax, &Ebx, &Ecx, &Edx);
  if (EaxOut != nullptr) {
    *EaxOut = Eax;
  }
  if (EbxOut != nullptr) {
    *EbxOut = Ebx;
  }
  *EcxInOut = Ecx;
  if (EdxOut != nullptr) {
    *EdxOut = Edx;
  }
  return Eax;
}

UINT64 ReadTimeStampCounter() { return X86ReadTsc(); }

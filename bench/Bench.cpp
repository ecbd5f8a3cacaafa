// Timings of the driver's hot paths against the C library and per probe.
// scripts/bench runs this and prints the side-by-side table.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/BenchServices.h"
#include "driver/Driver.h"
#include "platform/Platform.h"
#include "smbios/ProductName.h"
#include "tests/fakes/CallLog.h"
#include "tests/fakes/FakeBootServices.h"
#include "tests/fakes/FakeSmbiosService.h"

namespace {

// Offsets of destination and source from an 8-byte boundary, and the
// distance the destination lies above the source for overlapping copies.
enum Layout { Aligned, Misaligned, OverlapDown1, OverlapDown8, OverlapDown13 };

struct Areas {
  UINT8 *Destination;
  UINT8 *Source;
};

alignas(64) UINT8 Arena[3 * 8192];

Areas Place(Layout Kind) {
  UINT8 *Low = Arena;
  UINT8 *High = Arena + 8192;
  switch (Kind) {
    case Aligned: return {High, Low};
    case Misaligned: return {High + 3, Low + 1};
    case OverlapDown1: return {Low + 1, Low};
    case OverlapDown8: return {Low + 8, Low};
    case OverlapDown13: return {Low + 13 + 2, Low + 2};
  }
  return {High, Low};
}

using CopyFunction = void (*)(void *, const void *, size_t);

void DriverCopy(void *To, const void *From, size_t Length) { CopyBytes(To, From, Length); }
void LibraryCopy(void *To, const void *From, size_t Length) { std::memmove(To, From, Length); }

template <CopyFunction Copy>
void BM_Copy(benchmark::State &State) {
  Areas Where = Place((Layout)State.range(1));
  size_t Length = (size_t)State.range(0);
  for (auto _ : State) {
    Copy(Where.Destination, Where.Source, Length);
    benchmark::ClobberMemory();
  }
}

using FillFunction = void (*)(void *, size_t, int);
void DriverFill(void *Buffer, size_t Length, int Value) { FillBytes(Buffer, Length, (UINT8)Value); }
void LibraryFill(void *Buffer, size_t Length, int Value) { std::memset(Buffer, Value, Length); }

template <FillFunction Fill>
void BM_Fill(benchmark::State &State) {
  UINT8 *Buffer = Arena + (State.range(1) == Aligned ? 0 : 3);
  size_t Length = (size_t)State.range(0);
  for (auto _ : State) {
    Fill(Buffer, Length, 0x5A);
    benchmark::ClobberMemory();
  }
}

const std::vector<int64_t> Sizes = {1, 7, 8, 16, 64, 256, 406, 1024, 4096};

void CopyCases(benchmark::internal::Benchmark *Case) {
  for (int64_t Kind : {Aligned, Misaligned, OverlapDown1, OverlapDown8, OverlapDown13}) {
    for (int64_t Size : Sizes) {
      Case->Args({Size, Kind});
    }
  }
}

void FillCases(benchmark::internal::Benchmark *Case) {
  for (int64_t Kind : {Aligned, Misaligned}) {
    for (int64_t Size : Sizes) {
      Case->Args({Size, Kind});
    }
  }
}

BENCHMARK_TEMPLATE(BM_Copy, DriverCopy)->Name("CopyBytes")->Apply(CopyCases);
BENCHMARK_TEMPLATE(BM_Copy, LibraryCopy)->Name("memmove")->Apply(CopyCases);
BENCHMARK_TEMPLATE(BM_Fill, DriverFill)->Name("FillBytes")->Apply(FillCases);
BENCHMARK_TEMPLATE(BM_Fill, LibraryFill)->Name("memset")->Apply(FillCases);

// One rewrite of a typical type 1 structure through the unit tests' fakes
// (pool from the heap, every call logged) and through the lean stand-ins.
void BM_RewriteHostFakes(benchmark::State &State) {
  std::vector<UINT8> Structure = bench::TypicalSystemInformation();
  ResetServiceFakes();
  SmbiosTable().Structures[0x100] = Structure;
  unsigned Round = 0;
  for (auto _ : State) {
    benchmark::DoNotOptimize(RewriteProductName(0x100, Structure.data(), 4));
    if (++Round % 1024 == 0) {  // keep the fakes' records from growing without bound
      CallLog().clear();
      SmbiosTable().Writes.clear();
      Firmware().AllocationSizes.clear();
    }
  }
}
BENCHMARK(BM_RewriteHostFakes)->Name("RewriteProductName/host_fakes");

void BM_RewriteLean(benchmark::State &State) {
  std::vector<UINT8> Structure = bench::TypicalSystemInformation();
  bench::InstallLeanFirmware();
  for (auto _ : State) {
    benchmark::DoNotOptimize(RewriteProductName(0x100, Structure.data(), 4));
  }
}
BENCHMARK(BM_RewriteLean)->Name("RewriteProductName/lean");

// The whole handler over the OVMF-shaped table: 0xFF00 probes.
void BM_Walk(benchmark::State &State) {
  bench::InstallOvmfShapedTable();
  unsigned long long Probes = 0;
  for (auto _ : State) {
    bench::InstallLeanFirmware();
    OnTriggerInstalled(bench::WalkEvent(), nullptr);
    Probes = bench::ProbeCount();
  }
  State.counters["probes"] = (double)Probes;
  State.counters["strap_reads"] = (double)bench::StrapReadCount();
}
BENCHMARK(BM_Walk)->Name("OnTriggerInstalled/ovmf_table")->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

// Runs the handler once over the OVMF-shaped table, for instruction counts
// under callgrind (scripts/bench). Prints the probes made.
#include <cstdio>

#include "bench/BenchServices.h"
#include "driver/Driver.h"

int main() {
  bench::InstallOvmfShapedTable();
  bench::InstallLeanFirmware();
  OnTriggerInstalled(bench::WalkEvent(), nullptr);
  std::printf("probes %llu strap_reads %llu\n", bench::ProbeCount(), bench::StrapReadCount());
  return 0;
}

// smbios_preview CODE < TABLE > TABLE-AFTER
// Runs the driver's trigger notification over an SMBIOS structure table (the
// bytes the entry point addresses) with the straps presenting CODE, and
// writes the table as the driver leaves it, structures in their order; on
// success stderr gets one line, "walk PROBES STRAP-PORT-READS", what the walk cost.
// smbios_preview --names prints the driver's board-name table: "CODE NAME" a line.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <string>

#include "preview/PreviewFirmware.h"
#include "smbios/BoardNames.h"

static int Fail(const std::string &Message) {
  std::fprintf(stderr, "smbios_preview: %s\n", Message.c_str());
  return 1;
}

static int PrintNames() {
  for (UINT8 Code = 0; Code < BOARD_STRAP_CODE_COUNT; Code++) {
    CONST BOARD_NAME *Board = LookUpBoardName(Code);
    if (Board != nullptr) {
      std::printf("%u %.*s\n", Code, (int)Board->Length, Board->Name);
    }
  }
  return 0;
}

int main(int argc, char **argv) {
  if (argc == 2 && std::string(argv[1]) == "--names") {
    return PrintNames();
  }
  char *End = nullptr;
  long Code = argc == 2 ? std::strtol(argv[1], &End, 10) : -1;
  if (argc != 2 || *End != 0 || Code < 0 || Code > 15) {
    return Fail("usage: smbios_preview CODE (0 to 15) < TABLE > TABLE-AFTER");
  }
  std::vector<UINT8> Bytes((std::istreambuf_iterator<char>(std::cin)),
                           std::istreambuf_iterator<char>());
  preview::StructureList Structures;
  std::string Error = preview::SplitTable(Bytes, &Structures);
  if (Error.empty()) {
    Error = preview::RunDriver(&Structures, (UINT8)Code);
  }
  if (!Error.empty()) {
    return Fail(Error);
  }
  for (const std::vector<UINT8> &Structure : Structures) {
    std::fwrite(Structure.data(), 1, Structure.size(), stdout);
  }
  if (std::fflush(stdout) != 0) {
    return Fail("cannot write the table");
  }
  std::fprintf(stderr, "walk %u %u\n", preview::ProbeCount(), preview::StrapPortReadCount());
  return 0;
}

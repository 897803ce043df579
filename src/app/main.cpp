#include "app/ProbeCommand.h"

#include <cstdio>

int main(int argc, char** argv) {
  if (const auto status = tavro::RunCommandLine(argc, argv)) {
    return *status;
  }
  std::printf("Tavro %s: the core is built; the main window comes in a later release.\n",
              TAVRO_VERSION);
  return 0;
}

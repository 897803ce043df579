// The server programs the fixtures run: started with no input, their output
// where the fixture wants it, in a process group of their own so that what
// they fork ends with them.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tavro::test {

// args[0] is looked up on PATH unless it holds a slash; -1 where it cannot
// start.
pid_t SpawnProcess(const std::vector<std::string>& args, int out, int errors);
// Asks the group to end, kills it after `grace`, and reaps the process.
void EndProcessGroup(pid_t pid, std::chrono::milliseconds grace);

}  // namespace tavro::test

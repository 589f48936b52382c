// Running the built vesk program from end-to-end tests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vesktest {

// The built vesk program, relative to the test binary's directory.
std::string VeskProgram();
// Runs a program with its output (stdout and stderr) in a file; returns the
// exit status. interruptAfterMs >= 0 sends SIGINT after that long;
// addressSpaceBytes > 0 caps the program's address space (ulimit -v), so
// that a large allocation fails.
int RunProgram(const std::vector<std::string>& args, const std::string& outputFile, int interruptAfterMs = -1,
               uint64_t addressSpaceBytes = 0);

}  // namespace vesktest

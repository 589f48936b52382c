// Running the built vesk program from end-to-end tests.
#pragma once

#include <string>
#include <vector>

namespace vesktest {

// The built vesk program, relative to the test binary's directory.
std::string VeskProgram();
// Runs a program with its output (stdout and stderr) in a file; returns the
// exit status. interruptAfterMs >= 0 sends SIGINT after that long.
int RunProgram(const std::vector<std::string>& args, const std::string& outputFile, int interruptAfterMs = -1);

}  // namespace vesktest

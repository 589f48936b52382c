// Running the built vesk program from end-to-end tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vesktest {

class TempDir;

// The built vesk program, relative to the test binary's directory.
std::string VeskProgram();
// Runs a program with its output (stdout and stderr) in a file; returns the
// exit status. interruptWhen, when given, is asked while the program runs
// and SIGINT sent once it holds; addressSpaceBytes > 0 caps the program's
// address space (ulimit -v), so that a large allocation fails.
int RunProgram(const std::vector<std::string>& args, const std::string& outputFile,
               const std::function<bool()>& interruptWhen = nullptr, uint64_t addressSpaceBytes = 0);

// What a vesk run printed on standard output, from its output with both
// streams in one file: the "vesk: " lines before it (standard error's, such
// as where a file's index was written) dropped.
std::string Answer(const std::string& output);

// Runs vesk serve (args follow the program's name) with its output in
// outputFile; once it prints its "serving URL" line, calls whileServing with
// the URL and then sends SIGINT. Returns the exit status; whileServing is not
// called when vesk ends without serving.
int RunServe(const std::vector<std::string>& args, const std::string& outputFile,
             const std::function<void(const std::string& url)>& whileServing);

// Runs the built vesk with args, its output in a file of dir; returns the
// exit status and, when output is given, what it printed.
int RunVesk(const TempDir& dir, std::vector<std::string> args, std::string* output);

// The bytes a zstd file (FILE.zst as vesk saves it) decodes to; throws
// vesk::ClientError when it is not whole zstd.
std::string ZstdFileText(const std::string& path);

// What a program run on a terminal of its own (a pseudo-terminal for its
// input and both outputs) showed, and how it ended.
struct TerminalRun {
    int status = -1;                  // exit status as RunProgram's; -1 when killed after a minute
    std::string shown;                // every byte written to the terminal
    double secondsAfterInterrupt = -1;  // from SIGINT to the end; -1 when none was sent
};
// Runs a program on a pseudo-terminal; sends SIGINT once the terminal shows
// interruptOn (never when empty).
TerminalRun RunOnTerminal(const std::vector<std::string>& args, const std::string& interruptOn);

}  // namespace vesktest

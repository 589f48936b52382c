// A program started as a child process for end-to-end tests. Its output
// and its temporary files (TEMP, TMP, TMPDIR, unless env says otherwise) go
// to a private directory, which is also its working directory; the
// destructor kills it by PID.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "TempDir.h"

namespace vesktest {

class ChildProcess {
public:
    // args[0] is the program's path; env entries are "NAME=value".
    explicit ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid; }
    const TempDir& Dir() const { return dir; }
    // Exit status (or 128+signal); -1 when it did not end in time.
    int WaitExit(int timeoutMs);
    bool Running();
    void Kill();
    std::string Stdout() const { return ReadFile(dir.File("stdout.txt")); }
    std::string Stderr() const { return ReadFile(dir.File("stderr.txt")); }
    // Waits until the process's stdout contains text.
    bool WaitForOutput(const std::string& text, int timeoutMs);

private:
    TempDir dir;
    pid_t pid = -1;
    int status = -1;
};

}  // namespace vesktest

// A JVM started as a child process for end-to-end tests. Its output and its
// temporary files (TEMP, TMP, TMPDIR, unless env says otherwise) go to a
// private directory; the destructor kills it by PID.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "Ports.h"
#include "TempDir.h"

namespace vesktest {

// The JDK under test: $VESK_TEST_JDK, else the default JDK 17.
std::string TestJdk();
// The major version of that JDK (17, 25, ...).
int TestJdkMajor();

class JavaProcess {
public:
    // jvmArgs go before the main class, e.g. "-agentpath:lib=port=1".
    JavaProcess(const std::vector<std::string>& jvmArgs, const std::string& mainClass,
                const std::vector<std::string>& programArgs = {},
                const std::vector<std::string>& env = {});
    ~JavaProcess();
    JavaProcess(const JavaProcess&) = delete;
    JavaProcess& operator=(const JavaProcess&) = delete;

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

// "-agentpath:<built agent>=<options>"
std::string AgentArg(const std::string& options);

// Bytes per class in the JVM's own class histogram (jcmd GC.class_histogram
// of the test JDK), by the JVM's class names ("[B", "java.lang.String");
// empty when jcmd fails. jcmd's output goes to outputFile.
std::map<std::string, int64_t> JvmHistogram(pid_t pid, const std::string& outputFile);

struct ClassFigures {
    int64_t instances = 0;
    int64_t bytes = 0;
};
// The JVM's class histogram by Java names ("byte[]", "java.lang.String[]"),
// rows of the same name added up; all: -all (no collection first, every
// object counted). Empty when jcmd fails; its output goes to outputFile.
std::map<std::string, ClassFigures> JvmClassHistogram(pid_t pid, const std::string& outputFile, bool all);

}  // namespace vesktest

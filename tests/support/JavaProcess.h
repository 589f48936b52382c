// A JVM of the test JDK started as a child process for end-to-end tests,
// with the Java fixtures on its class path.
#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "Ports.h"
#include "TempDir.h"

namespace vesktest {

// The JDK under test: $VESK_TEST_JDK, else the default JDK 17.
std::string TestJdk();
// The major version of that JDK (17, 25, ...).
int TestJdkMajor();

class JavaProcess : public ChildProcess {
public:
    // jvmArgs go before the main class, e.g. "-agentpath:lib=port=1".
    JavaProcess(const std::vector<std::string>& jvmArgs, const std::string& mainClass,
                const std::vector<std::string>& programArgs = {},
                const std::vector<std::string>& env = {});
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

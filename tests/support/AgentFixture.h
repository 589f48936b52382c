// A fixture JVM with the agent on a free loopback port, its log at a level
// of the test's choosing in a private directory: ready once the
// fixture has printed its ready line and the port accepts. The JavaProcess
// kills the JVM by PID when the object goes.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "JavaProcess.h"
#include "TempDir.h"
#include "protocol/VeskClient.h"

namespace vesktest {

class AgentFixture {
public:
    // agentOptions are added to port, address and cfgfile.
    AgentFixture(const std::string& mainClass, const std::vector<std::string>& programArgs,
                 const std::string& readyLine, const std::string& agentOptions = "",
                 const std::string& logLevel = "INFO", const std::vector<std::string>& jvmArgs = {});

    bool Ready() const { return ready; }
    int Port() const { return port; }
    pid_t Pid() const { return jvm->Pid(); }
    JavaProcess& Jvm() { return *jvm; }
    // A path in a private directory of the test's.
    std::string File(const std::string& name) const { return dir.File(name); }
    std::string Log() const;
    // Waits until the agent's log holds text.
    bool WaitForLog(const std::string& text, int timeoutMs) const;
    // A connection the agent serves, again while it still serves the one before.
    vesk::VeskClient Connect();
    // Runs vesk --port PORT args, output into out, again while it is rejected (4).
    int Vesk(std::vector<std::string> args, const std::string& out,
             const std::function<bool()>& interruptWhen = nullptr);

private:
    TempDir dir;  // the agent's configuration and log
    int port;
    std::unique_ptr<JavaProcess> jvm;
    bool ready = false;
};

}  // namespace vesktest

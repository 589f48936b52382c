#include "AgentFixture.h"

#include <chrono>
#include <thread>

#include "Ports.h"
#include "TempDir.h"
#include "VeskProgram.h"

namespace vesktest {

namespace {

constexpr int RETRIES = 50;
constexpr std::chrono::milliseconds RETRY_WAIT(100);

}  // namespace

AgentFixture::AgentFixture(const std::string& mainClass, const std::vector<std::string>& programArgs,
                           const std::string& readyLine, const std::string& agentOptions,
                           const std::string& logLevel, const std::vector<std::string>& jvmArgs)
    : port(FreePort()) {
    std::string config = dir.Write("agent.properties", "vesk.agent.log.level=" + logLevel +
                                                           "\nvesk.agent.log.file=" + dir.File("agent.log") + "\n");
    std::string options = "port=" + std::to_string(port) + ",address=127.0.0.1,cfgfile=" + config;
    if (!agentOptions.empty()) options += "," + agentOptions;
    std::vector<std::string> args{AgentArg(options), "-Xmx1g"};
    args.insert(args.end(), jvmArgs.begin(), jvmArgs.end());
    jvm = std::make_unique<JavaProcess>(args, mainClass, programArgs);
    ready = jvm->WaitForOutput(readyLine, 60000) && WaitForPort(port, 30000);
}

std::string AgentFixture::Log() const { return ReadFile(dir.File("agent.log")); }

bool AgentFixture::WaitForLog(const std::string& text, int timeoutMs) const {
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        if (Log().find(text) != std::string::npos) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

vesk::VeskClient AgentFixture::Connect() {
    for (int attempt = 0;; attempt++) {
        vesk::VeskClient client;
        client.Connect("127.0.0.1", port);
        client.SetReadTimeout(300000);
        try {
            client.Request(vesk::VeskClient::BuildRequest({"RUNTIME"}, "sync"));
            return client;
        } catch (const vesk::ClientError& e) {
            if (e.Kind() != vesk::ErrorKind::Rejected || attempt == RETRIES) throw;
        }
        std::this_thread::sleep_for(RETRY_WAIT);
    }
}

int AgentFixture::Vesk(std::vector<std::string> args, const std::string& out,
                       const std::function<bool()>& interruptWhen) {
    args.insert(args.begin(), {VeskProgram(), "--port", std::to_string(port)});
    for (int attempt = 0;; attempt++) {
        int status = RunProgram(args, out, interruptWhen);
        if (status != 4 || attempt == RETRIES) return status;
        std::this_thread::sleep_for(RETRY_WAIT);
    }
}

}  // namespace vesktest

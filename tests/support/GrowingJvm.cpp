#include "GrowingJvm.h"

#include "Ports.h"
#include "VeskProgram.h"

namespace vesktest {

GrowingJvm::GrowingJvm(const std::string& mainClass, const std::string& word)
    : word(word),
      port(FreePort()),
      jvm({AgentArg("port=" + std::to_string(port) + ",address=127.0.0.1"), "-Xmx256m"}, mainClass,
          {trigger.File("grow")}) {}

std::string GrowingJvm::Save(const std::string& state) {
    std::string out;
    for (const char* ext : {".vsnap", ".hprof"}) {
        const char* command = ext[1] == 'v' ? "snapshot" : "dump";
        if (RunVesk(Dir(), {"--port", std::to_string(port), command, "-o", File(state + ext)}, &out) != 0)
            return std::string("vesk ") + command + " " + state + ": " + out;
    }
    return "";
}

std::string GrowingJvm::Take() {
    std::string failed;
    if (!jvm.WaitForOutput(word + " ready", 60000) || !WaitForPort(port, 30000))
        failed = "not ready: " + jvm.Stderr();
    if (failed.empty()) failed = Save("before");
    if (failed.empty()) {
        trigger.Write("grow", "");
        if (!jvm.WaitForOutput(word + " grown", 60000)) failed = "not grown: " + jvm.Stderr();
    }
    if (failed.empty()) failed = Save("after");
    jvm.Kill();
    return failed;
}

}  // namespace vesktest

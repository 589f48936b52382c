// vesk runtime: processors, heap totals, class and thread counts, and the
// agent's version.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "VeskProtocol.h"
#include "cli/Commands.h"

namespace wire = Orlo::Protocol;

namespace vesk {

static std::string Describe(const Prop& prop) {
    int64_t value = strtoll(prop.value.c_str(), nullptr, 10);
    char text[96];
    if (prop.name.find("heap") != std::string::npos) {
        snprintf(text, sizeof text, "%s (%.1f MiB)", prop.value.c_str(), value / 1048576.0);
    } else if (prop.name == "rt-time") {
        time_t seconds = static_cast<time_t>(value / 1000);
        tm local{};
        localtime_r(&seconds, &local);
        char when[32];
        strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", &local);
        snprintf(text, sizeof text, "%s.%03d (%s)", when, static_cast<int>(value % 1000), prop.value.c_str());
    } else {
        return prop.value;
    }
    return text;
}

static void RunRuntime(const Options& options) {
    AuthOutcome auth;
    std::vector<Frame> frames = RunRequest(options, VeskClient::BuildRequest({wire::CMD_RUNTIME, wire::CMD_VERSION}),
                                           options.raw ? nullptr : &auth, wire::CMD_VERSION);
    if (options.raw) return;
    std::vector<Prop> props = CommandProps(frames.front().Body(), wire::CMD_RUNTIME);
    Prop version{"agent-version", "unknown (an agent older than the VERSION request)"};
    for (const Frame& frame : frames)
        for (const Prop& prop : CommandProps(frame.Body(), wire::CMD_VERSION))
            if (prop.name == wire::PROP_VERSION) version.value = prop.value;
    props.push_back(version);
    size_t width = 0;
    for (const Prop& prop : props) width = std::max(width, prop.name.size());
    for (const Prop& prop : props)
        printf("%-*s  %s\n", static_cast<int>(width), prop.name.c_str(), Describe(prop).c_str());
    // Every 127.x.x.x address is the loopback interface.
    if (!auth.keyed && !auth.listen.empty() && auth.listen.rfind("127.", 0) != 0)
        printf("warning: unauthenticated, listening on %s; give the agent address=127.0.0.1 or auth=FILE\n",
               auth.listen.c_str());
}

static CommandRegistration registration("runtime", "processors, heap totals, classes and threads", RunRuntime);

}  // namespace vesk

// vesk props: the JVM's system properties, sorted, as key=value lines.
#include <algorithm>
#include <cstdio>

#include "Commands.h"

namespace vesk {

static int RunProps(const Options& options, const std::vector<std::string>& args) {
    if (!args.empty()) return Fail(EXIT_USAGE, "props takes no arguments");
    std::vector<Frame> frames = RunRequest(options, VeskClient::BuildRequest({"SYSTEM_PROPS"}));
    std::string error;
    if (FirstError(frames, &error)) return Fail(EXIT_AGENT_ERROR, "the agent reported: " + error);
    if (options.raw) return EXIT_OK;
    std::vector<Prop> props = CommandProps(frames.front().Body(), "SYSTEM_PROPS");
    std::sort(props.begin(), props.end(), [](const Prop& a, const Prop& b) { return a.name < b.name; });
    for (const Prop& prop : props) printf("%s=%s\n", prop.name.c_str(), prop.value.c_str());
    return EXIT_OK;
}

static CommandRegistration registration({"props", "", "system properties, sorted, as key=value", RunProps});

}  // namespace vesk

// vesk props: the JVM's system properties, sorted, as key=value lines.
#include <algorithm>
#include <cstdio>
#include <string>

#include "cli/Commands.h"

namespace vesk {

// One property per line: line ends and other control characters (as in
// line.separator) are shown as escapes, the way a properties file writes them.
static std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else if (c < 0x20 || c == 0x7f) {
            char code[8];
            snprintf(code, sizeof code, "\\u%04x", c);
            out += code;
        } else out += static_cast<char>(c);
    }
    return out;
}

static void RunProps(const Options& options) {
    std::vector<Frame> frames = RunRequest(options, VeskClient::BuildRequest({"SYSTEM_PROPS"}));
    if (options.raw) return;
    std::vector<Prop> props = CommandProps(frames.front().Body(), "SYSTEM_PROPS");
    std::sort(props.begin(), props.end(), [](const Prop& a, const Prop& b) { return a.name < b.name; });
    for (const Prop& prop : props) printf("%s=%s\n", Printable(prop.name).c_str(), Printable(prop.value).c_str());
}

static CommandRegistration registration("props", "system properties, sorted, as key=value", RunProps);

}  // namespace vesk

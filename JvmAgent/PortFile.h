// Where an agent loaded into a running JVM serves, told to the JVM's own
// user: "ADDRESS PORT\n" in /tmp/.veskjagent_<pid> (the pid as the JVM sees
// itself, so that a JVM in a container is found through /proc/PID/root),
// mode 0600, removed with the agent's other temporary files. Linux only.
#pragma once

#include <string>

namespace Orlo {

class PortFile {
public:
    static constexpr const char* PREFIX = "/tmp/.veskjagent_";

    // Writes the file, replacing one left by an earlier process of the same
    // pid. A failure is logged and otherwise ignored: the agent serves
    // whether or not it can be found this way. Never throws.
    static void Write(const std::string& address, int port);
};

}  // namespace Orlo

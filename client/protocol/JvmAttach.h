// HotSpot's dynamic attach, spoken by the client itself (Linux): no JDK tool
// is needed on the host. The target may live in another PID and mount
// namespace (a container); its files are reached through /proc/PID/root and
// named with its namespace pid. Every failure is thrown as a ClientError
// whose message says what to do; no call waits longer than the timeout, and
// no file of ours stays in the target's directories.
#pragma once

#include <sys/types.h>

#include <string>

namespace vesk {

// Agent_OnAttach's answer when the agent already serves the JVM: this marker
// in the high half, the serving port in the low half.
constexpr int ATTACH_ALREADY_LOADED = 0x56450000;

struct AttachOutcome {
    int returnCode = 0;  // Agent_OnAttach's result
    bool AlreadyLoaded() const { return (returnCode & 0xFFFF0000) == ATTACH_ALREADY_LOADED; }
    int ServingPort() const { return returnCode & 0xFFFF; }
};

// Where the agent that vesk attach loaded into process pid serves, as that
// agent wrote it into the target's /tmp (named with its namespace pid).
// Throws NoProcess when there is no such process, NotListening when no
// agent left the file (or one not of the target's user), AttachFailed when
// this user may not read it.
struct AttachedEndpoint {
    std::string address;
    int port = 0;
};
AttachedEndpoint FindAttachedAgent(pid_t pid);

class JvmAttach {
public:
    // Reads what the target is (its namespace pid, user, root); throws
    // NoProcess when there is no such process or it is no HotSpot JVM,
    // AttachFailed when it runs as another user or refuses attaching.
    JvmAttach(pid_t pid, int timeoutMs);

    // Loads the agent library (absolute path on this host) with its options.
    // Run as root, the process takes the target's user and group first, for
    // good. A library the target cannot see at that path is copied into its
    // temporary directory for the load and removed afterwards. Throws
    // AttachFailed when the JVM does not answer or cannot load the library,
    // AgentReported when Agent_OnAttach fails (quoting the agent's log line
    // when it can be read).
    AttachOutcome LoadAgent(const std::string& library, const std::string& options);

    // The IPv4 address a socket of the target's network namespace listens on
    // at port, "" when none does.
    std::string ListeningAddress(int port) const;

    pid_t NamespacePid() const { return nspid; }

private:
    // The socket of the attach listener, started with the trigger file and
    // SIGQUIT when it is not there yet.
    int ConnectListener();
    std::string LastAgentError(const std::string& library) const;

    pid_t pid;
    pid_t nspid;
    uid_t uid;
    gid_t gid;
    int timeoutMs;
    std::string root;  // "/proc/PID/root"
};

}  // namespace vesk

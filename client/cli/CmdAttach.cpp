// vesk attach: loads the agent into a running JVM through HotSpot's attach
// mechanism (Linux), then says where it serves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "AuthKey.h"
#include "cli/Commands.h"
#include "protocol/JvmAttach.h"

namespace vesk {

namespace {

const int DEFAULT_ATTACH_TIMEOUT_MS = 10000;

struct AttachArgs {
    int pid = 0;
    std::string address = "127.0.0.1";
    std::string agent;
    std::vector<std::string> agentOptions;
};

// The agent of the install tree vesk comes from: <prefix>/bin/vesk and
// <prefix>/JvmAgent/lib/; a system install's <prefix>/lib/vesk/ (the Debian
// package's /usr/lib/vesk/); in the build tree, the one beside client/.
std::string DefaultAgent() {
    char self[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) throw ClientError(ErrorKind::File, "cannot find vesk's own path; give --agent");
    std::string dir(self, static_cast<size_t>(length));
    dir.erase(dir.rfind('/'));
    std::string prefix = dir.substr(0, dir.rfind('/') + 1);
    for (const std::string& candidate :
         {prefix + "JvmAgent/lib/libveskjagent.so", prefix + "lib/vesk/libveskjagent.so", prefix + "libveskjagent.so"})
        if (access(candidate.c_str(), R_OK) == 0) return candidate;
    throw ClientError(ErrorKind::File, "no " + prefix + "JvmAgent/lib/libveskjagent.so; give --agent");
}

std::string AbsolutePath(const std::string& path) {
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved))
        throw ClientError(ErrorKind::File, "cannot find the agent library " + path + ": " + strerror(errno));
    return resolved;
}

// A port nothing listens on at address now; the agent binds it a moment later.
int FreePort(const std::string& address) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    socklen_t size = sizeof bound;
    bool found = fd >= 0 && inet_pton(AF_INET, address.c_str(), &bound.sin_addr) == 1 &&
                 bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) == 0 &&
                 getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) == 0;
    if (fd >= 0) close(fd);
    if (!found) throw UsageError("cannot find a free port on " + address + "; give --port");
    return ntohs(bound.sin_port);
}

void RunAttach(const Options& options, const AttachArgs& args) {
    std::string agentOptions;
    for (const std::string& item : args.agentOptions) {
        if (item.rfind("port=", 0) == 0 || item.find(",port=") != std::string::npos ||
            item.rfind("address=", 0) == 0 || item.find(",address=") != std::string::npos)
            throw UsageError("give the port and address as --port and --address, not among the agent options");
        agentOptions += "," + item;
    }
    if (!options.authFile.empty()) {
        // Checked here too, for a clear message; the agent checks it again as the JVM's user.
        Orlo::AuthKey key;
        if (Orlo::Error error = Orlo::AuthKey::Load(options.authFile, key))
            throw ClientError(ErrorKind::File, error.Message());
        std::string path = AbsolutePath(options.authFile);
        if (path.find(',') != std::string::npos)
            throw UsageError("the key file's path holds a comma, which ends an agent option: " + path);
        agentOptions += ",auth=" + path;
        if (options.tls) agentOptions += ",tls=on";
    } else if (options.tls) {
        throw UsageError("--tls needs --auth FILE: TLS is keyed by the agent's key");
    }
    std::string library = AbsolutePath(args.agent.empty() ? DefaultAgent() : args.agent);
    int timeoutMs = options.timeoutGiven ? options.timeoutMs : DEFAULT_ATTACH_TIMEOUT_MS;
    JvmAttach target(args.pid, timeoutMs > 0 ? timeoutMs : 24 * 3600 * 1000);
    int port = options.portGiven ? options.port : FreePort(args.address == "0.0.0.0" ? "127.0.0.1" : args.address);
    AttachOutcome outcome =
        target.LoadAgent(library, "port=" + std::to_string(port) + ",address=" + args.address + agentOptions);
    if (outcome.AlreadyLoaded()) {
        std::string address = target.ListeningAddress(outcome.ServingPort());
        printf("already loaded, serving %s:%d\n", address.empty() ? "?" : address.c_str(), outcome.ServingPort());
        return;
    }
    printf("agent loaded into %d, serving %s:%d\n", args.pid, args.address.c_str(), port);
}

CommandRun DefineAttach(CLI::App& command) {
    auto args = std::make_shared<AttachArgs>();
    command.add_option("PID", args->pid, "process id of the JVM (as seen from here)")
        ->required()
        ->check(DecimalRange(1, INT_MAX));
    command.add_option("--address", args->address, "IPv4 address the agent listens on (default 127.0.0.1)")
        ->option_text("ADDRESS")
        ->check(NonEmpty);
    command.add_option("--agent", args->agent,
                       "agent library (default: JvmAgent/lib/libveskjagent.so of vesk's install tree, or "
                       "lib/vesk/libveskjagent.so beside a system install's bin/)")
        ->option_text("PATH")
        ->check(NonEmpty);
    command.add_option("AGENT_OPTIONS", args->agentOptions,
                       "after --: agent options, as after -agentpath:...= (joined with commas; relative paths "
                       "in them are the JVM's)");
    command.footer(
        "--port and --timeout are vesk's common options. Without --port the agent gets a free port;\n"
        "--timeout (default 10 here) bounds the wait for the JVM.\n"
        "Linux only; the JVM must run as this user (or vesk as root). A JVM in a container is reached\n"
        "through /proc/PID/root, the agent library copied into its /tmp for the load when needed.\n"
        "An agent already loaded is reported as such, with where it serves (exit status 0).\n"
        "Then vesk --pid PID COMMAND finds the agent without its port.\n"
        "--auth FILE (or VESK_AUTH) gives the agent that key (auth=FILE, as an absolute path): every\n"
        "client then needs --auth with the same file. With --tls as well, the agent speaks TLS only\n"
        "(tls=on), keyed by that file.\n"
        "Example: vesk attach 1234 -- idle=600 && vesk --pid 1234 runtime");
    return [args](const Options& options) { RunAttach(options, *args); };
}

CommandRegistration registration("attach", "load the agent into a running JVM (Linux; no JDK needed)",
                                  DefineAttach);

}  // namespace

}  // namespace vesk

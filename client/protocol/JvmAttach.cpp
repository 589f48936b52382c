#include "protocol/JvmAttach.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "base/ClientError.h"

namespace vesk {

namespace {

// HotSpot's limit for one argument of an attach request (protocol 1).
const size_t ARG_LENGTH_MAX = 1024;
const int POLL_STEP_MS = 20;

using Clock = std::chrono::steady_clock;

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

// The value of "Name:\t..." in /proc/PID/status, "" when absent.
std::string StatusField(const std::string& status, const std::string& name) {
    size_t at = status.find("\n" + name + ":");
    if (at == std::string::npos) return "";
    at += name.size() + 2;
    size_t end = status.find('\n', at);
    return status.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

std::vector<long> Numbers(const std::string& text) {
    std::vector<long> numbers;
    std::istringstream in(text);
    for (long n; in >> n;) numbers.push_back(n);
    return numbers;
}

std::string Errno() { return strerror(errno); }

ClientError AttachError(const std::string& message) { return ClientError(ErrorKind::AttachFailed, message); }

int RemainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Removes a file of ours from the target's directories, whatever happens.
class FileRemover {
public:
    FileRemover() = default;
    ~FileRemover() {
        if (!path.empty()) unlink(path.c_str());
    }
    FileRemover(const FileRemover&) = delete;
    FileRemover& operator=(const FileRemover&) = delete;
    std::string path;
};

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int fd;
};

// The last line the agent logged as an error, its message only.
std::string LastErrorLine(const std::string& log) {
    std::string found;
    std::istringstream in(log);
    for (std::string line; std::getline(in, line);) {
        size_t at = line.find("ERROR]: ");
        if (at != std::string::npos) found = line.substr(at + 8);
    }
    return found;
}

// Is the last of the options the JVM was given -XX:+DisableAttachMechanism?
bool AttachDisabled(const std::string& options) {
    size_t on = options.rfind("-XX:+DisableAttachMechanism");
    size_t off = options.rfind("-XX:-DisableAttachMechanism");
    return on != std::string::npos && (off == std::string::npos || off < on);
}

struct ProcessIds {
    pid_t nspid;
    uid_t uid;  // effective ids: the JVM accepts only a peer with these
    gid_t gid;
};

// The ids of process pid from /proc/PID/status: its pid in its own namespace
// (the last of NSpid), its user and group.
ProcessIds ReadIds(pid_t pid) {
    std::string status;
    if (pid <= 0 || !ReadText("/proc/" + std::to_string(pid) + "/status", status) || status.empty())
        throw ClientError(ErrorKind::NoProcess, "no process " + std::to_string(pid) + " (check the PID)");
    status.insert(0, "\n");
    ProcessIds ids{pid, 0, 0};
    std::vector<long> nspids = Numbers(StatusField(status, "NSpid"));
    if (!nspids.empty()) ids.nspid = static_cast<pid_t>(nspids.back());
    std::vector<long> uids = Numbers(StatusField(status, "Uid"));
    std::vector<long> gids = Numbers(StatusField(status, "Gid"));
    if (uids.size() < 2 || gids.size() < 2) throw AttachError("cannot read the user of process " + std::to_string(pid));
    ids.uid = static_cast<uid_t>(uids[1]);
    ids.gid = static_cast<gid_t>(gids[1]);
    return ids;
}

}  // namespace

AttachedEndpoint FindAttachedAgent(pid_t pid) {
    ProcessIds ids = ReadIds(pid);
    const std::string number = std::to_string(pid);
    const std::string path = "/proc/" + number + "/root/tmp/.veskjagent_" + std::to_string(ids.nspid);
    const std::string none = "no agent attached to " + number + "; run vesk attach " + number;
    struct stat file {};
    if (lstat(path.c_str(), &file) != 0) {
        if (errno == ENOENT) throw ClientError(ErrorKind::NotListening, none);
        throw AttachError("cannot read " + path + ": " + Errno() + " (run vesk as the JVM's user or as root)");
    }
    // Anyone may write into /tmp: only a file of the JVM's user tells its port.
    std::string text;
    if (!S_ISREG(file.st_mode) || file.st_uid != ids.uid) throw ClientError(ErrorKind::NotListening, none);
    if (!ReadText(path, text))
        throw AttachError("cannot read " + path + ": " + Errno() + " (run vesk as the JVM's user or as root)");
    char address[64] = "";
    int port = 0;
    if (sscanf(text.c_str(), "%63s %d", address, &port) != 2 || port <= 0 || port > 65535)
        throw ClientError(ErrorKind::NotListening, none);
    AttachedEndpoint endpoint;
    // An agent listening on every address is reached on this host's loopback.
    endpoint.address = strcmp(address, "0.0.0.0") == 0 ? "127.0.0.1" : address;
    endpoint.port = port;
    return endpoint;
}

JvmAttach::JvmAttach(pid_t pid, int timeoutMs)
    : pid(pid), nspid(pid), uid(0), gid(0), timeoutMs(timeoutMs), root("/proc/" + std::to_string(pid) + "/root") {
    const std::string proc = "/proc/" + std::to_string(pid);
    ProcessIds ids = ReadIds(pid);
    nspid = ids.nspid;
    uid = ids.uid;
    gid = ids.gid;
    if (geteuid() != 0 && geteuid() != uid)
        throw AttachError("process " + std::to_string(pid) + " runs as uid " + std::to_string(uid) +
                          ": run vesk attach as that user or as root");

    std::string maps;
    if (!ReadText(proc + "/maps", maps))
        throw AttachError("cannot read the memory map of process " + std::to_string(pid) + ": " + Errno());
    if (maps.find("/libjvm.so") == std::string::npos)
        throw ClientError(ErrorKind::NoProcess,
                          "process " + std::to_string(pid) + " is not a HotSpot JVM (no libjvm.so in it)");

    std::string options, environment;
    ReadText(proc + "/cmdline", options);
    if (ReadText(proc + "/environ", environment)) {
        for (const char* name : {"JDK_JAVA_OPTIONS=", "JAVA_TOOL_OPTIONS=", "_JAVA_OPTIONS="}) {
            size_t at = environment.find(name);
            if (at != std::string::npos) options += '\n' + environment.substr(at, environment.find('\0', at) - at);
        }
    }
    if (AttachDisabled(options))
        throw AttachError("the JVM " + std::to_string(pid) +
                          " was started with -XX:+DisableAttachMechanism and cannot be attached to; "
                          "start it with -agentpath instead");
}

AttachOutcome JvmAttach::LoadAgent(const std::string& library, const std::string& options) {
    // The library as the target sees it: the same file at the same path, or a copy.
    struct stat own {}, seen {};
    if (stat(library.c_str(), &own) != 0)
        throw ClientError(ErrorKind::File, "cannot read the agent library " + library + ": " + Errno());
    std::string targetPath = library;
    std::string copy;
    bool visible = stat((root + library).c_str(), &seen) == 0 && seen.st_dev == own.st_dev && seen.st_ino == own.st_ino;
    if (!visible) {
        if (!ReadText(library, copy))
            throw ClientError(ErrorKind::File, "cannot read the agent library " + library + ": " + Errno());
        targetPath = "/tmp/.vesk_agent_" + std::to_string(nspid) + ".so";
    }
    if (targetPath.size() >= ARG_LENGTH_MAX || options.size() >= ARG_LENGTH_MAX)
        throw ClientError(ErrorKind::Usage, "the agent path or its options are longer than the JVM accepts (1023)");

    // The JVM trusts only its own user with its trigger file and socket.
    if (geteuid() == 0 && uid != 0) {
        setgroups(0, nullptr);
        if (setgid(gid) != 0 || setuid(uid) != 0)
            throw AttachError("cannot take the user of process " + std::to_string(pid) + ": " + Errno());
    }

    FileRemover copied;
    if (!visible) {
        std::string hostPath = root + targetPath;
        // A fresh file: a library an earlier load still maps must not change under it.
        unlink(hostPath.c_str());
        Descriptor out(open(hostPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
        if (out.fd < 0)
            throw AttachError("cannot copy the agent into the target's /tmp (" + hostPath + "): " + Errno());
        copied.path = hostPath;
        if (write(out.fd, copy.data(), copy.size()) != static_cast<ssize_t>(copy.size()))
            throw AttachError("cannot copy the agent into the target's /tmp (" + hostPath + "): " + Errno());
    }

    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    Descriptor connection(ConnectListener());

    std::string request("1\0load\0", 7);
    request += targetPath + '\0' + "true" + '\0' + options + '\0';
    for (size_t sent = 0; sent < request.size();) {
        ssize_t n = send(connection.fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) throw AttachError("the JVM closed its attach socket: " + Errno());
        sent += static_cast<size_t>(n);
    }
    std::string answer;
    for (;;) {
        pollfd ready{connection.fd, POLLIN, 0};
        int waited = poll(&ready, 1, RemainingMs(deadline));
        if (waited < 0 && errno == EINTR) continue;
        if (waited <= 0)
            throw AttachError("the JVM did not answer the load within " + std::to_string(timeoutMs / 1000) +
                              " s (--timeout)");
        char chunk[4096];
        ssize_t n = recv(connection.fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        answer.append(chunk, static_cast<size_t>(n));
    }

    size_t lineEnd = answer.find('\n');
    std::string output = lineEnd == std::string::npos ? "" : answer.substr(lineEnd + 1);
    while (!output.empty() && (output.back() == '\n' || output.back() == '\r')) output.pop_back();
    if (answer.empty() || atoi(answer.c_str()) != 0 || answer[0] == '\n') {
        for (char& c : output)
            if (c == '\n') c = ' ';
        throw AttachError("the JVM could not load " + targetPath + ": " + (output.empty() ? answer : output));
    }
    const std::string prefix = "return code: ";
    size_t at = output.find(prefix);
    if (at == std::string::npos) throw AttachError("the JVM answered the load with: " + output);
    AttachOutcome outcome;
    outcome.returnCode = atoi(output.c_str() + at + prefix.size());
    if (outcome.returnCode != 0 && !outcome.AlreadyLoaded()) {
        std::string reason = LastAgentError(targetPath);
        throw ClientError(ErrorKind::AgentReported,
                          "the agent did not start (return code " + std::to_string(outcome.returnCode) + ")" +
                              (reason.empty() ? "; its log or the JVM's stderr says why" : ": " + reason));
    }
    return outcome;
}

int JvmAttach::ConnectListener() {
    const std::string name = std::to_string(nspid);
    const std::string socketPath = root + "/tmp/.java_pid" + name;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof address.sun_path) throw AttachError("attach socket path too long: " + socketPath);
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    auto tryConnect = [&]() -> int {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw AttachError("cannot create a UNIX socket: " + Errno());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
        close(fd);
        return -1;
    };
    int fd = tryConnect();
    if (fd >= 0) return fd;

    // A process that does not catch SIGQUIT (a JVM run with -Xrs, or one
    // still starting) would be ended by it.
    std::string status;
    ReadText("/proc/" + std::to_string(pid) + "/status", status);
    unsigned long long caught = strtoull(StatusField("\n" + status, "SigCgt").c_str(), nullptr, 16);
    if (!(caught & (1ull << (SIGQUIT - 1))))
        throw AttachError("the JVM " + std::to_string(pid) +
                          " does not handle SIGQUIT (started with -Xrs, or still starting), so it cannot be asked "
                          "to open its attach socket; start it with -agentpath instead");

    // The JVM starts its attach listener on SIGQUIT when it finds this file,
    // in its working directory or its temporary directory.
    FileRemover trigger;
    for (const std::string& dir : {"/proc/" + std::to_string(pid) + "/cwd", root + "/tmp"}) {
        std::string path = dir + "/.attach_pid" + name;
        int created = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (created < 0 && errno == EEXIST) created = open(path.c_str(), O_WRONLY | O_CLOEXEC);
        else if (created >= 0) trigger.path = path;  // only a file we made is ours to remove
        if (created >= 0) {
            close(created);
            break;
        }
    }
    if (kill(pid, SIGQUIT) != 0) throw AttachError("cannot signal process " + std::to_string(pid) + ": " + Errno());
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(POLL_STEP_MS));
        fd = tryConnect();
        if (fd >= 0) return fd;
        if (kill(pid, 0) != 0 && errno == ESRCH)
            throw ClientError(ErrorKind::NoProcess, "process " + std::to_string(pid) + " ended during the attach");
    }
    throw AttachError("the JVM " + std::to_string(pid) + " opened no attach socket within " +
                      std::to_string(timeoutMs / 1000) +
                      " s (--timeout): attaching may be disabled, or the JVM too busy to answer");
}

std::string JvmAttach::LastAgentError(const std::string& library) const {
    // The default log: <base>logs/veskjagent_<its pid>.log, the base being
    // the install tree of an agent in one, else the JVM's working directory.
    size_t at = library.find("JvmAgent");
    std::string base = at == std::string::npos ? "/proc/" + std::to_string(pid) + "/cwd/" : root + library.substr(0, at);
    std::string log;
    if (!ReadText(base + "logs/veskjagent_" + std::to_string(nspid) + ".log", log)) return "";
    return LastErrorLine(log);
}

std::string JvmAttach::ListeningAddress(int port) const {
    std::ifstream table("/proc/" + std::to_string(pid) + "/net/tcp");
    std::string line;
    std::getline(table, line);  // heading
    while (std::getline(table, line)) {
        unsigned slot = 0, address = 0, localPort = 0, remote = 0, remotePort = 0, state = 0;
        if (sscanf(line.c_str(), " %u: %8X:%4X %8X:%4X %2X", &slot, &address, &localPort, &remote, &remotePort,
                   &state) != 6)
            continue;
        if (state != 0x0A || static_cast<int>(localPort) != port) continue;  // 0A: listening
        // The kernel prints the address in host order of its network bytes.
        const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&address);
        char text[16];
        snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        return text;
    }
    return "";
}

}  // namespace vesk

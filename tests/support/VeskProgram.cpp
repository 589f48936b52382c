#include "VeskProgram.h"

#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <regex>
#include <thread>

#include "TempDir.h"
#include "base/ZstdDecoder.h"

namespace vesktest {

std::string ZstdFileText(const std::string& path) {
    struct Text : vesk::ZstdDecoder::Sink {
        std::string bytes;
        void Plain(const char* data, size_t size) override { bytes.append(data, size); }
    } text;
    std::string packed = ReadFile(path);
    vesk::ZstdDecoder decoder(vesk::ErrorKind::File, path);
    decoder.Feed(packed.data(), packed.size(), text);
    decoder.Finish();
    return text.bytes;
}

std::string VeskProgram() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/')) + "/../client/vesk";
}

int RunVesk(const TempDir& dir, std::vector<std::string> args, std::string* output) {
    args.insert(args.begin(), VeskProgram());
    std::string out = dir.File("vesk.out");
    int status = RunProgram(args, out);
    if (output) *output = ReadFile(out);
    return status;
}

int RunProgram(const std::vector<std::string>& args, const std::string& outputFile,
               const std::function<bool()>& interruptWhen, uint64_t addressSpaceBytes) {
    pid_t pid = fork();
    if (pid == 0) {
        FILE* out = freopen(outputFile.c_str(), "w", stdout);
        if (!out || dup2(1, 2) < 0) _exit(126);
        rlimit limit{addressSpaceBytes, addressSpaceBytes};
        if (addressSpaceBytes > 0 && setrlimit(RLIMIT_AS, &limit) != 0) _exit(126);
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    bool interrupted = !interruptWhen;
    while (!interrupted && waitpid(pid, &status, WNOHANG) == 0) {
        if (interruptWhen()) {
            kill(pid, SIGINT);
            interrupted = true;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    if (interrupted) waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Answer(const std::string& output) {
    size_t at = 0;
    while (output.compare(at, 6, "vesk: ") == 0 && output.find('\n', at) != std::string::npos)
        at = output.find('\n', at) + 1;
    return output.substr(at);
}

int RunServe(const std::vector<std::string>& args, const std::string& outputFile,
             const std::function<void(const std::string& url)>& whileServing) {
    std::vector<std::string> command = {VeskProgram()};
    command.insert(command.end(), args.begin(), args.end());
    const std::regex serving("(^|\n)serving (http://\\S+)\n");
    return RunProgram(command, outputFile, [&] {
        std::smatch line;
        std::string output = ReadFile(outputFile);
        if (!std::regex_search(output, line, serving)) return false;
        whileServing(line[2].str());
        return true;
    });
}

TerminalRun RunOnTerminal(const std::vector<std::string>& args, const std::string& interruptOn) {
    TerminalRun run;
    int terminal = -1;
    pid_t pid = forkpty(&terminal, nullptr, nullptr, nullptr);
    if (pid < 0) return run;
    if (pid == 0) {
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    using Clock = std::chrono::steady_clock;
    Clock::time_point start = Clock::now(), interrupted{};
    bool killed = false;
    for (;;) {
        if (Clock::now() - start > std::chrono::minutes(1) && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        pollfd ready{terminal, POLLIN, 0};
        if (poll(&ready, 1, 100) < 0) break;
        char buffer[4096];
        ssize_t n = ready.revents ? read(terminal, buffer, sizeof buffer) : 0;
        if (ready.revents && n <= 0) break;  // EIO once the program is gone
        run.shown.append(buffer, static_cast<size_t>(n > 0 ? n : 0));
        if (!interruptOn.empty() && interrupted == Clock::time_point{} &&
            run.shown.find(interruptOn) != std::string::npos) {
            kill(pid, SIGINT);
            interrupted = Clock::now();
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (interrupted != Clock::time_point{})
        run.secondsAfterInterrupt = std::chrono::duration<double>(Clock::now() - interrupted).count();
    close(terminal);
    run.status = killed ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace vesktest

#include "VeskProgram.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace vesktest {

std::string VeskProgram() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<size_t>(n) : 0);
    return path.substr(0, path.rfind('/')) + "/../client/vesk";
}

int RunProgram(const std::vector<std::string>& args, const std::string& outputFile, int interruptAfterMs,
               uint64_t addressSpaceBytes) {
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
    if (interruptAfterMs >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(interruptAfterMs));
        kill(pid, SIGINT);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace vesktest

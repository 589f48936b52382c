#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace vesktest {

ChildProcess::ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    std::string out = dir.File("stdout.txt"), err = dir.File("stderr.txt");

    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        if (chdir(dir.Path().c_str()) != 0) _exit(126);
        // Files a program leaves behind when killed (a JVM's snapshot files) go with its private directory.
        for (const char* name : {"TEMP", "TMP", "TMPDIR"}) setenv(name, dir.Path().c_str(), 1);
        for (const auto& kv : env) putenv(strdup(kv.c_str()));
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

ChildProcess::~ChildProcess() { Kill(); }

bool ChildProcess::Running() {
    if (pid <= 0) return false;
    int st;
    pid_t r = waitpid(pid, &st, WNOHANG);
    if (r == pid) {
        status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        pid = -1;
        return false;
    }
    return true;
}

int ChildProcess::WaitExit(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running()) {
        if (std::chrono::steady_clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

void ChildProcess::Kill() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
    pid = -1;
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (Stdout().find(text) != std::string::npos) return true;
        if (!Running()) return Stdout().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace vesktest

#include "JavaProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "VeskProgram.h"

namespace vesktest {

std::string TestJdk() {
    const char* jdk = getenv("VESK_TEST_JDK");
    return jdk && *jdk ? jdk : "/usr/lib/jvm/java-17-openjdk-amd64";
}

int TestJdkMajor() {
    std::string release = ReadFile(TestJdk() + "/release");
    size_t at = release.find("JAVA_VERSION=\"");
    return at == std::string::npos ? 0 : atoi(release.c_str() + at + 14);
}

std::map<std::string, int64_t> JvmHistogram(pid_t pid, const std::string& outputFile) {
    std::map<std::string, int64_t> bytes;
    if (RunProgram({TestJdk() + "/bin/jcmd", std::to_string(pid), "GC.class_histogram"}, outputFile) != 0) return bytes;
    std::istringstream lines(ReadFile(outputFile));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string number, name;
        int64_t instances, size;
        if (fields >> number >> instances >> size >> name && number.back() == ':') bytes[name] = size;
    }
    return bytes;
}

std::string AgentArg(const std::string& options) {
    std::string arg = std::string("-agentpath:") + VESK_AGENT_LIB;
    if (!options.empty()) arg += "=" + options;
    return arg;
}

JavaProcess::JavaProcess(const std::vector<std::string>& jvmArgs, const std::string& mainClass,
                         const std::vector<std::string>& programArgs,
                         const std::vector<std::string>& env) {
    std::vector<std::string> args{TestJdk() + "/bin/java", "-cp", VESK_FIXTURE_DIR};
    args.insert(args.end(), jvmArgs.begin(), jvmArgs.end());
    args.push_back(mainClass);
    args.insert(args.end(), programArgs.begin(), programArgs.end());
    std::string out = dir.File("stdout.txt"), err = dir.File("stderr.txt");

    pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        if (chdir(dir.Path().c_str()) != 0) _exit(126);
        // Snapshot files of a JVM killed mid-walk go with its private directory.
        for (const char* name : {"TEMP", "TMP", "TMPDIR"}) setenv(name, dir.Path().c_str(), 1);
        for (const auto& kv : env) putenv(strdup(kv.c_str()));
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
}

JavaProcess::~JavaProcess() { Kill(); }

bool JavaProcess::Running() {
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

int JavaProcess::WaitExit(int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Running()) {
        if (std::chrono::steady_clock::now() >= end) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status;
}

void JavaProcess::Kill() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    int st;
    waitpid(pid, &st, 0);
    pid = -1;
}

bool JavaProcess::WaitForOutput(const std::string& text, int timeoutMs) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (Stdout().find(text) != std::string::npos) return true;
        if (!Running()) return Stdout().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

}  // namespace vesktest

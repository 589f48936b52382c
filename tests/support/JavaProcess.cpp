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

namespace {

// The rows of jcmd GC.class_histogram's output, by the JVM's names.
std::vector<std::pair<std::string, ClassFigures>> HistogramRows(pid_t pid, const std::string& outputFile, bool all) {
    std::vector<std::pair<std::string, ClassFigures>> rows;
    std::vector<std::string> args{TestJdk() + "/bin/jcmd", std::to_string(pid), "GC.class_histogram"};
    if (all) args.push_back("-all");
    if (RunProgram(args, outputFile) != 0) return rows;
    std::istringstream lines(ReadFile(outputFile));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string number, name;
        ClassFigures figures;
        if (fields >> number >> figures.instances >> figures.bytes >> name && number.back() == ':')
            rows.emplace_back(name, figures);
    }
    return rows;
}

// "[[I" as "int[][]", "[Ljava.lang.String;" as "java.lang.String[]".
std::string JavaName(const std::string& jvmName) {
    size_t dims = jvmName.find_first_not_of('[');
    if (dims == 0 || dims == std::string::npos) return jvmName;
    std::string base = jvmName.substr(dims);
    static const std::map<char, std::string> primitives{{'B', "byte"},  {'C', "char"},   {'D', "double"},
                                                        {'F', "float"}, {'I', "int"},    {'J', "long"},
                                                        {'S', "short"}, {'Z', "boolean"}};
    if (base.size() > 2 && base[0] == 'L' && base.back() == ';')
        base = base.substr(1, base.size() - 2);
    else if (base.size() == 1 && primitives.count(base[0]))
        base = primitives.at(base[0]);
    for (size_t i = 0; i < dims; i++) base += "[]";
    return base;
}

}  // namespace

std::map<std::string, int64_t> JvmHistogram(pid_t pid, const std::string& outputFile) {
    std::map<std::string, int64_t> bytes;
    for (const auto& [name, figures] : HistogramRows(pid, outputFile, false)) bytes[name] = figures.bytes;
    return bytes;
}

std::map<std::string, ClassFigures> JvmClassHistogram(pid_t pid, const std::string& outputFile, bool all) {
    std::map<std::string, ClassFigures> classes;
    for (const auto& [name, figures] : HistogramRows(pid, outputFile, all)) {
        ClassFigures& sum = classes[JavaName(name)];
        sum.instances += figures.instances;
        sum.bytes += figures.bytes;
    }
    return classes;
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

#include "JavaProcess.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>

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

namespace {

std::vector<std::string> JavaCommand(const std::vector<std::string>& jvmArgs, const std::string& mainClass,
                                     const std::vector<std::string>& programArgs) {
    std::vector<std::string> args{TestJdk() + "/bin/java", "-cp", VESK_FIXTURE_DIR};
    args.insert(args.end(), jvmArgs.begin(), jvmArgs.end());
    args.push_back(mainClass);
    args.insert(args.end(), programArgs.begin(), programArgs.end());
    return args;
}

}  // namespace

JavaProcess::JavaProcess(const std::vector<std::string>& jvmArgs, const std::string& mainClass,
                         const std::vector<std::string>& programArgs, const std::vector<std::string>& env)
    : ChildProcess(JavaCommand(jvmArgs, mainClass, programArgs), env) {}

}  // namespace vesktest

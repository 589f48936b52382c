#include "Browser.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "TempDir.h"

extern char** environ;

namespace vesktest {

namespace {

// Runs a program in a process group of its own, its stdout and stderr into
// files, and kills the group when it ends (Chromium starts helper processes,
// and they all go). False when it did not end well within timeoutMs.
bool RunGroup(std::vector<std::string> args, const std::string& out, const std::string& err, int timeoutMs) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    int failed = posix_spawnp(&pid, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (failed) return false;

    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // Waited for without reaping, so the group's id stays the program's until it is killed.
    siginfo_t info{};
    bool ended = false;
    while (!(ended = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                     info.si_pid == pid) &&
           std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    kill(-pid, SIGKILL);
    int status = -1;
    waitpid(pid, &status, 0);
    return ended && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Runs Chromium on a file with extra arguments; its stdout goes to a file of
// dir. False when it did not end well within timeoutMs.
bool RunChromium(const TempDir& dir, const std::string& htmlFile, const std::vector<std::string>& extra,
                 int timeoutMs) {
    std::string chromium = ChromiumPath();
    if (chromium.empty()) return false;
    std::vector<std::string> args = {chromium,
                                     "--headless",
                                     "--no-sandbox",  // the tests may run as root
                                     "--disable-gpu",
                                     "--disable-quic",
                                     "--no-first-run",
                                     "--disable-background-networking",
                                     "--disable-component-update",
                                     "--disable-sync",
                                     "--user-data-dir=" + dir.File("profile")};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back("file://" + htmlFile);
    return RunGroup(args, dir.File("stdout.txt"), dir.File("stderr.txt"), timeoutMs);
}

const std::string BROWSER_TESTS = std::string(VESK_SOURCE_DIR) + "/tests/browser";

}  // namespace

std::string ChromiumPath() {
    const char* configured = getenv("VESK_CHROMIUM");
    std::string path = configured && *configured ? configured : "/usr/bin/chromium";
    return access(path.c_str(), X_OK) == 0 ? path : "";
}

std::string DumpDom(const std::string& htmlFile, int timeoutMs) {
    TempDir dir;
    if (!RunChromium(dir, htmlFile, {"--dump-dom"}, timeoutMs)) return "";
    return ReadFile(dir.File("stdout.txt"));
}

bool Screenshot(const std::string& htmlFile, const std::string& pngFile, int width, int height, int timeoutMs) {
    TempDir dir;
    return RunChromium(dir, htmlFile,
                       {"--hide-scrollbars", "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                        "--screenshot=" + pngFile},
                       timeoutMs) &&
           FileExists(pngFile);
}


std::string PuppeteerMissing() {
    if (ChromiumPath().empty()) return "headless Chromium is not installed (Debian package chromium)";
    TempDir dir;
    if (!RunGroup({"node", "--version"}, dir.File("out"), dir.File("err"), 60000))
        return "node is not installed (Debian package nodejs)";
    if (!FileExists(BROWSER_TESTS + "/node_modules/puppeteer-core/package.json"))
        return "puppeteer-core is not installed (scripts/setup.sh runs npm ci in tests/browser)";
    return "";
}

bool RunPuppeteer(const std::vector<std::string>& args, const std::string& outputFile, int timeoutMs) {
    std::vector<std::string> command = {"node", BROWSER_TESTS + "/explore.test.js", ChromiumPath()};
    command.insert(command.end(), args.begin(), args.end());
    return RunGroup(command, outputFile, outputFile + ".err", timeoutMs);
}

}  // namespace vesktest

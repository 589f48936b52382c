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
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(&a[0]);
    argv.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 1, dir.File("stdout.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&files, 2, dir.File("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawnattr_init(&attributes);
    // A group of its own: Chromium starts helper processes, and they all go.
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, argv[0], &files, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&files);
    posix_spawnattr_destroy(&attributes);
    if (failed) return false;

    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // Waited for without reaping, so the group's id stays Chromium's until it is killed.
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

}  // namespace vesktest

// Windows-only behaviour: the load-time initialiser, WinSock, and the real
// DLL loaded from an install tree by a process of its own.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "FakeJvm.h"
#include "Orlo.h"
#include "TempDir.h"
#include "VeskSocket.h"
#include "VeskVersion.h"
#include "dllmain.h"

using namespace Orlo;

namespace {

// The log's first two lines, up to the library's path: the release, then the load.
const std::string VERSION_LINE = std::string("[DEBUG]: veskjagent ") + VESK_VERSION + "\n";
const std::string LOAD_LINE = "[DEBUG]: Enter Agent_OnLoad, lib=";

std::string OwnDirectory() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string own(path, length);
    return own.substr(0, own.find_last_of('\\'));
}

TEST(DllMainTest, RecordsTheModulePathOnProcessAttachOnly) {
    vesktest::AgentStateGuard guard;
    HMODULE self = GetModuleHandleA(nullptr);
    snprintf(libraryPath, LIBRARY_PATH_SIZE, "%s", "before");
    baseDir = "before/";
    fileSep = '\\';
    for (DWORD reason : {DLL_THREAD_ATTACH, DLL_THREAD_DETACH, DLL_PROCESS_DETACH}) {
        EXPECT_TRUE(DllMain(self, reason, nullptr));
        EXPECT_STREQ(libraryPath, "before");
        EXPECT_EQ(baseDir, "before/");
        EXPECT_EQ(fileSep, '\\');
    }
    EXPECT_TRUE(DllMain(self, DLL_PROCESS_ATTACH, nullptr));
    char expected[MAX_PATH];
    GetModuleFileNameA(self, expected, sizeof expected);
    EXPECT_STREQ(libraryPath, expected);
    EXPECT_EQ(baseDir, "./");
    EXPECT_EQ(fileSep, '/');
}

TEST(WinSockTest, StartsVersionOneOneOnceAndReportsWSAErrors) {
    EXPECT_TRUE(VeskSocket::Initialize());
    EXPECT_TRUE(VeskSocket::Initialize());
    WSASetLastError(WSAEWOULDBLOCK);
    EXPECT_EQ(VeskSocket::GetLastSocketError(), WSAEWOULDBLOCK);
}

// Runs the loader on a DLL in its own process; returns the exit code and
// the process id (which names the log file).
DWORD RunLoader(const std::string& dll, const std::string& options, const std::string& workDir,
                DWORD* pid, const std::string& mode = "") {
    std::string command =
        "\"" + OwnDirectory() + "\\vesk_dll_loader.exe\" \"" + dll + "\" \"" + options + "\" " + mode;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, workDir.c_str(), &startup,
                        &process))
        return 999;
    WaitForSingleObject(process.hProcess, 60000);
    DWORD code = 998;
    GetExitCodeProcess(process.hProcess, &code);
    *pid = process.dwProcessId;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// Copies the built DLL to dir + relative (backslashes) and returns its path.
std::string InstallDll(const vesktest::TempDir& dir, const std::string& relative) {
    std::filesystem::path target = dir.Path() + "\\" + relative;
    std::filesystem::create_directories(target.parent_path());
    std::filesystem::copy_file(OwnDirectory() + "\\veskjagent.dll", target);
    return target.string();
}

TEST(DllLoadTest, InstallTreeGivesBackslashBaseDirForConfigAndLog) {
    vesktest::TempDir dir;
    std::string dll = InstallDll(dir, "JvmAgent\\bin\\veskjagent.dll");
    const std::string base = dir.Path() + "\\";
    std::filesystem::create_directories(base + "config");
    std::filesystem::create_directories(base + "logs");
    dir.Write("config/veskjagent.properties", "vesk.agent.log.level=DEBUG\n");

    DWORD pid = 0;
    EXPECT_EQ(RunLoader(dll, "port=16555", dir.Path(), &pid), 0u);
    std::string logFile = base + "logs\\veskjagent_" + std::to_string(pid) + ".log";
    std::string log = vesktest::ReadFile(logFile);
    EXPECT_NE(log.find(VERSION_LINE), std::string::npos) << log;
    EXPECT_NE(log.find(LOAD_LINE + dll + ", vm="), std::string::npos) << log;
    EXPECT_NE(log.find("[DEBUG]: Loaded JVMTI Version 30110000\n"), std::string::npos) << log;
    EXPECT_NE(log.find("[DEBUG]: Enter Agent_OnUnload, vm="), std::string::npos) << log;
    EXPECT_EQ(log.find("ERROR"), std::string::npos) << log;
}

TEST(DllLoadTest, PathWithoutJvmAgentUsesTheCurrentDirectory) {
    vesktest::TempDir dir;
    std::string dll = InstallDll(dir, "lib\\veskjagent.dll");
    std::filesystem::create_directories(dir.Path() + "\\config");
    std::filesystem::create_directories(dir.Path() + "\\logs");
    dir.Write("config/veskjagent.properties", "vesk.agent.log.level=DEBUG\n");

    DWORD pid = 0;
    EXPECT_EQ(RunLoader(dll, "", dir.Path(), &pid), 0u);
    std::string log = vesktest::ReadFile(dir.Path() + "\\logs\\veskjagent_" + std::to_string(pid) + ".log");
    EXPECT_NE(log.find(VERSION_LINE), std::string::npos) << log;
    EXPECT_NE(log.find(LOAD_LINE + dll + ", vm="), std::string::npos) << log;
}

TEST(DllLoadTest, AttachWithoutTheTagCapabilityFailsWithItsLogLine) {
    vesktest::TempDir dir;
    std::string dll = InstallDll(dir, "JvmAgent\\bin\\veskjagent.dll");
    const std::string base = dir.Path() + "\\";
    std::filesystem::create_directories(base + "config");
    std::filesystem::create_directories(base + "logs");
    dir.Write("config/veskjagent.properties", "vesk.agent.log.level=INFO\n");

    DWORD pid = 0;
    EXPECT_EQ(RunLoader(dll, "port=16556", dir.Path(), &pid, "attach"), static_cast<DWORD>(JNI_ERR));
    std::string log = vesktest::ReadFile(base + "logs\\veskjagent_" + std::to_string(pid) + ".log");
    EXPECT_NE(log.find("[ERROR]: Agent not started: this JVM does not give the capability"), std::string::npos)
        << log;
}

}  // namespace

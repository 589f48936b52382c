// vesk_dll_loader DLL [OPTIONS [attach]]: loads the agent DLL as a JVM would,
// calls Agent_OnLoad (or with "attach", Agent_OnAttach into a fake JVM that
// grants no capability) with a fake JVM, then Agent_OnUnload, and exits with
// that call's result (100 and up when the DLL cannot be used).
#include <windows.h>

#include <string>

#include "FakeJvm.h"

typedef jint(JNICALL* OnLoad)(JavaVM*, char*, void*);
typedef void(JNICALL* OnUnload)(JavaVM*);

int main(int argc, char** argv) {
    if (argc < 2) return 100;
    HMODULE dll = LoadLibraryA(argv[1]);
    if (!dll) return 101;
    auto onLoad = reinterpret_cast<OnLoad>(reinterpret_cast<void*>(GetProcAddress(dll, "Agent_OnLoad")));
    auto onAttach = reinterpret_cast<OnLoad>(reinterpret_cast<void*>(GetProcAddress(dll, "Agent_OnAttach")));
    auto onUnload = reinterpret_cast<OnUnload>(reinterpret_cast<void*>(GetProcAddress(dll, "Agent_OnUnload")));
    if (!onLoad || !onAttach || !onUnload) return 102;
    vesktest::FakeJvm jvm;
    std::string options = argc > 2 ? argv[2] : "";
    const bool attach = argc > 3 && std::string(argv[3]) == "attach";
    if (attach) jvm.failing = {"AddCapabilities"};
    jint result = (attach ? onAttach : onLoad)(jvm.Vm(), &options[0], nullptr);
    onUnload(jvm.Vm());
    return result;
}

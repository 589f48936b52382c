#include "dllmain.h"

#include <cstring>

#include "Orlo.h"

#ifdef _WIN32

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        Orlo::fileSep = '/';
        Orlo::baseDir = "./";
        DWORD length = GetModuleFileNameA(module, Orlo::libraryPath,
                                          static_cast<DWORD>(Orlo::LIBRARY_PATH_SIZE));
        // A cut path would give a wrong base directory: better none at all.
        if (length == 0 || length >= Orlo::LIBRARY_PATH_SIZE) Orlo::libraryPath[0] = '\0';
    }
    return TRUE;
}

#else

#include <dlfcn.h>

namespace Orlo {

void DllMain() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&DllMain), &info) == 0 || !info.dli_fname) return;
    size_t length = strlen(info.dli_fname);
    // A cut path would give a wrong base directory: better none at all.
    if (length >= LIBRARY_PATH_SIZE) return;
    memcpy(libraryPath, info.dli_fname, length + 1);
}

namespace {
const bool libraryPathRecorded = (DllMain(), true);
}  // namespace

}  // namespace Orlo

#endif

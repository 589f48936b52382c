// Load-time initialiser: records the library's own path in libraryPath
// before the JVM calls Agent_OnLoad.
#pragma once

#ifdef _WIN32
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved);
#else
namespace Orlo {

// Runs from the library's static initialisation.
void DllMain();

}  // namespace Orlo
#endif

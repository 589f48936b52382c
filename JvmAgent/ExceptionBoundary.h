// The edge between the JVM and the agent's C++ code. Every agent thread's top
// level, every JVMTI callback and both entry points run their work through
// Run: an exception that unwound into the JVM's frames would end the process
// through std::terminate.
#pragma once

#include <exception>

namespace Orlo {

class ExceptionBoundary {
public:
    // Runs body(); an exception it throws is logged as an error naming where
    // and then dropped. True when body returned normally. On the path that
    // does not throw this costs nothing, so it may wrap the heap callback.
    template <class Body>
    static bool Run(const char* where, Body&& body) noexcept {
        try {
            body();
            return true;
        } catch (const std::exception& e) {
            Report(where, e.what());
        } catch (...) {
            Report(where, nullptr);
        }
        return false;
    }

    // Logs "<where> stopped by an exception: <what>"; what null means unknown.
    static void Report(const char* where, const char* what) noexcept;
};

}  // namespace Orlo

// The client's one error type. Whatever cannot go on (the agent unreachable
// or gone, a file that holds no heap, an error the agent reported, Ctrl-C)
// is thrown as a ClientError whose kind decides vesk's exit status; vesk's
// main prints its message as one line.
#pragma once

#include <stdexcept>
#include <string>

namespace vesk {

enum class ErrorKind {
    NotListening,   // nothing accepts on host:port (or it cannot be reached)
    Rejected,       // the agent already serves another client
    Dropped,        // the agent closed the connection or it broke
    Timeout,        // no complete frame within the read timeout
    Protocol,       // bytes that are not a response frame
    Usage,          // bad host name or argument
    AgentReported,  // the agent answered with an error
    File,           // a local file cannot be read or written, or holds no heap
    Cancelled,      // Ctrl-C
    NoProcess,      // vesk attach: no such process, or it is no JVM
    AttachFailed,   // vesk attach: the JVM cannot be attached to, did not answer, or could not load the agent
    Auth,           // the agent requires a key and none was given, refused the key, or refuses this address
};

class ClientError : public std::runtime_error {
public:
    ClientError(ErrorKind kind, const std::string& message) : std::runtime_error(message), kind(kind) {}
    ErrorKind Kind() const { return kind; }

private:
    ErrorKind kind;
};

// A usage error to throw, its message pointing at --help.
inline ClientError UsageError(const std::string& message) {
    return ClientError(ErrorKind::Usage, message + " (vesk --help shows the usage)");
}

}  // namespace vesk

// libFuzzer target: request reading, parsing, command dispatch and response
// framing, as a client thread runs them, over a socket pair. The JVM is the
// fake one of the unit tests (no classes, no threads, an empty heap), so
// every command runs its agent code without a JVM.
// No TLS mode: after the handshake the plaintext reaches these same calls,
// and the handshake and records are OpenSSL's, which fuzzes them itself; a
// fresh random handshake per input would also make no run repeatable.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "AuthKey.h"
#include "ClientConnection.h"
#include "FakeJvm.h"
#include "JvmAgent.h"
#include "VeskClientThread.h"
#include "VeskLogger.h"
#include "VeskServerThread.h"

using namespace Orlo;

namespace {

// Every frame is "<vesk-resp tag=\"T\">...</vesk-resp>\n" with a tag that
// cannot end the attribute or open an element: whatever the request held.
void CheckFrames(const std::string& sent) {
    static const std::string head = "<vesk-resp tag=\"", end = "</vesk-resp>\n";
    size_t at = 0;
    while (at < sent.size()) {
        if (sent.compare(at, head.size(), head) != 0) abort();
        size_t tagEnd = sent.find('"', at + head.size());
        if (tagEnd == std::string::npos || sent.compare(tagEnd, 2, "\">") != 0) abort();
        if (sent.find('<', at + head.size()) < tagEnd) abort();
        size_t frameEnd = sent.find(end, tagEnd);
        if (frameEnd == std::string::npos) abort();
        at = frameEnd + end.size();
    }
}

void SetUpAgent() {
    static vesktest::FakeJvm jvm;
    static char options[] = "cfgfile=/dev/null";
    // Snapshot files of the fake heap go to $TEMP, and each is deleted at
    // the end of its request.
    agent = new JvmAgent(jvm.Vm(), options);
    // Every log line is formatted, so request text passes through the logger too.
    VeskLogger::SetLogLevel(LOG_TRACE);
    VeskLogger::SetLogFile("/dev/null");
}

// Serves the input as one connection; server null: one without a key.
void Serve(const uint8_t* data, size_t size, VeskServerThread* server) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
    if (size > 0 && send(fds[1], data, size, MSG_NOSIGNAL) != static_cast<ssize_t>(size)) abort();
    // Read as the agent writes, so that no response waits for buffer space.
    std::string sent;
    std::thread reader([&] {
        char chunk[65536];
        for (ssize_t n; (n = recv(fds[1], chunk, sizeof chunk, 0)) > 0;) sent.append(chunk, n);
    });
    {
        auto owned = std::make_unique<ClientConnection>(fds[0], SOCK_STREAM, AF_UNIX);
        ClientConnection* connection = owned.get();
        // Owns the connection and closes it at the end of this block, which
        // ends the reader. No server thread is involved.
        VeskClientThread thread(std::move(owned), server);
        // One agent read per request: a long input is several requests.
        while (connection->MsgPending() && thread.ProcessRequest()) {
        }
    }
    reader.join();
    close(fds[1]);
    CheckFrames(sent);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = (SetUpAgent(), true);
    (void)ready;
    // Never started: it only lends its key and lock-out to the client thread.
    static const AuthKey key = AuthKey::FromBytes(std::string(32, 'k'));
    static VeskServerThread keyed(1, "127.0.0.1", 0, &key);
    Serve(data, size, nullptr);
    Serve(data, size, &keyed);
    return 0;
}

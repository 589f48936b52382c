// The HISTOGRAM command: the heap's class histogram (HeapHistogram) in one
// frame, the figures as props and one class element per class with
// instances. Runs on the client thread; "<ABORT>" stops the heap pass, and a
// refusal, a failure or a cancellation is the command's error frame.
#pragma once

#include "VeskProtocol.h"

namespace Orlo {

class ClientConnection;

class HistogramCommand {
public:
    static constexpr const char* NAME = Protocol::CMD_HISTOGRAM;

    // live: a full collection before the pass.
    HistogramCommand(ClientConnection& connection, const char* tag, bool last, bool live)
        : connection(connection), tag(tag), last(last), live(live) {}

    // False when the command ended in an error frame, which ends the request.
    bool Run();

private:
    ClientConnection& connection;
    const char* tag;
    bool last;
    bool live;
};

}  // namespace Orlo

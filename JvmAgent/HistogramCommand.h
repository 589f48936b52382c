// The HISTOGRAM command: the heap's class histogram in one frame, the figures
// as props and one class element per class with instances. The rows come
// from the JVM's own class histogram (JvmClassHistogram) or, when that
// cannot be had or a heap pass is asked for, from the agent's pass over the
// heap (HeapHistogram); the frame says which. Runs on the client thread;
// "<ABORT>" stops the heap pass but not the JVM's command, which runs to its
// end and is answered; a refusal, a failure or a cancellation is the
// command's error frame.
#pragma once

#include "VeskProtocol.h"

namespace Orlo {

class ClientConnection;
class StringBuffer;

class HistogramCommand {
public:
    static constexpr const char* NAME = Protocol::CMD_HISTOGRAM;

    // live: a full collection before the count; heapPass: the agent's heap
    // pass even where the JVM's histogram is at hand.
    HistogramCommand(ClientConnection& connection, const char* tag, bool last, bool live, bool heapPass)
        : connection(connection), tag(tag), last(last), live(live), heapPass(heapPass) {}

    // False when the command ended in an error frame, which ends the request.
    bool Run();

private:
    // The totals, the pass's time and the class rows of either histogram.
    template <class Histogram> static void AddFigures(StringBuffer& response, const Histogram& histogram);
    template <class Histogram> static void AddRows(StringBuffer& response, const Histogram& histogram);

    ClientConnection& connection;
    const char* tag;
    bool last;
    bool live;
    bool heapPass;
};

}  // namespace Orlo

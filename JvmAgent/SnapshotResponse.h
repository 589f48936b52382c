// The SNAPSHOT command: takes the snapshot into the connection's JvmInfo,
// then sends a header frame (runtime, system properties, the counts and every
// class and thread record), one frame per snapshot file, the final one
// followed by the agent's metrics. The tags are removed just before the
// final frame, so that its metrics carry the untag step, and on every other
// way out. A cancelled, failed or too large snapshot
// ends in one bare error frame instead; a VM found dying gets nothing more.
// Asked for compression, every frame goes out compressed whole, on this
// thread once the walk is over. Runs on the client thread, which the heap
// walk holds meanwhile.
#pragma once

#include <cstdint>

#include "StreamedResponse.h"
#include "VeskProtocol.h"

namespace Orlo {

class ClientConnection;
class JvmInfo;

class SnapshotResponse : public StreamedResponse {
public:
    static constexpr const char* NAME = Protocol::CMD_SNAPSHOT;
    static constexpr uint64_t RESPONSE_SIZE = 10485760;

    // compressLevel: 0 sends plain frames, else the zstd level. fromDump:
    // the records come from the JVM's own heap dump (JvmAgent::
    // TakeDumpSnapShot), and the header says so.
    SnapshotResponse(ClientConnection& connection, const char* tag, bool last, int compressLevel = 0,
                     bool fromDump = false);

    // False when the snapshot ended in an error frame, which ends the
    // request, or when the VM is dying. Only a failure to build the error
    // frame itself (allocation) throws.
    bool Run() override;

private:
    void SendHeader();
    // One frame per file, the final one with the metrics; false when a file
    // could not be opened or read (its error frame sent) or the VM is dying.
    bool SendFiles();
    // "Failed <action> snapshot file <path>, errno=N (text)" as a bare error frame.
    bool SendFileError(const char* action, const char* path);
    // The untag step, once, when the snapshot left tags.
    void UnTag();

    JvmInfo& info;
    const bool fromDump;
    bool untagPending = false;
};

}  // namespace Orlo

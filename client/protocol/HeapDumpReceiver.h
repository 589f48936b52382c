// The HPROF bytes of a HEAPDUMP answer, handed on as they arrive: each
// frame's <hprof> element decoded from base64 and, for a frame that came
// compressed, from zstd, unless the whole is to stay zstd (a frame that came
// plain is then compressed here). Shared by vesk dump, which saves them, and
// the live analyses, which read them.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/SnapshotSession.h"

namespace vesk {

struct HeapDumpReceipt {
    SnapshotSession::Outcome outcome;
    std::vector<Prop> figures;  // the last frame's HEAPDUMP properties
};

// Runs session, made for a HEAPDUMP, and gives write the bytes in order;
// write returns false (errno set) when it cannot take them, and the agent
// is then asked to stop. Throws File "cannot write NAME: ..." when write
// failed, Dropped for a frame that is not base64 or compressed data that
// ends inside a frame; the session's own failures otherwise.
HeapDumpReceipt ReceiveHeapDump(SnapshotSession& session, bool keepZstd, const std::string& name,
                                const std::function<bool(std::string_view)>& write);

// Whether an agent's HEAPDUMP error says it has no heap dump to give (an
// older agent, or heapdump=off), rather than that this one failed.
bool HeapDumpRefused(const std::string& error);
// Whether the refusal is heapdump=off's, which takes away the snapshot from
// the dump too.
bool HeapDumpDisabled(const std::string& error);

}  // namespace vesk

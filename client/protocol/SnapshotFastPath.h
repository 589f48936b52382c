#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "protocol/SnapshotParser.h"

namespace vesk {

// The fast path: the agent's frames and records in the very shapes it
// writes them (attributes in its order, no spaces, no references), read
// token by token. A token is read whole or not at all: when the bytes end
// inside one that may still match, they wait for the next piece; at the
// first byte that cannot match, expat is given the stream from that
// token's start, in the element the fast path was in.
class SnapshotFastPath {
public:
    // Longest token: a prop's name and value, and their markup.
    static constexpr size_t MAX_TOKEN = 8192;
    static constexpr size_t MAX_NAME = 1024;
    static constexpr size_t MAX_VALUE = 4096;

    explicit SnapshotFastPath(SnapshotReader& reader) : reader(reader) {}

    // Reads what it can of in. Returns the bytes expat is to read when it
    // met one it does not recognise (ToExpat() is then true), else nothing.
    // joined: room for the carried bytes and those that follow, when needed.
    std::string_view Read(std::string_view in, std::string& joined);
    // Expat ended a frame: the fast path goes on from there.
    void Resume(const FramePlace& at) {
        place = at;
        place.depth = 1;
        toExpat = false;
    }
    bool ToExpat() const { return toExpat; }
    const FramePlace& Place() const { return place; }

private:
    enum Step { MATCH, PARTIAL, MISMATCH };
    size_t Scan(const char* begin, size_t size, size_t stopAt, Step& outcome);
    Step Token(const char*& p, const char* end);
    Step Record(const char*& p, const char* end);
    Step Reference(const char*& p, const char* end);
    Step Property(const char*& p, const char* end);

    SnapshotReader& reader;
    FramePlace place;
    std::string carry;  // the start of a token the piece ended in
    bool toExpat = false;
};

}  // namespace vesk

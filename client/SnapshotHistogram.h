// Class histogram of a snapshot stream: the instance counts and sizes that
// the <class> records of the header frame carry.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace vesk {

struct ClassCount {
    std::string name;
    int64_t instances = 0;
    int64_t bytes = 0;
};

// Reads a saved snapshot stream fed in pieces of any size. Only the header
// frame is needed, so a caller stops feeding once Done(); memory is bounded
// by the longest element, whatever the size of the stream.
class HistogramReader {
public:
    static constexpr size_t MAX_ELEMENT = 16 << 20;

    void Feed(std::string_view bytes);
    // The header frame has been read, or the stream reported an error.
    bool Done() const { return headerDone || failed; }
    bool HeaderDone() const { return headerDone; }
    // True when the stream holds an error frame or is not a snapshot stream.
    bool Failed(std::string* message) const;
    // Classes with instances: by bytes, then instances, descending; then by name.
    std::vector<ClassCount> Histogram() const;

private:
    void Element(std::string_view element);
    void Fail(const std::string& message);

    std::string pending;  // bytes from the start of an unfinished element
    std::vector<ClassCount> classes;
    bool inSnapshotFrame = false;
    bool headerDone = false;
    bool failed = false;
    std::string error;
};

// Prints the table the JDK's class histogram prints:
// " num     #instances         #bytes  class name", rows, and a Total line.
void PrintHistogram(FILE* out, const std::vector<ClassCount>& classes);

}  // namespace vesk

// Class histogram of a snapshot stream: the instance counts and sizes that
// the <class> records of the header frame carry.
#pragma once

#include <cstdint>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/SnapshotReader.h"

namespace vesk {

struct ClassCount {
    std::string name;
    int64_t instances = 0;
    int64_t bytes = 0;
};

// Collects the header's class records from a stream fed in pieces of any
// size. Only the header frame is needed, so reading stops once it is in;
// memory is that of the class list.
class HistogramReader : public SnapshotHandler {
public:
    static constexpr size_t MAX_ELEMENT = SnapshotReader::MAX_ELEMENT;

    HistogramReader() : reader(*this) {}
    void Feed(std::string_view bytes) { reader.Feed(bytes); }
    // The header frame has been read, or the stream failed.
    bool Done() const { return reader.HeaderDone() || reader.Failed(); }
    bool HeaderDone() const { return reader.HeaderDone(); }
    // True when the stream holds an error frame or is not a snapshot stream.
    bool Failed(std::string* message) const;
    // Classes with instances: by bytes, then instances, descending; then by name.
    std::vector<ClassCount> Histogram() const;
    SnapshotReader& Reader() { return reader; }

    void OnClass(StreamClass& cls) override;
    void OnHeaderEnd() override { reader.Stop(); }

private:
    std::vector<ClassCount> classes;
    SnapshotReader reader;
};

// Drops classes without instances; sorts by bytes, then instances,
// descending, then by name.
std::vector<ClassCount> SortHistogram(std::vector<ClassCount> rows);

// Prints the table the JDK's class histogram prints:
// " num     #instances         #bytes  class name", rows, and a Total line;
// the first maxRows rows only, but the Total counts every class. exact:
// bytes as numbers; else in KiB, MiB, GiB ("12.3 MiB").
void PrintHistogram(FILE* out, const std::vector<ClassCount>& classes, size_t maxRows = SIZE_MAX,
                    bool exact = true);

}  // namespace vesk

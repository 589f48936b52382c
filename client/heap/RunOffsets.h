// Where each of many runs begins in one array, for runs mostly shorter than
// 255: a byte a run for its length (longer ones kept apart) and the start of
// each block of 32 runs, about 1.3 bytes a run where plain offsets take 4
// or 8. A run's start adds up to 31 lengths, a few word operations.
//
// Built in two passes over what goes in: Lengthen for each element, Seal,
// then a Placer hands out each element's index in the array, runs filled in
// the order their elements come. Read-only once sealed; safe to read from
// several threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

namespace vesk {

class RunOffsets {
public:
    RunOffsets() = default;
    explicit RunOffsets(size_t runs);

    // One element more in run; before Seal.
    void Lengthen(size_t run) {
        if (lengths[run] != LONG) {
            if (++lengths[run] == LONG) counting[run] = LONG;
        } else {
            counting[run]++;
        }
    }
    // Returns the elements in all runs.
    uint64_t Seal();

    uint64_t Start(size_t run) const {
        uint64_t block = blockStarts[run / BLOCK];
        size_t first = run - run % BLOCK;
        if (block & HAS_LONG) return (block & ~HAS_LONG) + SlowSum(first, run);
        return block + ShortSum(lengths.data() + first, run - first);
    }
    uint64_t Length(size_t run) const { return lengths[run] != LONG ? lengths[run] : LongLength(run); }
    size_t MemoryBytes() const {
        return lengths.capacity() + blockStarts.capacity() * sizeof(uint64_t) + longs.capacity() * sizeof(Long);
    }

    // Each element's index in turn, counted as Lengthen counts.
    class Placer {
    public:
        explicit Placer(const RunOffsets& offsets) : offsets(offsets), placed(offsets.lengths.size(), 0) {}
        uint64_t Place(size_t run) {
            uint64_t before = placed[run] != LONG ? placed[run]++ : many[run]++;
            if (placed[run] == LONG && before == LONG - 1) many[run] = LONG;
            return offsets.Start(run) + before;
        }

    private:
        const RunOffsets& offsets;
        std::vector<uint8_t> placed;
        std::unordered_map<size_t, uint64_t> many;
    };

private:
    static constexpr size_t BLOCK = 32;
    static constexpr uint8_t LONG = UINT8_MAX;                   // the length is in longs
    static constexpr uint64_t HAS_LONG = uint64_t{1} << 63;  // in a block start
    struct Long {
        size_t run;
        uint64_t length;
    };

    // The sum of count bytes (< BLOCK, none LONG): 16-bit lanes of words.
    static uint64_t ShortSum(const uint8_t* bytes, size_t count);
    uint64_t SlowSum(size_t first, size_t end) const;
    uint64_t LongLength(size_t run) const;

    std::vector<uint8_t> lengths;  // by run, padded to whole blocks
    std::vector<uint64_t> blockStarts;
    std::vector<Long> longs;  // by run
    std::unordered_map<size_t, uint64_t> counting;  // long runs while Lengthen counts
};

}  // namespace vesk

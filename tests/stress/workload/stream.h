// Loss accounting of a byte stream: what arrived must be what was sent, in order, with only
// whole runs of bytes missing (a purge, cancel or time-out drops a contiguous run) and, on the
// wire, the immediate characters inserted where they were sent.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace stress {

using Bytes = std::vector<uint8_t>;

// The stream's contents: byte p is a pseudo-random function of its position and the seed, so a
// duplicated, reordered or corrupted byte cannot pass for the next expected one.
uint8_t StreamByte(uint64_t seed, uint64_t position);

struct Match {
    bool ok = true;
    std::string error;       // where and how `actual` left `expected`
    uint64_t matched = 0;    // bytes of `expected` found in order
    uint64_t gaps = 0;       // runs of `expected` missing in the middle
    uint64_t gapBytes = 0;
    uint64_t tail = 0;       // bytes of `expected` after the last one that arrived
    uint64_t inserted = 0;   // bytes taken from `insertable`
    std::vector<std::pair<uint64_t, uint64_t>> gapRuns;  // [from, to) of `expected` missing
};

using Ranges = std::vector<std::pair<uint64_t, uint64_t>>;  // [from, to) of `expected`, sorted, none empty

// Matches `actual` against `expected`. `insertable` lists bytes that may appear anywhere in
// `actual` without being part of `expected`, each at most once (the immediate characters).
// Where two placements of a missing run agree with the bytes equally, the one that keeps the
// `required` bytes (those of writes reported done) wins.
Match MatchStream(const Bytes& expected, const Bytes& actual, const Bytes& insertable = {},
                  const Ranges& required = {});

}  // namespace stress

#include "stream.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace stress {

uint8_t StreamByte(uint64_t seed, uint64_t position) {
    uint64_t z = seed * 0x9e3779b97f4a7c15ull + position + 1;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return static_cast<uint8_t>(z ^ (z >> 31));
}

namespace {

// Enough bytes that a false match of the stream's pseudo-random contents is out of the question.
constexpr size_t kLookahead = 8;

// Whether actual[i..] agrees with expected[j..] for the look-ahead, or up to the end of `actual`;
// an immediate character in the window is stepped over, not counted.
bool Agrees(const Bytes& e, size_t j, const Bytes& a, size_t i, const std::map<uint8_t, int>& ins) {
    size_t agreed = 0;
    int skipped = 0;
    while (agreed < kLookahead && i < a.size()) {
        if (j < e.size() && a[i] == e[j]) {
            ++agreed, ++i, ++j;
            continue;
        }
        auto it = ins.find(a[i]);
        if (agreed == 0 || it == ins.end() || it->second <= skipped) return false;
        ++skipped, ++i;
    }
    return true;
}

// How many short runs may follow one another between missing runs (a few cancelled writes in a
// row whose first bytes the device had taken).
constexpr int kShortRuns = 3;

size_t ShortRunAt(const Bytes& e, size_t j, const Bytes& a, size_t i, size_t run, const std::map<uint8_t, int>& ins,
                  int depth);

// Where actual[i..] resumes the stream at or after expected[j], for the look-ahead or through
// further short runs; npos if nowhere.
size_t Resume(const Bytes& e, size_t j, const Bytes& a, size_t i, const std::map<uint8_t, int>& ins, int depth) {
    if (i == a.size()) return e.size();
    for (size_t k = j; k < e.size(); ++k)
        if (e[k] == a[i] && Agrees(e, k, a, i, ins)) return k;
    if (auto it = ins.find(a[i]); it != ins.end() && it->second > 0) return Resume(e, j, a, i + 1, ins, depth);
    // ShortRunAt places a run after its j; here the run may begin at j itself.
    for (size_t run = 1; depth > 0 && run < kLookahead && i + run <= a.size(); ++run)
        if (size_t c = ShortRunAt(e, j == 0 ? 0 : j - 1, a, i, run, ins, depth - 1); c != std::string::npos) return c;
    return std::string::npos;
}

// The latest place in expected[j+1 .. resume-run] holding actual[i .. i+run), where `resume` is
// where actual[i+run..] goes on; npos if none.
size_t ShortRunAt(const Bytes& e, size_t j, const Bytes& a, size_t i, size_t run, const std::map<uint8_t, int>& ins,
                  int depth) {
    size_t resume = Resume(e, j, a, i + run, ins, depth);
    if (resume == std::string::npos || resume < j + 1 + run) return std::string::npos;
    for (size_t c = resume - run + 1; c-- > j + 1;)
        if (std::equal(a.begin() + static_cast<long>(i), a.begin() + static_cast<long>(i + run), e.begin() + static_cast<long>(c)))
            return c;
    return std::string::npos;
}

// The length of a short run at actual[i] that ShortRunAt can place, or 0.
size_t ShortRun(const Bytes& e, size_t j, const Bytes& a, size_t i, const std::map<uint8_t, int>& ins) {
    for (size_t run = 1; run < kLookahead && i + run <= a.size(); ++run)
        if (ShortRunAt(e, j, a, i, run, ins, kShortRuns - 1) != std::string::npos) return run;
    return 0;
}

// Whether [from, to) of expected holds a required byte.
bool DropsRequired(const Ranges& required, size_t from, size_t to) {
    auto it = std::upper_bound(required.begin(), required.end(), std::pair<uint64_t, uint64_t>(from, UINT64_MAX));
    if (it != required.begin() && std::prev(it)->second > from) return true;
    return it != required.end() && it->first < to;
}

}  // namespace

Match MatchStream(const Bytes& expected, const Bytes& actual, const Bytes& insertable, const Ranges& required) {
    Match m;
    std::map<uint8_t, int> ins;
    for (uint8_t b : insertable) ins[b]++;
    size_t j = 0;
    for (size_t i = 0; i < actual.size(); ++i) {
        bool next = j < expected.size() && actual[i] == expected[j];
        if (next && Agrees(expected, j, actual, i, ins)) {
            ++j;
            ++m.matched;
            continue;
        }
        auto it = ins.find(actual[i]);
        bool insertable = it != ins.end() && it->second > 0;
        auto resumes = [&](size_t from) {  // the stream goes on after actual[i], maybe past a run
            for (size_t k = from; k < expected.size(); ++k)
                if (expected[k] == actual[i + 1] && Agrees(expected, k, actual, i + 1, ins)) return true;
            return false;
        };
        if (insertable && (i + 1 == actual.size() || j == expected.size() || Agrees(expected, j, actual, i + 1, ins))) {
            it->second--;
            ++m.inserted;
            continue;
        }
        size_t k = j + 1;
        while (k < expected.size() && !(expected[k] == actual[i] && Agrees(expected, k, actual, i, ins))) ++k;
        // Or the next byte, then a missing run: both agree with what arrived when the last byte
        // missing equals the next one. The one that drops no required byte wins, else the next byte.
        if (next) {
            size_t r = Resume(expected, j + 1, actual, i + 1, ins, kShortRuns - 1);
            if (r != std::string::npos &&
                (k == expected.size() || !DropsRequired(required, j + 1, r) || DropsRequired(required, j, k))) {
                ++j;
                ++m.matched;
                continue;
            }
        }
        if (k < expected.size()) {
            ++m.gaps;
            m.gapBytes += k - j;
            m.gapRuns.emplace_back(j, k);
            j = k + 1;
            ++m.matched;
            continue;
        }
        // Close to a missing run the look-ahead window reaches past it.
        if (next) {
            ++j;
            ++m.matched;
            continue;
        }
        // Only now an immediate character before a missing run: the first byte after a run can
        // equal an immediate character and must resume the stream.
        if (insertable && resumes(j)) {
            it->second--;
            ++m.inserted;
            continue;
        }
        if (insertable) {
            it->second--;
            ++m.inserted;
            continue;
        }
        // A run shorter than the look-ahead between two missing runs (the part of a cancelled
        // write the device had taken): placed inside the second gap, before where the stream resumes.
        if (size_t run = ShortRun(expected, j, actual, i, ins); run) {
            size_t from = ShortRunAt(expected, j, actual, i, run, ins, kShortRuns - 1);
            ++m.gaps;
            m.gapBytes += from - j;
            m.gapRuns.emplace_back(j, from);
            m.matched += run;
            j = from + run;
            i += run - 1;
            continue;
        }
        std::ostringstream os;
        for (size_t e = 0; e < j; ++e) {
            if (expected[e] == actual[i] && Agrees(expected, e, actual, i, ins)) {
                os << "a run sent again (from sent byte " << e << ", " << j - e << " back): ";
                break;
            }
        }
        os << "byte " << i << " of " << actual.size() << " received (0x" << std::hex << int(actual[i]) << std::dec
           << ") is not the next sent byte (" << j << " of " << expected.size()
           << " matched) nor any later one: duplicated, reordered or corrupted";
        m.ok = false;
        m.error = os.str();
        return m;
    }
    m.tail = expected.size() - j;
    return m;
}

}  // namespace stress

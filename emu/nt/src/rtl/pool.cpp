// Pool of the emulated kernel. Every block carries a header with its tag, type and owner, so
// that frees are checked and leaks reported per tag and driver.
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

#include "emu/pool.h"
#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "nt/ke.h"
#include "nt/rtl.h"

namespace emu::pool {
namespace {

using verifier::Fault;

struct Block {
    ULONG tag;
    POOL_TYPE type;
    SIZE_T size;
    PVOID driver;
    bool reported = false;  // already named in a leak report
};

struct State {
    std::mutex m;
    std::unordered_map<void*, Block> live;
    std::map<ULONG, uint64_t> counts;
    uint64_t failNth = 0;             // 0: off
    std::map<ULONG, uint64_t> failNthTag;
    std::map<ULONG, bool> failTag;
};

State& St() {
    static State* s = new State;
    return *s;
}

bool IsPaged(POOL_TYPE type) { return (type & 1) != 0; }

void CheckIrql(POOL_TYPE type, const char* what, ULONG tag) {
    KIRQL irql = KeGetCurrentIrql();
    if (IsPaged(type) && irql > APC_LEVEL)
        verifier::Raise(Fault::PagedPoolAtDispatch, std::string(what) + " of paged pool (tag " + TagName(tag) +
                                                       ") at IRQL " + std::to_string(irql));
}

// Counts the allocation and decides whether an injected fault fails it.
bool ShouldFailLocked(State& s, ULONG tag) {
    s.counts[tag]++;
    bool fail = false;
    if (s.failNth != 0 && --s.failNth == 0) fail = true;
    auto it = s.failNthTag.find(tag);
    if (it != s.failNthTag.end() && --it->second == 0) {
        s.failNthTag.erase(it);
        fail = true;
    }
    if (s.failTag.count(tag)) fail = true;
    return fail;
}

[[maybe_unused]] const bool registered = [] {
    testing::AddStartOfTestHook("pool", [] { Reset(); });
    // Blocks a driver allocated and still holds, unless an unload check already reported them.
    testing::AddEndOfTestCheck("pool.leaks", [] {
        std::map<std::pair<PVOID, ULONG>, Usage> left;
        {
            std::lock_guard<std::mutex> g(St().m);
            for (auto& [p, b] : St().live) {
                if (b.driver == nullptr || b.reported) continue;
                b.reported = true;
                auto& u = left[{b.driver, b.tag}];
                u.allocations++;
                u.bytes += b.size;
            }
        }
        for (auto& [key, usage] : left)
            verifier::Raise(Fault::PoolLeak, "pool tag " + TagName(key.second) + ": " +
                                                 std::to_string(usage.allocations) + " allocation(s), " +
                                                 std::to_string(usage.bytes) + " bytes left at end of test");
    });
    return true;
}();

}  // namespace

std::string TagName(ULONG tag) {
    std::string name;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xff);
        name += (c >= 32 && c < 127) ? c : '?';
    }
    return name;
}

std::map<ULONG, Usage> Outstanding(PVOID driver) {
    std::lock_guard<std::mutex> g(St().m);
    std::map<ULONG, Usage> result;
    for (auto& [p, b] : St().live) {
        if (driver != nullptr && b.driver != driver) continue;
        result[b.tag].allocations++;
        result[b.tag].bytes += b.size;
    }
    return result;
}

std::map<ULONG, uint64_t> AllocationCounts() {
    std::lock_guard<std::mutex> g(St().m);
    return St().counts;
}

bool CheckNoLeaks(PVOID driver, const std::string& when) {
    auto left = Outstanding(driver);
    {
        std::lock_guard<std::mutex> g(St().m);
        for (auto& [p, b] : St().live)
            if (b.driver == driver || driver == nullptr) b.reported = true;
    }
    for (auto& [tag, usage] : left) {
        verifier::Raise(Fault::PoolLeak, "pool tag " + TagName(tag) + ": " + std::to_string(usage.allocations) +
                                             " allocation(s), " + std::to_string(usage.bytes) + " bytes left at " + when);
    }
    return left.empty();
}

void FailNth(uint64_t n) {
    std::lock_guard<std::mutex> g(St().m);
    St().failNth = n;
}
void FailNthWithTag(ULONG tag, uint64_t n) {
    std::lock_guard<std::mutex> g(St().m);
    St().failNthTag[tag] = n;
}
void FailTag(ULONG tag) {
    std::lock_guard<std::mutex> g(St().m);
    St().failTag[tag] = true;
}
void ClearFaults() {
    std::lock_guard<std::mutex> g(St().m);
    St().failNth = 0;
    St().failNthTag.clear();
    St().failTag.clear();
}
void Reset() {
    ClearFaults();
    std::lock_guard<std::mutex> g(St().m);
    St().counts.clear();
}

}  // namespace emu::pool

using namespace emu::pool;

namespace {
constexpr SIZE_T kLargestAllocation = SIZE_T(1) << 30;
}

extern "C" {

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    emu::sched::Point();
    CheckIrql(PoolType, "allocation", Tag);
    State& s = St();
    {
        std::lock_guard<std::mutex> g(s.m);
        if (ShouldFailLocked(s, Tag)) return nullptr;
    }
    // Nonpaged pool is a fraction of physical memory; a request this large fails on Windows.
    if (NumberOfBytes > kLargestAllocation) return nullptr;
    // Aligned like Windows pool (16 bytes); filled so that uninitialised use shows.
    void* p = std::aligned_alloc(16, (NumberOfBytes + 15) / 16 * 16 + 16);
    if (p == nullptr) return nullptr;
    std::memset(p, 0xCD, NumberOfBytes);
    std::lock_guard<std::mutex> g(s.m);
    s.live[p] = Block{Tag, PoolType, NumberOfBytes, emu::CurrentDriver()};
    return p;
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, 'enoN');
}

void ExFreePoolWithTag(PVOID P, ULONG Tag) {
    State& s = St();
    Block b;
    {
        std::lock_guard<std::mutex> g(s.m);
        auto it = s.live.find(P);
        if (it == s.live.end()) {
            char buf[96];
            snprintf(buf, sizeof buf, "free of %p, which is not allocated pool (double free?)", P);
            emu::verifier::Raise(emu::verifier::Fault::PoolMisuse, buf);
            return;
        }
        b = it->second;
        if (Tag != 0 && Tag != b.tag) {
            emu::verifier::Raise(emu::verifier::Fault::PoolMisuse,
                                 "free with tag " + TagName(Tag) + " of a block allocated with tag " + TagName(b.tag));
        }
        s.live.erase(it);
    }
    CheckIrql(b.type, "free", b.tag);
    emu::verifier::ForgetLocksIn(P, b.size);
    std::memset(P, 0xDD, b.size);
    std::free(P);
}

void ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"

// Pool of the emulated kernel. Every block is recorded with its tag, type and owner, so that
// frees are checked and leaks reported per tag and driver. Special pool places each block at the
// end of its own pages, before a guard page, and keeps freed blocks inaccessible for a while.
#include <execinfo.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "emu/explore.h"
#include "emu/pool.h"
#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "nt/ke.h"
#include "nt/rtl.h"

#if defined(__SANITIZE_ADDRESS__)
#define EMU_POOL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EMU_POOL_UNDER_ASAN 1
#endif
#endif

namespace emu::pool {
namespace {

using verifier::Fault;

constexpr size_t kPage = 4096;
constexpr unsigned char kSlackFill = 0xA7;
// Freed special-pool blocks stay inaccessible until this many newer frees (or bytes) push them out.
constexpr size_t kQuarantineBlocks = 4096;
constexpr size_t kQuarantineBytes = size_t(64) << 20;
constexpr int kFreeFrames = 12;

struct Block {
    ULONG tag;
    POOL_TYPE type;
    SIZE_T size;
    PVOID driver;
    bool reported = false;  // already named in a leak report
    char* map = nullptr;    // special pool: the mapping, its last page the guard
    size_t mapLength = 0;
};

// A special-pool mapping, live or freed: what a fault inside it reports.
struct Region {
    size_t length = 0;
    const char* block = nullptr;
    size_t size = 0;
    ULONG tag = 0;
    bool freed = false;
    void* freer[kFreeFrames] = {};
    int frames = 0;
};

struct State {
    std::mutex m;
    std::unordered_map<void*, Block> live;
    bool special = true;
    std::map<uintptr_t, Region> regions;  // by start of mapping
    std::deque<uintptr_t> quarantine;     // freed mappings, oldest first
    size_t quarantineBytes = 0;
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

// Executable nonpaged pool: a driver under code integrity gets NonPagedPoolNx.
void CheckNoExecute(POOL_TYPE type, ULONG tag) {
    if (IsPaged(type) || (type & NonPagedPoolNx) || emu::CurrentDriver() == nullptr) return;
    verifier::Raise(Fault::ExecutablePool, "allocation of executable nonpaged pool (type " + std::to_string(type) +
                                               ", tag " + TagName(tag) + "): use NonPagedPoolNx");
}

size_t Rounded(SIZE_T n) { return (std::max<SIZE_T>(n, 1) + 15) / 16 * 16; }

struct sigaction gPreviousSegv;

void WriteText(const char* text) {
    size_t n = strlen(text);
    while (n > 0) {
        ssize_t w = write(STDERR_FILENO, text, n);
        if (w <= 0) return;
        text += w;
        n -= static_cast<size_t>(w);
    }
}

// A fault in a special-pool page: say whose block it was, then let the access fault again with
// the default action so that the process stops at the instruction that did it.
void OnSegv(int sig, siginfo_t* info, void* context) {
    auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    State& s = St();
    bool locked = false;
    for (int i = 0; i < 1000 && !(locked = s.m.try_lock()); ++i) usleep(100);
    const Region* hit = nullptr;
    uintptr_t start = 0;
    if (locked) {
        auto it = s.regions.upper_bound(address);
        if (it != s.regions.begin() && address < (--it)->first + it->second.length) {
            hit = &it->second;
            start = it->first;
        }
    }
    if (hit == nullptr) {
        if (locked) s.m.unlock();
        if ((gPreviousSegv.sa_flags & SA_SIGINFO) && gPreviousSegv.sa_sigaction != nullptr) {
            gPreviousSegv.sa_sigaction(sig, info, context);
            return;
        }
        if (gPreviousSegv.sa_handler != SIG_DFL && gPreviousSegv.sa_handler != SIG_IGN) {
            gPreviousSegv.sa_handler(sig);
            return;
        }
        signal(SIGSEGV, SIG_DFL);
        return;
    }
    char text[320];
    auto blockStart = reinterpret_cast<uintptr_t>(hit->block);
    std::string tag = TagName(hit->tag);
    if (hit->freed) {
        snprintf(text, sizeof text,
                 "verifier: SpecialPool: access to %p, byte %zd of a %zu-byte block with pool tag %s "
                 "(at %p) that was freed by:\n",
                 info->si_addr, static_cast<ssize_t>(address - blockStart), hit->size, tag.c_str(),
                 static_cast<const void*>(hit->block));
    } else {
        snprintf(text, sizeof text,
                 "verifier: SpecialPool: access to %p, %zd bytes past the end of a live %zu-byte block with "
                 "pool tag %s (at %p)\n",
                 info->si_addr, static_cast<ssize_t>(address - blockStart - hit->size), hit->size, tag.c_str(),
                 static_cast<const void*>(hit->block));
    }
    (void)start;
    WriteText(text);
    if (hit->freed) backtrace_symbols_fd(hit->freer, hit->frames, STDERR_FILENO);
    WriteText("the access:\n");
    void* here[24];
    backtrace_symbols_fd(here, backtrace(here, 24), STDERR_FILENO);
    s.m.unlock();
    signal(SIGSEGV, SIG_DFL);  // the access runs again and ends the process
}

void InstallSegvHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        void* warm[1];
        backtrace(warm, 1);  // loads the unwinder now, not inside the handler
        struct sigaction sa {};
        sa.sa_sigaction = OnSegv;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGSEGV, &sa, &gPreviousSegv);
    });
}

// The block ends at the end of its last accessible page; the page after it is the guard.
void* SpecialAllocate(SIZE_T bytes, Block& b) {
    size_t rounded = Rounded(bytes);
    size_t dataPages = (rounded + kPage - 1) / kPage;
    size_t length = (dataPages + 1) * kPage;
    void* m = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    auto* map = static_cast<char*>(m);
    mprotect(map + dataPages * kPage, kPage, PROT_NONE);
    char* p = map + dataPages * kPage - rounded;
    memset(map, kSlackFill, dataPages * kPage);
    b.map = map;
    b.mapLength = length;
    return p;
}

// Slack bytes around the block must still hold their fill: a write there did not reach the guard.
void CheckSlack(void* p, const Block& b) {
    auto* block = static_cast<unsigned char*>(p);
    auto* map = reinterpret_cast<unsigned char*>(b.map);
    auto* end = map + b.mapLength - kPage;
    for (unsigned char* q = block + b.size; q < end; ++q) {
        if (*q != kSlackFill) {
            verifier::Raise(Fault::SpecialPool, "block with pool tag " + TagName(b.tag) + " of " +
                                                    std::to_string(b.size) + " bytes was written " +
                                                    std::to_string(q - block - b.size) + " byte(s) past its end");
            return;
        }
    }
    for (unsigned char* q = map; q < block; ++q) {
        if (*q != kSlackFill) {
            verifier::Raise(Fault::SpecialPool, "block with pool tag " + TagName(b.tag) + " of " +
                                                    std::to_string(b.size) + " bytes was written " +
                                                    std::to_string(block - q) + " byte(s) before its start");
            return;
        }
    }
}

// Makes the mapping inaccessible and keeps it so until newer frees push it out.
void QuarantineLocked(State& s, void* p, const Block& b, void* const* freer, int frames) {
    mprotect(b.map, b.mapLength, PROT_NONE);
    Region& r = s.regions[reinterpret_cast<uintptr_t>(b.map)];
    r.freed = true;
    r.frames = frames;
    memcpy(r.freer, freer, sizeof(void*) * static_cast<size_t>(frames));
    (void)p;
    s.quarantine.push_back(reinterpret_cast<uintptr_t>(b.map));
    s.quarantineBytes += b.mapLength;
    while (s.quarantine.size() > kQuarantineBlocks || s.quarantineBytes > kQuarantineBytes) {
        auto it = s.regions.find(s.quarantine.front());
        s.quarantine.pop_front();
        s.quarantineBytes -= it->second.length;
        munmap(reinterpret_cast<void*>(it->first), it->second.length);
        s.regions.erase(it);
    }
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

void SetSpecialPool(bool on) {
    std::lock_guard<std::mutex> g(St().m);
    St().special = on;
}

bool SpecialPoolOn() {
#ifdef EMU_POOL_UNDER_ASAN
    return false;
#else
    std::lock_guard<std::mutex> g(St().m);
    return St().special;
#endif
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
    CheckNoExecute(PoolType, Tag);
    State& s = St();
    {
        std::lock_guard<std::mutex> g(s.m);
        if (ShouldFailLocked(s, Tag)) return nullptr;
    }
    if (emu::sched::DrawFault(emu::sched::FaultKind::Pool)) return nullptr;  // a schedule's decision
    // Nonpaged pool is a fraction of physical memory; a request this large fails on Windows.
    if (NumberOfBytes > kLargestAllocation) return nullptr;
    Block b{Tag, PoolType, NumberOfBytes, emu::CurrentDriver()};
    void* p;
    if (SpecialPoolOn()) {
        InstallSegvHandler();
        p = SpecialAllocate(NumberOfBytes, b);
    } else {
        // Aligned like Windows pool (16 bytes).
        p = std::aligned_alloc(16, Rounded(NumberOfBytes));
    }
    if (p == nullptr) return nullptr;
    std::memset(p, 0xCD, NumberOfBytes);  // so that use before initialisation shows
    std::lock_guard<std::mutex> g(s.m);
    if (b.map) {
        Region& r = s.regions[reinterpret_cast<uintptr_t>(b.map)];
        r = Region{};
        r.length = b.mapLength;
        r.block = static_cast<char*>(p);
        r.size = NumberOfBytes;
        r.tag = Tag;
    }
    s.live[p] = b;
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
    emu::verifier::CheckNothingArmedIn(P, b.size, "pool with tag " + TagName(b.tag) + " freed");
    emu::verifier::ForgetLocksIn(P, b.size);
    if (b.map == nullptr) {
        std::memset(P, 0xDD, b.size);
        std::free(P);
        return;
    }
    CheckSlack(P, b);
    void* freer[kFreeFrames];
    int frames = backtrace(freer, kFreeFrames);
    std::lock_guard<std::mutex> g(s.m);
    QuarantineLocked(s, P, b, freer, frames);
}

void ExFreePool(PVOID P) { ExFreePoolWithTag(P, 0); }

}  // extern "C"

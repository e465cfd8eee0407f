// The verifier's fault record and its lock-order graph.
#include "emu/verifier.h"

#include <algorithm>
#include <cstdio>
#include <mutex>
#include <set>
#include <utility>

#include "nt/ke.h"

namespace emu::verifier {
namespace {

struct State {
    std::mutex m;
    std::vector<Report> reports;
    int expecting = 0;
    std::vector<Report> captured;
    FailHandler handler = nullptr;
    std::set<std::pair<const void*, const void*>> pairs;     // (held, then taken)
    std::set<std::pair<const void*, const void*>> reported;
};

State& St() {
    static State* s = new State;
    return *s;
}

}  // namespace

const char* FaultName(Fault f) {
    switch (f) {
        case Fault::IrpCompletedTwice: return "IrpCompletedTwice";
        case Fault::IrpCompletedWithCancelRoutine: return "IrpCompletedWithCancelRoutine";
        case Fault::IrpCompletedHoldingSpinLock: return "IrpCompletedHoldingSpinLock";
        case Fault::IrpCompletedAtBadIrql: return "IrpCompletedAtBadIrql";
        case Fault::PendingNotMarked: return "PendingNotMarked";
        case Fault::MarkedNotPending: return "MarkedNotPending";
        case Fault::IrpFreedWhileOwned: return "IrpFreedWhileOwned";
        case Fault::IrpStackOverflow: return "IrpStackOverflow";
        case Fault::IrpLeaked: return "IrpLeaked";
        case Fault::RequestLeftPending: return "RequestLeftPending";
        case Fault::WaitAtDispatch: return "WaitAtDispatch";
        case Fault::IrqlMisuse: return "IrqlMisuse";
        case Fault::PagedPoolAtDispatch: return "PagedPoolAtDispatch";
        case Fault::SpinLockNotOwned: return "SpinLockNotOwned";
        case Fault::SpinLockBadIrql: return "SpinLockBadIrql";
        case Fault::SpinLockRecursion: return "SpinLockRecursion";
        case Fault::LockOrderInversion: return "LockOrderInversion";
        case Fault::PoolLeak: return "PoolLeak";
        case Fault::PoolMisuse: return "PoolMisuse";
        case Fault::RemoveLockMisuse: return "RemoveLockMisuse";
        case Fault::RemoveLockLeft: return "RemoveLockLeft";
        case Fault::ObjectMisuse: return "ObjectMisuse";
        case Fault::KernelStackOverflow: return "KernelStackOverflow";
        case Fault::RequestToRemovedDevice: return "RequestToRemovedDevice";
        case Fault::ArmedInFreedMemory: return "ArmedInFreedMemory";
        case Fault::PowerPagingMismatch: return "PowerPagingMismatch";
        case Fault::ExecutablePool: return "ExecutablePool";
        case Fault::SpecialPool: return "SpecialPool";
        case Fault::Other: return "Other";
    }
    return "?";
}

void Raise(Fault fault, const std::string& message) {
    State& s = St();
    FailHandler handler = nullptr;
    Report r{fault, message};
    {
        std::lock_guard<std::mutex> g(s.m);
        s.reports.push_back(r);
        if (s.expecting > 0) {
            s.captured.push_back(r);
            return;
        }
        handler = s.handler;
    }
    if (handler) {
        handler(r);
    } else {
        fprintf(stderr, "verifier: %s: %s\n", FaultName(fault), message.c_str());
    }
}

std::vector<Report> Reports() {
    std::lock_guard<std::mutex> g(St().m);
    return St().reports;
}

void Reset() {
    State& s = St();
    std::lock_guard<std::mutex> g(s.m);
    s.reports.clear();
    s.captured.clear();
    s.pairs.clear();
    s.reported.clear();
}

ExpectFaults::ExpectFaults() {
    std::lock_guard<std::mutex> g(St().m);
    St().expecting++;
}

ExpectFaults::~ExpectFaults() {
    std::lock_guard<std::mutex> g(St().m);
    if (--St().expecting == 0) St().captured.clear();
}

std::vector<Report> ExpectFaults::Take() {
    std::lock_guard<std::mutex> g(St().m);
    return std::exchange(St().captured, {});
}

bool ExpectFaults::Saw(Fault f) const {
    std::lock_guard<std::mutex> g(St().m);
    return std::any_of(St().captured.begin(), St().captured.end(), [f](const Report& r) { return r.fault == f; });
}

void SetFailHandler(FailHandler handler) {
    std::lock_guard<std::mutex> g(St().m);
    St().handler = handler;
}

// Records every (held -> taken) pair; taking two locks in both orders anywhere is an inversion,
// a deadlock waiting for the right interleaving.
void NoteLockAcquired(const std::vector<PKSPIN_LOCK>& held, PKSPIN_LOCK lock) {
    if (held.empty()) return;
    State& s = St();
    std::vector<std::string> inversions;
    {
        std::lock_guard<std::mutex> g(s.m);
        for (PKSPIN_LOCK h : held) {
            s.pairs.insert({h, lock});
            if (s.pairs.count({lock, h}) && !s.reported.count({lock, h})) {
                s.reported.insert({lock, h});
                s.reported.insert({h, lock});
                char buf[160];
                snprintf(buf, sizeof buf, "spin lock %p taken while holding %p; elsewhere they were taken in the other order",
                         static_cast<const void*>(lock), static_cast<const void*>(h));
                inversions.push_back(buf);
            }
        }
    }
    for (auto& m : inversions) Raise(Fault::LockOrderInversion, m);
}

void ForgetLocksIn(const void* base, size_t size) {
    State& s = St();
    auto inside = [&](const void* p) {
        auto a = static_cast<const char*>(p);
        auto b = static_cast<const char*>(base);
        return a >= b && a < b + size;
    };
    std::lock_guard<std::mutex> g(s.m);
    std::erase_if(s.pairs, [&](auto& p) { return inside(p.first) || inside(p.second); });
    std::erase_if(s.reported, [&](auto& p) { return inside(p.first) || inside(p.second); });
}

void CheckNothingArmedIn(const void* base, size_t size, const std::string& what) {
    for (auto& d : WithdrawArmedIn(base, size)) Raise(Fault::ArmedInFreedMemory, what + " while " + d);
}

namespace {
// The current thread's chain of nested driver calls; reported once when it first goes too deep.
thread_local std::vector<const char*> tlsCalls;
thread_local bool tlsReported = false;
}  // namespace

DriverCall::DriverCall(const char* what) {
    tlsCalls.push_back(what);
    if (static_cast<int>(tlsCalls.size()) <= kMaxDriverCallDepth || tlsReported) return;
    tlsReported = true;
    std::string chain;
    for (size_t i = 0; i < tlsCalls.size(); ++i) {
        if (i == 4 && tlsCalls.size() > 8) {
            chain += " ... ";
            i = tlsCalls.size() - 4;
        }
        chain += (chain.empty() || chain.ends_with(" ... ") ? "" : " > ") + std::string(tlsCalls[i]);
    }
    Raise(Fault::KernelStackOverflow, "driver calls nested " + std::to_string(tlsCalls.size()) +
                                          " deep on one kernel stack (at most " + std::to_string(kMaxDriverCallDepth) +
                                          " fit in 24 KiB): " + chain);
}

DriverCall::~DriverCall() {
    tlsCalls.pop_back();
    if (tlsCalls.empty()) tlsReported = false;
}

int DriverCallDepth() { return static_cast<int>(tlsCalls.size()); }

}  // namespace emu::verifier

extern "C" void EmuCheckPagedCode(const char* Routine) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > APC_LEVEL) {
        emu::verifier::Raise(emu::verifier::Fault::IrqlMisuse,
                             std::string("PAGED_CODE: ") + Routine + " runs at IRQL " + std::to_string(irql));
    }
}

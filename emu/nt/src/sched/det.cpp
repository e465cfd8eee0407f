// The deterministic scheduler: one context of the emulation holds the processor (the baton) at
// a time. It gives it up at a synchronization point or when it blocks; the session's strategy
// then picks the next among the contexts that can run. When none can, virtual time moves to the
// next armed timer (unless a test thread waits in AdvanceTime, which then decides); when no
// timer is armed either, the contexts are deadlocked and the cycle is reported.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "../ke/sched_internal.h"
#include "emu/explore.h"
#include "emu/verifier.h"

namespace emu::detail {

using verifier::Fault;

struct DetState {
    sched::Strategy* strategy = nullptr;
    ThreadRec* baton = nullptr;
    uint32_t nextId = 0;
    uint64_t hash = 1469598103934665603ULL;  // FNV-1a
    size_t decisions = 0;
    std::vector<std::string> trace;
    LONGLONG start = 0;
    LONGLONG lastApp = 0;  // when a context other than a DPC processor or worker last ran
    bool choosing = true;  // false: no strategy, the running context goes on (set-up, tear-down)
    int streak = 0;        // decisions in a row that kept the running context
    uint32_t faultKinds = 0;  // what DrawFault may draw, and how many more
    int faultBudget = 0;
    size_t faultOpportunities = 0;
    size_t faultsDrawn = 0;
};

namespace {

std::atomic<bool> gActive{false};
// A context that keeps running through this many choices while others could run is spinning
// (waiting for one of them, as a spin-wait loop does): it is made to let another run.
constexpr int kSpinBound = 1000;
// Periodic timers never run out: time moving this far while only DPCs and workers run is a hang.
constexpr LONGLONG kAutoAdvanceLimit = 600000000LL;  // a minute
// A session whose virtual time passes this is looping on timed waits (a stop that never sees its
// activity end, say): nothing will end it, so the process stops with the contexts' state and,
// through the crash report, the schedule that replays it.
constexpr LONGLONG kSessionTimeLimit = 36000000000LL;  // an hour

void Mix(DetState& d, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        d.hash ^= (v >> (i * 8)) & 0xff;
        d.hash *= 1099511628211ULL;
    }
}

bool ReadyNow(ThreadRec* t) { return t->parked && !t->idle && (!t->ready || t->ready()); }

ThreadRec* OwnerOf(Sched& s, PKSPIN_LOCK lock) {
    auto word = std::atomic_ref<ULONG_PTR>(*lock).load();
    for (ThreadRec* t : s.threads)
        if (reinterpret_cast<ULONG_PTR>(t) == word) return t;
    return nullptr;
}

std::string Describe(ThreadRec* t) {
    std::ostringstream out;
    out << t->name;
    if (t->spinningOn) out << " acquiring spin lock " << static_cast<void*>(t->spinningOn);
    else if (t->waitingOn) out << " waiting on object " << static_cast<void*>(t->waitingOn);
    else if (t->parked) out << " waiting";
    return out.str();
}

// No context can run and no timer is armed (or only timers that keep DPCs busy for a minute).
// The deadlock is reported and broken so that the test can end and report the rest: a cycle of
// spin lock waits by letting its first waiter go without the lock, else by ending the newest
// application context's wait with STATUS_TIMEOUT. With neither, the session ends and the
// contexts stay blocked as they would free-running.
ThreadRec* ReportDeadlockLocked(Sched& s) {
    for (ThreadRec* start : s.threads) {
        if (!start->spinningOn) continue;
        std::vector<ThreadRec*> path{start};
        for (ThreadRec* t = OwnerOf(s, start->spinningOn); t && t->spinningOn && path.size() <= s.threads.size();
             t = OwnerOf(s, t->spinningOn)) {
            if (t == start) {
                std::ostringstream out;
                out << "deadlock: ";
                for (ThreadRec* p : path)
                    out << p->name << " waits for spin lock " << static_cast<void*>(p->spinningOn) << " held by "
                        << OwnerOf(s, p->spinningOn)->name << "; ";
                verifier::Raise(Fault::Other, out.str());
                start->abandonWait = true;
                return start;
            }
            path.push_back(t);
        }
    }
    std::ostringstream out;
    out << "deadlock: no context can run" << (s.timers.empty() ? " and no timer is armed:" : " but DPCs and workers:");
    ThreadRec* victim = nullptr;
    for (ThreadRec* t : s.threads) {
        if (t->parked && !t->service && !(t->ready && t->ready())) out << "\n  " << Describe(t);
        if (!t->service && t->block && (!victim || t->detId > victim->detId)) victim = t;
    }
    if (victim) out << "\nthe wait of " << victim->name << " ends with STATUS_TIMEOUT";
    verifier::Raise(Fault::Other, out.str());
    if (!victim) return nullptr;
    AbandonWaitLocked(s, victim);
    s.det->lastApp = s.now;
    return victim;
}

ThreadRec* PickLocked(Sched& s, ThreadRec* me) {
    DetState& d = *s.det;
    for (;;) {
        std::vector<ThreadRec*> enabled;
        for (ThreadRec* t : s.threads)
            if (ReadyNow(t)) enabled.push_back(t);
        if (!enabled.empty()) {
            size_t pick = 0;
            if (enabled.size() > 1 && !d.choosing) {
                for (size_t i = 0; i < enabled.size(); ++i)
                    if (enabled[i] == me) pick = i;
            } else if (enabled.size() > 1) {
                std::vector<uint32_t> ids;
                int current = -1;
                for (size_t i = 0; i < enabled.size(); ++i) {
                    ids.push_back(enabled[i]->detId);
                    if (enabled[i] == me) current = static_cast<int>(i);
                }
                pick = d.strategy->Choose(ids, current);
                if (pick >= enabled.size()) pick = 0;
                d.streak = (current >= 0 && pick == static_cast<size_t>(current)) ? d.streak + 1 : 0;
                if (d.streak > kSpinBound) {
                    pick = current == 0 ? 1 : 0;
                    d.streak = 0;
                }
                d.decisions++;
                if (d.trace.size() < 100000) d.trace.push_back(enabled[pick]->name);
            }
            Mix(d, enabled[pick]->detId);
            if (!enabled[pick]->service) d.lastApp = s.now;
            return enabled[pick];
        }
        for (ThreadRec* t : s.threads)
            if (t->parked && t->idle) {
                Mix(d, 0xfffffffeULL);
                d.lastApp = s.now;
                return t;
            }
        if (!s.timers.empty() && s.timers.begin()->first.first - d.lastApp <= kAutoAdvanceLimit) {
            auto it = s.timers.begin();
            if (it->first.first - d.start > kSessionTimeLimit) {
                std::string out = "hang: an hour of virtual time passed in one deterministic session; contexts:";
                for (ThreadRec* t : s.threads) out += "\n  " + Describe(t);
                std::fprintf(stderr, "%s\n", out.c_str());
                std::abort();
            }
            s.now = std::max(s.now, it->first.first);
            TimerEntry e = it->second;
            s.timers.erase(it);
            Mix(d, static_cast<uint64_t>(s.now - d.start));
            FireLocked(s, e);
            continue;
        }
        return ReportDeadlockLocked(s);
    }
}

DetState* gLast = nullptr;  // the session that ended last, for its hash and trace

void EndLocked(Sched& s) {
    delete gLast;
    gLast = s.det;
    s.det = nullptr;
    gActive.store(false);
    for (ThreadRec* t : s.threads)
        if (t->parkCv) t->parkCv->notify_all();
    s.changed.notify_all();
}

void PassLocked(Sched& s, ThreadRec* me) {
    ThreadRec* next = PickLocked(s, me);
    if (!next) {
        EndLocked(s);
        return;
    }
    s.det->baton = next;
    if (next != me && next->parkCv) next->parkCv->notify_all();
}

bool AlwaysReady() { return true; }

}  // namespace

bool DetActive() { return gActive.load(std::memory_order_relaxed); }

bool DetHolds(Sched& s, ThreadRec* me) { return s.det && s.det->baton == me; }

void DetHandOffLocked(Sched& s, ThreadRec* me, std::unique_lock<std::mutex>&) { PassLocked(s, me); }

void DetAdmitLocked(Sched& s, ThreadRec* rec) {
    rec->detId = s.det->nextId++;
    rec->parked = true;
    rec->ready = AlwaysReady;
    rec->parkCv = &rec->cv;
}

void DetLeaveLocked(Sched& s, ThreadRec* rec) {
    rec->parked = false;
    if (s.det->baton == rec) {
        s.det->baton = nullptr;
        PassLocked(s, nullptr);
    }
}

bool DetWaitSpinLock(PKSPIN_LOCK lock) {
    ThreadRec* me = Self();
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    if (!s.det) return true;
    me->spinningOn = lock;
    me->abandonWait = false;
    WaitLocked(s, me, lk, me->cv, [me, lock] {
        return me->abandonWait || std::atomic_ref<ULONG_PTR>(*lock).load() == 0;
    });
    me->spinningOn = nullptr;
    bool acquired = !me->abandonWait;
    me->abandonWait = false;
    return acquired;
}

}  // namespace emu::detail

namespace emu::sched {

using namespace emu::detail;

void Point() {
    if (!gActive.load(std::memory_order_relaxed)) return;
    ThreadRec* me = Self();
    if (me->atomic > 0) return;
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    if (!DetHolds(s, me)) return;
    WaitLocked(s, me, lk, me->cv, AlwaysReady);
}

AtomicSection::AtomicSection() { Self()->atomic++; }
AtomicSection::~AtomicSection() { Self()->atomic--; }

void MarkAtomicDriver(PVOID driver) {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.atomicDrivers.insert(driver);
}

void ForgetDriver(PVOID driver) {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.atomicDrivers.erase(driver);
}

const char* FaultName(FaultKind kind) {
    static const char* const names[] = {"pool allocation", "IRP or MDL allocation", "transfer failing part-way",
                                        "completion inline", "completion at PASSIVE_LEVEL", "unplug"};
    unsigned k = static_cast<unsigned>(kind);
    return k < static_cast<unsigned>(FaultKind::Count) ? names[k] : "?";
}

// Pool and IRP faults hit only a driver that is not atomic (the driver under test; the device
// model and the emulation's own allocations never fail); the device model asks in its own steps.
bool DrawFault(FaultKind kind) {
    if (!gActive.load(std::memory_order_relaxed)) return false;
    ThreadRec* me = Self();
    bool device = kind != FaultKind::Pool && kind != FaultKind::Irp;
    if (!device && (me->atomic > 0 || me->driver == nullptr)) return false;
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (!s.det || !DetHolds(s, me)) return false;
    DetState& d = *s.det;
    if (!d.choosing || !(d.faultKinds & FaultBit(kind))) return false;
    d.faultOpportunities++;
    if (d.faultBudget <= 0) return false;
    bool fail = d.strategy->Fail(kind);
    Mix(d, (fail ? 0xfffffff0ULL : 0xffffffe0ULL) + static_cast<unsigned>(kind));
    if (fail) {
        d.faultBudget--;
        d.faultsDrawn++;
        if (d.trace.size() < 100000) d.trace.push_back(std::string("fault: ") + FaultName(kind) + " in " + me->name);
    }
    return fail;
}

Session::Session(Strategy& strategy) {
    ThreadRec* me = Self();
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (s.det || s.mode != ClockMode::Virtual) {
        verifier::Raise(verifier::Fault::Other, "a deterministic session needs the virtual clock and no other session");
        return;
    }
    std::string running;
    for (ThreadRec* t : s.threads)
        if (t != me && !t->parked) running += " " + t->name;
    if (!running.empty()) {
        verifier::Raise(verifier::Fault::Other, "a deterministic session starts at quiescence; running:" + running);
        return;
    }
    auto* d = new DetState;
    d->strategy = &strategy;
    d->baton = me;
    d->start = s.now;
    d->lastApp = s.now;
    for (ThreadRec* t : s.threads) t->detId = d->nextId++;
    s.det = d;
    gActive.store(true);
}

// Ends at quiescence: a context that could still run would otherwise run free-running beside
// the next session's start.
Session::~Session() {
    if (DetActive()) RunUntilIdle();
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (s.det) EndLocked(s);
}

namespace {
DetState* Current() {
    Sched& s = S();
    return s.det ? s.det : gLast;
}
}  // namespace

void Session::Choose(bool on) {
    std::lock_guard<std::mutex> g(S().m);
    if (S().det) S().det->choosing = on;
}

void Session::DrawFaults(uint32_t kinds, int budget) {
    std::lock_guard<std::mutex> g(S().m);
    if (!S().det) return;
    S().det->faultKinds = kinds;
    S().det->faultBudget = budget;
}

size_t Session::FaultOpportunities() const {
    std::lock_guard<std::mutex> g(S().m);
    DetState* d = Current();
    return d ? d->faultOpportunities : 0;
}

size_t Session::FaultsDrawn() const { return sched::FaultsDrawn(); }

size_t FaultsDrawn() {
    std::lock_guard<std::mutex> g(S().m);
    DetState* d = Current();
    return d ? d->faultsDrawn : 0;
}

uint64_t Session::Hash() const {
    std::lock_guard<std::mutex> g(S().m);
    DetState* d = Current();
    return d ? d->hash : 0;
}

size_t Session::Decisions() const {
    std::lock_guard<std::mutex> g(S().m);
    DetState* d = Current();
    return d ? d->decisions : 0;
}

std::string Session::Trace(size_t max) const { return LastTrace(max); }

std::string Session::LastTrace(size_t max) {
    std::lock_guard<std::mutex> g(S().m);
    DetState* d = Current();
    if (!d) return {};
    std::string out;
    size_t from = d->trace.size() > max ? d->trace.size() - max : 0;
    for (size_t i = from; i < d->trace.size(); ++i) out += std::to_string(i) + " " + d->trace[i] + "\n";
    return out;
}

}  // namespace emu::sched

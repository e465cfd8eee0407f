// Scheduler of the emulated kernel: execution contexts, the dispatcher lock, the virtual clock
// with its quiescence rule, and per-context IRQL. Dispatcher objects, timers and DPCs are in
// dispatcher.cpp, threads and workers in threads.cpp; the deterministic mode, which lets one
// context run at a time and has a strategy choose the next, is in ../sched/.
#include <algorithm>
#include <sstream>
#include <thread>

#include "emu/counters.h"
#include "emu/verifier.h"
#include "sched_internal.h"

namespace emu {
namespace detail {

using verifier::Fault;

Sched& S() {
    static Sched* s = new Sched;  // never destroyed: threads outlive static destruction
    return *s;
}

namespace {
std::atomic<uint64_t> gBlockingWaits{0}, gWakeups{0}, gTimerThreadWakes{0};

int64_t SteadyNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

void CountBlockingWait() { gBlockingWaits.fetch_add(1, std::memory_order_relaxed); }
void CountTimerThreadWake() { gTimerThreadWakes.fetch_add(1, std::memory_order_relaxed); }

LONGLONG RealNow(const Sched& s) { return (SteadyNs() - s.realStartNs.load(std::memory_order_relaxed)) / 100; }

LONGLONG NowLocked(Sched& s) {
    if (s.mode.load(std::memory_order_relaxed) == ClockMode::Virtual) return s.now;
    return RealNow(s);
}

namespace {
// Wakes deferred by a WakeAfterUnlock on this thread; `wakeScopes` counts the nesting.
thread_local std::vector<ThreadRec*> tlsDeferredWakes;
thread_local bool tlsDeferredTimerWake = false;
thread_local int tlsWakeScopes = 0;
}  // namespace

void NoteTimerDueLocked(Sched& s, LONGLONG due) {
    if (s.mode.load(std::memory_order_relaxed) != ClockMode::RealTime || due >= s.timerWaitUntil) return;
    s.timerWaitUntil = due;  // one notification per earlier timer, not one per timer set
    // The clock thread is in its wait or holds the lock until it is: a notification sent
    // after the unlock reaches it all the same.
    if (tlsWakeScopes > 0) tlsDeferredTimerWake = true;
    else s.timerCv.notify_one();
}

void WakeThreadLocked(Sched&, ThreadRec* t) {
    if (!t->sleeping) return;  // awake, or woken already: it checks its condition before it sleeps
    t->sleeping = false;       // so that the next wake on its channel goes to another sleeper
    gWakeups.fetch_add(1, std::memory_order_relaxed);
    if (tlsWakeScopes > 0) {
        // Notified once the dispatcher lock is released, so that the woken thread does not
        // run straight into it. It is still inside its wait (it slept under the lock), so the
        // notification cannot be lost; the count keeps its record alive until it is sent.
        t->notifyPending.fetch_add(1, std::memory_order_relaxed);
        tlsDeferredWakes.push_back(t);
        return;
    }
    t->cv.notify_one();
}

WakeAfterUnlock::WakeAfterUnlock() { tlsWakeScopes++; }

WakeAfterUnlock::~WakeAfterUnlock() {
    if (--tlsWakeScopes > 0) return;
    for (ThreadRec* t : tlsDeferredWakes) {
        t->cv.notify_one();
        t->notifyPending.fetch_sub(1, std::memory_order_release);
    }
    tlsDeferredWakes.clear();
    if (tlsDeferredTimerWake) {
        tlsDeferredTimerWake = false;
        S().timerCv.notify_one();
    }
}

void WakeLocked(Sched& s, const std::condition_variable& channel, bool one) {
    for (ThreadRec* t : s.threads) {
        if (!t->sleeping || t->channel != &channel) continue;
        // A deterministic session hands the processor over itself; the baton wakes its holder.
        if (s.det || (t->ready && !t->ready())) continue;
        WakeThreadLocked(s, t);
        if (one) return;
    }
}

namespace {
// The holder's record, read on every emulated call: a trivially destructible thread_local is
// reached without the TLS wrapper the holder's destructor needs.
thread_local ThreadRec* tlsSelf = nullptr;
struct ThreadHolder {
    ThreadRec* rec = nullptr;
    ~ThreadHolder() {
        tlsSelf = nullptr;  // the record is freed below: the fast path must not hand it out
        if (!rec) return;
        Sched& s = S();
        std::lock_guard<std::mutex> g(s.m);
        UnregisterLocked(s, rec);
    }
};
thread_local ThreadHolder tlsThread;
}  // namespace

void SetSelf(ThreadRec* rec) {
    tlsThread.rec = rec;
    tlsSelf = rec;
}

void AtomicDriverSet::insert(PVOID driver) {
    if (InSlots(driver) || spill_.count(driver)) return;
    for (auto& slot : slots_) {
        if (slot.load(std::memory_order_relaxed) == nullptr) {
            slot.store(driver, std::memory_order_release);
            return;
        }
    }
    spill_.insert(driver);
    spilled_.store(true, std::memory_order_release);
}

void AtomicDriverSet::erase(PVOID driver) {
    for (auto& slot : slots_) {
        if (slot.load(std::memory_order_relaxed) == driver) slot.store(nullptr, std::memory_order_release);
    }
    spill_.erase(driver);
    spilled_.store(!spill_.empty(), std::memory_order_release);
}

bool AtomicDriverSet::InSlots(PVOID driver) const {
    for (const auto& slot : slots_) {
        if (slot.load(std::memory_order_acquire) == driver) return true;
    }
    return false;
}

ThreadRec* RegisterLocked(Sched& s, const std::string& name, bool runnable) {
    auto* rec = new ThreadRec;
    rec->name = name;
    rec->serial = ++s.serials;
    rec->runnable = runnable;
    if (runnable) s.runnable++;
    s.threads.push_back(rec);
    if (s.det) DetAdmitLocked(s, rec);
    return rec;
}

void UnregisterLocked(Sched& s, ThreadRec* rec) {
    // A wake sent after its notifier's unlock may still be on its way to this record.
    while (rec->notifyPending.load(std::memory_order_acquire) > 0) std::this_thread::yield();
    if (rec->runnable) s.runnable--;
    s.threads.erase(std::remove(s.threads.begin(), s.threads.end(), rec), s.threads.end());
    if (s.det) DetLeaveLocked(s, rec);
    WakeLocked(s, s.changed);
    delete rec;
}

ThreadRec* Self() {
    if (ThreadRec* rec = tlsSelf) return rec;
    if (!tlsThread.rec) {
        Sched& s = S();
        std::lock_guard<std::mutex> g(s.m);
        StartProcessorsLocked(s);
        if (s.det) verifier::Raise(Fault::Other, "a thread unknown to the scheduler entered a deterministic session");
        tlsThread.rec = RegisterLocked(s, "thread", true);
    }
    tlsSelf = tlsThread.rec;
    return tlsSelf;
}

void MakeRunnableLocked(Sched& s, ThreadRec* t) {
    if (!t->runnable) {
        t->runnable = true;
        s.runnable++;
    }
}

void MakeBlockedLocked(Sched& s, ThreadRec* t) {
    if (t->runnable) {
        t->runnable = false;
        s.runnable--;
        if (QuiescentLocked(s)) WakeLocked(s, s.changed);
    }
}

void NotifyBusyLocked(Sched& s, int delta) {
    s.busy += delta;
    if (QuiescentLocked(s)) WakeLocked(s, s.changed);
}

bool QuiescentLocked(Sched& s) { return s.runnable == 0 && s.busy == 0; }

void WaitLocked(Sched& s, ThreadRec* me, std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                std::function<bool()> ready, bool idle) {
    // A context parked from its registration (a worker or DPC processor whose OS thread only
    // now reaches its first wait) may already have been chosen: it then runs, it does not choose.
    bool running = !me->parked;
    me->parked = true;
    me->idle = idle;
    me->ready = std::move(ready);
    me->parkCv = &me->cv;
    me->channel = &cv;
    if (running && s.det && DetHolds(s, me)) DetHandOffLocked(s, me, lk);
    // Deterministic: the scheduler hands over only once `ready` holds. A session may also end
    // while this context waits; it then waits as a free-running one.
    while (s.det ? !DetHolds(s, me) : !me->ready()) {
        me->sleeping = true;
        CountBlockingWait();
        me->cv.wait(lk);
        me->sleeping = false;
    }
    me->parked = false;
    me->idle = false;
    me->ready = nullptr;
    me->parkCv = nullptr;
    me->channel = nullptr;
}

namespace {
void WaitQuiescentLocked(Sched& s, ThreadRec* me, std::unique_lock<std::mutex>& lk,
                         std::chrono::milliseconds limit) {
    if (s.det) {
        // The scheduler gives an idle waiter the processor once no other context can run.
        MakeBlockedLocked(s, me);
        WaitLocked(s, me, lk, s.changed, [&s] { return QuiescentLocked(s); }, true);
        return;
    }
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!QuiescentLocked(s)) {
        // Not parked: the deterministic scheduler never picks a free-running idle waiter.
        me->channel = &s.changed;
        me->ready = [&s] { return QuiescentLocked(s); };
        me->sleeping = true;
        CountBlockingWait();
        bool timedOut = me->cv.wait_until(lk, deadline) == std::cv_status::timeout;
        me->sleeping = false;
        me->channel = nullptr;
        me->ready = nullptr;
        if (timedOut && !QuiescentLocked(s)) {
            lk.unlock();
            verifier::Raise(Fault::Other, "the emulation did not become idle within " +
                                              std::to_string(limit.count()) + " ms\n" + DumpState());
            lk.lock();
            return;
        }
    }
}
}  // namespace

}  // namespace detail

using namespace detail;

// ---- test-bed API -----------------------------------------------------------------------------

void SetClockMode(ClockMode mode) {
    Self();
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.mode.store(mode, std::memory_order_relaxed);
    s.now = 0;
    s.realStartNs.store(SteadyNs(), std::memory_order_relaxed);
    s.timerWaitUntil = kNever;
    s.timerCv.notify_one();  // the timer thread sleeps anew on the new clock
}

ClockMode GetClockMode() { return S().mode.load(std::memory_order_relaxed); }

// The real-time clock is read without the lock; the virtual one moves under it.
LONGLONG Now() {
    Sched& s = S();
    if (s.mode.load(std::memory_order_relaxed) == ClockMode::RealTime) return RealNow(s);
    std::lock_guard<std::mutex> g(s.m);
    return NowLocked(s);
}

void AdvanceTime100ns(LONGLONG delta, std::chrono::milliseconds wall_limit) {
    ThreadRec* me = Self();
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.mode.load(std::memory_order_relaxed) != ClockMode::Virtual) {
        lk.unlock();
        verifier::Raise(Fault::Other, "AdvanceTime needs the virtual clock");
        return;
    }
    MakeBlockedLocked(s, me);
    LONGLONG target = s.now + delta;
    for (;;) {
        WaitQuiescentLocked(s, me, lk, wall_limit);
        if (s.timers.empty() || s.timers.begin()->first.first > target) break;
        auto it = s.timers.begin();
        s.now = std::max(s.now, it->first.first);
        TimerEntry e = it->second;
        s.timers.erase(it);
        FireLocked(s, e);
    }
    s.now = std::max(s.now, target);
    MakeRunnableLocked(s, me);
}

void RunUntilIdle(std::chrono::milliseconds wall_limit) { AdvanceTime100ns(0, wall_limit); }

std::optional<LONGLONG> NextDueTime() {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    if (s.timers.empty()) return std::nullopt;
    return s.timers.begin()->first.first;
}

bool AdvanceTimeUntil(const std::function<bool()>& done, LONGLONG limit100ns, std::chrono::milliseconds wall_limit) {
    LONGLONG start = Now();
    for (;;) {
        RunUntilIdle(wall_limit);
        if (done()) return true;
        LONGLONG now = Now();
        std::optional<LONGLONG> next = NextDueTime();
        if (limit100ns < 0) {
            // Periodic timers never run out: two minutes of virtual time stand for "for ever".
            if (!next || *next - start > 1200000000LL) return false;
            AdvanceTime100ns(std::max<LONGLONG>(*next - now, 0), wall_limit);
            continue;
        }
        LONGLONG end = start + limit100ns;
        if (now >= end) return false;
        LONGLONG step = (next && *next < end) ? *next : end;
        AdvanceTime100ns(std::max<LONGLONG>(step - now, 0), wall_limit);
    }
}

std::string DumpState() {
    Sched& s = S();
    std::ostringstream out;
    std::unique_lock<std::mutex> lk(s.m, std::try_to_lock);
    out << "time " << s.now << " (100 ns), runnable threads " << s.runnable << ", busy " << s.busy << "\n";
    for (ThreadRec* t : s.threads) {
        out << "  " << t->name << (t->runnable ? " runnable" : " blocked");
        if (t->waitingOn) out << " waiting on object " << static_cast<void*>(t->waitingOn);
        if (t->spinningOn) out << " acquiring spin lock " << static_cast<void*>(t->spinningOn);
        out << " irql " << int(t->irql) << " holding " << t->held.size() << " spin lock(s)\n";
    }
    for (auto& [key, e] : s.timers) {
        out << "  due " << key.first << ": "
            << (e.timer ? "timer " : "time-out of ") << (e.timer ? static_cast<void*>(e.timer) : static_cast<void*>(e.waiter))
            << "\n";
    }
    out << "  " << s.dpcQueue.size() << " DPC(s) queued\n";
    return out.str();
}

WaitCounters ReadWaitCounters() {
    WaitCounters c;
    c.blockingWaits = gBlockingWaits.load(std::memory_order_relaxed);
    c.wakeups = gWakeups.load(std::memory_order_relaxed);
    c.timerThreadWakes = gTimerThreadWakes.load(std::memory_order_relaxed);
    return c;
}

PVOID CurrentDriver() { return Self()->driver; }

// Entering a driver marked atomic makes its routines atomic steps; entering any other driver
// (a completion routine of the driver under test, called by the model) lifts that again, and so
// does code run for no driver (the completion routine of an IRP its sender allocated, called
// past the IRP's last location), which must not inherit the step of the driver completing it.
DriverScope::DriverScope(PVOID driver) : saved_(Self()->driver) {
    ThreadRec* me = Self();
    me->driver = driver;
    savedAtomic_ = me->atomic;
    if (driver == nullptr) {
        me->atomic = 0;
        return;
    }
    Sched& s = S();
    bool atomic = s.atomicDrivers.InSlots(driver);
    if (!atomic && s.atomicDrivers.Spilled()) {
        std::lock_guard<std::mutex> g(s.m);
        atomic = s.atomicDrivers.InSpillLocked(driver);
    }
    me->atomic = atomic ? 1 : 0;
}
DriverScope::~DriverScope() {
    ThreadRec* me = Self();
    me->atomic = savedAtomic_;
    me->driver = saved_;
}
int HeldSpinLockCount() { return static_cast<int>(Self()->held.size()); }

namespace detail {
// Used by the spin lock routines.
std::vector<PKSPIN_LOCK>& HeldLocks() { return Self()->held; }
KIRQL& CurrentIrql() { return Self()->irql; }
void* CurrentThreadToken() { return Self(); }
}  // namespace detail

}  // namespace emu

// ---- IRQL and time ------------------------------------------------------------------------------
using namespace emu;
using namespace emu::detail;

extern "C" {

KIRQL KeGetCurrentIrql(void) { return Self()->irql; }

void KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    ThreadRec* me = Self();
    *OldIrql = me->irql;
    if (NewIrql < me->irql) {
        verifier::Raise(verifier::Fault::IrqlMisuse, "KeRaiseIrql to " + std::to_string(NewIrql) +
                                                       " below the current IRQL " + std::to_string(me->irql));
        return;
    }
    me->irql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
    ThreadRec* me = Self();
    if (NewIrql > me->irql) {
        verifier::Raise(verifier::Fault::IrqlMisuse, "KeLowerIrql to " + std::to_string(NewIrql) +
                                                       " above the current IRQL " + std::to_string(me->irql));
        return;
    }
    me->irql = NewIrql;
}

KIRQL KeRaiseIrqlToDpcLevel(void) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

ULONG KeGetCurrentProcessorNumber(void) { return Self()->processor; }

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = kSystemTimeBase + emu::Now(); }

ULONGLONG KeQueryInterruptTime(void) { return static_cast<ULONGLONG>(emu::Now()); }

void KeQueryTickCount(PLARGE_INTEGER TickCount) { TickCount->QuadPart = emu::Now() / 156250; }
ULONG KeQueryTimeIncrement(void) { return 156250; }

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency) PerformanceFrequency->QuadPart = 10000000;
    LARGE_INTEGER li;
    li.QuadPart = emu::Now();
    return li;
}

}  // extern "C"

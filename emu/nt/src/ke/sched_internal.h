// State shared by the scheduler's files: contexts, the dispatcher lock, timers and the DPC queue.
// Everything here is guarded by Sched::m, except what is marked as read without it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "emu/sched.h"
#include "nt/ke.h"

namespace emu::detail {

constexpr LONGLONG kSystemTimeBase = 133000000000000000LL;  // a day in 2022, 100 ns since 1601

struct ThreadRec;
struct DetState;  // the deterministic scheduler's session (sched/det.cpp)

struct WaitBlock {
    LIST_ENTRY Entry;  // in the object's WaitListHead
    ThreadRec* Thread;
};

// One execution context: an application thread, a DPC processor or a worker.
struct ThreadRec {
    std::condition_variable cv;
    std::string name = "thread";
    uint64_t serial = 0;           // never reused: joins wait for it to go
    bool runnable = true;          // free-running quiescence count
    bool satisfied = false;
    NTSTATUS waitStatus = STATUS_SUCCESS;
    WaitBlock* block = nullptr;
    DISPATCHER_HEADER* waitingOn = nullptr;
    bool hasTimeout = false;
    std::pair<LONGLONG, ULONGLONG> timeoutKey{};
    KIRQL irql = PASSIVE_LEVEL;
    std::vector<PKSPIN_LOCK> held;
    PVOID driver = nullptr;
    ULONG processor = 0;
    // Parked: waiting in WaitLocked (or at a synchronization point) until `ready` holds; a null
    // `ready` means ready at once. `idle` parks until nothing else can run (AdvanceTime).
    bool parked = false;
    bool idle = false;
    std::function<bool()> ready;
    std::condition_variable* parkCv = nullptr;  // what the deterministic scheduler notifies: always `cv`
    // Free-running waits: every context sleeps on its own `cv`; `channel` names what it waits
    // for (the condition variable passed to WaitLocked), so that a notifier wakes only the
    // sleepers on that channel whose condition now holds. `sleeping` is exact under Sched::m.
    const void* channel = nullptr;
    bool sleeping = false;
    std::atomic<int> notifyPending{0};  // wakes decided under the lock, not yet sent (WakeAfterUnlock)
    PKSPIN_LOCK spinningOn = nullptr;  // deterministic mode: blocked acquiring this lock
    bool abandonWait = false;          // a deadlock was broken by letting this wait go
    int atomic = 0;                    // > 0: no voluntary switch (the device model's steps)
    bool service = false;              // a DPC processor or worker: waits for work, not for a result
    uint32_t detId = 0;                // order of the context in the current session
};

// An entry of the timer queue: a KTIMER or the time-out of a waiting thread.
struct TimerEntry {
    PKTIMER timer = nullptr;
    ThreadRec* waiter = nullptr;
};

constexpr LONGLONG kNever = INT64_MAX;

// The drivers whose routines are atomic steps (MarkAtomicDriver). Changed under Sched::m;
// DriverScope looks a driver up on every driver call, mostly without the lock: the first
// kSlots drivers are in atomic slots, any further ones in a set read under the lock.
class AtomicDriverSet {
public:
    void insert(PVOID driver);
    void erase(PVOID driver);
    bool InSlots(PVOID driver) const;
    bool Spilled() const { return spilled_.load(std::memory_order_acquire); }
    bool InSpillLocked(PVOID driver) const { return spill_.count(driver) != 0; }

private:
    static constexpr int kSlots = 16;
    std::atomic<PVOID> slots_[kSlots]{};
    std::set<PVOID> spill_;
    std::atomic<bool> spilled_{false};
};

struct Sched {
    std::mutex m;
    std::condition_variable changed;  // channel: quiescence, threads leaving
    std::atomic<ClockMode> mode{ClockMode::Virtual};  // read without the lock
    LONGLONG now = 0;                 // virtual interrupt time
    // steady_clock nanoseconds at the real-time clock's zero; read without the lock.
    std::atomic<int64_t> realStartNs{std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::steady_clock::now().time_since_epoch()).count()};
    // The real-time timer thread's own wait: it sleeps until `timerWaitUntil` (kNever: until a
    // timer is set) and is woken only by a timer due earlier than that, a mode change or the end.
    std::condition_variable timerCv;
    LONGLONG timerWaitUntil = kNever;
    ULONGLONG seq = 0;
    std::map<std::pair<LONGLONG, ULONGLONG>, TimerEntry> timers;
    int runnable = 0;
    int busy = 0;                     // queued + running DPCs, pending + running worker tasks
    std::deque<PKDPC> dpcQueue;
    std::condition_variable dpcReady;
    // Tickets of DPCs queued or running, in queueing order, for KeFlushQueuedDpcs.
    ULONGLONG dpcTicket = 0;
    std::map<PKDPC, ULONGLONG> dpcQueuedTicket;
    std::multiset<ULONGLONG> dpcOutstanding;
    std::condition_variable dpcRan;
    std::vector<ThreadRec*> threads;  // in registration order
    uint64_t serials = 0;
    bool started = false;
    AtomicDriverSet atomicDrivers;
    DetState* det = nullptr;          // non-null while a deterministic session runs
};

Sched& S();
ThreadRec* Self();
void SetSelf(ThreadRec* rec);
LONGLONG NowLocked(Sched& s);
// Real-time interrupt time, without the lock.
LONGLONG RealNow(const Sched& s);
// Wakes the real-time timer thread if a timer due at `due` is earlier than its wait.
void NoteTimerDueLocked(Sched& s, LONGLONG due);
// Wakes the sleepers on `channel` (the condition variable a WaitLocked was given) whose
// condition holds: every one, or only the first (one DPC processor for one DPC).
void WakeLocked(Sched& s, const std::condition_variable& channel, bool one = false);
// Wakes one context out of a wait whose condition its caller has just made true.
void WakeThreadLocked(Sched& s, ThreadRec* t);
// Declared before the lock guard of a routine that does not wait itself: the wakes decided
// under the lock are sent once it is released (at the outermost scope of the thread).
class WakeAfterUnlock {
public:
    WakeAfterUnlock();
    ~WakeAfterUnlock();
    WakeAfterUnlock(const WakeAfterUnlock&) = delete;
    WakeAfterUnlock& operator=(const WakeAfterUnlock&) = delete;
};
// The emulation's hand-off counters (emu/counters.h).
void CountBlockingWait();
void CountTimerThreadWake();
ThreadRec* RegisterLocked(Sched& s, const std::string& name, bool runnable);
void UnregisterLocked(Sched& s, ThreadRec* rec);
void StartProcessorsLocked(Sched& s);
void MakeRunnableLocked(Sched& s, ThreadRec* t);
void MakeBlockedLocked(Sched& s, ThreadRec* t);
void NotifyBusyLocked(Sched& s, int delta);
BOOLEAN QueueDpcLocked(Sched& s, PKDPC dpc, PVOID a1, PVOID a2);
bool RemoveQueuedDpcLocked(Sched& s, PKDPC dpc);
// `noteDue` false: the caller fires it at once, so the real-time clock's thread need not know.
void InsertTimerLocked(Sched& s, PKTIMER t, LONGLONG due, bool noteDue = true);
bool RemoveTimerLocked(Sched& s, PKTIMER t);
void FireLocked(Sched& s, const TimerEntry& e);
void FireDueLocked(Sched& s);
// Ends the wait of `t` with STATUS_TIMEOUT (a deadlock broken); false if it is not in a wait.
bool AbandonWaitLocked(Sched& s, ThreadRec* t);
bool QuiescentLocked(Sched& s);

// Waits with the dispatcher lock held in `lk` until `ready` holds. Free-running it sleeps on
// `cv` (whoever makes `ready` true notifies it); in deterministic mode it hands the processor
// to the scheduler and returns when the scheduler gives it back with `ready` true.
void WaitLocked(Sched& s, ThreadRec* me, std::unique_lock<std::mutex>& lk, std::condition_variable& cv,
                std::function<bool()> ready, bool idle = false);

// ---- the deterministic scheduler (sched/det.cpp) -------------------------------------------
// The running context gives up the processor: the strategy picks who runs next (`me` too if
// it can still run) and the call returns when `me` is chosen again.
void DetHandOffLocked(Sched& s, ThreadRec* me, std::unique_lock<std::mutex>& lk);
bool DetHolds(Sched& s, ThreadRec* me);
bool DetActive();
// A context that was parked before the session or that starts inside it.
void DetAdmitLocked(Sched& s, ThreadRec* rec);
// A context leaves (thread end): the processor goes to the next one.
void DetLeaveLocked(Sched& s, ThreadRec* rec);
// Blocks the current context until `lock` is free; false when a deadlock was broken instead.
bool DetWaitSpinLock(PKSPIN_LOCK lock);

}  // namespace emu::detail

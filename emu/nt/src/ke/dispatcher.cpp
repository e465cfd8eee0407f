// Dispatcher objects (events, timers, waits) and DPCs of the emulated kernel, with the DPC
// processors that run them. Each routine that another processor could race with is a
// synchronization point of the deterministic scheduler.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <thread>

#include "emu/explore.h"
#include "emu/verifier.h"
#include "sched_internal.h"

namespace emu::detail {
namespace {

using verifier::Fault;

bool IsSynchronization(const DISPATCHER_HEADER* h) {
    return h->Type == SynchronizationEvent + 1 || h->Type == 0x10 + SynchronizationTimer;
}

// An object's state is read and changed without the dispatcher lock where nobody waits for it:
// setting an event, clearing it, reading it, a wait on a signalled object. Its waiters are
// linked and unlinked under the lock, and kWaited in SignalState (set and cleared only under
// it) says whether there are any. The signal and that bit are one word, so each side sees the
// other in one atomic step: a waiter raises the bit only while there is no signal (else it takes
// the signal), and a setter learns whether anyone waits from the same exchange that signals.
// A setter that finds nobody waiting is then done with the object: a waiter that takes the
// signal may free it at once (an event on its stack), as on Windows, where both sides hold the
// dispatcher lock.
constexpr LONG kWaited = 0x40000000;
std::atomic_ref<LONG> StateOf(DISPATCHER_HEADER* h) { return std::atomic_ref<LONG>(h->SignalState); }
LONG Signal(LONG state) { return state & ~kWaited; }

// Takes the signal for a waiter, which consumes a synchronization object's.
bool TakeSignal(DISPATCHER_HEADER* h) {
    std::atomic_ref<LONG> state = StateOf(h);
    LONG v = state.load();
    if (!IsSynchronization(h)) return Signal(v) > 0;
    while (Signal(v) > 0) {
        if (state.compare_exchange_weak(v, v & kWaited)) return true;
    }
    return false;
}

// Signals the object; true when somebody waits for it (the caller then wakes them under the lock).
bool StoreSignal(DISPATCHER_HEADER* h, LONG* previous = nullptr) {
    LONG old = StateOf(h).fetch_or(1);
    if (previous) *previous = Signal(old);
    return (old & kWaited) != 0;
}

LONG ClearSignal(DISPATCHER_HEADER* h) { return Signal(StateOf(h).fetch_and(kWaited)); }

void UnlinkWaitBlockLocked(DISPATCHER_HEADER* h, WaitBlock* block) {
    RemoveEntryList(&block->Entry);
    if (IsListEmpty(&h->WaitListHead)) StateOf(h).fetch_and(~kWaited);
}

// Under the lock, with the waiter's block linked: raises kWaited unless the object is signalled,
// in which case the signal is taken instead. True when the wait is satisfied at once.
bool TakeSignalOrMarkWaitedLocked(DISPATCHER_HEADER* h) {
    std::atomic_ref<LONG> state = StateOf(h);
    LONG v = state.load();
    for (;;) {
        if (Signal(v) > 0) {
            if (!IsSynchronization(h) || state.compare_exchange_weak(v, v & kWaited)) return true;
            continue;
        }
        if (state.compare_exchange_weak(v, v | kWaited)) return false;
    }
}

// Satisfies the wait of one waiter: unlinks its block, cancels its time-out, makes it runnable.
void ReleaseWaiterLocked(Sched& s, ThreadRec* t, NTSTATUS status) {
    if (t->block) UnlinkWaitBlockLocked(t->waitingOn, t->block);
    t->block = nullptr;
    t->waitingOn = nullptr;
    if (t->hasTimeout) {
        s.timers.erase(t->timeoutKey);
        t->hasTimeout = false;
    }
    t->waitStatus = status;
    t->satisfied = true;
    MakeRunnableLocked(s, t);
    if (!s.det) WakeThreadLocked(s, t);  // a deterministic session hands over by the baton
}


// Wakes waiters of a signalled object: all for notification objects, one for synchronization
// objects, whose signal the released waiter consumes.
void WakeWaitersLocked(Sched& s, DISPATCHER_HEADER* h) {
    while (!IsListEmpty(&h->WaitListHead) && TakeSignal(h)) {
        auto* block = CONTAINING_RECORD(h->WaitListHead.Flink, WaitBlock, Entry);
        ReleaseWaiterLocked(s, block->Thread, STATUS_SUCCESS);
    }
}

}  // namespace

bool AbandonWaitLocked(Sched& s, ThreadRec* t) {
    if (!t->block) return false;
    ReleaseWaiterLocked(s, t, STATUS_TIMEOUT);
    return true;
}

BOOLEAN QueueDpcLocked(Sched& s, PKDPC dpc, PVOID a1, PVOID a2) {
    if (dpc->DpcData != nullptr) return FALSE;
    dpc->DpcData = dpc;
    dpc->SystemArgument1 = a1;
    dpc->SystemArgument2 = a2;
    s.dpcQueue.push_back(dpc);
    s.dpcQueuedTicket[dpc] = ++s.dpcTicket;
    s.dpcOutstanding.insert(s.dpcTicket);
    NotifyBusyLocked(s, +1);
    WakeLocked(s, s.dpcReady, true);
    return TRUE;
}

void FireLocked(Sched& s, const TimerEntry& e) {
    if (e.waiter) {
        ThreadRec* t = e.waiter;
        t->hasTimeout = false;
        ReleaseWaiterLocked(s, t, STATUS_TIMEOUT);
        return;
    }
    PKTIMER t = e.timer;
    t->Header.Inserted = FALSE;
    StoreSignal(&t->Header);
    WakeWaitersLocked(s, &t->Header);
    if (t->Period > 0) InsertTimerLocked(s, t, static_cast<LONGLONG>(t->DueTime) + t->Period * 10000LL);
    if (t->Dpc) QueueDpcLocked(s, t->Dpc, reinterpret_cast<PVOID>(t->DueTime), nullptr);
}

void InsertTimerLocked(Sched& s, PKTIMER t, LONGLONG due, bool noteDue) {
    t->DueTime = static_cast<ULONGLONG>(due);
    t->Sequence = ++s.seq;
    t->Header.Inserted = TRUE;
    s.timers[{due, t->Sequence}] = TimerEntry{t, nullptr};
    if (noteDue) NoteTimerDueLocked(s, due);
}

bool RemoveQueuedDpcLocked(Sched& s, PKDPC dpc) {
    if (dpc->DpcData == nullptr) return false;
    s.dpcQueue.erase(std::find(s.dpcQueue.begin(), s.dpcQueue.end(), dpc));
    dpc->DpcData = nullptr;
    auto ticketIt = s.dpcQueuedTicket.find(dpc);
    s.dpcOutstanding.erase(s.dpcOutstanding.find(ticketIt->second));
    s.dpcQueuedTicket.erase(ticketIt);
    WakeLocked(s, s.dpcRan);
    NotifyBusyLocked(s, -1);
    return true;
}

bool RemoveTimerLocked(Sched& s, PKTIMER t) {
    if (!t->Header.Inserted) return false;
    s.timers.erase({static_cast<LONGLONG>(t->DueTime), t->Sequence});
    t->Header.Inserted = FALSE;
    return true;
}

// Virtual mode fires what is due at once; real mode lets the timer thread do it.
void FireDueLocked(Sched& s) {
    LONGLONG now = NowLocked(s);
    while (!s.timers.empty() && s.timers.begin()->first.first <= now) {
        TimerEntry e = s.timers.begin()->second;
        s.timers.erase(s.timers.begin());
        FireLocked(s, e);
    }
}

LONGLONG DueFromLargeInteger(Sched& s, LARGE_INTEGER due) {
    LONGLONG now = NowLocked(s);
    if (due.QuadPart < 0) return now - due.QuadPart;
    return due.QuadPart - kSystemTimeBase;  // absolute system time
}

namespace {
bool DpcQueued() { return !S().dpcQueue.empty(); }

// An idle processor is not runnable: queued DPCs count as busy instead.
void DpcProcessor(ThreadRec* me) {
    Sched& s = S();
    SetSelf(me);
    std::unique_lock<std::mutex> lk(s.m);
    for (;;) {
        WaitLocked(s, me, lk, s.dpcReady, [&s] { return !s.dpcQueue.empty(); });
        PKDPC dpc = s.dpcQueue.front();
        s.dpcQueue.pop_front();
        dpc->DpcData = nullptr;
        auto ticketIt = s.dpcQueuedTicket.find(dpc);
        ULONGLONG ticket = ticketIt->second;
        s.dpcQueuedTicket.erase(ticketIt);
        PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
        PVOID context = dpc->DeferredContext, a1 = dpc->SystemArgument1, a2 = dpc->SystemArgument2;
        lk.unlock();
        me->irql = DISPATCH_LEVEL;
        { verifier::DriverCall nest("DPC routine"); routine(dpc, context, a1, a2); }
        if (me->irql != DISPATCH_LEVEL)
            verifier::Raise(Fault::IrqlMisuse, "DPC routine returned at IRQL " + std::to_string(me->irql));
        if (!me->held.empty())
            verifier::Raise(Fault::IrqlMisuse, "DPC routine returned holding a spin lock");
        me->held.clear();
        me->irql = DISPATCH_LEVEL;
        lk.lock();
        s.dpcOutstanding.erase(s.dpcOutstanding.find(ticket));
        WakeLocked(s, s.dpcRan);
        NotifyBusyLocked(s, -1);
    }
}

// Sleeps until the earliest due time; a timer set to fire earlier than that wakes it
// (NoteTimerDueLocked), nothing else does. A cancelled timer costs one early wake at most.
void RealTimerThread() {
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    for (;;) {
        LONGLONG due = kNever;
        if (s.mode.load(std::memory_order_relaxed) == ClockMode::RealTime && !s.timers.empty())
            due = s.timers.begin()->first.first;
        LONGLONG now = RealNow(s);
        if (due <= now) {
            FireDueLocked(s);
            continue;
        }
        s.timerWaitUntil = due;
        if (due == kNever) s.timerCv.wait(lk);
        else s.timerCv.wait_for(lk, std::chrono::nanoseconds(std::min<LONGLONG>(due - now, 36000000000LL) * 100));
        s.timerWaitUntil = kNever;
        CountTimerThreadWake();
    }
}

}  // namespace

void StartProcessorsLocked(Sched& s) {
    if (s.started) return;
    s.started = true;
    for (ULONG i = 0; i < kDpcProcessors; ++i) {
        ThreadRec* rec = RegisterLocked(s, "dpc" + std::to_string(i), false);
        rec->processor = i;
        rec->service = true;
        // Parked from the start, so that a deterministic session sees it before it first runs.
        rec->parked = true;
        rec->ready = DpcQueued;
        rec->parkCv = &rec->cv;
        std::thread(DpcProcessor, rec).detach();
    }
    std::thread(RealTimerThread).detach();
}

}  // namespace emu::detail

using namespace emu;
using namespace emu::detail;
using emu::verifier::Fault;

extern "C" {

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type + 1);
    Event->Header.Signalling = 0;
    Event->Header.SignalState = State ? 1 : 0;  // and nobody waits
    Event->Header.Inserted = 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

// The lock is taken only to release waiters (see StateOf). The synchronization point stays
// first, so a deterministic schedule has the same decisions as before.
LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    sched::Point();
    LONG previous;
    if (!StoreSignal(&Event->Header, &previous)) return previous;  // and no further touch of it
    Sched& s = S();
    WakeAfterUnlock wakes;
    std::lock_guard<std::mutex> g(s.m);
    WakeWaitersLocked(s, &Event->Header);
    return previous;
}

void KeClearEvent(PRKEVENT Event) { ClearSignal(&Event->Header); }

LONG KeResetEvent(PRKEVENT Event) { return ClearSignal(&Event->Header); }

LONG KeReadStateEvent(PRKEVENT Event) { return Signal(StateOf(&Event->Header).load()); }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
    sched::Point();
    ThreadRec* me = Self();
    auto* h = static_cast<DISPATCHER_HEADER*>(Object);
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (me->irql >= DISPATCH_LEVEL && !poll) {
        verifier::Raise(verifier::Fault::WaitAtDispatch,
                        "KeWaitForSingleObject with a non-zero time-out at IRQL " + std::to_string(me->irql));
        return STATUS_TIMEOUT;
    }
    if (TakeSignal(h)) return STATUS_SUCCESS;
    if (poll) return STATUS_TIMEOUT;
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    // Linked first, then marked waited or the signal taken if a setter stored it meanwhile.
    WaitBlock block{{}, me};
    InsertTailList(&h->WaitListHead, &block.Entry);
    if (TakeSignalOrMarkWaitedLocked(h)) {
        UnlinkWaitBlockLocked(h, &block);
        return STATUS_SUCCESS;
    }
    me->block = &block;
    me->waitingOn = h;
    me->satisfied = false;
    if (Timeout != nullptr) {
        LONGLONG due = DueFromLargeInteger(s, *Timeout);
        me->timeoutKey = {due, ++s.seq};
        me->hasTimeout = true;
        s.timers[me->timeoutKey] = TimerEntry{nullptr, me};
        if (due <= NowLocked(s)) FireDueLocked(s);  // already due: no clock thread involved
        else NoteTimerDueLocked(s, due);
    }
    MakeBlockedLocked(s, me);
    WaitLocked(s, me, lk, me->cv, [me] { return me->satisfied; });
    MakeRunnableLocked(s, me);
    return me->waitStatus;
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    KTIMER timer;
    KeInitializeTimer(&timer);
    KeSetTimer(&timer, *Interval, nullptr);
    KeWaitForSingleObject(&timer, Executive, WaitMode, Alertable, nullptr);
    return STATUS_SUCCESS;
}

void KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

void KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
    *Timer = KTIMER{};
    Timer->Header.Type = static_cast<UCHAR>(0x10 + Type);
    InitializeListHead(&Timer->Header.WaitListHead);
    InitializeListHead(&Timer->TimerListEntry);
}

// A timer already due fires here, on either clock: the real-time clock's thread is woken only
// for one that is not (a 0 ms timer that queues a DPC is common).
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    sched::Point();
    Sched& s = S();
    WakeAfterUnlock wakes;
    std::lock_guard<std::mutex> g(s.m);
    BOOLEAN wasSet = RemoveTimerLocked(s, Timer);
    ClearSignal(&Timer->Header);
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    LONGLONG due = DueFromLargeInteger(s, DueTime);
    bool dueNow = due <= NowLocked(s);
    InsertTimerLocked(s, Timer, due, !dueNow);
    if (dueNow) FireDueLocked(s);
    return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    sched::Point();
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return RemoveTimerLocked(s, Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) { return Signal(StateOf(&Timer->Header).load()) > 0; }

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    *Dpc = KDPC{};
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->Importance = MediumImportance;
    InitializeListHead(&Dpc->DpcListEntry);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    sched::Point();
    Sched& s = S();
    WakeAfterUnlock wakes;
    std::lock_guard<std::mutex> g(s.m);
    StartProcessorsLocked(s);
    return QueueDpcLocked(s, Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    sched::Point();
    Sched& s = S();
    WakeAfterUnlock wakes;
    std::lock_guard<std::mutex> g(s.m);
    return RemoveQueuedDpcLocked(s, Dpc);
}

// Returns once every DPC queued before the call has run; DPCs queued meanwhile are not waited for.
void KeFlushQueuedDpcs(void) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        verifier::Raise(Fault::IrqlMisuse, "KeFlushQueuedDpcs at IRQL " + std::to_string(KeGetCurrentIrql()));
        return;
    }
    ThreadRec* me = Self();
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    ULONGLONG last = s.dpcTicket;
    WaitLocked(s, me, lk, s.dpcRan, [&s, last] { return s.dpcOutstanding.empty() || *s.dpcOutstanding.begin() > last; });
}

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }

}  // extern "C"

// ---- what is armed inside a range of memory (the verifier's checks of frees) ----------------------
namespace emu::verifier {

using namespace emu::detail;

// Each is withdrawn once described (timer cancelled, DPC dequeued, waiter released with
// STATUS_UNSUCCESSFUL), so the run goes on after the fault instead of touching freed memory.
std::vector<std::string> WithdrawArmedIn(const void* base, size_t size) {
    auto inside = [&](const void* p) {
        auto a = static_cast<const char*>(p);
        auto b = static_cast<const char*>(base);
        return a >= b && a < b + size;
    };
    auto text = [](const char* format, const void* a, const void* b = nullptr) {
        char buf[128];
        snprintf(buf, sizeof buf, format, a, b);
        return std::string(buf);
    };
    std::vector<std::string> found;
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    std::vector<PKTIMER> timers;
    for (auto& [key, e] : s.timers) {
        if (e.timer == nullptr) continue;
        if (inside(e.timer)) found.push_back(text("timer %p is armed", e.timer));
        else if (e.timer->Dpc && inside(e.timer->Dpc))
            found.push_back(text("timer %p is armed to queue DPC %p", e.timer, e.timer->Dpc));
        else continue;
        timers.push_back(e.timer);
    }
    for (PKTIMER t : timers) RemoveTimerLocked(s, t);
    std::vector<PKDPC> dpcs;
    for (PKDPC dpc : s.dpcQueue)
        if (inside(dpc)) dpcs.push_back(dpc);
    for (PKDPC dpc : dpcs) {
        found.push_back(text("DPC %p is queued", dpc));
        RemoveQueuedDpcLocked(s, dpc);
    }
    for (ThreadRec* t : s.threads) {
        if (t->waitingOn && inside(t->waitingOn)) {
            found.push_back("thread " + t->name + text(" waits on object %p", t->waitingOn));
            ReleaseWaiterLocked(s, t, STATUS_UNSUCCESSFUL);
        }
    }
    return found;
}

}  // namespace emu::verifier

// ---- what a stopped activity may have left (race scenarios' checks) --------------------------
namespace emu::sched {

using namespace emu::detail;

// As WithdrawArmedIn, without withdrawing: timers armed inside the range or armed to queue a
// DPC inside it, and DPCs queued inside it.
std::vector<std::string> ArmedIn(const void* base, size_t size) {
    auto b = static_cast<const char*>(base);
    auto inside = [&](const void* p) { return static_cast<const char*>(p) >= b && static_cast<const char*>(p) < b + size; };
    std::vector<std::string> found;
    char buf[128];
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    for (auto& [key, e] : s.timers) {
        if (e.timer == nullptr) continue;
        if (inside(e.timer)) snprintf(buf, sizeof buf, "timer %p is armed", static_cast<void*>(e.timer));
        else if (e.timer->Dpc && inside(e.timer->Dpc))
            snprintf(buf, sizeof buf, "timer %p is armed to queue DPC %p", static_cast<void*>(e.timer), static_cast<void*>(e.timer->Dpc));
        else continue;
        found.push_back(buf);
    }
    for (PKDPC dpc : s.dpcQueue) {
        if (!inside(dpc)) continue;
        snprintf(buf, sizeof buf, "DPC %p is queued", static_cast<void*>(dpc));
        found.push_back(buf);
    }
    return found;
}

}  // namespace emu::sched

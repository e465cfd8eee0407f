// Scheduler of the emulated kernel: per-thread IRQL, dispatcher objects under one dispatcher
// lock, timers, DPC processors, workers and the virtual clock with its quiescence rule.
#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <vector>

#include "emu/sched.h"
#include "emu/verifier.h"
#include "nt/ke.h"

namespace emu {
namespace {

using verifier::Fault;

constexpr LONGLONG kSystemTimeBase = 133000000000000000LL;  // a day in 2022, 100 ns since 1601

struct ThreadRec;

struct WaitBlock {
    LIST_ENTRY Entry;  // in the object's WaitListHead
    ThreadRec* Thread;
};

struct ThreadRec {
    std::condition_variable cv;
    std::string name = "thread";
    bool runnable = true;
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
};

// An entry of the timer queue: a KTIMER or the time-out of a waiting thread.
struct TimerEntry {
    PKTIMER timer = nullptr;
    ThreadRec* waiter = nullptr;
};

struct Sched {
    std::mutex m;
    std::condition_variable changed;  // quiescence and real-time timer thread
    ClockMode mode = ClockMode::Virtual;
    LONGLONG now = 0;                 // virtual interrupt time
    std::chrono::steady_clock::time_point realStart = std::chrono::steady_clock::now();
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
    std::vector<ThreadRec*> threads;
    bool started = false;
};

Sched& S() {
    static Sched* s = new Sched;  // never destroyed: threads outlive static destruction
    return *s;
}

LONGLONG NowLocked(Sched& s) {
    if (s.mode == ClockMode::Virtual) return s.now;
    auto d = std::chrono::steady_clock::now() - s.realStart;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

void StartProcessorsLocked(Sched& s);

struct ThreadHolder {
    ThreadRec* rec = nullptr;
    ~ThreadHolder() {
        if (!rec) return;
        Sched& s = S();
        std::lock_guard<std::mutex> g(s.m);
        if (rec->runnable) s.runnable--;
        s.threads.erase(std::remove(s.threads.begin(), s.threads.end(), rec), s.threads.end());
        s.changed.notify_all();
        delete rec;
    }
};
thread_local ThreadHolder tlsThread;

ThreadRec* RegisterLocked(Sched& s, const std::string& name) {
    auto* rec = new ThreadRec;
    rec->name = name;
    s.runnable++;
    s.threads.push_back(rec);
    return rec;
}

ThreadRec* Self() {
    if (!tlsThread.rec) {
        Sched& s = S();
        std::lock_guard<std::mutex> g(s.m);
        StartProcessorsLocked(s);
        tlsThread.rec = RegisterLocked(s, "thread");
    }
    return tlsThread.rec;
}

void MakeRunnableLocked(Sched& s, ThreadRec* t) {
    if (!t->runnable) {
        t->runnable = true;
        s.runnable++;
    }
}

// Blocks the current thread until `done` with the dispatcher lock held in `lk`.
template <class Pred>
void BlockLocked(Sched& s, ThreadRec* me, std::unique_lock<std::mutex>& lk, Pred done) {
    if (me->runnable) {
        me->runnable = false;
        s.runnable--;
        s.changed.notify_all();
    }
    while (!done()) me->cv.wait(lk);
    MakeRunnableLocked(s, me);
}

// Satisfies the wait of one waiter: unlinks its block, cancels its time-out, makes it runnable.
void ReleaseWaiterLocked(Sched& s, ThreadRec* t, NTSTATUS status) {
    if (t->block) RemoveEntryList(&t->block->Entry);
    t->block = nullptr;
    t->waitingOn = nullptr;
    if (t->hasTimeout) {
        s.timers.erase(t->timeoutKey);
        t->hasTimeout = false;
    }
    t->waitStatus = status;
    t->satisfied = true;
    MakeRunnableLocked(s, t);
    t->cv.notify_one();
}

bool IsSynchronization(const DISPATCHER_HEADER* h) {
    return h->Type == SynchronizationEvent + 1 || h->Type == 0x10 + SynchronizationTimer;
}

// Wakes waiters of a signalled object: all for notification objects, one for synchronization
// objects, whose signal the released waiter consumes.
void WakeWaitersLocked(Sched& s, DISPATCHER_HEADER* h) {
    while (h->SignalState > 0 && !IsListEmpty(&h->WaitListHead)) {
        auto* block = CONTAINING_RECORD(h->WaitListHead.Flink, WaitBlock, Entry);
        if (IsSynchronization(h)) h->SignalState = 0;
        ReleaseWaiterLocked(s, block->Thread, STATUS_SUCCESS);
    }
}

void NotifyBusyLocked(Sched& s, int delta) {
    s.busy += delta;
    if (s.busy == 0) s.changed.notify_all();
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
    s.dpcReady.notify_one();
    return TRUE;
}

void InsertTimerLocked(Sched& s, PKTIMER t, LONGLONG due);

void FireLocked(Sched& s, const TimerEntry& e) {
    if (e.waiter) {
        ThreadRec* t = e.waiter;
        t->hasTimeout = false;
        ReleaseWaiterLocked(s, t, STATUS_TIMEOUT);
        return;
    }
    PKTIMER t = e.timer;
    t->Header.Inserted = FALSE;
    t->Header.SignalState = 1;
    WakeWaitersLocked(s, &t->Header);
    if (t->Period > 0) InsertTimerLocked(s, t, static_cast<LONGLONG>(t->DueTime) + t->Period * 10000LL);
    if (t->Dpc) QueueDpcLocked(s, t->Dpc, reinterpret_cast<PVOID>(t->DueTime), nullptr);
}

void InsertTimerLocked(Sched& s, PKTIMER t, LONGLONG due) {
    t->DueTime = static_cast<ULONGLONG>(due);
    t->Sequence = ++s.seq;
    t->Header.Inserted = TRUE;
    s.timers[{due, t->Sequence}] = TimerEntry{t, nullptr};
    s.changed.notify_all();
}

bool RemoveQueuedDpcLocked(Sched& s, PKDPC dpc) {
    if (dpc->DpcData == nullptr) return false;
    s.dpcQueue.erase(std::find(s.dpcQueue.begin(), s.dpcQueue.end(), dpc));
    dpc->DpcData = nullptr;
    auto ticketIt = s.dpcQueuedTicket.find(dpc);
    s.dpcOutstanding.erase(s.dpcOutstanding.find(ticketIt->second));
    s.dpcQueuedTicket.erase(ticketIt);
    s.dpcRan.notify_all();
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

void DpcProcessor(ULONG number) {
    Sched& s = S();
    ThreadRec* me;
    {
        std::lock_guard<std::mutex> g(s.m);
        me = tlsThread.rec = new ThreadRec;
        me->name = "dpc" + std::to_string(number);
        me->processor = number;
        me->runnable = false;  // an idle processor is not runnable; queued DPCs count as busy
        s.threads.push_back(me);
    }
    std::unique_lock<std::mutex> lk(s.m);
    for (;;) {
        s.dpcReady.wait(lk, [&] { return !s.dpcQueue.empty(); });
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
        s.dpcRan.notify_all();
        NotifyBusyLocked(s, -1);
    }
}

void RealTimerThread() {
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    for (;;) {
        if (s.mode != ClockMode::RealTime || s.timers.empty()) {
            s.changed.wait(lk);
            continue;
        }
        LONGLONG due = s.timers.begin()->first.first;
        LONGLONG now = NowLocked(s);
        if (due > now) {
            s.changed.wait_for(lk, std::chrono::nanoseconds((due - now) * 100));
            continue;
        }
        FireDueLocked(s);
    }
}

void StartProcessorsLocked(Sched& s) {
    if (s.started) return;
    s.started = true;
    for (ULONG i = 0; i < kDpcProcessors; ++i) std::thread(DpcProcessor, i).detach();
    std::thread(RealTimerThread).detach();
}

bool QuiescentLocked(Sched& s) { return s.runnable == 0 && s.busy == 0; }

void WaitQuiescentLocked(Sched& s, std::unique_lock<std::mutex>& lk, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!QuiescentLocked(s)) {
        if (s.changed.wait_until(lk, deadline) == std::cv_status::timeout && !QuiescentLocked(s)) {
            lk.unlock();
            verifier::Raise(Fault::Other, "the emulation did not become idle within " +
                                              std::to_string(limit.count()) + " ms\n" + DumpState());
            lk.lock();
            return;
        }
    }
}

}  // namespace

// ---- test-bed API -----------------------------------------------------------------------------

void SetClockMode(ClockMode mode) {
    Self();
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    s.mode = mode;
    s.now = 0;
    s.realStart = std::chrono::steady_clock::now();
    s.changed.notify_all();
}

ClockMode GetClockMode() {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return s.mode;
}

LONGLONG Now() {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return NowLocked(s);
}

void AdvanceTime100ns(LONGLONG delta, std::chrono::milliseconds wall_limit) {
    ThreadRec* me = Self();
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    if (s.mode != ClockMode::Virtual) {
        lk.unlock();
        verifier::Raise(Fault::Other, "AdvanceTime needs the virtual clock");
        return;
    }
    LONGLONG target = s.now + delta;
    me->runnable = false;
    s.runnable--;
    for (;;) {
        WaitQuiescentLocked(s, lk, wall_limit);
        if (s.timers.empty() || s.timers.begin()->first.first > target) break;
        auto it = s.timers.begin();
        s.now = std::max(s.now, it->first.first);
        TimerEntry e = it->second;
        s.timers.erase(it);
        FireLocked(s, e);
    }
    s.now = target;
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

Thread::Thread(std::function<void()> body, std::string name) {
    Sched& s = S();
    ThreadRec* rec;
    {
        std::lock_guard<std::mutex> g(s.m);
        StartProcessorsLocked(s);
        rec = RegisterLocked(s, name);
    }
    thread_ = std::thread([rec, body = std::move(body)] {
        tlsThread.rec = rec;
        body();
    });
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (thread_.joinable()) thread_.join();
    thread_ = std::move(other.thread_);
    return *this;
}

Thread::~Thread() {
    if (thread_.joinable()) join();
}

// Joining is an emulated wait: the joining thread is not runnable meanwhile.
void Thread::join() {
    ThreadRec* me = Self();
    Sched& s = S();
    {
        std::lock_guard<std::mutex> g(s.m);
        if (me->runnable) {
            me->runnable = false;
            s.runnable--;
            s.changed.notify_all();
        }
    }
    thread_.join();
    std::lock_guard<std::mutex> g(s.m);
    MakeRunnableLocked(s, me);
}

struct Worker::Impl {
    struct Task {
        std::function<void()> fn;
        KIRQL irql;
    };
    std::deque<Task> tasks;
    std::condition_variable cv;
    bool stop = false;
    std::set<void*> delayed;  // DelayedTasks armed and not yet posted (under the scheduler's lock)
    int running = 0;
    std::thread thread;
    ThreadRec* rec = nullptr;
    KTIMER dummy{};
};

Worker::Worker(std::string name) : impl_(std::make_shared<Impl>()) {
    Sched& s = S();
    {
        std::lock_guard<std::mutex> g(s.m);
        StartProcessorsLocked(s);
        impl_->rec = new ThreadRec;
        impl_->rec->name = name;
        impl_->rec->runnable = false;  // pending tasks count as busy instead
        s.threads.push_back(impl_->rec);
    }
    std::shared_ptr<Impl> impl = impl_;
    impl_->thread = std::thread([impl] {
        Sched& s = S();
        tlsThread.rec = impl->rec;
        std::unique_lock<std::mutex> lk(s.m);
        for (;;) {
            impl->cv.wait(lk, [&] { return impl->stop || !impl->tasks.empty(); });
            if (impl->tasks.empty()) break;
            Impl::Task task = std::move(impl->tasks.front());
            impl->tasks.pop_front();
            impl->running++;
            lk.unlock();
            impl->rec->irql = task.irql;
            task.fn();
            if (!impl->rec->held.empty())
                verifier::Raise(Fault::IrqlMisuse, "worker task returned holding a spin lock");
            impl->rec->held.clear();
            impl->rec->irql = PASSIVE_LEVEL;
            lk.lock();
            impl->running--;
            NotifyBusyLocked(s, -1);
            impl->cv.notify_all();
        }
        s.threads.erase(std::remove(s.threads.begin(), s.threads.end(), impl->rec), s.threads.end());
        tlsThread.rec = nullptr;
        delete impl->rec;
    });
}

namespace {
// A delayed task: a heap-allocated KTIMER + KDPC whose DPC posts the task to the worker.
struct DelayedTask {
    KTIMER timer;
    KDPC dpc;
    std::shared_ptr<Worker::Impl> impl;
    std::function<void()> fn;
    KIRQL irql;
};
}  // namespace

Worker::~Worker() {
    Sched& s = S();
    {
        std::lock_guard<std::mutex> g(s.m);
        impl_->stop = true;
        // Delayed tasks not yet due go with the worker: their owner is going away, and a task
        // posted to a stopped worker would count as busy for ever. One whose DPC already runs
        // finds the worker stopped and drops itself.
        for (auto it = impl_->delayed.begin(); it != impl_->delayed.end();) {
            auto* d = static_cast<DelayedTask*>(*it);
            if (RemoveTimerLocked(s, &d->timer) || RemoveQueuedDpcLocked(s, &d->dpc)) {
                it = impl_->delayed.erase(it);
                delete d;
            } else {
                ++it;
            }
        }
        impl_->cv.notify_all();
    }
    impl_->thread.join();
}

void Worker::Post(std::function<void()> task, KIRQL irql) {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    impl_->tasks.push_back({std::move(task), irql});
    NotifyBusyLocked(s, +1);
    impl_->cv.notify_all();
}

namespace {
void DelayedTaskDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* d = static_cast<DelayedTask*>(context);
    Sched& s = S();
    {
        std::lock_guard<std::mutex> g(s.m);
        d->impl->delayed.erase(d);
        if (!d->impl->stop) {
            d->impl->tasks.push_back({std::move(d->fn), d->irql});
            NotifyBusyLocked(s, +1);
            d->impl->cv.notify_all();
        }
    }
    delete d;
}
}  // namespace

void Worker::PostAfter(LONGLONG delay100ns, std::function<void()> task, KIRQL irql) {
    auto* d = new DelayedTask{};
    d->impl = impl_;
    d->fn = std::move(task);
    d->irql = irql;
    KeInitializeTimer(&d->timer);
    KeInitializeDpc(&d->dpc, DelayedTaskDpc, d);
    {
        std::lock_guard<std::mutex> g(S().m);
        impl_->delayed.insert(d);
    }
    LARGE_INTEGER due;
    due.QuadPart = -std::max<LONGLONG>(delay100ns, 0);
    KeSetTimer(&d->timer, due, &d->dpc);
}

void Worker::Drain() {
    ThreadRec* me = Self();
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    if (me->runnable) {
        me->runnable = false;
        s.runnable--;
        s.changed.notify_all();
    }
    impl_->cv.wait(lk, [&] { return impl_->tasks.empty() && impl_->running == 0; });
    MakeRunnableLocked(s, me);
}

PVOID CurrentDriver() { return Self()->driver; }
DriverScope::DriverScope(PVOID driver) : saved_(Self()->driver) { Self()->driver = driver; }
DriverScope::~DriverScope() { Self()->driver = saved_; }
int HeldSpinLockCount() { return static_cast<int>(Self()->held.size()); }

namespace detail {
// Used by the spin lock routines.
std::vector<PKSPIN_LOCK>& HeldLocks() { return Self()->held; }
KIRQL& CurrentIrql() { return Self()->irql; }
void* CurrentThreadToken() { return Self(); }
}  // namespace detail

}  // namespace emu

// ---- kernel routines ----------------------------------------------------------------------------
using namespace emu;

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

void KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    Event->Header.Type = static_cast<UCHAR>(Type + 1);
    Event->Header.SignalState = State ? 1 : 0;
    Event->Header.Inserted = 0;
    InitializeListHead(&Event->Header.WaitListHead);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    WakeWaitersLocked(s, &Event->Header);
    return previous;
}

void KeClearEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> g(S().m);
    Event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> g(S().m);
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    std::lock_guard<std::mutex> g(S().m);
    return Event->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
    ThreadRec* me = Self();
    auto* h = static_cast<DISPATCHER_HEADER*>(Object);
    bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (me->irql >= DISPATCH_LEVEL && !poll) {
        verifier::Raise(verifier::Fault::WaitAtDispatch,
                        "KeWaitForSingleObject with a non-zero time-out at IRQL " + std::to_string(me->irql));
        return STATUS_TIMEOUT;
    }
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    if (h->SignalState > 0) {
        if (IsSynchronization(h)) h->SignalState = 0;
        return STATUS_SUCCESS;
    }
    if (poll) return STATUS_TIMEOUT;
    WaitBlock block{{}, me};
    InsertTailList(&h->WaitListHead, &block.Entry);
    me->block = &block;
    me->waitingOn = h;
    me->satisfied = false;
    if (Timeout != nullptr) {
        LONGLONG due = DueFromLargeInteger(s, *Timeout);
        me->timeoutKey = {due, ++s.seq};
        me->hasTimeout = true;
        s.timers[me->timeoutKey] = TimerEntry{nullptr, me};
        s.changed.notify_all();
        if (s.mode == ClockMode::Virtual && due <= s.now) FireDueLocked(s);
    }
    BlockLocked(s, me, lk, [&] { return me->satisfied; });
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

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG Period, PKDPC Dpc) {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    BOOLEAN wasSet = RemoveTimerLocked(s, Timer);
    Timer->Header.SignalState = 0;
    Timer->Dpc = Dpc;
    Timer->Period = Period;
    InsertTimerLocked(s, Timer, DueFromLargeInteger(s, DueTime));
    if (s.mode == ClockMode::Virtual) FireDueLocked(s);
    return wasSet;
}

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeCancelTimer(PKTIMER Timer) {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return RemoveTimerLocked(s, Timer);
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
    std::lock_guard<std::mutex> g(S().m);
    return Timer->Header.SignalState > 0;
}

void KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    *Dpc = KDPC{};
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
    Dpc->Importance = MediumImportance;
    InitializeListHead(&Dpc->DpcListEntry);
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    StartProcessorsLocked(s);
    return QueueDpcLocked(s, Dpc, SystemArgument1, SystemArgument2);
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    return RemoveQueuedDpcLocked(s, Dpc);
}

// Returns once every DPC queued before the call has run; DPCs queued meanwhile are not waited for.
void KeFlushQueuedDpcs(void) {
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        verifier::Raise(Fault::IrqlMisuse, "KeFlushQueuedDpcs at IRQL " + std::to_string(KeGetCurrentIrql()));
        return;
    }
    Sched& s = S();
    std::unique_lock<std::mutex> lk(s.m);
    ULONGLONG last = s.dpcTicket;
    s.dpcRan.wait(lk, [&] { return s.dpcOutstanding.empty() || *s.dpcOutstanding.begin() > last; });
}

void KeSetImportanceDpc(PRKDPC Dpc, KDPC_IMPORTANCE Importance) { Dpc->Importance = static_cast<UCHAR>(Importance); }

ULONG KeGetCurrentProcessorNumber(void) { return Self()->processor; }

void KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    Sched& s = S();
    std::lock_guard<std::mutex> g(s.m);
    CurrentTime->QuadPart = kSystemTimeBase + NowLocked(s);
}

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

// ---- what is armed inside a range of memory (the verifier's checks of frees) ----------------------
namespace emu::verifier {

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

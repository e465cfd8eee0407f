// Emulated threads and workers: OS threads registered with the scheduler before they start, so
// that quiescence and the deterministic scheduler see them at once.
#include <algorithm>
#include <set>

#include "emu/verifier.h"
#include "sched_internal.h"

namespace emu {

using namespace detail;
using verifier::Fault;

namespace {
// Waits, as an emulated wait, until the context with `serial` has left the scheduler.
void WaitGoneLocked(Sched& s, ThreadRec* me, std::unique_lock<std::mutex>& lk, uint64_t serial) {
    MakeBlockedLocked(s, me);
    WaitLocked(s, me, lk, s.changed, [&s, serial] {
        return std::none_of(s.threads.begin(), s.threads.end(), [serial](ThreadRec* t) { return t->serial == serial; });
    });
    MakeRunnableLocked(s, me);
}
}  // namespace

Thread::Thread(std::function<void()> body, std::string name) {
    Sched& s = S();
    ThreadRec* rec;
    {
        std::lock_guard<std::mutex> g(s.m);
        StartProcessorsLocked(s);
        rec = RegisterLocked(s, name, true);
        serial_ = rec->serial;
    }
    thread_ = std::thread([rec, body = std::move(body)] {
        SetSelf(rec);
        {
            // In a deterministic session the thread starts when the scheduler first picks it.
            Sched& s = S();
            std::unique_lock<std::mutex> lk(s.m);
            while (s.det && !DetHolds(s, rec)) rec->cv.wait(lk);
            rec->parked = false;
        }
        body();
    });
}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (thread_.joinable()) join();
    thread_ = std::move(other.thread_);
    serial_ = other.serial_;
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
        std::unique_lock<std::mutex> lk(s.m);
        WaitGoneLocked(s, me, lk, serial_);
        MakeBlockedLocked(s, me);
    }
    thread_.join();
    std::lock_guard<std::mutex> g(s.m);
    MakeRunnableLocked(s, me);
}

struct Worker::Impl {
    struct Task {
        std::function<void()> fn;
        KIRQL irql;
        int atomic;  // the poster's: a device model's task is an atomic step too
    };
    std::deque<Task> tasks;
    std::condition_variable cv;
    bool stop = false;
    std::set<void*> delayed;  // DelayedTasks armed and not yet posted (under the scheduler's lock)
    int running = 0;
    std::thread thread;
    ThreadRec* rec = nullptr;
    uint64_t serial = 0;
};

Worker::Worker(std::string name) : impl_(std::make_shared<Impl>()) {
    Sched& s = S();
    std::shared_ptr<Impl> impl = impl_;
    {
        std::lock_guard<std::mutex> g(s.m);
        StartProcessorsLocked(s);
        impl->rec = RegisterLocked(s, name, false);  // pending tasks count as busy instead
        impl->serial = impl->rec->serial;
        impl->rec->service = true;
        impl->rec->parked = true;
        impl->rec->ready = [raw = impl.get()] { return raw->stop || !raw->tasks.empty(); };
        impl->rec->parkCv = &impl->rec->cv;
    }
    impl_->thread = std::thread([impl] {
        Sched& s = S();
        SetSelf(impl->rec);
        std::unique_lock<std::mutex> lk(s.m);
        for (;;) {
            WaitLocked(s, impl->rec, lk, impl->cv, [raw = impl.get()] { return raw->stop || !raw->tasks.empty(); });
            if (impl->tasks.empty()) break;
            Impl::Task task = std::move(impl->tasks.front());
            impl->tasks.pop_front();
            impl->running++;
            lk.unlock();
            impl->rec->irql = task.irql;
            impl->rec->atomic = task.atomic;
            task.fn();
            if (!impl->rec->held.empty())
                verifier::Raise(Fault::IrqlMisuse, "worker task returned holding a spin lock");
            impl->rec->held.clear();
            impl->rec->irql = PASSIVE_LEVEL;
            impl->rec->atomic = 0;
            lk.lock();
            impl->running--;
            NotifyBusyLocked(s, -1);
            WakeLocked(s, impl->cv);  // a Drain waiting for the last task
        }
        SetSelf(nullptr);
        UnregisterLocked(s, impl->rec);
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
    int atomic;
};
}  // namespace

Worker::~Worker() {
    ThreadRec* me = Self();
    Sched& s = S();
    {
        std::unique_lock<std::mutex> lk(s.m);
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
        WakeLocked(s, impl_->cv);
        if (s.det) WaitGoneLocked(s, me, lk, impl_->serial);
    }
    impl_->thread.join();
}

void Worker::Post(std::function<void()> task, KIRQL irql) {
    ThreadRec* me = Self();
    Sched& s = S();
    WakeAfterUnlock wakes;
    std::lock_guard<std::mutex> g(s.m);
    impl_->tasks.push_back({std::move(task), irql, me->atomic});
    NotifyBusyLocked(s, +1);
    WakeLocked(s, impl_->cv);
}

namespace {
void DelayedTaskDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* d = static_cast<DelayedTask*>(context);
    Sched& s = S();
    {
        std::lock_guard<std::mutex> g(s.m);
        d->impl->delayed.erase(d);
        if (!d->impl->stop) {
            d->impl->tasks.push_back({std::move(d->fn), d->irql, d->atomic});
            NotifyBusyLocked(s, +1);
            WakeLocked(s, d->impl->cv);
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
    d->atomic = Self()->atomic;
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
    MakeBlockedLocked(s, me);
    WaitLocked(s, me, lk, impl_->cv, [this] { return impl_->tasks.empty() && impl_->running == 0; });
    MakeRunnableLocked(s, me);
}

}  // namespace emu

// The emulation's scheduler: clock modes, virtual time, emulated threads and workers.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "../nt/types.h"

namespace emu {

enum class ClockMode { Virtual, RealTime };

// Virtual: time moves only through AdvanceTime. RealTime: timers fire at their real due time.
// Switching resets the clock; no timer may be set at the time.
void SetClockMode(ClockMode mode);
ClockMode GetClockMode();

// Interrupt time in 100 ns units since the emulation started (or since SetClockMode).
LONGLONG Now();

// Virtual clock: fire every timer and wait time-out due up to now + delta, in due order (equal
// due times in arming order); after each firing, every thread, DPC and worker task it set going
// runs until all are blocked again before time moves on. Raises a verifier fault with a dump of
// the emulation's state when quiescence is not reached within wall_limit.
void AdvanceTime100ns(LONGLONG delta, std::chrono::milliseconds wall_limit = std::chrono::seconds(20));
inline void AdvanceTime(LONGLONG ms) { AdvanceTime100ns(ms * 10000); }
// Waits for quiescence without moving time.
void RunUntilIdle(std::chrono::milliseconds wall_limit = std::chrono::seconds(20));
// The due time of the earliest armed timer or wait time-out, if any.
std::optional<LONGLONG> NextDueTime();
// Virtual clock: moves time from one due timer to the next, settling after each, until `done`
// holds or `limit100ns` has passed (negative: no limit); returns done(). With no limit it
// returns false once nothing is left to fire (or only periodic timers, for two virtual minutes)
// instead of waiting for ever.
bool AdvanceTimeUntil(const std::function<bool()>& done, LONGLONG limit100ns = -1,
                      std::chrono::milliseconds wall_limit = std::chrono::seconds(20));
// A description of blocked threads, armed timers, queued DPCs and pending work.
std::string DumpState();

// A thread known to the scheduler from before it starts (so that quiescence sees it at once).
class Thread {
public:
    Thread() = default;
    explicit Thread(std::function<void()> body, std::string name = "thread");
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&&) noexcept;
    ~Thread();
    void join();
    bool joinable() const { return thread_.joinable(); }

private:
    std::thread thread_;
    uint64_t serial_ = 0;
};

// A registered thread running posted tasks in order at the IRQL given. Pending and running
// tasks count as busy for quiescence; delays run on the emulation's clock.
class Worker {
public:
    explicit Worker(std::string name = "worker");
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;
    void Post(std::function<void()> task, KIRQL irql = DISPATCH_LEVEL);
    void PostAfter(LONGLONG delay100ns, std::function<void()> task, KIRQL irql = DISPATCH_LEVEL);
    // Waits until every task posted so far (delayed ones excepted) has run. Not from the worker.
    void Drain();
    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

// The driver on whose behalf the current thread runs (for pool attribution and reports).
PVOID CurrentDriver();
class DriverScope {
public:
    explicit DriverScope(PVOID driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    PVOID saved_;
    int savedAtomic_ = 0;
};

// Spin locks held by the current thread (the cancel spin lock included).
int HeldSpinLockCount();

// Number of emulated processors running DPCs.
constexpr int kDpcProcessors = 2;

namespace sched {
// A synchronization point (spin locks, interlocked routines, dispatcher objects, IRPs, pool):
// in a deterministic session (emu/explore.h) the scheduler may let another context run here.
// Free-running it costs one relaxed load.
void Point();

// No voluntary switch while alive; blocking still switches. The device model's steps under
// its own lock are atomic, as a device's are to the driver.
class AtomicSection {
public:
    AtomicSection();
    ~AtomicSection();
    AtomicSection(const AtomicSection&) = delete;
    AtomicSection& operator=(const AtomicSection&) = delete;
};

// Every routine of this driver (dispatch, completion, and the tasks it posts) is atomic.
void MarkAtomicDriver(PVOID driver);
void ForgetDriver(PVOID driver);  // at unload
}  // namespace sched

}  // namespace emu

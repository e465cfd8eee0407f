// Timers, DPCs, events and the virtual clock behave as on Windows: later tests rely on it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

#include "emu/counters.h"
#include "emu/sched.h"
#include "emu/verifier.h"
#include "nt/ke.h"

namespace {

LARGE_INTEGER RelativeMs(LONGLONG ms) {
    LARGE_INTEGER li;
    li.QuadPart = -ms * 10000;
    return li;
}

struct DpcLog {
    std::mutex m;
    std::vector<std::pair<int, LONGLONG>> runs;  // (tag, time of the run)
};

struct TaggedDpc {
    KDPC dpc;
    int tag;
    DpcLog* log;
};

void LogDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* t = static_cast<TaggedDpc*>(context);
    std::lock_guard<std::mutex> g(t->log->m);
    t->log->runs.emplace_back(t->tag, emu::Now());
}

TEST(KeTimers, RearmingASetTimerReplacesItsDueTime) {
    DpcLog log;
    KTIMER timer;
    TaggedDpc d{{}, 1, &log};
    KeInitializeTimer(&timer);
    KeInitializeDpc(&d.dpc, LogDpc, &d);
    EXPECT_FALSE(KeSetTimer(&timer, RelativeMs(100), &d.dpc));
    emu::AdvanceTime(50);
    EXPECT_TRUE(KeSetTimer(&timer, RelativeMs(100), &d.dpc));  // now due at 150 ms
    emu::AdvanceTime(60);
    EXPECT_TRUE(log.runs.empty());
    emu::AdvanceTime(40);
    ASSERT_EQ(log.runs.size(), 1u);
    EXPECT_EQ(log.runs[0].second, 150 * 10000);
    EXPECT_FALSE(KeCancelTimer(&timer));
}

TEST(KeTimers, DueTimeInThePastFiresAtOnceAndTimersFireInDueOrder) {
    DpcLog log;
    KTIMER t1, t2, t3;
    TaggedDpc d1{{}, 1, &log}, d2{{}, 2, &log}, d3{{}, 3, &log};
    for (auto* p : {&d1, &d2, &d3}) KeInitializeDpc(&p->dpc, LogDpc, p);
    KeInitializeTimer(&t1);
    KeInitializeTimer(&t2);
    KeInitializeTimer(&t3);
    KeSetTimer(&t1, RelativeMs(30), &d1.dpc);
    KeSetTimer(&t2, RelativeMs(10), &d2.dpc);
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= 10000;  // absolute, a millisecond ago
    KeSetTimer(&t3, past, &d3.dpc);
    emu::RunUntilIdle();
    ASSERT_EQ(log.runs.size(), 1u);
    EXPECT_EQ(log.runs[0].first, 3);
    emu::AdvanceTime(100);
    ASSERT_EQ(log.runs.size(), 3u);
    EXPECT_EQ(log.runs[1], std::make_pair(2, LONGLONG{10 * 10000}));
    EXPECT_EQ(log.runs[2], std::make_pair(1, LONGLONG{30 * 10000}));
}

TEST(KeDpc, QueuedAtMostOnceAndStillRunsAfterItsTimerIsCancelled) {
    DpcLog log;
    TaggedDpc d{{}, 7, &log};
    KeInitializeDpc(&d.dpc, LogDpc, &d);
    KTIMER timer;
    KeInitializeTimer(&timer);
    // Hold both processors busy so that the DPC stays queued while we look at it.
    std::atomic<bool> release{false};
    std::atomic<int> spinning{0};
    KDPC blockers[emu::kDpcProcessors];
    struct Ctx { std::atomic<bool>* release; std::atomic<int>* spinning; } ctx{&release, &spinning};
    for (auto& b : blockers) {
        KeInitializeDpc(&b, [](PKDPC, PVOID c, PVOID, PVOID) {
            auto* x = static_cast<Ctx*>(c);
            x->spinning->fetch_add(1);
            while (!x->release->load()) std::this_thread::yield();
        }, &ctx);
        KeInsertQueueDpc(&b, nullptr, nullptr);
    }
    while (spinning.load() < emu::kDpcProcessors) std::this_thread::yield();
    KeSetTimer(&timer, RelativeMs(0), &d.dpc);  // due now: the DPC is queued at once
    EXPECT_FALSE(KeInsertQueueDpc(&d.dpc, nullptr, nullptr));
    EXPECT_FALSE(KeCancelTimer(&timer));  // already expired; the queued DPC stays
    release = true;
    emu::RunUntilIdle();
    ASSERT_EQ(log.runs.size(), 1u);
    EXPECT_EQ(log.runs[0].first, 7);
}

TEST(KeDpc, RunsOnTwoProcessorsConcurrently) {
    // Each DPC waits until both have started: only two processors at once get both through fast.
    std::atomic<int> arrived{0};
    KDPC a, b;
    auto routine = [](PKDPC, PVOID c, PVOID, PVOID) {
        auto* arrivedCount = static_cast<std::atomic<int>*>(c);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        arrivedCount->fetch_add(1);
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (arrivedCount->load() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
        EXPECT_EQ(arrivedCount->load(), 2) << "the other DPC did not run concurrently";
    };
    KeInitializeDpc(&a, routine, &arrived);
    KeInitializeDpc(&b, routine, &arrived);
    KeInsertQueueDpc(&a, nullptr, nullptr);
    KeInsertQueueDpc(&b, nullptr, nullptr);
    emu::RunUntilIdle();
    EXPECT_EQ(arrived.load(), 2);
}

TEST(KeDpc, FlushReturnsOnceEveryQueuedDpcHasRun) {
    struct Slow {
        KDPC dpc;
        std::atomic<bool> done{false};
    } slow[3];
    auto routine = [](PKDPC, PVOID c, PVOID, PVOID) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        static_cast<Slow*>(c)->done = true;
    };
    for (auto& d : slow) {
        KeInitializeDpc(&d.dpc, routine, &d);
        KeInsertQueueDpc(&d.dpc, nullptr, nullptr);
    }
    KeFlushQueuedDpcs();
    for (auto& d : slow) EXPECT_TRUE(d.done);
    KeFlushQueuedDpcs();  // nothing queued: returns at once

    emu::verifier::ExpectFaults faults;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KeFlushQueuedDpcs();
    KeLowerIrql(old);
    EXPECT_TRUE(faults.Saw(emu::verifier::Fault::IrqlMisuse));
}

TEST(KeWait, TimeOutExpiresExactlyAtItsDueTimeOnTheVirtualClock) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<LONGLONG> woke{0};
    emu::Thread waiter([&] {
        LARGE_INTEGER timeout = RelativeMs(30000);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        woke = emu::Now();
    });
    emu::AdvanceTime(29990);
    EXPECT_EQ(status.load(), STATUS_PENDING);
    emu::AdvanceTime(10);
    EXPECT_EQ(status.load(), STATUS_TIMEOUT);
    EXPECT_EQ(woke.load(), 30000LL * 10000);
    waiter.join();
}

TEST(KeWait, ThreadsWokenByATimerRunUntilTheyBlockBeforeTimeMovesOn) {
    // A flush-like loop: sleep 10 ms on a stack timer until 30 s have passed.
    std::atomic<int> loops{0};
    std::atomic<LONGLONG> finished{0};
    emu::Thread sleeper([&] {
        LARGE_INTEGER start;
        KeQuerySystemTime(&start);
        for (;;) {
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            if (now.QuadPart - start.QuadPart > 300000000LL) break;
            KTIMER timer;
            KeInitializeTimer(&timer);
            KeSetTimer(&timer, RelativeMs(10), nullptr);
            KeWaitForSingleObject(&timer, Executive, KernelMode, FALSE, nullptr);
            loops++;
        }
        finished = emu::Now();
    });
    auto wallStart = std::chrono::steady_clock::now();
    emu::AdvanceTime(31000);
    auto wall = std::chrono::steady_clock::now() - wallStart;
    sleeper.join();
    EXPECT_EQ(loops.load(), 3001);
    EXPECT_EQ(finished.load(), 30010LL * 10000);
    EXPECT_LT(wall, std::chrono::seconds(10));
}

TEST(KeEvents, SynchronizationReleasesOneWaiterNotificationReleasesAll) {
    KEVENT sync, notify;
    KeInitializeEvent(&sync, SynchronizationEvent, FALSE);
    KeInitializeEvent(&notify, NotificationEvent, FALSE);
    std::atomic<int> syncWoken{0}, notifyWoken{0};
    std::vector<emu::Thread> threads;
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&] {
            KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, nullptr);
            syncWoken++;
        });
        threads.emplace_back([&] {
            KeWaitForSingleObject(&notify, Executive, KernelMode, FALSE, nullptr);
            notifyWoken++;
        });
    }
    emu::RunUntilIdle();
    KeSetEvent(&sync, 0, FALSE);
    KeSetEvent(&notify, 0, FALSE);
    emu::RunUntilIdle();
    EXPECT_EQ(syncWoken.load(), 1);
    EXPECT_EQ(notifyWoken.load(), 3);
    EXPECT_EQ(KeReadStateEvent(&sync), 0);  // consumed by the waiter it released
    EXPECT_EQ(KeReadStateEvent(&notify), 1);
    KeSetEvent(&sync, 0, FALSE);
    KeSetEvent(&sync, 0, FALSE);
    emu::RunUntilIdle();
    EXPECT_EQ(syncWoken.load(), 3);
    for (auto& t : threads) t.join();
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&sync, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
}

// With nobody waiting these take no lock; the states they return and what a satisfied wait
// leaves must still be Windows' for both kinds of event.
TEST(KeEvents, PreviousStatesAndWhatASatisfiedWaitLeaves) {
    LARGE_INTEGER zero{};
    const struct {
        EVENT_TYPE type;
        LONG leftByWait;  // a synchronization event's signal is consumed by the wait it satisfies
    } cases[] = {{NotificationEvent, 1}, {SynchronizationEvent, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type == NotificationEvent ? "notification" : "synchronization");
        KEVENT e;
        KeInitializeEvent(&e, c.type, TRUE);
        EXPECT_EQ(KeReadStateEvent(&e), 1);
        EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(KeReadStateEvent(&e), c.leftByWait);
        EXPECT_EQ(KeSetEvent(&e, 0, FALSE), c.leftByWait);
        EXPECT_EQ(KeSetEvent(&e, 0, FALSE), 1);
        EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
        EXPECT_EQ(KeResetEvent(&e), c.leftByWait);
        EXPECT_EQ(KeResetEvent(&e), 0);
        EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
        KeSetEvent(&e, 0, FALSE);
        KeClearEvent(&e);
        EXPECT_EQ(KeReadStateEvent(&e), 0);
    }
}

// A setter stores the signal without the lock while a waiter links itself under it: one of the
// two must see the other, or the waiter sleeps through its signal. Free-running on the real-time
// clock, with pauses of a few microseconds, so that sets land before, during and after waiters'
// registrations. A lost signal ends in a time-out. The answer goes to an event on the waiter's
// stack, initialised afresh each round, as drivers do: a setter that touched the event after
// its signal could be taken would race with the next round's KeInitializeEvent (TSan).
TEST(KeEvents, NoSignalIsLostBetweenALocklessSetAndAWaiterLinkingItself) {
    emu::SetClockMode(emu::ClockMode::RealTime);
    constexpr int kRounds = 4000;
    KEVENT ping;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    std::atomic<PKEVENT> answer{nullptr};
    auto pause = [](int i) {
        auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(i * 7919 % 9);
        while (std::chrono::steady_clock::now() < until) {
        }
    };
    std::atomic<int> timedOut{0};
    emu::Thread echo([&] {
        LARGE_INTEGER limit = RelativeMs(10000);
        for (int i = 0; i < kRounds; ++i) {
            if (KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS) {
                timedOut++;
                return;
            }
            pause(i);
            KeSetEvent(answer.load(), 0, FALSE);
        }
    }, "echo");
    LARGE_INTEGER limit = RelativeMs(10000);
    auto round = [&](int i) {
        KEVENT pong;
        KeInitializeEvent(&pong, i % 2 ? SynchronizationEvent : NotificationEvent, FALSE);
        answer.store(&pong);
        pause(i + 4);
        KeSetEvent(&ping, 0, FALSE);
        if (KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS) timedOut++;
        EXPECT_EQ(KeReadStateEvent(&pong), i % 2 ? 0 : 1);
    };
    for (int i = 0; i < kRounds && timedOut.load() == 0; ++i) round(i);
    echo.join();
    EXPECT_EQ(timedOut.load(), 0);
    EXPECT_EQ(KeReadStateEvent(&ping), 0);
    emu::SetClockMode(emu::ClockMode::Virtual);
}

}  // namespace

TEST(KeClock, AdvanceTimeUntilStopsAtTheFiringThatSatisfiesIt) {
    // A DPC chain: each firing re-arms 70 ms later; the fourth one sets the flag.
    struct Chain {
        KTIMER timer;
        KDPC dpc;
        std::atomic<int> fired{0};
    } chain;
    KeInitializeTimer(&chain.timer);
    KeInitializeDpc(&chain.dpc, [](PKDPC, PVOID c, PVOID, PVOID) {
        auto* ch = static_cast<Chain*>(c);
        if (++ch->fired < 4) KeSetTimer(&ch->timer, RelativeMs(70), &ch->dpc);
    }, &chain);
    KeSetTimer(&chain.timer, RelativeMs(70), &chain.dpc);
    EXPECT_EQ(emu::NextDueTime(), std::optional<LONGLONG>(700000));
    EXPECT_TRUE(emu::AdvanceTimeUntil([&] { return chain.fired.load() == 2; }));
    EXPECT_EQ(emu::Now(), 140LL * 10000);  // not a tick further
    // A limit short of the next firing moves to the limit and reports failure.
    EXPECT_FALSE(emu::AdvanceTimeUntil([&] { return chain.fired.load() == 4; }, 50LL * 10000));
    EXPECT_EQ(emu::Now(), 190LL * 10000);
    EXPECT_TRUE(emu::AdvanceTimeUntil([&] { return chain.fired.load() == 4; }, 200LL * 10000));
    EXPECT_EQ(emu::Now(), 280LL * 10000);
    // Nothing armed and no limit: returns at once rather than waiting for ever.
    EXPECT_FALSE(emu::NextDueTime().has_value());
    EXPECT_FALSE(emu::AdvanceTimeUntil([] { return false; }));
    EXPECT_EQ(emu::Now(), 280LL * 10000);
}

TEST(KeWorker, DelayedTasksNotYetDueGoWithTheirWorker) {
    // A device model destroyed with bytes still on a paced line: the task must neither run
    // later (its owner is gone) nor keep the emulation busy, which would hang the next test.
    std::atomic<int> ran{0};
    {
        emu::Worker worker("gone");
        worker.PostAfter(50LL * 10000, [&] { ran++; });
        worker.PostAfter(0, [&] { ran++; });  // due at once: posted and run before the worker goes
        emu::RunUntilIdle();
        EXPECT_EQ(ran.load(), 1);
        EXPECT_TRUE(emu::NextDueTime().has_value());
    }
    EXPECT_FALSE(emu::NextDueTime().has_value());
    emu::AdvanceTime(100);
    emu::RunUntilIdle(std::chrono::seconds(2));
    EXPECT_EQ(ran.load(), 1);
}

// The real-time timer thread sleeps until the earliest due time: a timer set to fire earlier
// must wake it; a timer already due fires in the call that sets it, and hand-offs between
// threads (no timer due) do not wake it.
TEST(KeRealTime, AnEarlierTimerWakesTheTimerThreadAndHandOffsDoNot) {
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    auto pollUntil = [&](auto done) {
        while (!done() && std::chrono::steady_clock::now() < giveUp)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    emu::SetClockMode(emu::ClockMode::RealTime);
    KTIMER far, near;
    KeInitializeTimer(&far);
    KeInitializeTimer(&near);
    KeSetTimer(&far, RelativeMs(600000), nullptr);
    // Time for the timer thread to fall asleep until the far timer (were it still awake, it
    // would see the near one anyway: the test would pass without proving anything, not fail).
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    KeSetTimer(&near, RelativeMs(20), nullptr);
    // Polled, not waited for: a wait's own time-out would wake the timer thread too.
    pollUntil([&] { return KeReadStateTimer(&near) != FALSE; });
    EXPECT_TRUE(KeReadStateTimer(&near));
    EXPECT_FALSE(KeReadStateTimer(&far));

    constexpr int kRounds = 200;
    emu::WaitCounters before = emu::ReadWaitCounters();
    struct Due {
        KTIMER timer;
        KDPC dpc;
        std::atomic<int> ran{0};
    } due;
    KeInitializeTimer(&due.timer);
    KeInitializeDpc(&due.dpc, [](PKDPC, PVOID c, PVOID, PVOID) { static_cast<Due*>(c)->ran++; }, &due);
    for (int i = 0; i < kRounds; ++i) {
        KeSetTimer(&due.timer, RelativeMs(0), &due.dpc);
        EXPECT_TRUE(KeReadStateTimer(&due.timer));
        KeFlushQueuedDpcs();
    }
    EXPECT_EQ(due.ran.load(), kRounds);

    KEVENT ping, pong;
    KeInitializeEvent(&ping, SynchronizationEvent, FALSE);
    KeInitializeEvent(&pong, SynchronizationEvent, FALSE);
    emu::Thread echo([&] {
        for (int i = 0; i < kRounds; ++i) {
            KeWaitForSingleObject(&ping, Executive, KernelMode, FALSE, nullptr);
            KeSetEvent(&pong, 0, FALSE);
        }
    }, "echo");
    for (int i = 0; i < kRounds; ++i) {
        KeSetEvent(&ping, 0, FALSE);
        KeWaitForSingleObject(&pong, Executive, KernelMode, FALSE, nullptr);
    }
    echo.join();
    emu::WaitCounters after = emu::ReadWaitCounters();
    EXPECT_GT(after.blockingWaits, before.blockingWaits);
    EXPECT_GT(after.wakeups, before.wakeups);
    EXPECT_LT(after.timerThreadWakes - before.timerThreadWakes, uint64_t{kRounds / 20});
    KeCancelTimer(&far);
    emu::SetClockMode(emu::ClockMode::Virtual);
}

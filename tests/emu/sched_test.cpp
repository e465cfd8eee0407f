// The deterministic scheduler: runs replay exactly, every strategy reaches a known race, the
// bounded search is exhaustive within its bound, and a deadlock is reported with its cycle.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <string>

#include "emu/explore.h"
#include "emu/sched.h"
#include "emu/verifier.h"
#include "nt/ke.h"

namespace {

using emu::sched::ExploreOptions;

// Two threads increment a counter by a read and a separate interlocked write: the update is
// lost when the second reads before the first writes.
struct LostUpdate {
    LONG x = 0;
    std::string Run() {
        x = 0;
        auto body = [this] {
            LONG v = ReadNoFence(&x);
            InterlockedExchange(&x, v + 1);
        };
        {
            emu::Thread a(body, "a"), b(body, "b");
        }
        return x == 2 ? "" : "lost update: x = " + std::to_string(x);
    }
};

// Three contexts meeting at spin locks, an event, a timer and a DPC: many decisions a run.
struct Busy {
    KSPIN_LOCK lock;
    KEVENT event;
    KTIMER timer;
    KDPC dpc;
    LONG log = 0;
    static void Dpc(PKDPC, PVOID ctx, PVOID, PVOID) {
        auto* self = static_cast<Busy*>(ctx);
        KeAcquireSpinLockAtDpcLevel(&self->lock);
        self->log = self->log * 3 + 2;
        KeReleaseSpinLockFromDpcLevel(&self->lock);
        KeSetEvent(&self->event, 0, FALSE);
    }
    LONG Run() {
        KeInitializeSpinLock(&lock);
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Dpc, this);
        log = 0;
        auto step = [this](LONG tag) {
            for (int i = 0; i < 3; ++i) {
                KIRQL irql;
                KeAcquireSpinLock(&lock, &irql);
                log = log * 3 + tag;
                KeReleaseSpinLock(&lock, irql);
            }
        };
        emu::Thread a([&] { step(0); }, "a");
        emu::Thread b([&] {
            LARGE_INTEGER due;
            due.QuadPart = -10000;
            KeSetTimer(&timer, due, &dpc);
            step(1);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        }, "b");
        a.join();
        b.join();
        return log;
    }
};

TEST(SchedDeterministic, ASeedReplaysItsScheduleAndResultWhileSeedsDiffer) {
    Busy busy;
    std::set<uint64_t> hashes;
    for (uint64_t seed : {1, 2, 3, 4}) {
        uint64_t hash[2];
        LONG result[2];
        for (int run = 0; run < 2; ++run) {
            auto strategy = emu::sched::RandomWalk(seed);
            emu::sched::Session session(*strategy);
            result[run] = busy.Run();
            hash[run] = session.Hash();
            EXPECT_GT(session.Decisions(), 5u);
        }
        EXPECT_EQ(hash[0], hash[1]) << "seed " << seed;
        EXPECT_EQ(result[0], result[1]) << "seed " << seed;
        hashes.insert(hash[0]);
    }
    EXPECT_GT(hashes.size(), 1u);
    // Time moved only when both threads were blocked: the timer's DPC ran at its due time.
    EXPECT_GE(emu::Now(), 10000);
}

TEST(SchedDeterministic, EveryStrategyFindsAKnownRaceAndItsReplayFailsAgain) {
    struct Case {
        const char* strategy;
        int budget;
    } cases[] = {{"random", 50}, {"pct", 50}, {"dfs", 50}};
    LostUpdate race;
    for (const Case& c : cases) {
        ExploreOptions options;
        options.strategy = c.strategy;
        options.schedules = c.budget;
        options.depth = 2;
        options.preemptions = 1;
        auto found = emu::sched::Explore(options, [&] { return race.Run(); });
        ASSERT_TRUE(found.failed) << c.strategy;
        EXPECT_NE(found.failure.find("lost update"), std::string::npos);
        EXPECT_FALSE(found.trace.empty());
        ASSERT_EQ(found.replay.rfind("VCOM_SCHED=", 0), 0u);
        ExploreOptions again;
        ASSERT_TRUE(emu::sched::ParseSchedule(found.replay.substr(11), again)) << found.replay;
        EXPECT_EQ(again.schedules, 1);
        auto replayed = emu::sched::Explore(again, [&] { return race.Run(); });
        EXPECT_TRUE(replayed.failed) << c.strategy << " " << found.replay;
        EXPECT_EQ(replayed.hashes.back(), found.hashes.back()) << c.strategy;
    }
}

TEST(SchedBoundedSearch, ExhaustsEverySchedulewithinItsBound) {
    LostUpdate race;
    std::map<int, int> runs;  // preemption bound -> schedules until exhausted
    for (int bound : {0, 1, 2}) {
        ExploreOptions options;
        options.strategy = "dfs";
        options.preemptions = bound;
        options.schedules = 1000;
        int lost = 0;
        auto result = emu::sched::Explore(options, [&] {
            if (!race.Run().empty()) lost++;
            return std::string();
        });
        EXPECT_TRUE(result.exhausted) << bound;
        std::set<uint64_t> distinct(result.hashes.begin(), result.hashes.end());
        EXPECT_EQ(distinct.size(), result.hashes.size()) << "a schedule ran twice, bound " << bound;
        runs[bound] = result.schedules;
        // Without preemption each thread runs to its end: the update is never lost.
        if (bound == 0) EXPECT_EQ(lost, 0);
        else EXPECT_GT(lost, 0);
    }
    EXPECT_LT(runs[0], runs[1]);
    EXPECT_LE(runs[1], runs[2]);
}

TEST(SchedDeterministic, ADeadlockIsReportedWithItsCycle) {
    KSPIN_LOCK l1, l2;
    KeInitializeSpinLock(&l1);
    KeInitializeSpinLock(&l2);
    auto order = [](PKSPIN_LOCK first, PKSPIN_LOCK second) {
        KIRQL irql;
        KeAcquireSpinLock(first, &irql);
        KeAcquireSpinLockAtDpcLevel(second);
        KeReleaseSpinLockFromDpcLevel(second);
        KeReleaseSpinLock(first, irql);
    };
    ExploreOptions options;
    options.strategy = "dfs";
    options.preemptions = 1;
    options.schedules = 100;
    emu::verifier::ExpectFaults faults;
    auto result = emu::sched::Explore(options, [&] {
        {
            emu::Thread a([&] { order(&l1, &l2); }, "first");
            emu::Thread b([&] { order(&l2, &l1); }, "second");
        }
        for (const auto& r : faults.Take())
            if (r.message.rfind("deadlock", 0) == 0) return r.message;
        return std::string();
    });
    ASSERT_TRUE(result.failed);
    for (const char* part : {"first waits for spin lock", "held by second", "second waits for spin lock", "held by first"})
        EXPECT_NE(result.failure.find(part), std::string::npos) << part << " in: " << result.failure;
    KeInitializeSpinLock(&l1);  // the broken wait left one lock with a holder that has gone
    KeInitializeSpinLock(&l2);
}

// Timed waits looping for ever would keep a session going without end: an hour of virtual time
// stops the process, naming the hang (and, in the race suite, the schedule).
TEST(SchedDeterministicDeathTest, AnHourOfVirtualTimeInOneSessionStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            auto strategy = emu::sched::RandomWalk(1);
            emu::sched::Session session(*strategy);
            KEVENT never;
            KeInitializeEvent(&never, NotificationEvent, FALSE);
            LARGE_INTEGER second;
            second.QuadPart = -10000000;
            for (;;) KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &second);
        },
        "hang: an hour of virtual time");
}

// An atomic section, or a driver marked atomic (however many are marked), is not preempted; an
// unmarked driver is, which shows the search would have found the race.
TEST(SchedDeterministic, AtomicSectionsAndAtomicDriversAreNotPreempted) {
    static char drivers[40];  // stand-ins for driver objects: only their addresses matter
    for (int i = 0; i < 39; ++i) emu::sched::MarkAtomicDriver(&drivers[i]);
    const struct {
        const char* what;
        PVOID driver;  // null: an AtomicSection instead
        bool preempted;
        bool noDriverInside = false;  // then code of no driver, as a sender's completion routine
    } cases[] = {{"atomic section", nullptr, false},
                 {"first driver marked", &drivers[0], false},
                 {"last driver marked", &drivers[38], false},
                 {"driver not marked", &drivers[39], true},
                 {"no driver's code inside a marked driver's step", &drivers[0], true, true}};
    for (const auto& c : cases) {
        LONG x = 0;
        ExploreOptions options;
        options.strategy = "dfs";
        options.preemptions = 2;
        options.schedules = 1000;
        auto result = emu::sched::Explore(options, [&] {
            x = 0;
            auto body = [&] {
                std::optional<emu::sched::AtomicSection> section;
                std::optional<emu::DriverScope> scope, inner;
                if (c.driver) scope.emplace(c.driver);
                else section.emplace();
                if (c.noDriverInside) inner.emplace(nullptr);
                LONG v = ReadNoFence(&x);
                InterlockedExchange(&x, v + 1);
            };
            {
                emu::Thread a(body, "a"), b(body, "b");
            }
            return x == 2 ? "" : std::string("preempted inside an atomic step");
        });
        EXPECT_EQ(result.failed, c.preempted) << c.what << ": " << result.failure;
        if (!c.preempted) {
            EXPECT_TRUE(result.exhausted) << c.what;
        }
    }
    for (int i = 0; i < 39; ++i) emu::sched::ForgetDriver(&drivers[i]);
}

TEST(SchedExplore, ScheduleStringsParseOrAreRefused) {
    struct Case {
        const char* text;
        bool ok;
        const char* strategy;
        int schedules, depth, steps, preemptions;
        uint64_t seed;
        int faultBudget = 1;
        unsigned faultOdds = 0;
    } cases[] = {
        {"pct:d=4:k=300:seed=17", true, "pct", 1, 4, 300, 2, 17},
        {"random:seed=5", true, "random", 1, 3, 0, 2, 5},
        {"dfs:k=3:n=40", true, "dfs", 40, 3, 0, 3, 1},
        {"replay:0.1.1", true, "replay", 1, 3, 0, 2, 1},
        {"random:seed=5:o=9", true, "random", 1, 3, 0, 2, 5, 1, 9},
        {"pct:n=20:f=0", true, "pct", 20, 3, 0, 2, 1, 0},
        {"dfs:k=1:f=2", true, "dfs", 100, 3, 0, 1, 1, 2},
        {"replay:0.1:f=0", true, "replay", 1, 3, 0, 2, 1, 0},
        {"pct:d", false, "", 0, 0, 0, 0, 0},
        {"pct:depth=2", false, "", 0, 0, 0, 0, 0},
        {"fifo:seed=1", false, "", 0, 0, 0, 0, 0},
        {"random:seed=x", false, "", 0, 0, 0, 0, 0},
        {"random:f=x", false, "", 0, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        ExploreOptions o;
        ASSERT_EQ(emu::sched::ParseSchedule(c.text, o), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(o.strategy, c.strategy) << c.text;
        EXPECT_EQ(o.schedules, c.schedules) << c.text;
        EXPECT_EQ(o.depth, c.depth) << c.text;
        EXPECT_EQ(o.steps, c.steps) << c.text;
        EXPECT_EQ(o.preemptions, c.preemptions) << c.text;
        EXPECT_EQ(o.seed, c.seed) << c.text;
        EXPECT_EQ(o.faultBudget, c.faultBudget) << c.text;
        EXPECT_EQ(o.faultOdds, c.faultOdds) << c.text;
    }
    ExploreOptions replay;
    ASSERT_TRUE(emu::sched::ParseSchedule("replay:0.1.1", replay));
    EXPECT_EQ(replay.choices, (std::vector<uint32_t>{0, 1, 1}));
}

// Two threads, each with `opportunities` chances of a fault of `kind`; how many were drawn.
struct Faulted {
    emu::sched::FaultKind kind;
    int opportunities = 2;
    LONG drawn = 0;
    std::string Run() {
        drawn = 0;
        auto body = [this] {
            for (int i = 0; i < opportunities; ++i)
                if (emu::sched::DrawFault(kind)) InterlockedIncrement(&drawn);
        };
        {
            emu::Thread a(body, "a"), b(body, "b");
        }
        return drawn == 0 ? "" : std::to_string(drawn) + " fault(s) drawn";
    }
};

// Faults are decisions of the schedule: only the kinds allowed, within the budget, replayed by
// the same seed, and the bounded search takes each opportunity both ways.
TEST(SchedFaults, DrawnAsDecisionsWithinTheBudgetAndReplayed) {
    using emu::sched::FaultBit;
    using emu::sched::FaultKind;
    struct Case {
        const char* strategy;
        FaultKind kind;
        uint32_t allowed;
        int budget;
        bool drawn;  // some schedule draws one
    } cases[] = {
        {"random", FaultKind::DeviceUnplug, FaultBit(FaultKind::DeviceUnplug), 1, true},
        {"pct", FaultKind::DevicePartial, emu::sched::kDeviceFaults, 2, true},
        {"dfs", FaultKind::DeviceInline, FaultBit(FaultKind::DeviceInline), 1, true},
        {"dfs", FaultKind::DeviceInline, FaultBit(FaultKind::DeviceInline), 2, true},
        {"random", FaultKind::DevicePassive, FaultBit(FaultKind::DeviceUnplug), 1, false},  // kind not allowed
        {"pct", FaultKind::DeviceUnplug, FaultBit(FaultKind::DeviceUnplug), 0, false},     // no budget
        // Pool and IRP faults hit drivers only: a test thread's allocations never fail.
        {"random", FaultKind::Pool, emu::sched::kAllocationFaults, 1, false},
    };
    // The schedules of the bounded search without faults (orders in which the threads may run).
    ExploreOptions plain;
    plain.strategy = "dfs";
    plain.preemptions = 0;
    plain.schedules = 300;
    Faulted none{FaultKind::DeviceInline};
    int orders = emu::sched::Explore(plain, [&] { return none.Run(); }).schedules;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.strategy) + " " + emu::sched::FaultName(c.kind) + " budget " + std::to_string(c.budget));
        Faulted f{c.kind};
        ExploreOptions options;
        options.strategy = c.strategy;
        options.schedules = 300;
        options.preemptions = 0;
        options.faults = c.allowed;
        options.faultBudget = c.budget;
        options.faultOdds = 3;
        int most = 0, faulted = 0;
        auto result = emu::sched::Explore(options, [&] {
            f.Run();
            most = std::max<int>(most, f.drawn);
            if (f.drawn) faulted++;
            return std::string();
        });
        EXPECT_EQ(result.faulted, faulted);
        EXPECT_EQ(faulted > 0, c.drawn);
        EXPECT_LE(most, c.budget);
        if (c.drawn) {
            EXPECT_EQ(most, c.budget) << "the budget is reached in some schedule";
        }
        if (std::string(c.strategy) == "dfs") {
            // The orders of the threads without faults first; then, of four opportunities,
            // each order with every subset of at most `budget` faulted: 1 + 4, or 1 + 4 + 6.
            EXPECT_TRUE(result.exhausted);
            EXPECT_EQ(result.schedules, orders + orders * (c.budget == 1 ? 5 : 11));
            std::set<uint64_t> distinct(result.hashes.begin(), result.hashes.end());
            EXPECT_EQ(distinct.size(), result.hashes.size());
        }
        if (!c.drawn) continue;
        // The first schedule that drew one fails, and its replay draws the same.
        options.schedules = 300;
        auto found = emu::sched::Explore(options, [&] { return f.Run(); });
        ASSERT_TRUE(found.failed);
        ExploreOptions again = options;
        ASSERT_TRUE(emu::sched::ParseSchedule(found.replay.substr(11), again)) << found.replay;
        auto replayed = emu::sched::Explore(again, [&] { return f.Run(); });
        EXPECT_TRUE(replayed.failed) << found.replay;
        EXPECT_EQ(replayed.failure, found.failure) << found.replay;
        EXPECT_EQ(replayed.hashes.back(), found.hashes.back()) << found.replay;
        EXPECT_NE(found.trace.find(std::string("fault: ") + emu::sched::FaultName(c.kind)), std::string::npos) << found.trace;
    }
}

// What a stopped object may have left: timers armed and DPCs queued inside a range, nothing outside.
TEST(SchedFaults, ArmedInFindsTimersAndDpcsInsideTheRangeOnly) {
    struct Object {
        KTIMER timer;
        KDPC dpc;
        KDPC other;
    } o;
    KeInitializeTimer(&o.timer);
    KeInitializeDpc(&o.dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeInitializeDpc(&o.other, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    EXPECT_TRUE(emu::sched::ArmedIn(&o, sizeof o).empty());
    LARGE_INTEGER due;
    due.QuadPart = -10000000;
    KeSetTimer(&o.timer, due, &o.dpc);
    auto inTimer = emu::sched::ArmedIn(&o.timer, sizeof o.timer);
    ASSERT_EQ(inTimer.size(), 1u);
    EXPECT_NE(inTimer[0].find("is armed"), std::string::npos);
    auto forDpc = emu::sched::ArmedIn(&o.dpc, sizeof o.dpc);
    ASSERT_EQ(forDpc.size(), 1u);
    EXPECT_NE(forDpc[0].find("armed to queue DPC"), std::string::npos);
    EXPECT_TRUE(emu::sched::ArmedIn(&o.other, sizeof o.other).empty());
    EXPECT_EQ(emu::sched::ArmedIn(&o, sizeof o).size(), 1u);  // asking does not withdraw it
    KeCancelTimer(&o.timer);
    EXPECT_TRUE(emu::sched::ArmedIn(&o, sizeof o).empty());
    // A queued DPC, seen before its processor runs it: the test's thread keeps the processor.
    auto strategy = emu::sched::Replay({});
    {
        emu::sched::Session session(*strategy);
        session.Choose(false);
        KeInsertQueueDpc(&o.other, nullptr, nullptr);
        auto queued = emu::sched::ArmedIn(&o.other, sizeof o.other);
        ASSERT_EQ(queued.size(), 1u);
        EXPECT_NE(queued[0].find("is queued"), std::string::npos);
    }
    emu::RunUntilIdle();
    EXPECT_TRUE(emu::sched::ArmedIn(&o, sizeof o).empty());
}

}  // namespace

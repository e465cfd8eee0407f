// The deterministic scheduler: runs replay exactly, every strategy reaches a known race, the
// bounded search is exhaustive within its bound, and a deadlock is reported with its cycle.
#include <gtest/gtest.h>

#include <map>
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

TEST(SchedDeterministic, AtomicSectionsAreNotPreempted) {
    LONG x = 0;
    ExploreOptions options;
    options.strategy = "dfs";
    options.preemptions = 2;
    options.schedules = 1000;
    auto result = emu::sched::Explore(options, [&] {
        x = 0;
        auto body = [&] {
            emu::sched::AtomicSection atomic;
            LONG v = ReadNoFence(&x);
            InterlockedExchange(&x, v + 1);
        };
        {
            emu::Thread a(body, "a"), b(body, "b");
        }
        return x == 2 ? "" : std::string("preempted inside an atomic section");
    });
    EXPECT_FALSE(result.failed) << result.failure;
    EXPECT_TRUE(result.exhausted);
}

TEST(SchedExplore, ScheduleStringsParseOrAreRefused) {
    struct Case {
        const char* text;
        bool ok;
        const char* strategy;
        int schedules, depth, steps, preemptions;
        uint64_t seed;
    } cases[] = {
        {"pct:d=4:k=300:seed=17", true, "pct", 1, 4, 300, 2, 17},
        {"random:seed=5", true, "random", 1, 3, 0, 2, 5},
        {"dfs:k=3:n=40", true, "dfs", 40, 3, 0, 3, 1},
        {"replay:0.1.1", true, "replay", 1, 3, 0, 2, 1},
        {"pct:d", false, "", 0, 0, 0, 0, 0},
        {"pct:depth=2", false, "", 0, 0, 0, 0, 0},
        {"fifo:seed=1", false, "", 0, 0, 0, 0, 0},
        {"random:seed=x", false, "", 0, 0, 0, 0, 0},
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
    }
    ExploreOptions replay;
    ASSERT_TRUE(emu::sched::ParseSchedule("replay:0.1.1", replay));
    EXPECT_EQ(replay.choices, (std::vector<uint32_t>{0, 1, 1}));
}

}  // namespace

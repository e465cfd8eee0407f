// Each spin-lock and IRQL check of the verifier fires on a deliberately faulty routine.
#include <gtest/gtest.h>

#include <atomic>

#include "emu/sched.h"
#include "emu/verifier.h"
#include "nt/ke.h"

namespace {

using emu::verifier::ExpectFaults;
using emu::verifier::Fault;

TEST(VerifierLocks, SpinLockExcludesOtherProcessors) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;  // plain on purpose: only the lock protects it
    std::vector<emu::Thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                KIRQL old;
                KeAcquireSpinLock(&lock, &old);
                EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
                counter++;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 80000);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(VerifierLocks, ReleaseByANonOwnerIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ExpectFaults faults;
    KeRaiseIrqlToDpcLevel();
    KeReleaseSpinLockFromDpcLevel(&lock);
    KeLowerIrql(PASSIVE_LEVEL);
    EXPECT_TRUE(faults.Saw(Fault::SpinLockNotOwned));
}

TEST(VerifierLocks, ReleaseAtTheWrongIrqlIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ExpectFaults faults;
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KeLowerIrql(PASSIVE_LEVEL);  // the fault: dropping IRQL while holding the lock
    KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
    EXPECT_TRUE(faults.Saw(Fault::SpinLockBadIrql));
}

TEST(VerifierLocks, InversionOfTwoLocksIsReportedOnce) {
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    ExpectFaults faults;
    KIRQL old;
    KeAcquireSpinLock(&a, &old);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);
    EXPECT_TRUE(faults.Take().empty());
    for (int i = 0; i < 2; ++i) {
        KeAcquireSpinLock(&b, &old);
        KeAcquireSpinLockAtDpcLevel(&a);
        KeReleaseSpinLockFromDpcLevel(&a);
        KeReleaseSpinLock(&b, old);
    }
    auto reports = faults.Take();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].fault, Fault::LockOrderInversion);
}

TEST(VerifierLocks, CancelSpinLockTakesPartInLockOrder) {
    KSPIN_LOCK ring;
    KeInitializeSpinLock(&ring);
    ExpectFaults faults;
    KIRQL cancelIrql, old;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&ring);
    KeReleaseSpinLockFromDpcLevel(&ring);
    IoReleaseCancelSpinLock(cancelIrql);
    KeAcquireSpinLock(&ring, &old);
    IoAcquireCancelSpinLock(&cancelIrql);
    IoReleaseCancelSpinLock(cancelIrql);
    KeReleaseSpinLock(&ring, old);
    EXPECT_TRUE(faults.Saw(Fault::LockOrderInversion));
}

TEST(VerifierIrql, WaitWithTimeOutAtDispatchIsReportedAndDoesNotBlock) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ExpectFaults faults;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero{};
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    EXPECT_TRUE(faults.Take().empty());  // polling is allowed
    LARGE_INTEGER timeout;
    timeout.QuadPart = -10000;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
    KeLowerIrql(old);
    EXPECT_TRUE(faults.Saw(Fault::WaitAtDispatch));
}

TEST(VerifierIrql, RaisingBelowAndLoweringAboveAreReported) {
    ExpectFaults faults;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL ignored;
    KeRaiseIrql(PASSIVE_LEVEL, &ignored);
    EXPECT_TRUE(faults.Saw(Fault::IrqlMisuse));
    faults.Take();
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_TRUE(faults.Take().empty());
    KeLowerIrql(PASSIVE_LEVEL);
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_TRUE(faults.Saw(Fault::IrqlMisuse));
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST(VerifierDpc, DpcReturningHoldingALockIsReported) {
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ExpectFaults faults;
    KDPC dpc;
    KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) { KeAcquireSpinLockAtDpcLevel(&lock); }, nullptr);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    emu::RunUntilIdle();
    EXPECT_TRUE(faults.Saw(Fault::IrqlMisuse));
    KeInitializeSpinLock(&lock);
}

}  // namespace

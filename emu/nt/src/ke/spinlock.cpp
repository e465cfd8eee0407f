// Spin locks of the emulated kernel, with the verifier's ownership, IRQL and lock-order checks.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "emu/sched.h"
#include "emu/verifier.h"
#include "nt/ke.h"

namespace emu {
namespace detail {
std::vector<PKSPIN_LOCK>& HeldLocks();
KIRQL& CurrentIrql();
void* CurrentThreadToken();
bool DetActive();
bool DetWaitSpinLock(PKSPIN_LOCK lock);
}  // namespace detail
namespace verifier {
void NoteLockAcquired(const std::vector<PKSPIN_LOCK>& held, PKSPIN_LOCK lock);
}
}  // namespace emu

namespace {

KSPIN_LOCK gCancelSpinLock;

std::string Name(PKSPIN_LOCK lock) {
    if (lock == &gCancelSpinLock) return "the cancel spin lock";
    char buf[48];
    snprintf(buf, sizeof buf, "spin lock %p", static_cast<void*>(lock));
    return buf;
}

void Acquire(PKSPIN_LOCK lock) {
    auto& held = emu::detail::HeldLocks();
    auto self = reinterpret_cast<ULONG_PTR>(emu::detail::CurrentThreadToken());
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load(std::memory_order_relaxed) == self) {
        emu::verifier::Raise(emu::verifier::Fault::SpinLockRecursion, Name(lock) + " acquired again by its holder");
        return;
    }
    emu::verifier::NoteLockAcquired(held, lock);
    emu::sched::Point();
    for (int spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (word.compare_exchange_strong(expected, self, std::memory_order_acquire)) break;
        // Deterministic: the holder is parked, so wait for its release instead of spinning. A
        // wait given up to break a deadlock returns without the lock.
        if (emu::detail::DetActive() && !emu::detail::DetWaitSpinLock(lock)) return;
        if (spins > 64) std::this_thread::yield();
    }
    held.push_back(lock);
}

void Release(PKSPIN_LOCK lock) {
    auto& held = emu::detail::HeldLocks();
    auto self = reinterpret_cast<ULONG_PTR>(emu::detail::CurrentThreadToken());
    std::atomic_ref<ULONG_PTR> word(*lock);
    if (word.load(std::memory_order_relaxed) != self) {
        emu::verifier::Raise(emu::verifier::Fault::SpinLockNotOwned,
                             Name(lock) + " released by a thread that does not hold it");
        return;
    }
    for (auto it = held.rbegin(); it != held.rend(); ++it) {
        if (*it == lock) {
            held.erase(std::next(it).base());
            break;
        }
    }
    word.store(0, std::memory_order_release);
    emu::sched::Point();
}

void CheckAtDispatch(PKSPIN_LOCK lock, const char* routine) {
    KIRQL irql = emu::detail::CurrentIrql();
    if (irql != DISPATCH_LEVEL)
        emu::verifier::Raise(emu::verifier::Fault::SpinLockBadIrql,
                             std::string(routine) + " of " + Name(lock) + " at IRQL " + std::to_string(irql));
}

}  // namespace

extern "C" {

void KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL KfAcquireSpinLock(PKSPIN_LOCK SpinLock) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    Acquire(SpinLock);
    return old;
}

void KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    CheckAtDispatch(SpinLock, "KeReleaseSpinLock");
    Release(SpinLock);
    KeLowerIrql(NewIrql);
}

void KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    if (emu::detail::CurrentIrql() < DISPATCH_LEVEL)
        emu::verifier::Raise(emu::verifier::Fault::IrqlMisuse,
                             "KeAcquireSpinLockAtDpcLevel of " + Name(SpinLock) + " below DISPATCH_LEVEL");
    Acquire(SpinLock);
}

void KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    CheckAtDispatch(SpinLock, "KeReleaseSpinLockFromDpcLevel");
    Release(SpinLock);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) { return KfAcquireSpinLock(SpinLock); }

void IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KfAcquireSpinLock(&gCancelSpinLock); }
void IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&gCancelSpinLock, Irql); }

}  // extern "C"

// The emulation's verifier: every layer of the emulated kernel reports driver faults here.
// A fault fails the test that caused it (see emu/testing.h), naming the fault and the request
// or lock involved. Tests that provoke a fault on purpose capture it with ExpectFaults.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace emu::verifier {

enum class Fault {
    IrpCompletedTwice,
    IrpCompletedWithCancelRoutine,
    IrpCompletedHoldingSpinLock,
    IrpCompletedAtBadIrql,
    PendingNotMarked,          // STATUS_PENDING returned without IoMarkIrpPending
    MarkedNotPending,          // IoMarkIrpPending but another status returned
    IrpFreedWhileOwned,        // IoFreeIrp while a driver still owns the request
    IrpStackOverflow,          // IoCallDriver with no stack location left
    IrpLeaked,                 // driver-allocated IRP or MDL never freed
    RequestLeftPending,        // an application's request still pending at the end of a test
    WaitAtDispatch,            // a wait with a non-zero time-out at DISPATCH_LEVEL
    IrqlMisuse,                // raise below / lower above the current IRQL, bad IRQL for a routine
    PagedPoolAtDispatch,
    SpinLockNotOwned,          // released by a thread that does not hold it
    SpinLockBadIrql,           // released at the wrong IRQL
    SpinLockRecursion,         // acquired again by the holder
    LockOrderInversion,        // two locks taken in both orders
    PoolLeak,                  // pool left allocated at device removal or driver unload (per tag)
    PoolMisuse,                // double free, wrong tag, free of unknown memory
    RemoveLockMisuse,          // release without acquisition (by tag)
    RemoveLockLeft,            // acquisitions left at removal
    ObjectMisuse,              // deleting an attached device, deleting twice, bad handles, ...
    KernelStackOverflow,       // driver calls nested deeper than a kernel stack holds
    RequestToRemovedDevice,    // an IRP sent to a device whose driver has handled IRP_MN_REMOVE_DEVICE
    ArmedInFreedMemory,        // a timer, DPC or waiter inside memory being freed or deleted
    PowerPagingMismatch,       // DO_POWER_PAGABLE set above a device that is not pageable
    ExecutablePool,            // NonPagedPool where NonPagedPoolNx would do
    SpecialPool,               // a write past an allocation's end found at its free
    Other,
};

const char* FaultName(Fault f);

struct Report {
    Fault fault;
    std::string message;
};

// Records a fault. Outside an ExpectFaults scope the current test fails with the message.
void Raise(Fault fault, const std::string& message);

// All faults raised since the last Reset (expected ones included).
std::vector<Report> Reports();
void Reset();

// While alive, faults are captured instead of failing the test; Take() returns and clears them.
class ExpectFaults {
public:
    ExpectFaults();
    ~ExpectFaults();
    ExpectFaults(const ExpectFaults&) = delete;
    ExpectFaults& operator=(const ExpectFaults&) = delete;
    std::vector<Report> Take();
    bool Saw(Fault f) const;
};

// Forgets the lock-order pairs of locks inside [base, base + size): memory freed and reused must
// not make two unrelated locks look inverted.
void ForgetLocksIn(const void* base, size_t size);

// Timers armed, DPCs queued and objects waited on inside [base, base + size), one description
// each, withdrawn from the scheduler: memory holding one of them must not be freed.
std::vector<std::string> WithdrawArmedIn(const void* base, size_t size);

// Raises ArmedInFreedMemory for each of them, naming what is being freed.
void CheckNothingArmedIn(const void* base, size_t size, const std::string& what);

// Nesting of driver calls on the current thread (dispatch, completion, cancel and DPC routines).
// A kernel stack holds 24 KiB; beyond kMaxDriverCallDepth nested calls the machine would stop,
// which is reported once per excursion as KernelStackOverflow.
constexpr int kMaxDriverCallDepth = 16;
class DriverCall {
public:
    explicit DriverCall(const char* what);
    ~DriverCall();
    DriverCall(const DriverCall&) = delete;
    DriverCall& operator=(const DriverCall&) = delete;
};
int DriverCallDepth();

// Hook for the test framework: called for every fault that is not expected.
using FailHandler = void (*)(const Report&);
void SetFailHandler(FailHandler handler);

}  // namespace emu::verifier

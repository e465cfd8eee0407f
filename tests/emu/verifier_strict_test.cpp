// The checks where Windows stops the machine: each fires on a small faulty driver and stays silent
// on the same driver written soundly. Special pool's stops end the process, so they are death tests.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <functional>
#include <string>

#include "emu/pnp.h"
#include "emu/pool.h"
#include "emu/sched.h"
#include "emu/verifier.h"
#include "wdm.h"

namespace {

using emu::verifier::ExpectFaults;
using emu::verifier::Fault;

// ---- a small test driver whose routines each case sets -------------------------------------------

std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> gDispatch;
std::function<NTSTATUS(PDRIVER_OBJECT, PDEVICE_OBJECT)> gAddDevice;

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) { return gDispatch(device, irp); }
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) { return gAddDevice(driver, pdo); }
NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = Dispatch;
    driver->DriverExtension->AddDevice = AddDevice;
    return STATUS_SUCCESS;
}

NTSTATUS CompleteInline(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The driver loaded with one device of its own; the case runs inside the driver's context.
struct Bed {
    PDRIVER_OBJECT driver = emu::pnp::LoadDriver("strict", Entry);
    PDEVICE_OBJECT device = nullptr;
    Bed() {
        IoCreateDevice(driver, sizeof(KTIMER), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        gDispatch = [](PDEVICE_OBJECT, PIRP irp) { return CompleteInline(irp, STATUS_SUCCESS); };
    }
    ~Bed() {
        if (device) IoDeleteDevice(device);
        emu::pnp::UnloadDriver(driver);
        gDispatch = nullptr;
        gAddDevice = nullptr;
    }
    NTSTATUS Send(UCHAR major, UCHAR minor = 0) {
        PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
        PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
        sp->MajorFunction = major;
        sp->MinorFunction = minor;
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; },
                               nullptr, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(device, irp);
        IoFreeIrp(irp);
        return status;
    }
};

// A completion routine that sends the next request of a chain to a device completing inline: the
// recursion grows the stack by two driver calls per request.
struct Chain {
    PDEVICE_OBJECT device;
    int left;
};

NTSTATUS SendNext(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* chain = static_cast<Chain*>(context);
    IoFreeIrp(irp);
    if (--chain->left > 0) {
        PIRP next = IoAllocateIrp(chain->device->StackSize, FALSE);
        IoGetNextIrpStackLocation(next)->MajorFunction = IRP_MJ_WRITE;
        IoSetCompletionRoutine(next, SendNext, chain, TRUE, TRUE, TRUE);
        IoCallDriver(chain->device, next);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void SendChain(Bed& bed, int requests) {
    Chain chain{bed.device, requests + 1};
    PIRP first = IoAllocateIrp(1, FALSE);
    SendNext(nullptr, first, &chain);
    EXPECT_EQ(chain.left, 0);
}

// Pool holding what a driver arms: a timer, a DPC and an event.
struct Armed {
    KTIMER timer;
    KDPC dpc;
    KEVENT event;
};

Armed* NewArmed() {
    auto* a = static_cast<Armed*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(Armed), 'mrAT'));
    KeInitializeTimer(&a->timer);
    KeInitializeDpc(&a->dpc, [](PKDPC, PVOID, PVOID, PVOID) {}, nullptr);
    KeInitializeEvent(&a->event, NotificationEvent, FALSE);
    return a;
}

// Keeps every DPC processor busy while alive, so that a DPC queued meanwhile stays queued.
struct HoldDpcProcessors {
    static inline std::atomic<int> running{0};
    static inline std::atomic<bool> release{false};
    KDPC spin[emu::kDpcProcessors];
    HoldDpcProcessors() {
        running = 0;
        release = false;
        for (auto& d : spin) {
            KeInitializeDpc(&d, [](PKDPC, PVOID, PVOID, PVOID) {
                running++;
                while (!release) std::this_thread::yield();
            }, nullptr);
            KeInsertQueueDpc(&d, nullptr, nullptr);
        }
        while (running < emu::kDpcProcessors) std::this_thread::yield();
    }
    ~HoldDpcProcessors() {
        release = true;
        KeFlushQueuedDpcs();
    }
};

LARGE_INTEGER InMs(LONGLONG ms) {
    LARGE_INTEGER due;
    due.QuadPart = -ms * 10000;
    return due;
}

// A stack of the test driver over a bus PDO with the given power flags; the driver's device takes
// `flags(pdoFlags)`, and its power routine is `power`.
void WithPowerStack(ULONG pdoFlags, std::function<ULONG(ULONG)> flags, std::function<void(PIRP)> power) {
    PDRIVER_OBJECT driver = emu::pnp::LoadDriver("strictpower", Entry);
    static PDEVICE_OBJECT lower;
    gAddDevice = [&](PDRIVER_OBJECT d, PDEVICE_OBJECT pdo) {
        PDEVICE_OBJECT fdo;
        IoCreateDevice(d, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
        lower = IoAttachDeviceToDeviceStack(fdo, pdo);
        fdo->Flags = (fdo->Flags & ~(DO_POWER_PAGABLE | DO_POWER_INRUSH | DO_DEVICE_INITIALIZING)) | flags(lower->Flags);
        return STATUS_SUCCESS;
    };
    gDispatch = [&](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction == IRP_MJ_POWER) {
            power(irp);
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(lower, irp);
        }
        bool remove = sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (remove) {
            IoDetachDevice(lower);
            IoDeleteDevice(device);
        }
        return status;
    };
    {
        auto node = emu::pnp::DeviceNode::Create("ROOT\\STRICT\\0", {}, {driver}, nullptr, pdoFlags);
        EXPECT_EQ(node->Start(), STATUS_SUCCESS);
        EXPECT_EQ(node->SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
        EXPECT_EQ(node->SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    }
    emu::pnp::UnloadDriver(driver);
    gDispatch = nullptr;
    gAddDevice = nullptr;
}

ULONG CopyFlags(ULONG lowerFlags) { return lowerFlags & (DO_POWER_PAGABLE | DO_POWER_INRUSH); }

// A wait that is satisfied at once, so only the level it runs at decides.
void WaitABit(PIRP) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER timeout = InMs(1);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
}

struct Case {
    const char* name;
    Fault fault;
    std::function<void(Bed&)> faulty;  // must raise `fault`
    std::function<void(Bed&)> sound;   // the same work done right: must raise nothing
};

const Case kCases[] = {
    {"NestedCompletionsOverflowTheKernelStack", Fault::KernelStackOverflow,
     [](Bed& bed) { SendChain(bed, 40); },
     [](Bed& bed) { SendChain(bed, emu::verifier::kMaxDriverCallDepth / 2 - 1); }},
    {"RequestAfterRemoveDevice", Fault::RequestToRemovedDevice,
     [](Bed& bed) {
         bed.Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
         bed.Send(IRP_MJ_READ);
     },
     [](Bed& bed) {
         bed.Send(IRP_MJ_READ);
         bed.Send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
     }},
    {"PoolFreedWithATimerArmed", Fault::ArmedInFreedMemory,
     [](Bed&) {
         Armed* a = NewArmed();
         KeSetTimer(&a->timer, InMs(10), &a->dpc);
         ExFreePoolWithTag(a, 'mrAT');
         emu::AdvanceTime(20);  // the timer was withdrawn: nothing fires in freed memory
     },
     [](Bed&) {
         Armed* a = NewArmed();
         KeSetTimer(&a->timer, InMs(10), &a->dpc);
         KeCancelTimer(&a->timer);
         ExFreePoolWithTag(a, 'mrAT');
     }},
    {"PoolFreedWithADpcQueued", Fault::ArmedInFreedMemory,
     [](Bed&) {
         Armed* a = NewArmed();
         HoldDpcProcessors hold;
         KeInsertQueueDpc(&a->dpc, nullptr, nullptr);
         ExFreePoolWithTag(a, 'mrAT');
     },
     [](Bed&) {
         Armed* a = NewArmed();
         {
             HoldDpcProcessors hold;
             KeInsertQueueDpc(&a->dpc, nullptr, nullptr);
             KeRemoveQueueDpc(&a->dpc);
         }
         ExFreePoolWithTag(a, 'mrAT');
     }},
    {"PoolFreedWithAThreadWaitingInIt", Fault::ArmedInFreedMemory,
     [](Bed&) {
         Armed* a = NewArmed();
         NTSTATUS waited = STATUS_SUCCESS;
         emu::Thread waiter([&] { waited = KeWaitForSingleObject(&a->event, Executive, KernelMode, FALSE, nullptr); });
         emu::RunUntilIdle();
         ExFreePoolWithTag(a, 'mrAT');
         waiter.join();
         EXPECT_EQ(waited, STATUS_UNSUCCESSFUL);  // released by the verifier, not by a signal
     },
     [](Bed&) {
         Armed* a = NewArmed();
         emu::Thread waiter([&] { KeWaitForSingleObject(&a->event, Executive, KernelMode, FALSE, nullptr); });
         emu::RunUntilIdle();
         KeSetEvent(&a->event, 0, FALSE);
         waiter.join();
         ExFreePoolWithTag(a, 'mrAT');
     }},
    {"DeviceDeletedWithATimerArmedInItsExtension", Fault::ArmedInFreedMemory,
     [](Bed& bed) {
         auto* timer = static_cast<PKTIMER>(bed.device->DeviceExtension);
         KeInitializeTimer(timer);
         KeSetTimer(timer, InMs(10), nullptr);
         IoDeleteDevice(bed.device);
         bed.device = nullptr;
     },
     [](Bed& bed) {
         auto* timer = static_cast<PKTIMER>(bed.device->DeviceExtension);
         KeInitializeTimer(timer);
         KeSetTimer(timer, InMs(10), nullptr);
         KeCancelTimer(timer);
         IoDeleteDevice(bed.device);
         bed.device = nullptr;
     }},
    {"WaitInAPowerRoutineOfANonPageableStack", Fault::WaitAtDispatch,
     [](Bed&) { WithPowerStack(DO_POWER_INRUSH, CopyFlags, WaitABit); },
     [](Bed&) { WithPowerStack(DO_POWER_PAGABLE, CopyFlags, WaitABit); }},
    {"PageableDeviceAboveANonPageableOne", Fault::PowerPagingMismatch,
     [](Bed&) { WithPowerStack(DO_POWER_INRUSH, [](ULONG) { return ULONG(DO_POWER_PAGABLE); }, [](PIRP) {}); },
     [](Bed&) { WithPowerStack(DO_POWER_INRUSH, CopyFlags, [](PIRP) {}); }},
    {"ExecutableNonPagedPool", Fault::ExecutablePool,
     [](Bed&) { ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, 'cexE')); },
     [](Bed&) { ExFreePool(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 'cexE')); }},
    {"WriteIntoTheSlackBeforeTheGuardPage", Fault::SpecialPool,
     [](Bed&) {
         auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, 'kalS'));
         p[10] = 1;  // lands in the slack of the 16-byte granule, short of the guard page
         ExFreePool(p);
     },
     [](Bed&) {
         auto* p = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 10, 'kalS'));
         p[9] = 1;
         ExFreePool(p);
     }},
};

class StrictCheck : public ::testing::TestWithParam<Case> {};

TEST_P(StrictCheck, FiresOnTheFaultyDriverOnly) {
    const Case& c = GetParam();
    if (c.fault == Fault::SpecialPool && !emu::pool::SpecialPoolOn()) GTEST_SKIP() << "ASan's heap stands in for special pool";
    // The reports of one driver's run, on a bed of its own.
    auto run = [](const std::function<void(Bed&)>& body) {
        Bed bed;
        ExpectFaults faults;
        {
            emu::DriverScope scope(bed.driver);
            body(bed);
        }
        emu::RunUntilIdle();
        return faults.Take();
    };
    for (auto& r : run(c.sound)) ADD_FAILURE() << "sound driver: " << emu::verifier::FaultName(r.fault) << ": " << r.message;
    auto reports = run(c.faulty);
    bool seen = false;
    for (auto& r : reports) seen |= r.fault == c.fault;
    EXPECT_TRUE(seen) << "expected " << emu::verifier::FaultName(c.fault) << ", saw " << reports.size() << " other(s)"
                      << (reports.empty() ? "" : ": " + reports[0].message);
}

INSTANTIATE_TEST_SUITE_P(Verifier, StrictCheck, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(StrictCheck, StackOverflowIsReportedOncePerExcursionWithTheChain) {
    Bed bed;
    ExpectFaults faults;
    {
        emu::DriverScope scope(bed.driver);
        SendChain(bed, 40);
        SendChain(bed, 40);
    }
    auto reports = faults.Take();
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_NE(reports[0].message.find("dispatch routine > completion routine"), std::string::npos) << reports[0].message;
    EXPECT_EQ(emu::verifier::DriverCallDepth(), 0);
}

// ---- special pool: the access itself stops the process ----------------------------------------

#if defined(__SANITIZE_ADDRESS__)
constexpr const char* kOverrun = "heap-buffer-overflow";
constexpr const char* kAfterFree = "heap-use-after-free";
#else
constexpr const char* kOverrun = "SpecialPool: access to .* 0 bytes past the end of a live 32-byte block with pool tag SOvr";
constexpr const char* kAfterFree = "SpecialPool: access to .* byte 8 of a 64-byte block with pool tag RBuf.*freed by:.*CloseFreesReceiveBuffer";
#endif

}  // namespace

// Outside the anonymous namespace, never inlined and not left by a tail call, so that its frame
// and name show in the freeing call's backtrace in optimised builds too.
[[gnu::noinline]] void CloseFreesReceiveBuffer(void* buffer) {
    ExFreePoolWithTag(buffer, 'fuBR');
    asm volatile("" ::: "memory");
}

namespace {

TEST(SpecialPoolDeathTest, AnOverrunStopsAtTheGuardPage) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            int driver = 0;
            emu::DriverScope scope(&driver);
            auto* p = static_cast<volatile char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 32, 'rvOS'));
            p[32] = 1;
        },
        kOverrun);
}

// A receive transfer from the device's own thread lands in a buffer the close already freed.
TEST(SpecialPoolDeathTest, AUseAfterFreeStopsAndNamesTheFreeingCall) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            int driver = 0;
            void* buffer;
            {
                emu::DriverScope scope(&driver);
                buffer = ExAllocatePoolWithTag(NonPagedPoolNx, 64, 'fuBR');
                CloseFreesReceiveBuffer(buffer);
            }
            emu::Worker device("device");
            device.Post([buffer] { memset(static_cast<char*>(buffer) + 8, 0x55, 16); });
            device.Drain();
        },
        kAfterFree);
}

}  // namespace

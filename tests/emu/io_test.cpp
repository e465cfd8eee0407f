// The I/O manager behaves as on Windows where every later test depends on it: the completion
// walk, pending propagation, buffered copy-back, cancellation racing completion, names, queues,
// remove locks, the PnP manager and the registry; and its verifier checks fire.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "emu/pool.h"
#include "emu/registry.h"
#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "io_driver.h"

namespace {

using emu::verifier::ExpectFaults;
using emu::verifier::Fault;
using namespace iotest;

std::vector<std::string> gTrace;

NTSTATUS Traced(PDEVICE_OBJECT, PIRP, PVOID context) {
    gTrace.push_back(static_cast<const char*>(context));
    return STATUS_SUCCESS;
}

NTSTATUS Stop(PDEVICE_OBJECT, PIRP, PVOID context) {
    gTrace.push_back(static_cast<const char*>(context));
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(IoCompletion, RoutinesRunBottomUpAndMoreProcessingStopsTheWalk) {
    Stack s;
    EXPECT_EQ(s.upper->StackSize, 2);
    gTrace.clear();
    PIRP irp = IoAllocateIrp(3, FALSE);
    // Location 3 (ours) -> upper (location 2) -> lower (location 1).
    gDispatch = [&](PDEVICE_OBJECT device, PIRP r) -> NTSTATUS {
        if (device == s.upper) {
            IoCopyCurrentIrpStackLocationToNext(r);
            IoSetCompletionRoutine(r, Traced, const_cast<char*>("upper-error-only"), FALSE, TRUE, FALSE);
            return IoCallDriver(s.lower, r);
        }
        Complete(r, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    IoSetNextIrpStackLocation(irp);  // make location 3 ours so the routine above is called
    PIO_STACK_LOCATION mine = IoGetCurrentIrpStackLocation(irp);
    mine->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(irp, Stop, const_cast<char*>("mine"), TRUE, TRUE, TRUE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    EXPECT_EQ(IoCallDriver(s.upper, irp), STATUS_SUCCESS);
    // The upper routine asked for errors only: skipped on success; ours stops the walk.
    EXPECT_EQ(gTrace, std::vector<std::string>({"mine"}));
    IoFreeIrp(irp);
}

TEST(IoCompletion, PendingReturnedPropagatesWithoutACompletionRoutine) {
    Stack s;
    PIRP held = nullptr;
    gDispatch = [&](PDEVICE_OBJECT device, PIRP r) -> NTSTATUS {
        if (device == s.upper) {
            IoSkipCurrentIrpStackLocation(r);
            return IoCallDriver(s.lower, r);
        }
        IoMarkIrpPending(r);
        held = r;
        return STATUS_PENDING;
    };
    bool pendingSeen = false;
    PIRP irp = IoAllocateIrp(s.upper->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    struct Ctx { bool* seen; } ctx{&pendingSeen};
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP r, PVOID c) -> NTSTATUS {
        *static_cast<Ctx*>(c)->seen = r->PendingReturned;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, &ctx, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(s.upper, irp), STATUS_PENDING);
    ASSERT_NE(held, nullptr);
    Complete(held, STATUS_SUCCESS);
    EXPECT_TRUE(pendingSeen);
    IoFreeIrp(irp);
}

TEST(IoBuffered, DeviceControlCopiesBackExactlyInformationBytesAndKeepsTheBoost) {
    Stack s;
    s.upper->Flags |= DO_BUFFERED_IO;
    // A named device to open: create it fresh so the name space is exercised too.
    s.Create(L"\\Device\\iotest0", true, DO_BUFFERED_IO);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\Device\\iotest0");
    PDEVICE_OBJECT clash;
    EXPECT_EQ(IoCreateDevice(s.driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, TRUE, &clash), STATUS_OBJECT_NAME_COLLISION);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\IOTEST");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
    gDispatch = [&](PDEVICE_OBJECT, PIRP r) -> NTSTATUS {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(r);
        if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
            auto* buf = static_cast<UCHAR*>(r->AssociatedIrp.SystemBuffer);
            EXPECT_EQ(buf[0], 0x5A);  // the input arrived in the system buffer
            memset(buf, 0xEE, sp->Parameters.DeviceIoControl.OutputBufferLength);
            r->IoStatus.Information = 3;
        } else {
            r->IoStatus.Information = 0;
        }
        r->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(r, IO_SERIAL_INCREMENT);
        return STATUS_SUCCESS;
    };
    std::unique_ptr<emu::io::File> file, second;
    ASSERT_EQ(emu::io::File::Open(u"\\\\.\\IOTEST", &file), STATUS_SUCCESS);
    EXPECT_EQ(emu::io::File::Open(u"IOTEST", &second), STATUS_ACCESS_DENIED);  // exclusive
    UCHAR in = 0x5A;
    auto r = file->Ioctl(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), &in, 1, 8);
    EXPECT_EQ(r.Status(), STATUS_SUCCESS);
    EXPECT_EQ(r.Information(), 3u);
    EXPECT_EQ(r.Data(), std::vector<uint8_t>(3, 0xEE));
    EXPECT_EQ(r.Boost(), IO_SERIAL_INCREMENT);
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(IoApplication, CompletionCallbackSeesTheOutcomeBeforeWaitersWake) {
    Driver d;
    d.Create(L"\\Device\\iotest1", false, DO_BUFFERED_IO);
    std::atomic<PIRP> held{nullptr};
    gDispatch = [&](PDEVICE_OBJECT, PIRP r) -> NTSTATUS {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(r);
        if (sp->MajorFunction == IRP_MJ_DEVICE_CONTROL && sp->Parameters.DeviceIoControl.IoControlCode == 2) {
            IoMarkIrpPending(r);
            held = r;
            return STATUS_PENDING;
        }
        Complete(r, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    std::unique_ptr<emu::io::File> file;
    ASSERT_EQ(emu::io::File::Open(u"\\Device\\iotest1", &file), STATUS_SUCCESS);
    // Completed inside the call: the callback has run when the call returns.
    bool inlineDone = false;
    file->IoctlAsync(1, nullptr, 0, 0, [&](emu::io::Request& r) { inlineDone = r.Done() && r.Status() == STATUS_SUCCESS; });
    EXPECT_TRUE(inlineDone);
    // Completed later at DISPATCH_LEVEL on a worker: status and data are there when it runs.
    std::atomic<int> calls{0};
    std::vector<uint8_t> seen;
    auto r = file->IoctlAsync(2, nullptr, 0, 4, [&](emu::io::Request& done) {
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(done.Status(), STATUS_TIMEOUT);
        seen = done.Data();
        calls++;
    });
    EXPECT_FALSE(r.Done());
    EXPECT_EQ(calls.load(), 0);
    emu::Worker worker;
    worker.Post([&] {
        PIRP irp = held.load();
        memcpy(irp->AssociatedIrp.SystemBuffer, "\x01\x02\x03\x04", 4);
        irp->IoStatus.Status = STATUS_TIMEOUT;
        irp->IoStatus.Information = 4;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    r.Wait();
    EXPECT_EQ(calls.load(), 1);
    EXPECT_EQ(seen, (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
}

// The upper driver hands the application's request down and, in its completion routine,
// completes it once more and returns STATUS_MORE_PROCESSING_REQUIRED: legal on Windows, and the
// request may be gone when the routine returns.
NTSTATUS CompleteAgain(PDEVICE_OBJECT, PIRP irp, PVOID) {
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    irp->IoStatus.Information = 7;
    IoCompleteRequest(irp, IO_SERIAL_INCREMENT);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST(IoCompletion, ARoutineMayCompleteTheRequestAgainAndStopTheWalk) {
    Stack s;
    PDEVICE_OBJECT top = s.Create(L"\\Device\\iotest2", false, DO_BUFFERED_IO);
    top->StackSize = 2;
    std::atomic<PIRP> held{nullptr};
    gDispatch = [&](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction != IRP_MJ_WRITE) {
            Complete(irp, STATUS_SUCCESS);
            return STATUS_SUCCESS;
        }
        if (device == top) {  // the upper driver: hand it down
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, CompleteAgain, nullptr, TRUE, TRUE, TRUE);
            IoMarkIrpPending(irp);
            IoCallDriver(s.lower, irp);
            return STATUS_PENDING;
        }
        IoMarkIrpPending(irp);  // the lower driver: completed later from its worker
        held = irp;
        return STATUS_PENDING;
    };
    std::unique_ptr<emu::io::File> file;
    ASSERT_EQ(emu::io::File::Open(u"\\Device\\iotest2", &file), STATUS_SUCCESS);
    for (int round = 0; round < 20; ++round) {
        held = nullptr;
        auto r = file->WriteAsync("abc", 3);
        ASSERT_NE(held.load(), nullptr);
        emu::Worker worker;
        worker.Post([&] { Complete(held.load(), STATUS_SUCCESS, 3); });
        r.Wait();
        EXPECT_EQ(r.Status(), STATUS_SUCCESS);
        EXPECT_EQ(r.Information(), 7u);
        EXPECT_EQ(r.Boost(), IO_SERIAL_INCREMENT);
    }
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
}

TEST(IoBuild, DeviceIoControlRequestSignalsItsEventWithTheStatusBlock) {
    Stack s;
    gDispatch = [&](PDEVICE_OBJECT, PIRP r) -> NTSTATUS {
        auto* buf = static_cast<ULONG*>(r->AssociatedIrp.SystemBuffer);
        *buf = 64;
        r->IoStatus.Information = sizeof(ULONG);
        r->IoStatus.Status = STATUS_SUCCESS;
        IoMarkIrpPending(r);
        emu::Worker* w = new emu::Worker("late");
        w->Post([r] { IoCompleteRequest(r, IO_NO_INCREMENT); });
        w->Drain();
        delete w;
        return STATUS_PENDING;
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    ULONG out = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(0x222028, s.lower, nullptr, 0, &out, sizeof out, FALSE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(s.lower, irp), STATUS_PENDING);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, sizeof(ULONG));
    EXPECT_EQ(out, 64u);
}

TEST(IoBuild, DirectIoReadCarriesALockedMdlOnTheCallersBuffer) {
    Stack s;
    s.lower->Flags |= DO_DIRECT_IO;
    char buffer[16] = {};
    gDispatch = [&](PDEVICE_OBJECT, PIRP r) -> NTSTATUS {
        EXPECT_NE(r->MdlAddress, nullptr);
        EXPECT_TRUE(r->MdlAddress->MdlFlags & MDL_PAGES_LOCKED);
        memcpy(MmGetSystemAddressForMdlSafe(r->MdlAddress, NormalPagePriority), "hello", 5);
        Complete(r, STATUS_SUCCESS, 5);
        return STATUS_SUCCESS;
    };
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, s.lower, buffer, sizeof buffer, nullptr, nullptr);
    struct Done { ULONG_PTR n = 0; } done;
    IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP r, PVOID c) -> NTSTATUS {
        static_cast<Done*>(c)->n = r->IoStatus.Information;
        MmUnlockPages(r->MdlAddress);
        IoFreeMdl(r->MdlAddress);
        IoFreeIrp(r);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }, &done, TRUE, TRUE, TRUE);
    IoCallDriver(s.lower, irp);
    EXPECT_EQ(done.n, 5u);
    EXPECT_EQ(std::string(buffer), "hello");
}

TEST(IoCancel, CancelRacingCompletionCompletesExactlyOnce) {
    Stack s;
    std::atomic<int> cancelRuns{0};
    for (int i = 0; i < 300; ++i) {
        PIRP irp = IoAllocateIrp(1, FALSE);
        std::atomic<int> completions{0};
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        struct Ctx { std::atomic<int>* completions; } ctx{&completions};
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID c) -> NTSTATUS {
            static_cast<Ctx*>(c)->completions->fetch_add(1);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }, &ctx, TRUE, TRUE, TRUE);
        static std::atomic<int>* runs;
        runs = &cancelRuns;
        gDispatch = [&](PDEVICE_OBJECT, PIRP r) -> NTSTATUS {
            IoMarkIrpPending(r);
            IoSetCancelRoutine(r, [](PDEVICE_OBJECT, PIRP c) {
                runs->fetch_add(1);
                IoReleaseCancelSpinLock(c->CancelIrql);
                Complete(c, STATUS_CANCELLED);
            });
            return STATUS_PENDING;
        };
        IoCallDriver(s.lower, irp);
        emu::Thread completer([irp] {
            if (IoSetCancelRoutine(irp, nullptr) != nullptr) Complete(irp, STATUS_SUCCESS);  // who takes it completes
        });
        IoCancelIrp(irp);
        completer.join();
        EXPECT_EQ(completions.load(), 1) << "iteration " << i;
        IoFreeIrp(irp);
    }
    EXPECT_GT(cancelRuns.load(), 0);
}

TEST(IoQueues, DeviceQueueIsBusyWhileAnEntryIsCurrent) {
    KDEVICE_QUEUE q;
    KeInitializeDeviceQueue(&q);
    KDEVICE_QUEUE_ENTRY a{}, b{}, c{};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_FALSE(KeInsertDeviceQueue(&q, &a));  // idle: becomes busy, a is current
    EXPECT_TRUE(KeInsertDeviceQueue(&q, &b));
    EXPECT_TRUE(KeInsertDeviceQueue(&q, &c));
    KeLowerIrql(old);
    EXPECT_TRUE(KeRemoveEntryDeviceQueue(&q, &b));
    EXPECT_FALSE(KeRemoveEntryDeviceQueue(&q, &b));
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(KeRemoveDeviceQueue(&q), &c);
    EXPECT_EQ(KeRemoveDeviceQueue(&q), nullptr);
    EXPECT_FALSE(q.Busy);
    KeLowerIrql(old);
    ExpectFaults faults;
    KeInsertDeviceQueue(&q, &a);  // at PASSIVE_LEVEL
    EXPECT_TRUE(faults.Saw(Fault::IrqlMisuse));
}

TEST(IoRemoveLock, ReleaseAndWaitReturnsOnlyAfterTheLastRelease) {
    IO_REMOVE_LOCK lock;
    IoInitializeRemoveLock(&lock, 'MCRV', 1, 10);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
    int tag;
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);
    std::atomic<bool> returned{false};
    emu::Thread remover([&] {
        IoReleaseRemoveLockAndWait(&lock, nullptr);
        returned = true;
    });
    emu::RunUntilIdle();
    EXPECT_FALSE(returned.load());
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_DELETE_PENDING);
    IoReleaseRemoveLock(&lock, &tag);
    remover.join();
    EXPECT_TRUE(returned.load());
    ExpectFaults faults;
    IoReleaseRemoveLock(&lock, &tag);
    EXPECT_TRUE(faults.Saw(Fault::RemoveLockMisuse));
}

TEST(IoVerifier, EachRequestCheckFires) {
    Stack s;
    ExpectFaults faults;
    auto send = [&](std::function<NTSTATUS(PIRP)> body) {
        gDispatch = [body](PDEVICE_OBJECT, PIRP r) { return body(r); };
        PIRP irp = KeptRead();
        IoCallDriver(s.lower, irp);
        return irp;
    };
    auto complete = [](PIRP r) { Complete(r, STATUS_SUCCESS); };
    // Pending without the mark, and the mark without pending.
    IoFreeIrp(send([&](PIRP r) { complete(r); return STATUS_PENDING; }));
    EXPECT_TRUE(faults.Saw(Fault::PendingNotMarked));
    IoFreeIrp(send([&](PIRP r) { IoMarkIrpPending(r); complete(r); return STATUS_SUCCESS; }));
    EXPECT_TRUE(faults.Saw(Fault::MarkedNotPending));
    // Completed with a cancel routine set; completed while holding a spin lock.
    IoFreeIrp(send([&](PIRP r) {
        IoSetCancelRoutine(r, [](PDEVICE_OBJECT, PIRP) {});
        complete(r);
        IoSetCancelRoutine(r, nullptr);
        return STATUS_SUCCESS;
    }));
    EXPECT_TRUE(faults.Saw(Fault::IrpCompletedWithCancelRoutine));
    static KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    IoFreeIrp(send([&](PIRP r) {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        complete(r);
        KeReleaseSpinLock(&lock, old);
        return STATUS_SUCCESS;
    }));
    EXPECT_TRUE(faults.Saw(Fault::IrpCompletedHoldingSpinLock));
    // Completed twice: nothing stops the walk, so the second completion finds it completed.
    gDispatch = [&](PDEVICE_OBJECT, PIRP r) {
        complete(r);
        complete(r);
        return STATUS_SUCCESS;
    };
    PIRP twice = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(twice)->MajorFunction = IRP_MJ_READ;
    IoCallDriver(s.lower, twice);
    EXPECT_TRUE(faults.Saw(Fault::IrpCompletedTwice));
    IoFreeIrp(twice);
    // Freed while a lower driver still owns it.
    PIRP kept = nullptr;
    PIRP owned = send([&](PIRP r) { IoMarkIrpPending(r); kept = r; return STATUS_PENDING; });
    IoFreeIrp(owned);
    EXPECT_TRUE(faults.Saw(Fault::IrpFreedWhileOwned));
    complete(kept);
    IoFreeIrp(owned);
}

TEST(IoVerifier, RequestLeftPendingAndLeakedIrpsAreReportedAtTheEnd) {
    Driver d;
    d.Create(L"\\Device\\iotest1");
    PIRP held = nullptr;
    gDispatch = [&](PDEVICE_OBJECT, PIRP r) -> NTSTATUS {
        if (IoGetCurrentIrpStackLocation(r)->MajorFunction == IRP_MJ_READ) {
            IoMarkIrpPending(r);
            held = r;
            return STATUS_PENDING;
        }
        Complete(r, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    std::unique_ptr<emu::io::File> file;
    ASSERT_EQ(emu::io::File::Open(u"\\Device\\iotest1", &file), STATUS_SUCCESS);
    auto read = file->ReadAsync(4);
    PIRP leaked = IoAllocateIrp(1, FALSE);
    {
        ExpectFaults faults;
        emu::testing::RunEndOfTestChecks();
        EXPECT_TRUE(faults.Saw(Fault::RequestLeftPending));
        EXPECT_TRUE(faults.Saw(Fault::IrpLeaked));
    }
    IoFreeIrp(leaked);
    Complete(held, STATUS_CANCELLED);
    EXPECT_EQ(read.Status(), STATUS_CANCELLED);
    file->Close();
}

}  // namespace

namespace {

// A handle's outstanding requests finish in any order (the list loses entries inside and at its
// ends); CancelAll then reaches each one left, and the close finds the handle idle.
TEST(IoApplication, OutstandingRequestsFinishInAnyOrderAndCancelAllReachesTheRest) {
    Driver d;
    d.Create(L"\\Device\\iotest7", false, DO_BUFFERED_IO);
    static std::vector<PIRP> held;
    held.clear();
    auto finish = [](PIRP r, NTSTATUS status) {
        held.erase(std::find(held.begin(), held.end(), r));
        Complete(r, status);
    };
    static void (*finishHeld)(PIRP, NTSTATUS) = finish;
    gDispatch = [](PDEVICE_OBJECT, PIRP r) -> NTSTATUS {
        if (IoGetCurrentIrpStackLocation(r)->MajorFunction == IRP_MJ_READ) {
            IoMarkIrpPending(r);
            IoSetCancelRoutine(r, [](PDEVICE_OBJECT, PIRP c) {
                IoReleaseCancelSpinLock(c->CancelIrql);
                finishHeld(c, STATUS_CANCELLED);
            });
            held.push_back(r);
            return STATUS_PENDING;
        }
        Complete(r, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    std::unique_ptr<emu::io::File> file;
    ASSERT_EQ(emu::io::File::Open(u"\\Device\\iotest7", &file), STATUS_SUCCESS);
    std::vector<emu::io::Request> reads;
    for (ULONG n = 1; n <= 4; n++) reads.push_back(file->ReadAsync(n));
    ASSERT_EQ(held.size(), 4u);
    std::vector<PIRP> order = held;
    for (PIRP r : {order[2], order[0]}) {
        ASSERT_NE(IoSetCancelRoutine(r, nullptr), nullptr);
        finish(r, STATUS_SUCCESS);
    }
    EXPECT_TRUE(reads[0].Done() && reads[2].Done());
    EXPECT_FALSE(reads[1].Done() || reads[3].Done());
    file->CancelAll();
    EXPECT_TRUE(held.empty());
    for (size_t i : {1u, 3u}) EXPECT_EQ(reads[i].Status(), STATUS_CANCELLED) << i;
    for (size_t i : {0u, 2u}) EXPECT_EQ(reads[i].Status(), STATUS_SUCCESS) << i;
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
}

TEST(IoObjects, LowerDeviceDeletedUnderAnAttachedOneLivesUntilTheUpperDetaches) {
    // The removal order of a real stack: the lower driver deletes its device while handling
    // IRP_MN_REMOVE_DEVICE, then the upper one detaches from it and deletes its own.
    PDRIVER_OBJECT driver = emu::pnp::LoadDriver("iotest2", Entry);
    PDEVICE_OBJECT lower, upper;
    IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower);
    IoCreateDevice(driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, lower), lower);
    IoDeleteDevice(lower);            // no fault: deferred
    EXPECT_EQ(upper->DeviceObjectExtension->AttachedTo, lower);
    IoDetachDevice(lower);            // frees the lower device (ASan checks the memory)
    IoDeleteDevice(upper);
    EXPECT_EQ(driver->DeviceObject, nullptr);
    emu::pnp::UnloadDriver(driver);
}

}  // namespace

// The owner of a request finishes it from its own completion routine: it sends it down once
// more, then completes it again and returns STATUS_MORE_PROCESSING_REQUIRED, while the lower
// driver completes from another thread. The request outlives the walk that completed it.
TEST(IoCompletion, RoutineThatResendsAndThenCompletesTheRequestAgain) {
    Stack s;
    emu::Worker worker("lower");
    int passes = 0;
    NTSTATUS (*again)(PDEVICE_OBJECT, PIRP, PVOID) = nullptr;
    struct Ctx {
        Stack* s;
        int* passes;
        NTSTATUS (**again)(PDEVICE_OBJECT, PIRP, PVOID);
    } ctx{&s, &passes, &again};
    again = [](PDEVICE_OBJECT, PIRP r, PVOID c) -> NTSTATUS {
        auto* x = static_cast<Ctx*>(c);
        if (++*x->passes == 1) {
            IoCopyCurrentIrpStackLocationToNext(r);
            IoSetCompletionRoutine(r, *x->again, c, TRUE, TRUE, TRUE);
            IoCallDriver(x->s->lower, r);
        } else {
            r->IoStatus.Information = 42;
            IoCompleteRequest(r, IO_NO_INCREMENT);
        }
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    gDispatch = [&](PDEVICE_OBJECT device, PIRP r) -> NTSTATUS {
        if (device == s.upper) {
            IoMarkIrpPending(r);
            IoCopyCurrentIrpStackLocationToNext(r);
            IoSetCompletionRoutine(r, again, &ctx, TRUE, TRUE, TRUE);
            IoCallDriver(s.lower, r);
            return STATUS_PENDING;
        }
        IoMarkIrpPending(r);
        worker.Post([r] { Complete(r, STATUS_SUCCESS); });
        return STATUS_PENDING;
    };
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(0x222000, s.upper, nullptr, 0, nullptr, 0, FALSE, &done, &iosb);
    EXPECT_EQ(IoCallDriver(s.upper, irp), STATUS_PENDING);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    worker.Drain();
    EXPECT_EQ(passes, 2);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 42u);
}

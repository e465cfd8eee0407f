// Invoke flags, the name space (collisions, links, interfaces), the application front (exclusive
// open, buffered reads, cancel of a handle's requests, close ordering) and the verifier checks
// not covered by io_test.cpp.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "emu/verifier.h"
#include "io_driver.h"

namespace {

using emu::verifier::ExpectFaults;
using emu::verifier::Fault;
using namespace iotest;

std::vector<std::string> gRan;
NTSTATUS Record(PDEVICE_OBJECT, PIRP, PVOID c) {
    gRan.push_back(static_cast<const char*>(c));
    return STATUS_SUCCESS;
}

TEST(IoCompletion, InvokeFlagsSelectRoutinesBySuccessErrorAndCancel) {
    Driver d;
    PDEVICE_OBJECT dev = d.Create(nullptr);
    NTSTATUS finalStatus = STATUS_SUCCESS;
    bool cancel = false;
    gDispatch = [&](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = cancel;
        Complete(irp, finalStatus);
        return finalStatus;
    };
    struct Case {
        NTSTATUS status;
        bool cancel;
        BOOLEAN onSuccess, onError, onCancel;
        bool runs;
    } cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},   {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true}, {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, TRUE, false},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},  {STATUS_CANCELLED, false, TRUE, FALSE, TRUE, false},
    };
    for (const Case& c : cases) {
        gRan.clear();
        finalStatus = c.status;
        cancel = c.cancel;
        PIRP irp = IoAllocateIrp(2, FALSE);
        // Location 2 is ours: its routine always runs and stops the walk so we keep the IRP.
        IoSetCompletionRoutine(irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
                               nullptr, TRUE, TRUE, TRUE);
        IoSetNextIrpStackLocation(irp);
        IoSetCompletionRoutine(irp, Record, const_cast<char*>("r"), c.onSuccess, c.onError, c.onCancel);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
        IoCallDriver(dev, irp);
        EXPECT_EQ(gRan.size(), c.runs ? 1u : 0u) << "status " << std::hex << c.status << " cancel " << c.cancel;
        IoFreeIrp(irp);
    }
}

TEST(IoNames, CollisionsLinksAndInterfaces) {
    Driver d;
    PDEVICE_OBJECT dev = d.Create(L"\\Device\\ionames0");
    UNICODE_STRING same;
    RtlInitUnicodeString(&same, L"\\Device\\ionames0");
    PDEVICE_OBJECT other = nullptr;
    EXPECT_EQ(IoCreateDevice(d.driver, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(other, nullptr);

    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM41");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &same), STATUS_SUCCESS);
    // \??\ is the same directory, so a second link there collides.
    UNICODE_STRING alias;
    RtlInitUnicodeString(&alias, L"\\??\\COM41");
    EXPECT_EQ(IoCreateSymbolicLink(&alias, &same), STATUS_OBJECT_NAME_COLLISION);
    for (auto name : {u"\\DosDevices\\COM41", u"\\??\\com41"}) EXPECT_EQ(emu::io::FindDevice(name), dev);
    auto target = emu::io::ResolveLink(u"\\??\\COM41");
    ASSERT_TRUE(target.has_value());
    EXPECT_EQ(emu::io::ToUtf8(*target), "\\Device\\ionames0");
    ASSERT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS);
    EXPECT_EQ(emu::io::FindDevice(u"\\DosDevices\\COM41"), nullptr);

    static const GUID kGuid = {0x1234abcd, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
    static const GUID kOther = {0x1234abcd, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 11}};
    UNICODE_STRING iface{};
    ASSERT_EQ(IoRegisterDeviceInterface(dev, &kGuid, nullptr, &iface), STATUS_SUCCESS);
    ASSERT_NE(iface.Buffer, nullptr);
    EXPECT_TRUE(emu::io::ListInterfaces(kGuid).empty());  // registered but not enabled
    ASSERT_EQ(IoSetDeviceInterfaceState(&iface, TRUE), STATUS_SUCCESS);
    auto listed = emu::io::ListInterfaces(kGuid);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].pdo, dev);
    EXPECT_TRUE(emu::io::ListInterfaces(kOther).empty());
    // An enabled interface leads to its device, as a link does; a disabled one leads nowhere.
    EXPECT_EQ(emu::io::FindDevice(listed[0].symbolicName), dev);
    EXPECT_EQ(IoSetDeviceInterfaceState(&iface, FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(emu::io::ListInterfaces(kGuid).empty());
    EXPECT_EQ(emu::io::FindDevice(listed[0].symbolicName), nullptr);
    RtlFreeUnicodeString(&iface);
}

struct Bed : Driver {
    std::mutex m;
    std::vector<UCHAR> majors;
    PIRP held = nullptr;
};

TEST(IoFile, ExclusiveOpenBufferedReadCancelAllAndCloseOrder) {
    Bed b;
    PDEVICE_OBJECT dev = b.Create(L"\\Device\\ionames1", true, DO_BUFFERED_IO);
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\ionames1");
    RtlInitUnicodeString(&link, L"\\DosDevices\\COM42");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
    static PIRP* heldSlot;
    heldSlot = &b.held;
    gDispatch = [&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        {
            std::lock_guard<std::mutex> g(b.m);
            b.majors.push_back(sp->MajorFunction);
        }
        if (sp->MajorFunction == IRP_MJ_READ && sp->Parameters.Read.Length == 8) {
            // Fill more than the request reports: only Information bytes may come back.
            memset(irp->AssociatedIrp.SystemBuffer, 'x', 8);
            Complete(irp, STATUS_SUCCESS, 3);
            return STATUS_SUCCESS;
        }
        if (sp->MajorFunction == IRP_MJ_READ) {
            IoMarkIrpPending(irp);
            *heldSlot = irp;
            IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP r) {
                IoReleaseCancelSpinLock(r->CancelIrql);
                *heldSlot = nullptr;
                Complete(r, STATUS_CANCELLED);
            });
            return STATUS_PENDING;
        }
        Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    std::unique_ptr<emu::io::File> file, second;
    ASSERT_EQ(emu::io::File::Open(u"\\\\.\\COM42", &file), STATUS_SUCCESS);
    size_t before = b.majors.size();
    EXPECT_EQ(emu::io::File::Open(u"COM42", &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(b.majors.size(), before);  // refused before any request reached the driver

    auto r = file->Read(8);
    EXPECT_EQ(r.Status(), STATUS_SUCCESS);
    EXPECT_EQ(r.Information(), 3u);
    EXPECT_EQ(std::string(r.Data().begin(), r.Data().end()), "xxx");

    auto pending = file->ReadAsync(4);
    EXPECT_FALSE(pending.Done());
    file->CancelAll();
    ASSERT_TRUE(pending.Done());
    EXPECT_EQ(pending.Status(), STATUS_CANCELLED);

    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    ASSERT_GE(b.majors.size(), 2u);
    EXPECT_EQ(b.majors[b.majors.size() - 2], IRP_MJ_CLEANUP);
    EXPECT_EQ(b.majors.back(), IRP_MJ_CLOSE);
    // The exclusive open is released by the close.
    EXPECT_EQ(emu::io::File::Open(u"\\??\\COM42", &second), STATUS_SUCCESS);
    second->Close();
    IoDeleteSymbolicLink(&link);
    (void)dev;
}

// A removal waiting for the last close deletes the device the moment the close completes; the
// application side must not look at the device afterwards (AddressSanitizer sees it).
TEST(IoFile, CloseLeavesADeviceDeletedRightAfterTheCloseAlone) {
    Driver d;
    PDEVICE_OBJECT dev = d.Create(L"\\Device\\ionames9", true);
    gDispatch = [&](PDEVICE_OBJECT device, PIRP irp) -> NTSTATUS {
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        Complete(irp, STATUS_SUCCESS);
        if (major == IRP_MJ_CLOSE) {
            d.devices.clear();
            IoDeleteDevice(device);
        }
        return STATUS_SUCCESS;
    };
    std::unique_ptr<emu::io::File> file;
    ASSERT_EQ(emu::io::File::Open(u"\\Device\\ionames9", &file), STATUS_SUCCESS);
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    (void)dev;
}

TEST(IoVerifier, StackIrqlCompletionFreeMdlRemoveLockAndQueueChecksFire) {
    Driver d;
    PDEVICE_OBJECT lower = d.Create(nullptr);
    PDEVICE_OBJECT upper = d.Create(nullptr);
    IoAttachDeviceToDeviceStack(upper, lower);
    ExpectFaults faults;

    // One stack location for a two-device stack: the pass-down has none left.
    gDispatch = [&](PDEVICE_OBJECT dev, PIRP irp) -> NTSTATUS {
        if (dev == upper) {
            IoSkipCurrentIrpStackLocation(irp);
            IoSetNextIrpStackLocation(irp);  // as a driver copying would: consumes one more
            NTSTATUS s = IoCallDriver(lower, irp);
            Complete(irp, s);
            return s;
        }
        Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    PIRP small = KeptRead();
    IoCallDriver(upper, small);
    EXPECT_TRUE(faults.Saw(Fault::IrpStackOverflow));
    IoFreeIrp(small);
    IoDetachDevice(lower);

    // Completed above DISPATCH_LEVEL.
    gDispatch = [&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        Complete(irp, STATUS_SUCCESS);
        KeLowerIrql(old);
        return STATUS_SUCCESS;
    };
    PIRP high = KeptRead();
    IoCallDriver(lower, high);
    EXPECT_TRUE(faults.Saw(Fault::IrpCompletedAtBadIrql));
    IoFreeIrp(high);

    // Freed by a completion routine that lets the walk go on; the real free waits for the walk.
    gDispatch = [&](PDEVICE_OBJECT, PIRP irp) -> NTSTATUS {
        Complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    };
    PIRP freed = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(freed)->MajorFunction = IRP_MJ_READ;
    IoSetCompletionRoutine(freed, [](PDEVICE_OBJECT, PIRP r, PVOID) -> NTSTATUS {
        IoFreeIrp(r);
        return STATUS_SUCCESS;
    }, nullptr, TRUE, TRUE, TRUE);
    IoCallDriver(lower, freed);
    EXPECT_TRUE(faults.Saw(Fault::IrpFreedWhileOwned));

    // An MDL freed with its pages locked.
    faults.Take();
    EXPECT_FALSE(faults.Saw(Fault::ObjectMisuse));
    char buffer[16];
    PMDL mdl = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    MmProbeAndLockPages(mdl, KernelMode, IoWriteAccess);
    EXPECT_EQ(MmGetMdlByteCount(mdl), sizeof buffer);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), buffer);
    IoFreeMdl(mdl);
    EXPECT_TRUE(faults.Saw(Fault::ObjectMisuse));

    // A remove lock in a device extension still held when the device is deleted.
    PDEVICE_OBJECT withLock = nullptr;
    ASSERT_EQ(IoCreateDevice(d.driver, sizeof(IO_REMOVE_LOCK), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &withLock),
              STATUS_SUCCESS);
    auto* lock = static_cast<PIO_REMOVE_LOCK>(withLock->DeviceExtension);
    IoInitializeRemoveLock(lock, 'tseT', 0, 0);
    EXPECT_EQ(IoAcquireRemoveLock(lock, &withLock), STATUS_SUCCESS);
    IoDeleteDevice(withLock);
    EXPECT_TRUE(faults.Saw(Fault::RemoveLockLeft));

    // Device queue calls below DISPATCH_LEVEL.
    KDEVICE_QUEUE queue;
    KDEVICE_QUEUE_ENTRY entry;
    KeInitializeDeviceQueue(&queue);
    EXPECT_FALSE(KeInsertDeviceQueue(&queue, &entry));
    EXPECT_TRUE(faults.Saw(Fault::IrqlMisuse));
    faults.Take();
}

}  // namespace

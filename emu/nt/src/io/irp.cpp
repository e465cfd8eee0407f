// IRPs of the emulated I/O manager: allocation, calling a driver, the completion walk,
// cancellation, the requests the I/O manager builds, MDLs, and the verifier's IRP checks.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <unordered_set>
#include <vector>

#include "irp_internal.h"
#include "emu/explore.h"
#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "nt/io.h"
#include "nt/ke.h"
#include "nt/rtl.h"

namespace emu::io::detail {
namespace {

using verifier::Fault;

constexpr uint32_t kMagic = 0x49525042;  // "IRPB"
constexpr size_t kBackPointer = 16;      // keeps the IRP 16-byte aligned

struct Registry {
    std::mutex m;
    IrpBox* live = nullptr;  // linked through the boxes: no allocation per IRP
    size_t liveCount = 0;
    std::unordered_set<PMDL> mdls;
    std::unordered_set<PDEVICE_OBJECT> removed;  // devices whose driver has handled IRP_MN_REMOVE_DEVICE
    std::atomic<size_t> removedCount{0};         // its size, so that a call needs no lock while it is empty
    // Devices whose driver is handling it: one that deletes its device meanwhile is forgotten
    // at the free, not marked afterwards at an address that is no device any more.
    std::unordered_set<PDEVICE_OBJECT> removing;
};

Registry& Reg() {
    static Registry* r = new Registry;
    return *r;
}

std::string Describe(PIRP irp) {
    char buf[96];
    PIO_STACK_LOCATION sp = irp->Tail.Overlay.CurrentStackLocation;
    int major = (irp->CurrentLocation <= irp->StackCount) ? sp->MajorFunction : -1;
    snprintf(buf, sizeof buf, "IRP %p (major 0x%x)", static_cast<void*>(irp), major);
    return buf;
}

// IofCallDriver frames of this thread: which stack location each dispatch call owns, and
// whether IoMarkIrpPending was called for it.
struct Frame {
    PIRP irp;
    PIO_STACK_LOCATION sp;
    bool marked;
};
thread_local std::vector<Frame> tlsFrames;

// The box leads its block, rounded so that the back pointer and the IRP stay 16-byte aligned.
constexpr size_t kBoxBytes = (sizeof(IrpBox) + 15) / 16 * 16;

void RealFree(IrpBox* box) {
    {
        std::lock_guard<std::mutex> g(Reg().m);
        if (box->livePrev) box->livePrev->liveNext = box->liveNext;
        else Reg().live = box->liveNext;
        if (box->liveNext) box->liveNext->livePrev = box->livePrev;
        Reg().liveCount--;
    }
    box->magic = 0;
    char* back = reinterpret_cast<char*>(box->irp) - kBackPointer;
    *reinterpret_cast<IrpBox**>(back) = nullptr;
    box->~IrpBox();
    std::free(box);
}

void ReleaseRef(IrpBox* box) {
    if (box->refs.fetch_sub(1) == 1) RealFree(box);
}

[[maybe_unused]] const bool registered = [] {
    testing::AddEndOfTestCheck("io.irps", [] {
        std::vector<std::string> leaks;
        {
            std::lock_guard<std::mutex> g(Reg().m);
            for (IrpBox* box = Reg().live; box; box = box->liveNext) {
                if (box->kind == IrpKind::Application) continue;  // reported by the I/O front
                leaks.push_back(Describe(box->irp) + (box->state == IrpState::Sent ? " still with a driver" : " never freed"));
            }
            for (PMDL mdl : Reg().mdls) {
                char buf[64];
                snprintf(buf, sizeof buf, "MDL %p never freed", static_cast<void*>(mdl));
                leaks.emplace_back(buf);
            }
        }
        for (auto& l : leaks) verifier::Raise(Fault::IrpLeaked, l);
    });
    return true;
}();

}  // namespace

void NoteRemoving(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(Reg().m);
    Reg().removing.insert(device);
}

void NoteRemoved(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(Reg().m);
    if (Reg().removing.erase(device)) Reg().removed.insert(device);
    Reg().removedCount.store(Reg().removed.size(), std::memory_order_release);
}

void ForgetRemoved(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(Reg().m);
    Reg().removed.erase(device);
    Reg().removedCount.store(Reg().removed.size(), std::memory_order_release);
    Reg().removing.erase(device);
}

void CheckNotRemoved(PDEVICE_OBJECT device, PIRP irp) {
    if (Reg().removedCount.load(std::memory_order_acquire) == 0) return;
    {
        std::lock_guard<std::mutex> g(Reg().m);
        if (!Reg().removed.count(device)) return;
    }
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    // The I/O manager admits a create at the name lookup and references the device; a removal
    // may run between that and the call, and the driver must then refuse the create itself.
    IrpBox* box = BoxOf(irp);
    if (next->MajorFunction == IRP_MJ_CREATE && box && box->kind == IrpKind::Application) return;
    // Likewise a power request the power manager admitted before the removal began.
    if (next->MajorFunction == IRP_MJ_POWER && box && box->admittedBeforeRemoval && box->sends == 0) return;
    char buf[160];
    snprintf(buf, sizeof buf, "IRP %p (major 0x%x, minor 0x%x) sent to device %p after its driver handled IRP_MN_REMOVE_DEVICE",
             static_cast<void*>(irp), next->MajorFunction, next->MinorFunction, static_cast<void*>(device));
    verifier::Raise(Fault::RequestToRemovedDevice, buf);
}

IrpBox* BoxOf(PIRP irp) {
    IrpBox* box = *reinterpret_cast<IrpBox**>(reinterpret_cast<char*>(irp) - kBackPointer);
    if (box == nullptr || box->magic != kMagic) {
        char buf[96];
        snprintf(buf, sizeof buf, "%p is not a live IRP", static_cast<void*>(irp));
        verifier::Raise(Fault::ObjectMisuse, buf);
        return nullptr;
    }
    return box;
}

IrpBox* NewIrp(CCHAR stackSize, IrpKind kind) {
    if (stackSize < 1) stackSize = 1;
    size_t locations = static_cast<size_t>(stackSize) + 2;
    size_t irpBytes = kBoxBytes + kBackPointer + IoSizeOfIrp(stackSize);
    // One block: the box, back pointer, IRP, stack locations, then the pending bookkeeping.
    auto* block = static_cast<char*>(std::aligned_alloc(16, (irpBytes + 2 * locations + 15) / 16 * 16));
    std::memset(block + kBoxBytes, 0, irpBytes - kBoxBytes + 2 * locations);
    auto* box = new (block) IrpBox;
    *reinterpret_cast<IrpBox**>(block + kBoxBytes) = box;
    box->irp = reinterpret_cast<PIRP>(block + kBoxBytes + kBackPointer);
    box->magic = kMagic;
    box->kind = kind;
    box->passed = reinterpret_cast<int8_t*>(block + irpBytes);
    box->deferred = reinterpret_cast<bool*>(block + irpBytes + locations);
    std::memset(box->passed, -1, locations);
    IoInitializeIrp(box->irp, IoSizeOfIrp(stackSize), stackSize);
    std::lock_guard<std::mutex> g(Reg().m);
    box->liveNext = Reg().live;
    if (Reg().live) Reg().live->livePrev = box;
    Reg().live = box;
    Reg().liveCount++;
    return box;
}

void AddRef(IrpBox* box) { box->refs.fetch_add(1); }
void Release(IrpBox* box) { ReleaseRef(box); }

size_t LiveIrpCount() {
    std::lock_guard<std::mutex> g(Reg().m);
    return Reg().liveCount;
}

}  // namespace emu::io::detail

using namespace emu::io::detail;
using emu::verifier::Fault;
using emu::verifier::Raise;

namespace {

bool NtError(NTSTATUS s) { return (static_cast<ULONG>(s) >> 30) == 3; }

// What the I/O manager does once a request it built has completed to the top.
void PostProcess(IrpBox* box) {
    PIRP irp = box->irp;
    switch (box->kind) {
        case IrpKind::Allocated:
            Raise(Fault::Other, Describe(irp) +
                                    " allocated by a driver completed to the top: its completion routine must return "
                                    "STATUS_MORE_PROCESSING_REQUIRED");
            return;
        case IrpKind::IoctlSync:
        case IrpKind::FsdSync:
        case IrpKind::FsdAsync: {
            if (!NtError(irp->IoStatus.Status) && box->copyBackTo != nullptr && irp->AssociatedIrp.SystemBuffer) {
                size_t n = std::min<size_t>(irp->IoStatus.Information, box->copyBackLength);
                memcpy(box->copyBackTo, irp->AssociatedIrp.SystemBuffer, n);
            }
            if (box->ownsSystemBuffer && irp->AssociatedIrp.SystemBuffer) std::free(irp->AssociatedIrp.SystemBuffer);
            irp->AssociatedIrp.SystemBuffer = nullptr;
            while (PMDL mdl = irp->MdlAddress) {
                irp->MdlAddress = mdl->Next;
                if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
                IoFreeMdl(mdl);
            }
            if (irp->UserIosb) *irp->UserIosb = irp->IoStatus;
            PKEVENT event = irp->UserEvent;
            box->state = IrpState::Freed;
            Release(box);
            if (event) KeSetEvent(event, 0, FALSE);
            return;
        }
        case IrpKind::Application:
            if (box->onComplete)
                if (std::shared_ptr<void> owner = box->owner.lock()) box->onComplete(owner, box);
            return;
    }
}

}  // namespace

// An injected failure, or one a schedule draws.
static bool AllocationFails() {
    return emu::io::detail::ShouldFailIrpAllocation() || emu::sched::DrawFault(emu::sched::FaultKind::Irp);
}

extern "C" {

USHORT IoSizeOfIrp(CCHAR StackSize) {
    return static_cast<USHORT>(sizeof(IRP) + static_cast<size_t>(StackSize) * sizeof(IO_STACK_LOCATION));
}

void IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    memset(Irp, 0, PacketSize);
    Irp->Type = IO_TYPE_IRP;
    Irp->Size = PacketSize;
    Irp->StackCount = StackSize;
    Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
    InitializeListHead(&Irp->ThreadListEntry);
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    if (AllocationFails()) return nullptr;
    return NewIrp(StackSize, IrpKind::Allocated)->irp;
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    IrpBox* box = BoxOf(Irp);
    if (!box) return;
    IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->IoStatus.Status = Iostatus;
    box->state = IrpState::Owned;
}

void IoFreeIrp(PIRP Irp) {
    IrpBox* box = BoxOf(Irp);
    if (!box) return;
    {
        std::lock_guard<std::mutex> g(box->walkLock);
        if (box->state == IrpState::Freed) {
            Raise(Fault::IrpFreedWhileOwned, Describe(Irp) + " freed twice");
            return;
        }
        if (box->inWalk > 0) {  // the real free waits until the walk has ended
            box->freeRequested = true;
            return;
        }
        if (box->state == IrpState::Sent) {
            Raise(Fault::IrpFreedWhileOwned, Describe(Irp) + " freed while a driver still owns it");
            return;
        }
        if (box->kind == IrpKind::Application) {
            Raise(Fault::IrpFreedWhileOwned, Describe(Irp) + " belongs to an application: only the I/O manager frees it");
            return;
        }
        box->state = IrpState::Freed;
    }
    Release(box);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    emu::sched::Point();
    IrpBox* box = BoxOf(Irp);
    if (!box) return STATUS_INVALID_PARAMETER;
    if (Irp->CurrentLocation <= 1) {
        Raise(Fault::IrpStackOverflow, Describe(Irp) + " passed to a device with no stack location left");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL) Raise(Fault::IrqlMisuse, "IoCallDriver above DISPATCH_LEVEL");
    CheckNotRemoved(DeviceObject, Irp);
    Irp->CurrentLocation--;
    PIO_STACK_LOCATION sp = --Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    box->state = IrpState::Sent;
    box->sends++;
    size_t loc = static_cast<size_t>(Irp->CurrentLocation);
    {
        std::lock_guard<std::mutex> g(box->pendingLock);
        box->passed[loc] = -1;
        box->deferred[loc] = false;
    }
    AddRef(box);  // the bookkeeping below outlives a completion that frees the IRP
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    UCHAR major = sp->MajorFunction;
    bool removal = major == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
    if (removal) NoteRemoving(DeviceObject);
    tlsFrames.push_back(Frame{Irp, sp, false});
    NTSTATUS status;
    {
        emu::DriverScope scope(driver);
        emu::verifier::DriverCall nest("dispatch routine");
        status = driver->MajorFunction[major](DeviceObject, Irp);
    }
    if (removal) NoteRemoved(DeviceObject);
    Frame frame = tlsFrames.back();
    tlsFrames.pop_back();
    char buf[160];
    bool unmarked = false;
    if (status == STATUS_PENDING && !frame.marked) {
        // A completion routine may still mark this location (PendingReturned propagation):
        // decide now if the request has already been completed through it, else at that time.
        std::lock_guard<std::mutex> g(box->pendingLock);
        if (box->passed[loc] == 0) unmarked = true;
        else if (box->passed[loc] == -1) box->deferred[loc] = true;
    }
    if (unmarked) {
        snprintf(buf, sizeof buf, "dispatch routine for major 0x%x of IRP %p returned STATUS_PENDING without IoMarkIrpPending",
                 major, static_cast<void*>(Irp));
        Raise(Fault::PendingNotMarked, buf);
    } else if (status != STATUS_PENDING && frame.marked) {
        snprintf(buf, sizeof buf, "dispatch routine for major 0x%x of IRP %p called IoMarkIrpPending but returned 0x%08x",
                 major, static_cast<void*>(Irp), static_cast<unsigned>(status));
        Raise(Fault::MarkedNotPending, buf);
    }
    Release(box);
    return status;
}

void IoMarkIrpPending(PIRP Irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(Irp);
    sp->Control |= SL_PENDING_RETURNED;
    // Every active frame on this location: a driver that skipped its location shares it.
    for (auto& f : tlsFrames)
        if (f.irp == Irp && f.sp == sp) f.marked = true;
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    emu::sched::Point();
    IrpBox* box = BoxOf(Irp);
    if (!box) return;
    if (box->state == IrpState::Completed || box->state == IrpState::Freed) {
        Raise(Fault::IrpCompletedTwice, Describe(Irp) + " completed twice");
        return;
    }
    // Read as the platform reads it: a canceller may exchange it at this very moment.
    if (ReadPointerNoFence(reinterpret_cast<PVOID const volatile*>(&Irp->CancelRoutine)) != nullptr)
        Raise(Fault::IrpCompletedWithCancelRoutine, Describe(Irp) + " completed with its cancel routine still set");
    if (emu::HeldSpinLockCount() > 0)
        Raise(Fault::IrpCompletedHoldingSpinLock,
              Describe(Irp) + " completed while the completing thread holds " +
                  std::to_string(emu::HeldSpinLockCount()) + " spin lock(s)");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Raise(Fault::IrpCompletedAtBadIrql, Describe(Irp) + " completed above DISPATCH_LEVEL");
    if (Irp->IoStatus.Status == STATUS_PENDING) Raise(Fault::Other, Describe(Irp) + " completed with STATUS_PENDING");
    box->boost = PriorityBoost;
    box->completions++;
    {
        std::lock_guard<std::mutex> g(box->walkLock);
        box->inWalk++;
    }
    // A completion routine may complete the IRP again (its owner finishing it) or send it on
    // before returning STATUS_MORE_PROCESSING_REQUIRED: the IRP must outlive this walk.
    AddRef(box);
    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (sp->Control & SL_PENDING_RETURNED) != 0;
        {
            size_t loc = static_cast<size_t>(Irp->CurrentLocation);
            std::lock_guard<std::mutex> g(box->pendingLock);
            box->passed[loc] = Irp->PendingReturned ? 1 : 0;
            if (box->deferred[loc] && !Irp->PendingReturned) {
                box->deferred[loc] = false;
                char buf[128];
                snprintf(buf, sizeof buf, "a dispatch routine returned STATUS_PENDING for IRP %p without marking it pending",
                         static_cast<void*>(Irp));
                Raise(Fault::PendingNotMarked, buf);
            }
        }
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        PVOID context = sp->Context;
        UCHAR control = sp->Control;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                             (ReadBooleanNoFence(&Irp->Cancel) && (control & SL_INVOKE_ON_CANCEL)));
        sp->Control = 0;
        sp->CompletionRoutine = nullptr;
        sp->Context = nullptr;
        sp->FileObject = nullptr;
        if (invoke) {
            PDEVICE_OBJECT owner =
                Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
            NTSTATUS r;
            int completionsBefore = box->completions, sendsBefore = box->sends;
            {
                emu::DriverScope scope(owner ? owner->DriverObject : nullptr);
                emu::verifier::DriverCall nest("completion routine");
                r = routine(owner, Irp, context);
            }
            if (r != STATUS_MORE_PROCESSING_REQUIRED) {
                std::lock_guard<std::mutex> g(box->walkLock);
                if (box->freeRequested)
                    Raise(Fault::IrpFreedWhileOwned,
                          Describe(Irp) + " freed by a completion routine that did not return STATUS_MORE_PROCESSING_REQUIRED");
            } else {
                bool freed = false;
                {
                    std::lock_guard<std::mutex> g(box->walkLock);
                    box->inWalk--;
                    // Back with the driver whose routine stopped the walk, unless that routine
                    // has already completed the IRP again or sent it on.
                    if (box->completions == completionsBefore && box->sends == sendsBefore)
                        box->state = IrpState::Owned;
                    if (box->freeRequested && box->inWalk == 0 && box->state != IrpState::Freed) {
                        box->state = IrpState::Freed;
                        freed = true;
                    }
                }
                if (freed) Release(box);
                Release(box);
                return;  // back in the hands of the driver that owns this level
            }
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            Irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
        }
    }
    bool freed;
    {
        std::lock_guard<std::mutex> g(box->walkLock);
        box->inWalk--;
        freed = box->freeRequested;
        box->state = freed ? IrpState::Freed : IrpState::Completed;
    }
    if (freed) {
        Release(box);
        Release(box);
        return;
    }
    PostProcess(box);
    Release(box);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    emu::sched::Point();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    WriteBooleanNoFence(&Irp->Cancel, TRUE);  // completion may be looking at it without the lock
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (routine == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    emu::DriverScope scope(device ? device->DriverObject : nullptr);
    emu::verifier::DriverCall nest("cancel routine");
    routine(device, Irp);  // releases the cancel spin lock
    return TRUE;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    if (AllocationFails()) return nullptr;
    IrpBox* box = NewIrp(DeviceObject->StackSize, IrpKind::IoctlSync);
    PIRP irp = box->irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    ULONG method = METHOD_FROM_CTL_CODE(IoControlCode);
    if (method == METHOD_BUFFERED) {
        ULONG size = std::max(InputBufferLength, OutputBufferLength);
        if (size > 0) {
            irp->AssociatedIrp.SystemBuffer = std::calloc(1, size);
            box->ownsSystemBuffer = true;
            if (InputBuffer && InputBufferLength) memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        }
        box->copyBackTo = OutputBuffer;
        box->copyBackLength = OutputBuffer ? OutputBufferLength : 0;
    } else {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    irp->RequestorMode = KernelMode;
    return irp;
}

static PIRP BuildFsd(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                     PLARGE_INTEGER StartingOffset, IrpKind kind) {
    if (AllocationFails()) return nullptr;
    IrpBox* box = NewIrp(DeviceObject->StackSize, kind);
    PIRP irp = box->irp;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        if (StartingOffset) next->Parameters.Read.ByteOffset = *StartingOffset;
        if (DeviceObject->Flags & DO_DIRECT_IO) {
            PMDL mdl = IoAllocateMdl(Buffer, Length, FALSE, FALSE, irp);
            if (mdl == nullptr) {
                box->state = IrpState::Freed;
                Release(box);
                return nullptr;
            }
            MmProbeAndLockPages(mdl, KernelMode, MajorFunction == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
        } else if (DeviceObject->Flags & DO_BUFFERED_IO) {
            irp->AssociatedIrp.SystemBuffer = std::calloc(1, Length ? Length : 1);
            box->ownsSystemBuffer = true;
            if (MajorFunction == IRP_MJ_WRITE) memcpy(irp->AssociatedIrp.SystemBuffer, Buffer, Length);
            else {
                box->copyBackTo = Buffer;
                box->copyBackLength = Length;
            }
        } else {
            irp->UserBuffer = Buffer;
        }
    }
    irp->RequestorMode = KernelMode;
    return irp;
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                  PLARGE_INTEGER StartingOffset, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = BuildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IrpKind::FsdSync);
    if (irp) {
        irp->UserEvent = Event;
        irp->UserIosb = IoStatusBlock;
    }
    return irp;
}

PIRP IoBuildAsynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer, ULONG Length,
                                   PLARGE_INTEGER StartingOffset, PIO_STATUS_BLOCK IoStatusBlock) {
    PIRP irp = BuildFsd(MajorFunction, DeviceObject, Buffer, Length, StartingOffset, IrpKind::FsdAsync);
    if (irp) irp->UserIosb = IoStatusBlock;
    return irp;
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN, PIRP Irp) {
    if (AllocationFails()) return nullptr;
    auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    mdl->Size = sizeof(MDL);
    mdl->StartVa = VirtualAddress;
    mdl->ByteCount = Length;
    mdl->ByteOffset = 0;
    if (Irp) {
        if (SecondaryBuffer && Irp->MdlAddress) {
            PMDL last = Irp->MdlAddress;
            while (last->Next) last = last->Next;
            last->Next = mdl;
        } else {
            Irp->MdlAddress = mdl;
        }
    }
    std::lock_guard<std::mutex> g(emu::io::detail::Reg().m);
    emu::io::detail::Reg().mdls.insert(mdl);
    return mdl;
}

void IoFreeMdl(PMDL Mdl) {
    {
        std::lock_guard<std::mutex> g(emu::io::detail::Reg().m);
        if (!emu::io::detail::Reg().mdls.erase(Mdl)) {
            char buf[64];
            snprintf(buf, sizeof buf, "IoFreeMdl of %p, which is not a live MDL", static_cast<void*>(Mdl));
            Raise(Fault::ObjectMisuse, buf);
            return;
        }
    }
    if (Mdl->MdlFlags & MDL_PAGES_LOCKED) {
        char buf[80];
        snprintf(buf, sizeof buf, "MDL %p freed with its pages still locked", static_cast<void*>(Mdl));
        Raise(Fault::ObjectMisuse, buf);
    }
    std::free(Mdl);
}

void MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE, LOCK_OPERATION) {
    MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
    MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
}

void MmUnlockPages(PMDL MemoryDescriptorList) {
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        Raise(Fault::ObjectMisuse, "MmUnlockPages of an MDL whose pages are not locked");
        return;
    }
    MemoryDescriptorList->MdlFlags &= ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA);
}

void MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL | MDL_MAPPED_TO_SYSTEM_VA;
    MemoryDescriptorList->MappedSystemVa = MemoryDescriptorList->StartVa;
}

void PoStartNextPowerIrp(PIRP) {}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }

POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE State) { return State; }

}  // extern "C"

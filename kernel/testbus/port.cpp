// A child device: the pipes and private requests of UsbPipeDriver in front of a UART with a
// loopback plug. Written bytes leave at the line's baud rate and come back as received bytes; a
// model thread moves them as their time comes, so a write is done only once its last byte is out.
#include "testbus.h"

namespace testbus {
namespace {

Child* gModelChildren[TESTBUS_PORT_COUNT];
KEVENT gWake;
KEVENT gStopped;
volatile LONG gStop;

Pipe PipeOf(PFILE_OBJECT file) {
    ULONG_PTR tag = file ? reinterpret_cast<ULONG_PTR>(file->FsContext) : 0;
    return tag >= 1 && tag <= PipeCount ? static_cast<Pipe>(tag - 1) : PipeCount;
}

// Requests finished under the lock are completed after it is released.
struct Finished {
    LIST_ENTRY list;
    Finished() { InitializeListHead(&list); }
    void Add(PIRP irp, NTSTATUS status, ULONG_PTR info) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = info;
        InsertTailList(&list, &irp->Tail.Overlay.ListEntry);
    }
    void CompleteAll() {
        while (!IsListEmpty(&list)) {
            PIRP irp = CONTAINING_RECORD(RemoveHeadList(&list), IRP, Tail.Overlay.ListEntry);
            IoCompleteRequest(irp, NT_SUCCESS(irp->IoStatus.Status) ? IO_SERIAL_INCREMENT : IO_NO_INCREMENT);
        }
    }
};

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR info = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

PIRP Head(Child* c, Pipe p) {
    return IsListEmpty(&c->pending[p]) ? NULL : CONTAINING_RECORD(c->pending[p].Flink, IRP, Tail.Overlay.ListEntry);
}

// Takes a waiting request out of the device; false when its cancel routine has it already.
bool ClaimLocked(PIRP irp) {
    if (!IoSetCancelRoutine(irp, NULL)) return false;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    return true;
}

// The head write leaves the line: the next one starts where it ended, or now if the line was idle.
void EndHeadWriteLocked(Child* c) {
    c->txStart = c->txStart + static_cast<LONGLONG>(c->txSent) * ByteTime(c->line);
    c->txSent = 0;
    c->txStarted = false;
}

void ServeReadsLocked(Child* c, Finished* done) {
    for (PIRP irp = Head(c, PipeRx); irp && c->rxCount; irp = Head(c, PipeRx)) {
        if (!ClaimLocked(irp)) return;  // being cancelled; the cancel routine takes it out
        ULONG room = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        auto* dst = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        if (!dst) {
            done->Add(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
            continue;
        }
        ULONG n = 0;
        for (; n < room && c->rxCount; ++n) {
            dst[n] = c->rx[c->rxHead];
            c->rxHead = (c->rxHead + 1) % kRxCapacity;
            --c->rxCount;
        }
        done->Add(irp, STATUS_SUCCESS, n);
    }
}

// Moves the bytes whose time has come from the head write onto the line (and through the plug
// into the receive FIFO), completes writes that are out and reads that have bytes. Returns
// whether a write is still on its way.
bool AdvanceLocked(Child* c, LONGLONG now, Finished* done) {
    for (PIRP irp = Head(c, PipeTx); irp; irp = Head(c, PipeTx)) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        ULONG len = sp->Parameters.DeviceIoControl.InputBufferLength;
        auto* src = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        if (!c->txStarted) {
            if (c->txStart < now) c->txStart = now;  // an idle line starts now
            c->txStarted = true;
        }
        LONGLONG elapsed = now - c->txStart;
        ULONGLONG due = elapsed > 0 ? static_cast<ULONGLONG>(elapsed / ByteTime(c->line)) : 0;
        if (due > len) due = len;
        while (c->txSent < due && c->rxCount < kRxCapacity) {
            c->rx[(c->rxHead + c->rxCount) % kRxCapacity] = src[c->txSent];
            ++c->rxCount;
            ++c->txSent;
        }
        if (c->txSent < len) break;
        if (!ClaimLocked(irp)) break;
        EndHeadWriteLocked(c);
        done->Add(irp, STATUS_SUCCESS, len);
    }
    ServeReadsLocked(c, done);
    return Head(c, PipeTx) != NULL;
}

void CancelWaiting(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* c = static_cast<Child*>(device->DeviceExtension);
    KIRQL irql;
    KeAcquireSpinLock(&c->lock, &irql);
    ULONG_PTR sent = 0;
    Finished done;
    if (irp == Head(c, PipeTx)) {
        AdvanceLocked(c, Now100ns(), &done);  // the bytes already due stay on the line
        sent = c->txSent;
        EndHeadWriteLocked(c);
    }
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&c->lock, irql);
    done.CompleteAll();
    CompleteNow(irp, STATUS_CANCELLED, sent);
}

// Queues a request in the device; false (request completed) when it was cancelled already.
bool WaitLocked(Child* c, Pipe p, PIRP irp) {
    IoMarkIrpPending(irp);
    InsertTailList(&c->pending[p], &irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, CancelWaiting);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL)) {
        RemoveEntryList(&irp->Tail.Overlay.ListEntry);
        return false;
    }
    return true;
}

// Ends every request of the pipe (or of the file object, for cleanup) with STATUS_CANCELLED.
void AbortLocked(Child* c, Pipe p, PFILE_OBJECT file, Finished* done) {
    LONGLONG now = Now100ns();
    if (p == PipeTx) {
        // What is due is on the line already, as with a UART's FIFO; a write that is out by now
        // completes as sent.
        AdvanceLocked(c, now, done);
    }
    PLIST_ENTRY e = c->pending[p].Flink;
    while (e != &c->pending[p]) {
        PIRP irp = CONTAINING_RECORD(e, IRP, Tail.Overlay.ListEntry);
        e = e->Flink;
        if (file && IoGetCurrentIrpStackLocation(irp)->FileObject != file) continue;
        bool head = irp == Head(c, PipeTx);
        if (!ClaimLocked(irp)) continue;
        ULONG_PTR sent = 0;
        if (head) {
            sent = c->txSent;
            EndHeadWriteLocked(c);
        }
        done->Add(irp, STATUS_CANCELLED, sent);
    }
}

void ModelThread(PVOID) {
    for (;;) {
        bool busy = false;
        LONGLONG now = Now100ns();
        for (Child* c : gModelChildren) {
            if (!c) continue;
            Finished done;
            KIRQL irql;
            KeAcquireSpinLock(&c->lock, &irql);
            busy |= AdvanceLocked(c, now, &done);
            KeReleaseSpinLock(&c->lock, irql);
            done.CompleteAll();
        }
        if (gStop) break;
        LARGE_INTEGER tick;
        tick.QuadPart = -10000;  // 1 ms while bytes are on the line
        KeWaitForSingleObject(&gWake, Executive, KernelMode, FALSE, busy ? &tick : NULL);
    }
    KeSetEvent(&gStopped, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

bool SameName(PCUNICODE_STRING name, const WCHAR* want) {
    ULONG n = 0;
    while (want[n]) ++n;
    if (name->Length != n * sizeof(WCHAR)) return false;
    for (ULONG i = 0; i < n; ++i) {
        WCHAR a = name->Buffer[i], b = want[i];
        if (a >= L'a' && a <= L'z') a = static_cast<WCHAR>(a - 32);
        if (a != b) return false;
    }
    return true;
}

NTSTATUS Command(Child* c, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG len = sp->Parameters.DeviceIoControl.InputBufferLength;
    auto* b = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    if (!b || len < 2 || len > 3) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    KIRQL irql;
    KeAcquireSpinLock(&c->lock, &irql);
    CommandResult r = DecodeCommand(kVariant, b, len, &c->line);
    // Opening or closing the port starts the receive side afresh: nothing of an earlier open
    // waits in the device for the next one.
    if (r == CommandResult::Ok && b[0] == 0x03) c->rxHead = c->rxCount = 0;
    NTSTATUS status = r == CommandResult::Ok ? STATUS_SUCCESS
                      : r == CommandResult::BadParameter ? STATUS_INVALID_PARAMETER : STATUS_INVALID_DEVICE_REQUEST;
    if (c->logCount < kCommandLogSize) {
        TESTBUS_COMMAND& rec = c->log[c->logCount++];
        rec.Length = static_cast<UCHAR>(len);
        for (ULONG i = 0; i < 3; ++i) rec.Bytes[i] = i < len ? b[i] : 0;
        rec.Status = status;
    }
    KeReleaseSpinLock(&c->lock, irql);
    return CompleteNow(irp, status, NT_SUCCESS(status) ? len : 0);
}

}  // namespace

LONGLONG Now100ns() {
    LARGE_INTEGER freq;
    LARGE_INTEGER count = KeQueryPerformanceCounter(&freq);
    return count.QuadPart / freq.QuadPart * 10000000LL + count.QuadPart % freq.QuadPart * 10000000LL / freq.QuadPart;
}

void InitChild(Child* c, PDEVICE_OBJECT pdo, ULONG index) {
    RtlZeroMemory(c, sizeof *c);
    c->common.kind = Kind::Child;
    c->index = index;
    c->pdo = pdo;
    KeInitializeSpinLock(&c->lock);
    for (auto& list : c->pending) InitializeListHead(&list);
    c->line = LineState();
    gModelChildren[index] = c;
}

NTSTATUS ChildCreateClose(Child* c, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    if (sp->MajorFunction == IRP_MJ_CLOSE) return CompleteNow(irp, STATUS_SUCCESS);
    static const WCHAR* const kNames[PipeCount] = {L"\\PIPE00", L"\\PIPE01", L"\\PIPE02"};
    PFILE_OBJECT file = sp->FileObject;
    if (!file) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    for (ULONG p = 0; p < PipeCount; ++p) {
        if (SameName(&file->FileName, kNames[p])) {
            file->FsContext = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(p + 1));
            return CompleteNow(irp, STATUS_SUCCESS);
        }
    }
    (void)c;
    return CompleteNow(irp, STATUS_OBJECT_NAME_NOT_FOUND);
}

NTSTATUS ChildCleanup(Child* c, PIRP irp) {
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    Finished done;
    KIRQL irql;
    KeAcquireSpinLock(&c->lock, &irql);
    for (ULONG p = 0; p < PipeCount; ++p) AbortLocked(c, static_cast<Pipe>(p), file, &done);
    KeReleaseSpinLock(&c->lock, irql);
    done.CompleteAll();
    return CompleteNow(irp, STATUS_SUCCESS);
}

NTSTATUS ChildRead(Child* c, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    Pipe p = PipeOf(sp->FileObject);
    if (p != PipeRx && p != PipeStatus) return CompleteNow(irp, STATUS_INVALID_HANDLE);
    if (!irp->MdlAddress || sp->Parameters.Read.Length == 0) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    if (p == PipeStatus) {
        auto* dst = static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
        if (!dst) return CompleteNow(irp, STATUS_INSUFFICIENT_RESOURCES);
        KIRQL irql;
        KeAcquireSpinLock(&c->lock, &irql);
        dst[0] = LoopbackStatus(c->line);
        KeReleaseSpinLock(&c->lock, irql);
        return CompleteNow(irp, STATUS_SUCCESS, 1);
    }
    Finished done;
    KIRQL irql;
    KeAcquireSpinLock(&c->lock, &irql);
    bool queued = WaitLocked(c, PipeRx, irp);
    if (queued) ServeReadsLocked(c, &done);
    KeReleaseSpinLock(&c->lock, irql);
    done.CompleteAll();
    if (!queued) CompleteNow(irp, STATUS_CANCELLED);
    return STATUS_PENDING;
}

NTSTATUS ChildDeviceControl(Child* c, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sp->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_DEVICE_COMMAND) return Command(c, irp);
    Pipe p = PipeOf(sp->FileObject);
    if (p == PipeCount) return CompleteNow(irp, STATUS_INVALID_HANDLE);
    switch (code) {
    case IOCTL_PIPE_RESET:
        return CompleteNow(irp, STATUS_SUCCESS);
    case IOCTL_PIPE_GET_INFO: {
        // Wine builds a kernel caller's buffered request without a system buffer for the output
        // and leaves the caller's own buffer in UserBuffer.
        void* out = irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
        if (!out || sp->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG))
            return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
        *static_cast<ULONG*>(out) = kPacketSize;
        return CompleteNow(irp, STATUS_SUCCESS, sizeof(ULONG));
    }
    case IOCTL_PIPE_ABORT: {
        Finished done;
        KIRQL irql;
        KeAcquireSpinLock(&c->lock, &irql);
        AbortLocked(c, p, NULL, &done);
        KeReleaseSpinLock(&c->lock, irql);
        done.CompleteAll();
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    case IOCTL_PIPE_WRITE: {
        if (p != PipeTx) return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
        if (sp->Parameters.DeviceIoControl.InputBufferLength == 0) return CompleteNow(irp, STATUS_SUCCESS);
        if (!irp->AssociatedIrp.SystemBuffer) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        KIRQL irql;
        KeAcquireSpinLock(&c->lock, &irql);
        bool queued = WaitLocked(c, PipeTx, irp);
        KeReleaseSpinLock(&c->lock, irql);
        if (!queued) CompleteNow(irp, STATUS_CANCELLED);
        WakeModel();
        return STATUS_PENDING;
    }
    default:
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

ULONG CopyCommandLog(Child* c, TESTBUS_COMMAND* out, ULONG room) {
    KIRQL irql;
    KeAcquireSpinLock(&c->lock, &irql);
    ULONG n = c->logCount < room ? c->logCount : room;
    for (ULONG i = 0; i < n; ++i) out[i] = c->log[i];
    KeReleaseSpinLock(&c->lock, irql);
    return n;
}

NTSTATUS StartModel() {
    KeInitializeEvent(&gWake, SynchronizationEvent, FALSE);
    KeInitializeEvent(&gStopped, NotificationEvent, FALSE);
    HANDLE thread;
    NTSTATUS status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, ModelThread, NULL);
    if (NT_SUCCESS(status)) ZwClose(thread);
    return status;
}

void StopModel() {
    InterlockedExchange(&gStop, 1);
    KeSetEvent(&gWake, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&gStopped, Executive, KernelMode, FALSE, NULL);
}

void WakeModel() { KeSetEvent(&gWake, IO_NO_INCREMENT, FALSE); }

}  // namespace testbus

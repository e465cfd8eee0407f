// Read requests under the serial read timeouts. One read is current, later ones wait in
// ReadQueue in arrival order. The cancel spin lock guards the current read, the queue and every
// decision to complete one of them; it is taken before the lock of RxBuffer. A read is handed
// over by clearing its cancel routine under that lock: whoever gets the routine back completes it.
#include "port.h"

static DRIVER_CANCEL ReadCancelRoutine;
static KDEFERRED_ROUTINE ReadTotalTimeoutRoutine;
static KDEFERRED_ROUTINE ReadIntervalTimeoutRoutine;

// Longest relative due time the timers take, in milliseconds.
#define MAX_TIMEOUT_MS (0x7FFFFFFFFFFFFFFFULL / 10000)

VOID InitReadPath(PortExtension* Port) {
    KeInitializeDpc(&Port->ReadTotalDpc, ReadTotalTimeoutRoutine, Port->DeviceObject);
    KeInitializeDpc(&Port->ReadIntervalDpc, ReadIntervalTimeoutRoutine, Port->DeviceObject);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS CompleteRead(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, Boost);
    return Status;
}

static ULONG ReadLength(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Read.Length;
}

static PIRP ReadFromEntry(PKDEVICE_QUEUE_ENTRY Entry) {
    return CONTAINING_RECORD(Entry, IRP, Tail.Overlay.DeviceQueueEntry);
}

// RingGet with the taking-bytes rule: a buffer drained to XonLimit lets the reader resume.
_IRQL_requires_max_(DISPATCH_LEVEL)
static ULONG64 TakeBytes(PortExtension* Port, PUCHAR Destination, ULONG64 Length) {
    ULONG64 taken = RingGet(Destination, &Port->RxBuffer, Length);
    if (RingCount(&Port->RxBuffer) <= (ULONG)LoadSetting(&Port->HandFlow.XonLimit)) {
        BOOLEAN hadRoom = LoadFlag(&Port->RxHasRoom);
        StoreFlag(&Port->RxHasRoom, TRUE);
        if (!hadRoom) {
            KickReader(Port);
        }
    }
    return taken;
}

static ULONG64 Milliseconds(ULONG64 Value) {
    return Value > MAX_TIMEOUT_MS ? MAX_TIMEOUT_MS : Value;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID ArmReadTimer(PKTIMER Timer, PKDPC Dpc, ULONG64 Ms) {
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)(Milliseconds(Ms) * 10000);
    KeSetTimer(Timer, due, Dpc);
}

// Cancel spin lock held for the timer helpers below.
_IRQL_requires_(DISPATCH_LEVEL)
static VOID CancelTotalTimerLocked(PortExtension* Port) {
    Port->ReadTotalTimerArmed = FALSE;
    KeCancelTimer(&Port->ReadTotalTimer);
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID CancelIntervalTimerLocked(PortExtension* Port) {
    Port->ReadIntervalTimerArmed = FALSE;
    KeCancelTimer(&Port->ReadIntervalTimer);
}

_IRQL_requires_(DISPATCH_LEVEL)
VOID StartReadTotalTimer(PDEVICE_OBJECT DeviceObject) {
    PortExtension* port = GetPortExtension(DeviceObject);
    PIRP irp = port->CurrentReadIrp;
    LONG mode = LoadLong(&port->ReadTimeoutMode);
    if (!irp) {
        return;
    }
    // Unsigned 64-bit: a large multiplier or constant is a long time-out, not an expired one.
    ULONG64 ms = 0;
    if (mode == ReadModeFirstByte) {
        ms = LoadSetting(&port->Timeouts.ReadTotalTimeoutConstant);
    } else if (mode != ReadModeNoTimeouts) {
        ms = (ULONG64)ReadLength(irp) * LoadSetting(&port->Timeouts.ReadTotalTimeoutMultiplier) +
             LoadSetting(&port->Timeouts.ReadTotalTimeoutConstant);
    }
    if (ms == 0) {
        // Timeouts changed to none: the read runs on without the old timer.
        CancelTotalTimerLocked(port);
        return;
    }
    port->ReadTotalTimerArmed = TRUE;
    ArmReadTimer(&port->ReadTotalTimer, &port->ReadTotalDpc, ms);
}

// Cancel spin lock held: the next waiting read becomes current with its own total timer, or
// the queue goes idle. Returns the new current read, if any (the caller serves it).
_IRQL_requires_(DISPATCH_LEVEL)
static PIRP MakeNextReadCurrentLocked(PortExtension* Port) {
    PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Port->ReadQueue);
    CancelIntervalTimerLocked(Port);
    if (!entry) {
        CancelTotalTimerLocked(Port);
        Port->CurrentReadIrp = NULL;
        return NULL;
    }
    Port->CurrentReadIrp = ReadFromEntry(entry);
    StartReadTotalTimer(Port->DeviceObject);
    return Port->CurrentReadIrp;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ServeCurrentRead(PortExtension* Port) {
    NTSTATUS result = STATUS_CANCELLED;
    BOOLEAN first = TRUE;
    // Each completion makes the next read current; serve it in turn rather than recursing.
    for (;;) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        PIRP irp = Port->CurrentReadIrp;
        // A read being cancelled takes no bytes: they would be lost with it.
        if (!irp || irp->Cancel) {
            IoReleaseCancelSpinLock(irql);
            return first ? STATUS_CANCELLED : result;
        }

        PUCHAR buffer = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        NTSTATUS status = STATUS_SUCCESS;
        CCHAR boost = IO_SERIAL_INCREMENT;
        if (!buffer) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            boost = IO_NO_INCREMENT;
            irp->IoStatus.Information = 0;
        } else {
            ULONG length = ReadLength(irp);
            ULONG64 want = length - irp->IoStatus.Information;
            ULONG64 taken = 0;
            if (want > 0 && RingCount(&Port->RxBuffer) != 0) {
                taken = TakeBytes(Port, buffer + irp->IoStatus.Information, want);
                irp->IoStatus.Information += (ULONG_PTR)taken;
                ULONG interval = LoadSetting(&Port->Timeouts.ReadIntervalTimeout);
                if (taken > 0 && interval != 0 && interval != MAXULONG) {
                    Port->ReadIntervalTimerArmed = TRUE;
                    ArmReadTimer(&Port->ReadIntervalTimer, &Port->ReadIntervalDpc, interval);
                }
            }
            LONG mode = LoadLong(&Port->ReadTimeoutMode);
            BOOLEAN done = irp->IoStatus.Information == length || mode == ReadModeImmediate ||
                           (mode == ReadModeFirstByte && taken > 0);
            if (!done) {
                IoReleaseCancelSpinLock(irql);
                return first ? STATUS_SUCCESS : result;
            }
        }

        if (IoSetCancelRoutine(irp, NULL) == NULL) {
            // Its cancel routine is already on the way and completes it.
            IoReleaseCancelSpinLock(irql);
            return first ? status : result;
        }
        MakeNextReadCurrentLocked(Port);
        IoReleaseCancelSpinLock(irql);
        CompleteRead(irp, status, irp->IoStatus.Information, boost);
        if (first) {
            result = status;
            first = FALSE;
        }
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS QueueRead(PortExtension* Port, PIRP Irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (Irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return CompleteRead(Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    }
    if (PortGone(Port)) {
        IoReleaseCancelSpinLock(irql);
        return CompleteRead(Irp, STATUS_DELETE_PENDING, 0, IO_NO_INCREMENT);
    }
    // Tested again under the lock that the cleanup's cancellation of the reads takes.
    if (!PortIsOpen(Port)) {
        IoReleaseCancelSpinLock(irql);
        return CompleteRead(Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    }
    IoMarkIrpPending(Irp);
    IoSetCancelRoutine(Irp, ReadCancelRoutine);
    if (KeInsertDeviceQueue(&Port->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry)) {
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }
    Port->CurrentReadIrp = Irp;
    StartReadTotalTimer(Port->DeviceObject);
    CancelIntervalTimerLocked(Port);
    IoReleaseCancelSpinLock(irql);
    ServeCurrentRead(Port);
    return STATUS_PENDING;
}

NTSTATUS DispatchRead(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    StartReader(port);

    Irp->IoStatus.Information = 0;
    PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    ULONG length = ReadLength(Irp);
    if (!buffer || length == 0) {
        return CompleteRead(Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    BOOLEAN busy = port->ReadQueue.Busy;
    IoReleaseCancelSpinLock(irql);
    if (busy) {
        return QueueRead(port, Irp);
    }

    ULONG64 held = RingCount(&port->RxBuffer);
    LONG mode = LoadLong(&port->ReadTimeoutMode);
    if (held < length && mode != ReadModeImmediate && !(mode == ReadModeFirstByte && held > 0)) {
        return QueueRead(port, Irp);
    }
    // No read is current, so there are no read timers to stop.
    ULONG64 taken = TakeBytes(port, buffer, length);
    return CompleteRead(Irp, STATUS_SUCCESS, (ULONG_PTR)taken, IO_SERIAL_INCREMENT);
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID ReadCancelRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    PIRP next = NULL;
    if (Irp == port->CurrentReadIrp) {
        next = MakeNextReadCurrentLocked(port);
    } else {
        KeRemoveEntryDeviceQueue(&port->ReadQueue, &Irp->Tail.Overlay.DeviceQueueEntry);
    }
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    CompleteRead(Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    if (next) {
        ServeCurrentRead(port);
    }
}

// Both timers end the current read with STATUS_TIMEOUT and what it has so far. A DPC whose
// timer was cancelled or re-armed after it fired belongs to an earlier arming and does nothing.
_IRQL_requires_(DISPATCH_LEVEL)
static VOID ReadTimedOut(PortExtension* Port, PKTIMER Timer, BOOLEAN* Armed) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP irp = Port->CurrentReadIrp;
    if (!*Armed || !KeReadStateTimer(Timer) || !irp) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    *Armed = FALSE;
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
        // Being cancelled: its cancel routine completes it.
        IoReleaseCancelSpinLock(irql);
        return;
    }
    PIRP next = MakeNextReadCurrentLocked(Port);
    IoReleaseCancelSpinLock(irql);
    CompleteRead(irp, STATUS_TIMEOUT, irp->IoStatus.Information, IO_NO_INCREMENT);
    if (next) {
        ServeCurrentRead(Port);
    }
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID ReadTotalTimeoutRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension* port = GetPortExtension((PDEVICE_OBJECT)DeferredContext);
    ReadTimedOut(port, &port->ReadTotalTimer, &port->ReadTotalTimerArmed);
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID ReadIntervalTimeoutRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                       PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension* port = GetPortExtension((PDEVICE_OBJECT)DeferredContext);
    ReadTimedOut(port, &port->ReadIntervalTimer, &port->ReadIntervalTimerArmed);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CancelReads(PortExtension* Port) {
    // Reads claimed under the lock, completed after it, linked through their list entry.
    LIST_ENTRY claimed;
    InitializeListHead(&claimed);

    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    PIRP current = Port->CurrentReadIrp;
    Port->CurrentReadIrp = NULL;
    if (current && IoSetCancelRoutine(current, NULL) != NULL) {
        InsertTailList(&claimed, &current->Tail.Overlay.ListEntry);
    }
    if (Port->ReadQueue.Busy) {
        while (PKDEVICE_QUEUE_ENTRY entry = KeRemoveDeviceQueue(&Port->ReadQueue)) {
            PIRP irp = ReadFromEntry(entry);
            // One whose cancellation has begun is completed by its cancel routine.
            if (IoSetCancelRoutine(irp, NULL) != NULL) {
                InsertTailList(&claimed, &irp->Tail.Overlay.ListEntry);
            }
        }
    }
    CancelIntervalTimerLocked(Port);
    CancelTotalTimerLocked(Port);
    IoReleaseCancelSpinLock(irql);

    while (!IsListEmpty(&claimed)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&claimed), IRP, Tail.Overlay.ListEntry);
        CompleteRead(irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    }
}

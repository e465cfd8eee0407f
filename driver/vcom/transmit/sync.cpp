// Synchronous transmit: each write request is itself handed down to TxPipe, one at a time, and
// the stop and resume of the transmit side shared by both modes.
#include "transmit.h"

// WriteState: who holds the current write.
constexpr LONG WRITE_AT_LOWER = 1;          // with UsbPipeDriver
constexpr LONG WRITE_RETURNED = 2;          // the completion routine has taken it over
constexpr LONG WRITE_CLAIMED = 3;           // a canceller claimed it and is about to cancel it
constexpr LONG WRITE_CANCEL_REQUESTED = 4;  // the canceller left it to the completion routine

// CancelClaim: which canceller claimed the current write. The claimer decides the status when
// the lower driver reports the cancellation: a timeout is STATUS_TIMEOUT, a stop (close, purge,
// power-down, removal) stays STATUS_CANCELLED.
constexpr LONG CLAIM_NONE = 0;
constexpr LONG CLAIM_TIMEOUT = 3;
constexpr LONG CLAIM_STOP = 5;

static DRIVER_CANCEL SyncQueuedWriteCancel;
static IO_COMPLETION_ROUTINE SyncWriteComplete;
static KDEFERRED_ROUTINE SyncWriteTimeout;
static VOID SyncStartNextWrite(PortExtension* Port);

// Under WriteQueueLock, with the write's cancel routine taken back.
_IRQL_requires_(DISPATCH_LEVEL)
_Requires_lock_held_(Port->WriteQueueLock)
static VOID MakeCurrentWrite(PortExtension* Port, PIRP Irp) {
    Port->CurrentWriteIrp = Irp;
    Port->BytesWritten = 0;
    Port->WriteSequence++;
    InterlockedExchange(&Port->WriteState, WRITE_AT_LOWER);
    InterlockedExchange(&Port->CancelClaim, CLAIM_NONE);
    // Cleared here rather than at hand-down so that a stop that sees this write also waits
    // for it.
    KeClearEvent(&Port->TxIdleEvent);
}

// At DISPATCH_LEVEL, the write current and its cancel routine gone.
_IRQL_requires_(DISPATCH_LEVEL)
static VOID SyncSendWrite(PortExtension* Port, PIRP Irp) {
    ULONG length = WriteLength(Irp);
    SetPipeWrite(Port, Irp, length);

    LONGLONG due = WriteTotalDue(Port, length);
    if (due != 0) {
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = due;
        // Under the lock so that SyncWriteTimeout sees the arming and its sequence together.
        KeAcquireSpinLockAtDpcLevel(&Port->WriteQueueLock);
        KeSetTimer(&Port->WriteTotalTimer, dueTime, &Port->WriteTotalDpc);
        Port->WriteTimerSequence = Port->WriteSequence;
        KeReleaseSpinLockFromDpcLevel(&Port->WriteQueueLock);
    }

    IoSetCompletionRoutine(Irp, SyncWriteComplete, Port, TRUE, TRUE, TRUE);
    PassTransmitDown(Port, Irp);
}

// The current write has been taken over by whoever calls this: count it out, complete it and
// move the queue on.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID FinishCurrentWrite(PortExtension* Port, PIRP Irp, NTSTATUS Status, ULONG_PTR Information,
                               CCHAR Boost) {
    AddAmountInOutQueue(Port, -(LONG)WriteLength(Irp));
    CompleteWrite(Irp, Status, Information, Boost);
    SyncStartNextWrite(Port);
}

// The write is counted and marked pending.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID SyncStartOrQueueWrite(PortExtension* Port, PIRP Irp) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);

    if (IsTxStopped(Port)) {
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        AddAmountInOutQueue(Port, -(LONG)WriteLength(Irp));
        CompleteWrite(Irp, PortIsOpen(Port) ? STATUS_SUCCESS : STATUS_CANCELLED, 0, IO_NO_INCREMENT);
        return;
    }

    IoSetCancelRoutine(Irp, SyncQueuedWriteCancel);
    if (ReadBooleanNoFence(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        AddAmountInOutQueue(Port, -(LONG)WriteLength(Irp));
        CompleteWrite(Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
        return;
    }
    // If the routine was already gone, the platform is calling it: the write goes on below and
    // the routine, waiting for the lock, unlinks and completes it.

    if (Port->CurrentWriteIrp == NULL && IsListEmpty(&Port->WriteQueue)) {
        if (IoSetCancelRoutine(Irp, NULL) != NULL) {
            MakeCurrentWrite(Port, Irp);
            KeReleaseSpinLockFromDpcLevel(&Port->WriteQueueLock);
            SyncSendWrite(Port, Irp);
            KeLowerIrql(irql);
        } else {
            InitializeListHead(&Irp->Tail.Overlay.ListEntry);
            KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        }
        return;
    }

    InsertTailList(&Port->WriteQueue, &Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS SyncWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    if (PortGone(port)) {
        return CompleteWrite(Irp, STATUS_DELETE_PENDING, 0, IO_NO_INCREMENT);
    }
    ULONG length = WriteLength(Irp);
    if (length == 0 || Irp->AssociatedIrp.SystemBuffer == NULL) {
        return CompleteWrite(Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }
    AddAmountInOutQueue(port, (LONG)length);
    Irp->IoStatus.Information = 0;
    IoMarkIrpPending(Irp);
    SyncStartOrQueueWrite(port, Irp);
    return STATUS_PENDING;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS SyncWriteComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PortExtension* port = (PortExtension*)Context;
    ULONG_PTR sent = Irp->IoStatus.Information;
    NTSTATUS status = Irp->IoStatus.Status;
    port->BytesWritten += sent;
    // Counted as the asynchronous path counts, so the statistics mean the same in both modes.
    InterlockedAdd((volatile LONG*)&port->PerfStats.TransmittedCount, (LONG)sent);

    // A transfer of whole packets is ended by a zero-length one, so the device sees the end of
    // the data. Only a successful one: the write keeps a failure. The total timer keeps running
    // across it.
    ULONG packet = port->TxPipe.TxMaxPacketSize;
    if (NT_SUCCESS(status) && port->PowerState == PowerStateOn && port->TxAllowNullPacket != 0 && sent != 0 &&
        packet != 0 && sent % packet == 0) {
        SetPipeWrite(port, Irp, 0);
        IoSetCompletionRoutine(Irp, SyncWriteComplete, port, TRUE, TRUE, TRUE);
        KeClearEvent(&port->TxIdleEvent);
        PassTransmitDown(port, Irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    KeCancelTimer(&port->WriteTotalTimer);
    LONG previous = InterlockedExchange(&port->WriteState, WRITE_RETURNED);
    if (previous == WRITE_CLAIMED) {
        return STATUS_MORE_PROCESSING_REQUIRED;  // the claimer finishes it
    }
    CCHAR boost = IO_SERIAL_INCREMENT;
    if (previous == WRITE_CANCEL_REQUESTED && status == STATUS_CANCELLED) {
        if (InterlockedCompareExchange(&port->CancelClaim, CLAIM_NONE, CLAIM_NONE) == CLAIM_TIMEOUT) {
            status = STATUS_TIMEOUT;
        } else {
            boost = IO_NO_INCREMENT;
        }
    } else if (status == STATUS_CANCELLED) {
        boost = IO_NO_INCREMENT;
    }
    FinishCurrentWrite(port, Irp, status, (ULONG_PTR)port->BytesWritten, boost);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID SyncStartNextWrite(PortExtension* Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    Port->CurrentWriteIrp = NULL;
    PIRP next = NULL;
    while (!IsListEmpty(&Port->WriteQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Port->WriteQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            MakeCurrentWrite(Port, irp);
            next = irp;
            break;
        }
        // Being cancelled: its routine unlinks this harmless self-link and completes it.
        InitializeListHead(entry);
    }
    if (next == NULL) {
        // Signalled under the lock: a write made current after it is released clears it again.
        KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLockFromDpcLevel(&Port->WriteQueueLock);
    if (next != NULL) {
        SyncSendWrite(Port, next);
        KeLowerIrql(irql);
        return;
    }
    KeLowerIrql(irql);
    PostTxEmpty(Port);
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID SyncQueuedWriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PortExtension* port = GetPortExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&port->WriteQueueLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&port->WriteQueueLock, irql);
    AddAmountInOutQueue(port, -(LONG)WriteLength(Irp));
    CompleteWrite(Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
}

// The claim has been made under WriteQueueLock: request the cancellation at the lower driver
// and finish the write here if its completion routine has already left it to us. The write
// reports what the lower driver moved, neither less (the caller would send it twice) nor more.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID CancelClaimedWrite(PortExtension* Port, PIRP Irp, NTSTATUS Status) {
    IoCancelIrp(Irp);
    if (InterlockedExchange(&Port->WriteState, WRITE_CANCEL_REQUESTED) == WRITE_RETURNED) {
        FinishCurrentWrite(Port, Irp, Status, (ULONG_PTR)Port->BytesWritten,
                           Status == STATUS_TIMEOUT ? IO_SERIAL_INCREMENT : IO_NO_INCREMENT);
    }
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID SyncWriteTimeout(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension* port = (PortExtension*)Context;
    if (port == NULL) {
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&port->WriteQueueLock);
    PIRP irp = TimedOutWriteLocked(port);
    BOOLEAN claimed = irp != NULL && InterlockedCompareExchange(&port->CancelClaim, CLAIM_TIMEOUT, CLAIM_NONE) == CLAIM_NONE &&
                      InterlockedCompareExchange(&port->WriteState, WRITE_CLAIMED, WRITE_AT_LOWER) == WRITE_AT_LOWER;
    KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
    if (claimed) {
        CancelClaimedWrite(port, irp, STATUS_TIMEOUT);
    }
}

// Moves every waiting write whose cancel routine can still be taken back to List.
_IRQL_requires_(DISPATCH_LEVEL)
_Requires_lock_held_(Port->WriteQueueLock)
static VOID TakeWaitingWrites(PortExtension* Port, PLIST_ENTRY List) {
    while (!IsListEmpty(&Port->WriteQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Port->WriteQueue);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            InsertTailList(List, entry);
        } else {
            InitializeListHead(entry);
        }
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID CancelWriteList(PortExtension* Port, PLIST_ENTRY List) {
    while (!IsListEmpty(List)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(List), IRP, Tail.Overlay.ListEntry);
        AddAmountInOutQueue(Port, -(LONG)WriteLength(irp));
        CompleteWrite(irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CancelAllWrites(PortExtension* Port) {
    LIST_ENTRY waiting;
    InitializeListHead(&waiting);
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    TakeWaitingWrites(Port, &waiting);

    PIRP current = NULL;
    BOOLEAN claimed = FALSE;
    if (Port->TxAsync != 0) {
        current = AsyncTakeCurrentWrite(Port);
    } else {
        current = Port->CurrentWriteIrp;
        claimed = current != NULL &&
                  InterlockedCompareExchange(&Port->CancelClaim, CLAIM_STOP, CLAIM_NONE) == CLAIM_NONE &&
                  InterlockedCompareExchange(&Port->WriteState, WRITE_CLAIMED, WRITE_AT_LOWER) == WRITE_AT_LOWER;
    }
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);

    // The waiting writes go first, so that the current write's end finds nothing counted.
    CancelWriteList(Port, &waiting);
    if (Port->TxAsync != 0) {
        if (current != NULL) {
            AsyncCancelTakenWrite(Port, current);
        }
    } else if (claimed) {
        CancelClaimedWrite(Port, current, STATUS_CANCELLED);
    }
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StopTransmit(PortExtension* Port) {
    PAGED_CODE();
    WriteBooleanNoFence(&Port->TxStopped, TRUE);
    CancelAllWrites(Port);
    // A closed pipe has nothing outstanding, and the lower driver knows no such file.
    BOOLEAN pipeOpen = LoadFlag(&Port->PipesOpen);
    if (pipeOpen) {
        AbortPipe(Port, &Port->TxPipe.TxPipeFile);
    }
    WriteBooleanNoFence(&Port->TxStopped, TRUE);
    if (Port->TxAsync != 0) {
        // With TxStopped set, StartTransfer signals the event itself unless a transfer is in
        // flight, whose completion does.
        KeClearEvent(&Port->TxIdleEvent);
        KeCancelTimer(&Port->TxKickTimer);
        StartTransfer(Port);
    }
    KeWaitForSingleObject(&Port->TxIdleEvent, Executive, KernelMode, FALSE, NULL);
    // Nothing is outstanding now; a timer armed on the way here must not run on a port that
    // may be torn down next.
    KeCancelTimer(&Port->WriteTotalTimer);
    KeRemoveQueueDpc(&Port->WriteTotalDpc);
    if (Port->TxAsync != 0) {
        KeCancelTimer(&Port->TxKickTimer);
        KeRemoveQueueDpc(&Port->TxKickDpc);
    }
    return pipeOpen ? ResetPipe(Port, &Port->TxPipe.TxPipeFile) : STATUS_SUCCESS;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ResumeTransmit(PortExtension* Port) {
    WriteBooleanNoFence(&Port->TxStopped, FALSE);
    // Bytes a stop left in TxBuffer (an abort without a clear) have completed writes behind
    // them: they go now, not only when the next write comes.
    if (Port->TxAsync && TxBufferCount(Port) != 0) {
        StartTransfer(Port);
    }
}

VOID InitSyncTransmit(PortExtension* Port) {
    KeInitializeTimer(&Port->WriteTotalTimer);
    KeInitializeDpc(&Port->WriteTotalDpc, SyncWriteTimeout, Port);
    KeInitializeSpinLock(&Port->WriteQueueLock);
    InitializeListHead(&Port->WriteQueue);
    Port->CurrentWriteIrp = NULL;
    Port->WriteState = 0;
    Port->CancelClaim = CLAIM_NONE;
    Port->BytesWritten = 0;
    Port->WriteSequence = 0;
    Port->WriteTimerSequence = 0;
}

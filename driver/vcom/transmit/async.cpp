// Asynchronous transmit: writes complete once their bytes are in TxBuffer, which transfers of
// the port's own carry to TxPipe in the background, one at a time.
#include "transmit.h"

static DRIVER_CANCEL AsyncWriteCancel;
static IO_COMPLETION_ROUTINE TransferComplete;
static KDEFERRED_ROUTINE AsyncWriteTimeout;
static VOID AsyncStartNextWrite(PortExtension* Port);

// Under WriteQueueLock. The timeout is measured from the moment the write became current.
_IRQL_requires_(DISPATCH_LEVEL)
_Requires_lock_held_(Port->WriteQueueLock)
static VOID StartWriteTotalTimer(PortExtension* Port) {
    PIRP irp = Port->CurrentWriteIrp;
    if (irp == NULL) {
        return;
    }
    LONGLONG due = WriteTotalDue(Port, WriteLength(irp));
    if (due != 0) {
        LARGE_INTEGER dueTime;
        dueTime.QuadPart = due;
        KeSetTimer(&Port->WriteTotalTimer, dueTime, &Port->WriteTotalDpc);
        Port->WriteTimerSequence = Port->WriteSequence;
    }
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID StopWriteTotalTimer(PortExtension* Port) {
    KeCancelTimer(&Port->WriteTotalTimer);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID ArmTxKick(PortExtension* Port) {
    LARGE_INTEGER due;
    due.QuadPart = Port->TxKickDelay;
    KeSetTimer(&Port->TxKickTimer, due, &Port->TxKickDpc);
}

// Gives up the transmitter without a transfer in flight. A stop waiting for the transmitter
// may have found it busy: it is woken here.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID ReleaseTransmitter(PortExtension* Port) {
    InterlockedExchange(&Port->TxBusy, 0);
    if (PortGone(Port) || IsTxStopped(Port)) {
        KeSetEvent(&Port->TxIdleEvent, IO_NO_INCREMENT, FALSE);
    }
}

// Builds a fresh transfer request of Length bytes (from TxStagingBuffer, none for 0) and passes
// it down. The request is the port's: TransferComplete frees it.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID SendTransferRequest(PortExtension* Port, PIRP Irp, ULONG Length) {
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION own = IoGetCurrentIrpStackLocation(Irp);
    own->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    own->Parameters.DeviceIoControl.InputBufferLength = Length;
    own->Parameters.DeviceIoControl.OutputBufferLength = 0;
    own->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_WRITE;
    own->DeviceObject = Port->DeviceObject;
    Port->TxTransferLength = Length;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->Control = 0;
    next->FileObject = &Port->TxPipe.TxPipeFile;
    Irp->AssociatedIrp.SystemBuffer = Length != 0 ? Port->TxStagingBuffer : NULL;
    IoSetCompletionRoutine(Irp, TransferComplete, Port, TRUE, TRUE, TRUE);
    PassTransmitDown(Port, Irp);
}

// The caller owns the transmitter. The rest a power-down cut from the last transfer goes before
// anything in TxBuffer; it is already in place in TxStagingBuffer.
_IRQL_requires_max_(DISPATCH_LEVEL)
static ULONG TakeUnsent(PortExtension* Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->TxBuffer.Lock, &irql);
    ULONG unsent = Port->TxUnsent;
    Port->TxUnsent = 0;
    KeReleaseSpinLock(&Port->TxBuffer.Lock, irql);
    return unsent;
}

// The caller owns the transmitter. A power-down aborted the transfer: its bytes come from
// writes already completed, so what the lower driver did not move is kept to go first at the
// power-up. A purge's abort drops it, and a transfer the device failed is not repeated.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID KeepUnsent(PortExtension* Port, ULONG_PTR Sent) {
    ULONG length = Port->TxTransferLength;
    if (Sent >= length || PortGone(Port) || !IsTxStopped(Port) || LoadLong(&Port->PowerState) != PowerStateOff) {
        return;
    }
    ULONG rest = length - (ULONG)Sent;
    RtlMoveMemory(Port->TxStagingBuffer, Port->TxStagingBuffer + Sent, rest);
    KIRQL irql;
    KeAcquireSpinLock(&Port->TxBuffer.Lock, &irql);
    Port->TxUnsent = rest;
    KeReleaseSpinLock(&Port->TxBuffer.Lock, irql);
}

// The caller owns the transmitter (TxBusy 1); it is kept by a transfer sent, else released.
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS StartTransferOwned(PortExtension* Port) {
    for (;;) {
        if (PortGone(Port)) {
            ReleaseTransmitter(Port);
            return STATUS_DELETE_PENDING;
        }
        if (IsTxStopped(Port)) {
            ReleaseTransmitter(Port);
            return STATUS_UNSUCCESSFUL;
        }
        if (TxBufferCount(Port) != 0) {
            // Allocated before any byte leaves TxBuffer: those bytes belong to writes that have
            // already completed, so on failure they stay and the kick timer tries again.
            PIRP irp = IoAllocateIrp(Port->DeviceObject->StackSize, FALSE);
            if (irp == NULL) {
                ArmTxKick(Port);
                ReleaseTransmitter(Port);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            ULONG64 taken = TakeUnsent(Port);
            if (taken == 0) {
                taken = RingGet(Port->TxStagingBuffer, &Port->TxBuffer, TX_STAGING_SIZE);
            }
            if (taken != 0) {
                SendTransferRequest(Port, irp, (ULONG)taken);
                return STATUS_SUCCESS;
            }
            IoFreeIrp(irp);  // emptied meanwhile by a purge
        }
        ReleaseTransmitter(Port);
        // A write that stored bytes while we held the transmitter found it busy and left them
        // to us: take them up unless someone else has the transmitter by now.
        if (TxBufferCount(Port) == 0 || InterlockedExchange(&Port->TxBusy, 1) != 0) {
            return STATUS_SUCCESS;
        }
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS StartTransfer(PortExtension* Port) {
    if (InterlockedExchange(&Port->TxBusy, 1) != 0) {
        return STATUS_SUCCESS;  // the transfer in flight carries on when it completes
    }
    return StartTransferOwned(Port);
}

// A zero-length transfer; the caller owns the transmitter.
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS SendNullPacket(PortExtension* Port) {
    if (PortGone(Port)) {
        ReleaseTransmitter(Port);
        return STATUS_DELETE_PENDING;
    }
    if (IsTxStopped(Port)) {
        ReleaseTransmitter(Port);
        return STATUS_UNSUCCESSFUL;
    }
    PIRP irp = IoAllocateIrp(Port->DeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        // The zero-length transfer is dropped; bytes stored meanwhile still go.
        StartTransferOwned(Port);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeClearEvent(&Port->TxIdleEvent);
    SendTransferRequest(Port, irp, 0);
    return STATUS_SUCCESS;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS TransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PortExtension* port = (PortExtension*)Context;
    ULONG_PTR sent = Irp->IoStatus.Information;
    NTSTATUS status = Irp->IoStatus.Status;
    InterlockedAdd((volatile LONG*)&port->PerfStats.TransmittedCount, (LONG)sent);
    while (PMDL mdl = Irp->MdlAddress) {
        Irp->MdlAddress = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
            MmUnlockPages(mdl);
        }
        IoFreeMdl(mdl);
    }
    IoFreeIrp(Irp);
    // The transmitter stays ours until what follows is decided, so a stop cannot slip between
    // this completion and the next step.
    KeepUnsent(port, sent);

    KIRQL irql;
    KeAcquireSpinLock(&port->WriteQueueLock, &irql);
    PIRP current = port->CurrentWriteIrp;
    if (current != NULL && !ReadBooleanNoFence(&current->Cancel)) {
        ULONG length = WriteLength(current);
        ULONG64 stored = RingPut(&port->TxBuffer, port->WriteSource, length - port->WriteCopied);
        port->WriteSource += stored;
        port->WriteCopied += stored;
        if (port->WriteCopied == length && IoSetCancelRoutine(current, NULL) != NULL) {
            port->CurrentWriteIrp = NULL;
            port->WriteSource = NULL;
            // Under the lock: a write made current once it is released arms its own timer.
            StopWriteTotalTimer(port);
            KeReleaseSpinLock(&port->WriteQueueLock, irql);
            AddAmountInOutQueue(port, -(LONG)length);
            CompleteWrite(current, STATUS_SUCCESS, length, IO_SERIAL_INCREMENT);
            AsyncStartNextWrite(port);
            KeAcquireSpinLock(&port->WriteQueueLock, &irql);
        }
        // Else, being cancelled: its cancel routine finishes it.
    }
    KeReleaseSpinLock(&port->WriteQueueLock, irql);
    KeCancelTimer(&port->TxKickTimer);

    if (PortGone(port) || IsTxStopped(port)) {
        ReleaseTransmitter(port);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    ULONG64 count = TxBufferCount(port);
    ULONG threshold = port->TxKickThreshold != 0 ? port->TxKickThreshold : 1;
    ULONG packet = port->TxPipe.TxMaxPacketSize;
    if (count >= threshold) {
        StartTransferOwned(port);  // arms the kick timer itself if it cannot allocate
    } else if (count > 0) {
        // Let small writes collect for a while.
        ArmTxKick(port);
        ReleaseTransmitter(port);
    } else if (NT_SUCCESS(status) && port->TxAllowNullPacket != 0 && sent != 0 && packet != 0 &&
               sent % packet == 0) {
        SendNullPacket(port);
    } else {
        // Nothing to send unless a write stored bytes after the count was read.
        StartTransferOwned(port);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_IRQL_requires_(DISPATCH_LEVEL)
VOID TxKickRoutine(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension* port = (PortExtension*)Context;
    if (port != NULL && !PortGone(port)) {
        StartTransfer(port);
    }
}

// After the current write has ended in any way: takes up the waiting writes in order,
// completing each that fits whole, until one does not fit or none is left.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID AsyncStartNextWrite(PortExtension* Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
    // A write that arrived while the lock was free, after the last current write ended and
    // before this pass began, may already be current: it keeps its place and runs the next
    // pass when it ends.
    while (Port->CurrentWriteIrp == NULL && !IsListEmpty(&Port->WriteQueue)) {
        PLIST_ENTRY entry = RemoveHeadList(&Port->WriteQueue);
        InitializeListHead(entry);
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        ULONG length = WriteLength(irp);
        PUCHAR source = (PUCHAR)irp->AssociatedIrp.SystemBuffer;
        Port->CurrentWriteIrp = irp;
        Port->WriteSequence++;
        ULONG64 stored = RingPut(&Port->TxBuffer, source, length);
        if (stored < length) {
            // Stays current; TransferComplete copies the rest as room frees.
            Port->WriteCopied = stored;
            Port->WriteSource = source + stored;
            StartWriteTotalTimer(Port);
            KeReleaseSpinLock(&Port->WriteQueueLock, irql);
            return;
        }
        Port->WriteCopied = stored;
        Port->WriteSource = NULL;
        if (IoSetCancelRoutine(irp, NULL) != NULL) {
            Port->CurrentWriteIrp = NULL;
            KeReleaseSpinLock(&Port->WriteQueueLock, irql);
            AddAmountInOutQueue(Port, -(LONG)length);
            CompleteWrite(irp, STATUS_SUCCESS, length, IO_SERIAL_INCREMENT);
            KeAcquireSpinLock(&Port->WriteQueueLock, &irql);
        }
        // Else being cancelled: it stays current and its cancel routine runs the next pass.
    }
    BOOLEAN empty = Port->CurrentWriteIrp == NULL && IsListEmpty(&Port->WriteQueue);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
    // Every accepted write is in TxBuffer now.
    if (empty) {
        PostTxEmpty(Port);
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS AsyncStartOrQueueWrite(PortExtension* Port, PIRP Irp) {
    ULONG length = WriteLength(Irp);
    PUCHAR source = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    KeAcquireSpinLock(&Port->WriteQueueLock, &irql);

    // Tested again under the lock: a stop that began after AsyncWrite looked has already
    // emptied the queue and would leave this write behind.
    if (IsTxStopped(Port)) {
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        AddAmountInOutQueue(Port, -(LONG)length);
        return CompleteWrite(Irp, PortIsOpen(Port) ? STATUS_SUCCESS : STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    }

    InitializeListHead(&Irp->Tail.Overlay.ListEntry);
    IoSetCancelRoutine(Irp, AsyncWriteCancel);
    if (ReadBooleanNoFence(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        AddAmountInOutQueue(Port, -(LONG)length);
        return CompleteWrite(Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    }

    if (Port->CurrentWriteIrp != NULL || !IsListEmpty(&Port->WriteQueue)) {
        IoMarkIrpPending(Irp);
        InsertTailList(&Port->WriteQueue, &Irp->Tail.Overlay.ListEntry);
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        return STATUS_PENDING;
    }

    ULONG64 stored = RingPut(&Port->TxBuffer, source, length);
    if (stored == length) {
        if (IoSetCancelRoutine(Irp, NULL) != NULL) {
            KeReleaseSpinLock(&Port->WriteQueueLock, irql);
            AddAmountInOutQueue(Port, -(LONG)length);
            CompleteWrite(Irp, STATUS_SUCCESS, length, IO_SERIAL_INCREMENT);
            PostTxEmpty(Port);
            StartTransfer(Port);
            return STATUS_SUCCESS;
        }
        // Being cancelled: its routine completes it; its bytes stay in TxBuffer and are sent.
        IoMarkIrpPending(Irp);
        KeReleaseSpinLock(&Port->WriteQueueLock, irql);
        StartTransfer(Port);
        return STATUS_PENDING;
    }

    IoMarkIrpPending(Irp);
    Port->CurrentWriteIrp = Irp;
    Port->WriteSequence++;
    Port->WriteCopied = stored;
    Port->WriteSource = source + stored;
    StartWriteTotalTimer(Port);
    KeReleaseSpinLock(&Port->WriteQueueLock, irql);
    StartTransfer(Port);
    return STATUS_PENDING;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS AsyncWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    if (PortGone(port)) {
        return CompleteWrite(Irp, STATUS_DELETE_PENDING, 0, IO_NO_INCREMENT);
    }
    if (IsTxStopped(port)) {
        return CompleteWrite(Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }
    ULONG length = WriteLength(Irp);
    if (length == 0 || Irp->AssociatedIrp.SystemBuffer == NULL) {
        return CompleteWrite(Irp, STATUS_SUCCESS, 0, IO_NO_INCREMENT);
    }
    AddAmountInOutQueue(port, (LONG)length);
    Irp->IoStatus.Information = 0;
    return AsyncStartOrQueueWrite(port, Irp);
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID AsyncWriteCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PortExtension* port = GetPortExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&port->WriteQueueLock, &irql);
    RemoveEntryList(&Irp->Tail.Overlay.ListEntry);  // a current write is self-linked
    BOOLEAN wasCurrent = port->CurrentWriteIrp == Irp;
    if (wasCurrent) {
        StopWriteTotalTimer(port);
        port->CurrentWriteIrp = NULL;
        port->WriteSource = NULL;
        port->WriteCopied = 0;
    }
    KeReleaseSpinLock(&port->WriteQueueLock, irql);
    AddAmountInOutQueue(port, -(LONG)WriteLength(Irp));
    // Bytes it already placed in TxBuffer stay there and are sent.
    CompleteWrite(Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    if (wasCurrent) {
        AsyncStartNextWrite(port);
    }
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID AsyncWriteTimeout(PKDPC Dpc, PVOID Context, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension* port = (PortExtension*)Context;
    if (port == NULL) {
        return;
    }
    KeAcquireSpinLockAtDpcLevel(&port->WriteQueueLock);
    PIRP irp = TimedOutWriteLocked(port);
    if (irp == NULL) {
        KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
        return;
    }
    if (IoSetCancelRoutine(irp, NULL) == NULL) {
        KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
        return;  // its cancel routine finishes it
    }
    ULONG64 copied = port->WriteCopied;
    port->CurrentWriteIrp = NULL;
    port->WriteSource = NULL;
    port->WriteCopied = 0;
    KeReleaseSpinLockFromDpcLevel(&port->WriteQueueLock);
    AddAmountInOutQueue(port, -(LONG)WriteLength(irp));
    // The bytes already copied are still sent.
    CompleteWrite(irp, STATUS_TIMEOUT, (ULONG_PTR)copied, IO_NO_INCREMENT);
    AsyncStartNextWrite(port);
}

_IRQL_requires_(DISPATCH_LEVEL)
_Requires_lock_held_(Port->WriteQueueLock)
PIRP AsyncTakeCurrentWrite(PortExtension* Port) {
    PIRP irp = Port->CurrentWriteIrp;
    if (irp == NULL || IoSetCancelRoutine(irp, NULL) == NULL) {
        return NULL;
    }
    KeCancelTimer(&Port->WriteTotalTimer);
    Port->CurrentWriteIrp = NULL;
    Port->WriteSource = NULL;
    Port->WriteCopied = 0;
    return irp;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID AsyncCancelTakenWrite(PortExtension* Port, PIRP Irp) {
    AddAmountInOutQueue(Port, -(LONG)WriteLength(Irp));
    CompleteWrite(Irp, STATUS_CANCELLED, 0, IO_NO_INCREMENT);
    AsyncStartNextWrite(Port);
}

VOID InitAsyncTransmit(PortExtension* Port) {
    KeInitializeTimer(&Port->WriteTotalTimer);
    KeInitializeDpc(&Port->WriteTotalDpc, AsyncWriteTimeout, Port);
    KeInitializeSpinLock(&Port->WriteQueueLock);
    InitializeListHead(&Port->WriteQueue);
    Port->CurrentWriteIrp = NULL;
    Port->WriteSource = NULL;
    Port->WriteCopied = 0;
    Port->WriteSequence = 0;
    Port->WriteTimerSequence = 0;
    Port->TxBusy = 0;
}

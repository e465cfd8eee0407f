// Serial events: the event history, the wait mask, the one pending wait-on-mask request, and purge.
#include "port.h"

// Whoever takes the pending wait's cancel routine back by exchange owns the request and completes
// it; the I/O manager owning it means WaitOnMaskCancel will.
static BOOLEAN ClaimWaitIrp(PIRP Irp) {
    return IoSetCancelRoutine(Irp, NULL) != NULL;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID CompleteWait(PIRP Irp, ULONG Events, CCHAR Boost) {
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = Events;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = sizeof(ULONG);
    IoCompleteRequest(Irp, Boost);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID PostSerialEvents(PDEVICE_OBJECT DeviceObject, ULONG Events) {
    PortExtension* port = GetPortExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&port->WaitLock, &irql);
    port->EventHistory |= Events;
    KeReleaseSpinLock(&port->WaitLock, irql);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CompletePendingWait(PDEVICE_OBJECT DeviceObject) {
    PortExtension* port = GetPortExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&port->WaitLock, &irql);
    ULONG hits = port->WaitMask & port->EventHistory;
    PIRP irp = port->PendingWaitIrp;
    if (hits == 0 || irp == NULL || !ClaimWaitIrp(irp)) {
        KeReleaseSpinLock(&port->WaitLock, irql);
        return;
    }
    port->PendingWaitIrp = NULL;
    port->EventHistory = 0;
    KeReleaseSpinLock(&port->WaitLock, irql);

    VCOM_TRACE(TRACE_LEVEL_VERBOSE, "wait satisfied: events %#lx", (unsigned long)hits);
    CompleteWait(irp, hits, IO_SERIAL_INCREMENT);
}

NTSTATUS SetWaitMask(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    KIRQL irql;
    KeAcquireSpinLock(&Port->WaitLock, &irql);
    Port->WaitMask = mask;
    // A new mask releases the pending wait with no events. The history stays: events posted
    // before the change may satisfy the next wait.
    PIRP released = Port->PendingWaitIrp;
    if (released != NULL && ClaimWaitIrp(released)) {
        Port->PendingWaitIrp = NULL;
    } else {
        released = NULL;
    }
    KeReleaseSpinLock(&Port->WaitLock, irql);

    if (released != NULL) {
        CompleteWait(released, 0, IO_SERIAL_INCREMENT);
    }
    return STATUS_SUCCESS;
}

NTSTATUS GetWaitMask(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    KIRQL irql;
    KeAcquireSpinLock(&Port->WaitLock, &irql);
    ULONG mask = Port->WaitMask;
    KeReleaseSpinLock(&Port->WaitLock, irql);
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = mask;
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

static NTSTATUS RefuseWait(PIRP Irp, NTSTATUS Status) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS WaitOnMask(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    KIRQL irql;
    KeAcquireSpinLock(&Port->WaitLock, &irql);
    // Tested again under the lock: removal cancels the pending wait under it, so a wait that got
    // past the dispatcher's gate cannot be installed after that cancellation.
    if (PortGone(Port)) {
        KeReleaseSpinLock(&Port->WaitLock, irql);
        return RefuseWait(Irp, STATUS_DELETE_PENDING);
    }
    // The cleanup cancels the pending wait under the same lock, after the port stops being open.
    if (!PortIsOpen(Port)) {
        KeReleaseSpinLock(&Port->WaitLock, irql);
        return RefuseWait(Irp, STATUS_CANCELLED);
    }
    if (Port->WaitMask == 0 || Port->PendingWaitIrp != NULL) {
        KeReleaseSpinLock(&Port->WaitLock, irql);
        return RefuseWait(Irp, STATUS_INVALID_PARAMETER);
    }
    ULONG hits = Port->EventHistory & Port->WaitMask;
    if (hits != 0) {
        Port->EventHistory = 0;
        KeReleaseSpinLock(&Port->WaitLock, irql);
        CompleteWait(Irp, hits, IO_SERIAL_INCREMENT);
        return STATUS_SUCCESS;
    }

    IoSetCancelRoutine(Irp, WaitOnMaskCancel);
    if (ReadBooleanNoFence(&Irp->Cancel) && IoSetCancelRoutine(Irp, NULL) != NULL) {
        KeReleaseSpinLock(&Port->WaitLock, irql);
        return RefuseWait(Irp, STATUS_CANCELLED);
    }
    // Either installed, or already taken by the I/O manager whose call of WaitOnMaskCancel will
    // find it here and complete it.
    Port->PendingWaitIrp = Irp;
    IoMarkIrpPending(Irp);
    KeReleaseSpinLock(&Port->WaitLock, irql);
    return STATUS_PENDING;
}

_IRQL_requires_(DISPATCH_LEVEL)
VOID WaitOnMaskCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    PortExtension* port = GetPortExtension(DeviceObject);
    KIRQL irql;
    KeAcquireSpinLock(&port->WaitLock, &irql);
    if (port->PendingWaitIrp == Irp) {
        port->PendingWaitIrp = NULL;
    }
    KeReleaseSpinLock(&port->WaitLock, irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// The actions run in this order whatever the order of the bits; other bits are ignored.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS Purge(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Stack);
    ULONG mask = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    if (mask & SERIAL_PURGE_RXABORT) {
        CancelReads(Port);
    }
    if (mask & SERIAL_PURGE_RXCLEAR) {
        // Bytes of the last transfer not yet stored (RxLeftover) are purged too: the reader is
        // held stopped so that nothing of the loop touches them meanwhile, a read's start included.
        HoldReader(Port);
        RingClear(&Port->RxBuffer);
        Port->RxLeftover = 0;
        // The empty buffer is below the XON limit: a reader stopped for lack of room resumes.
        StoreFlag(&Port->RxHasRoom, TRUE);
        ReleaseReader(Port, TRUE);
    }
    if (mask & SERIAL_PURGE_TXABORT) {
        // Under PortStateLock, like every other stop: two stops at once would share TxIdleEvent,
        // and the resume must not restart a transmitter a power-down or cleanup has stopped.
        AcquirePassiveLock(&Port->PortStateLock);
        // Returns once the transmit side is idle; writes are taken again afterwards. The
        // resume sends what TxBuffer holds, so a clear asked for as well comes first.
        StopTransmit(Port);
        if (mask & SERIAL_PURGE_TXCLEAR) {
            ClearTxBuffer(Port);
        }
        // Else the open or the power-up resumes it.
        if (PortIsOpen(Port) && LoadLong(&Port->PowerState) != PowerStateOff) {
            ResumeTransmit(Port);
        }
        ReleasePassiveLock(&Port->PortStateLock);
    } else if (mask & SERIAL_PURGE_TXCLEAR) {
        ClearTxBuffer(Port);
    }
    return STATUS_SUCCESS;
}

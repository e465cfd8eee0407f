// Plug and Play: the state machine, naming at start, and teardown at removal.
#include "port.h"

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS StartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    if (Context) {
        KeSetEvent((PKEVENT)Context, IO_NO_INCREMENT, FALSE);
    }
    // The dispatch routine that waits completes the request again.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static NTSTATUS PassDown(PortExtension* Port, PIRP Irp) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Port->LowerDeviceObject, Irp);
}

static NTSTATUS PassDownSucceeded(PortExtension* Port, PIRP Irp) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Port, Irp);
}

// Errors are read and cleared together under CommStatusLock by the status request.
static VOID ClearCommErrors(PortExtension* Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->CommStatusLock, &irql);
    Port->CommStatus.Errors = 0;
    KeReleaseSpinLock(&Port->CommStatusLock, irql);
}

static VOID EnterState(PortExtension* Port, LONG State) {
    Port->PreviousPnpState = Port->PnpState;
    Port->PnpState = State;
}

static NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    BOOLEAN restart = port->PnpState == Stopped;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(port->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    } else if (NT_SUCCESS(status)) {
        status = Irp->IoStatus.Status;
    }
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "lower driver failed the start: %08x", (unsigned)status);
        Irp->IoStatus.Status = status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }

    EnterState(port, Started);
    // Name the port at the first start, and at any later start while it still has no name
    // (a failed naming must not leave a started port without a DOS name forever).
    status = STATUS_SUCCESS;
    if (!port->SymbolicLinkName.Buffer) {
        status = CreatePortName(DeviceObject);
        if (NT_SUCCESS(status)) {
            port->PowerState = PowerStateOn;
        }
    }
    // After a PnP stop: what the stop ended starts again.
    if (restart) {
        RestartPortActivity(DeviceObject);
    }
    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    if (!LoadFlag(&port->Removed)) {
        StoreFlag(&port->Removed, TRUE);
        ClearCommErrors(port);
        // Gives back the device's own acquisition and waits for every open to close.
        IoReleaseRemoveLockAndWait(&port->RemoveLock, NULL);
    }
    // Torn down before the lower driver sees the removal: no request may reach it after.
    TeardownPort(DeviceObject);
    NTSTATUS status = PassDown(port, Irp);
    EnterState(port, RemovedState);
    RemovePortDevice(DeviceObject);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    VCOM_TRACE(TRACE_LEVEL_VERBOSE, "pnp minor %02x in state %d", (unsigned)stack->MinorFunction,
               (int)port->PnpState);

    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDevice(DeviceObject, Irp);

    case IRP_MN_QUERY_STOP_DEVICE:
        EnterState(port, StopPending);
        return PassDownSucceeded(port, Irp);

    case IRP_MN_CANCEL_STOP_DEVICE:
        if (port->PnpState == StopPending) {
            port->PnpState = port->PreviousPnpState;
        }
        return PassDownSucceeded(port, Irp);

    case IRP_MN_STOP_DEVICE:
        ClearCommErrors(port);
        EnterState(port, Stopped);
        // The device may lose its resources until the next start: nothing of the port runs on it.
        StopPortActivity(port);
        return PassDownSucceeded(port, Irp);

    case IRP_MN_QUERY_REMOVE_DEVICE:
        EnterState(port, RemovePending);
        return PassDownSucceeded(port, Irp);

    case IRP_MN_CANCEL_REMOVE_DEVICE:
        if (port->PnpState == RemovePending) {
            port->PnpState = port->PreviousPnpState;
        }
        return PassDownSucceeded(port, Irp);

    case IRP_MN_SURPRISE_REMOVAL:
        port->PreviousPnpState = port->PnpState;
        StoreFlag(&port->SurpriseRemoved, TRUE);
        ClearCommErrors(port);
        port->PnpState = SurpriseRemovedState;
        RemovePortName(port);
        DisablePortInterface(port);
        CancelReads(port);
        CancelPendingWait(port);
        // The device is gone: the reader, the status poller and the transmitter stop now, not at
        // the close, and before the lower driver learns of it (it may fail what they send).
        AcquirePassiveLock(&port->PortStateLock);
        StopReceiveSide(DeviceObject);
        StopTransmit(port);
        ReleasePassiveLock(&port->PortStateLock);
        return PassDownSucceeded(port, Irp);

    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, Irp);

    default:
        return PassDown(port, Irp);
    }
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS TeardownPort(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    StopReceiveSide(DeviceObject);
    CancelReads(port);
    StopTransmit(port);
    CancelPendingWait(port);
    // A timer DPC queued before its timer was cancelled must not run into the deleted device.
    KeFlushQueuedDpcs();
    FreeRxBuffer(port);
    if (port->TxAsync) {
        InterlockedExchange((volatile LONG*)&port->CommStatus.AmountInOutQueue, 0);
    }
    RingFree(&port->TxBuffer);
    RemovePortName(port);
    DisablePortInterface(port);
    return STATUS_SUCCESS;
}

// After TeardownPort and the removal's pass-down: detaches and deletes the device.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS RemovePortDevice(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    NTSTATUS status = STATUS_SUCCESS;
    DisablePortInterface(port);
    if (port->LowerDeviceObject) {
        IoDetachDevice(port->LowerDeviceObject);
        port->LowerDeviceObject = NULL;
    }
    if (port->DeviceName.Buffer) {
        ExFreePoolWithTag(port->DeviceName.Buffer, INIT_POOL_TAG);
        port->DeviceName.Buffer = NULL;
        port->DeviceName.Length = 0;
        port->DeviceName.MaximumLength = 0;
    }
    IoDeleteDevice(DeviceObject);
    return status;
}

// Port open and close: one opener at a time; open connects the pipes and switches the port on in
// the device, close undoes it in reverse.
#include "port.h"

static NTSTATUS Open(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    if (PortGone(port)) {
        return STATUS_DELETE_PENDING;
    }
    if (port->OpenCount != 0) {
        VCOM_TRACE(TRACE_LEVEL_INFO, "open refused: the port is open");
        return STATUS_ACCESS_DENIED;
    }
    // Held from before the open until the close, so a removal either refuses the open or waits
    // for it and then for the close; it never tears down beside an open in progress.
    NTSTATUS status = IoAcquireRemoveLock(&port->RemoveLock, DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    port->OpenCount = 1;
    status = OpenPort(DeviceObject, Irp);
    if (!NT_SUCCESS(status)) {
        port->OpenCount = 0;
        IoReleaseRemoveLock(&port->RemoveLock, DeviceObject);
        return status;
    }
    port->OpenFile = IoGetCurrentIrpStackLocation(Irp)->FileObject;
    ResumeTransmit(port);
    return STATUS_SUCCESS;
}

static NTSTATUS Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    if (port->OpenCount == 0 || IoGetCurrentIrpStackLocation(Irp)->FileObject != port->OpenFile) {
        return STATUS_SUCCESS;  // not the opener's file (a refused open): the port is not its to close
    }
    StopTransmit(port);
    NTSTATUS status = ClosePort(DeviceObject, Irp);
    port->OpenFile = NULL;
    port->OpenCount = 0;
    IoReleaseRemoveLock(&port->RemoveLock, DeviceObject);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS status;

    // Ordered against each other and against the power transitions, so a D0 cannot restart a
    // port that a close is taking apart.
    AcquirePassiveLock(&port->PortStateLock);
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        status = Open(DeviceObject, Irp);
        break;
    case IRP_MJ_CLOSE:
        status = Close(DeviceObject, Irp);
        break;
    default:
        status = STATUS_UNSUCCESSFUL;
        break;
    }
    ReleasePassiveLock(&port->PortStateLock);

    Irp->IoStatus.Status = status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

static BOOLEAN StatusPipeInUse(const PortExtension* Port) {
    return Port->EndPointCaps != 0 && Port->CtlPollPeriod >= 0;
}

// A transfer size in whole packets: at least one packet, else rounded up to a multiple.
static ULONG RoundToPackets(ULONG Size, ULONG Packet) {
    if (Packet > Size) {
        return Packet;
    }
    ULONG64 rounded = ((ULONG64)Size + Packet - 1) / Packet * Packet;
    if (rounded > MAXULONG) {
        rounded = (ULONG64)MAXULONG / Packet * Packet;  // cannot be allocated: the open fails
    }
    return (ULONG)rounded;
}

static ULONG PacketSize(PortExtension* Port, PFILE_OBJECT PipeFile) {
    ULONG size = 0;
    if (!NT_SUCCESS(QueryPipeInfo(Port, PipeFile, &size)) || size == 0) {
        size = DEFAULT_PACKET_SIZE;
    }
    return size;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Irp);
    PortExtension* port = GetPortExtension(DeviceObject);
    if (port->EndPointCaps == 0) {
        // This variant has no status pipe: reading one never opened would only fail, every
        // 20 ms, and leave every input line reported off. As for a device whose status pipe
        // turns out missing, no status is read and CTS, DSR and DCD read on.
        port->CtlPollPeriod = -1;
    }
    NTSTATUS status = OpenPipe(port, &port->TxPipe.TxPipeFile);
    StoreFlag(&port->PipesOpen, TRUE);
    if (NT_SUCCESS(status)) {
        status = OpenPipe(port, &port->RxPipe.RxPipeFile);
    }
    if (NT_SUCCESS(status) && StatusPipeInUse(port)) {
        status = OpenPipe(port, &port->StatusPipe.StatusPipeFile);
        if (!NT_SUCCESS(status)) {
            // Status polling stays off until the device is added again.
            port->CtlPollPeriod = -1;
            if (status == STATUS_INVALID_HANDLE) {
                VCOM_TRACE(TRACE_LEVEL_INFO, "the device has no status pipe");
                status = STATUS_SUCCESS;
            }
        }
    }

    if (NT_SUCCESS(status)) {
        port->RxQueueSize = 4096;
        port->TxQueueSize = 4096;
        status = RingAllocate(&port->RxBuffer, port->RxQueueSize);
    }
    if (NT_SUCCESS(status)) {
        ULONG size = (ULONG)RingSize(&port->RxBuffer);
        port->RxHasRoom = TRUE;
        port->RxTransferLength = 0;
        port->RxLeftover = 0;  // nothing of an earlier open's transfers is left to store
        KIRQL irql;
        KeAcquireSpinLock(&port->WaitLock, &irql);
        port->EventHistory = 0;
        port->PendingWaitIrp = NULL;
        KeReleaseSpinLock(&port->WaitLock, irql);
        StoreSetting(&port->HandFlow.XonLimit, (LONG)(size / 2));
        port->ModemStatus = 0;
        StoreSetting(&port->HandFlow.XoffLimit, (LONG)(size / 8));
        port->ReaderStopped = TRUE;
        KeInitializeEvent(&port->ReaderStoppedEvent, NotificationEvent, FALSE);
        port->StatusPollStopped = TRUE;
        KeInitializeEvent(&port->StatusPollStoppedEvent, NotificationEvent, FALSE);
        InterlockedExchange((volatile LONG*)&port->CommStatus.AmountInOutQueue, 0);
        InterlockedExchange((volatile LONG*)&port->CommStatus.AmountInInQueue, 0);

        ResetPipe(port, &port->TxPipe.TxPipeFile);
        ResetPipe(port, &port->RxPipe.RxPipeFile);
        if (port->CtlPollPeriod >= 0) {
            ResetPipe(port, &port->StatusPipe.StatusPipeFile);
        }

        port->TxPipe.TxMaxPacketSize = PacketSize(port, &port->TxPipe.TxPipeFile);
        port->TxKickThreshold = RoundToPackets(port->TxKickThreshold, port->TxPipe.TxMaxPacketSize);
        port->RxPipe.RxMaxPacketSize = PacketSize(port, &port->RxPipe.RxPipeFile);
        port->RxReqSize = RoundToPackets(port->RxReqSize, port->RxPipe.RxMaxPacketSize);

        port->RxTransferBuffer = ExAllocatePoolWithTag(NonPagedPoolNx, port->RxReqSize, CREATE_POOL_TAG);
        if (!port->RxTransferBuffer) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        }
    }

    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "open failed: %08x", (unsigned)status);
        if (port->RxTransferBuffer) {
            ExFreePoolWithTag(port->RxTransferBuffer, CREATE_POOL_TAG);
            port->RxTransferBuffer = NULL;
        }
        FreeRxBuffer(port);
        // Sent whatever step failed; the lower driver answers for pipes it never opened.
        ClosePipe(port, &port->TxPipe.TxPipeFile);
        ClosePipe(port, &port->RxPipe.RxPipeFile);
        if (StatusPipeInUse(port)) {
            ClosePipe(port, &port->StatusPipe.StatusPipeFile);
        }
        StoreFlag(&port->PipesOpen, FALSE);
        return status;
    }

    InterlockedExchange(&port->OpenState, PortOpen);
    SendPortSetup(port);
    StartReader(port);
    ReadInitialStatus(port);
    StartStatusPoller(port);

    VCOM_TRACE(TRACE_LEVEL_INFO, "port open: tx packet %u, rx packet %u, rx request %u", port->TxPipe.TxMaxPacketSize,
               port->RxPipe.RxMaxPacketSize, port->RxReqSize);
    return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Irp);
    PortExtension* port = GetPortExtension(DeviceObject);
    // No start path starts anything from here on.
    InterlockedExchange(&port->OpenState, PortClosed);

    // Nothing of the reader or poller is outstanding after this, so the buffers can go.
    StopReceiveSide(DeviceObject);
    CancelReads(port);
    FreeRxBuffer(port);
    UCHAR disable[2] = {DEVCMD_PORT_ENABLE, 0};
    SendDeviceCommand(port, disable, sizeof(disable));

    NTSTATUS status = ClosePipe(port, &port->TxPipe.TxPipeFile);
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_WARNING, "transmit pipe close failed: %08x", (unsigned)status);
    }
    status = ClosePipe(port, &port->RxPipe.RxPipeFile);
    if (StatusPipeInUse(port)) {
        status = ClosePipe(port, &port->StatusPipe.StatusPipeFile);
    }
    StoreFlag(&port->PipesOpen, FALSE);
    if (port->RxTransferBuffer) {
        ExFreePoolWithTag(port->RxTransferBuffer, CREATE_POOL_TAG);
        port->RxTransferBuffer = NULL;
    }
    VCOM_TRACE(TRACE_LEVEL_INFO, "port closed: %08x", (unsigned)status);
    return status;
}

VOID FreeRxBuffer(PortExtension* Port) {
    RingFree(&Port->RxBuffer);
}

VOID ClearTxBuffer(PortExtension* Port) {
    RingClear(&Port->TxBuffer);
    KIRQL irql;
    KeAcquireSpinLock(&Port->TxBuffer.Lock, &irql);
    Port->TxUnsent = 0;
    KeReleaseSpinLock(&Port->TxBuffer.Lock, irql);
}

VOID CancelPendingWait(PortExtension* Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->WaitLock, &irql);
    PIRP irp = Port->PendingWaitIrp;
    if (irp && IoSetCancelRoutine(irp, NULL) != NULL) {
        Port->PendingWaitIrp = NULL;
        KeReleaseSpinLock(&Port->WaitLock, irql);
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return;
    }
    // A cancellation in progress completes it.
    KeReleaseSpinLock(&Port->WaitLock, irql);
}

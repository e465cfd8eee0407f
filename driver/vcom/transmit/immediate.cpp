// IOCTL_SERIAL_IMMEDIATE_CHAR: the request itself goes down as a one-byte transfer on TxPipe,
// beside the write machinery, so it overtakes queued writes and buffered bytes.
#include "transmit.h"

static IO_COMPLETION_ROUTINE ImmediateCharComplete;

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS RefuseImmediate(PIRP Irp) {
    Irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_PARAMETER;
}

// Not gated on removal or TxStopped: the lower driver fails it if the device is gone. This
// routine completes the request when it refuses it; once handed down (STATUS_PENDING) the
// lower driver completes it and ImmediateCharComplete only lets the completion go on.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS ImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Information = 0;
    if (stack->Parameters.DeviceIoControl.InputBufferLength < 1 || Irp->AssociatedIrp.SystemBuffer == NULL) {
        return RefuseImmediate(Irp);
    }

    // One character at a time: test and set in one step.
    KIRQL irql;
    KeAcquireSpinLock(&port->CommStatusLock, &irql);
    if (port->CommStatus.WaitForImmediate) {
        KeReleaseSpinLock(&port->CommStatusLock, irql);
        return RefuseImmediate(Irp);
    }
    port->CommStatus.WaitForImmediate = TRUE;
    KeReleaseSpinLock(&port->CommStatusLock, irql);

    IoMarkIrpPending(Irp);
    SetPipeWrite(port, Irp, 1);
    AddAmountInOutQueue(port, 1);
    IoSetCompletionRoutine(Irp, ImmediateCharComplete, port, TRUE, TRUE, TRUE);
    IoCallDriver(port->LowerDeviceObject, Irp);
    return STATUS_PENDING;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS ImmediateCharComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PortExtension* port = (PortExtension*)Context;
    if (port == NULL) {
        return Irp->IoStatus.Status;
    }
    KIRQL irql;
    KeAcquireSpinLock(&port->CommStatusLock, &irql);
    port->CommStatus.WaitForImmediate = FALSE;
    KeReleaseSpinLock(&port->CommStatusLock, irql);
    if (AddAmountInOutQueue(port, -1) == 0) {
        PostTxEmpty(port);
    }
    // The status is UsbPipeDriver's; its byte count is the pipe write's: the character is
    // counted as sent when it went out, even by a transfer that failed after it. The request
    // returns no data, and the I/O manager would copy that many bytes into an output buffer of
    // none.
    InterlockedAdd((volatile LONG*)&port->PerfStats.TransmittedCount, (LONG)Irp->IoStatus.Information);
    Irp->IoStatus.Information = 0;
    return Irp->IoStatus.Status;
}

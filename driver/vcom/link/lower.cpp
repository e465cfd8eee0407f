// Requests to the lower USB driver: pipe create/close, abort, reset, packet size, device
// commands and pipe reads. Pipes are addressed by the port's own file objects.
#include "port.h"

// IRP_MJ_CREATE or IRP_MJ_CLOSE on a pipe, on a request of our own.
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS SendPipeFileRequest(PortExtension* Port, PFILE_OBJECT PipeFile, UCHAR Major) {
    PAGED_CODE();
    PDEVICE_OBJECT lower = Port->LowerDeviceObject;
    if (!lower) {
        return STATUS_DELETE_PENDING;
    }
    if (!PipeFile) {
        return STATUS_INVALID_PARAMETER;
    }
    PIRP irp = IoAllocateIrp(Port->DeviceObject->StackSize, FALSE);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = Major;
    next->FileObject = PipeFile;
    // Signals the event and keeps the request, which is freed after the wait.
    IoSetCompletionRoutine(irp, StartCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    }
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS OpenPipe(PortExtension* Port, PFILE_OBJECT PipeFile) {
    PAGED_CODE();
    NTSTATUS status = SendPipeFileRequest(Port, PipeFile, IRP_MJ_CREATE);
    VCOM_TRACE(TRACE_LEVEL_VERBOSE, "open pipe: %08x", (unsigned)status);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ClosePipe(PortExtension* Port, PFILE_OBJECT PipeFile) {
    PAGED_CODE();
    NTSTATUS status = SendPipeFileRequest(Port, PipeFile, IRP_MJ_CLOSE);
    VCOM_TRACE(TRACE_LEVEL_VERBOSE, "close pipe: %08x", (unsigned)status);
    return status;
}

// A buffered device control to the lower driver, waited for. The I/O manager frees the request.
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS SendPipeControl(PortExtension* Port, ULONG Code, PFILE_OBJECT PipeFile, PVOID Input,
                                ULONG InputLength, PVOID Output, ULONG OutputLength) {
    PAGED_CODE();
    PDEVICE_OBJECT lower = Port->LowerDeviceObject;
    if (!lower) {
        return STATUS_DELETE_PENDING;
    }
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    iosb.Status = STATUS_UNSUCCESSFUL;
    iosb.Information = 0;
    PIRP irp = IoBuildDeviceIoControlRequest(Code, lower, Input, InputLength, Output, OutputLength, FALSE,
                                             &event, &iosb);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = PipeFile;
    NTSTATUS status = IoCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = iosb.Status;
    }
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS AbortPipe(PortExtension* Port, PFILE_OBJECT PipeFile) {
    PAGED_CODE();
    return SendPipeControl(Port, IOCTL_PIPE_ABORT, PipeFile, NULL, 0, NULL, 0);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ResetPipe(PortExtension* Port, PFILE_OBJECT PipeFile) {
    PAGED_CODE();
    return SendPipeControl(Port, IOCTL_PIPE_RESET, PipeFile, NULL, 0, NULL, 0);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS QueryPipeInfo(PortExtension* Port, PFILE_OBJECT PipeFile, PULONG MaxPacketSize) {
    PAGED_CODE();
    if (PortGone(Port)) {
        return STATUS_DELETE_PENDING;
    }
    if (!MaxPacketSize) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG value = 0;
    NTSTATUS status = SendPipeControl(Port, IOCTL_PIPE_GET_INFO, PipeFile, NULL, 0, &value, sizeof(value));
    if (NT_SUCCESS(status)) {
        *MaxPacketSize = value;
    }
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SendDeviceCommand(PortExtension* Port, PUCHAR Command, ULONG Length) {
    PAGED_CODE();
    if (!Port->LowerDeviceObject) {
        return STATUS_DELETE_PENDING;
    }
    if (!Command) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = SendPipeControl(Port, IOCTL_DEVICE_COMMAND, NULL, Command, Length, Command, Length);
    VCOM_TRACE(TRACE_LEVEL_VERBOSE, "device command %02x: %08x", (unsigned)Command[0], (unsigned)status);
    return status;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS IssuePipeRead(PortExtension* Port, PFILE_OBJECT PipeFile, PVOID Buffer, ULONG Length,
                       PIO_COMPLETION_ROUTINE CompletionRoutine) {
    if (!Buffer || Length == 0 || !PipeFile) {
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT lower = Port->LowerDeviceObject;
    if (!lower) {
        return STATUS_DELETE_PENDING;
    }
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    PIRP irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, lower, Buffer, Length, &offset, NULL);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = PipeFile;
    IoSetCompletionRoutine(irp, CompletionRoutine, Port, TRUE, TRUE, TRUE);
    return IoCallDriver(lower, irp);
}

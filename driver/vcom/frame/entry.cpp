// Driver entry, dispatch routing, flush, cleanup and unload.
#include "port.h"

UNICODE_STRING RegistryPathCopy;
ULONG VcomTraceMask = TRACE_LEVEL_ERROR | TRACE_LEVEL_WARNING;

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    VCOM_TRACE(TRACE_LEVEL_INFO, "driver entry");

    USHORT size = (USHORT)(RegistryPath->Length + sizeof(WCHAR));
    PWCHAR copy = (PWCHAR)ExAllocatePoolWithTag(PagedPool, size, FILTER_POOL_TAG);
    if (!copy) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "no memory for the registry path");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(copy, size);
    RtlCopyMemory(copy, RegistryPath->Buffer, RegistryPath->Length);
    RegistryPathCopy.Buffer = copy;
    RegistryPathCopy.Length = RegistryPath->Length;
    RegistryPathCopy.MaximumLength = size;

    for (ULONG major = IRP_MJ_CREATE; major <= IRP_MJ_PNP; major++) {
        DriverObject->MajorFunction[major] = DispatchDefault;
    }
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    DriverObject->MajorFunction[IRP_MJ_READ] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_WRITE] = DispatchReadWrite;
    DriverObject->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    DriverObject->DriverExtension->AddDevice = AddDevice;
    DriverObject->DriverUnload = DriverUnload;
    return STATUS_SUCCESS;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID DriverUnload(PDRIVER_OBJECT DriverObject) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(DriverObject);
    if (RegistryPathCopy.Buffer) {
        ExFreePoolWithTag(RegistryPathCopy.Buffer, FILTER_POOL_TAG);
        RegistryPathCopy.Buffer = NULL;
        RegistryPathCopy.Length = 0;
        RegistryPathCopy.MaximumLength = 0;
    }
    VCOM_TRACE(TRACE_LEVEL_INFO, "driver unloaded");
}

NTSTATUS DispatchDefault(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    // Held across the call, so the removal cannot detach the lower device under it.
    NTSTATUS status = IoAcquireRemoveLock(&port->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(port->LowerDeviceObject, Irp);
    IoReleaseRemoveLock(&port->RemoveLock, Irp);
    return status;
}

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, CCHAR Boost) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, Boost);
    return Status;
}

NTSTATUS DispatchReadWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    if (PortGone(port)) {
        VCOM_TRACE(TRACE_LEVEL_INFO, "read/write refused: device is being removed");
        return CompleteRequest(Irp, STATUS_DELETE_PENDING, IO_NO_INCREMENT);
    }
    if (!PortIsOpen(port)) {
        return CompleteRequest(Irp, STATUS_CANCELLED, IO_NO_INCREMENT);
    }
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_READ) {
        return DispatchRead(DeviceObject, Irp);
    }
    return port->TxAsync ? AsyncWrite(DeviceObject, Irp) : SyncWrite(DeviceObject, Irp);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DispatchFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    const LONGLONG limit = 300000000;  // 30 s in 100 ns units
    if (port->TxAsync) {
        LARGE_INTEGER start;
        KeQuerySystemTime(&start);
        while (RingCount(&port->TxBuffer) != 0) {
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            if (now.QuadPart - start.QuadPart > limit) {
                VCOM_TRACE(TRACE_LEVEL_WARNING, "flush: transmit buffer did not drain");
                break;
            }
            KTIMER sleep;
            LARGE_INTEGER due;
            due.QuadPart = -100000;  // 10 ms
            KeInitializeTimer(&sleep);
            KeSetTimer(&sleep, due, NULL);
            KeWaitForSingleObject(&sleep, Executive, KernelMode, FALSE, NULL);
        }
    } else {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -limit;
        // A time-out only ends the wait.
        KeWaitForSingleObject(&port->TxIdleEvent, Executive, KernelMode, FALSE, &timeout);
    }
    return CompleteRequest(Irp, STATUS_SUCCESS, IO_SERIAL_INCREMENT);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    AcquirePassiveLock(&port->PortStateLock);
    if (port->OpenFile == NULL || IoGetCurrentIrpStackLocation(Irp)->FileObject != port->OpenFile) {
        ReleasePassiveLock(&port->PortStateLock);
        return CompleteRequest(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    }
    // From here to the close nothing new is accepted: a request that reaches the port after the
    // last handle's cleanup would otherwise wait for ever, and the close with it.
    InterlockedCompareExchange(&port->OpenState, PortCleanedUp, PortOpen);
    StopReceiveSide(DeviceObject);
    CancelReads(port);
    StopTransmit(port);
    ClearTxBuffer(port);
    CancelPendingWait(port);
    ReleasePassiveLock(&port->PortStateLock);
    return CompleteRequest(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
}

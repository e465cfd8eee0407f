// Power: the port stops its transfers when the device leaves D0 and, when the device is back in
// D0 while the port is open, sends the device set-up again and restarts what the open started.
#include "port.h"

static NTSTATUS PassPowerDown(PortExtension* Port, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Port->LowerDeviceObject, Irp);
}

// Open, close and the power transitions run one at a time (PortStateLock), so what a
// transition does to the port matches whether it is open. A PnP stop and the start after it do
// the same to the port.
_IRQL_requires_max_(PASSIVE_LEVEL)
VOID StopPortActivity(PortExtension* Port) {
    PAGED_CODE();
    AcquirePassiveLock(&Port->PortStateLock);
    InterlockedExchange(&Port->PowerState, PowerStateOff);
    StopReceiveSide(Port->DeviceObject);
    StopTransmit(Port);
    ReleasePassiveLock(&Port->PortStateLock);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS PowerUp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, StartCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = PoCallDriver(port->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    PoStartNextPowerIrp(Irp);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);

    if (!NT_SUCCESS(status)) {
        // The device did not reach D0: restarting transfers on it would only fail them. The port
        // stays stopped (PowerStateOff) until a later D0 succeeds.
        VCOM_TRACE(TRACE_LEVEL_WARNING, "lower driver failed D0: %08x; port stays stopped", (unsigned)status);
        return status;
    }

    RestartPortActivity(DeviceObject);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
VOID RestartPortActivity(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    AcquirePassiveLock(&port->PortStateLock);
    InterlockedExchange(&port->PowerState, PowerStateOn);
    // A D0 while PnP has the device stopped leaves it to the start.
    if (PortIsOpen(port) && port->PnpState != Stopped) {
        SendPortSetup(port);
        ApplyLineSettings(DeviceObject);
        StartStatusPoller(port);
        StartReader(port);
        // Bytes buffered before the power-down have completed writes behind them: they go now.
        ResumeTransmit(port);
    }
    ReleasePassiveLock(&port->PortStateLock);
}

static NTSTATUS HandlePower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Under the remove lock, so the removal cannot detach the lower device under a power request.
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    NTSTATUS status = IoAcquireRemoveLock(&port->RemoveLock, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    status = HandlePower(DeviceObject, Irp);
    IoReleaseRemoveLock(&port->RemoveLock, Irp);
    return status;
}

static NTSTATUS HandlePower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->Parameters.Power.Type != DevicePowerState ||
        (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER)) {
        return PassPowerDown(port, Irp);
    }
    DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
    if (state == PowerDeviceD1 || state == PowerDeviceD2 || state == PowerDeviceD3) {
        VCOM_TRACE(TRACE_LEVEL_INFO, "leaving D0 (D%d)", (int)state - 1);
        StopPortActivity(port);
        return PassPowerDown(port, Irp);
    }
    if (state == PowerDeviceD0 && stack->MinorFunction == IRP_MN_SET_POWER) {
        return PowerUp(DeviceObject, Irp);
    }
    return PassPowerDown(port, Irp);
}

// IRP_MJ_DEVICE_CONTROL: routes every serial request by its exact code, checks its buffer, the
// removal gate and the structure length, and completes what the handler answered.
#include "port.h"

namespace {

enum ControlFlags : ULONG {
    NeedsBuffer = 0x01,    // a system buffer must exist (either length non-zero)
    Gated = 0x02,          // refused with STATUS_DELETE_PENDING once the device is being removed
    OwnsCompletion = 0x04, // the handler completes the request or passes it down itself
    SerialBoost = 0x08,    // completed with IO_SERIAL_INCREMENT instead of IO_NO_INCREMENT
};

struct ControlEntry {
    ULONG Code;
    ULONG Flags;
    ULONG MinInput;
    ULONG MinOutput;
    ControlHandler* Handler;  // null: completed here with success, nothing read or changed
};

NTSTATUS ResetLowerPipe(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack);

const ControlEntry ControlTable[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, NeedsBuffer | Gated, sizeof(SERIAL_BAUD_RATE), 0, SetBaudRate},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, NeedsBuffer | Gated, sizeof(SERIAL_QUEUE_SIZE), 0, SetQueueSize},
    {IOCTL_SERIAL_SET_LINE_CONTROL, NeedsBuffer | Gated, sizeof(SERIAL_LINE_CONTROL), 0, SetLineControl},
    {IOCTL_SERIAL_SET_BREAK_ON, Gated, 0, 0, SetBreakOn},
    {IOCTL_SERIAL_SET_BREAK_OFF, Gated, 0, 0, SetBreakOff},
    {IOCTL_SERIAL_SET_TIMEOUTS, NeedsBuffer | Gated, sizeof(SERIAL_TIMEOUTS), 0, SetTimeouts},
    {IOCTL_SERIAL_GET_TIMEOUTS, NeedsBuffer | Gated, 0, sizeof(SERIAL_TIMEOUTS), GetTimeouts},
    {IOCTL_SERIAL_SET_DTR, Gated, 0, 0, SetDtr},
    {IOCTL_SERIAL_CLR_DTR, Gated, 0, 0, ClrDtr},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0, 0, NULL},
    {IOCTL_SERIAL_SET_RTS, Gated, 0, 0, SetRts},
    {IOCTL_SERIAL_CLR_RTS, Gated, 0, 0, ClrRts},
    {IOCTL_SERIAL_SET_XOFF, 0, 0, 0, NULL},
    {IOCTL_SERIAL_SET_XON, 0, 0, 0, NULL},
    {IOCTL_SERIAL_GET_WAIT_MASK, NeedsBuffer, 0, sizeof(ULONG), GetWaitMask},
    {IOCTL_SERIAL_SET_WAIT_MASK, NeedsBuffer, sizeof(ULONG), 0, SetWaitMask},
    // Gated here so the gate precedes the length check; the handler tests it again under WaitLock.
    {IOCTL_SERIAL_WAIT_ON_MASK, NeedsBuffer | Gated | OwnsCompletion, 0, sizeof(ULONG), WaitOnMask},
    {IOCTL_SERIAL_PURGE, NeedsBuffer, sizeof(ULONG), 0, Purge},
    {IOCTL_SERIAL_GET_BAUD_RATE, NeedsBuffer | Gated, 0, sizeof(SERIAL_BAUD_RATE), GetBaudRate},
    {IOCTL_SERIAL_GET_LINE_CONTROL, NeedsBuffer | Gated, 0, sizeof(SERIAL_LINE_CONTROL), GetLineControl},
    {IOCTL_SERIAL_GET_CHARS, NeedsBuffer | Gated, 0, sizeof(SERIAL_CHARS), GetChars},
    {IOCTL_SERIAL_SET_CHARS, NeedsBuffer | Gated, sizeof(SERIAL_CHARS), 0, SetChars},
    {IOCTL_SERIAL_GET_HANDFLOW, NeedsBuffer | Gated, 0, sizeof(SERIAL_HANDFLOW), GetHandflow},
    {IOCTL_SERIAL_SET_HANDFLOW, NeedsBuffer | Gated, sizeof(SERIAL_HANDFLOW), 0, SetHandflow},
    {IOCTL_SERIAL_GET_MODEMSTATUS, NeedsBuffer, 0, sizeof(ULONG), GetModemStatus},
    {IOCTL_SERIAL_GET_COMMSTATUS, NeedsBuffer | Gated, 0, sizeof(SERIAL_STATUS), GetCommStatus},
    {IOCTL_SERIAL_XOFF_COUNTER, 0, 0, 0, NULL},
    {IOCTL_SERIAL_GET_PROPERTIES, NeedsBuffer | Gated, 0, sizeof(SERIAL_COMMPROP), GetProperties},
    {IOCTL_SERIAL_GET_DTRRTS, Gated, 0, sizeof(ULONG), GetDtrRts},
    {IOCTL_SERIAL_LSRMST_INSERT, 0, 0, 0, NULL},
    {IOCTL_SERIAL_CONFIG_SIZE, NeedsBuffer, 0, sizeof(ULONG), GetConfigSize},
    {IOCTL_SERIAL_GET_STATS, NeedsBuffer | Gated, 0, sizeof(SERIALPERF_STATS), GetStats},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0, 0, ClearStats},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, NeedsBuffer | Gated | SerialBoost, 0, sizeof(ULONG), GetModemControl},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, NeedsBuffer | Gated | SerialBoost, sizeof(ULONG), 0, SetModemControl},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, 0, 0, 0, NULL},
    {IOCTL_RXPIPE_RESET, Gated | OwnsCompletion, 0, 0, ResetLowerPipe},
    {IOCTL_TXPIPE_RESET, Gated | OwnsCompletion, 0, 0, ResetLowerPipe},
};

const ControlEntry* FindControlEntry(ULONG Code) {
    for (const ControlEntry& entry : ControlTable) {
        if (entry.Code == Code) {
            return &entry;
        }
    }
    return NULL;
}

NTSTATUS CompleteControl(PIRP Irp, NTSTATUS Status, CCHAR Boost) {
    if (!NT_SUCCESS(Status)) {
        Irp->IoStatus.Information = 0;
    }
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, Boost);
    return Status;
}

// The private resets go down as IOCTL_PIPE_RESET on the pipe's own file object; the lower driver
// completes them and the caller sees its status and Information.
NTSTATUS ResetLowerPipe(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    PFILE_OBJECT pipe = Stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_RXPIPE_RESET
                            ? &Port->RxPipe.RxPipeFile
                            : &Port->TxPipe.TxPipeFile;
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->FileObject = pipe;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_RESET;
    return IoCallDriver(Port->LowerDeviceObject, Irp);
}

}  // namespace

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PortExtension* port = GetPortExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    Irp->IoStatus.Information = 0;

    // The immediate character makes its own checks, and either completes the request itself or
    // hands it down for the lower driver to complete: it is not touched here afterwards.
    if (code == IOCTL_SERIAL_IMMEDIATE_CHAR) {
        return ImmediateChar(DeviceObject, Irp);
    }

    const ControlEntry* entry = FindControlEntry(code);
    if (entry == NULL) {
        VCOM_TRACE(TRACE_LEVEL_INFO, "device control %#lx not supported", (unsigned long)code);
        return CompleteControl(Irp, STATUS_INVALID_DEVICE_REQUEST, IO_NO_INCREMENT);
    }
    if ((entry->Flags & NeedsBuffer) && Irp->AssociatedIrp.SystemBuffer == NULL) {
        return CompleteControl(Irp, STATUS_INVALID_PARAMETER, IO_NO_INCREMENT);
    }
    if ((entry->Flags & Gated) && PortGone(port)) {
        return CompleteControl(Irp, STATUS_DELETE_PENDING, IO_NO_INCREMENT);
    }
    if (stack->Parameters.DeviceIoControl.InputBufferLength < entry->MinInput ||
        stack->Parameters.DeviceIoControl.OutputBufferLength < entry->MinOutput) {
        return CompleteControl(Irp, STATUS_INVALID_PARAMETER, IO_NO_INCREMENT);
    }
    if (entry->Handler == NULL) {
        return CompleteControl(Irp, STATUS_SUCCESS, IO_NO_INCREMENT);
    }

    NTSTATUS status = entry->Handler(port, Irp, stack);
    if (entry->Flags & OwnsCompletion) {
        return status;
    }
    CCHAR boost = (NT_SUCCESS(status) && (entry->Flags & SerialBoost)) ? IO_SERIAL_INCREMENT : IO_NO_INCREMENT;
    return CompleteControl(Irp, status, boost);
}

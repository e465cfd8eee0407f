// Line settings, timeouts, queue sizes, properties and statistics. The records are the platform's
// serial structures, stored and returned field by field (CopySettings); validation failures store
// nothing.
#include "port.h"

static const ULONG AcceptedBaudRates[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};

static BOOLEAN IsAcceptedBaudRate(ULONG BaudRate) {
    for (ULONG rate : AcceptedBaudRates) {
        if (rate == BaudRate) {
            return TRUE;
        }
    }
    return FALSE;
}

static NTSTATUS ReturnData(PIRP Irp, const VOID* Data, ULONG Length) {
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, Data, Length);
    Irp->IoStatus.Information = Length;
    return STATUS_SUCCESS;
}

NTSTATUS SetBaudRate(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    ULONG rate = ((PSERIAL_BAUD_RATE)Irp->AssociatedIrp.SystemBuffer)->BaudRate;
    if (!Port->NoBaudCheck && !IsAcceptedBaudRate(rate)) {
        return STATUS_INVALID_PARAMETER;
    }
    // Kept even when the device refuses it: the refusal is the request's status.
    StoreSetting(&Port->BaudRate, rate);
    return ApplyLineSettings(Port->DeviceObject);
}

NTSTATUS GetBaudRate(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_BAUD_RATE rate;
    rate.BaudRate = LoadSetting(&Port->BaudRate);
    return ReturnData(Irp, &rate, sizeof(rate));
}

NTSTATUS SetLineControl(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_LINE_CONTROL line = *(PSERIAL_LINE_CONTROL)Irp->AssociatedIrp.SystemBuffer;
    if (line.StopBits != STOP_BIT_1 && line.StopBits != STOP_BITS_2) {
        return STATUS_INVALID_PARAMETER;
    }
    if (line.Parity > EVEN_PARITY) {
        return STATUS_INVALID_PARAMETER;
    }
    if (line.WordLength != 7 && line.WordLength != 8) {
        return STATUS_INVALID_PARAMETER;
    }
    CopySettings<UCHAR>(&Port->LineControl, &line);
    return ApplyLineSettings(Port->DeviceObject);
}

NTSTATUS GetLineControl(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_LINE_CONTROL line;
    CopySettings<UCHAR>(&line, &Port->LineControl);
    return ReturnData(Irp, &line, sizeof(SERIAL_LINE_CONTROL));
}

NTSTATUS SetChars(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_CHARS chars = *(PSERIAL_CHARS)Irp->AssociatedIrp.SystemBuffer;
    CopySettings<UCHAR>(&Port->SpecialChars, &chars);

    UCHAR flow[3] = {DEVCMD_FLOW_CHARS, chars.XonChar, chars.XoffChar};
    NTSTATUS status = SendDeviceCommand(Port, flow, sizeof(flow));
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_WARNING, "flow characters not taken: %#lx", (unsigned long)status);
    }
    UCHAR error[3] = {DEVCMD_ERROR_CHAR, (UCHAR)((LoadSetting(&Port->HandFlow.FlowReplace) & SERIAL_ERROR_CHAR) ? 1 : 0),
                      chars.ErrorChar};
    return SendDeviceCommand(Port, error, sizeof(error));
}

NTSTATUS GetChars(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_CHARS chars;
    CopySettings<UCHAR>(&chars, &Port->SpecialChars);
    return ReturnData(Irp, &chars, sizeof(SERIAL_CHARS));
}

NTSTATUS SetHandflow(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_HANDFLOW flow = *(PSERIAL_HANDFLOW)Irp->AssociatedIrp.SystemBuffer;
    if ((flow.ControlHandShake & SERIAL_CONTROL_INVALID) || (flow.FlowReplace & SERIAL_FLOW_INVALID)) {
        return STATUS_INVALID_PARAMETER;
    }
    // Compared as unsigned: a negative limit is refused as a huge one.
    if ((ULONG)flow.XonLimit > Port->RxQueueSize || (ULONG)flow.XoffLimit > Port->RxQueueSize) {
        return STATUS_INVALID_PARAMETER;
    }
    CopySettings<ULONG>(&Port->HandFlow, &flow);
    return ApplyLineSettings(Port->DeviceObject);
}

NTSTATUS GetHandflow(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_HANDFLOW flow;
    CopySettings<ULONG>(&flow, &Port->HandFlow);
    return ReturnData(Irp, &flow, sizeof(SERIAL_HANDFLOW));
}

static LONG DeriveReadTimeoutMode(const SERIAL_TIMEOUTS* Timeouts) {
    ULONG interval = Timeouts->ReadIntervalTimeout;
    ULONG multiplier = Timeouts->ReadTotalTimeoutMultiplier;
    ULONG constant = Timeouts->ReadTotalTimeoutConstant;
    if (interval == MAXULONG) {
        if (multiplier == 0 && constant == 0) {
            return ReadModeImmediate;
        }
        if (multiplier == MAXULONG && constant != 0 && constant != MAXULONG) {
            return ReadModeFirstByte;
        }
    }
    if (interval == 0 && multiplier == 0 && constant == 0) {
        return ReadModeNoTimeouts;
    }
    return ReadModeTotal;
}

NTSTATUS SetTimeouts(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_TIMEOUTS timeouts = *(PSERIAL_TIMEOUTS)Irp->AssociatedIrp.SystemBuffer;
    if (timeouts.ReadIntervalTimeout == MAXULONG && timeouts.ReadTotalTimeoutMultiplier == MAXULONG &&
        timeouts.ReadTotalTimeoutConstant == MAXULONG) {
        return STATUS_INVALID_PARAMETER;
    }
    LONG mode = DeriveReadTimeoutMode(&timeouts);
    // The read path takes the timeouts under the cancel spin lock, which also guards the read
    // whose total timer starts again from the new values.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    InterlockedExchange(&Port->ReadTimeoutMode, mode);
    CopySettings<ULONG>(&Port->Timeouts, &timeouts);
    StartReadTotalTimer(Port->DeviceObject);
    IoReleaseCancelSpinLock(irql);
    return STATUS_SUCCESS;
}

NTSTATUS GetTimeouts(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_TIMEOUTS timeouts;
    CopySettings<ULONG>(&timeouts, &Port->Timeouts);
    return ReturnData(Irp, &timeouts, sizeof(SERIAL_TIMEOUTS));
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SetQueueSize(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_QUEUE_SIZE sizes = *(PSERIAL_QUEUE_SIZE)Irp->AssociatedIrp.SystemBuffer;
    // Nonpaged pool is not the caller's to claim without bound.
    if (sizes.InSize > MAX_RX_QUEUE_SIZE) {
        return STATUS_INVALID_PARAMETER;
    }

    // Nothing of the reader may be outstanding while the receive buffer is replaced, nor be
    // started meanwhile by a read.
    NTSTATUS status = HoldReader(Port);
    if (!NT_SUCCESS(status)) {
        ReleaseReader(Port, FALSE);
        return status;
    }
    // The receive buffer only grows; its bytes are kept.
    NTSTATUS grown = STATUS_SUCCESS;
    if (sizes.InSize > Port->RxQueueSize) {
        grown = RingResize(&Port->RxBuffer, sizes.InSize);
    }
    Port->RxQueueSize = (ULONG)RingSize(&Port->RxBuffer);
    Port->TxQueueSize = sizes.OutSize;
    // A reader stopped for lack of room resumes if the larger buffer has room again.
    if (RingSize(&Port->RxBuffer) - RingCount(&Port->RxBuffer) > (ULONG)LoadSetting(&Port->HandFlow.XoffLimit)) {
        StoreFlag(&Port->RxHasRoom, TRUE);
    }
    status = ReleaseReader(Port, TRUE);
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_WARNING, "reader not restarted after a queue size change: %#lx", (unsigned long)status);
    }
    return grown;
}

NTSTATUS GetProperties(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_COMMPROP props;
    RtlZeroMemory(&props, sizeof(props));
    props.PacketLength = sizeof(SERIAL_COMMPROP);
    props.PacketVersion = 2;
    props.ServiceMask = SERIAL_SP_SERIALCOMM;
    props.MaxBaud = SERIAL_BAUD_115200;
    props.ProvSubType = SERIAL_SP_RS232;
    props.ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_XONXOFF |
                             SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS;
    props.SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                           SERIAL_SP_HANDSHAKING | SERIAL_SP_CARRIER_DETECT;
    props.SettableBaud = SERIAL_BAUD_600 | SERIAL_BAUD_1200 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 |
                         SERIAL_BAUD_9600 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_115200;
    props.SettableData = SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    props.SettableStopParity =
        SERIAL_STOPBITS_10 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN;
    props.CurrentTxQueue = Port->TxQueueSize;
    props.CurrentRxQueue = Port->RxQueueSize;
    return ReturnData(Irp, &props, sizeof(props));
}

NTSTATUS GetConfigSize(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Port);
    UNREFERENCED_PARAMETER(Stack);
    ULONG size = 0;
    return ReturnData(Irp, &size, sizeof(size));
}

// The counters are bumped by the data paths while they are read or cleared here: each is
// taken or cleared whole.
static const ULONG PerfCounterCount = sizeof(SERIALPERF_STATS) / sizeof(ULONG);

NTSTATUS GetStats(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    ULONG counters[PerfCounterCount];
    volatile LONG* source = (volatile LONG*)&Port->PerfStats;
    for (ULONG i = 0; i < PerfCounterCount; i++) {
        counters[i] = (ULONG)InterlockedOr(&source[i], 0);
    }
    return ReturnData(Irp, counters, sizeof(counters));
}

NTSTATUS ClearStats(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Stack);
    volatile LONG* counters = (volatile LONG*)&Port->PerfStats;
    for (ULONG i = 0; i < PerfCounterCount; i++) {
        InterlockedExchange(&counters[i], 0);
    }
    return STATUS_SUCCESS;
}

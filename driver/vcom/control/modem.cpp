// Modem lines and status: DTR, RTS and break driven through ChangeModemControl, the input lines
// as the status pipe reported them, and the communication status.
#include "port.h"

// A value other paths change by atomic operations or plain stores, read whole.
static ULONG ReadShared(volatile ULONG* Value) {
    return (ULONG)InterlockedOr((volatile LONG*)Value, 0);
}

// While the handshake owns a line the application may not drive it.
static BOOLEAN DtrIsHandshake(const PortExtension* Port) {
    return (LoadSetting(&Port->HandFlow.ControlHandShake) & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
}

static BOOLEAN RtsIsHandshake(const PortExtension* Port) {
    return (LoadSetting(&Port->HandFlow.FlowReplace) & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
}

// Variant 0 keeps the DTR and RTS changes to itself.
static NTSTATUS ChangeLine(PortExtension* Port, UCHAR Clear, UCHAR Set) {
    return ChangeModemControl(Port, Clear, Set, Port->EndPointCaps != 0);
}

NTSTATUS SetDtr(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Stack);
    return DtrIsHandshake(Port) ? STATUS_INVALID_PARAMETER : ChangeLine(Port, 0, CONTROL_LINE_DTR);
}

NTSTATUS ClrDtr(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Stack);
    return DtrIsHandshake(Port) ? STATUS_INVALID_PARAMETER : ChangeLine(Port, CONTROL_LINE_DTR, 0);
}

NTSTATUS SetRts(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Stack);
    return RtsIsHandshake(Port) ? STATUS_INVALID_PARAMETER : ChangeLine(Port, 0, CONTROL_LINE_RTS);
}

NTSTATUS ClrRts(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Stack);
    return RtsIsHandshake(Port) ? STATUS_INVALID_PARAMETER : ChangeLine(Port, CONTROL_LINE_RTS, 0);
}

// The request's bits are SERIAL_DTR_STATE and SERIAL_RTS_STATE; ModemControl's differ.
NTSTATUS SetModemControl(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    ULONG lines = *(PULONG)Irp->AssociatedIrp.SystemBuffer;
    UCHAR set = 0;
    if (lines & SERIAL_DTR_STATE) {
        set |= CONTROL_LINE_DTR;
    }
    if (lines & SERIAL_RTS_STATE) {
        set |= CONTROL_LINE_RTS;
    }
    return ChangeModemControl(Port, CONTROL_LINE_DTR | CONTROL_LINE_RTS, set, TRUE);
}

static NTSTATUS ReturnLines(PortExtension* Port, PIRP Irp) {
    // Read without the lock: a query must not wait behind a slow device command. The value is
    // one that was or is being sent.
    UCHAR control = __atomic_load_n(&Port->ModemControl, __ATOMIC_RELAXED);
    ULONG lines = 0;
    if (control & CONTROL_LINE_DTR) {
        lines |= SERIAL_DTR_STATE;
    }
    if (control & CONTROL_LINE_RTS) {
        lines |= SERIAL_RTS_STATE;
    }
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = lines;
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS GetModemControl(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    return ReturnLines(Port, Irp);
}

NTSTATUS GetDtrRts(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    return ReturnLines(Port, Irp);
}

// Only variant 2 can signal a break; the others accept the request and change nothing.
NTSTATUS SetBreakOn(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Stack);
    return Port->EndPointCaps == 2 ? ChangeModemControl(Port, 0, CONTROL_LINE_BREAK, TRUE) : STATUS_SUCCESS;
}

NTSTATUS SetBreakOff(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Irp);
    UNREFERENCED_PARAMETER(Stack);
    return Port->EndPointCaps == 2 ? ChangeModemControl(Port, CONTROL_LINE_BREAK, 0, TRUE) : STATUS_SUCCESS;
}

NTSTATUS GetModemStatus(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    *(PULONG)Irp->AssociatedIrp.SystemBuffer = ReadShared(&Port->ModemStatus);
    Irp->IoStatus.Information = sizeof(ULONG);
    return STATUS_SUCCESS;
}

NTSTATUS GetCommStatus(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack) {
    UNREFERENCED_PARAMETER(Stack);
    SERIAL_STATUS status;
    RtlZeroMemory(&status, sizeof(status));
    KIRQL irql;
    // Copied and cleared in one hold of the lock, so an error recorded in between is not lost:
    // errors are reported once.
    KeAcquireSpinLock(&Port->CommStatusLock, &irql);
    status.Errors = Port->CommStatus.Errors;
    status.HoldReasons = Port->CommStatus.HoldReasons;
    status.AmountInInQueue = 0;
    // Kept by atomic additions outside the lock.
    status.AmountInOutQueue = ReadShared(&Port->CommStatus.AmountInOutQueue);
    status.EofReceived = Port->CommStatus.EofReceived;
    status.WaitForImmediate = Port->CommStatus.WaitForImmediate;
    Port->CommStatus.Errors = 0;
    KeReleaseSpinLock(&Port->CommStatusLock, irql);

    KeAcquireSpinLock(&Port->RxBuffer.Lock, &irql);
    status.AmountInInQueue = (ULONG)Port->RxBuffer.Count;
    KeReleaseSpinLock(&Port->RxBuffer.Lock, irql);

    if (Port->TxAsync) {
        KeAcquireSpinLock(&Port->TxBuffer.Lock, &irql);
        status.AmountInOutQueue = (ULONG)(Port->TxBuffer.Count + Port->TxUnsent);
        KeReleaseSpinLock(&Port->TxBuffer.Lock, irql);
    }

    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &status, sizeof(status));
    Irp->IoStatus.Information = sizeof(status);
    return STATUS_SUCCESS;
}

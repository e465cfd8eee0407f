// Helpers shared by the transmit sources; not part of the port's interface.
#pragma once
#include "port.h"

inline ULONG WriteLength(PIRP Irp) {
    return IoGetCurrentIrpStackLocation(Irp)->Parameters.Write.Length;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
inline NTSTATUS CompleteWrite(PIRP Irp, NTSTATUS Status, ULONG_PTR Information, CCHAR Boost) {
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = Information;
    IoCompleteRequest(Irp, Boost);
    return Status;
}

inline BOOLEAN IsTxStopped(PortExtension* Port) {
    return ReadBooleanNoFence(&Port->TxStopped);
}

// The bytes waiting to be sent, under TxBuffer's lock: writes store into it on other processors.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline ULONG64 TxBufferCount(PortExtension* Port) {
    KIRQL irql;
    KeAcquireSpinLock(&Port->TxBuffer.Lock, &irql);
    ULONG64 count = Port->TxBuffer.Count + Port->TxUnsent;
    KeReleaseSpinLock(&Port->TxBuffer.Lock, irql);
    return count;
}

_IRQL_requires_max_(DISPATCH_LEVEL)
inline VOID PostTxEmpty(PortExtension* Port) {
    PostSerialEvents(Port->DeviceObject, SERIAL_EV_TXEMPTY);
    CompletePendingWait(Port->DeviceObject);
}

// Points the request's next stack location at TxPipe as an IOCTL_PIPE_WRITE of Length bytes
// taken from its system buffer.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline VOID SetPipeWrite(PortExtension* Port, PIRP Irp, ULONG Length) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    RtlZeroMemory(next, sizeof(*next));
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_PIPE_WRITE;
    next->Parameters.DeviceIoControl.InputBufferLength = Length;
    next->Parameters.DeviceIoControl.OutputBufferLength = 0;
    next->FileObject = &Port->TxPipe.TxPipeFile;
}

constexpr LONG TX_PASS_IDLE = 0;
constexpr LONG TX_PASS_CALLING = 1;
constexpr LONG TX_PASS_HANDED = 2;

// Passes a prepared transmit request down. A lower driver that completes inline runs our
// completion routine, which prepares the next request, inside this call: that request is
// handed back here and passed down by this loop, so the stack does not grow per request.
// Only one transmit request of the port is outstanding at a time, so one caller loops.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline VOID PassTransmitDown(PortExtension* Port, PIRP Irp) {
    InterlockedExchangePointer((PVOID volatile*)&Port->TxPassNext, Irp);
    if (InterlockedCompareExchange(&Port->TxPassState, TX_PASS_HANDED, TX_PASS_CALLING) == TX_PASS_CALLING) {
        return;
    }
    InterlockedExchange(&Port->TxPassState, TX_PASS_CALLING);
    for (;;) {
        IoCallDriver(Port->LowerDeviceObject, Irp);
        if (InterlockedCompareExchange(&Port->TxPassState, TX_PASS_IDLE, TX_PASS_CALLING) == TX_PASS_CALLING) {
            return;
        }
        Irp = (PIRP)InterlockedExchangePointer((PVOID volatile*)&Port->TxPassNext, NULL);
        InterlockedExchange(&Port->TxPassState, TX_PASS_CALLING);
    }
}

// The total write timeout of Length bytes as a relative due time (100 ns units, negative), or 0
// for none. Clamped rather than wrapped for absurd products.
// Under WriteQueueLock, in a run of WriteTotalDpc: the current write when this run is its
// timeout, else NULL. A run queued before its timer was cancelled, or for an earlier write,
// finds another sequence or the timer armed anew and not yet signalled.
_IRQL_requires_(DISPATCH_LEVEL)
_Requires_lock_held_(Port->WriteQueueLock)
inline PIRP TimedOutWriteLocked(PortExtension* Port) {
    PIRP irp = Port->CurrentWriteIrp;
    if (irp == NULL || Port->WriteTimerSequence != Port->WriteSequence || !KeReadStateTimer(&Port->WriteTotalTimer)) {
        return NULL;
    }
    return irp;
}

inline LONGLONG WriteTotalDue(PortExtension* Port, ULONG Length) {
    ULONG64 total = 0;
    ULONG multiplier = LoadSetting(&Port->Timeouts.WriteTotalTimeoutMultiplier);
    if (multiplier != 0) {
        total = (ULONG64)Length * multiplier;
    }
    total += LoadSetting(&Port->Timeouts.WriteTotalTimeoutConstant);
    const ULONG64 limit = 0x7FFFFFFFFFFFFFFFULL / 10000;
    if (total > limit) {
        total = limit;
    }
    return -(LONGLONG)(total * 10000);
}

// Asynchronous mode, for the shared stop path (async.cpp). Under WriteQueueLock: takes the
// current write over if its cancel routine can still be taken back, and returns it (else null).
PIRP AsyncTakeCurrentWrite(PortExtension* Port);
// Ends a write taken by AsyncTakeCurrentWrite with STATUS_CANCELLED and moves the queue on.
VOID AsyncCancelTakenWrite(PortExtension* Port, PIRP Irp);

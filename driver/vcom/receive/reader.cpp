// Bulk-in reader and status poller. Each is a loop of completion routine and timer DPC with
// exactly one read or one armed timer outstanding; a routine hands the loop on as its last use of
// the loop's state, so the transfer bookkeeping needs no lock. A completion that runs inside the
// sender's IoCallDriver hands its next step back to the sender (IssueHandOff), whose loop sends
// the next read: an inline-completing lower driver neither nests calls nor needs the timer.
#include "port.h"

static IO_COMPLETION_ROUTINE RxReadComplete;
static IO_COMPLETION_ROUTINE StatusReadComplete;
static KDEFERRED_ROUTINE RxPollRoutine;
static KDEFERRED_ROUTINE StatusPollRoutine;

// IssueHandOff states.
#define HANDOFF_IDLE 0
#define HANDOFF_CALLING 1  // the sender is in IoCallDriver
#define HANDOFF_READ 2     // the completion asks for another read
#define HANDOFF_TIMER 3    // the completion asks for the poll timer in Delay ms

// Reads one sender sends on completions handed back to it before the poll DPC takes over: a
// device that always has bytes must not hold the sender's thread (a DPC, a completion on another
// thread, an open) for as long as it streams. 16 bounds a pass to 16 transfers, 1 KiB of
// full-speed packets (tens of microseconds, within the time a DPC should take even at 4 KiB
// requests), while the DPC's cost is shared by 16 transfers rather than paid per few.
#define MAX_HANDED_READS 16

#define RETRY_AFTER_FAILURE_MS 20
// How long an open waits for the first line status.
#define INITIAL_STATUS_WAIT_MS 250
#define LEFTOVER_POLL_MS 10
#define EMPTY_READ_POLL_MS 10
#define ABORT_RETRY_MS 10
#define LEFTOVER_FIRST_POLL_MS 5

VOID InitReceivePath(PortExtension* Port) {
    PDEVICE_OBJECT device = Port->DeviceObject;
    KeInitializeDpc(&Port->RxPollDpc, RxPollRoutine, device);
    KeInitializeDpc(&Port->StatusPollDpc, StatusPollRoutine, device);
    KeInitializeEvent(&Port->ReceiveStartStopLock, SynchronizationEvent, TRUE);
    InitReadPath(Port);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID LockStartStop(PortExtension* Port) {
    PAGED_CODE();
    AcquirePassiveLock(&Port->ReceiveStartStopLock);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID UnlockStartStop(PortExtension* Port) {
    PAGED_CODE();
    ReleasePassiveLock(&Port->ReceiveStartStopLock);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID ArmTimer(PKTIMER Timer, PKDPC Dpc, ULONG Milliseconds) {
    LARGE_INTEGER due;
    due.QuadPart = -(LONGLONG)Milliseconds * 10000;
    KeSetTimer(Timer, due, Dpc);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID FreePipeRead(PIRP Irp) {
    while (PMDL mdl = Irp->MdlAddress) {
        Irp->MdlAddress = mdl->Next;
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
            MmUnlockPages(mdl);
        }
        IoFreeMdl(mdl);
    }
    IoFreeIrp(Irp);
}

// Sends one read and tells whether it went down. A read that the lower driver failed at once
// has run its completion routine, which counted it; one that was never sent has not. Nothing
// else of the loop is outstanding meanwhile, so no other completion moves the count.
// *Handed is the step the read's completion handed back during the call (HANDOFF_READ or
// HANDOFF_TIMER), else HANDOFF_IDLE: the completion has not run, and takes its step itself.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN SendPipeRead(PortExtension* Port, IssueHandOff* HandOff, volatile LONG* Completions,
                            PFILE_OBJECT PipeFile, PVOID Buffer, ULONG Length, PIO_COMPLETION_ROUTINE Routine,
                            LONG* Handed) {
    LONG before = InterlockedCompareExchange(Completions, 0, 0);
    InterlockedExchange(&HandOff->State, HANDOFF_CALLING);
    NTSTATUS status = IssuePipeRead(Port, PipeFile, Buffer, Length, Routine);
    LONG seen = InterlockedCompareExchange(&HandOff->State, HANDOFF_IDLE, HANDOFF_CALLING);
    *Handed = HANDOFF_IDLE;
    if (seen != HANDOFF_CALLING) {
        // The completion has run and left; the step is this sender's.
        InterlockedExchange(&HandOff->State, HANDOFF_IDLE);
        *Handed = seen;
    }
    if (NT_SUCCESS(status)) {
        return TRUE;
    }
    return InterlockedCompareExchange(Completions, 0, 0) != before;
}

// From a completion routine: leaves the loop's next step to a sender still in its call, and
// tells whether it did; if not, the routine takes the step itself.
_IRQL_requires_max_(DISPATCH_LEVEL)
static BOOLEAN HandBack(IssueHandOff* HandOff, LONG Step, ULONG Delay) {
    HandOff->Delay = Delay;
    return InterlockedCompareExchange(&HandOff->State, Step, HANDOFF_CALLING) == HANDOFF_CALLING;
}

// ---- bulk-in reader -------------------------------------------------------------------------

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID SignalReaderStopped(PortExtension* Port) {
    KeSetEvent(&Port->ReaderStoppedEvent, IO_NO_INCREMENT, FALSE);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID WaitForRoutines(volatile LONG* Sending) {
    PAGED_CODE();
    while (InterlockedCompareExchange(Sending, 0, 0) != 0) {
    }
}

// Stop side of the handshake, with the stop flag set: waits out a routine of the loop that
// passed its check before the flag, then ends a loop that is only waiting on its timer (a
// stop need not wait for the next poll).
_IRQL_requires_max_(PASSIVE_LEVEL)
static VOID QuiesceLoop(volatile LONG* Sending, PKTIMER Timer, PKEVENT Stopped) {
    PAGED_CODE();
    WaitForRoutines(Sending);
    if (KeCancelTimer(Timer)) {
        KeSetEvent(Stopped, IO_NO_INCREMENT, FALSE);
    }
}

// Aborts a loop's transfer and waits for the loop to stop. The transfer waits in the device
// until an abort reaches it, so an abort that could not be sent or was refused is sent again.
_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS AbortAndWait(PortExtension* Port, PFILE_OBJECT PipeFile, PKEVENT Stopped) {
    PAGED_CODE();
    while (!NT_SUCCESS(AbortPipe(Port, PipeFile))) {
        LARGE_INTEGER retry;
        retry.QuadPart = -(LONGLONG)ABORT_RETRY_MS * 10000;
        if (KeWaitForSingleObject(Stopped, Executive, KernelMode, FALSE, &retry) != STATUS_TIMEOUT) {
            return STATUS_SUCCESS;
        }
    }
    return KeWaitForSingleObject(Stopped, Executive, KernelMode, FALSE, NULL);
}

// Sends the reader's read, and the reads its completions hand back meanwhile. The status is the
// first send's: a start learns whether the reader runs.
_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS IssueRxRead(PortExtension* Port) {
    InterlockedIncrement(&Port->RxSending);
    NTSTATUS status = STATUS_SUCCESS;
    BOOLEAN ended = FALSE;
    for (ULONG reads = 0;; reads++) {
        if (LoadFlag(&Port->ReaderStopped)) {
            status = reads == 0 ? STATUS_CANCELLED : STATUS_SUCCESS;
            ended = TRUE;
            break;
        }
        if (PortGone(Port)) {
            status = reads == 0 ? STATUS_DELETE_PENDING : STATUS_SUCCESS;
            ended = TRUE;
            break;
        }
        if (reads == MAX_HANDED_READS) {
            ArmTimer(&Port->RxPollTimer, &Port->RxPollDpc, 0);
            break;
        }
        LONG handed;
        if (!SendPipeRead(Port, &Port->RxHandOff, &Port->RxReadCompletions, &Port->RxPipe.RxPipeFile,
                          Port->RxTransferBuffer, Port->RxReqSize, RxReadComplete, &handed)) {
            // A moment of low memory must not end reception: the poll timer tries again. Armed
            // before RxSending drops, so a stop finds it.
            VCOM_TRACE(TRACE_LEVEL_WARNING, "reader: read could not be sent, retrying");
            ArmTimer(&Port->RxPollTimer, &Port->RxPollDpc, RETRY_AFTER_FAILURE_MS);
            break;
        }
        if (handed == HANDOFF_TIMER) {
            ArmTimer(&Port->RxPollTimer, &Port->RxPollDpc, Port->RxHandOff.Delay);
        }
        if (handed != HANDOFF_READ) {
            break;
        }
    }
    InterlockedDecrement(&Port->RxSending);
    if (ended) {
        SignalReaderStopped(Port);
    }
    return status;
}

// The reader's next step from its completion routine: a fresh read (Read), or the poll timer in
// Delay ms. A sender still in its call takes it; else the routine does.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID ContinueReader(PortExtension* Port, BOOLEAN Read, ULONG Delay) {
    if (HandBack(&Port->RxHandOff, Read ? HANDOFF_READ : HANDOFF_TIMER, Delay)) {
        return;
    }
    if (Read) {
        IssueRxRead(Port);
    } else {
        ArmTimer(&Port->RxPollTimer, &Port->RxPollDpc, Delay);
    }
}

static BOOLEAN Contains(const UCHAR* Bytes, ULONG64 Length, UCHAR Value) {
    for (ULONG64 i = 0; i < Length; i++) {
        if (Bytes[i] == Value) {
            return TRUE;
        }
    }
    return FALSE;
}

// Stores what fits of Length bytes at Offset of RxTransferBuffer; returns the events due.
_IRQL_requires_max_(DISPATCH_LEVEL)
static ULONG StoreReceived(PortExtension* Port, ULONG64 Offset, ULONG64 Length) {
    const UCHAR* source = (const UCHAR*)Port->RxTransferBuffer + Offset;
    ULONG64 stored = RingPut(&Port->RxBuffer, source, Length);
    Port->RxLeftover -= stored;

    ULONG64 size = RingSize(&Port->RxBuffer);
    if (size - RingCount(&Port->RxBuffer) <= (ULONG)LoadSetting(&Port->HandFlow.XoffLimit)) {
        StoreFlag(&Port->RxHasRoom, FALSE);
        // A read may have drained the buffer between the count and the clear; its set of
        // RxHasRoom must not be lost, or the reader would wait for a read that never comes.
        if (RingCount(&Port->RxBuffer) <= (ULONG)LoadSetting(&Port->HandFlow.XonLimit)) {
            StoreFlag(&Port->RxHasRoom, TRUE);
        }
    }

    ULONG events = 0;
    if (stored > 0) {
        if (size != 0 && RingCount(&Port->RxBuffer) * 100 / size >= 80) {
            events |= SERIAL_EV_RX80FULL;
        }
        if (Contains(source, stored, LoadSetting(&Port->SpecialChars.EventChar))) {
            events |= SERIAL_EV_RXFLAG;
        }
    }
    return events;
}

// Stores what a transfer moved into RxBuffer (the rest stays leftover) and tells the waiters.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID DeliverReceived(PortExtension* Port, ULONG64 Received) {
    Port->RxTransferLength = Received;
    Port->RxLeftover = Received;
    ULONG events = SERIAL_EV_RXCHAR;
    if (LoadFlag(&Port->RxHasRoom)) {
        events |= StoreReceived(Port, 0, Received);
    }
    PostSerialEvents(Port->DeviceObject, events);
    ServeCurrentRead(Port);
    CompletePendingWait(Port->DeviceObject);
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID RxReadDone(PortExtension* port, PIRP Irp) {
    NTSTATUS status = Irp->IoStatus.Status;
    ULONG64 received = Irp->IoStatus.Information;
    FreePipeRead(Irp);
    InterlockedIncrement(&port->RxReadCompletions);
    InterlockedAdd((volatile LONG*)&port->PerfStats.ReceivedCount, (LONG)received);

    if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) {
        // A transfer that failed part-way still moved its first bytes off the device: they are
        // kept, and the poll routine stores any that did not fit before it reads again.
        if (received != 0) {
            DeliverReceived(port, received);
        }
        ContinueReader(port, FALSE, RETRY_AFTER_FAILURE_MS);
        return;
    }
    if (LoadFlag(&port->ReaderStopped)) {
        if (received != 0) {
            // The transfer finished as the reader was being stopped: its bytes were received
            // all the same. Store what fits; the rest stays leftover for the next start.
            DeliverReceived(port, received);
        }
        SignalReaderStopped(port);
        return;
    }
    if (received == 0) {
        ContinueReader(port, FALSE, port->RxPollPeriod ? EMPTY_READ_POLL_MS : 0);
        return;
    }

    DeliverReceived(port, received);

    if (port->RxPollPeriod != 0) {
        ContinueReader(port, FALSE, port->RxPollPeriod);
    } else if (port->RxLeftover == 0 && LoadFlag(&port->RxHasRoom)) {
        ContinueReader(port, TRUE, 0);
    } else {
        ContinueReader(port, FALSE, LEFTOVER_FIRST_POLL_MS);
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS RxReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PortExtension* port = (PortExtension*)Context;
    InterlockedIncrement(&port->RxSending);
    RxReadDone(port, Irp);
    InterlockedDecrement(&port->RxSending);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID RxPoll(PortExtension* port) {
    if (LoadFlag(&port->ReaderStopped) || PortGone(port)) {
        SignalReaderStopped(port);
        return;
    }
    if (port->RxLeftover != 0 && LoadFlag(&port->RxHasRoom)) {
        ULONG64 before = port->RxLeftover;
        ULONG events = StoreReceived(port, port->RxTransferLength - before, before);
        if (port->RxLeftover != before) {
            events |= SERIAL_EV_RXCHAR;
        }
        if (events) {
            PostSerialEvents(port->DeviceObject, events);
        }
    }
    ServeCurrentRead(port);
    CompletePendingWait(port->DeviceObject);

    if (port->RxLeftover == 0 && LoadFlag(&port->RxHasRoom)) {
        IssueRxRead(port);
    } else {
        ArmTimer(&port->RxPollTimer, &port->RxPollDpc, LEFTOVER_POLL_MS);
    }
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID RxPollRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension* port = GetPortExtension((PDEVICE_OBJECT)DeferredContext);
    InterlockedIncrement(&port->RxSending);
    RxPoll(port);
    InterlockedDecrement(&port->RxSending);
}

// Room was made (a read took bytes, a purge cleared them) while the reader may wait on its poll
// timer for room: the timer fires now rather than after its period, or every refill of a full
// RxBuffer would wait a period. Only a timer found armed is re-armed, so no second loop starts
// beside a read in flight; a stop waits for this through RxSending and then finds the timer.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID KickReader(PortExtension* Port) {
    if (Port->RxPollPeriod != 0) {
        return;  // reads are paced by the configured period
    }
    InterlockedIncrement(&Port->RxSending);
    if (KeCancelTimer(&Port->RxPollTimer)) {
        ArmTimer(&Port->RxPollTimer, &Port->RxPollDpc, 0);
    }
    InterlockedDecrement(&Port->RxSending);
}

static NTSTATUS StartReaderLocked(PortExtension* Port) {
    NTSTATUS status;
    if (!LoadFlag(&Port->ReaderStopped)) {
        status = STATUS_SUCCESS;
    } else if (!PortIsOpen(Port) || !Port->RxTransferBuffer) {
        status = STATUS_UNSUCCESSFUL;
    } else if (LoadLong(&Port->PowerState) == PowerStateOff) {
        status = STATUS_POWER_STATE_INVALID;
    } else {
        KeClearEvent(&Port->ReaderStoppedEvent);
        StoreFlag(&Port->ReaderStopped, FALSE);
        if (Port->RxLeftover != 0) {
            // Bytes of the last transfer still wait in the transfer buffer: the poll routine
            // stores them before it reads again, so a new read cannot overwrite them.
            ArmTimer(&Port->RxPollTimer, &Port->RxPollDpc, 0);
            status = STATUS_SUCCESS;
        } else {
            status = IssueRxRead(Port);
        }
    }
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartReader(PortExtension* Port) {
    PAGED_CODE();
    if (!LoadFlag(&Port->ReaderStopped)) {
        return STATUS_SUCCESS;
    }
    LockStartStop(Port);
    NTSTATUS status = StartReaderLocked(Port);
    UnlockStartStop(Port);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
static NTSTATUS StopReaderLocked(PortExtension* Port) {
    PAGED_CODE();
    if (LoadFlag(&Port->ReaderStopped)) {
        return STATUS_SUCCESS;
    }
    StoreFlag(&Port->ReaderStopped, TRUE);
    QuiesceLoop(&Port->RxSending, &Port->RxPollTimer, &Port->ReaderStoppedEvent);
    NTSTATUS status = AbortAndWait(Port, &Port->RxPipe.RxPipeFile, &Port->ReaderStoppedEvent);
    // The routine that signalled may still be on its way out.
    WaitForRoutines(&Port->RxSending);
    ResetPipe(Port, &Port->RxPipe.RxPipeFile);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StopReader(PortExtension* Port) {
    PAGED_CODE();
    LockStartStop(Port);
    NTSTATUS status = StopReaderLocked(Port);
    UnlockStartStop(Port);
    return status;
}

// ---- status poller --------------------------------------------------------------------------

ULONG DecodeStatusByte(UCHAR StatusByte) {
    ULONG status = 0;
    if (StatusByte & 0x01) status |= SERIAL_CTS_STATE;
    if (StatusByte & 0x02) status |= SERIAL_DSR_STATE;
    if (StatusByte & 0x04) status |= SERIAL_DCD_STATE;
    if (StatusByte & 0x08) status |= SERIAL_RI_STATE;
    return status;
}

// The change step: the new line state, and an event for each input line that moved.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID ChangeModemStatus(PortExtension* Port) {
    ULONG old = __atomic_load_n(&Port->ModemStatus, __ATOMIC_RELAXED);
    ULONG now = DecodeStatusByte(Port->StatusByte);
    __atomic_store_n(&Port->ModemStatus, now, __ATOMIC_RELAXED);
    ULONG changed = old ^ now;
    ULONG events = 0;
    if (changed & SERIAL_CTS_STATE) events |= SERIAL_EV_CTS;
    if (changed & SERIAL_DSR_STATE) events |= SERIAL_EV_DSR;
    if (changed & SERIAL_DCD_STATE) events |= SERIAL_EV_RLSD;
    if (changed & SERIAL_RI_STATE) events |= SERIAL_EV_RING;
    if (events) {
        PostSerialEvents(Port->DeviceObject, events);
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID SignalStatusPollStopped(PortExtension* Port) {
    KeSetEvent(&Port->StatusPollStoppedEvent, IO_NO_INCREMENT, FALSE);
}

// Sends the status read, and the reads its completions hand back meanwhile. Called with
// StatusSending raised and the poller found running, so a stop finds the timer this arms.
_IRQL_requires_max_(DISPATCH_LEVEL)
static VOID IssueStatusRead(PortExtension* Port) {
    for (ULONG reads = 0;; reads++) {
        if (reads == MAX_HANDED_READS) {
            ArmTimer(&Port->StatusPollTimer, &Port->StatusPollDpc, 0);
            return;
        }
        LONG handed;
        if (!SendPipeRead(Port, &Port->StatusHandOff, &Port->StatusReadCompletions,
                          &Port->StatusPipe.StatusPipeFile, &Port->StatusByte, 1, StatusReadComplete, &handed)) {
            VCOM_TRACE(TRACE_LEVEL_WARNING, "status poller: read could not be sent, retrying");
            ArmTimer(&Port->StatusPollTimer, &Port->StatusPollDpc, RETRY_AFTER_FAILURE_MS);
            return;
        }
        if (handed == HANDOFF_TIMER) {
            ArmTimer(&Port->StatusPollTimer, &Port->StatusPollDpc, Port->StatusHandOff.Delay);
        }
        if (handed != HANDOFF_READ) {
            return;
        }
        if (LoadFlag(&Port->StatusPollStopped) || PortGone(Port)) {
            SignalStatusPollStopped(Port);
            return;
        }
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS ScheduleStatusPoll(PortExtension* Port, LONG Period, BOOLEAN FromCompletion) {
    if (Period < 0) {
        return STATUS_SUCCESS;
    }
    InterlockedIncrement(&Port->StatusSending);
    NTSTATUS status = STATUS_SUCCESS;
    if (LoadFlag(&Port->StatusPollStopped)) {
        status = STATUS_CANCELLED;
    } else if (PortGone(Port)) {
        status = STATUS_DELETE_PENDING;
    } else if (FromCompletion && HandBack(&Port->StatusHandOff, Period != 0 ? HANDOFF_TIMER : HANDOFF_READ,
                                          (ULONG)Period)) {
        // The sender still in its call takes the step.
    } else if (Period != 0) {
        ArmTimer(&Port->StatusPollTimer, &Port->StatusPollDpc, (ULONG)Period);
    } else {
        IssueStatusRead(Port);
    }
    InterlockedDecrement(&Port->StatusSending);
    if (!NT_SUCCESS(status)) {
        SignalStatusPollStopped(Port);
    }
    return status;
}

_IRQL_requires_(DISPATCH_LEVEL)
static VOID StatusPollRoutine(PKDPC Dpc, PVOID DeferredContext, PVOID SystemArgument1, PVOID SystemArgument2) {
    UNREFERENCED_PARAMETER(Dpc);
    UNREFERENCED_PARAMETER(SystemArgument1);
    UNREFERENCED_PARAMETER(SystemArgument2);
    PortExtension* port = GetPortExtension((PDEVICE_OBJECT)DeferredContext);
    InterlockedIncrement(&port->StatusSending);
    BOOLEAN stop = LoadFlag(&port->StatusPollStopped) || PortGone(port);
    if (!stop) {
        IssueStatusRead(port);
    }
    InterlockedDecrement(&port->StatusSending);
    if (stop) {
        SignalStatusPollStopped(port);
    }
}

_IRQL_requires_max_(DISPATCH_LEVEL)
static NTSTATUS StatusReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    UNREFERENCED_PARAMETER(DeviceObject);
    PortExtension* port = (PortExtension*)Context;
    InterlockedIncrement(&port->StatusSending);
    NTSTATUS status = Irp->IoStatus.Status;
    ULONG_PTR received = Irp->IoStatus.Information;
    FreePipeRead(Irp);
    InterlockedIncrement(&port->StatusReadCompletions);

    if (!NT_SUCCESS(status) && status != STATUS_CANCELLED) {
        ScheduleStatusPoll(port, RETRY_AFTER_FAILURE_MS, TRUE);
    } else {
        if (received != 0) {
            ChangeModemStatus(port);
            CompletePendingWait(port->DeviceObject);
        }
        ScheduleStatusPoll(port, port->CtlPollPeriod, TRUE);
    }
    InterlockedDecrement(&port->StatusSending);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReadInitialStatus(PortExtension* Port) {
    PAGED_CODE();
    if (Port->CtlPollPeriod < 0) {
        Port->StatusByte = 7;
        __atomic_store_n(&Port->ModemStatus, DecodeStatusByte(7), __ATOMIC_RELAXED);
        return STATUS_SUCCESS;
    }
    KEVENT done;
    IO_STATUS_BLOCK iosb;
    LARGE_INTEGER offset;
    offset.QuadPart = 0;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    iosb.Status = STATUS_SUCCESS;
    iosb.Information = 0;
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_READ, Port->LowerDeviceObject, &Port->StatusByte, 1,
                                            &offset, &done, &iosb);
    if (!irp) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IoGetNextIrpStackLocation(irp)->FileObject = &Port->StatusPipe.StatusPipeFile;
    NTSTATUS status = IoCallDriver(Port->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        // A device that answers only when the lines change has nothing to say when they have
        // not changed since its last answer: that answer still holds, and the open goes on.
        LARGE_INTEGER timeout;
        timeout.QuadPart = -(LONGLONG)INITIAL_STATUS_WAIT_MS * 10000;
        BOOLEAN unanswered = FALSE;
        if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
            IoCancelIrp(irp);
            KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
            unanswered = iosb.Status == STATUS_CANCELLED;
        }
        status = unanswered ? STATUS_SUCCESS : iosb.Status;
    }
    if (NT_SUCCESS(status)) {
        __atomic_store_n(&Port->ModemStatus, DecodeStatusByte(Port->StatusByte), __ATOMIC_RELAXED);
    } else {
        VCOM_TRACE(TRACE_LEVEL_WARNING, "no initial line status: %#lx", (unsigned long)status);
    }
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StartStatusPoller(PortExtension* Port) {
    PAGED_CODE();
    LockStartStop(Port);
    NTSTATUS status;
    if (!LoadFlag(&Port->StatusPollStopped)) {
        status = STATUS_SUCCESS;
    } else if (!PortIsOpen(Port)) {
        status = STATUS_UNSUCCESSFUL;
    } else if (LoadLong(&Port->PowerState) == PowerStateOff) {
        status = STATUS_POWER_STATE_INVALID;
    } else {
        KeClearEvent(&Port->StatusPollStoppedEvent);
        StoreFlag(&Port->StatusPollStopped, FALSE);
        if (Port->CtlPollPeriod < 0) {
            SignalStatusPollStopped(Port);
            status = STATUS_SUCCESS;
        } else {
            status = ScheduleStatusPoll(Port, Port->CtlPollPeriod, FALSE);
        }
    }
    UnlockStartStop(Port);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS HoldReader(PortExtension* Port) {
    PAGED_CODE();
    LockStartStop(Port);
    return StopReaderLocked(Port);
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ReleaseReader(PortExtension* Port, BOOLEAN Restart) {
    PAGED_CODE();
    NTSTATUS status = Restart ? StartReaderLocked(Port) : STATUS_SUCCESS;
    UnlockStartStop(Port);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS StopReceiveSide(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    LockStartStop(port);
    StopReaderLocked(port);
    if (port->CtlPollPeriod >= 0 && !LoadFlag(&port->StatusPollStopped)) {
        StoreFlag(&port->StatusPollStopped, TRUE);
        QuiesceLoop(&port->StatusSending, &port->StatusPollTimer, &port->StatusPollStoppedEvent);
        AbortAndWait(port, &port->StatusPipe.StatusPipeFile, &port->StatusPollStoppedEvent);
        WaitForRoutines(&port->StatusSending);
        ResetPipe(port, &port->StatusPipe.StatusPipeFile);
    }
    UnlockStartStop(port);
    return STATUS_SUCCESS;
}

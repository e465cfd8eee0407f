// The port's device extension and the records it embeds.
#pragma once
#include "platform.h"
#include "ring.h"
#include "trace.h"

#ifndef STATUS_DEVICE_CONFIGURATION_ERROR
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#endif

#define FILTER_POOL_TAG VCOM_POOL_TAG('f', 'i', 'l', 't')  // registry path copy, value queries
#define INIT_POOL_TAG   VCOM_POOL_TAG('i', 'n', 'i', 't')  // device name, link name, port-name query
#define CREATE_POOL_TAG VCOM_POOL_TAG('c', 'r', 'e', 'a')  // receive transfer buffer
#define REMOVE_LOCK_TAG VCOM_POOL_TAG('V', 'R', 'C', 'M')

// Device variants selected by "EndPointCaps"; each has its own device-command encodings.
#define ENDPOINT_CAPS_COUNT 4

#define PIPE_NAME_CHARS 10
// Largest receive buffer SetupComm may ask for: over a minute of data at the fastest rate.
#define MAX_RX_QUEUE_SIZE (1024 * 1024)
#define TX_STAGING_SIZE 4096

enum PnpStateValue : LONG {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    Stopped = 3,
    RemovePending = 4,
    SurpriseRemovedState = 5,
    RemovedState = 6,
};

// Where the port is between open and close. Only an open port starts transfers; after the
// cleanup of its handle nothing new is accepted until the close.
enum OpenStateValue : LONG {
    PortClosed = 0,
    PortOpen = 1,
    PortCleanedUp = 2,
};

enum PowerStateValue : LONG {
    PowerStateNone = 0,
    PowerStateOn = 1,
    PowerStateOff = 2,
};

enum ReadTimeoutModeValue : LONG {
    ReadModeNoTimeouts = -1,
    ReadModeTotal = 0,
    ReadModeImmediate = 1,
    ReadModeFirstByte = 2,
};

// Pipes of the lower driver, each addressed by a file object of this driver's own making whose
// FileName points at the record's name. The packet sizes are set at every open.
struct TxPipeRecord {
    WCHAR Name[PIPE_NAME_CHARS];  // "\PIPE00", NUL-terminated
    FILE_OBJECT TxPipeFile;
    ULONG TxMaxPacketSize;
};
struct RxPipeRecord {
    WCHAR Name[PIPE_NAME_CHARS];  // "\PIPE01"
    FILE_OBJECT RxPipeFile;
    ULONG RxMaxPacketSize;
};
// Between a loop's routine that sends its read and that read's completion routine (reader.cpp).
// A lower driver may complete inline, inside the sender's IoCallDriver: the completion then leaves
// its next step (another read, or the poll timer in Delay ms) in State for the sender's loop to
// take, rather than calling down or arming the timer from inside the call. So the stack does not
// grow per transfer, and nothing of the loop starts elsewhere while the sender still owns State.
struct IssueHandOff {
    volatile LONG State;
    ULONG Delay;
};
struct StatusPipeRecord {
    WCHAR Name[PIPE_NAME_CHARS];  // "\PIPE02", only when EndPointCaps is not 0
    FILE_OBJECT StatusPipeFile;
    ULONG StatusMaxPacketSize;    // never set or read
};

struct PortExtension {
    // Identity and Plug and Play
    PDEVICE_OBJECT DeviceObject;
    LONG PnpState;
    LONG PreviousPnpState;
    BOOLEAN Removed;
    BOOLEAN SurpriseRemoved;
    IO_REMOVE_LOCK RemoveLock;
    PDEVICE_OBJECT PhysicalDeviceObject;
    UNICODE_STRING DeviceName;
    UNICODE_STRING SymbolicLinkName;
    UNICODE_STRING InterfaceName;

    // Open state and capabilities. Open, cleanup, close and the power transitions run one at a
    // time under PortStateLock; OpenState changes only under it.
    volatile LONG OpenCount;
    volatile LONG OpenState;
    PFILE_OBJECT OpenFile;  // the opener's file object
    BOOLEAN PipesOpen;      // from the open's pipe creates to the close's pipe closes
    KEVENT PortStateLock;
    ULONG EndPointCaps;

    // Receive side
    RingBuffer RxBuffer;
    BOOLEAN RxHasRoom;
    ULONG RxReqSize;
    KDEVICE_QUEUE ReadQueue;
    PIRP CurrentReadIrp;
    RxPipeRecord RxPipe;
    PVOID RxTransferBuffer;
    BOOLEAN ReaderStopped;
    KEVENT ReaderStoppedEvent;
    ULONG64 RxTransferLength;
    ULONG64 RxLeftover;
    KTIMER RxPollTimer;
    KDPC RxPollDpc;
    ULONG RxPollPeriod;
    // Serialises StartReader, StopReader and the poller's start and stop, so a start cannot
    // slip into a stop in progress. A passive lock (AcquirePassiveLock).
    KEVENT ReceiveStartStopLock;
    // Completions of reader reads: a failed send tells a read that never went down from one
    // whose completion routine has already run by whether this moved.
    volatile LONG RxReadCompletions;
    // A completion that runs while the reader's read is still being sent hands the loop's next
    // step back to the sender (IssueHandOff).
    IssueHandOff RxHandOff;
    // Non-zero while a routine of the loop runs (between a stop-flag check and the read or
    // timer it leads to); a stop waits for it, then the abort or the timer cancel catches
    // whatever the loop has outstanding.
    volatile LONG RxSending;
    // The read timers are armed for the current read and not cancelled since (cancel spin
    // lock): a DPC of an earlier arming finds its timer cancelled or re-armed and does nothing.
    BOOLEAN ReadTotalTimerArmed;
    BOOLEAN ReadIntervalTimerArmed;

    // Status pipe
    StatusPipeRecord StatusPipe;
    UCHAR StatusByte;
    BOOLEAN StatusPollStopped;
    KEVENT StatusPollStoppedEvent;
    KTIMER StatusPollTimer;
    KDPC StatusPollDpc;
    LONG CtlPollPeriod;
    // As RxReadCompletions and RxHandOff, for the status reads.
    volatile LONG StatusReadCompletions;
    IssueHandOff StatusHandOff;
    volatile LONG StatusSending;

    // Transmit side
    TxPipeRecord TxPipe;
    UCHAR TxStagingBuffer[TX_STAGING_SIZE];
    // Asynchronous mode: the length of the transfer in flight (transmitter owner only), and the
    // bytes a power-down cut from it, kept at the head of TxStagingBuffer to go first at D0
    // (under TxBuffer.Lock: they count as waiting in TxBuffer).
    ULONG TxTransferLength;
    ULONG TxUnsent;
    ULONG TxKickThreshold;
    KTIMER WriteTotalTimer;
    KDPC WriteTotalDpc;
    BOOLEAN TxStopped;
    KEVENT TxIdleEvent;
    ULONG TxAsync;
    ULONG TxAllowNullPacket;
    PIRP CurrentWriteIrp;
    ULONG64 BytesWritten;
    volatile LONG WriteState;
    LIST_ENTRY WriteQueue;
    KSPIN_LOCK WriteQueueLock;
    volatile LONG CancelClaim;
    volatile LONG TxBusy;
    // Passing transmit requests down (both modes, one request at a time): TX_PASS_IDLE, or a
    // call in progress, or one in progress with the next request handed to it (TxPassNext).
    volatile LONG TxPassState;
    PIRP volatile TxPassNext;
    // Ties a run of WriteTotalDpc to the write its timer was set for: WriteSequence advances
    // each time a write becomes current, WriteTimerSequence is the value the timer was armed
    // with. Both under WriteQueueLock.
    ULONG WriteSequence;
    ULONG WriteTimerSequence;

    // Power
    LONG PowerState;

    // Transmit buffer
    RingBuffer TxBuffer;
    PUCHAR WriteSource;
    ULONG64 WriteCopied;

    // Serial control
    KSPIN_LOCK WaitLock;
    PIRP PendingWaitIrp;
    ULONG WaitMask;
    ULONG EventHistory;
    UCHAR ModemControl;
    ULONG ModemStatus;
    SERIALPERF_STATS PerfStats;
    ULONG RxQueueSize;
    ULONG TxQueueSize;
    ULONG BaudRate;
    SERIAL_TIMEOUTS Timeouts;
    LONG ReadTimeoutMode;
    KTIMER ReadTotalTimer;
    KDPC ReadTotalDpc;
    KTIMER ReadIntervalTimer;
    KDPC ReadIntervalDpc;
    SERIAL_LINE_CONTROL LineControl;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_STATUS CommStatus;
    KSPIN_LOCK CommStatusLock;

    // Lower driver
    PDEVICE_OBJECT LowerDeviceObject;

    // Asynchronous transmit timing
    KTIMER TxKickTimer;
    KDPC TxKickDpc;
    LONG64 TxKickDelay;

    // Baud check switch
    ULONG NoBaudCheck;

    // Serialises the read-modify-write of ModemControl together with the command that carries
    // it, so concurrent line changes are neither lost nor sent out of date. A passive lock
    // (AcquirePassiveLock): the holder waits for the command at PASSIVE_LEVEL.
    KEVENT ModemControlLock;
};

inline PortExtension* GetPortExtension(PDEVICE_OBJECT DeviceObject) {
    return (PortExtension*)DeviceObject->DeviceExtension;
}

// Driver-wide state.
extern UNICODE_STRING RegistryPathCopy;

// Driver frame
extern "C" DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD DriverUnload;
DRIVER_DISPATCH DispatchDefault;
DRIVER_DISPATCH DispatchReadWrite;
DRIVER_DISPATCH DispatchFlush;
DRIVER_DISPATCH DispatchCleanup;

// Extension and registry configuration
NTSTATUS InitPortExtension(PDEVICE_OBJECT DeviceObject, ULONG EndPointCaps);
NTSTATUS ReadRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Result);

// Device creation and naming
DRIVER_ADD_DEVICE AddDevice;
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                          PDEVICE_OBJECT* DeviceObject);
NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadPortNameValue(HANDLE Key, PWCHAR PortName);
VOID RemovePortName(PortExtension* Port);
VOID DisablePortInterface(PortExtension* Port);
NTSTATUS FormatUnicodeString(PUNICODE_STRING Destination, PCWSTR Format, ...);

#define PORT_NAME_CHARS 128           // longest port name
#define PORT_NAME_VALUE_MAX_BYTES 256 // longest "PortName" data accepted
#define LINK_NAME_BYTES 256

// Plug and Play
DRIVER_DISPATCH DispatchPnp;
IO_COMPLETION_ROUTINE StartCompletion;
NTSTATUS RemovePortDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS TeardownPort(PDEVICE_OBJECT DeviceObject);

// Power (pnp/power.cpp)
DRIVER_DISPATCH DispatchPower;
// The port's side of a power-down or PnP stop (reader, status poller, transmitter stop) and of
// the D0 or restart after it (they start again if the port is open).
VOID StopPortActivity(PortExtension* Port);
VOID RestartPortActivity(PDEVICE_OBJECT DeviceObject);

// Lower driver requests (link/lower.cpp). The synchronous ones run at PASSIVE_LEVEL and wait
// without time-out.
constexpr ULONG IOCTL_PIPE_RESET = 0x222008;
constexpr ULONG IOCTL_DEVICE_COMMAND = 0x22201c;
constexpr ULONG IOCTL_PIPE_ABORT = 0x222020;
constexpr ULONG IOCTL_PIPE_GET_INFO = 0x222028;
constexpr ULONG IOCTL_PIPE_WRITE = 0x222040;
constexpr ULONG DEFAULT_PACKET_SIZE = 64;  // when a pipe reports 0 or cannot be asked

NTSTATUS OpenPipe(PortExtension* Port, PFILE_OBJECT PipeFile);
NTSTATUS ClosePipe(PortExtension* Port, PFILE_OBJECT PipeFile);
NTSTATUS AbortPipe(PortExtension* Port, PFILE_OBJECT PipeFile);
NTSTATUS ResetPipe(PortExtension* Port, PFILE_OBJECT PipeFile);
NTSTATUS QueryPipeInfo(PortExtension* Port, PFILE_OBJECT PipeFile, PULONG MaxPacketSize);
NTSTATUS SendDeviceCommand(PortExtension* Port, PUCHAR Command, ULONG Length);
// Asynchronous: the completion routine gets the port as context, unlocks and frees the MDL,
// frees the IRP and returns STATUS_MORE_PROCESSING_REQUIRED. Returns what IofCallDriver returns.
_IRQL_requires_max_(DISPATCH_LEVEL)
NTSTATUS IssuePipeRead(PortExtension* Port, PFILE_OBJECT PipeFile, PVOID Buffer, ULONG Length,
                       PIO_COMPLETION_ROUTINE CompletionRoutine);

// Device commands (control/commands.cpp): byte 0 the code, bytes 1 and 2 its parameters.
#define DEVCMD_LINE_SETTINGS 0x00
#define DEVCMD_CONTROL_LINES 0x01
#define DEVCMD_FLOW_CHARS    0x02
#define DEVCMD_PORT_ENABLE   0x03
#define DEVCMD_ERROR_CHAR    0x04

#define CONTROL_LINE_RTS   0x01
#define CONTROL_LINE_DTR   0x02
#define CONTROL_LINE_BREAK 0x04

NTSTATUS ApplyLineSettings(PDEVICE_OBJECT DeviceObject);
// The one way ModemControl changes: new = (old & ~Clear) | Set, under ModemControlLock, and when
// Send is set the new value is sent as DEVCMD_CONTROL_LINES before the lock is released. Returns
// the command's status (STATUS_SUCCESS when nothing is sent).
NTSTATUS ChangeModemControl(PortExtension* Port, UCHAR Clear, UCHAR Set, BOOLEAN Send);
// The set-up that open and power-up send: port enable, then DTR and RTS on.
NTSTATUS SendPortSetup(PortExtension* Port);

// Port open and close (link/open.cpp)
DRIVER_DISPATCH DispatchCreateClose;
NTSTATUS OpenPort(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ClosePort(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID FreeRxBuffer(PortExtension* Port);
VOID ClearTxBuffer(PortExtension* Port);
VOID CancelPendingWait(PortExtension* Port);

// ---- Receive path: reader, status poller (receive/reader.cpp), reads (receive/read.cpp) ----
// At add-device: the DPCs of the receive timers and the start/stop lock.
VOID InitReceivePath(PortExtension* Port);
VOID InitReadPath(PortExtension* Port);
// The reader keeps one read of RxReqSize bytes on RxPipe (or one armed RxPollTimer) outstanding
// and stops reading while RxBuffer is nearly full. Start and stop run at PASSIVE_LEVEL; the
// stops return when nothing of the loop is outstanding.
NTSTATUS StartReader(PortExtension* Port);
NTSTATUS StopReader(PortExtension* Port);
// Stops the reader and keeps it stopped until ReleaseReader, against the start a read makes:
// for what must change while nothing of the reader runs (a purge, a new receive buffer). The
// start/stop lock is held in between, whatever HoldReader returns.
NTSTATUS HoldReader(PortExtension* Port);
NTSTATUS ReleaseReader(PortExtension* Port, BOOLEAN Restart);
VOID KickReader(PortExtension* Port);
NTSTATUS StopReceiveSide(PDEVICE_OBJECT DeviceObject);
NTSTATUS ReadInitialStatus(PortExtension* Port);
NTSTATUS StartStatusPoller(PortExtension* Port);
// Status byte (CTS 0x01, DSR 0x02, DCD 0x04, RI 0x08) to SERIAL_*_STATE bits.
ULONG DecodeStatusByte(UCHAR StatusByte);

DRIVER_DISPATCH DispatchRead;
// Moves held bytes into the current read and completes it when due; takes the cancel spin lock.
NTSTATUS ServeCurrentRead(PortExtension* Port);
// Re-arms the current read's total timer from the timeouts; caller holds the cancel spin lock.
VOID StartReadTotalTimer(PDEVICE_OBJECT DeviceObject);
// Completes the current and every waiting read with STATUS_CANCELLED.
VOID CancelReads(PortExtension* Port);

// Plain bytes and words that other processors write without a common lock. Sequentially
// consistent: a stop flag and the sending count are a store-then-load handshake.
inline BOOLEAN LoadFlag(const BOOLEAN* Flag) { return __atomic_load_n(Flag, __ATOMIC_SEQ_CST); }
inline VOID StoreFlag(BOOLEAN* Flag, BOOLEAN Value) { __atomic_store_n(Flag, Value, __ATOMIC_SEQ_CST); }
inline LONG LoadLong(const LONG* Value) { return __atomic_load_n(Value, __ATOMIC_ACQUIRE); }
// Settings records (handflow, characters, timeouts) that a device control replaces while other
// paths read their fields without a common lock: every access is a single access per field, so
// a reader sees each field whole, old or new.
template <class T> inline T LoadSetting(const T* Field) { return __atomic_load_n(Field, __ATOMIC_RELAXED); }
template <class T> inline VOID StoreSetting(T* Field, T Value) { __atomic_store_n(Field, Value, __ATOMIC_RELAXED); }
template <class Field, class Record> inline VOID CopySettings(Record* To, const Record* From) {
    static_assert(sizeof(Record) % sizeof(Field) == 0, "a record of whole fields");
    Field* to = (Field*)To;
    const Field* from = (const Field*)From;
    for (ULONG i = 0; i < sizeof(Record) / sizeof(Field); i++) {
        __atomic_store_n(&to[i], __atomic_load_n(&from[i], __ATOMIC_RELAXED), __ATOMIC_RELAXED);
    }
}
inline BOOLEAN PortIsOpen(const PortExtension* Port) {
    return __atomic_load_n(&Port->OpenState, __ATOMIC_ACQUIRE) == PortOpen;
}
// Synchronization events used as mutexes at PASSIVE_LEVEL, held inside a critical region: a
// holder suspended by a kernel APC would block every path that waits for the lock.
_IRQL_requires_max_(APC_LEVEL)
inline VOID AcquirePassiveLock(PKEVENT Lock) {
    KeEnterCriticalRegion();
    KeWaitForSingleObject(Lock, Executive, KernelMode, FALSE, NULL);
}
_IRQL_requires_max_(APC_LEVEL)
inline VOID ReleasePassiveLock(PKEVENT Lock) {
    KeSetEvent(Lock, IO_NO_INCREMENT, FALSE);
    KeLeaveCriticalRegion();
}
inline BOOLEAN PortGone(const PortExtension* Port) {
    return LoadFlag(&Port->Removed) || LoadFlag(&Port->SurpriseRemoved);
}

// ---- Transmit path (transmit/) ----
// Writes (sync.cpp when TxAsync is 0, async.cpp otherwise). Both return what the write's
// handling returns: STATUS_PENDING for a write kept, else the status it was completed with.
NTSTATUS SyncWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS AsyncWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID InitSyncTransmit(PortExtension* Port);
VOID InitAsyncTransmit(PortExtension* Port);
// Both modes, PASSIVE_LEVEL: cancels every write, aborts TxPipe and returns, with the reset's
// status, only when no transfer of the port is outstanding. Leaves TxStopped set.
NTSTATUS StopTransmit(PortExtension* Port);
VOID ResumeTransmit(PortExtension* Port);
VOID CancelAllWrites(PortExtension* Port);
// Starts a transfer of what TxBuffer holds unless one is in flight (asynchronous mode).
NTSTATUS StartTransfer(PortExtension* Port);
// Deferred routine of TxKickDpc, context the PortExtension.
KDEFERRED_ROUTINE TxKickRoutine;
// IOCTL_SERIAL_IMMEDIATE_CHAR (immediate.cpp). Completes the request itself when it refuses
// it (STATUS_INVALID_PARAMETER); otherwise hands it down and returns STATUS_PENDING, and the
// lower driver completes it. Either way the caller must not touch the request afterwards.
NTSTATUS ImmediateChar(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// AmountInOutQueue is changed by atomic addition only, never under CommStatusLock.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline ULONG AddAmountInOutQueue(PortExtension* Port, LONG Delta) {
    return (ULONG)InterlockedAdd((volatile LONG*)&Port->CommStatus.AmountInOutQueue, Delta);
}

// ---- Serial control: dispatcher and handlers (control/) ----
// Events: EventHistory |= Events under WaitLock; then completes the pending wait if its mask
// and the history meet. Both callable at DISPATCH_LEVEL or below.
VOID PostSerialEvents(PDEVICE_OBJECT DeviceObject, ULONG Events);
VOID CompletePendingWait(PDEVICE_OBJECT DeviceObject);

// The port's own device-control codes: resets of the receive and transmit pipes, passed down.
#define IOCTL_RXPIPE_RESET CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xC8, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TXPIPE_RESET CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xC9, METHOD_BUFFERED, FILE_ANY_ACCESS)

DRIVER_DISPATCH DispatchDeviceControl;

// A handler runs after the dispatcher checked the buffer, the removal gate and the minimum
// lengths. It returns the request's status and sets Information for data it returns; the
// dispatcher completes the request unless the handler owns its completion (wait on mask, the
// private pipe resets).
typedef NTSTATUS ControlHandler(PortExtension* Port, PIRP Irp, PIO_STACK_LOCATION Stack);

// Line settings (control/settings.cpp)
ControlHandler SetBaudRate, GetBaudRate, SetLineControl, GetLineControl, SetChars, GetChars;
ControlHandler SetHandflow, GetHandflow, SetTimeouts, GetTimeouts, SetQueueSize;
ControlHandler GetProperties, GetConfigSize, GetStats, ClearStats;

// Events and purge (control/events.cpp). WaitOnMask completes or pends the request itself.
ControlHandler SetWaitMask, GetWaitMask, WaitOnMask, Purge;
DRIVER_CANCEL WaitOnMaskCancel;

// Modem lines and status (control/modem.cpp)
ControlHandler SetDtr, ClrDtr, SetRts, ClrRts, SetModemControl, GetModemControl, GetDtrRts;
ControlHandler SetBreakOn, SetBreakOff, GetModemStatus, GetCommStatus;

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

enum PowerStateValue : LONG {
    PowerStateNone = 0,
    PowerStateOn = 1,
    PowerStateOff = 2,
};

enum ReadTimeoutModeValue : LONG {
    ReadModeImmediate = 1,
};

// A pipe of the lower driver, addressed by a file object of this driver's own making.
struct PipeRecord {
    WCHAR Name[PIPE_NAME_CHARS];  // NUL-terminated; File.FileName points here
    FILE_OBJECT File;
    ULONG MaxPacketSize;
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

    // Open state and capabilities
    volatile LONG OpenCount;
    ULONG EndPointCaps;

    // Receive side
    RingBuffer RxBuffer;
    BOOLEAN RxHasRoom;
    ULONG RxReqSize;
    KDEVICE_QUEUE ReadQueue;
    PIRP CurrentReadIrp;
    PipeRecord RxPipe;
    PVOID RxTransferBuffer;
    BOOLEAN ReaderStopped;
    KEVENT ReaderStoppedEvent;
    ULONG64 RxTransferLength;
    ULONG64 RxLeftover;
    KTIMER RxPollTimer;
    KDPC RxPollDpc;
    ULONG RxPollPeriod;

    // Status pipe
    PipeRecord StatusPipe;
    UCHAR StatusByte;
    BOOLEAN StatusPollStopped;
    KEVENT StatusPollStoppedEvent;
    KTIMER StatusPollTimer;
    KDPC StatusPollDpc;
    LONG CtlPollPeriod;

    // Transmit side
    PipeRecord TxPipe;
    UCHAR TxStagingBuffer[TX_STAGING_SIZE];
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

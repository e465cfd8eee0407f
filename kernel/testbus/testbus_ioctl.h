// The test bus driver's private interface, shared by the driver and the Win32 test programs.
// The bus creates \\.\VcomTestBus; IOCTL_TESTBUS_GET_COMMANDS with the port's number (ULONG: 0 the
// synchronous port, 1 the asynchronous one) as input returns the device commands that port's
// device received, oldest first, as TESTBUS_COMMAND records (as many as fit the output buffer;
// the oldest are kept when the log is full).
#pragma once

#define TESTBUS_DEVICE_NAME L"\\Device\\VcomTestBus"
#define TESTBUS_LINK_NAME L"\\DosDevices\\VcomTestBus"
#define TESTBUS_WIN32_PATH "\\\\.\\VcomTestBus"

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_TESTBUS_GET_COMMANDS 0x222404u

#define TESTBUS_PORT_COUNT 2

typedef struct TESTBUS_COMMAND {
    unsigned char Length;  // 2 or 3 bytes as sent
    unsigned char Bytes[3];
    long Status;           // the NTSTATUS the device answered
} TESTBUS_COMMAND;

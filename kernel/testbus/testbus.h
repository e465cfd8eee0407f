// The test bus driver: a root-enumerated bus whose two children are USB serial devices as the
// port sees them through UsbPipeDriver (three pipes by name, direct-I/O reads, the private
// requests), each with a loopback plug and a line paced at its baud rate.
#pragma once

#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>

#include "model.h"
#include "testbus_ioctl.h"

namespace testbus {

constexpr ULONG IOCTL_PIPE_RESET = 0x222008;
constexpr ULONG IOCTL_DEVICE_COMMAND = 0x22201c;
constexpr ULONG IOCTL_PIPE_ABORT = 0x222020;
constexpr ULONG IOCTL_PIPE_GET_INFO = 0x222028;
constexpr ULONG IOCTL_PIPE_WRITE = 0x222040;

enum Pipe : ULONG { PipeTx, PipeRx, PipeStatus, PipeCount };
enum class Kind : ULONG { Bus, Child, Control };

constexpr ULONG kVariant = 3;           // the device variant the test INFs configure
constexpr ULONG kPacketSize = 64;
constexpr ULONG kRxCapacity = 65536;    // the device's receive FIFO
constexpr ULONG kCommandLogSize = 1024;

struct Common {
    Kind kind;
};

struct Child {
    Common common;
    ULONG index;
    PDEVICE_OBJECT pdo;
    KSPIN_LOCK lock;
    LIST_ENTRY pending[PipeCount];  // requests waiting in the device, oldest first
    LineState line;
    UCHAR rx[kRxCapacity];          // bytes that came back through the plug, not yet read
    ULONG rxHead, rxCount;
    LONGLONG txStart;               // when the head write's first byte went on the line
    ULONG txSent;                   // bytes of the head write already on the line
    bool txStarted;
    TESTBUS_COMMAND log[kCommandLogSize];
    ULONG logCount;
};

struct Bus {
    Common common;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT lower;
    Child* children[TESTBUS_PORT_COUNT];
};

// Device model (port.cpp).
void InitChild(Child* child, PDEVICE_OBJECT pdo, ULONG index);
NTSTATUS ChildCreateClose(Child* child, PIRP irp);
NTSTATUS ChildCleanup(Child* child, PIRP irp);
NTSTATUS ChildRead(Child* child, PIRP irp);
NTSTATUS ChildDeviceControl(Child* child, PIRP irp);
ULONG CopyCommandLog(Child* child, TESTBUS_COMMAND* out, ULONG room);
NTSTATUS StartModel();
void StopModel();
void WakeModel();
LONGLONG Now100ns();

// Stand-ins for routines Wine lacks, patched into vcom.sys when it loads under Wine (wine_shim.cpp).
void InstallWineShim();
void RemoveWineShim();

}  // namespace testbus

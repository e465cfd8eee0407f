// The device link: device-command encodings per variant, and the open and close sequences with
// their failure paths, against the simulated lower driver.
#include <atomic>

#include "control_util.h"
#include "emu/iomgr.h"
#include "emu/pool.h"

using namespace vcomtest;
using usbpipe::kRx;
using usbpipe::kStatus;
using usbpipe::kTx;

namespace {

const ULONG kRing = RING_POOL_TAG;
const ULONG kCrea = CREATE_POOL_TAG;
const NTSTATUS kDeviceError = (NTSTATUS)0xC000009CL;  // STATUS_DEVICE_DATA_ERROR

// A request of `major` on a file object of the port's that is not the one it opened, sent to
// the port directly.
NTSTATUS SendOnAnotherFile(PDEVICE_OBJECT port, UCHAR major) {
    FILE_OBJECT other{};
    other.Type = IO_TYPE_FILE;
    other.Size = sizeof(FILE_OBJECT);
    other.DeviceObject = port;
    PIRP irp = IoAllocateIrp(port->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    IoGetNextIrpStackLocation(irp)->FileObject = &other;
    return emu::io::SendAndWait(port, irp);
}

uint64_t PoolBytes(ULONG tag) {
    auto all = emu::pool::Outstanding();
    auto it = all.find(tag);
    return it == all.end() ? 0 : it->second.bytes;
}

void SetLine(PortExtension* p, ULONG baud, UCHAR data, UCHAR stop, UCHAR parity, ULONG flowReplace = 0,
             ULONG handShake = 0) {
    p->BaudRate = baud;
    p->LineControl.WordLength = data;
    p->LineControl.StopBits = stop;
    p->LineControl.Parity = parity;
    p->HandFlow.FlowReplace = flowReplace;
    p->HandFlow.ControlHandShake = handShake;
}

// Opens the port of a stack of the given variant and forgets the open's commands.
struct Opened {
    Stack stack;
    explicit Opened(StackOptions o) : stack(std::move(o)) {
        stack.OpenOk();
        stack.TakeCommands();
    }
    PortExtension* p() { return stack.Ext(); }
    NTSTATUS Apply() { return ApplyLineSettings(stack.Port()); }
};

}  // namespace

TEST(LineSettings, VariantZeroSendsNothing) {
    Opened o(Variant(0));
    SetLine(o.p(), 38400, 8, STOP_BIT_1, NO_PARITY);
    EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
    EXPECT_TRUE(o.stack.TakeCommands().empty());
}

TEST(LineSettings, VariantOneSettingsByte) {
    Opened o(Variant(1));
    SetLine(o.p(), 38400, 8, STOP_BIT_1, EVEN_PARITY);
    EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
    EXPECT_EQ(o.stack.TakeCommands(), (std::vector<Bytes>{{0x00, 0x16}}));
    auto s = o.stack.dev().State();
    EXPECT_EQ(s.baud, 38400u);
    EXPECT_EQ(s.dataBits, 8);
    EXPECT_EQ(s.parity, usbpipe::Parity::Even);

    SetLine(o.p(), 115200, 7, STOP_BITS_2, ODD_PARITY, 0x83, SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
    EXPECT_EQ(o.stack.TakeCommands(), (std::vector<Bytes>{{0x00, 0xEB}}));
    s = o.stack.dev().State();
    EXPECT_TRUE(s.rtsCts);
    EXPECT_TRUE(s.xonXoff);
    EXPECT_EQ(s.stopBits, 2);

    // Flow bits need both halves: RTS handshake without CTS, one automatic direction only.
    SetLine(o.p(), 9600, 8, STOP_BIT_1, NO_PARITY, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_TRANSMIT, 0);
    EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
    SetLine(o.p(), 19200, 8, STOP_BIT_1, MARK_PARITY, SERIAL_AUTO_RECEIVE, SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
    EXPECT_EQ(o.stack.TakeCommands(), (std::vector<Bytes>{{0x00, 0x04}, {0x00, 0x05}}));
}

TEST(LineSettings, VariantOneRefusesWhatItCannotEncodeBeforeSending) {
    Opened o(Variant(1));
    SetLine(o.p(), 76800, 8, STOP_BIT_1, NO_PARITY);
    EXPECT_EQ(o.Apply(), STATUS_INVALID_PARAMETER);
    SetLine(o.p(), 9600, 6, STOP_BIT_1, NO_PARITY);
    EXPECT_EQ(o.Apply(), STATUS_INVALID_PARAMETER);
    SetLine(o.p(), 9600, 8, STOP_BITS_1_5, NO_PARITY);
    EXPECT_EQ(o.Apply(), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(o.stack.TakeCommands().empty());
    EXPECT_EQ(o.p()->BaudRate, 9600u);  // the stored settings stay as they were set
}

TEST(LineSettings, VariantTwoRaisesRtsForHardwareFlowControl) {
    Opened o(Variant(2));
    ChangeModemControl(o.p(), CONTROL_LINE_RTS, 0, FALSE);  // RTS off, DTR on
    o.stack.TakeCommands();
    SetLine(o.p(), 115200, 8, STOP_BIT_1, NO_PARITY, SERIAL_RTS_HANDSHAKE, SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
    EXPECT_EQ(o.stack.TakeCommands(), (std::vector<Bytes>{{0x00, 0x47}, {0x01, 0x03}}));
    EXPECT_EQ(o.p()->ModemControl, CONTROL_LINE_RTS | CONTROL_LINE_DTR);

    // Without flow control only the settings go out; the status is the settings command's.
    SetLine(o.p(), 9600, 8, STOP_BIT_1, NO_PARITY);
    o.stack.dev().FailCommand(DEVCMD_LINE_SETTINGS, kDeviceError);
    EXPECT_EQ(o.Apply(), kDeviceError);
    EXPECT_EQ(o.stack.TakeCommands(), (std::vector<Bytes>{{0x00, 0x04}}));

    // With flow control too: a refused settings command is reported, and RTS is not raised for
    // settings the device did not take.
    SetLine(o.p(), 9600, 8, STOP_BIT_1, NO_PARITY, SERIAL_RTS_HANDSHAKE, SERIAL_CTS_HANDSHAKE);
    ChangeModemControl(o.p(), CONTROL_LINE_RTS, 0, FALSE);
    EXPECT_EQ(o.Apply(), kDeviceError);
    EXPECT_EQ(o.stack.TakeCommands(), (std::vector<Bytes>{{0x00, 0x44}}));
    EXPECT_EQ(o.p()->ModemControl & CONTROL_LINE_RTS, 0);
}

TEST(LineSettings, VariantTwoControlLinesStatusIsTheRequestStatus) {
    Opened o(Variant(2));
    SetLine(o.p(), 9600, 8, STOP_BIT_1, NO_PARITY, SERIAL_RTS_HANDSHAKE, SERIAL_CTS_HANDSHAKE);
    o.stack.dev().FailCommand(DEVCMD_CONTROL_LINES, kDeviceError);
    EXPECT_EQ(o.Apply(), kDeviceError);
}

TEST(LineSettings, VariantThreeIndexAndFormat) {
    Opened o(Variant(3));
    SetLine(o.p(), 115200, 8, STOP_BIT_1, NO_PARITY, SERIAL_RTS_HANDSHAKE, 0);
    o.p()->SpecialChars.ErrorChar = 0;
    EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
    EXPECT_EQ(o.stack.TakeCommands(), (std::vector<Bytes>{{0x00, 0x08, 0x11}, {0x04, 0x00, 0x00}}));

    // Every rate of the table by index, any other rate as index 0; XON/XOFF only without
    // hardware flow control; 1.5 stop bits encoded as one.
    const ULONG rates[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200, 57600};
    for (ULONG i = 0; i < 10; i++) {
        SetLine(o.p(), rates[i], 7, STOP_BITS_1_5, EVEN_PARITY, SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR, 0);
        o.p()->SpecialChars.ErrorChar = '?';
        EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
        EXPECT_EQ(o.stack.TakeCommands(),
                  (std::vector<Bytes>{{0x00, (uint8_t)(i < 9 ? i : 0), 0x24}, {0x04, 0x01, '?'}}))
            << rates[i];
    }
    SetLine(o.p(), 76800, 8, STOP_BITS_2, ODD_PARITY, SERIAL_AUTO_TRANSMIT, SERIAL_CTS_HANDSHAKE);
    EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
    EXPECT_EQ(o.stack.TakeCommands(), (std::vector<Bytes>{{0x00, 0x07, 0x1B}, {0x04, 0x00, '?'}}));
    EXPECT_EQ(o.stack.dev().State().baud, 76800u);

    // The settings command's status is ignored; the error-character command's is returned.
    o.stack.dev().FailCommand(DEVCMD_LINE_SETTINGS, kDeviceError);
    EXPECT_EQ(o.Apply(), STATUS_SUCCESS);
    o.stack.dev().FailCommand(DEVCMD_ERROR_CHAR, kDeviceError);
    EXPECT_EQ(o.Apply(), kDeviceError);
}

TEST(DeviceCommand, RefusedWithoutLowerDeviceOrBuffer) {
    Opened o(Variant(1));
    EXPECT_EQ(SendDeviceCommand(o.p(), nullptr, 2), STATUS_INVALID_PARAMETER);
    UCHAR cmd[2] = {DEVCMD_CONTROL_LINES, 0};
    ULONG size = 0;
    EXPECT_EQ(QueryPipeInfo(o.p(), &o.p()->TxPipe.TxPipeFile, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IssuePipeRead(o.p(), &o.p()->RxPipe.RxPipeFile, nullptr, 64, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IssuePipeRead(o.p(), &o.p()->RxPipe.RxPipeFile, cmd, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(IssuePipeRead(o.p(), nullptr, cmd, 2, nullptr), STATUS_INVALID_PARAMETER);
    PDEVICE_OBJECT lower = o.p()->LowerDeviceObject;
    o.p()->LowerDeviceObject = nullptr;
    EXPECT_EQ(SendDeviceCommand(o.p(), cmd, 2), STATUS_DELETE_PENDING);
    o.p()->LowerDeviceObject = lower;
    o.p()->SurpriseRemoved = TRUE;
    EXPECT_EQ(QueryPipeInfo(o.p(), &o.p()->TxPipe.TxPipeFile, &size), STATUS_DELETE_PENDING);
    o.p()->SurpriseRemoved = FALSE;
    EXPECT_TRUE(o.stack.TakeCommands().empty());
}

// Concurrent line changes: the second waits for the first's command, so neither is lost and
// the device sees the values in the order they became current.
TEST(DeviceCommand, ModemControlChangesAreSerialised) {
    Opened o(Variant(1));
    o.stack.dev().HoldCompletions(true);
    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    emu::Thread a([&] { first = ChangeModemControl(o.p(), CONTROL_LINE_DTR, 0, TRUE); });
    emu::RunUntilIdle();
    emu::Thread b([&] { second = ChangeModemControl(o.p(), 0, CONTROL_LINE_BREAK, TRUE); });
    emu::RunUntilIdle();
    EXPECT_EQ(o.stack.dev().Commands().size(), 1u);  // the second waits for the first
    o.stack.dev().HoldCompletions(false);
    o.stack.dev().ReleaseHeld();
    a.join();
    b.join();
    EXPECT_EQ(first, STATUS_SUCCESS);
    EXPECT_EQ(second, STATUS_SUCCESS);
    EXPECT_EQ(o.stack.TakeCommands(), (std::vector<Bytes>{{0x01, 0x01}, {0x01, 0x05}}));
    EXPECT_EQ(o.p()->ModemControl, 0x05);
}

TEST(Open, SequenceAsTheDeviceSeesIt) {
    Stack s(Variant(1));
    auto& f = s.OpenOk();
    (void)f;
    auto* p = s.Ext();
    EXPECT_EQ(s.TakeCommands(), (std::vector<Bytes>{{0x03, 0x01}, {0x01, 0x03}}));
    EXPECT_EQ(p->OpenCount, 1);
    EXPECT_EQ(p->ModemControl, 0x03);
    EXPECT_EQ(s.dev().OpenCount(kTx), 1);
    EXPECT_EQ(s.dev().OpenCount(kRx), 1);
    EXPECT_EQ(s.dev().OpenCount(kStatus), 1);
    for (auto pipe : {kTx, kRx, kStatus}) EXPECT_EQ(s.dev().ResetCount(pipe), 1) << pipe;
    EXPECT_TRUE(s.dev().State().portEnabled);
    EXPECT_EQ(RingSize(&p->RxBuffer), 4096u);
    EXPECT_EQ(p->HandFlow.XonLimit, 2048);
    EXPECT_EQ(p->HandFlow.XoffLimit, 512);
    EXPECT_NE(p->RxTransferBuffer, nullptr);
    EXPECT_EQ(PoolBytes(kCrea), p->RxReqSize);

    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    EXPECT_EQ(s.TakeCommands(), (std::vector<Bytes>{{0x03, 0x00}}));
    EXPECT_EQ(p->OpenCount, 0);
    for (auto pipe : {kTx, kRx, kStatus}) EXPECT_EQ(s.dev().OpenCount(pipe), 0) << pipe;
    EXPECT_EQ(p->RxTransferBuffer, nullptr);
    EXPECT_EQ(RingSize(&p->RxBuffer), 0u);
    EXPECT_EQ(PoolBytes(kCrea), 0u);
    EXPECT_FALSE(s.dev().State().portEnabled);
}

TEST(Open, VariantZeroLeavesTheStatusPipeAlone) {
    // No status pipe: none is opened or read (the reads would only fail, every 20 ms), and the
    // input lines read on rather than off.
    Stack s(Variant(0));
    uint64_t reads = s.dev().RequestCount(usbpipe::RequestKind::Read);
    auto& f = s.OpenOk();
    EXPECT_EQ(s.dev().OpenCount(kStatus), 0);
    emu::AdvanceTime(200);
    EXPECT_EQ(s.Ext()->CtlPollPeriod, -1);
    EXPECT_LE(s.dev().RequestCount(usbpipe::RequestKind::Read) - reads, 2u);  // the reader's only
    EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_MODEMSTATUS), 0xB0u);
    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
}

TEST(Open, SecondOpenRefusedAndTheOpenPortUntouched) {
    Stack s(Variant(1));
    s.OpenOk();
    s.TakeCommands();
    std::unique_ptr<emu::io::File> second;
    EXPECT_EQ(s.Open(&second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(s.TakeCommands().empty());
    EXPECT_EQ(s.Ext()->OpenCount, 1);
    EXPECT_EQ(s.dev().OpenCount(kRx), 1);
    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    s.OpenOk();  // and the port opens again once closed
}

TEST(Open, TransferSizesRoundToWholePackets) {
    struct Case {
        ULONG configured, packet, expected;
    };
    const Case cases[] = {{0, 64, 64}, {100, 64, 128}, {128, 64, 128}, {32, 64, 64}, {0, 0, 64},
                          {700, 512, 1024}, {1024, 512, 1024}, {0xFFFFFFF0u, 64, 0xFFFFFFC0u}};
    // The transmit threshold is capped when it is read (half the staging buffer).
    for (const Case& c : cases) {
        StackOptions o = Variant(1);
        o.device.packetSize[kTx] = c.packet;
        o.device.packetSize[kRx] = c.packet;
        if (c.configured) {
            o.values[u"RxReqSize"] = emu::pnp::HardwareValue::Dword(c.configured);
            o.values[u"TxKickThreshold"] = emu::pnp::HardwareValue::Dword(c.configured);
        }
        Stack s(o);
        std::unique_ptr<emu::io::File> f;
        NTSTATUS status = s.Open(&f);
        EXPECT_EQ(s.Ext()->RxReqSize, c.expected) << c.configured << "/" << c.packet;
        EXPECT_EQ(s.Ext()->TxKickThreshold, c.configured >= TX_STAGING_SIZE ? TX_STAGING_SIZE / 2 : c.expected)
            << c.configured << "/" << c.packet;
        EXPECT_EQ(s.Ext()->RxPipe.RxMaxPacketSize, c.packet ? c.packet : 64);
        if (c.expected > 0x10000000) {
            // Too large to allocate: the open fails cleanly.
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS);
        }
        if (f) {
            EXPECT_EQ(f->Close(), STATUS_SUCCESS);
        }
    }
}

TEST(Open, MissingStatusPipeTurnsPollingOff) {
    Stack s(Variant(1));
    s.dev().SetStatusPipeInvalid(true);
    s.OpenOk();
    EXPECT_EQ(s.Ext()->CtlPollPeriod, -1);
    EXPECT_EQ(s.dev().ResetCount(kStatus), 0);
    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    s.dev().SetStatusPipeInvalid(false);
    s.OpenOk();
    EXPECT_EQ(s.dev().OpenCount(kStatus), 0);  // not tried again
    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
}

TEST(Open, FailingStatusPipeFailsTheOpenOnce) {
    Stack s(Variant(1));
    s.dev().FailOpen(kStatus, kDeviceError);
    std::unique_ptr<emu::io::File> f;
    EXPECT_EQ(s.Open(&f), kDeviceError);
    EXPECT_EQ(s.Ext()->OpenCount, 0);
    EXPECT_EQ(s.Ext()->CtlPollPeriod, -1);
    for (auto pipe : {kTx, kRx, kStatus}) EXPECT_EQ(s.dev().OpenCount(pipe), 0) << pipe;
    EXPECT_EQ(PoolBytes(kRing), 4096u);  // the transmit buffer only
    s.OpenOk();
    EXPECT_EQ(s.dev().OpenCount(kStatus), 0);
}

TEST(Open, EveryFailingStepUnwinds) {
    struct Fault {
        const char* what;
        std::function<void(Stack&)> arm;
        NTSTATUS expected;
    };
    const Fault faults[] = {
        {"tx pipe", [](Stack& s) { s.dev().FailOpen(kTx, STATUS_DEVICE_NOT_CONNECTED); }, STATUS_DEVICE_NOT_CONNECTED},
        {"rx pipe", [](Stack& s) { s.dev().FailOpen(kRx, STATUS_DEVICE_REMOVED); }, STATUS_DEVICE_REMOVED},
        {"receive buffer", [](Stack&) { emu::pool::FailNthWithTag(kRing, 1); }, STATUS_INSUFFICIENT_RESOURCES},
        {"transfer buffer", [](Stack&) { emu::pool::FailNthWithTag(kCrea, 1); }, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Fault& fault : faults) {
        Stack s(Variant(1));
        const uint64_t ringBefore = PoolBytes(kRing);
        fault.arm(s);
        std::unique_ptr<emu::io::File> f;
        EXPECT_EQ(s.Open(&f), fault.expected) << fault.what;
        EXPECT_EQ(s.Ext()->OpenCount, 0) << fault.what;
        EXPECT_EQ(PoolBytes(kRing), ringBefore) << fault.what;
        EXPECT_EQ(PoolBytes(kCrea), 0u) << fault.what;
        EXPECT_EQ(s.Ext()->RxTransferBuffer, nullptr) << fault.what;
        for (auto pipe : {kTx, kRx, kStatus}) EXPECT_EQ(s.dev().OpenCount(pipe), 0) << fault.what;
        EXPECT_TRUE(s.TakeCommands().empty()) << fault.what;
        s.dev().FailOpen(kTx, STATUS_SUCCESS);
        s.dev().FailOpen(kRx, STATUS_SUCCESS);
        s.OpenOk();
        EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    }
}

// Any one request of the open that cannot be built: a pipe create fails the open, the rest is
// best effort. Either way nothing is left behind and the next open works.
TEST(Open, RequestAllocationFailureAtEachStep) {
    for (uint64_t n = 1; n <= 12; n++) {
        Stack s(Variant(1));
        emu::io::FailNthIrpAllocation(n);
        std::unique_ptr<emu::io::File> f;
        NTSTATUS status = s.Open(&f);
        emu::io::FailNthIrpAllocation(0);
        if (NT_SUCCESS(status)) {
            EXPECT_EQ(f->Close(), STATUS_SUCCESS) << n;
        } else {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << n;
            EXPECT_LE(n, 3u) << "only the pipe creates fail the open";
        }
        EXPECT_EQ(s.Ext()->OpenCount, 0) << n;
        EXPECT_EQ(PoolBytes(kCrea), 0u) << n;
        for (auto pipe : {kTx, kRx, kStatus}) EXPECT_EQ(s.dev().OpenCount(pipe), 0) << n;
        s.OpenOk();
        EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    }
}

TEST(Open, RemovalWaitsForTheClose) {
    Stack s(Variant(1));
    auto& f = s.OpenOk();
    (void)f;
    EXPECT_EQ(s.node().QueryRemove(), STATUS_SUCCESS);
    std::atomic<bool> removed{false};
    emu::Thread remover([&] {
        s.node().Remove();
        removed = true;
    });
    emu::RunUntilIdle();
    EXPECT_FALSE(removed.load());
    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    remover.join();
    EXPECT_TRUE(removed.load());
}

// Another thread's request can reach the port after the cleanup of the last handle (it holds
// the file object, not the handle). Nothing would ever end a wait or a read then, and the close
// would never come: until the close, new reads, writes and waits are refused.
TEST(Open, RequestsAfterCleanupAreRefused) {
    Opened o(Variant(1));
    std::unique_ptr<emu::io::File> file;
    ASSERT_EQ(o.stack.Close(), STATUS_SUCCESS);
    ASSERT_EQ(o.stack.Open(&file), STATUS_SUCCESS);
    ASSERT_EQ(SetMask(*file, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    ASSERT_EQ(Set(*file, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{}), STATUS_SUCCESS);

    PIRP cleanup = IoAllocateIrp(o.stack.Port()->StackSize, FALSE);
    IoGetNextIrpStackLocation(cleanup)->MajorFunction = IRP_MJ_CLEANUP;
    IoGetNextIrpStackLocation(cleanup)->FileObject = file->FileObject();
    ASSERT_EQ(emu::io::SendAndWait(o.stack.Port(), cleanup), STATUS_SUCCESS);
    emu::RunUntilIdle();
    EXPECT_EQ(o.stack.dev().Pending(kRx), 0u);

    auto wait = file->IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    auto read = file->ReadAsync(4);
    Bytes data{1, 2, 3};
    auto write = file->WriteAsync(data.data(), 3);
    emu::AdvanceTime(100);
    EXPECT_EQ(o.stack.dev().Pending(kRx), 0u);  // the read did not restart the reader
    for (auto* r : {&wait, &read, &write}) {
        if (!r->Done()) {
            ADD_FAILURE() << "a request after cleanup pends";
            r->Cancel();
            emu::RunUntilIdle();
            continue;
        }
        EXPECT_EQ(r->Status(), STATUS_CANCELLED);
        EXPECT_EQ(r->Information(), 0u);
    }
    EXPECT_TRUE(o.stack.dev().TxStream().empty());
    EXPECT_EQ(file->Close(), STATUS_SUCCESS);
    EXPECT_EQ(o.p()->OpenCount, 0);
}

// The I/O manager never sends the close of a refused open, but if one came it is not the
// opener's: the open port is left as it is.
TEST(Open, CloseOfAnotherFileLeavesThePortOpen) {
    Opened o(Variant(1));
    for (UCHAR major : {IRP_MJ_CLEANUP, IRP_MJ_CLOSE}) {
        EXPECT_EQ(SendOnAnotherFile(o.stack.Port(), major), STATUS_SUCCESS) << int(major);
    }
    emu::RunUntilIdle();
    EXPECT_EQ(o.p()->OpenCount, 1);
    EXPECT_TRUE(PortIsOpen(o.p()));
    for (auto pipe : {kTx, kRx, kStatus}) EXPECT_EQ(o.stack.dev().OpenCount(pipe), 1) << pipe;
    EXPECT_EQ(o.stack.dev().Pending(kRx), 1u);
}

// The emulated I/O manager refuses a second open of the exclusive device before the driver sees
// it; a second IRP_MJ_CREATE sent to the port directly meets the driver's own check.
TEST(Open, SecondCreateSentDirectlyIsRefusedByThePort) {
    Opened o(Variant(1));
    PFILE_OBJECT first = o.p()->OpenFile;
    EXPECT_EQ(SendOnAnotherFile(o.stack.Port(), IRP_MJ_CREATE), STATUS_ACCESS_DENIED);
    emu::RunUntilIdle();
    EXPECT_EQ(o.p()->OpenCount, 1);
    EXPECT_EQ(o.p()->OpenFile, first);
    EXPECT_TRUE(o.stack.TakeCommands().empty());
    for (auto pipe : {kTx, kRx, kStatus}) EXPECT_EQ(o.stack.dev().OpenCount(pipe), 1) << pipe;
}

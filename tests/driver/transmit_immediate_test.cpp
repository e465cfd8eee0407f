// The immediate character in both transmit modes: one at a time, ahead of buffered data,
// counted in AmountInOutQueue until its transfer completes.
#include "stack.h"
#include "transmit_support.h"

using namespace vcomtest;
using usbpipe::kTx;

namespace {

// An IOCTL_SERIAL_IMMEDIATE_CHAR handed to ImmediateChar as the device-control dispatcher
// hands it.
struct Immediate {
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    NTSTATUS returned;
    UCHAR ch;
    Immediate(TxPort& t, UCHAR c, ULONG length = 1) : ch(c) {
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        PDEVICE_OBJECT port = t.stack.Port();
        PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_IMMEDIATE_CHAR, port, length ? &ch : nullptr, length,
                                                 nullptr, 0, FALSE, &done, &iosb);
        IoSetNextIrpStackLocation(irp);
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = port;
        returned = ImmediateChar(port, irp);
        emu::RunUntilIdle();
    }
    bool Done() { return KeReadStateEvent(&done) != 0; }
};

bool WaitingForImmediate(TxPort& t) {
    KIRQL irql;
    KeAcquireSpinLock(&t.p()->CommStatusLock, &irql);
    bool waiting = t.p()->CommStatus.WaitForImmediate != 0;
    KeReleaseSpinLock(&t.p()->CommStatusLock, irql);
    return waiting;
}

}  // namespace

TEST(ImmediateChar, OnAnIdlePort) {
    TxPort t;
    t.TakeEvents();
    Immediate c(t, 'X');
    EXPECT_EQ(c.returned, STATUS_PENDING);
    ASSERT_TRUE(c.Done());
    EXPECT_EQ(c.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(c.iosb.Information, 0u);  // the request returns no data
    EXPECT_EQ(t.dev().TxStream(), Bytes{'X'});
    EXPECT_EQ(t.TakeEvents() & SERIAL_EV_TXEMPTY, (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_EQ(t.OutQueue(), 0u);
    EXPECT_FALSE(WaitingForImmediate(t));
}

TEST(ImmediateChar, CountedBesideAnOutstandingWrite) {
    TxPort t;
    t.TakeEvents();
    t.dev().StallTx(true);
    Immediate c(t, 'X');
    Bytes a(100, 7);
    auto w = t.file->WriteAsync(a.data(), 100);
    emu::RunUntilIdle();
    EXPECT_EQ(t.OutQueue(), 101u);
    EXPECT_TRUE(WaitingForImmediate(t));

    t.dev().SendStalled(1);
    emu::RunUntilIdle();
    ASSERT_TRUE(c.Done());
    EXPECT_FALSE(WaitingForImmediate(t));
    EXPECT_EQ(t.OutQueue(), 100u);
    EXPECT_EQ(t.TakeEvents() & SERIAL_EV_TXEMPTY, 0u);  // the write is still counted

    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(t.OutQueue(), 0u);
    EXPECT_EQ(t.TakeEvents() & SERIAL_EV_TXEMPTY, (ULONG)SERIAL_EV_TXEMPTY);
}

TEST(ImmediateChar, OneAtATime) {
    TxPort t;
    t.dev().StallTx(true);
    Immediate first(t, 'A');
    Immediate second(t, 'B');
    EXPECT_EQ(second.returned, STATUS_INVALID_PARAMETER);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.iosb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(second.iosb.Information, 0u);
    EXPECT_EQ(t.OutQueue(), 1u);
    EXPECT_TRUE(WaitingForImmediate(t));
    EXPECT_FALSE(first.Done());

    t.dev().StallTx(false);
    emu::RunUntilIdle();
    ASSERT_TRUE(first.Done());
    Immediate third(t, 'C');
    EXPECT_EQ(third.returned, STATUS_PENDING);
    EXPECT_EQ(third.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(t.dev().TxStream(), (Bytes{'A', 'C'}));
}

TEST(ImmediateChar, EmptyInputIsRefused) {
    TxPort t;
    Immediate c(t, 'X', 0);
    EXPECT_EQ(c.returned, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(c.iosb.Status, STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(WaitingForImmediate(t));
    EXPECT_TRUE(t.dev().TransferLog().empty());
}

// In asynchronous mode it goes down at once, beside the transfer in flight and ahead of the
// bytes waiting in TxBuffer; the transmit side's stop does not hold it back.
TEST(ImmediateChar, AheadOfBufferedBytes) {
    TxPort t(TxOptions(true));
    t.dev().StallTx(true);
    Bytes full(4096, 1), waiting(100, 2);
    t.file->Write(full.data(), 4096);
    t.file->Write(waiting.data(), 100);
    Immediate c(t, 'X');
    EXPECT_EQ(RingCount(&t.p()->TxBuffer), 100u);
    t.dev().StallTx(false);
    emu::AdvanceTime(10);
    ASSERT_TRUE(c.Done());
    auto log = t.dev().TransferLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].bytes.size(), 4096u);
    EXPECT_EQ(log[1].bytes, Bytes{'X'});
    EXPECT_EQ(log[2].bytes, waiting);

    StopTransmit(t.p());
    Immediate stopped(t, 'Y');
    EXPECT_EQ(stopped.iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(t.dev().TransferLog().back().bytes, Bytes{'Y'});
    ResumeTransmit(t.p());
}

TEST(ImmediateChar, FailedTransferRestoresTheState) {
    TxPort t;
    const NTSTATUS kDeviceError = (NTSTATUS)0xC000009CL;
    t.dev().FailTransfers(kTx, 1, kDeviceError);
    Immediate c(t, 'X');
    ASSERT_TRUE(c.Done());
    EXPECT_EQ(c.iosb.Status, kDeviceError);
    EXPECT_FALSE(WaitingForImmediate(t));
    EXPECT_EQ(t.OutQueue(), 0u);
    Immediate next(t, 'Y');
    EXPECT_EQ(next.iosb.Status, STATUS_SUCCESS);
}

// The character is counted as sent when it went out, also when the transfer carrying it
// failed after moving it (the device's count says it did), in both transmit modes.
TEST(ImmediateChar, CountedAsSentByWhatTheTransferMoved) {
    const NTSTATUS kDeviceError = (NTSTATUS)0xC000009CL;
    for (bool async : {false, true}) {
        SCOPED_TRACE(async ? "async" : "sync");
        TxPort t(TxOptions(async));
        ULONG before = t.p()->PerfStats.TransmittedCount;
        Immediate ok(t, 'X');
        EXPECT_EQ(ok.iosb.Status, STATUS_SUCCESS);
        // A one-byte transfer moves its byte, then fails.
        t.dev().SetKnobs({.partialFailOneIn = 1, .faultStatus = kDeviceError});
        Immediate failed(t, 'Y');
        ASSERT_TRUE(failed.Done());
        EXPECT_EQ(failed.iosb.Status, kDeviceError);
        EXPECT_EQ(failed.iosb.Information, 0u);
        EXPECT_EQ(t.dev().TxStream(), (Bytes{'X', 'Y'}));
        EXPECT_EQ(t.p()->PerfStats.TransmittedCount - before, 2u);
        EXPECT_EQ(t.OutQueue(), 0u);
    }
}

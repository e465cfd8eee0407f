// Synchronous transmit against the device model: one write at the lower driver at a time,
// zero-length transfers, write timeouts from hand-down, cancellation, and every race between
// completion, timeout and stop settling on exactly one completion.
#include <atomic>

#include "bed.h"
#include "emu/iomgr.h"
#include "stack.h"
#include "transmit_support.h"

using namespace vcomtest;
using usbpipe::kTx;

namespace {

// An open port in synchronous transmit mode.
class SyncTransmit : public ::testing::Test {
protected:
    TxPort t;
};

}  // namespace

TEST_F(SyncTransmit, EmptyWriteIsNeverCounted) {
    t.dev().StallTx(true);
    auto w = t.file->WriteAsync(nullptr, 0);
    emu::RunUntilIdle();
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(w.Information(), 0u);
    EXPECT_EQ(t.OutQueue(), 0u);
    EXPECT_TRUE(t.dev().TransferLog().empty());
    EXPECT_EQ(t.dev().Pending(kTx), 0u);
}

TEST_F(SyncTransmit, WritesGoDownOneAtATimeAndTxEmptyFollowsTheLast) {
    t.TakeEvents();
    t.dev().StallTx(true);
    Bytes a = Pattern(10, 1), b = Pattern(20, 50), c = Pattern(30, 100);
    auto wa = t.file->WriteAsync(a.data(), 10);
    auto wb = t.file->WriteAsync(b.data(), 20);
    auto wc = t.file->WriteAsync(c.data(), 30);
    emu::RunUntilIdle();
    EXPECT_EQ(t.dev().Pending(kTx), 1u);
    EXPECT_EQ(t.OutQueue(), 60u);
    EXPECT_FALSE(t.TxIdle());

    SendOne(t.dev());
    EXPECT_TRUE(wa.Done());
    EXPECT_FALSE(wb.Done());
    EXPECT_EQ(t.dev().Pending(kTx), 1u);
    EXPECT_EQ(t.OutQueue(), 50u);
    SendOne(t.dev());
    EXPECT_TRUE(wb.Done());
    EXPECT_FALSE(wc.Done());
    EXPECT_EQ(t.TakeEvents() & SERIAL_EV_TXEMPTY, 0u);
    EXPECT_FALSE(t.TxIdle());

    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(wc.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wc.Information(), 30u);
    EXPECT_EQ(t.TakeEvents() & SERIAL_EV_TXEMPTY, (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_TRUE(t.TxIdle());
    EXPECT_EQ(t.OutQueue(), 0u);
    EXPECT_EQ(t.dev().TxStream(), Cat({a, b, c}));
}

TEST_F(SyncTransmit, CancellingWaitingAndCurrentWrites) {
    t.dev().StallTx(true);
    Bytes a = Pattern(10, 1), b = Pattern(20, 50), c = Pattern(30, 100);
    auto wa = t.file->WriteAsync(a.data(), 10);
    auto wb = t.file->WriteAsync(b.data(), 20);
    auto wc = t.file->WriteAsync(c.data(), 30);
    emu::RunUntilIdle();
    EXPECT_TRUE(wb.Cancel());
    emu::RunUntilIdle();
    EXPECT_EQ(wb.Status(), STATUS_CANCELLED);
    EXPECT_EQ(wb.Information(), 0u);
    EXPECT_EQ(wb.Boost(), IO_NO_INCREMENT);
    EXPECT_EQ(t.OutQueue(), 40u);

    // The current write is cancelled by the lower driver; the queue moves on to c.
    EXPECT_TRUE(wa.Cancel());
    emu::RunUntilIdle();
    EXPECT_EQ(wa.Status(), STATUS_CANCELLED);
    EXPECT_EQ(wa.Information(), 0u);
    EXPECT_EQ(t.dev().Pending(kTx), 1u);
    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(wc.Status(), STATUS_SUCCESS);
    EXPECT_EQ(t.dev().TxStream(), c);
    EXPECT_EQ(t.OutQueue(), 0u);
}

TEST_F(SyncTransmit, TimeoutIsMeasuredFromHandDown) {
    t.p()->Timeouts.WriteTotalTimeoutMultiplier = 10;
    t.p()->Timeouts.WriteTotalTimeoutConstant = 100;
    t.dev().StallTx(true);
    Bytes a = Pattern(50, 0), b = Pattern(50, 7);
    auto wa = t.file->WriteAsync(a.data(), 50);
    auto wb = t.file->WriteAsync(b.data(), 50);
    ASSERT_TRUE(DoneAfter(wa, 600));
    EXPECT_EQ(wa.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(wa.Information(), 0u);
    EXPECT_EQ(wa.Boost(), IO_SERIAL_INCREMENT);
    // b waited 600 ms and was handed down only now: its own 600 ms start here.
    ASSERT_TRUE(DoneAfter(wb, 600));
    EXPECT_EQ(wb.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(t.OutQueue(), 0u);
    EXPECT_TRUE(t.TxIdle());
    EXPECT_TRUE(t.dev().TransferLog().empty());
}

TEST_F(SyncTransmit, NoTimeoutWhenBothTermsAreZero) {
    t.dev().StallTx(true);
    Bytes a = Pattern(50, 0);
    auto w = t.file->WriteAsync(a.data(), 50);
    emu::AdvanceTime(3600 * 1000);
    EXPECT_FALSE(w.Done());
    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
}

// The timer fires while the finished transfer waits for its completion: the claim cannot
// cancel it and the write ends once, as the lower driver reported it.
TEST_F(SyncTransmit, TimeoutRacingTheCompletion) {
    t.p()->Timeouts.WriteTotalTimeoutConstant = 100;
    t.dev().HoldCompletions(true);
    Bytes a = Pattern(10, 0), b = Pattern(10, 10);
    auto wa = t.file->WriteAsync(a.data(), 10);
    auto wb = t.file->WriteAsync(b.data(), 10);
    emu::AdvanceTime(100);
    EXPECT_EQ(t.dev().HeldCount(), 1u);
    EXPECT_FALSE(wa.Done());
    t.dev().HoldCompletions(false);
    t.dev().ReleaseHeld();
    emu::RunUntilIdle();
    EXPECT_EQ(wa.Status(), STATUS_SUCCESS);
    EXPECT_EQ(wa.Information(), 10u);
    EXPECT_EQ(wb.Status(), STATUS_SUCCESS);
    EXPECT_EQ(t.OutQueue(), 0u);
}

// A run of the timer's DPC queued before the timer was cancelled runs only after the next write
// has become current: it must leave that write alone, whether its timer is set or not.
TEST_F(SyncTransmit, LateTimerRunLeavesTheNextWriteAlone) {
    t.p()->Timeouts.WriteTotalTimeoutConstant = 100;
    Bytes a = Pattern(10, 0);
    EXPECT_EQ(t.file->Write(a.data(), 10).Status(), STATUS_SUCCESS);

    // Next write with a timer of its own, not yet expired.
    t.p()->Timeouts.WriteTotalTimeoutConstant = 1000;
    t.dev().StallTx(true);
    auto wb = t.file->WriteAsync(a.data(), 10);
    emu::AdvanceTime(10);
    t.RunLateWriteTimer();
    EXPECT_FALSE(wb.Done());
    ASSERT_TRUE(DoneAfter(wb, 990));
    EXPECT_EQ(wb.Status(), STATUS_TIMEOUT);

    // Next write without a timer: the earlier timer expired and still reads signalled.
    t.p()->Timeouts.WriteTotalTimeoutConstant = 0;
    auto wc = t.file->WriteAsync(a.data(), 10);
    emu::RunUntilIdle();
    t.RunLateWriteTimer();
    emu::AdvanceTime(5000);
    EXPECT_FALSE(wc.Done());
    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(wc.Status(), STATUS_SUCCESS);
    EXPECT_EQ(t.OutQueue(), 0u);
}

TEST_F(SyncTransmit, StopCancelsWaitingAndCurrentWrites) {
    t.dev().StallTx(true);
    Bytes a = Pattern(10, 1), b = Pattern(20, 50), c = Pattern(30, 100);
    auto wa = t.file->WriteAsync(a.data(), 10);
    auto wb = t.file->WriteAsync(b.data(), 20);
    auto wc = t.file->WriteAsync(c.data(), 30);
    emu::RunUntilIdle();
    int resets = t.dev().ResetCount(kTx);
    t.TakeEvents();
    EXPECT_EQ(StopTransmit(t.p()), STATUS_SUCCESS);
    for (auto* w : {&wa, &wb, &wc}) {
        ASSERT_TRUE(w->Done());
        // The purged current write too: a stop is not a timeout.
        EXPECT_EQ(w->Status(), STATUS_CANCELLED);
        EXPECT_EQ(w->Information(), 0u);
    }
    EXPECT_EQ(t.dev().ResetCount(kTx), resets + 1);
    EXPECT_EQ(t.OutQueue(), 0u);
    EXPECT_TRUE(t.TxIdle());
    EXPECT_EQ(t.TakeEvents() & SERIAL_EV_TXEMPTY, (ULONG)SERIAL_EV_TXEMPTY);

    // Stopped: a write succeeds without sending or counting anything.
    t.dev().StallTx(false);
    auto stopped = t.file->Write(a.data(), 10);
    EXPECT_EQ(stopped.Status(), STATUS_SUCCESS);
    EXPECT_EQ(stopped.Information(), 0u);
    EXPECT_TRUE(t.dev().TransferLog().empty());

    ResumeTransmit(t.p());
    EXPECT_EQ(t.file->Write(a.data(), 10).Information(), 10u);
    EXPECT_EQ(t.dev().TxStream(), a);
}

// The timeout has claimed the write and the transfer is finished but not completed when the
// stop comes: the stop leaves it to the claimer, the abort completes it, once, as a timeout.
TEST_F(SyncTransmit, StopRacingTimeoutAndCompletion) {
    t.p()->Timeouts.WriteTotalTimeoutConstant = 100;
    t.dev().HoldCompletions(true);
    Bytes a = Pattern(10, 0);
    auto wa = t.file->WriteAsync(a.data(), 10);
    auto wb = t.file->WriteAsync(a.data(), 10);
    emu::AdvanceTime(100);
    EXPECT_EQ(t.p()->WriteState, 4);
    EXPECT_EQ(StopTransmit(t.p()), STATUS_SUCCESS);
    EXPECT_EQ(wa.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(wb.Status(), STATUS_CANCELLED);
    EXPECT_EQ(t.OutQueue(), 0u);
    t.dev().HoldCompletions(false);
    ResumeTransmit(t.p());
}

// The stop claims a write whose transfer is finished but held: cancelling it does nothing, the
// abort ends it, and the stop returns only after that.
TEST_F(SyncTransmit, StopWaitsForTheTransferAtTheLowerDriver) {
    t.dev().HoldCompletions(true);
    Bytes a = Pattern(64, 0);
    auto wa = t.file->WriteAsync(a.data(), 64);
    emu::RunUntilIdle();
    EXPECT_EQ(StopTransmit(t.p()), STATUS_SUCCESS);
    EXPECT_TRUE(wa.Done());
    EXPECT_EQ(wa.Status(), STATUS_CANCELLED);
    EXPECT_EQ(t.dev().HeldCount(), 0u);
    EXPECT_EQ(t.OutQueue(), 0u);
    t.dev().HoldCompletions(false);
}

TEST_F(SyncTransmit, FlushWaitsThirtySecondsForAHangingTransfer) {
    t.dev().StallTx(true);
    Bytes a = Pattern(10, 0);
    auto w = t.file->WriteAsync(a.data(), 10);
    // Flush blocks in its dispatch routine: the application thread issues it.
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    emu::Thread app([&] {
        status = t.file->Flush().Status();
        done = true;
    });
    emu::AdvanceTime(29999);
    EXPECT_FALSE(done);
    emu::AdvanceTime(1);
    EXPECT_TRUE(done);
    app.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(w.Done());

    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_TRUE(w.Done());
    EXPECT_EQ(t.file->Flush().Status(), STATUS_SUCCESS);  // idle: at once
}

TEST_F(SyncTransmit, CloseEndsAHangingWrite) {
    t.dev().StallTx(true);
    Bytes a = Pattern(10, 0);
    auto w = t.file->WriteAsync(a.data(), 10);
    emu::RunUntilIdle();
    EXPECT_EQ(t.stack.Close(), STATUS_SUCCESS);
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(w.Status(), STATUS_CANCELLED);
    EXPECT_TRUE(t.p()->TxStopped);
}

TEST_F(SyncTransmit, FailedTransferIsReportedNotRetried) {
    const NTSTATUS kDeviceError = (NTSTATUS)0xC000009CL;
    t.dev().FailTransfers(kTx, 1, kDeviceError);
    Bytes a = Pattern(10, 0);
    auto wa = t.file->WriteAsync(a.data(), 10);
    auto wb = t.file->WriteAsync(a.data(), 10);
    emu::RunUntilIdle();
    EXPECT_EQ(wa.Status(), kDeviceError);
    EXPECT_EQ(wa.Information(), 0u);
    EXPECT_EQ(wb.Status(), STATUS_SUCCESS);
    EXPECT_EQ(t.dev().TransferLog().size(), 1u);
    EXPECT_EQ(t.OutQueue(), 0u);
}

// A transfer the device failed part-way, after a whole number of packets, keeps its failure: no
// zero-length transfer follows it (its success would replace the failure), and a synchronous
// write reports the failure and the bytes the lower driver said it sent.
TEST(TransmitFailure, FailedWholePacketTransferIsNotEndedWithAZeroLengthOne) {
    const NTSTATUS kDataError = (NTSTATUS)0xC000009CL;  // STATUS_DEVICE_DATA_ERROR
    for (bool async : {false, true}) {
        PortBed bed;
        bed.SetString(u"PortName", u"COM7");
        bed.SetDword(u"TxAsync", async ? 1 : 0);
        bed.SetDword(u"RxPollPeriod", 1000);
        ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
        ASSERT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        std::unique_ptr<emu::io::File> f;
        ASSERT_EQ(emu::io::File::Open(u"\\DosDevices\\COM7", &f), STATUS_SUCCESS);
        int transfers = 0, empty = 0;
        bed.lower().onRequest = [&](PIRP irp) {
            PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
            if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL ||
                stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_PIPE_WRITE) {
                return;
            }
            if (stack->Parameters.DeviceIoControl.InputBufferLength == 0) {
                empty++;
                irp->IoStatus.Information = 0;
                return;
            }
            transfers++;
            irp->IoStatus.Status = kDataError;
            irp->IoStatus.Information = 64;  // one packet went out before the failure
        };
        Bytes data = Pattern(128, 1);
        auto w = f->Write(data.data(), 128);
        emu::RunUntilIdle();
        EXPECT_EQ(transfers, 1) << "async " << async;
        EXPECT_EQ(empty, 0) << "async " << async;
        if (async) {
            EXPECT_EQ(w.Status(), STATUS_SUCCESS);  // buffered before the transfer
        } else {
            EXPECT_EQ(w.Status(), kDataError);
            EXPECT_EQ(w.Information(), 64u);
        }
        bed.lower().onRequest = nullptr;
        EXPECT_EQ(f->Close(), STATUS_SUCCESS);
    }
}

// Wait masks, the event history and the one pending wait: how a wait is satisfied, released,
// refused and cancelled, and the hand-over races between those paths.
#include <gtest/gtest.h>

#include <atomic>

#include "control_util.h"

namespace {

using namespace vcomtest;
using ControlEvents = PortOpened;

void Post(Stack& s, ULONG events) {
    PostSerialEvents(s.Port(), events);
    CompletePendingWait(s.Port());
}

TEST_F(ControlEvents, HistoryBeforeTheMaskSatisfiesTheNextWait) {
    ASSERT_EQ(SetMask(f, 0), STATUS_SUCCESS);
    Post(s, SERIAL_EV_RXCHAR);  // nobody waits, the mask is 0: only the history keeps it
    ASSERT_EQ(SetMask(f, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto r = WaitAsync(f);
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(Events(r), (ULONG)SERIAL_EV_RXCHAR);
    EXPECT_EQ(r.Information(), 4u);
    EXPECT_EQ(r.Boost(), IO_SERIAL_INCREMENT);
    EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_WAIT_MASK), (ULONG)SERIAL_EV_RXCHAR);
}

TEST_F(ControlEvents, SatisfiedWaitClearsTheWholeHistory) {
    // Both masked events together.
    ASSERT_EQ(SetMask(f, SERIAL_EV_RXCHAR | SERIAL_EV_CTS), STATUS_SUCCESS);
    Post(s, SERIAL_EV_RXCHAR);
    Post(s, SERIAL_EV_CTS);
    EXPECT_EQ(Events(WaitAsync(f)), (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_CTS));
    EXPECT_EQ(s.Ext()->EventHistory, 0u);

    // An event outside the mask goes with the satisfied wait too.
    ASSERT_EQ(SetMask(f, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    Post(s, SERIAL_EV_DSR | SERIAL_EV_RXCHAR);
    EXPECT_EQ(Events(WaitAsync(f)), (ULONG)SERIAL_EV_RXCHAR);
    ASSERT_EQ(SetMask(f, SERIAL_EV_DSR), STATUS_SUCCESS);
    auto r = WaitAsync(f);
    EXPECT_FALSE(r.Done());
    Post(s, SERIAL_EV_DSR);
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(Events(r), (ULONG)SERIAL_EV_DSR);
    EXPECT_EQ(r.Boost(), IO_SERIAL_INCREMENT);
}

TEST_F(ControlEvents, PendingWaitIgnoresEventsOutsideItsMask) {
    // Events the port never posts may be waited for; only cancel or a new mask ends the wait.
    ASSERT_EQ(SetMask(f, SERIAL_EV_BREAK | SERIAL_EV_ERR), STATUS_SUCCESS);
    auto r = WaitAsync(f);
    Post(s, SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY);
    EXPECT_FALSE(r.Done());
    EXPECT_EQ(s.Ext()->EventHistory, (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_TXEMPTY));
    EXPECT_TRUE(r.Cancel());
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(r.Status(), STATUS_CANCELLED);
    EXPECT_EQ(r.Information(), 0u);
    EXPECT_EQ(s.Ext()->PendingWaitIrp, nullptr);
    // The history survived the cancellation.
    ASSERT_EQ(SetMask(f, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    EXPECT_EQ(Events(WaitAsync(f)), (ULONG)SERIAL_EV_TXEMPTY);
}

TEST_F(ControlEvents, NewMaskReleasesThePendingWaitWithNoEvents) {
    ASSERT_EQ(SetMask(f, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    auto r = WaitAsync(f);
    ASSERT_FALSE(r.Done());
    Post(s, SERIAL_EV_RXCHAR);  // kept in the history
    ASSERT_EQ(SetMask(f, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(r.Information(), 4u);
    EXPECT_EQ(Events(r), 0u);
    EXPECT_EQ(s.Ext()->PendingWaitIrp, nullptr);
    // The history was not cleared by the mask change.
    EXPECT_EQ(Events(WaitAsync(f)), (ULONG)SERIAL_EV_RXCHAR);
}

TEST_F(ControlEvents, RefusedWaits) {
    ASSERT_EQ(SetMask(f, 0), STATUS_SUCCESS);
    Post(s, SERIAL_EV_RXCHAR);
    auto none = WaitAsync(f);
    ASSERT_TRUE(none.Done());
    EXPECT_EQ(none.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(none.Information(), 0u);

    ASSERT_EQ(SetMask(f, SERIAL_EV_RING), STATUS_SUCCESS);
    auto first = WaitAsync(f);
    auto second = WaitAsync(f);
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.Status(), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(first.Done());
    EXPECT_EQ(s.Ext()->EventHistory, (ULONG)SERIAL_EV_RXCHAR);  // refusals leave the history

    // Removal refuses a new wait; the pending one stays.
    s.Ext()->SurpriseRemoved = TRUE;
    auto removed = WaitAsync(f);
    EXPECT_EQ(removed.Status(), STATUS_DELETE_PENDING);
    s.Ext()->SurpriseRemoved = FALSE;

    Post(s, SERIAL_EV_RING);
    ASSERT_TRUE(first.Done());
    EXPECT_EQ(Events(first), (ULONG)SERIAL_EV_RING);
}

TEST_F(ControlEvents, CleanupCancelsThePendingWait) {
    ASSERT_EQ(SetMask(f, SERIAL_EV_CTS), STATUS_SUCCESS);
    auto r = WaitAsync(f);
    ASSERT_FALSE(r.Done());
    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(r.Status(), STATUS_CANCELLED);
    EXPECT_EQ(s.Ext()->PendingWaitIrp, nullptr);
    // The mask carries over to the next open; the history does not.
    Post(s, SERIAL_EV_CTS);
    auto& g = s.OpenOk();
    EXPECT_EQ(Get<ULONG>(g, IOCTL_SERIAL_GET_WAIT_MASK), (ULONG)SERIAL_EV_CTS);
    EXPECT_FALSE(WaitAsync(g).Done());
}

// Completion by events, release by a new mask and cancellation race for one pending wait: it is
// completed exactly once (the verifier sees a second completion) and the port forgets it.
TEST_F(ControlEvents, CompletionPathsRaceForThePendingWait) {
    emu::Worker dpc("poster");
    int completedByEvents = 0, released = 0, cancelled = 0;
    for (int i = 0; i < 300; i++) {
        ASSERT_EQ(SetMask(f, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
        auto r = WaitAsync(f);
        ASSERT_FALSE(r.Done());
        dpc.Post([&] { Post(s, SERIAL_EV_RXCHAR); });
        emu::Thread canceller([&] { r.Cancel(); }, "canceller");
        if (i % 3 == 0) SetMask(f, SERIAL_EV_RXCHAR);
        canceller.join();
        dpc.Drain();
        emu::RunUntilIdle();
        ASSERT_TRUE(r.Done());
        if (r.Status() == STATUS_CANCELLED) {
            cancelled++;
        } else {
            ASSERT_EQ(r.Status(), STATUS_SUCCESS);
            (Events(r) ? completedByEvents : released)++;
        }
        EXPECT_EQ(s.Ext()->PendingWaitIrp, nullptr);
        s.Ext()->EventHistory = 0;
    }
    EXPECT_EQ(completedByEvents + released + cancelled, 300);
}

// Cancellation racing the wait's own installation of its cancel routine.
TEST_F(ControlEvents, CancelRacesTheWaitBeingInstalled) {
    ASSERT_EQ(SetMask(f, SERIAL_EV_RING), STATUS_SUCCESS);
    for (int i = 0; i < 300; i++) {
        std::atomic<bool> go{false};
        emu::Thread canceller([&] {
            while (!go.load()) {}
            f.CancelAll();
        }, "canceller");
        go = true;
        auto r = WaitAsync(f);
        canceller.join();
        if (!r.Done()) r.Cancel();
        emu::RunUntilIdle();
        ASSERT_TRUE(r.Done());
        EXPECT_EQ(r.Status(), STATUS_CANCELLED);
        EXPECT_EQ(s.Ext()->PendingWaitIrp, nullptr);
    }
}

// A wait whose cancellation was requested before it could pend is completed by the handler.
TEST_F(ControlEvents, WaitAlreadyCancelledDoesNotPend) {
    ASSERT_EQ(SetMask(f, SERIAL_EV_RING), STATUS_SUCCESS);
    KEVENT done;
    IO_STATUS_BLOCK iosb{};
    ULONG events = 0xFFFF;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_SERIAL_WAIT_ON_MASK, s.Port(), nullptr, 0, &events,
                                             sizeof events, FALSE, &done, &iosb);
    IoGetNextIrpStackLocation(irp)->FileObject = f.FileObject();
    irp->Cancel = TRUE;
    EXPECT_EQ(IoCallDriver(s.Port(), irp), STATUS_CANCELLED);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    EXPECT_EQ(iosb.Information, 0u);
    EXPECT_EQ(s.Ext()->PendingWaitIrp, nullptr);
    // The port takes the next wait.
    auto w = WaitAsync(f);
    EXPECT_FALSE(w.Done());
    EXPECT_TRUE(w.Cancel());
}

TEST_F(ControlEvents, PurgeClearsTheBuffers) {
    PortExtension* p = s.Ext();
    ASSERT_EQ(SetMask(f, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto wait = WaitAsync(f);

    uint8_t bytes[100] = {};
    ASSERT_EQ(RingPut(&p->RxBuffer, bytes, sizeof bytes), 100u);
    ASSERT_EQ(RingPut(&p->TxBuffer, bytes, 60), 60u);
    p->RxHasRoom = FALSE;
    // 0 and bits that are not purge bits do nothing.
    EXPECT_EQ(Set(f, IOCTL_SERIAL_PURGE, (ULONG)0), STATUS_SUCCESS);
    EXPECT_EQ(Set(f, IOCTL_SERIAL_PURGE, (ULONG)0xFFFFFFF0), STATUS_SUCCESS);
    EXPECT_EQ(RingCount(&p->RxBuffer), 100u);
    EXPECT_FALSE(p->RxHasRoom);

    EXPECT_EQ(Set(f, IOCTL_SERIAL_PURGE, (ULONG)SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_EQ(RingCount(&p->RxBuffer), 0u);
    EXPECT_EQ(p->RxBuffer.ReadIndex, 0u);
    EXPECT_EQ(p->RxBuffer.WriteIndex, 0u);
    EXPECT_TRUE(p->RxHasRoom);
    EXPECT_EQ(RingCount(&p->TxBuffer), 60u);
    EXPECT_EQ(Set(f, IOCTL_SERIAL_PURGE, (ULONG)SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS);
    EXPECT_EQ(RingCount(&p->TxBuffer), 0u);
    // A purge posts nothing and leaves the pending wait alone.
    EXPECT_FALSE(wait.Done());
    EXPECT_EQ(p->EventHistory, 0u);
    EXPECT_TRUE(wait.Cancel());
}

}  // namespace

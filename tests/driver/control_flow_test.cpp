// Serial control meeting the data paths: events posted by the reader, the transmitter and the
// status poller; purge of reads, writes and buffers; queue growth under a running reader; the
// timeouts re-arming a read in progress; the immediate character routed to the transmitter.
#include <gtest/gtest.h>

#include "control_util.h"

namespace {

using namespace vcomtest;
using ControlFlow = PortOpened;


void Settle() {
    emu::AdvanceTime(1);
    emu::RunUntilIdle();
}

NTSTATUS NoReadTimeouts(emu::io::File& f) {
    return Set(f, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{0, 0, 0, 0, 0});
}

// ---- events from their posters ---------------------------------------------------------------

TEST_F(ControlFlow, ReceivedBytesPostRxCharAndRxFlag) {
    SERIAL_CHARS chars{};
    chars.EventChar = 0x7E;
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    ASSERT_EQ(SetMask(f, SERIAL_EV_RXFLAG), STATUS_SUCCESS);
    auto w = WaitAsync(f);
    s.dev().Inject({1, 2, 3});
    Settle();
    EXPECT_FALSE(w.Done());  // RXCHAR only went to the history
    s.dev().Inject({4, 0x7E});
    Settle();
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(Events(w), (ULONG)SERIAL_EV_RXFLAG);

    ASSERT_EQ(SetMask(f, SERIAL_EV_RXCHAR), STATUS_SUCCESS);
    auto w2 = WaitAsync(f);  // the history was cleared by the satisfied wait
    EXPECT_FALSE(w2.Done());
    s.dev().Inject({5});
    Settle();
    ASSERT_TRUE(w2.Done());
    EXPECT_EQ(Events(w2), (ULONG)SERIAL_EV_RXCHAR);
}

TEST_F(ControlFlow, RxBufferEightyPercentFull) {
    ASSERT_EQ(SetMask(f, SERIAL_EV_RX80FULL), STATUS_SUCCESS);
    auto w = WaitAsync(f);
    s.dev().Inject(Bytes(3276, 0x11));  // 3276 * 100 / 4096 = 79
    Settle();
    EXPECT_EQ(RingCount(&s.Ext()->RxBuffer), 3276u);
    EXPECT_FALSE(w.Done());
    s.dev().Inject({0x22});
    Settle();
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(Events(w), (ULONG)SERIAL_EV_RX80FULL);
}

TEST_F(ControlFlow, WriteCompletionPostsTxEmpty) {
    ASSERT_EQ(SetMask(f, SERIAL_EV_TXEMPTY), STATUS_SUCCESS);
    auto w = WaitAsync(f);
    Bytes data(10, 0x42);
    auto wr = f.WriteAsync(data.data(), (ULONG)data.size());
    Settle();
    ASSERT_TRUE(wr.Done());
    EXPECT_EQ(wr.Status(), STATUS_SUCCESS);
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(Events(w), (ULONG)SERIAL_EV_TXEMPTY);
}

// Every input line posts its event on each edge, RI included.
TEST(ControlFlowConfigured, ModemLineChangesPostTheirEvents) {
    Stack s(Variant(1));
    s.dev().SetStatusByte(0x00);
    auto& f = s.OpenOk();
    Settle();
    ASSERT_EQ(SetMask(f, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING), STATUS_SUCCESS);
    struct Step { uint8_t byte; ULONG events; ULONG lines; };
    const Step steps[] = {
        {0x0F, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING, 0xF0},
        {0x07, SERIAL_EV_RING, SERIAL_CTS_STATE | SERIAL_DSR_STATE | SERIAL_DCD_STATE},
        {0x03, SERIAL_EV_RLSD, SERIAL_CTS_STATE | SERIAL_DSR_STATE},
        {0x01, SERIAL_EV_DSR, SERIAL_CTS_STATE},
        {0xF1, 0, SERIAL_CTS_STATE},  // the high nibble is not a line
        {0x00, SERIAL_EV_CTS, 0},
        {0x08, SERIAL_EV_RING, SERIAL_RI_STATE},
    };
    for (const Step& st : steps) {
        SCOPED_TRACE(testing::Message() << std::hex << int(st.byte));
        auto w = WaitAsync(f);
        s.dev().SetStatusByte(st.byte);
        emu::AdvanceTime(50);
        EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_MODEMSTATUS), st.lines);
        if (st.events == 0) {
            EXPECT_FALSE(w.Done());
            EXPECT_TRUE(w.Cancel());
            continue;
        }
        ASSERT_TRUE(w.Done());
        EXPECT_EQ(Events(w), st.events);
    }
}

TEST(ControlFlowConfigured, NoStatusPollingMeansLinesOnAndNoEvents) {
    Stack s(WithValue(Variant(1), u"CtlPollPeriod", MAXULONG));  // -1
    auto& f = s.OpenOk();
    EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_MODEMSTATUS), 0xB0u);
    ASSERT_EQ(SetMask(f, SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING), STATUS_SUCCESS);
    auto w = WaitAsync(f);
    s.dev().SetStatusByte(0x08);
    emu::AdvanceTime(100);
    EXPECT_FALSE(w.Done());
    EXPECT_TRUE(w.Cancel());
}

// ---- purge ------------------------------------------------------------------------------------

TEST_F(ControlFlow, PurgeRxAbortCancelsEveryRead) {
    ASSERT_EQ(NoReadTimeouts(f), STATUS_SUCCESS);
    auto r1 = f.ReadAsync(10);
    auto r2 = f.ReadAsync(10);
    Settle();
    ASSERT_FALSE(r1.Done());
    s.dev().Inject({1, 2, 3});
    Settle();
    EXPECT_EQ(Set(f, IOCTL_SERIAL_PURGE, (ULONG)(SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);
    ASSERT_TRUE(r1.Done());
    ASSERT_TRUE(r2.Done());
    EXPECT_EQ(r1.Status(), STATUS_CANCELLED);
    EXPECT_EQ(r2.Status(), STATUS_CANCELLED);
    // Reading goes on afterwards.
    auto r3 = f.ReadAsync(2);
    s.dev().Inject({7, 8});
    Settle();
    ASSERT_TRUE(r3.Done());
    EXPECT_EQ(r3.Data(), (Bytes{7, 8}));
}

// A reader stopped for lack of room resumes once the purge emptied the buffer.
TEST_F(ControlFlow, PurgeRxClearResumesAStalledReader) {
    s.dev().Inject(Bytes(6000, 0x33));
    emu::AdvanceTime(20);
    PortExtension* p = s.Ext();
    ULONG64 held = RingCount(&p->RxBuffer);
    ASSERT_LT(held, 4096u);
    ASSERT_GT(s.dev().RxBacklog(), 0u);  // the reader stopped asking
    emu::AdvanceTime(50);
    ASSERT_EQ(RingCount(&p->RxBuffer), held);

    ASSERT_EQ(Set(f, IOCTL_SERIAL_PURGE, (ULONG)SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    emu::AdvanceTime(10);
    EXPECT_GT(RingCount(&p->RxBuffer), 0u);
    EXPECT_LT(s.dev().RxBacklog(), 6000u - held);
}

TEST_F(ControlFlow, PurgeTxAbortCancelsWritesWaitingAndAtTheDevice) {
    s.dev().HoldCompletions(true);
    Bytes data(50, 0x44);
    auto w1 = f.WriteAsync(data.data(), 50);
    auto w2 = f.WriteAsync(data.data(), 50);
    auto w3 = f.WriteAsync(data.data(), 50);
    Settle();
    ASSERT_FALSE(w1.Done());
    EXPECT_EQ(Set(f, IOCTL_SERIAL_PURGE, (ULONG)SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    s.dev().HoldCompletions(false);
    s.dev().ReleaseHeld();
    Settle();
    for (auto* w : {&w1, &w2, &w3}) {
        ASSERT_TRUE(w->Done());
        EXPECT_EQ(w->Status(), STATUS_CANCELLED);
    }
    EXPECT_EQ(Get<SERIAL_STATUS>(f, IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 0u);
    // Writes are accepted again.
    s.dev().ClearTx();
    auto w4 = f.Write(data.data(), 5);
    EXPECT_EQ(w4.Status(), STATUS_SUCCESS);
    EXPECT_EQ(s.dev().TxStream(), Bytes(5, 0x44));
}

// Asynchronous mode: the abort takes the transfer at the device, the clear the bytes still
// buffered; neither reaches the line, what the purge left goes out on its own, and writes go on.
TEST(ControlFlowConfigured, PurgeTxAbortAndClearInAsyncMode) {
    const Bytes a(100, 0x61), b(50, 0x62), c(5, 0x63);
    struct Case { ULONG purge; Bytes sent; };
    for (const Case& k : {Case{SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR, {}}, Case{SERIAL_PURGE_TXABORT, b}}) {
        SCOPED_TRACE(k.purge);
        Stack s(WithValue({}, u"TxAsync", 1));
        auto& f = s.OpenOk();
        s.dev().StallTx(true);
        ASSERT_EQ(f.Write(a.data(), 100).Status(), STATUS_SUCCESS);
        emu::AdvanceTime(20);
        ASSERT_EQ(f.Write(b.data(), 50).Status(), STATUS_SUCCESS);
        ASSERT_GT(RingCount(&s.Ext()->TxBuffer), 0u);
        EXPECT_EQ(Set(f, IOCTL_SERIAL_PURGE, k.purge), STATUS_SUCCESS);
        if (k.purge & SERIAL_PURGE_TXCLEAR) {
            EXPECT_EQ(RingCount(&s.Ext()->TxBuffer), 0u);
            EXPECT_EQ(Get<SERIAL_STATUS>(f, IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 0u);
        }
        s.dev().StallTx(false);
        emu::AdvanceTime(50);
        EXPECT_EQ(s.dev().TxStream(), k.sent);
        EXPECT_EQ(RingCount(&s.Ext()->TxBuffer), 0u);
        ASSERT_EQ(f.Write(c.data(), 5).Status(), STATUS_SUCCESS);
        emu::AdvanceTime(50);
        Bytes all = k.sent;
        all.insert(all.end(), c.begin(), c.end());
        EXPECT_EQ(s.dev().TxStream(), all);
    }
}

// ---- queue size and timeouts against the reader and the reads ---------------------------------

TEST_F(ControlFlow, QueueSizeGrowsUnderARunningReader) {
    Bytes first(3000), second(4000);
    for (size_t i = 0; i < first.size(); i++) first[i] = (uint8_t)i;
    for (size_t i = 0; i < second.size(); i++) second[i] = (uint8_t)(i * 3 + 1);
    s.dev().Inject(first);
    Settle();
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{16384, 4096}), STATUS_SUCCESS);
    EXPECT_EQ(s.Ext()->RxQueueSize, 16384u);
    s.dev().Inject(second);
    Settle();
    EXPECT_EQ(RingCount(&s.Ext()->RxBuffer), 7000u);  // all of it fits now
    ASSERT_EQ(NoReadTimeouts(f), STATUS_SUCCESS);
    auto r = f.Read(7000);
    ASSERT_EQ(r.Status(), STATUS_SUCCESS);
    Bytes all(first);
    all.insert(all.end(), second.begin(), second.end());
    EXPECT_EQ(r.Data(), all);
}

// A size past the cap is refused and changes nothing; a growth gives a reader stopped for lack of
// room its room back at once, not only when a read drains the old buffer.
TEST_F(ControlFlow, QueueSizeIsCappedAndGrowthResumesAFullReader) {
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{0xFFFFFFF0u, 4096}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{MAX_RX_QUEUE_SIZE + 1, 4096}),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(s.Ext()->RxQueueSize, 4096u);
    EXPECT_EQ(s.Ext()->RxBuffer.Size, 4096u);

    Bytes data(6000);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 5);
    s.dev().Inject(data);
    Settle();
    ASSERT_FALSE(s.Ext()->RxHasRoom);  // stopped for lack of room
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{MAX_RX_QUEUE_SIZE, 4096}), STATUS_SUCCESS);
    emu::AdvanceTime(50);
    EXPECT_EQ(RingCount(&s.Ext()->RxBuffer), 6000u);  // no read had to drain it first
    ASSERT_EQ(NoReadTimeouts(f), STATUS_SUCCESS);
    auto r = f.Read(6000);
    EXPECT_EQ(r.Data(), data);
}

// RXCLEAR drops every byte received before it, those still waiting in the last transfer too.
TEST(ControlFlowConfigured, PurgeRxClearDropsBytesNotYetStored) {
    Stack s(WithValue({}, u"RxReqSize", 4096));
    auto& f = s.OpenOk();
    s.dev().Inject(Bytes(1000, 0x11));
    Settle();
    s.dev().Inject(Bytes(4096, 0x22));
    Settle();
    ASSERT_GT(s.Ext()->RxLeftover, 0u);  // the buffer is full; the rest waits in the transfer
    EXPECT_EQ(Set(f, IOCTL_SERIAL_PURGE, (ULONG)SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    emu::AdvanceTime(50);
    EXPECT_EQ(RingCount(&s.Ext()->RxBuffer), 0u);
    Bytes fresh{1, 2, 3};
    s.dev().Inject(fresh);
    emu::AdvanceTime(50);
    ASSERT_EQ(NoReadTimeouts(f), STATUS_SUCCESS);
    EXPECT_EQ(f.Read(3).Data(), fresh);
}

// New timeouts re-arm the total timer of the read in progress.
TEST_F(ControlFlow, SetTimeoutsRearmsTheCurrentRead) {
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{0, 0, 5000, 0, 0}), STATUS_SUCCESS);
    auto r = f.ReadAsync(10);
    emu::AdvanceTime(1000);
    ASSERT_FALSE(r.Done());
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{0, 0, 200, 0, 0}), STATUS_SUCCESS);
    ASSERT_TRUE(DoneAfter(r, 200));
    EXPECT_EQ(r.Status(), STATUS_TIMEOUT);
}

// ---- the immediate character -------------------------------------------------------------------

TEST_F(ControlFlow, ImmediateCharReachesTheTransmitter) {
    EXPECT_EQ(Control(f, IOCTL_SERIAL_IMMEDIATE_CHAR).Status(), STATUS_INVALID_PARAMETER);
    auto r = Control(f, IOCTL_SERIAL_IMMEDIATE_CHAR, Bytes{0x5A});
    EXPECT_EQ(r.Status(), STATUS_SUCCESS);
    Settle();
    EXPECT_EQ(s.dev().TxStream(), (Bytes{0x5A}));
}

}  // namespace

// Modem lines per device variant, the handshake refusals, concurrent line changes, and the modem
// and communication status reports.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "control_util.h"

namespace {

using namespace vcomtest;

constexpr UCHAR kRts = CONTROL_LINE_RTS, kDtr = CONTROL_LINE_DTR, kBreak = CONTROL_LINE_BREAK;

NTSTATUS Line(emu::io::File& f, ULONG code) {
    return Control(f, code).Status();
}

TEST(ControlModem, LinesAfterOpen) {
    Stack s;
    auto& f = s.OpenOk();
    auto r = Control(f, IOCTL_SERIAL_GET_MODEM_CONTROL, {}, 4);
    EXPECT_EQ(FromBytes<ULONG>(r.Data()), 3u);
    EXPECT_EQ(r.Boost(), IO_SERIAL_INCREMENT);
    EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_DTRRTS), (ULONG)(SERIAL_DTR_STATE | SERIAL_RTS_STATE));
}

// Which line requests reach the device, per variant.
TEST(ControlModem, LineRequestsPerVariant) {
    for (int variant = 0; variant < 4; variant++) {
        SCOPED_TRACE(variant);
        Stack s(Variant(variant));
        auto& f = s.OpenOk();
        PortExtension* p = s.Ext();
        s.TakeCommands();
        bool sends = variant != 0;

        EXPECT_EQ(Line(f, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
        EXPECT_EQ(p->ModemControl, kRts);
        EXPECT_EQ(Line(f, IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
        EXPECT_EQ(p->ModemControl, 0);
        EXPECT_EQ(Line(f, IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
        EXPECT_EQ(p->ModemControl, kDtr);
        EXPECT_EQ(Line(f, IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
        EXPECT_EQ(p->ModemControl, kDtr | kRts);
        auto c = s.TakeCommands();
        if (sends) {
            EXPECT_EQ(c, (std::vector<Bytes>{{0x01, kRts}, {0x01, 0}, {0x01, kDtr}, {0x01, kDtr | kRts}}));
        } else {
            EXPECT_TRUE(c.empty());
        }

        // Set modem control reaches every variant; the request's DTR bit is 1, RTS 2.
        auto r = Control(f, IOCTL_SERIAL_SET_MODEM_CONTROL, AsBytes((ULONG)(SERIAL_DTR_STATE | 0xF0)));
        EXPECT_EQ(r.Status(), STATUS_SUCCESS);
        EXPECT_EQ(r.Boost(), IO_SERIAL_INCREMENT);
        EXPECT_EQ(p->ModemControl, kDtr);
        EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_MODEM_CONTROL), (ULONG)SERIAL_DTR_STATE);
        EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_DTRRTS), (ULONG)SERIAL_DTR_STATE);
        EXPECT_EQ(s.TakeCommands(), (std::vector<Bytes>{{0x01, kDtr}}));

        // Break only on variant 2; elsewhere accepted without effect.
        EXPECT_EQ(Line(f, IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS);
        if (variant == 2) {
            EXPECT_EQ(p->ModemControl, kDtr | kBreak);
            EXPECT_TRUE(s.dev().State().controlLines & usbpipe::kLineBreak);
            // Modem control keeps the break bit and reports only DTR and RTS.
            EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_MODEM_CONTROL, (ULONG)SERIAL_RTS_STATE), STATUS_SUCCESS);
            EXPECT_EQ(p->ModemControl, kRts | kBreak);
            EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_MODEM_CONTROL), (ULONG)SERIAL_RTS_STATE);
            EXPECT_EQ(Line(f, IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
            EXPECT_EQ(p->ModemControl, kRts);
            EXPECT_EQ(s.TakeCommands(),
                      (std::vector<Bytes>{{0x01, kDtr | kBreak}, {0x01, kRts | kBreak}, {0x01, kRts}}));
        } else {
            EXPECT_EQ(p->ModemControl, kDtr);
            EXPECT_EQ(Line(f, IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
            EXPECT_TRUE(s.TakeCommands().empty());
        }
    }
}

TEST(ControlModem, HandshakeOwnsItsLine) {
    Stack s(Variant(1));
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, 9600u), STATUS_SUCCESS);

    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, 0, 0, 0}), STATUS_SUCCESS);
    s.TakeCommands();
    EXPECT_EQ(Line(f, IOCTL_SERIAL_SET_DTR), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Line(f, IOCTL_SERIAL_CLR_DTR), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(p->ModemControl, kDtr | kRts);
    EXPECT_TRUE(s.TakeCommands().empty());
    EXPECT_EQ(Line(f, IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);  // RTS is still the application's
    // Set modem control is not refused.
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_MODEM_CONTROL, (ULONG)0), STATUS_SUCCESS);
    EXPECT_EQ(p->ModemControl, 0);

    // DTR control (1) and a full mask (3) are not the handshake.
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{SERIAL_DTR_MASK, 0, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(Line(f, IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);

    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0, SERIAL_RTS_HANDSHAKE, 0, 0}), STATUS_SUCCESS);
    EXPECT_EQ(Line(f, IOCTL_SERIAL_SET_RTS), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Line(f, IOCTL_SERIAL_CLR_RTS), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Line(f, IOCTL_SERIAL_CLR_DTR), STATUS_SUCCESS);
    for (ULONG flow : {SERIAL_RTS_CONTROL, SERIAL_TRANSMIT_TOGGLE}) {
        ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0, flow, 0, 0}), STATUS_SUCCESS);
        EXPECT_EQ(Line(f, IOCTL_SERIAL_SET_RTS), STATUS_SUCCESS);
        EXPECT_EQ(Line(f, IOCTL_SERIAL_CLR_RTS), STATUS_SUCCESS);
    }
}

TEST(ControlModem, FailedCommandKeepsTheChange) {
    Stack s(Variant(1));
    auto& f = s.OpenOk();
    s.dev().FailCommand(DEVCMD_CONTROL_LINES, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Line(f, IOCTL_SERIAL_CLR_DTR), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(s.Ext()->ModemControl, kRts);
    auto r = Control(f, IOCTL_SERIAL_SET_MODEM_CONTROL, AsBytes((ULONG)0));
    EXPECT_EQ(r.Status(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.Boost(), IO_NO_INCREMENT);
    EXPECT_EQ(s.Ext()->ModemControl, 0);
}

// DTR, RTS and break changed from several threads at once: no change is lost, and the last
// command the device got carries the final value.
TEST(ControlModem, ConcurrentLineChangesAreNotLost) {
    Stack s(Variant(2));
    auto& f = s.OpenOk();
    for (int round = 0; round < 40; round++) {
        ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_MODEM_CONTROL, (ULONG)0), STATUS_SUCCESS);
        ASSERT_EQ(Line(f, IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS);
        s.TakeCommands();
        std::vector<emu::Thread> threads;
        for (ULONG code : {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_BREAK_ON}) {
            threads.emplace_back([&f, code] { EXPECT_EQ(Line(f, code), STATUS_SUCCESS); }, "line");
        }
        for (auto& t : threads) t.join();
        EXPECT_EQ(s.Ext()->ModemControl, kDtr | kRts | kBreak);
        auto c = s.TakeCommands();
        ASSERT_EQ(c.size(), 3u);
        EXPECT_EQ(c.back(), (Bytes{0x01, kDtr | kRts | kBreak}));
        EXPECT_EQ(s.dev().State().controlLines, kDtr | kRts | kBreak);
    }
}

// The line queries only read a byte: they do not wait behind a line change that holds the lock
// while its device command is slow.
TEST(ControlModem, LineQueriesDoNotWaitForTheLineLock) {
    Stack s(Variant(1));
    auto& f = s.OpenOk();
    AcquirePassiveLock(&s.Ext()->ModemControlLock);
    std::atomic<int> done{0};
    emu::Thread query([&] {
        for (ULONG code : {IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_GET_DTRRTS}) {
            auto r = f.Ioctl(code, nullptr, 0, sizeof(ULONG));
            EXPECT_EQ(r.Status(), STATUS_SUCCESS);
            EXPECT_EQ(r.Information(), sizeof(ULONG));
            done++;
        }
    });
    emu::RunUntilIdle();
    EXPECT_EQ(done, 2);
    ReleasePassiveLock(&s.Ext()->ModemControlLock);
    query.join();
}

TEST(ControlModem, ModemStatusIsReported) {
    Stack s;
    auto& f = s.OpenOk();
    s.Ext()->ModemStatus = SERIAL_CTS_STATE | SERIAL_DCD_STATE;
    s.Ext()->SurpriseRemoved = TRUE;  // not gated
    EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_MODEMSTATUS), (ULONG)(SERIAL_CTS_STATE | SERIAL_DCD_STATE));
    s.Ext()->SurpriseRemoved = FALSE;
}

TEST(ControlModem, CommStatusCountsAndErrorsOnce) {
    Stack s;
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();
    uint8_t bytes[100] = {};
    ASSERT_EQ(RingPut(&p->RxBuffer, bytes, sizeof bytes), 100u);
    p->CommStatus.Errors = SERIAL_ERROR_OVERRUN;
    p->CommStatus.AmountInOutQueue = 7;
    p->CommStatus.WaitForImmediate = TRUE;

    auto st = Get<SERIAL_STATUS>(f, IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(st.Errors, (ULONG)SERIAL_ERROR_OVERRUN);
    EXPECT_EQ(st.HoldReasons, 0u);
    EXPECT_EQ(st.AmountInInQueue, 100u);
    EXPECT_EQ(st.AmountInOutQueue, 7u);
    EXPECT_FALSE(st.EofReceived);
    EXPECT_TRUE(st.WaitForImmediate);

    st = Get<SERIAL_STATUS>(f, IOCTL_SERIAL_GET_COMMSTATUS);
    EXPECT_EQ(st.Errors, 0u);
    EXPECT_EQ(st.AmountInInQueue, 100u);
    p->CommStatus.AmountInOutQueue = 0;
    p->CommStatus.WaitForImmediate = FALSE;
}

// In asynchronous mode the bytes waiting in the transmit buffer are the output queue.
TEST(ControlModem, CommStatusCountsTheTransmitBufferInAsyncMode) {
    Stack s(WithValue({}, u"TxAsync", 1));
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();
    uint8_t bytes[300] = {};
    ASSERT_EQ(RingPut(&p->TxBuffer, bytes, sizeof bytes), 300u);
    p->CommStatus.AmountInOutQueue = 5;  // not what async mode reports
    EXPECT_EQ(Get<SERIAL_STATUS>(f, IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 300u);
    p->CommStatus.AmountInOutQueue = 0;
    RingClear(&p->TxBuffer);
}

}  // namespace

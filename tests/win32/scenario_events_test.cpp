// WaitCommEvent: received bytes, the event character, transmit empty, and the modem lines the
// loopback plug wires to DTR and RTS; a new mask releasing a wait; one wait at a time.
#include <cstring>

#include "scenario.h"

namespace scenario {
namespace {

class PortEvents : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        if (IsSkipped()) return;
        h = OpenReady(FILE_FLAG_OVERLAPPED, MAXDWORD, 0, 0);
    }
    // Starts a wait; true if it is pending.
    bool StartWait(Overlapped& o, DWORD* events) {
        if (WaitCommEvent(h, events, &o)) return false;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        return true;
    }
    DWORD Finish(Overlapped& o, DWORD* events, DWORD ms = 2000) {
        EXPECT_EQ(WaitForSingleObject(o.hEvent, ms), WAIT_OBJECT_0);
        DWORD n = 0;
        EXPECT_TRUE(GetOverlappedResult(h, &o, &n, TRUE)) << GetLastError();
        EXPECT_EQ(n, sizeof(DWORD));
        return *events;
    }
    void Send(const char* s) { EXPECT_EQ(WriteWait(h, s, static_cast<DWORD>(strlen(s))), strlen(s)); }
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(PortEvents, ReceivedBytes) {
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    DWORD mask = 0;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, static_cast<DWORD>(EV_RXCHAR));
    Overlapped o;
    DWORD events = 0;
    EXPECT_TRUE(StartWait(o, &events));
    EXPECT_EQ(WaitForSingleObject(o.hEvent, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    Send("a");
    EXPECT_EQ(Finish(o, &events), static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(PortEvents, TransmitEmpty) {
    ASSERT_TRUE(SetCommMask(h, EV_TXEMPTY));
    Overlapped o;
    DWORD events = 0;
    EXPECT_TRUE(StartWait(o, &events));
    EXPECT_EQ(WaitForSingleObject(o.hEvent, 100), static_cast<DWORD>(WAIT_TIMEOUT));
    Send("hello");
    EXPECT_EQ(Finish(o, &events), static_cast<DWORD>(EV_TXEMPTY));
}

TEST_F(PortEvents, TheEventCharacterRaisesRxFlag) {
    DCB dcb = CommState(h);
    dcb.EvtChar = '\n';
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(SetCommMask(h, EV_RXFLAG));
    Overlapped o;
    DWORD events = 0;
    EXPECT_TRUE(StartWait(o, &events));
    Send("abc");
    EXPECT_EQ(WaitForSingleObject(o.hEvent, 200), static_cast<DWORD>(WAIT_TIMEOUT));  // bytes, but not the flag
    Send("line\n");
    EXPECT_EQ(Finish(o, &events), static_cast<DWORD>(EV_RXFLAG));
}

TEST_F(PortEvents, ModemLinesFollowTheLoopbackPlug) {
    ASSERT_TRUE(SetCommMask(h, EV_CTS));
    Overlapped o;
    DWORD events = 0;
    EXPECT_TRUE(StartWait(o, &events));
    ASSERT_TRUE(EscapeCommFunction(h, CLRRTS));  // RTS drives CTS
    EXPECT_EQ(Finish(o, &events), static_cast<DWORD>(EV_CTS));

    ASSERT_TRUE(SetCommMask(h, EV_DSR | EV_RLSD));
    EXPECT_TRUE(StartWait(o, &events));
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));  // DTR drives DSR and DCD
    // Both lines change with one status report.
    EXPECT_EQ(Finish(o, &events), static_cast<DWORD>(EV_DSR | EV_RLSD));
}

TEST_F(PortEvents, ANewMaskReleasesThePendingWaitWithNoEvents) {
    ASSERT_TRUE(SetCommMask(h, EV_RING));
    Overlapped o;
    DWORD events = 0xFFFF;
    EXPECT_TRUE(StartWait(o, &events));
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    EXPECT_EQ(Finish(o, &events), 0u);
}

TEST_F(PortEvents, OneWaitAtATimeAndCancellation) {
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    Overlapped first, second;
    DWORD e1 = 0, e2 = 0;
    EXPECT_TRUE(StartWait(first, &e1));
    EXPECT_FALSE(WaitCommEvent(h, &e2, &second));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(first.Done());
    ASSERT_TRUE(CancelIoEx(h, &first));
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &first, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // Events that came while nobody waited satisfy the next wait at once.
    Send("x");
    ASSERT_TRUE(WaitFor([&] { return InQueue(h) == 1; }, 1000));
    EXPECT_FALSE(StartWait(first, &e1));
    EXPECT_EQ(e1, static_cast<DWORD>(EV_RXCHAR));
}

TEST_F(PortEvents, AWaitWithAnEmptyMaskIsRefused) {
    ASSERT_TRUE(SetCommMask(h, 0));
    Overlapped o;
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(h, &events, &o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

}  // namespace
}  // namespace scenario

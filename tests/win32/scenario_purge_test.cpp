// PurgeComm during traffic, FlushFileBuffers, and cancelling overlapped reads.
#include <cstring>

#include "scenario.h"

namespace scenario {
namespace {

class PortPurge : public PortBothModes {
protected:
    void SetUp() override {
        PortBothModes::SetUp();
        if (IsSkipped()) return;
        h = OpenReady(FILE_FLAG_OVERLAPPED, MAXDWORD, 0, 0);
    }
    void Send(const Bytes& b) { ASSERT_EQ(WriteWait(h, b.data(), static_cast<DWORD>(b.size())), b.size()); }
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_P(PortPurge, RxClearDropsWhatWaitsToBeRead) {
    Send(Pattern(100));
    ASSERT_TRUE(WaitFor([&] { return InQueue(h) == 100; }, 1000)) << InQueue(h);
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    EXPECT_EQ(InQueue(h), 0u);
    // What comes afterwards is received normally.
    Bytes after = Pattern(10, 50);
    Send(after);
    ASSERT_TRUE(WaitFor([&] { return InQueue(h) == 10; }, 1000));
    uint8_t buf[32];
    ASSERT_EQ(ReadWait(h, buf, sizeof buf), 10u);
    EXPECT_EQ(memcmp(buf, after.data(), 10), 0);
}

TEST_P(PortPurge, RxAbortEndsPendingReadsAndTheDataStays) {
    SetTimeouts(h, 0, 0, 0);  // reads wait for their full length
    uint8_t a[50], b[50];
    Overlapped r1, r2;
    EXPECT_FALSE(ReadFile(h, a, sizeof a, nullptr, &r1));
    EXPECT_FALSE(ReadFile(h, b, sizeof b, nullptr, &r2));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT));
    DWORD n = 9;
    EXPECT_FALSE(GetOverlappedResult(h, &r1, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(GetOverlappedResult(h, &r2, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // Bytes received later wait in the queue for the next read.
    Send(Pattern(20));
    EXPECT_TRUE(WaitFor([&] { return InQueue(h) == 20; }, 1000));
}

TEST_P(PortPurge, FlushWaitsForWhatWasWritten) {
    Bytes out = Pattern(300);
    Overlapped w;
    DWORD n = 0;
    WriteFile(h, out.data(), 300, &n, &w);
    EXPECT_TRUE(FlushFileBuffers(h)) << GetLastError();
    ASSERT_TRUE(GetOverlappedResult(h, &w, &n, TRUE));
    EXPECT_EQ(n, 300u);
    EXPECT_TRUE(WaitFor([&] { return InQueue(h) == 300; }, 1000)) << InQueue(h);
}

TEST_P(PortPurge, TxAbortEndsAWriteInProgressAndLaterWritesWork) {
    Configure(h, CBR_600);  // 60 bytes a second: the write below is still going when purged
    SetTimeouts(h, MAXDWORD, 0, 0);
    Bytes big = Pattern(20000);  // more than the transmit buffer holds, in either mode
    Overlapped w;
    DWORD n = 0;
    ASSERT_FALSE(WriteFile(h, big.data(), static_cast<DWORD>(big.size()), &n, &w));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    Sleep(50);
    EXPECT_FALSE(w.Done());
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_FALSE(GetOverlappedResult(h, &w, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_LT(n, big.size());
    // The port carries data again, at a speed that lets the test end soon.
    Configure(h);
    PurgeComm(h, PURGE_RXCLEAR);
    Bytes after = Pattern(10, 7);
    Send(after);
    ASSERT_TRUE(WaitFor([&] { return InQueue(h) >= 10; }, 1000)) << InQueue(h);
    DWORD queued = InQueue(h);
    Bytes got(queued);
    ASSERT_EQ(ReadWait(h, got.data(), queued), queued);
    // Only the few bytes of the aborted write that had left before the purge may come first.
    EXPECT_EQ(Bytes(got.end() - 10, got.end()), after);
}

TEST_P(PortPurge, CancelledReadsEndAndLaterReadsWork) {
    SetTimeouts(h, 0, 0, 0);
    uint8_t a[10], b[10];
    Overlapped r1, r2;
    EXPECT_FALSE(ReadFile(h, a, sizeof a, nullptr, &r1));
    EXPECT_FALSE(ReadFile(h, b, sizeof b, nullptr, &r2));
    // Cancelling the second, waiting one leaves the first in place.
    ASSERT_TRUE(CancelIoEx(h, &r2));
    DWORD n = 0;
    EXPECT_FALSE(GetOverlappedResult(h, &r2, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(r1.Done());
    ASSERT_TRUE(CancelIo(h));
    EXPECT_FALSE(GetOverlappedResult(h, &r1, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    Bytes out = Pattern(10);
    Send(out);
    EXPECT_EQ(ReadWait(h, a, sizeof a), 10u);
    EXPECT_EQ(memcmp(a, out.data(), 10), 0);
}

INSTANTIATE_TEST_SUITE_P(Modes, PortPurge, ::testing::Values(TxMode::Sync, TxMode::Async), ModeName);

}  // namespace
}  // namespace scenario

// The read timeouts of COMMTIMEOUTS as Windows documents them, and the write total timeout. A
// read ended by a timeout is a successful ReadFile with fewer bytes.
#include <cstring>

#include "scenario.h"

namespace scenario {
namespace {

class PortTimeouts : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        if (IsSkipped()) return;
        h = Open();
        Configure(h);
    }
    void Send(const Bytes& b) {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, b.data(), static_cast<DWORD>(b.size()), &n, nullptr));
    }
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(PortTimeouts, ImmediateReturnGivesWhatIsThereEvenNothing) {
    SetTimeouts(h, MAXDWORD, 0, 0);
    uint8_t buf[32];
    DWORD n = 99;
    ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_LE(Since(start), TimingSlack());
    Send(Pattern(5));
    ASSERT_TRUE(WaitFor([&] { return InQueue(h) == 5; }, 1000));
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 5u);
}

TEST_F(PortTimeouts, TotalTimeoutIsLengthTimesMultiplierPlusConstant) {
    SetTimeouts(h, 0, 10, 100);
    uint8_t buf[50];
    DWORD n = 99;
    ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr)) << GetLastError();
    EXPECT_EQ(n, 0u);
    EXPECT_NEAR(Since(start), 600.0, TimingSlack());
    // With part of the data there: the bytes that came, when the time is up.
    Send(Pattern(20));
    start = GetTickCount64();
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 20u);
    EXPECT_NEAR(Since(start), 600.0, TimingSlack());
    // A read that fills completes at once.
    Send(Pattern(50));
    start = GetTickCount64();
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 50u);
    EXPECT_LT(Since(start), 600u);
}

TEST_F(PortTimeouts, IntervalTimeoutStartsWithTheFirstByte) {
    Close(h);
    h = Open(FILE_FLAG_OVERLAPPED);
    SetTimeouts(h, 100, 0, 0);
    Overlapped r;
    uint8_t buf[32];
    DWORD n = 0;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &r));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    // No byte yet: no limit.
    EXPECT_EQ(WaitForSingleObject(r.hEvent, 1000), static_cast<DWORD>(WAIT_TIMEOUT));
    Overlapped w;
    Bytes three = Pattern(3);
    WriteFile(h, three.data(), 3, nullptr, &w);
    ASSERT_TRUE(GetOverlappedResult(h, &w, &n, TRUE));
    ULONGLONG sent = GetTickCount64();
    ASSERT_EQ(WaitForSingleObject(r.hEvent, 2000), WAIT_OBJECT_0);
    EXPECT_NEAR(Since(sent), 100.0, TimingSlack() + 5.0);  // the bytes' own time on the wire
    ASSERT_TRUE(GetOverlappedResult(h, &r, &n, FALSE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(memcmp(buf, three.data(), 3), 0);
}

TEST_F(PortTimeouts, FirstByteModeReturnsWithTheFirstBytesOrAfterTheConstant) {
    SetTimeouts(h, MAXDWORD, MAXDWORD, 500);
    uint8_t buf[32];
    DWORD n = 99;
    ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_NEAR(Since(start), 500.0, TimingSlack());
    Send(Pattern(4));
    start = GetTickCount64();
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_GE(n, 1u);
    EXPECT_LE(n, 4u);
    EXPECT_LT(Since(start), 500u);
}

TEST_F(PortTimeouts, NoTimeoutsWaitForTheFullLength) {
    Close(h);
    h = Open(FILE_FLAG_OVERLAPPED);
    SetTimeouts(h, 0, 0, 0);
    Overlapped r, w1, w2;
    uint8_t buf[10];
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &r));
    Bytes first = Pattern(4), rest = Pattern(6, 100);
    WriteFile(h, first.data(), 4, nullptr, &w1);
    EXPECT_EQ(WaitForSingleObject(r.hEvent, 2000), static_cast<DWORD>(WAIT_TIMEOUT));
    WriteFile(h, rest.data(), 6, nullptr, &w2);
    ASSERT_EQ(WaitForSingleObject(r.hEvent, 2000), WAIT_OBJECT_0);
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &r, &n, FALSE));
    EXPECT_EQ(n, 10u);
    EXPECT_EQ(memcmp(buf, first.data(), 4), 0);
    EXPECT_EQ(memcmp(buf + 4, rest.data(), 6), 0);
    GetOverlappedResult(h, &w1, &n, TRUE);
    GetOverlappedResult(h, &w2, &n, TRUE);
}

class PortWriteTimeouts : public PortBothModes {};

TEST_P(PortWriteTimeouts, AWriteTheLineCannotCarryInTimeEndsWithFewerBytes) {
    HANDLE h = Open();
    Configure(h, CBR_1200);  // about 120 bytes a second
    SetTimeouts(h, MAXDWORD, 0, 0, 0, 200);
    Bytes out = Pattern(8000);
    DWORD n = 0;
    ULONGLONG start = GetTickCount64();
    EXPECT_TRUE(WriteFile(h, out.data(), 8000, &n, nullptr)) << GetLastError();
    EXPECT_NEAR(Since(start), 200.0, TimingSlack());
    EXPECT_LT(n, 8000u);
    PurgeComm(h, PURGE_RXCLEAR);
    // Without write timeouts a short write simply completes.
    SetTimeouts(h, MAXDWORD, 0, 0, 0, 0);
    ASSERT_TRUE(WriteFile(h, out.data(), 10, &n, nullptr));
    EXPECT_EQ(n, 10u);
}

INSTANTIATE_TEST_SUITE_P(Modes, PortWriteTimeouts, ::testing::Values(TxMode::Sync, TxMode::Async), ModeName);

}  // namespace
}  // namespace scenario

// Data through the loopback plug, byte for byte, at several sizes, in both transmit modes, on
// synchronous and overlapped handles; and the queue counts ClearCommError reports.
#include <cstring>

#include "scenario.h"

namespace scenario {
namespace {

class PortData : public PortBothModes {};

TEST_P(PortData, EverySizeComesBackIntactOnASynchronousHandle) {
    HANDLE h = OpenReady(0, MAXDWORD, 0, 0);  // reads return what has arrived
    for (size_t n : {1, 63, 64, 65, 511, 512, 1000, 4000}) {
        Bytes out = Pattern(n, static_cast<uint8_t>(n));
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, out.data(), static_cast<DWORD>(n), &written, nullptr)) << GetLastError();
        EXPECT_EQ(written, n);
        Bytes in = ReadAtLeast(h, n, 2000);
        EXPECT_EQ(in, out) << n << " bytes";
    }
}

TEST_P(PortData, ALongStreamFlowsThroughWithoutLoss) {
    // More than the receive buffer holds: the reader must hold back, never drop.
    HANDLE h = OpenReady(FILE_FLAG_OVERLAPPED, MAXDWORD, MAXDWORD, 100);  // first byte or 100 ms
    const size_t n = 20000;
    Bytes out = Pattern(n, 3);
    Overlapped w;
    DWORD written = 0;
    if (!WriteFile(h, out.data(), static_cast<DWORD>(n), &written, &w)) {
        ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    }
    Bytes in;
    ULONGLONG start = GetTickCount64();
    while (in.size() < n && Since(start) < 10000) {  // the line needs about 1.8 s for it
        uint8_t buf[1500];
        DWORD got = ReadWait(h, buf, sizeof buf);
        if (HasFailure()) return;
        in.insert(in.end(), buf, buf + got);
    }
    ASSERT_TRUE(GetOverlappedResult(h, &w, &written, TRUE)) << GetLastError();
    EXPECT_EQ(written, n);
    ASSERT_EQ(in.size(), n);
    EXPECT_TRUE(in == out);
}

TEST_P(PortData, OverlappedWritesAndReadsInFlightTogether) {
    HANDLE h = OpenReady(FILE_FLAG_OVERLAPPED, 0, 0, 0);  // reads wait for their full length
    Bytes a = Pattern(300, 1), b = Pattern(200, 9);
    uint8_t in1[250], in2[250];
    Overlapped r1, r2, w1, w2;
    EXPECT_FALSE(ReadFile(h, in1, sizeof in1, nullptr, &r1));
    EXPECT_FALSE(ReadFile(h, in2, sizeof in2, nullptr, &r2));
    WriteFile(h, a.data(), 300, nullptr, &w1);
    WriteFile(h, b.data(), 200, nullptr, &w2);
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &r1, &n, TRUE)) << GetLastError();
    EXPECT_EQ(n, 250u);
    ASSERT_TRUE(GetOverlappedResult(h, &r2, &n, TRUE)) << GetLastError();
    EXPECT_EQ(n, 250u);
    ASSERT_TRUE(GetOverlappedResult(h, &w1, &n, TRUE));
    EXPECT_EQ(n, 300u);
    ASSERT_TRUE(GetOverlappedResult(h, &w2, &n, TRUE));
    EXPECT_EQ(n, 200u);
    Bytes all(a);
    all.insert(all.end(), b.begin(), b.end());
    EXPECT_EQ(memcmp(in1, all.data(), 250), 0);
    EXPECT_EQ(memcmp(in2, all.data() + 250, 250), 0);
}

TEST_P(PortData, ClearCommErrorCountsWhatWaitsToBeRead) {
    HANDLE h = OpenReady(0, MAXDWORD, 0, 0);
    EXPECT_EQ(InQueue(h), 0u);
    Bytes out = Pattern(100);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, out.data(), 100, &n, nullptr));
    EXPECT_TRUE(WaitFor([&] { return InQueue(h) == 100; }, 2000)) << InQueue(h);
    uint8_t buf[40];
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 40u);
    DWORD errors = 1;
    COMSTAT cs;
    ASSERT_TRUE(ClearCommError(h, &errors, &cs));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(cs.cbInQue, 60u);
    EXPECT_EQ(cs.cbOutQue, 0u);
    EXPECT_EQ(cs.fCtsHold, 0u);
}

TEST_P(PortData, ZeroLengthRequestsSucceedAtOnce) {
    HANDLE h = Open();
    DWORD n = 7;
    uint8_t buf[1];
    EXPECT_TRUE(ReadFile(h, buf, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    n = 7;
    EXPECT_TRUE(WriteFile(h, buf, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, PortData, ::testing::Values(TxMode::Sync, TxMode::Async), ModeName);

}  // namespace
}  // namespace scenario

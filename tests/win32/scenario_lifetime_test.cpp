// The end of a port's use: closing with requests pending, and the device pulled out while open.
#include <cstring>

#include "scenario.h"

namespace scenario {
namespace {

using PortLifetime = PortTest;

TEST_F(PortLifetime, CloseWithReadsAndAWaitPendingEndsThem) {
    HANDLE h = OpenReady(FILE_FLAG_OVERLAPPED, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(h, EV_RING));
    uint8_t buf[16];
    Overlapped r, e;
    DWORD events = 0;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &r));
    EXPECT_FALSE(WaitCommEvent(h, &events, &e));
    Close(h);
    EXPECT_TRUE(r.Done());
    EXPECT_TRUE(e.Done());
    // The port opens again and works.
    h = OpenReady(0, MAXDWORD, MAXDWORD, 500);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "ok", 2, &n, nullptr));
    ASSERT_TRUE(ReadFile(h, buf, 2, &n, nullptr));
    EXPECT_GE(n, 1u);
}

TEST_F(PortLifetime, SurpriseRemovalEndsPendingRequestsAndLaterCallsFail) {
    HANDLE h = OpenReady(FILE_FLAG_OVERLAPPED, 0, 0, 0);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    uint8_t buf[16];
    Overlapped r, e;
    DWORD events = 0, n = 0;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &r));
    EXPECT_FALSE(WaitCommEvent(h, &events, &e));
    if (!SurpriseRemove()) GTEST_SKIP() << "this build cannot pull the device out";
    EXPECT_EQ(WaitForSingleObject(r.hEvent, 1000), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e.hEvent, 1000), WAIT_OBJECT_0);
    EXPECT_FALSE(GetOverlappedResult(h, &r, &n, FALSE));
    EXPECT_FALSE(GetOverlappedResult(h, &e, &n, FALSE));
    // Every later request fails, and says so.
    Overlapped r2;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, &r2) || GetOverlappedResult(h, &r2, &n, TRUE));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_NE(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
    EXPECT_FALSE(WaitCommEvent(h, &events, &e) || GetOverlappedResult(h, &e, &n, TRUE));
    Close(h);
    // The name is gone with the device.
    EXPECT_EQ(CreateFileW(PortPath(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
}

}  // namespace
}  // namespace scenario

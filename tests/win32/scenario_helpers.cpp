// Shared helpers of the scenarios (built for the emulation and for Windows alike).
#include "scenario.h"

#include <cstring>

namespace scenario {

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

bool WaitFor(const std::function<bool()>& ready, DWORD ms) {
    for (DWORD waited = 0;; ++waited) {
        if (ready()) return true;
        if (waited >= ms) return false;
        Sleep(1);
    }
}

Bytes ReadAtLeast(HANDLE port, size_t n, DWORD ms) {
    Bytes got;
    ULONGLONG end = GetTickCount64() + ms;
    while (got.size() < n) {
        uint8_t buf[4096];
        DWORD want = static_cast<DWORD>(std::min<size_t>(sizeof buf, n - got.size())), read = 0;
        if (!ReadFile(port, buf, want, &read, nullptr)) break;
        got.insert(got.end(), buf, buf + read);
        if (read == 0) {
            if (GetTickCount64() >= end) break;
            Sleep(1);
        }
    }
    return got;
}

namespace {
PortTest* gCurrent = nullptr;  // the running scenario, whose handles an OVERLAPPED may be in use on
}

Overlapped::Overlapped() {
    OVERLAPPED* base = this;
    memset(base, 0, sizeof *base);
    hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
}
Overlapped::~Overlapped() {
    // A scenario that failed half-way may leave its request pending: end it before the
    // OVERLAPPED it reports to goes away.
    if (!Done() && gCurrent) {
        for (HANDLE h : gCurrent->Handles()) CancelIoEx(h, this);
        WaitForSingleObject(hEvent, 1000);
    }
    CloseHandle(hEvent);
}

DWORD InQueue(HANDLE port) {
    COMSTAT cs;
    DWORD errors = 0;
    memset(&cs, 0, sizeof cs);
    if (!ClearCommError(port, &errors, &cs)) return 0xFFFFFFFF;
    return cs.cbInQue;
}

DCB CommState(HANDLE port) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    EXPECT_TRUE(GetCommState(port, &dcb)) << GetLastError();
    return dcb;
}

namespace {
template <class Op>
DWORD Waited(HANDLE port, Op op) {
    Overlapped o;
    DWORD n = 0;
    if (!op(&n, &o)) {
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
        EXPECT_TRUE(GetOverlappedResult(port, &o, &n, TRUE)) << GetLastError();
    }
    return n;
}
}  // namespace

DWORD WriteWait(HANDLE port, const void* data, DWORD length) {
    return Waited(port, [&](DWORD* n, OVERLAPPED* o) { return WriteFile(port, data, length, n, o); });
}

DWORD ReadWait(HANDLE port, void* buffer, DWORD length) {
    return Waited(port, [&](DWORD* n, OVERLAPPED* o) { return ReadFile(port, buffer, length, n, o); });
}

void PortTest::Start(TxMode mode) {
    gCurrent = this;
    std::string why;
    if (!StartPort(mode, &why)) GTEST_SKIP() << why;
    started_ = true;
}

void PortTest::TearDown() {
    for (HANDLE h : open_) CloseHandle(h);
    open_.clear();
    if (started_) StopPort();
    gCurrent = nullptr;
}

HANDLE PortTest::Open(DWORD flags) {
    HANDLE h = CreateFileW(PortPath(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "CreateFile failed with error " << GetLastError();
    if (h != INVALID_HANDLE_VALUE) open_.push_back(h);
    return h;
}

void PortTest::Close(HANDLE h) {
    for (size_t i = 0; i < open_.size(); ++i) {
        if (open_[i] == h) {
            open_.erase(open_.begin() + static_cast<long>(i));
            break;
        }
    }
    EXPECT_TRUE(CloseHandle(h));
}

void PortTest::Configure(HANDLE h, DWORD baud) {
    DCB dcb = CommState(h);
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
}

void PortTest::SetTimeouts(HANDLE h, DWORD interval, DWORD multiplier, DWORD constant, DWORD writeMultiplier,
                           DWORD writeConstant) {
    COMMTIMEOUTS t = {interval, multiplier, constant, writeMultiplier, writeConstant};
    ASSERT_TRUE(SetCommTimeouts(h, &t)) << GetLastError();
}

HANDLE PortTest::OpenReady(DWORD flags, DWORD interval, DWORD multiplier, DWORD constant) {
    HANDLE h = Open(flags);
    Configure(h);
    SetTimeouts(h, interval, multiplier, constant);
    return h;
}

std::string ModeName(const ::testing::TestParamInfo<TxMode>& info) {
    return info.param == TxMode::Sync ? "SyncTx" : "AsyncTx";
}

}  // namespace scenario

// Which requests each Win32 function sends, with which buffers, and how their completion comes
// back to the caller: against the tests' own fake serial driver (COM9).
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "emu/sched.h"
#include "emu/verifier.h"
#include "emu/win32.h"
#include "emu/registry.h"
#include "fake_serial.h"

namespace {

using fakeser::Answer;

template <class T>
std::vector<uint8_t> Bytes(const T& v) {
    auto* p = reinterpret_cast<const uint8_t*>(&v);
    return {p, p + sizeof v};
}

class Win32Api : public ::testing::Test {
protected:
    void SetUp() override { emu::win32::DriveClockFromThisThread(); }
    HANDLE Open(DWORD flags = 0) {
        HANDLE h = CreateFileW(L"\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        dev.TakeSeen();  // the create
        open_.push_back(h);
        return h;
    }
    void TearDown() override {
        for (HANDLE h : open_) EXPECT_TRUE(CloseHandle(h));
    }
    fakeser::Device dev;
    std::vector<HANDLE> open_;
};

TEST_F(Win32Api, CreateFileNamesExclusivityAndBadHandles) {
    HANDLE h = CreateFileA("COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // The device is exclusive: a second open is refused as Windows refuses it.
    EXPECT_EQ(CreateFileW(L"\\\\.\\COM9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(CreateFileW(L"\\\\.\\COM99", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DCB dcb;
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_FALSE(PurgeComm(event, PURGE_RXCLEAR));  // an event is not a file
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    CloseHandle(event);
    // The file can be opened again once closed.
    h = CreateFileW(L"COM9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
}

TEST_F(Win32Api, SetCommStateSendsTheWindowsSequenceAndGetCommStateReadsItBack) {
    HANDLE h = Open();
    SERIAL_CHARS oldChars{};
    oldChars.BreakChar = 0x42;
    dev.Answer(IOCTL_SERIAL_GET_CHARS, Answer{STATUS_SUCCESS, Bytes(oldChars)});
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 19200;
    dcb.ByteSize = 7;
    dcb.Parity = ODDPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fOutxCtsFlow = TRUE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.XonLim = 512;
    dcb.XoffLim = 128;
    ASSERT_TRUE(SetCommState(h, &dcb));
    auto seen = dev.TakeSeen();
    std::vector<ULONG> codes;
    for (auto& s : seen) codes.push_back(s.code);
    EXPECT_EQ(codes, (std::vector<ULONG>{IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                                         IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW,
                                         IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_CLR_RTS, IOCTL_SERIAL_SET_DTR,
                                         IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_SET_CHARS,
                                         IOCTL_SERIAL_SET_HANDFLOW}));
    ASSERT_EQ(seen.size(), 10u);
    EXPECT_EQ(seen[0].outLength, sizeof(SERIAL_BAUD_RATE));
    EXPECT_EQ(seen[3].outLength, sizeof(SERIAL_HANDFLOW));
    EXPECT_EQ(seen[4].in, Bytes(SERIAL_BAUD_RATE{19200}));
    EXPECT_TRUE(seen[5].in.empty());
    EXPECT_EQ(seen[7].in, Bytes(SERIAL_LINE_CONTROL{STOP_BITS_2, ODD_PARITY, 7}));
    SERIAL_CHARS chars{};
    chars.BreakChar = 0x42;
    chars.XonChar = 0x11;
    chars.XoffChar = 0x13;
    EXPECT_EQ(seen[8].in, Bytes(chars));
    SERIAL_HANDFLOW hf{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, 0, 512, 128};
    EXPECT_EQ(seen[9].in, Bytes(hf));

    // GetCommState: the four reads, mapped back.
    dev.Answer(IOCTL_SERIAL_GET_BAUD_RATE, Answer{STATUS_SUCCESS, Bytes(SERIAL_BAUD_RATE{19200})});
    dev.Answer(IOCTL_SERIAL_GET_LINE_CONTROL, Answer{STATUS_SUCCESS, Bytes(SERIAL_LINE_CONTROL{STOP_BITS_2, ODD_PARITY, 7})});
    dev.Answer(IOCTL_SERIAL_GET_CHARS, Answer{STATUS_SUCCESS, Bytes(chars)});
    dev.Answer(IOCTL_SERIAL_GET_HANDFLOW, Answer{STATUS_SUCCESS, Bytes(hf)});
    DCB back;
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(dev.TakeCodes(), (std::vector<ULONG>{IOCTL_SERIAL_GET_BAUD_RATE, IOCTL_SERIAL_GET_LINE_CONTROL,
                                                   IOCTL_SERIAL_GET_CHARS, IOCTL_SERIAL_GET_HANDFLOW}));
    dcb.fBinary = TRUE;
    dcb.fParity = TRUE;
    EXPECT_EQ(memcmp(&back, &dcb, sizeof dcb), 0);
}

TEST_F(Win32Api, SetCommStateRestoresTheOldSettingsWhenTheDriverRefusesOne) {
    HANDLE h = Open();
    SERIAL_HANDFLOW oldFlow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 2048, 512};
    dev.Answer(IOCTL_SERIAL_GET_BAUD_RATE, Answer{STATUS_SUCCESS, Bytes(SERIAL_BAUD_RATE{115200})});
    dev.Answer(IOCTL_SERIAL_GET_LINE_CONTROL, Answer{STATUS_SUCCESS, Bytes(SERIAL_LINE_CONTROL{0, 0, 8})});
    dev.Answer(IOCTL_SERIAL_GET_HANDFLOW, Answer{STATUS_SUCCESS, Bytes(oldFlow)});
    dev.Answer(IOCTL_SERIAL_SET_LINE_CONTROL, Answer{STATUS_INVALID_PARAMETER, {}});
    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = MARKPARITY;
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;  // handshake: no DTR request of its own
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    auto seen = dev.TakeSeen();
    ASSERT_EQ(seen.size(), 10u);
    EXPECT_EQ(seen[4].code, static_cast<ULONG>(IOCTL_SERIAL_SET_BAUD_RATE));
    EXPECT_EQ(seen[5].code, static_cast<ULONG>(IOCTL_SERIAL_SET_LINE_CONTROL));
    // The restore: the old records, in order.
    EXPECT_EQ(seen[6].code, static_cast<ULONG>(IOCTL_SERIAL_SET_BAUD_RATE));
    EXPECT_EQ(seen[6].in, Bytes(SERIAL_BAUD_RATE{115200}));
    EXPECT_EQ(seen[7].in, Bytes(SERIAL_LINE_CONTROL{0, 0, 8}));
    EXPECT_EQ(seen[8].code, static_cast<ULONG>(IOCTL_SERIAL_SET_CHARS));
    EXPECT_EQ(seen[9].in, Bytes(oldFlow));

    // Flow control with equal XON and XOFF characters is the driver's to judge: it is sent.
    dev.Answer(IOCTL_SERIAL_SET_LINE_CONTROL, Answer{STATUS_SUCCESS, {}});
    dcb.fOutX = TRUE;
    dcb.XonChar = dcb.XoffChar = 0x11;
    SetCommState(h, &dcb);
    bool charsSent = false;
    for (auto& r : dev.TakeSeen())
        if (r.code == IOCTL_SERIAL_SET_CHARS && r.in.size() == sizeof(SERIAL_CHARS) && r.in[4] == 0x11 && r.in[5] == 0x11)
            charsSent = true;
    EXPECT_TRUE(charsSent);
}

TEST_F(Win32Api, LinesLeavingHandshakeFollowTheNewHandflow) {
    HANDLE h = Open();
    // The port has DTR and RTS under handshake: the driver would refuse SET_DTR/CLR_RTS before
    // the new handflow releases them.
    dev.Answer(IOCTL_SERIAL_GET_HANDFLOW,
               Answer{STATUS_SUCCESS, Bytes(SERIAL_HANDFLOW{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE, 0, 0})});
    DCB dcb{};
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    auto codes = dev.TakeCodes();
    ASSERT_EQ(codes.size(), 10u);
    EXPECT_EQ(codes[7], static_cast<ULONG>(IOCTL_SERIAL_SET_HANDFLOW));
    EXPECT_EQ(codes[8], static_cast<ULONG>(IOCTL_SERIAL_CLR_RTS));
    EXPECT_EQ(codes[9], static_cast<ULONG>(IOCTL_SERIAL_SET_DTR));
}

TEST_F(Win32Api, EachCommunicationsFunctionSendsItsRequest) {
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);  // they wait for their request on either kind of handle
    struct Case {
        const char* what;
        std::function<BOOL()> call;
        ULONG code;
        std::vector<uint8_t> in;
        ULONG outLength;
    };
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 10, 1000};
    DWORD mask = 0;
    COMMPROP prop;
    std::vector<Case> cases = {
        {"SETXOFF", [&] { return EscapeCommFunction(h, SETXOFF); }, IOCTL_SERIAL_SET_XOFF, {}, 0},
        {"SETXON", [&] { return EscapeCommFunction(h, SETXON); }, IOCTL_SERIAL_SET_XON, {}, 0},
        {"SETRTS", [&] { return EscapeCommFunction(h, SETRTS); }, IOCTL_SERIAL_SET_RTS, {}, 0},
        {"CLRRTS", [&] { return EscapeCommFunction(h, CLRRTS); }, IOCTL_SERIAL_CLR_RTS, {}, 0},
        {"SETDTR", [&] { return EscapeCommFunction(h, SETDTR); }, IOCTL_SERIAL_SET_DTR, {}, 0},
        {"CLRDTR", [&] { return EscapeCommFunction(h, CLRDTR); }, IOCTL_SERIAL_CLR_DTR, {}, 0},
        {"RESETDEV", [&] { return EscapeCommFunction(h, RESETDEV); }, IOCTL_SERIAL_RESET_DEVICE, {}, 0},
        {"SETBREAK", [&] { return EscapeCommFunction(h, SETBREAK); }, IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
        {"CLRBREAK", [&] { return EscapeCommFunction(h, CLRBREAK); }, IOCTL_SERIAL_SET_BREAK_OFF, {}, 0},
        {"SetCommBreak", [&] { return SetCommBreak(h); }, IOCTL_SERIAL_SET_BREAK_ON, {}, 0},
        {"ClearCommBreak", [&] { return ClearCommBreak(h); }, IOCTL_SERIAL_SET_BREAK_OFF, {}, 0},
        {"TransmitCommChar", [&] { return TransmitCommChar(h, 'Z'); }, IOCTL_SERIAL_IMMEDIATE_CHAR, {'Z'}, 0},
        {"PurgeComm", [&] { return PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR); }, IOCTL_SERIAL_PURGE,
         Bytes(ULONG{SERIAL_PURGE_RXABORT | SERIAL_PURGE_RXCLEAR}), 0},
        {"SetupComm", [&] { return SetupComm(h, 8192, 1024); }, IOCTL_SERIAL_SET_QUEUE_SIZE,
         Bytes(SERIAL_QUEUE_SIZE{8192, 1024}), 0},
        {"SetCommMask", [&] { return SetCommMask(h, EV_RXCHAR | EV_CTS); }, IOCTL_SERIAL_SET_WAIT_MASK,
         Bytes(ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_CTS}), 0},
        {"GetCommMask", [&] { return GetCommMask(h, &mask); }, IOCTL_SERIAL_GET_WAIT_MASK, {}, 4},
        {"SetCommTimeouts", [&] { return SetCommTimeouts(h, &t); }, IOCTL_SERIAL_SET_TIMEOUTS, Bytes(t), 0},
        {"GetCommTimeouts", [&] { return GetCommTimeouts(h, &t); }, IOCTL_SERIAL_GET_TIMEOUTS, {}, 20},
        {"GetCommModemStatus", [&] { return GetCommModemStatus(h, &mask); }, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4},
        {"ClearCommError", [&] { return ClearCommError(h, &mask, nullptr); }, IOCTL_SERIAL_GET_COMMSTATUS, {}, 20},
        {"GetCommProperties", [&] { return GetCommProperties(h, &prop); }, IOCTL_SERIAL_GET_PROPERTIES, {}, 64},
    };
    for (auto& c : cases) {
        EXPECT_TRUE(c.call()) << c.what;
        auto seen = dev.TakeSeen();
        ASSERT_EQ(seen.size(), 1u) << c.what;
        EXPECT_EQ(seen[0].code, c.code) << c.what;
        EXPECT_EQ(seen[0].in, c.in) << c.what;
        EXPECT_EQ(seen[0].outLength, c.outLength) << c.what;
    }
    // An unknown escape sends nothing.
    EXPECT_FALSE(EscapeCommFunction(h, 10));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(dev.TakeSeen().empty());
    // The driver's failure is the caller's error.
    dev.Answer(IOCTL_SERIAL_SET_DTR, Answer{STATUS_DELETE_PENDING, {}});
    EXPECT_FALSE(EscapeCommFunction(h, SETDTR));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // Results are copied out: modem status and COMSTAT.
    dev.Answer(IOCTL_SERIAL_GET_MODEMSTATUS, Answer{STATUS_SUCCESS, Bytes(ULONG{SERIAL_CTS_STATE | SERIAL_DCD_STATE})});
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ(modem, static_cast<DWORD>(MS_CTS_ON | MS_RLSD_ON));
    SERIAL_STATUS st{};
    st.Errors = SERIAL_ERROR_QUEUEOVERRUN;
    st.AmountInInQueue = 33;
    dev.Answer(IOCTL_SERIAL_GET_COMMSTATUS, Answer{STATUS_SUCCESS, Bytes(st)});
    DWORD errors = 0;
    COMSTAT cs;
    ASSERT_TRUE(ClearCommError(h, &errors, &cs));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_RXOVER));
    EXPECT_EQ(cs.cbInQue, 33u);
}

TEST_F(Win32Api, OverlappedReadPendsThenReportsThroughItsEventAndOverlapped) {
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    dev.HoldReads(true);
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, TRUE, nullptr);  // set: the read must reset it
    char buffer[16] = {};
    DWORD n = 99;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, &o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&o));
    EXPECT_EQ(WaitForSingleObject(o.hEvent, 0), WAIT_TIMEOUT);
    EXPECT_FALSE(GetOverlappedResult(h, &o, &n, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_INCOMPLETE));
    // A read ended by its timeout is a successful read of fewer bytes.
    dev.CompleteHeld(STATUS_TIMEOUT, {'a', 'b', 'c'});
    EXPECT_TRUE(HasOverlappedIoCompleted(&o));
    EXPECT_EQ(WaitForSingleObject(o.hEvent, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(h, &o, &n, FALSE));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(std::string(buffer), "abc");
    EXPECT_EQ(o.InternalHigh, 3u);

    // Cancelled: FALSE with ERROR_OPERATION_ABORTED; CancelIoEx of a finished request finds nothing.
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, nullptr, &o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(CancelIoEx(h, &o));
    EXPECT_FALSE(GetOverlappedResult(h, &o, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(CancelIoEx(h, &o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));

    // An overlapped handle needs an OVERLAPPED; a request that completes at once returns TRUE.
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    dev.HoldReads(false);
    dev.AnswerReads(Answer{STATUS_SUCCESS, {'x'}});
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, &o));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(WaitForSingleObject(o.hEvent, 0), WAIT_OBJECT_0);
    CloseHandle(o.hEvent);
}

TEST_F(Win32Api, WaitCommEventAndCancelIoOnAnOverlappedHandle) {
    HANDLE h = Open(FILE_FLAG_OVERLAPPED);
    dev.HoldCode(IOCTL_SERIAL_WAIT_ON_MASK, true);
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(h, &events, &o));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    auto seen = dev.TakeSeen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, static_cast<ULONG>(IOCTL_SERIAL_WAIT_ON_MASK));
    EXPECT_EQ(seen[0].outLength, 4u);
    dev.CompleteHeld(STATUS_SUCCESS, Bytes(ULONG{SERIAL_EV_RXCHAR | SERIAL_EV_DSR}));
    DWORD n = 0;
    EXPECT_TRUE(GetOverlappedResult(h, &o, &n, TRUE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR | EV_DSR));

    EXPECT_FALSE(WaitCommEvent(h, &events, &o));
    EXPECT_TRUE(CancelIo(h));
    EXPECT_FALSE(GetOverlappedResult(h, &o, &n, TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    CloseHandle(o.hEvent);
}

// A request that a kernel timer completes 500 ms later, for the clock-driving waits.
struct LateCompleter {
    KTIMER timer;
    KDPC dpc;
    fakeser::Device* dev;
    static void Run(PKDPC, PVOID c, PVOID, PVOID) {
        static_cast<LateCompleter*>(c)->dev->CompleteHeld(STATUS_TIMEOUT, {'o', 'k'});
    }
    explicit LateCompleter(fakeser::Device* d, LONGLONG ms) : dev(d) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, Run, this);
        LARGE_INTEGER due;
        due.QuadPart = -ms * 10000;
        KeSetTimer(&timer, due, &dpc);
    }
};

TEST_F(Win32Api, BlockingCallsOnTheClockThreadMoveTimeExactlyAsFarAsNeeded) {
    HANDLE h = Open();
    dev.HoldReads(true);
    LateCompleter late(&dev, 500);
    char buffer[8] = {};
    DWORD n = 0;
    LONGLONG start = emu::Now();
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(emu::Now() - start, 500LL * 10000);
    EXPECT_EQ(n, 2u);

    // A dispatch routine that waits in the caller's thread: time moves while it waits.
    dev.DelayInDispatch(IOCTL_SERIAL_PURGE, 120);
    start = emu::Now();
    EXPECT_TRUE(PurgeComm(h, PURGE_TXABORT));
    EXPECT_EQ(emu::Now() - start, 120LL * 10000);

    // WaitForSingleObject times out at its limit; Sleep moves the clock by its argument.
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    start = emu::Now();
    EXPECT_EQ(WaitForSingleObject(e, 250), WAIT_TIMEOUT);
    EXPECT_EQ(emu::Now() - start, 250LL * 10000);
    Sleep(40);
    EXPECT_EQ(emu::Now() - start, 290LL * 10000);
    // An auto-reset event is taken by the wait that it satisfies.
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    CloseHandle(e);
}

TEST_F(Win32Api, OtherThreadsWaitAsEmulatedThreadsWhileTheTestMovesTime) {
    emu::win32::StopDrivingClock();
    HANDLE h = Open();
    dev.HoldReads(true);
    std::atomic<BOOL> result{FALSE};
    std::atomic<DWORD> waited{0};
    HANDLE e = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    emu::Thread reader([&] {
        char buffer[4];
        DWORD n = 0;
        result = ReadFile(h, buffer, sizeof buffer, &n, nullptr);
    });
    emu::Thread waiter([&] { waited = WaitForSingleObject(e, 300); });
    emu::AdvanceTime(299);
    EXPECT_EQ(waited.load(), 0u);
    emu::AdvanceTime(1);
    waiter.join();
    EXPECT_EQ(waited.load(), WAIT_TIMEOUT);
    EXPECT_EQ(result.load(), FALSE);
    dev.CompleteHeld(STATUS_SUCCESS, {'a'});
    reader.join();
    EXPECT_EQ(result.load(), TRUE);
    CloseHandle(e);
}

TEST_F(Win32Api, WaitForMultipleObjectsAnyAndAll) {
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, nullptr), b = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[] = {a, b};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), WAIT_TIMEOUT);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 10), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), WAIT_TIMEOUT);  // a is not set
    SetEvent(a);
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT);  // taken: auto-reset
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);  // manual reset stays set
    ResetEvent(b);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForMultipleObjects(0, both, FALSE, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(a);
    CloseHandle(b);
}

TEST_F(Win32Api, ASynchronousRequestNothingCanCompleteIsReportedAndCancelled) {
    HANDLE h = Open();
    dev.HoldReads(true);
    char buffer[8];
    DWORD n = 5;
    {
        emu::verifier::ExpectFaults faults;
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_TRUE(faults.Saw(emu::verifier::Fault::Other));
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
}

TEST_F(Win32Api, WritesAndFlushReachTheDriver) {
    HANDLE h = Open();
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    ASSERT_TRUE(FlushFileBuffers(h));
    auto seen = dev.TakeSeen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].major, IRP_MJ_WRITE);
    EXPECT_EQ(seen[0].in, (std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(seen[1].major, IRP_MJ_FLUSH_BUFFERS);
}

TEST_F(Win32Api, SerialDeviceMapAndComPortInterfaceDiscovery) {
    std::string map = std::string(emu::registry::kDeviceMap) + "\\SERIALCOMM";
    emu::registry::CreateKey(map);
    emu::registry::SetString(map, u"\\Device\\fakeser0", u"COM9");
    HKEY key;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key), ERROR_SUCCESS);
    WCHAR name[64], small[4];
    BYTE data[64];
    DWORD cch = 64, cb = sizeof data, type = 0;
    ASSERT_EQ(RegEnumValueW(key, 0, name, &cch, nullptr, &type, data, &cb), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(cch, 16u);
    EXPECT_EQ(cb, 10u);  // "COM9" and its NUL
    EXPECT_EQ(reinterpret_cast<WCHAR*>(data)[3], L'9');
    cch = 4;
    EXPECT_EQ(RegEnumValueW(key, 0, small, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_MORE_DATA);
    cch = 64;
    EXPECT_EQ(RegEnumValueW(key, 1, name, &cch, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\NOSUCH", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
}

}  // namespace

// The process-side functions serial programs use around the port: code pages, messages, modules,
// threads and asynchronous procedure calls, and completion routines.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "emu/win32.h"
#include "fake_serial.h"
#include "winternl.h"

namespace {

class Win32Process : public ::testing::Test {
protected:
    void SetUp() override { emu::win32::DriveClockFromThisThread(); }
};

std::vector<WCHAR> W(std::initializer_list<int> units) { return std::vector<WCHAR>(units.begin(), units.end()); }

TEST(Win32Text, MultiByteToWideCharDecodesAndCountsAsWindows) {
    struct Case {
        UINT cp;
        DWORD flags;
        const char* in;
        int length;
        std::vector<WCHAR> out;  // empty: the call fails with `error`
        DWORD error;
    } cases[] = {
        {CP_UTF8, 0, "A\xc3\xa9", -1, W({'A', 0xE9, 0}), 0},
        {CP_UTF8, 0, "\xf0\x9f\x98\x80", 4, W({0xD83D, 0xDE00}), 0},
        {CP_UTF8, 0, "a\xff", 2, W({'a', 0xFFFD}), 0},                            // replaced
        {CP_UTF8, MB_ERR_INVALID_CHARS, "a\xff", 2, {}, ERROR_NO_UNICODE_TRANSLATION},
        {CP_UTF8, 0, "\xc0\xaf", 2, W({0xFFFD, 0xFFFD}), 0},                      // overlong
        {CP_ACP, 0, "\x80\xe9", 2, W({0x20AC, 0xE9}), 0},                         // Windows-1252
        {CP_UTF8, MB_PRECOMPOSED, "a", 1, {}, ERROR_INVALID_FLAGS},
        {437, 0, "a", 1, {}, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, "a", 0, {}, ERROR_INVALID_PARAMETER},
        {CP_UTF8, 0, "a", -2, {}, ERROR_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.in);
        SetLastError(0);
        int need = MultiByteToWideChar(c.cp, c.flags, c.in, c.length, nullptr, 0);
        EXPECT_EQ(need, static_cast<int>(c.out.size()));
        if (c.out.empty()) {
            EXPECT_EQ(GetLastError(), c.error);
            continue;
        }
        std::vector<WCHAR> buf(c.out.size());
        EXPECT_EQ(MultiByteToWideChar(c.cp, c.flags, c.in, c.length, buf.data(), need), need);
        EXPECT_EQ(buf, c.out);
        if (need > 1) {  // one unit short
            EXPECT_EQ(MultiByteToWideChar(c.cp, c.flags, c.in, c.length, buf.data(), need - 1), 0);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        }
    }
}

TEST(Win32Text, WideCharToMultiByteEncodesAndReportsDefaults) {
    const WCHAR text[] = {'C', 0xE9, 0x20AC, 0x4E2D, 0};
    char out[16] = {};
    BOOL usedDefault = FALSE;
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr), 10);
    EXPECT_STREQ(out, "C\xc3\xa9\xe2\x82\xac\xe4\xb8\xad");
    ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, text, -1, out, sizeof out, nullptr, &usedDefault), 5);
    EXPECT_STREQ(out, "C\xe9\x80?");
    EXPECT_TRUE(usedDefault);
    // For UTF-8 the default-character arguments must be null.
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, &usedDefault), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    const WCHAR lone[] = {0xD800, 'x'};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, lone, 2, out, sizeof out, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, text, -1, out, 3, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST(Win32Text, FormatMessageSystemTextsInsertsAndBuffers) {
    char* allocated = nullptr;
    DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    ASSERT_GT(FormatMessageA(flags, nullptr, ERROR_ACCESS_DENIED, 0, reinterpret_cast<LPSTR>(&allocated), 0, nullptr),
              0u);
    EXPECT_STREQ(allocated, "Access is denied.\r\n");
    EXPECT_EQ(LocalFree(allocated), nullptr);

    WCHAR wide[64];
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_IO_PENDING, 0,
                             wide, 64, nullptr);
    EXPECT_EQ(n, 42u);  // "Overlapped I/O operation is in progress.\r\n"
    EXPECT_EQ(wide[0], 'O');
    EXPECT_EQ(wide[n], 0);

    char small[8];
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0, small, sizeof small, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x12345, 0, small, sizeof small, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));

    char text[64];
    ULONG_PTR args[] = {reinterpret_cast<ULONG_PTR>("COM7"), 42};
    ASSERT_GT(FormatMessageA(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ARGUMENT_ARRAY, "%1 at %2!u! baud%%%n", 0, 0,
                             text, sizeof text, reinterpret_cast<va_list*>(args)),
              0u);
    EXPECT_STREQ(text, "COM7 at 42 baud%\r\n");
}

TEST(Win32Modules, ProgramsFindNtdllAndKernel32FunctionsAtRunTime) {
    HMODULE ntdll = GetModuleHandleA("NTDLL");
    ASSERT_NE(ntdll, nullptr);
    EXPECT_EQ(GetModuleHandleW(L"ntdll.dll"), ntdll);
    struct Case {
        const char* module;
        const char* name;
        void* expected;
    } cases[] = {
        {"ntdll.dll", "NtReadFile", reinterpret_cast<void*>(NtReadFile)},
        {"ntdll.dll", "NtWriteFile", reinterpret_cast<void*>(NtWriteFile)},
        {"ntdll.dll", "NtDeviceIoControlFile", reinterpret_cast<void*>(NtDeviceIoControlFile)},
        {"kernel32.dll", "CancelIoEx", reinterpret_cast<void*>(CancelIoEx)},
        {"kernel32", "GetTickCount64", reinterpret_cast<void*>(GetTickCount64)},
    };
    for (const Case& c : cases)
        EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(c.module), c.name)), c.expected) << c.name;
    EXPECT_EQ(GetProcAddress(ntdll, "NtNoSuchThing"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PROC_NOT_FOUND));
    EXPECT_EQ(GetModuleHandleA("nosuch.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_CANCELLED), static_cast<ULONG>(ERROR_OPERATION_ABORTED));
}

struct ApcRecord {
    HANDLE release;
    ULONG_PTR seen = 0;
};
ApcRecord* gRecord;
void WINAPI RecordApc(ULONG_PTR v) { gRecord->seen = v; }

DWORD WINAPI WaitsAlertably(LPVOID p) {
    auto* r = static_cast<ApcRecord*>(p);
    DWORD plain = WaitForSingleObject(r->release, 20);  // not alertable: the call waits on
    DWORD alertable = SleepEx(INFINITE, TRUE);
    return plain == WAIT_TIMEOUT && alertable == WAIT_IO_COMPLETION ? 0 : 1;
}

TEST_F(Win32Process, ThreadsEndWithTheirCodeAndRunQueuedCallsInAlertableWaits) {
    ApcRecord record;
    gRecord = &record;
    record.release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0;
    HANDLE t = CreateThread(nullptr, 0, WaitsAlertably, &record, 0, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, GetCurrentThreadId());
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_EQ(QueueUserAPC(RecordApc, t, 7), 1u);
    EXPECT_EQ(WaitForSingleObject(t, 5000), WAIT_OBJECT_0);
    ASSERT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(record.seen, 7u);
    // A finished thread takes no more calls; an event is not a thread.
    EXPECT_EQ(QueueUserAPC(RecordApc, t, 8), 0u);
    EXPECT_EQ(QueueUserAPC(RecordApc, record.release, 8), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(t);
    CloseHandle(record.release);
}

DWORD gRoutineError, gRoutineBytes;
int gRoutineCalls;
void WINAPI Routine(DWORD error, DWORD bytes, LPOVERLAPPED) {
    gRoutineError = error;
    gRoutineBytes = bytes;
    ++gRoutineCalls;
}

TEST_F(Win32Process, CompletionRoutinesRunOnlyInTheIssuersAlertableWait) {
    fakeser::Device dev;
    HANDLE h = CreateFileW(L"\\\\.\\COM9", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    gRoutineCalls = 0;
    OVERLAPPED o = {};
    o.hEvent = reinterpret_cast<HANDLE>(0x1234);  // the caller's to use: never touched
    ASSERT_TRUE(WriteFileEx(h, "abc", 3, &o, Routine));
    Sleep(10);
    EXPECT_EQ(gRoutineCalls, 0);  // a plain sleep runs none
    EXPECT_EQ(SleepEx(1000, TRUE), WAIT_IO_COMPLETION);
    EXPECT_EQ(gRoutineCalls, 1);
    EXPECT_EQ(gRoutineError, 0u);
    EXPECT_EQ(gRoutineBytes, 3u);
    EXPECT_EQ(o.hEvent, reinterpret_cast<HANDLE>(0x1234));
    EXPECT_EQ(SleepEx(5, TRUE), 0u);  // nothing queued: the time passes

    // A request refused at once reports through the call, not the routine.
    EXPECT_FALSE(ReadFileEx(h, nullptr, 4, &o, Routine));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    CloseHandle(h);
    HANDLE sync = CreateFileW(L"\\\\.\\COM9", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char buf[4];
    EXPECT_FALSE(ReadFileEx(sync, buf, 4, &o, Routine));  // needs an overlapped handle
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(SleepEx(1, TRUE), 0u);
    EXPECT_EQ(gRoutineCalls, 1);
    CloseHandle(sync);
}

}  // namespace

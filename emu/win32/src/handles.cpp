// Handles, the last error, events, waits and the clock: the process side of the Win32 layer.
#include <atomic>
#include <unistd.h>
#include <thread>
#include <vector>

#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "internal.h"

namespace emu::win32 {

namespace {

struct Table {
    std::mutex m;
    std::map<ULONG_PTR, std::shared_ptr<Object>> objects;
    ULONG_PTR next = 0x100;
};
Table& T() {
    static Table* t = new Table;  // outlives threads that close handles at exit
    return *t;
}

std::atomic<std::thread::id> gClockThread{};
thread_local DWORD tlsLastError = ERROR_SUCCESS;

// A thread of CreateThread: signalled when its routine has returned, with the routine's result.
struct ThreadObject : Object {
    KEVENT done;
    std::atomic<DWORD> exitCode{STILL_ACTIVE};
    DWORD id = 0;
    std::shared_ptr<ApcQueue> apcs = std::make_shared<ApcQueue>();
    KEVENT* Waitable() override { return &done; }
};

// Threads of CreateThread, joined once they have finished; one still running when the process
// ends is left, as Windows ends it.
struct Threads {
    std::mutex m;
    std::vector<std::pair<std::shared_ptr<ThreadObject>, std::unique_ptr<emu::Thread>>> list;
    void Reap() {
        std::vector<std::unique_ptr<emu::Thread>> finished;
        {
            std::lock_guard<std::mutex> g(m);
            for (auto it = list.begin(); it != list.end();) {
                if (KeReadStateEvent(&it->first->done) != 0) {
                    finished.push_back(std::move(it->second));
                    it = list.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& t : finished) t->join();
    }
};
Threads& Running() {
    static Threads* t = new Threads;
    return *t;
}

[[maybe_unused]] const bool registered = [] {
    emu::testing::AddStartOfTestHook("win32.clock", [] {
        gClockThread = std::thread::id();
        Running().Reap();
    });
    // Threads that have finished are joined before the test ends, not only when the next starts,
    // so that the last test's threads are not left unjoined at exit.
    emu::testing::AddEndOfTestCheck("win32.threads", [] { Running().Reap(); });
    emu::testing::AddEndOfTestCheck("win32.handles", [] {
        std::vector<ULONG_PTR> left;
        {
            std::lock_guard<std::mutex> g(T().m);
            for (auto& [h, o] : T().objects) left.push_back(h);
        }
        for (ULONG_PTR h : left) CloseHandle(reinterpret_cast<HANDLE>(h));
        if (!left.empty())
            emu::verifier::Raise(emu::verifier::Fault::Other,
                                 std::to_string(left.size()) + " Win32 handle(s) left open at the end of the test");
    });
    return true;
}();

LARGE_INTEGER Relative(LONGLONG t100ns) {
    LARGE_INTEGER li;
    li.QuadPart = -t100ns;
    return li;
}

LONGLONG Limit(DWORD ms) { return ms == INFINITE ? -1 : static_cast<LONGLONG>(ms) * 10000; }

// Takes a signalled event without blocking (an auto-reset event is reset by taking it).
bool TakeEvent(KEVENT* e) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return KeWaitForSingleObject(e, UserRequest, UserMode, FALSE, &zero) == STATUS_SUCCESS;
}

std::shared_ptr<EventObject> LookupEvent(HANDLE h) {
    auto e = std::dynamic_pointer_cast<EventObject>(Lookup(h));
    if (!e) SetLastError(ERROR_INVALID_HANDLE);
    return e;
}

std::shared_ptr<Object> LookupWaitable(HANDLE h) {
    auto o = Lookup(h);
    if (!o || !o->Waitable()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return o;
}

std::atomic<DWORD> gNextThreadId{0x1000};
thread_local DWORD tlsThreadId = 0;
thread_local std::shared_ptr<ApcQueue> tlsApcs;

bool ApcsPending() {
    if (!tlsApcs) return false;
    std::lock_guard<std::mutex> g(tlsApcs->m);
    return !tlsApcs->calls.empty();
}

// Runs this thread's queued calls, including those they queue; true if any ran.
bool RunApcs() {
    bool ran = false;
    while (tlsApcs) {
        std::function<void()> call;
        {
            std::lock_guard<std::mutex> g(tlsApcs->m);
            if (tlsApcs->calls.empty()) break;
            call = std::move(tlsApcs->calls.front());
            tlsApcs->calls.pop_front();
        }
        call();
        ran = true;
    }
    return ran;
}

DWORD ThisThreadId() {
    if (tlsThreadId == 0) tlsThreadId = gNextThreadId.fetch_add(4);
    return tlsThreadId;
}

}  // namespace

std::shared_ptr<ApcQueue> ThisThreadApcs() {
    if (!tlsApcs) tlsApcs = std::make_shared<ApcQueue>();
    return tlsApcs;
}

void QueueApc(const std::shared_ptr<ApcQueue>& queue, std::function<void()> call) {
    std::lock_guard<std::mutex> g(queue->m);
    queue->calls.push_back(std::move(call));
}

void DriveClockFromThisThread() { gClockThread = std::this_thread::get_id(); }
void StopDrivingClock() { gClockThread = std::thread::id(); }

bool IsClockThread() {
    return gClockThread.load() == std::this_thread::get_id() && emu::GetClockMode() == emu::ClockMode::Virtual;
}

size_t OpenHandleCount() {
    std::lock_guard<std::mutex> g(T().m);
    return T().objects.size();
}

std::shared_ptr<Object> Lookup(HANDLE h) {
    std::lock_guard<std::mutex> g(T().m);
    auto it = T().objects.find(reinterpret_cast<ULONG_PTR>(h));
    return it == T().objects.end() ? nullptr : it->second;
}

std::shared_ptr<FileObject> LookupFile(HANDLE h) {
    auto f = std::dynamic_pointer_cast<FileObject>(Lookup(h));
    if (!f) SetLastError(ERROR_INVALID_HANDLE);
    return f;
}

HANDLE Insert(std::shared_ptr<Object> object) {
    std::lock_guard<std::mutex> g(T().m);
    ULONG_PTR h = T().next;
    T().next += 4;
    T().objects[h] = std::move(object);
    return reinterpret_cast<HANDLE>(h);
}

std::shared_ptr<Object> Remove(HANDLE h) {
    std::lock_guard<std::mutex> g(T().m);
    auto it = T().objects.find(reinterpret_cast<ULONG_PTR>(h));
    if (it == T().objects.end()) return nullptr;
    auto o = std::move(it->second);
    T().objects.erase(it);
    return o;
}

bool BlockUntil(const std::function<bool()>& ready, LONGLONG limit100ns) {
    if (IsClockThread()) return emu::AdvanceTimeUntil(ready, limit100ns);
    // Another application thread: look again after each emulated millisecond.
    LONGLONG waited = 0;
    while (!ready()) {
        if (limit100ns >= 0 && waited >= limit100ns) return false;
        LARGE_INTEGER step = Relative(10000);
        KeDelayExecutionThread(UserMode, FALSE, &step);
        waited += 10000;
    }
    return true;
}

void RunBlocking(std::function<void()> body, const char* what) {
    if (!IsClockThread()) {
        body();
        return;
    }
    struct Shared {
        std::function<void()> body;
        std::atomic<bool> done{false};
    };
    auto shared = std::make_shared<Shared>();
    shared->body = std::move(body);
    auto* worker = new emu::Thread([shared] {
        shared->body();
        shared->done = true;
    }, what);
    if (emu::AdvanceTimeUntil([&] { return shared->done.load(); })) {
        worker->join();
        delete worker;
        return;
    }
    // On Windows this thread would hang here. The test learns why and goes on; the helper
    // stays blocked (and is never joined), holding only what it owns.
    emu::verifier::Raise(emu::verifier::Fault::Other,
                         std::string(what) + " blocks for ever: nothing left that could finish it");
}

}  // namespace emu::win32

using namespace emu::win32;

DWORD GetLastError(void) { return tlsLastError; }
void SetLastError(DWORD dwErrCode) { tlsLastError = dwErrCode; }

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES, BOOL bManualReset, BOOL bInitialState, LPCWSTR lpName) {
    if (lpName) {  // named events are not part of the emulation
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    auto e = std::make_shared<EventObject>();
    KeInitializeEvent(&e->event, bManualReset ? NotificationEvent : SynchronizationEvent, bInitialState ? TRUE : FALSE);
    SetLastError(ERROR_SUCCESS);
    return Insert(e);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES a, BOOL bManualReset, BOOL bInitialState, LPCSTR lpName) {
    if (lpName) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    return CreateEventW(a, bManualReset, bInitialState, nullptr);
}

BOOL SetEvent(HANDLE hEvent) {
    auto e = LookupEvent(hEvent);
    if (!e) return FALSE;
    KeSetEvent(&e->event, 0, FALSE);
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    auto e = LookupEvent(hEvent);
    if (!e) return FALSE;
    KeClearEvent(&e->event);
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, FALSE);
}

DWORD WaitForSingleObjectEx(HANDLE hHandle, DWORD dwMilliseconds, BOOL bAlertable) {
    return WaitForMultipleObjectsEx(1, &hHandle, FALSE, dwMilliseconds, bAlertable);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    return WaitForMultipleObjectsEx(nCount, lpHandles, bWaitAll, dwMilliseconds, FALSE);
}

DWORD WaitForMultipleObjectsEx(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds,
                               BOOL bAlertable) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Object>> objects;  // held so that a close meanwhile frees nothing
    std::vector<KEVENT*> events;
    for (DWORD i = 0; i < nCount; ++i) {
        auto o = LookupWaitable(lpHandles[i]);
        if (!o) return WAIT_FAILED;
        events.push_back(o->Waitable());
        objects.push_back(std::move(o));
    }
    if (bAlertable && RunApcs()) return WAIT_IO_COMPLETION;
    DWORD which = WAIT_TIMEOUT;
    auto ready = [&] {
        if (bWaitAll) {
            bool all = true;
            for (KEVENT* e : events)
                if (KeReadStateEvent(e) == 0) all = false;
            if (all) {
                for (KEVENT* e : events) TakeEvent(e);
                which = WAIT_OBJECT_0;
                return true;
            }
        } else {
            for (DWORD i = 0; i < nCount; ++i) {
                if (TakeEvent(events[i])) {
                    which = WAIT_OBJECT_0 + i;
                    return true;
                }
            }
        }
        if (bAlertable && ApcsPending()) {
            which = WAIT_IO_COMPLETION;
            return true;
        }
        return false;
    };
    if (nCount == 1 && !bAlertable && !IsClockThread()) {
        // A plain emulated wait: woken exactly when the object is signalled.
        LARGE_INTEGER timeout = Relative(Limit(dwMilliseconds));
        NTSTATUS s = KeWaitForSingleObject(events[0], UserRequest, UserMode, FALSE,
                                           dwMilliseconds == INFINITE ? nullptr : &timeout);
        return s == STATUS_SUCCESS ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    if (BlockUntil(ready, Limit(dwMilliseconds))) {
        if (which == WAIT_IO_COMPLETION) RunApcs();
        return which;
    }
    if (dwMilliseconds == INFINITE) {
        emu::verifier::Raise(emu::verifier::Fault::Other, "an INFINITE wait can never be satisfied");
        SetLastError(ERROR_POSSIBLE_DEADLOCK);
        return WAIT_FAILED;
    }
    return WAIT_TIMEOUT;
}

void Sleep(DWORD dwMilliseconds) { SleepEx(dwMilliseconds, FALSE); }

DWORD SleepEx(DWORD dwMilliseconds, BOOL bAlertable) {
    if (bAlertable) {
        if (RunApcs()) return WAIT_IO_COMPLETION;
        if (BlockUntil([] { return ApcsPending(); }, Limit(dwMilliseconds))) {
            RunApcs();
            return WAIT_IO_COMPLETION;
        }
        if (dwMilliseconds == INFINITE)
            emu::verifier::Raise(emu::verifier::Fault::Other, "an INFINITE alertable sleep can never end");
        return 0;
    }
    if (IsClockThread()) {
        emu::AdvanceTime(dwMilliseconds);
        return 0;
    }
    LARGE_INTEGER interval = Relative(Limit(dwMilliseconds));
    KeDelayExecutionThread(UserMode, FALSE, &interval);
    return 0;
}

ULONGLONG GetTickCount64(void) { return static_cast<ULONGLONG>(emu::Now() / 10000); }
DWORD GetTickCount(void) { return static_cast<DWORD>(GetTickCount64()); }

// The counter is the emulation's clock itself: 100 ns units.
BOOL QueryPerformanceCounter(LARGE_INTEGER* lpPerformanceCount) {
    if (!lpPerformanceCount) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpPerformanceCount->QuadPart = emu::Now();
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* lpFrequency) {
    if (!lpFrequency) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    lpFrequency->QuadPart = 10000000;
    return TRUE;
}

DWORD GetCurrentThreadId(void) { return ThisThreadId(); }

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                    DWORD dwCreationFlags, LPDWORD lpThreadId) {
    if (!lpStartAddress) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (dwCreationFlags & CREATE_SUSPENDED) {  // no ResumeThread in this API
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    Running().Reap();
    auto t = std::make_shared<ThreadObject>();
    KeInitializeEvent(&t->done, NotificationEvent, FALSE);
    t->id = gNextThreadId.fetch_add(4);
    HANDLE h = Insert(t);
    auto body = [t, lpStartAddress, lpParameter] {
        tlsThreadId = t->id;
        tlsApcs = t->apcs;
        DWORD code = lpStartAddress(lpParameter);
        t->exitCode = code;
        KeSetEvent(&t->done, 0, FALSE);
    };
    {
        std::lock_guard<std::mutex> g(Running().m);
        Running().list.emplace_back(t, std::make_unique<emu::Thread>(std::move(body), "CreateThread"));
    }
    if (lpThreadId) *lpThreadId = t->id;
    return h;
}

BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    auto t = std::dynamic_pointer_cast<ThreadObject>(Lookup(hThread));
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!lpExitCode) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *lpExitCode = t->exitCode;
    return TRUE;
}

DWORD QueueUserAPC(PAPCFUNC pfnAPC, HANDLE hThread, ULONG_PTR dwData) {
    auto t = std::dynamic_pointer_cast<ThreadObject>(Lookup(hThread));
    if (!t || KeReadStateEvent(&t->done) != 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!pfnAPC) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    QueueApc(t->apcs, [pfnAPC, dwData] { pfnAPC(dwData); });
    return 1;
}

BOOL CloseHandle(HANDLE hObject) {
    if (ConsoleDescriptor(hObject) >= 0) return TRUE;  // the standard streams stay open
    auto o = Remove(hObject);
    if (!o) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (auto f = std::dynamic_pointer_cast<FileObject>(o)) {
        // Cleanup, then close once every request of the handle has completed.
        RunBlocking([f] { f->file->Close(); }, "CloseHandle");
    }
    return TRUE;
}

namespace emu::win32 {

// Fixed values below the table's first handle, as Windows' console handles are small numbers.
int ConsoleDescriptor(HANDLE h) {
    auto v = reinterpret_cast<ULONG_PTR>(h);
    return v == 0x10 ? 0 : v == 0x14 ? 1 : v == 0x18 ? 2 : -1;
}

}  // namespace emu::win32

HANDLE GetStdHandle(DWORD nStdHandle) {
    switch (nStdHandle) {
        case STD_INPUT_HANDLE: return reinterpret_cast<HANDLE>(0x10);
        case STD_OUTPUT_HANDLE: return reinterpret_cast<HANDLE>(0x14);
        case STD_ERROR_HANDLE: return reinterpret_cast<HANDLE>(0x18);
        default: SetLastError(ERROR_INVALID_HANDLE); return INVALID_HANDLE_VALUE;
    }
}

DWORD GetFileType(HANDLE hFile) {
    if (ConsoleDescriptor(hFile) >= 0 || LookupFile(hFile)) {
        SetLastError(NO_ERROR);
        return FILE_TYPE_CHAR;
    }
    return FILE_TYPE_UNKNOWN;  // LookupFile set ERROR_INVALID_HANDLE
}

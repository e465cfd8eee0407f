// Handles, the last error, events, waits and the clock: the process side of the Win32 layer.
#include <atomic>
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

[[maybe_unused]] const bool registered = [] {
    emu::testing::AddStartOfTestHook("win32.clock", [] { gClockThread = std::thread::id(); });
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

}  // namespace

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
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<EventObject>> events;
    for (DWORD i = 0; i < nCount; ++i) {
        auto e = LookupEvent(lpHandles[i]);
        if (!e) return WAIT_FAILED;
        events.push_back(std::move(e));
    }
    DWORD which = WAIT_TIMEOUT;
    auto ready = [&] {
        if (bWaitAll) {
            for (auto& e : events)
                if (KeReadStateEvent(&e->event) == 0) return false;
            for (auto& e : events) TakeEvent(&e->event);
            which = WAIT_OBJECT_0;
            return true;
        }
        for (DWORD i = 0; i < nCount; ++i) {
            if (TakeEvent(&events[i]->event)) {
                which = WAIT_OBJECT_0 + i;
                return true;
            }
        }
        return false;
    };
    if (nCount == 1 && !IsClockThread()) {
        // A plain emulated wait: woken exactly when the event is set.
        LARGE_INTEGER timeout = Relative(Limit(dwMilliseconds));
        NTSTATUS s = KeWaitForSingleObject(&events[0]->event, UserRequest, UserMode, FALSE,
                                           dwMilliseconds == INFINITE ? nullptr : &timeout);
        return s == STATUS_SUCCESS ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
    }
    if (BlockUntil(ready, Limit(dwMilliseconds))) return which;
    if (dwMilliseconds == INFINITE) {
        emu::verifier::Raise(emu::verifier::Fault::Other, "an INFINITE wait can never be satisfied");
        SetLastError(ERROR_POSSIBLE_DEADLOCK);
        return WAIT_FAILED;
    }
    return WAIT_TIMEOUT;
}

void Sleep(DWORD dwMilliseconds) {
    if (IsClockThread()) {
        emu::AdvanceTime(dwMilliseconds);
        return;
    }
    LARGE_INTEGER interval = Relative(Limit(dwMilliseconds));
    KeDelayExecutionThread(UserMode, FALSE, &interval);
}

ULONGLONG GetTickCount64(void) { return static_cast<ULONGLONG>(emu::Now() / 10000); }

BOOL CloseHandle(HANDLE hObject) {
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

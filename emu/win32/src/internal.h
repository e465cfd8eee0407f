// Shared internals of the Win32 layer: the handle table, its objects and the blocking helpers.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "emu/iomgr.h"
#include "emu/win32.h"
#include "nt/ke.h"

namespace emu::win32 {

struct Object {
    virtual ~Object() = default;
    // The dispatcher object a wait on the handle waits for; null if the handle is not waitable.
    virtual KEVENT* Waitable() { return nullptr; }
};

struct EventObject : Object {
    KEVENT event;
    KEVENT* Waitable() override { return &event; }
};

// Asynchronous procedure calls queued to one thread, run in its alertable waits.
struct ApcQueue {
    std::mutex m;
    std::deque<std::function<void()>> calls;
};
// This thread's queue (made on first use).
std::shared_ptr<ApcQueue> ThisThreadApcs();
void QueueApc(const std::shared_ptr<ApcQueue>& queue, std::function<void()> call);

using Then = std::function<void(NTSTATUS status, ULONG_PTR information)>;

// One overlapped (or internally waited) request and where its results go.
struct Operation {
    KEVENT finished;  // set after the caller's buffer and OVERLAPPED hold the outcome
    std::mutex m;
    std::optional<emu::io::Request> request;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    // Where the completing context puts the outcome (fixed before the request is issued).
    std::shared_ptr<EventObject> event;
    OVERLAPPED* overlapped = nullptr;
    void* out = nullptr;
    DWORD outLength = 0;
    Then then;
};

struct FileObject : Object {
    std::unique_ptr<emu::io::File> file;
    bool overlapped = false;
    std::mutex m;
    // The request outstanding on each OVERLAPPED, for GetOverlappedResult's wait and CancelIoEx.
    // A finished one is no longer needed there (its outcome is in the OVERLAPPED): they are swept
    // out as the map grows, so a program that never reuses an OVERLAPPED does not grow it for ever.
    std::map<const OVERLAPPED*, std::shared_ptr<Operation>> byOverlapped;
    size_t sweepAt = 64;
};

std::shared_ptr<Object> Lookup(HANDLE h);
std::shared_ptr<FileObject> LookupFile(HANDLE h);  // sets ERROR_INVALID_HANDLE when not a file
HANDLE Insert(std::shared_ptr<Object> object);
std::shared_ptr<Object> Remove(HANDLE h);

// Blocks until `ready` holds: on the clock thread by moving the virtual clock (within
// `limit100ns`, negative for none), elsewhere by polling in emulated waits. Returns ready().
bool BlockUntil(const std::function<bool()>& ready, LONGLONG limit100ns);
bool IsClockThread();
// Runs a blocking body (open, close) so that the clock thread keeps time moving meanwhile.
// If it cannot finish, a verifier fault is raised and the call returns with the body still
// blocked: the body must own what it uses (capture by value).
void RunBlocking(std::function<void()> body, const char* what);

enum class Kind { Read, Write, Ioctl, Flush };

// Issues a request on the file. With `overlapped` the call returns at once unless it finished
// inside the call; without, it blocks until the request is done. Sets the last error.
// `useEvent` false leaves the OVERLAPPED's hEvent to the caller (ReadFileEx); `then` runs in the
// completing context once the results are in place.
BOOL Issue(const std::shared_ptr<FileObject>& file, Kind kind, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
           LPDWORD transferred, LPOVERLAPPED overlapped, bool useEvent = true, Then then = {});
// A synchronous device control on behalf of a communications function.
BOOL Control(HANDLE h, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
             DWORD* returned = nullptr);

// Parses a mode string into the DCB (and the timeouts, if given); changes nothing when it fails.
bool BuildDcb(const std::string& definition, DCB* dcb, COMMTIMEOUTS* timeouts = nullptr);

// Console handles (GetStdHandle): reads and writes go to the process's standard streams.
int ConsoleDescriptor(HANDLE h);  // -1 if not a console handle

std::string Narrow(const WCHAR* s);            // UTF-8
// From UTF-8. WCHAR strings live in char16_t strings: with the host build's 16-bit wchar_t,
// libstdc++'s compiled std::wstring (made for 32-bit wchar_t) would write out of bounds.
std::u16string Widen(const char* s);
inline const WCHAR* AsWide(const std::u16string& s) { return reinterpret_cast<const WCHAR*>(s.c_str()); }

}  // namespace emu::win32

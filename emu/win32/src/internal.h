// Shared internals of the Win32 layer: the handle table, its objects and the blocking helpers.
#pragma once

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
};

struct EventObject : Object {
    KEVENT event;
};

// One overlapped (or internally waited) request and where its results go.
struct Operation {
    KEVENT finished;  // set after the caller's buffer and OVERLAPPED hold the outcome
    std::mutex m;
    std::optional<emu::io::Request> request;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

struct FileObject : Object {
    std::unique_ptr<emu::io::File> file;
    bool overlapped = false;
    std::mutex m;
    std::map<const OVERLAPPED*, std::shared_ptr<Operation>> byOverlapped;  // last request of each
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
BOOL Issue(const std::shared_ptr<FileObject>& file, Kind kind, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
           LPDWORD transferred, LPOVERLAPPED overlapped);
// A synchronous device control on behalf of a communications function.
BOOL Control(HANDLE h, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
             DWORD* returned = nullptr);

bool BuildDcb(const std::string& definition, DCB* dcb);

}  // namespace emu::win32

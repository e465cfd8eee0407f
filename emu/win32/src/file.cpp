// Files: CreateFile on a device name, reads, writes, device controls, overlapped completion,
// cancellation and flush, over the emulated I/O manager's application front.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <unistd.h>

#include "winternl.h"

#include "emu/sched.h"
#include "emu/verifier.h"
#include "internal.h"

namespace emu::win32 {

namespace {

void StoreInternal(OVERLAPPED* o, NTSTATUS status, ULONG_PTR information) {
    o->InternalHigh = information;
    __atomic_store_n(&o->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)), __ATOMIC_RELEASE);
}

NTSTATUS LoadInternal(const OVERLAPPED* o) {
    return static_cast<NTSTATUS>(static_cast<ULONG>(__atomic_load_n(&o->Internal, __ATOMIC_ACQUIRE)));
}

bool Finished(Operation& op) { return KeReadStateEvent(&op.finished) != 0; }

// Waits for a request of this thread's own making; false if nothing could ever finish it.
bool AwaitOperation(Operation& op) {
    if (!IsClockThread()) {
        KeWaitForSingleObject(&op.finished, UserRequest, UserMode, FALSE, nullptr);
        return true;
    }
    return emu::AdvanceTimeUntil([&] { return Finished(op); });
}

BOOL Outcome(NTSTATUS status, ULONG_PTR information, LPDWORD transferred) {
    if (transferred) *transferred = static_cast<DWORD>(information);
    if (NT_SUCCESS(status)) return TRUE;  // as on Windows, success leaves the last error alone
    SetLastError(NtStatusToWin32Error(status));
    return FALSE;
}

std::u16string DeviceName(std::u16string name) {
    // "\\?\" paths (device interfaces) name the object directory "\??\"; File::Open handles
    // "\\.\COM7" and a bare "COM7".
    if (name.rfind(u"\\\\?\\", 0) == 0) return u"\\??\\" + name.substr(4);
    return name;
}

}  // namespace

BOOL Issue(const std::shared_ptr<FileObject>& file, Kind kind, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength,
           LPDWORD transferred, LPOVERLAPPED overlapped, bool useEvent, Then then) {
    if (transferred) *transferred = 0;
    FileObject& f = *file;
    bool async = f.overlapped && overlapped != nullptr;
    auto op = std::make_shared<Operation>();
    KeInitializeEvent(&op->finished, NotificationEvent, FALSE);
    op->overlapped = overlapped;
    op->out = out;
    op->outLength = outLength;
    op->then = std::move(then);
    if (overlapped) {
        if (useEvent && overlapped->hEvent) {
            op->event = std::dynamic_pointer_cast<EventObject>(Lookup(overlapped->hEvent));
            if (!op->event) {
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
            KeClearEvent(&op->event->event);  // as Windows does when the request starts
        }
        StoreInternal(overlapped, STATUS_PENDING, 0);
        std::lock_guard<std::mutex> g(f.m);
        if (f.byOverlapped.size() >= f.sweepAt) {
            std::erase_if(f.byOverlapped, [](const auto& entry) {
                std::lock_guard<std::mutex> g2(entry.second->m);
                return entry.second->done;
            });
            f.sweepAt = std::max<size_t>(64, 2 * f.byOverlapped.size());
        }
        f.byOverlapped[overlapped] = op;
    }
    // Runs in the completing context: results go to the caller's buffer and OVERLAPPED first,
    // then the events are set. It holds only the operation, so it needs no allocation of its own.
    emu::io::File::OnDone done = [op](emu::io::Request& r) {
        NTSTATUS status = r.Status();
        ULONG_PTR information = r.Information();
        const std::vector<uint8_t>& data = r.Data();
        if (op->out && !data.empty()) memcpy(op->out, data.data(), std::min<size_t>(data.size(), op->outLength));
        if (op->overlapped) StoreInternal(op->overlapped, status, information);
        {
            std::lock_guard<std::mutex> g(op->m);
            op->done = true;
            op->status = status;
            op->information = information;
            op->request.reset();  // the request holds this routine, which holds the operation
        }
        // Let go of them here as before: the operation may stay recorded for its OVERLAPPED.
        Then then = std::move(op->then);
        std::shared_ptr<EventObject> event = std::move(op->event);
        if (then) then(status, information);
        KeSetEvent(&op->finished, 0, FALSE);
        if (event) KeSetEvent(&event->event, 0, FALSE);
    };
    auto submit = [kind, code, in, inLength, outLength](emu::io::File& io, emu::io::File::OnDone d) {
        switch (kind) {
            case Kind::Read: return io.ReadAsync(outLength, std::move(d));
            case Kind::Write: return io.WriteAsync(in, inLength, std::move(d));
            case Kind::Ioctl: return io.IoctlAsync(code, in, inLength, outLength, std::move(d));
            case Kind::Flush: break;
        }
        return io.FlushAsync(std::move(d));
    };
    std::optional<emu::io::Request> request;
    if (!IsClockThread()) {
        request.emplace(submit(*f.file, std::move(done)));
    } else {
        // Dispatch runs in the caller's thread and may wait there (a flush, a purge, a device
        // command); on the clock thread time must keep moving meanwhile.
        auto submitted = std::make_shared<std::optional<emu::io::Request>>();
        RunBlocking([file, submit, submitted, done = std::move(done)]() mutable {
            submitted->emplace(submit(*file->file, std::move(done)));
        }, "a request's dispatch routine");
        if (!submitted->has_value()) {
            SetLastError(ERROR_POSSIBLE_DEADLOCK);
            return FALSE;
        }
        request = *submitted;
    }
    {
        std::lock_guard<std::mutex> g(op->m);
        if (!op->done) op->request = *request;  // kept for CancelIoEx while outstanding
    }
    if (!async && !AwaitOperation(*op)) {
        // On Windows this thread would hang; here the test learns why and the request ends.
        emu::verifier::Raise(emu::verifier::Fault::Other,
                             "a synchronous request blocks for ever: nothing left that could complete it");
        request->Cancel();
        if (!AwaitOperation(*op)) {
            SetLastError(ERROR_POSSIBLE_DEADLOCK);
            return FALSE;
        }
    }
    std::lock_guard<std::mutex> g(op->m);
    if (!op->done) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    return Outcome(op->status, op->information, transferred);
}

BOOL Control(HANDLE h, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned) {
    auto f = LookupFile(h);
    if (!f) return FALSE;
    DWORD n = 0;
    BOOL ok;
    if (f->overlapped) {
        // The communications functions wait for their request also on an overlapped handle.
        OVERLAPPED o{};
        ok = Issue(f, Kind::Ioctl, code, in, inLength, out, outLength, &n, &o);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &o, &n, TRUE);
        std::lock_guard<std::mutex> g(f->m);
        f->byOverlapped.erase(&o);
    } else {
        ok = Issue(f, Kind::Ioctl, code, in, inLength, out, outLength, &n, nullptr);
    }
    if (returned) *returned = n;
    return ok;
}

}  // namespace emu::win32

using namespace emu::win32;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD,
                   DWORD dwFlagsAndAttributes, HANDLE) {
    if (lpFileName == nullptr || *lpFileName == 0) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    (void)dwDesiredAccess;
    std::u16string name;
    for (const WCHAR* p = lpFileName; *p; ++p) name += static_cast<char16_t>(*p);
    auto f = std::make_shared<FileObject>();
    f->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    auto status = std::make_shared<std::atomic<NTSTATUS>>(STATUS_PENDING);
    RunBlocking([f, status, device = DeviceName(name)] { *status = emu::io::File::Open(device, &f->file); },
                "CreateFile");
    if (*status == STATUS_PENDING || !f->file) {
        SetLastError(NT_SUCCESS(*status) || *status == STATUS_PENDING ? ERROR_POSSIBLE_DEADLOCK
                                                                      : NtStatusToWin32Error(*status));
        return INVALID_HANDLE_VALUE;
    }
    if (!NT_SUCCESS(*status)) {
        SetLastError(NtStatusToWin32Error(*status));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return Insert(f);
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES sa,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string wide;
    for (const char* p = lpFileName; *p; ++p) wide += static_cast<char16_t>(static_cast<unsigned char>(*p));
    return CreateFileW(AsWide(wide), dwDesiredAccess, dwShareMode, sa, dwCreationDisposition, dwFlagsAndAttributes,
                       hTemplateFile);
}

namespace {

bool OverlappedArgumentOk(const FileObject& f, LPOVERLAPPED o) {
    // An overlapped handle needs an OVERLAPPED to report to (Windows leaves the result undefined).
    if (f.overlapped && o == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    if (int fd = ConsoleDescriptor(hFile); fd >= 0) {
        ssize_t n = read(fd, lpBuffer, nNumberOfBytesToRead);
        if (lpNumberOfBytesRead) *lpNumberOfBytesRead = n > 0 ? static_cast<DWORD>(n) : 0;
        if (n < 0) SetLastError(ERROR_GEN_FAILURE);
        return n >= 0;
    }
    auto f = LookupFile(hFile);
    if (!f || !OverlappedArgumentOk(*f, lpOverlapped)) return FALSE;
    if (lpBuffer == nullptr && nNumberOfBytesToRead > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Issue(f, Kind::Read, 0, nullptr, 0, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    if (int fd = ConsoleDescriptor(hFile); fd >= 0) {
        ssize_t n = write(fd, lpBuffer, nNumberOfBytesToWrite);
        if (lpNumberOfBytesWritten) *lpNumberOfBytesWritten = n > 0 ? static_cast<DWORD>(n) : 0;
        if (n < 0) SetLastError(ERROR_GEN_FAILURE);
        return n >= 0;
    }
    auto f = LookupFile(hFile);
    if (!f || !OverlappedArgumentOk(*f, lpOverlapped)) return FALSE;
    if (lpBuffer == nullptr && nNumberOfBytesToWrite > 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Issue(f, Kind::Write, 0, lpBuffer, nNumberOfBytesToWrite, nullptr, 0, lpNumberOfBytesWritten,
                 lpOverlapped);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    auto f = LookupFile(hDevice);
    if (!f || !OverlappedArgumentOk(*f, lpOverlapped)) return FALSE;
    if ((lpInBuffer == nullptr && nInBufferSize > 0) || (lpOutBuffer == nullptr && nOutBufferSize > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return Issue(f, Kind::Ioctl, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                 lpBytesReturned, lpOverlapped);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    auto f = LookupFile(hFile);
    if (!f) return FALSE;
    if (lpOverlapped == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (LoadInternal(lpOverlapped) == STATUS_PENDING) {
        if (!bWait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        std::shared_ptr<Operation> op;
        {
            std::lock_guard<std::mutex> g(f->m);
            auto it = f->byOverlapped.find(lpOverlapped);
            if (it != f->byOverlapped.end()) op = it->second;
        }
        if (!op) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (!AwaitOperation(*op)) {
            emu::verifier::Raise(emu::verifier::Fault::Other,
                                 "GetOverlappedResult waits for ever: nothing left that could complete the request");
            SetLastError(ERROR_POSSIBLE_DEADLOCK);
            return FALSE;
        }
    }
    return Outcome(LoadInternal(lpOverlapped), lpOverlapped->InternalHigh, lpNumberOfBytesTransferred);
}

BOOL CancelIo(HANDLE hFile) {
    auto f = LookupFile(hFile);
    if (!f) return FALSE;
    f->file->CancelAll();  // the emulation does not tell threads apart: every request of the handle
    return TRUE;
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    auto f = LookupFile(hFile);
    if (!f) return FALSE;
    if (lpOverlapped == nullptr) {
        f->file->CancelAll();
        return TRUE;
    }
    std::shared_ptr<Operation> op;
    {
        std::lock_guard<std::mutex> g(f->m);
        auto it = f->byOverlapped.find(lpOverlapped);
        if (it != f->byOverlapped.end()) op = it->second;
    }
    std::optional<emu::io::Request> request;
    if (op) {
        std::lock_guard<std::mutex> g(op->m);
        if (!op->done) request = op->request;
    }
    if (!request) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    request->Cancel();
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE hFile) {
    auto f = LookupFile(hFile);
    if (!f) return FALSE;
    if (f->overlapped) {
        OVERLAPPED o{};
        BOOL ok = Issue(f, Kind::Flush, 0, nullptr, 0, nullptr, 0, nullptr, &o);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(hFile, &o, nullptr, TRUE);
        std::lock_guard<std::mutex> g(f->m);
        f->byOverlapped.erase(&o);
        return ok;
    }
    return Issue(f, Kind::Flush, 0, nullptr, 0, nullptr, 0, nullptr, nullptr);
}

namespace {

// The completion routine of ReadFileEx and WriteFileEx, and the APC of the native calls, is
// queued to the issuing thread when the request completes, unless it failed at once (the call
// then reports the failure itself).
struct Deferred {
    std::mutex m;
    bool completed = false, decided = false, queue = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::shared_ptr<ApcQueue> apcs = ThisThreadApcs();
    std::function<void(NTSTATUS, ULONG_PTR)> call;

    void Completed(NTSTATUS s, ULONG_PTR info) {
        std::lock_guard<std::mutex> g(m);
        completed = true;
        status = s;
        information = info;
        if (decided && queue) Post();
    }
    void Decide(bool q) {
        std::lock_guard<std::mutex> g(m);
        decided = true;
        queue = q;
        if (completed && queue) Post();
    }
    void Post() {
        if (!call) return;
        QueueApc(apcs, [call = call, s = status, info = information] { call(s, info); });
    }
};

BOOL IssueEx(HANDLE h, Kind kind, LPVOID buffer, DWORD length, LPOVERLAPPED o, LPOVERLAPPED_COMPLETION_ROUTINE routine) {
    auto f = LookupFile(h);
    if (!f) return FALSE;
    if (!f->overlapped || !o || !routine || (!buffer && length > 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto d = std::make_shared<Deferred>();
    d->call = [routine, o](NTSTATUS s, ULONG_PTR info) {
        routine(NT_SUCCESS(s) ? ERROR_SUCCESS : NtStatusToWin32Error(s), static_cast<DWORD>(info), o);
    };
    Then then = [d](NTSTATUS s, ULONG_PTR info) { d->Completed(s, info); };
    BOOL ok = kind == Kind::Read ? Issue(f, kind, 0, nullptr, 0, buffer, length, nullptr, o, false, then)
                                 : Issue(f, kind, 0, buffer, length, nullptr, 0, nullptr, o, false, then);
    bool started = ok || GetLastError() == ERROR_IO_PENDING;
    d->Decide(started);
    if (!started) return FALSE;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

NTSTATUS IssueNative(HANDLE h, HANDLE event, PIO_APC_ROUTINE apc, PVOID apcContext, PIO_STATUS_BLOCK iosb, Kind kind,
                     ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength) {
    auto f = LookupFile(h);
    if (!f) return STATUS_INVALID_HANDLE;
    if (!iosb) return STATUS_ACCESS_VIOLATION;
    if (event && !std::dynamic_pointer_cast<EventObject>(Lookup(event))) return STATUS_INVALID_HANDLE;
    // The OVERLAPPED the request reports to lives as long as the request does.
    auto o = std::make_shared<OVERLAPPED>();
    memset(o.get(), 0, sizeof *o);
    o->hEvent = event;
    auto d = std::make_shared<Deferred>();
    if (apc) d->call = [apc, apcContext, iosb](NTSTATUS, ULONG_PTR) { apc(apcContext, iosb, 0); };
    auto finalStatus = std::make_shared<std::atomic<NTSTATUS>>(STATUS_PENDING);
    Then then = [d, iosb, o, finalStatus](NTSTATUS s, ULONG_PTR info) {
        iosb->Information = info;
        iosb->Status = s;
        *finalStatus = s;
        d->Completed(s, info);
    };
    BOOL ok = Issue(f, kind, code, in, inLength, out, outLength, nullptr, o.get(), true, then);
    DWORD error = GetLastError();
    {
        std::lock_guard<std::mutex> g(f->m);
        f->byOverlapped.erase(o.get());  // nobody else knows this OVERLAPPED
    }
    if (!ok && error == ERROR_IO_PENDING) {
        d->Decide(true);
        return STATUS_PENDING;
    }
    NTSTATUS s = *finalStatus;
    if (s == STATUS_PENDING) s = STATUS_UNSUCCESSFUL;  // refused before it was sent
    d->Decide(NT_SUCCESS(s));
    return s;
}

}  // namespace

BOOL ReadFileEx(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPOVERLAPPED lpOverlapped,
                LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    return IssueEx(hFile, Kind::Read, lpBuffer, nNumberOfBytesToRead, lpOverlapped, lpCompletionRoutine);
}

BOOL WriteFileEx(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPOVERLAPPED lpOverlapped,
                 LPOVERLAPPED_COMPLETION_ROUTINE lpCompletionRoutine) {
    return IssueEx(hFile, Kind::Write, const_cast<LPVOID>(lpBuffer), nNumberOfBytesToWrite, lpOverlapped,
                   lpCompletionRoutine);
}

NTSTATUS NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                    PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER, PULONG) {
    return IssueNative(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Kind::Read, 0, nullptr, 0, Buffer,
                       Length);
}

NTSTATUS NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length, PLARGE_INTEGER, PULONG) {
    return IssueNative(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Kind::Write, 0, Buffer, Length,
                       nullptr, 0);
}

NTSTATUS NtDeviceIoControlFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                               PIO_STATUS_BLOCK IoStatusBlock, ULONG IoControlCode, PVOID InputBuffer,
                               ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength) {
    return IssueNative(FileHandle, Event, ApcRoutine, ApcContext, IoStatusBlock, Kind::Ioctl, IoControlCode,
                       InputBuffer, InputBufferLength, OutputBuffer, OutputBufferLength);
}

ULONG RtlNtStatusToDosError(NTSTATUS Status) { return NtStatusToWin32Error(Status); }

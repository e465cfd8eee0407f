// The application side of the emulated I/O manager: opening by name, buffered and direct
// reads and writes, METHOD_BUFFERED device controls, flush, cancel and close.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_set>

#include "emu/iomgr.h"
#include "emu/sched.h"
#include "emu/testing.h"
#include "emu/verifier.h"
#include "irp_internal.h"
#include "nt/io.h"
#include "nt/ke.h"

using emu::io::detail::IrpBox;
using emu::io::detail::IrpKind;
using emu::verifier::Fault;

namespace emu::io {

struct Request::State {
    std::mutex m;
    KEVENT done;
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    CCHAR boost = 0;
    std::vector<uint8_t> data;
    IrpBox* box = nullptr;  // while outstanding
    File::Impl* file = nullptr;
    File::OnDone onDone;
    // While outstanding, the file's list links the request (under the file's m) and holds it.
    std::shared_ptr<State> self;
    State* prev = nullptr;
    State* next = nullptr;
};

struct File::Impl {
    PDEVICE_OBJECT device = nullptr;  // top of the stack the file was opened on
    PDEVICE_OBJECT named = nullptr;   // the device the name led to
    FILE_OBJECT* fileObject = nullptr;
    std::mutex m;
    Request::State* outstanding = nullptr;  // linked through the requests: no allocation per request
    KEVENT idle;  // signalled while nothing is outstanding
    bool closed = false;

    void Link(const std::shared_ptr<Request::State>& s) {
        s->self = s;
        s->prev = nullptr;
        s->next = outstanding;
        if (outstanding) outstanding->prev = s.get();
        outstanding = s.get();
    }
    // The list's reference to the request, for the caller to drop outside the lock.
    std::shared_ptr<Request::State> Unlink(Request::State* s) {
        if (s->prev) s->prev->next = s->next;
        else outstanding = s->next;
        if (s->next) s->next->prev = s->prev;
        s->prev = s->next = nullptr;
        return std::move(s->self);
    }
    ~Impl() {
        // Requests still outstanding when the handle goes (a fault the end-of-test check reports)
        // are not kept alive by the list any more.
        while (outstanding) Unlink(outstanding);
    }
};

namespace {

struct Open {
    std::mutex m;
    std::atomic<size_t> outstanding{0};  // requests of every handle not yet completed
    std::unordered_set<PDEVICE_OBJECT> exclusiveOpen;
};
Open& O() {
    static Open* o = new Open;
    return *o;
}

[[maybe_unused]] const bool registered = [] {
    testing::AddEndOfTestCheck("io.requests", [] {
        size_t n = O().outstanding.load();
        if (n) verifier::Raise(Fault::RequestLeftPending, std::to_string(n) + " application request(s) still pending at the end of the test");
    });
    return true;
}();

void Finish(const std::shared_ptr<Request::State>& s, IrpBox* box) {
    PIRP irp = box->irp;
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR info = irp->IoStatus.Information;
    bool error = (static_cast<ULONG>(status) >> 30) == 3;
    PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);  // the I/O manager's location
    // Windows copies Information bytes into the caller's buffer: more than it holds overruns it.
    if (!error && info > box->copyBackLength &&
        (first->MajorFunction == IRP_MJ_READ || first->MajorFunction == IRP_MJ_DEVICE_CONTROL)) {
        verifier::Raise(Fault::Other, "a request completed with Information " + std::to_string(info) +
                                          ", more than the caller's buffer of " + std::to_string(box->copyBackLength) +
                                          " bytes: the I/O manager would write past it");
    }
    if (!error && box->copyBackTo == nullptr && box->copyBackLength > 0 && irp->AssociatedIrp.SystemBuffer) {
        size_t n = std::min<size_t>(info, box->copyBackLength);
        s->data.assign(static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer),
                       static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer) + n);
    } else if (!error && irp->MdlAddress && box->copyBackLength > 0) {
        size_t n = std::min<size_t>(info, box->copyBackLength);
        auto* p = static_cast<uint8_t*>(irp->MdlAddress->StartVa);
        s->data.assign(p, p + n);
    }
    if (irp->AssociatedIrp.SystemBuffer) std::free(irp->AssociatedIrp.SystemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
    if (PMDL mdl = irp->MdlAddress) {
        irp->MdlAddress = nullptr;
        std::free(mdl->StartVa);
        if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    File::Impl* file;
    {
        std::lock_guard<std::mutex> g(s->m);
        s->status = status;
        s->information = info;
        s->boost = box->boost;
        s->completed = true;
        s->box = nullptr;
        file = s->file;
    }
    O().outstanding.fetch_sub(1);
    box->state = detail::IrpState::Freed;
    detail::Release(box);
    std::shared_ptr<Request::State> keep = s;
    if (file) {
        std::shared_ptr<Request::State> listed;
        emu::sched::AtomicSection atomic;  // no switch while file->m is held
        std::lock_guard<std::mutex> g(file->m);
        listed = file->Unlink(keep.get());
        if (file->outstanding == nullptr) KeSetEvent(&file->idle, 0, FALSE);
    }
    if (keep->onDone) {
        Request r(keep);
        keep->onDone(r);
    }
    KeSetEvent(&keep->done, 0, FALSE);
}

// Builds an application request for the top of the file's stack. `out` bytes are returned.
std::shared_ptr<Request::State> Build(File::Impl* f, UCHAR major, ULONG code, const void* in, ULONG inLength,
                                      ULONG outLength, IrpBox** boxOut, File::OnDone done) {
    auto s = std::make_shared<Request::State>();
    s->onDone = std::move(done);
    KeInitializeEvent(&s->done, NotificationEvent, FALSE);
    s->file = f;
    IrpBox* box = detail::NewIrp(f->device->StackSize, IrpKind::Application);
    PIRP irp = box->irp;
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = f->fileObject;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->FileObject = f->fileObject;
    bool buffered = (f->device->Flags & DO_BUFFERED_IO) != 0;
    bool direct = (f->device->Flags & DO_DIRECT_IO) != 0;
    switch (major) {
        case IRP_MJ_READ:
        case IRP_MJ_WRITE: {
            sp->Parameters.Read.Length = major == IRP_MJ_READ ? outLength : inLength;
            ULONG len = sp->Parameters.Read.Length;
            if (len == 0) break;
            void* buffer = std::calloc(1, len);
            if (major == IRP_MJ_WRITE) memcpy(buffer, in, len);
            if (buffered || !direct) {
                irp->AssociatedIrp.SystemBuffer = buffer;
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (major == IRP_MJ_READ ? IRP_INPUT_OPERATION : 0);
                irp->UserBuffer = buffer;
            } else {
                PMDL mdl = IoAllocateMdl(buffer, len, FALSE, FALSE, irp);
                MmProbeAndLockPages(mdl, UserMode, major == IRP_MJ_READ ? IoWriteAccess : IoReadAccess);
            }
            if (major == IRP_MJ_READ) box->copyBackLength = len;
            break;
        }
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
            sp->Parameters.DeviceIoControl.IoControlCode = code;
            sp->Parameters.DeviceIoControl.InputBufferLength = inLength;
            sp->Parameters.DeviceIoControl.OutputBufferLength = outLength;
            ULONG size = std::max(inLength, outLength);
            if (size > 0) {
                irp->AssociatedIrp.SystemBuffer = std::calloc(1, size);
                if (in && inLength) memcpy(irp->AssociatedIrp.SystemBuffer, in, inLength);
                irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outLength ? IRP_INPUT_OPERATION : 0);
            }
            box->copyBackLength = outLength;
            break;
        }
        default:
            break;
    }
    box->owner = s;
    box->onComplete = [](const std::shared_ptr<void>& owner, IrpBox* b) {
        Finish(std::static_pointer_cast<Request::State>(owner), b);
    };
    s->box = box;
    *boxOut = box;
    return s;
}

Request Submit(File::Impl* f, UCHAR major, ULONG code, const void* in, ULONG inLength, ULONG outLength,
               File::OnDone done = {}) {
    IrpBox* box;
    auto s = Build(f, major, code, in, inLength, outLength, &box, std::move(done));
    {
        std::lock_guard<std::mutex> g(f->m);
        // The event is clear whenever the list is not empty: only the first request clears it
        // (the dispatcher's lock is global).
        if (f->outstanding == nullptr) KeClearEvent(&f->idle);
        f->Link(s);
    }
    O().outstanding.fetch_add(1);
    detail::AddRef(box);  // held across the call, so a completion inside it cannot free the IRP
    IofCallDriver(f->device, box->irp);
    detail::Release(box);
    return Request(s);
}

}  // namespace

bool Request::Done() const {
    std::lock_guard<std::mutex> g(s_->m);
    return s_->completed;
}
void Request::Wait() { KeWaitForSingleObject(&s_->done, Executive, UserMode, FALSE, nullptr); }
NTSTATUS Request::Status() const {
    std::lock_guard<std::mutex> g(s_->m);
    return s_->status;
}
ULONG_PTR Request::Information() const {
    std::lock_guard<std::mutex> g(s_->m);
    return s_->information;
}
CCHAR Request::Boost() const {
    std::lock_guard<std::mutex> g(s_->m);
    return s_->boost;
}
const std::vector<uint8_t>& Request::Data() const { return s_->data; }

bool Request::Cancel() {
    IrpBox* box;
    {
        std::lock_guard<std::mutex> g(s_->m);
        if (s_->completed || s_->box == nullptr) return false;
        box = s_->box;
        detail::AddRef(box);
    }
    BOOLEAN r = IoCancelIrp(box->irp);
    detail::Release(box);
    return r != FALSE;
}

File::File(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

File::~File() {
    if (impl_ && !impl_->closed) Close();
}

NTSTATUS File::Open(std::u16string_view name, std::unique_ptr<File>* file) {
    std::u16string n(name);
    if (n.rfind(u"\\\\.\\", 0) == 0) n = u"\\DosDevices\\" + n.substr(4);
    else if (n.find(u'\\') == std::u16string::npos) n = u"\\DosDevices\\" + n;
    // Both references are held until the close has completed, so a removal that deletes the
    // device meanwhile defers its free and the requests still reach its driver.
    PDEVICE_OBJECT named = ReferenceDevice(n);
    if (named == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(named);
    auto release = [named, top] {
        ObDereferenceObject(top);
        ObDereferenceObject(named);
    };
    if (named->Flags & DO_EXCLUSIVE) {
        std::lock_guard<std::mutex> g(O().m);
        if (!O().exclusiveOpen.insert(named).second) {
            release();
            return STATUS_ACCESS_DENIED;
        }
    }
    auto impl = std::make_unique<Impl>();
    impl->device = top;
    impl->named = named;
    impl->fileObject = static_cast<FILE_OBJECT*>(std::calloc(1, sizeof(FILE_OBJECT)));
    impl->fileObject->Type = IO_TYPE_FILE;
    impl->fileObject->Size = sizeof(FILE_OBJECT);
    impl->fileObject->DeviceObject = named;
    KeInitializeEvent(&impl->idle, NotificationEvent, TRUE);
    Request create = Submit(impl.get(), IRP_MJ_CREATE, 0, nullptr, 0, 0);
    create.Wait();
    if (!NT_SUCCESS(create.Status())) {
        if (named->Flags & DO_EXCLUSIVE) {
            std::lock_guard<std::mutex> g(O().m);
            O().exclusiveOpen.erase(named);
        }
        std::free(impl->fileObject);
        impl->closed = true;
        release();
        return create.Status();
    }
    file->reset(new File(std::move(impl)));
    return STATUS_SUCCESS;
}

Request File::ReadAsync(ULONG length, OnDone done) {
    return Submit(impl_.get(), IRP_MJ_READ, 0, nullptr, 0, length, std::move(done));
}
Request File::WriteAsync(const void* data, ULONG length, OnDone done) {
    return Submit(impl_.get(), IRP_MJ_WRITE, 0, data, length, 0, std::move(done));
}
Request File::IoctlAsync(ULONG code, const void* in, ULONG inLength, ULONG outLength, OnDone done) {
    return Submit(impl_.get(), IRP_MJ_DEVICE_CONTROL, code, in, inLength, outLength, std::move(done));
}
Request File::FlushAsync(OnDone done) { return Submit(impl_.get(), IRP_MJ_FLUSH_BUFFERS, 0, nullptr, 0, 0, std::move(done)); }

Request File::Read(ULONG length) {
    Request r = ReadAsync(length);
    r.Wait();
    return r;
}
Request File::Write(const void* data, ULONG length) {
    Request r = WriteAsync(data, length);
    r.Wait();
    return r;
}
Request File::Ioctl(ULONG code, const void* in, ULONG inLength, ULONG outLength) {
    Request r = IoctlAsync(code, in, inLength, outLength);
    r.Wait();
    return r;
}
Request File::Flush() {
    Request r = FlushAsync();
    r.Wait();
    return r;
}

void File::CancelAll() {
    std::vector<std::shared_ptr<Request::State>> list;
    {
        std::lock_guard<std::mutex> g(impl_->m);
        for (Request::State* s = impl_->outstanding; s; s = s->next) list.push_back(s->self);
    }
    for (auto& s : list) Request(s).Cancel();
}

NTSTATUS File::Close() {
    if (impl_->closed) return STATUS_INVALID_HANDLE;
    Request cleanup = Submit(impl_.get(), IRP_MJ_CLEANUP, 0, nullptr, 0, 0);
    cleanup.Wait();
    KeWaitForSingleObject(&impl_->idle, Executive, UserMode, FALSE, nullptr);
    PDEVICE_OBJECT named = impl_->named;
    bool exclusive = (named->Flags & DO_EXCLUSIVE) != 0;
    Request close = Submit(impl_.get(), IRP_MJ_CLOSE, 0, nullptr, 0, 0);
    close.Wait();
    if (exclusive) {
        std::lock_guard<std::mutex> g(O().m);
        O().exclusiveOpen.erase(named);
    }
    std::free(impl_->fileObject);
    impl_->fileObject = nullptr;
    impl_->closed = true;
    // Removal may delete the device as soon as the close has completed: its memory goes here.
    ObDereferenceObject(impl_->device);
    ObDereferenceObject(named);
    return close.Status();
}

PFILE_OBJECT File::FileObject() const { return impl_->fileObject; }

// The caller built the IRP (IoAllocateIrp with the device's stack size, next location filled);
// this waits for it with a completion routine that hands it back, then frees it.
namespace {
NTSTATUS SignalBack(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
}  // namespace

NTSTATUS SendAndWait(PDEVICE_OBJECT device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalBack, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(device, irp);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

}  // namespace emu::io

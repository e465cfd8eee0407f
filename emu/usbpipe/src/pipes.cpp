// Pipes and requests: the UsbPipeDriver's dispatch routines, the queues of requests waiting in
// the device, and where each finished request is completed.
#include "model.h"

namespace usbpipe {

namespace {

std::mutex g_mu;
std::deque<std::shared_ptr<Device>> g_unattached;
std::map<PDEVICE_OBJECT, std::shared_ptr<Device>> g_devices;

void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);

// Requests in progress in the model on this thread: one sent from the completion of another,
// made inline, nests inside it.
thread_local int t_nesting = 0;

class Nesting {
public:
    explicit Nesting(Model* m) {
        int depth = ++t_nesting;
        int seen = m->maxNesting.load();
        while (depth > seen && !m->maxNesting.compare_exchange_weak(seen, depth)) {
        }
    }
    ~Nesting() { --t_nesting; }
    Nesting(const Nesting&) = delete;
    Nesting& operator=(const Nesting&) = delete;
};

}  // namespace

// ---- completions -----------------------------------------------------------------------------

void Model::Complete(const Done& d) {
    d.irp->IoStatus.Status = d.status;
    d.irp->IoStatus.Information = d.info;
    IoCompleteRequest(d.irp, IO_NO_INCREMENT);
}

void Model::CompleteAt(const Done& done, KIRQL level) {
    KIRQL old = KeGetCurrentIrql();
    if (level > old) KeRaiseIrql(level, &old);
    Complete(done);
    if (level > old) KeLowerIrql(old);
}

// A finished request, already out of the pending lists and without a cancel routine, goes where
// the faults and knobs send it.
void Model::FinishLocked(PIRP irp, NTSTATUS status, ULONG_PTR info) {
    Done d{irp, status, info};
    if (hold) {
        held.push_back(d);
    } else if (delay > 0) {
        KIRQL level = OneInLocked(knobs.passiveOneIn) ? PASSIVE_LEVEL : DISPATCH_LEVEL;
        PostToDevice(delay, [d, level] { CompleteAt(d, level); });
    } else if (!workerSection && (cfg.completeInline || AutoInlineLocked() || OneInLocked(knobs.inlineOneIn))) {
        outgoing.push_back({d, Where::Caller, PASSIVE_LEVEL});
    } else {
        KIRQL level = OneInLocked(knobs.passiveOneIn) ? PASSIVE_LEVEL : DISPATCH_LEVEL;
        outgoing.push_back({d, Where::Device, level});
    }
}

void Model::CompleteOutgoing(std::vector<Outgoing> out, bool onWorker) {
    std::vector<Outgoing> later;
    for (const auto& o : out) {
        if (o.where == Where::Device && !onWorker) {
            later.push_back(o);
            continue;
        }
        KIRQL level = o.where == Where::Caller ? KeGetCurrentIrql() : o.level;
        CompleteAt(o.done, level);
    }
    if (!later.empty())
        worker.Post([later] {
            for (const auto& o : later) CompleteAt(o.done, o.level);
        }, PASSIVE_LEVEL);
}

void Model::CompleteOne(const Outgoing& o, bool onWorker) {
    if (o.where == Where::Device && !onWorker) {
        worker.Post([o] { CompleteAt(o.done, o.level); }, PASSIVE_LEVEL);
        return;
    }
    CompleteAt(o.done, o.where == Where::Caller ? KeGetCurrentIrql() : o.level);
}

void Model::PostToDevice(LONGLONG delay100ns, std::function<void()> fn) {
    auto task = [fn = std::move(fn)] { fn(); };
    if (delay100ns > 0) worker.PostAfter(delay100ns, task, PASSIVE_LEVEL);
    else worker.Post(task, PASSIVE_LEVEL);
}

// ---- request queues --------------------------------------------------------------------------

// Takes an entry out of its list and claims it from the cancel path. False when the cancel
// routine owns it (it completes the request itself).
bool Model::ClaimLocked(std::list<Entry>::iterator it, Pipe p) {
    if (it->cancelling) return false;
    if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
        it->cancelling = true;
        return false;
    }
    pending[p].erase(it);
    return true;
}

std::list<Entry>::iterator Model::FirstLive(Pipe p) {
    auto it = pending[p].begin();
    while (it != pending[p].end() && it->cancelling) ++it;
    return it;
}

// Queues a request that waits in the device. Returns 0 when it was cancelled already (it is then
// completed as cancelled), else its id.
uint64_t Model::QueueLocked(PIRP irp, Pipe p, PFILE_OBJECT file, ULONG_PTR onLine) {
    IoMarkIrpPending(irp);
    uint64_t id = nextId++;
    pending[p].push_back({irp, id, p, file, false, nullptr, onLine});
    IoSetCancelRoutine(irp, CancelRoutine);
    if (ReadBooleanNoFence(&irp->Cancel) && IoSetCancelRoutine(irp, nullptr) != nullptr) {  // IoCancelIrp sets it from any thread
        pending[p].pop_back();
        FinishHereLocked(irp, STATUS_CANCELLED, onLine);
        return 0;
    }
    return id;
}

// A lower driver reports what an ended transfer moved, so the caller can send the rest again.
ULONG_PTR Model::SentLocked(const Entry& e) {
    return e.paced ? CutUnsentLocked(*e.paced) : e.onLine;
}

// Moves received bytes into waiting reads, a packet at a time; a read completes when full or
// when the data runs out (the device ends the transfer with a short packet).
// The packets of one transfer follow each other on the bus without a gap, so they are copied
// as one.
bool Model::FillReadLocked(PIRP irp) {
    ULONG len = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    size_t want = std::min<size_t>(len, rx.size());
    bool cut = false;
    size_t failAfter = PartialFailLocked(want);
    size_t limit = UnplugCutLocked(failAfter ? failAfter : want, &cut);
    auto* dst = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, 0));
    rx.Pop(dst, limit);
    moved += limit;
    if (!waitingTx.empty()) ResumeWaitingLocked();
    if (cut) {
        FinishHereLocked(irp, STATUS_DEVICE_NOT_CONNECTED, limit);
        UnplugLocked();
        return false;
    }
    FinishLocked(irp, failAfter ? knobs.faultStatus : STATUS_SUCCESS, limit);
    return true;
}

void Model::ServiceRxLocked() {
    while (!rx.empty() && !unplugged) {
        auto it = FirstLive(kRx);
        if (it == pending[kRx].end()) return;
        PIRP irp = it->irp;
        if (!ClaimLocked(it, kRx)) continue;
        if (!FillReadLocked(irp)) return;
    }
}

bool Model::IsPendingLocked(Pipe p, uint64_t id) const {
    for (const auto& e : pending[p])
        if (e.id == id) return true;
    return false;
}

// Writes that wait for room keep their order: a write also waits while an earlier one does.
bool Model::MustWaitForRoomLocked() {
    if (!loopback || cfg.loopbackRoom == 0 || cfg.pacing) return false;
    while (!waitingTx.empty() && !IsPendingLocked(kTx, waitingTx.front().first)) waitingTx.pop_front();  // ended
    return !waitingTx.empty() || rx.size() >= cfg.loopbackRoom;
}

// Reads made room: the writes waiting for it are sent, in order, while there is room.
void Model::ResumeWaitingLocked() {
    if (resuming) return;  // the bytes sent below are served by the loop that is sending them
    resuming = true;
    while (!waitingTx.empty() && (!loopback || rx.size() < cfg.loopbackRoom) && !unplugged) {
        auto [id, bytes] = std::move(waitingTx.front());
        waitingTx.pop_front();
        for (auto it = pending[kTx].begin(); it != pending[kTx].end(); ++it) {
            if (it->id != id) continue;
            PIRP irp = it->irp;
            if (ClaimLocked(it, kTx)) {
                RecordTxLocked(bytes.data(), bytes.size());
                moved += bytes.size();
                if (loopback) ArriveLocked(bytes);
                FinishLocked(irp, STATUS_SUCCESS, bytes.size());
            }
            break;
        }
    }
    resuming = false;
}

void Model::ServiceStatusLocked() {
    uint8_t s = ReportedStatusLocked();
    for (;;) {
        if (cfg.statusOnChange && s == lastReported) return;
        auto it = FirstLive(kStatus);
        if (it == pending[kStatus].end()) return;
        PIRP irp = it->irp;
        if (!ClaimLocked(it, kStatus)) continue;
        auto* dst = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, 0));
        dst[0] = s;
        lastReported = s;
        FinishLocked(irp, STATUS_SUCCESS, 1);
    }
}

void Model::FailAllLocked(NTSTATUS status, PFILE_OBJECT onlyFile, int onlyPipe) {
    for (int p = 0; p < kPipeCount; ++p) {
        if (onlyPipe >= 0 && p != onlyPipe) continue;
        for (auto it = pending[p].begin(); it != pending[p].end();) {
            auto next = std::next(it);
            if (!onlyFile || it->file == onlyFile) {
                PIRP irp = it->irp;
                Entry e = *it;
                if (ClaimLocked(it, static_cast<Pipe>(p))) FinishHereLocked(irp, status, SentLocked(e));
            }
            it = next;
        }
    }
}

// ---- the driver ------------------------------------------------------------------------------

Model* ModelOf(PDEVICE_OBJECT device) { return static_cast<DevExt*>(device->DeviceExtension)->model; }

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR info) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The pipe a file object of ours was opened on, or -1.
int PipeOfFile(PFILE_OBJECT file) {
    if (!file || !file->FsContext) return -1;
    auto v = reinterpret_cast<uintptr_t>(file->FsContext);
    return v >= 1 && v <= kPipeCount ? static_cast<int>(v - 1) : -1;
}

namespace {

void CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Model* m = ModelOf(device);
    bool found = false;
    ULONG_PTR sent = 0;
    {
        std::lock_guard<std::mutex> g(m->mu);
        for (auto& list : m->pending) {
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (it->irp == irp) {
                    sent = m->SentLocked(*it);
                    list.erase(it);
                    found = true;
                    break;
                }
            }
            if (found) break;
        }
    }
    // Not found: the device claimed it before the cancel and completes it normally.
    if (found) Model::Complete({irp, STATUS_CANCELLED, sent});
}

int PipeOfName(const UNICODE_STRING& name) {
    static const char* names[kPipeCount] = {"\\PIPE00", "\\PIPE01", "\\PIPE02"};
    size_t chars = name.Length / sizeof(WCHAR);
    for (int p = 0; p < kPipeCount; ++p) {
        size_t n = std::char_traits<char>::length(names[p]);
        if (chars != n || !name.Buffer) continue;
        bool same = true;
        for (size_t i = 0; i < n && same; ++i) same = name.Buffer[i] == static_cast<WCHAR>(names[p][i]);
        if (same) return p;
    }
    return -1;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    Model* m = ModelOf(device);
    auto* sl = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sl->FileObject;
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> g(m->mu);
        NTSTATUS injected = STATUS_SUCCESS;
        bool inject = m->TakeNthFailureLocked(
            sl->MajorFunction == IRP_MJ_CLOSE ? RequestKind::Close : RequestKind::Create, &injected);
        int p = -1;
        if (sl->MajorFunction == IRP_MJ_CLOSE) {
            p = PipeOfFile(file);
            if (p >= 0) {
                m->opens[p]--;
                file->FsContext = nullptr;
            }
            status = inject ? injected : STATUS_SUCCESS;
        } else if (inject) {
            status = injected;
        } else if (m->unplugged) {
            status = STATUS_DEVICE_NOT_CONNECTED;
        } else if (!file) {
            status = STATUS_INVALID_PARAMETER;
        } else if ((p = PipeOfName(file->FileName)) < 0) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (!m->cfg.hasPipe[p] || (p == kStatus && m->statusInvalid)) {
            status = STATUS_INVALID_HANDLE;
        } else if (!NT_SUCCESS(m->openFailure[p])) {
            status = m->openFailure[p];
        } else {
            file->FsContext = reinterpret_cast<PVOID>(static_cast<uintptr_t>(p + 1));
            m->opens[p]++;
        }
    }
    return CompleteNow(irp, status);
}

// A read, write or command armed to fail by FailNthRequest is failed as a transfer fails.
bool InjectedTransferFailure(Model* m, RequestKind kind, PIRP irp) {
    Section s(*m);
    NTSTATUS status;
    if (!m->TakeNthFailureLocked(kind, &status)) return false;
    m->FailAsTransferLocked(irp, status);
    return true;
}

NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    Model* m = ModelOf(device);
    Nesting nest(m);
    auto* sl = IoGetCurrentIrpStackLocation(irp);
    int p = PipeOfFile(sl->FileObject);
    if (InjectedTransferFailure(m, RequestKind::Read, irp)) return STATUS_PENDING;
    NTSTATUS refuse = STATUS_SUCCESS;  // completed outside the lock: the reader re-issues from its completion
    {
        Section s(*m);
        NTSTATUS fault;
        if (m->unplugged) refuse = STATUS_DEVICE_NOT_CONNECTED;
        else if (p != kRx && p != kStatus) refuse = STATUS_INVALID_DEVICE_REQUEST;
        else if (!irp->MdlAddress || sl->Parameters.Read.Length == 0 ||
                 MmGetMdlByteCount(irp->MdlAddress) < sl->Parameters.Read.Length)
            refuse = STATUS_INVALID_PARAMETER;
        Pipe pipe = static_cast<Pipe>(p);
        if (!NT_SUCCESS(refuse)) {
        } else if (m->TakeFaultLocked(pipe, &fault)) {
            m->FailAsTransferLocked(irp, fault);
        } else if (pipe == kStatus && m->StatusOutageLocked()) {
            m->FailAsTransferLocked(irp, m->knobs.faultStatus);
        } else if (pipe == kRx && !m->rx.empty() && m->pending[kRx].empty() && m->InlineLocked()) {
            // The bytes are there and nothing waits before it: served without queueing.
            IoMarkIrpPending(irp);
            m->FillReadLocked(irp);
        } else if (m->QueueLocked(irp, pipe, sl->FileObject)) {
            m->OnDeviceLocked([m, pipe] {
                if (pipe == kRx) m->ServiceRxLocked();
                else m->ServiceStatusLocked();
            });
        }
    }
    if (!NT_SUCCESS(refuse)) return CompleteNow(irp, refuse);
    return STATUS_PENDING;
}

NTSTATUS Write(Model* m, PIRP irp, PIO_STACK_LOCATION sl) {
    ULONG len = sl->Parameters.DeviceIoControl.InputBufferLength;
    auto* src = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (len && !src) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    Section s(*m);
    NTSTATUS fault;
    if (m->TakeFaultLocked(kTx, &fault)) {
        m->FailAsTransferLocked(irp, fault);
        return STATUS_PENDING;
    }
    if (m->txStalled) {
        // Not sent until the stall ends; cancellable meanwhile.
        uint64_t id = m->QueueLocked(irp, kTx, sl->FileObject);
        if (id) m->stalledTx.emplace_back(id, std::vector<uint8_t>(src, src + len));
        return STATUS_PENDING;
    }
    if (m->MustWaitForRoomLocked()) {
        uint64_t id = m->QueueLocked(irp, kTx, sl->FileObject);
        if (id) m->waitingTx.emplace_back(id, std::vector<uint8_t>(src, src + len));
        return STATUS_PENDING;
    }
    // An unplug or a failure drawn by the knobs ends the transfer after part of its bytes.
    bool cut = false;
    size_t failAfter = m->cfg.pacing ? 0 : m->PartialFailLocked(len);
    size_t sent = m->UnplugCutLocked(failAfter ? failAfter : len, &cut);
    if (cut || failAfter) {
        m->RecordTxLocked(src, sent);
        m->moved += sent;
        if (m->loopback) m->ArriveLocked(src, sent);
        IoMarkIrpPending(irp);
        if (cut) {
            m->FinishHereLocked(irp, STATUS_DEVICE_NOT_CONNECTED, sent);
            m->UnplugLocked();
        } else {
            m->FinishLocked(irp, m->knobs.faultStatus, sent);
        }
        return STATUS_PENDING;
    }
    if (!m->cfg.pacing && m->InlineLocked()) {
        // Sent at once and completed in the caller: nothing to wait for, nothing to queue.
        m->RecordTxLocked(src, len);
        m->moved += len;
        if (m->loopback) m->ArriveLocked(src, len);
        IoMarkIrpPending(irp);
        m->FinishLocked(irp, STATUS_SUCCESS, len);
        return STATUS_PENDING;
    }
    std::shared_ptr<PacedWrite> paced;
    LONGLONG wait = 0;
    if (m->cfg.pacing && len) {
        paced = std::make_shared<PacedWrite>();
        paced->start = std::max(emu::Now(), m->txLineFreeAt);
        paced->byteTime = m->ByteTimeLocked();
        paced->len = len;
        paced->streamAt = m->txTotal;
        paced->logAt = m->txLog.size();
        m->txLineFreeAt = paced->start + paced->byteTime * len;
        wait = m->txLineFreeAt - emu::Now();
    }
    m->RecordTxLocked(src, len);
    m->moved += len;
    if (m->loopback) {
        auto looped = m->ArriveLocked(src, len);
        if (paced) paced->looped = looped;
    }
    uint64_t id = m->QueueLocked(irp, kTx, sl->FileObject, len);
    if (!id) return STATUS_PENDING;
    if (paced) m->pending[kTx].back().paced = paced;
    auto finish = [m, id, len] {
        for (auto it = m->pending[kTx].begin(); it != m->pending[kTx].end(); ++it) {
            if (it->id != id) continue;
            PIRP i = it->irp;
            if (m->ClaimLocked(it, kTx)) m->FinishLocked(i, STATUS_SUCCESS, len);
            return;
        }
    };
    if (wait > 0) {
        m->PostToDevice(wait, [m, finish] {
            Section s2(*m, true);
            finish();
        });
    } else {
        m->OnDeviceLocked(finish);
    }
    return STATUS_PENDING;
}

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    Model* m = ModelOf(device);
    Nesting nest(m);
    auto* sl = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
    int p = PipeOfFile(sl->FileObject);
    if (code == IOCTL_DEVICE_COMMAND && InjectedTransferFailure(m, RequestKind::Command, irp)) return STATUS_PENDING;
    if (code == IOCTL_PIPE_WRITE && InjectedTransferFailure(m, RequestKind::Write, irp)) return STATUS_PENDING;
    // Decided under the lock, completed outside it: the completion routine above may send the
    // next request straight back here.
    NTSTATUS refuse = STATUS_SUCCESS;
    {
        std::lock_guard<std::mutex> g(m->mu);
        NTSTATUS injected;
        if ((code == IOCTL_PIPE_RESET && m->TakeNthFailureLocked(RequestKind::Reset, &injected)) ||
            (code == IOCTL_PIPE_ABORT && m->TakeNthFailureLocked(RequestKind::Abort, &injected)) ||
            (code == IOCTL_PIPE_GET_INFO && m->TakeNthFailureLocked(RequestKind::Query, &injected)))
            refuse = injected;
        else if (m->unplugged)
            refuse = STATUS_DEVICE_NOT_CONNECTED;
    }
    if (!NT_SUCCESS(refuse)) return CompleteNow(irp, refuse);
    switch (code) {
    case IOCTL_DEVICE_COMMAND:
        return Command(m, irp, sl);
    case IOCTL_PIPE_WRITE:
        if (p != kTx) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
        return Write(m, irp, sl);
    case IOCTL_PIPE_GET_INFO: {
        if (p < 0) return CompleteNow(irp, STATUS_INVALID_HANDLE);
        if (sl->Parameters.DeviceIoControl.OutputBufferLength < sizeof(ULONG) || !irp->AssociatedIrp.SystemBuffer)
            return CompleteNow(irp, STATUS_BUFFER_TOO_SMALL);
        ULONG size = m->cfg.packetSize[p];
        memcpy(irp->AssociatedIrp.SystemBuffer, &size, sizeof size);
        return CompleteNow(irp, STATUS_SUCCESS, sizeof size);
    }
    case IOCTL_PIPE_ABORT: {
        if (p < 0) return CompleteNow(irp, STATUS_INVALID_HANDLE);
        {
            Section s(*m);
            m->FailAllLocked(STATUS_CANCELLED, nullptr, p);
            // Finished transfers that only wait for their completion are cancelled too, except
            // reads: their bytes have left the device, and a read that finished on the bus
            // completes with them; a write reports the bytes it put on the line.
            for (auto it = m->held.begin(); it != m->held.end();) {
                auto* hs = IoGetCurrentIrpStackLocation(it->irp);
                if (PipeOfFile(hs->FileObject) == p) {  // commands carry no file object
                    if (hs->MajorFunction == IRP_MJ_READ) m->FinishHereLocked(it->irp, it->status, it->info);
                    else m->FinishHereLocked(it->irp, STATUS_CANCELLED, it->info);
                    it = m->held.erase(it);
                } else {
                    ++it;
                }
            }
        }
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    case IOCTL_PIPE_RESET: {
        if (p < 0) return CompleteNow(irp, STATUS_INVALID_HANDLE);
        {
            std::lock_guard<std::mutex> g(m->mu);
            m->resets[p]++;
        }
        return CompleteNow(irp, STATUS_SUCCESS);
    }
    default:
        return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp) {
    Model* m = ModelOf(device);
    {
        Section s(*m);
        m->FailAllLocked(STATUS_CANCELLED, IoGetCurrentIrpStackLocation(irp)->FileObject);
    }
    return CompleteNow(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<DevExt*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDEVICE_OBJECT lower = ext->lower;
    if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
        Section s(*ext->model);
        ext->model->FailAllLocked(STATUS_DEVICE_NOT_CONNECTED);
        ext->model->unplugged = true;
    }
    if (minor == IRP_MN_START_DEVICE || minor == IRP_MN_QUERY_STOP_DEVICE || minor == IRP_MN_STOP_DEVICE ||
        minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_QUERY_REMOVE_DEVICE ||
        minor == IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE)
        irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        ext->model->worker.Drain();
        std::shared_ptr<Device> keep;
        {
            std::lock_guard<std::mutex> g(g_mu);
            auto it = g_devices.find(device);
            if (it != g_devices.end()) {
                keep = it->second;
                g_devices.erase(it);
            }
        }
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        if (keep) {
            std::lock_guard<std::mutex> g(keep->model_->mu);
            keep->model_->device = nullptr;
        }
    }
    return status;
}

NTSTATUS DispatchPower(PDEVICE_OBJECT device, PIRP irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(static_cast<DevExt*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS DispatchOther(PDEVICE_OBJECT, PIRP irp) { return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST); }

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    std::shared_ptr<Device> dev;
    {
        std::lock_guard<std::mutex> g(g_mu);
        if (!g_unattached.empty()) {
            dev = g_unattached.front();
            g_unattached.pop_front();
        }
    }
    if (!dev) dev = Device::Create();
    {
        std::lock_guard<std::mutex> g(g_mu);
        for (auto it = g_unattached.begin(); it != g_unattached.end(); ++it)
            if (*it == dev) {
                g_unattached.erase(it);
                break;
            }
    }
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(DevExt), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<DevExt*>(fdo->DeviceExtension);
    ext->model = dev->model_.get();
    ext->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    if (!ext->lower) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags |= DO_DIRECT_IO | DO_POWER_PAGABLE;
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    {
        std::lock_guard<std::mutex> g(dev->model_->mu);
        dev->model_->device = fdo;
    }
    std::lock_guard<std::mutex> g(g_mu);
    g_devices[fdo] = dev;
    return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT) {}

}  // namespace

// ---- Device handle ---------------------------------------------------------------------------

std::shared_ptr<Device> Device::Create(const Config& config) {
    std::shared_ptr<Device> d(new Device());
    d->model_ = std::make_shared<Model>(config);
    std::lock_guard<std::mutex> g(g_mu);
    g_unattached.push_back(d);
    return d;
}

std::shared_ptr<Device> Device::ForDeviceObject(PDEVICE_OBJECT device) {
    std::lock_guard<std::mutex> g(g_mu);
    auto it = g_devices.find(device);
    return it == g_devices.end() ? nullptr : it->second;
}

Device::~Device() {
    StopCounting();
    model_->worker.Drain();
}

const Config& Device::GetConfig() const { return model_->cfg; }
PDEVICE_OBJECT Device::DeviceObject() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->device;
}

size_t Device::Pending(Pipe pipe) const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->pending[pipe].size();
}

int Device::OpenCount(Pipe pipe) const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->opens[pipe];
}

int Device::ResetCount(Pipe pipe) const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->resets[pipe];
}

void Device::Drain() { model_->worker.Drain(); }

int Device::MaxNesting() const { return model_->maxNesting.load(); }

}  // namespace usbpipe

extern "C" NTSTATUS UsbPipeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    using namespace usbpipe;
    emu::sched::MarkAtomicDriver(driver);  // a device's steps are atomic to the driver above it
    for (auto& f : driver->MajorFunction) f = DispatchOther;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchCreateClose;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    driver->DriverExtension->AddDevice = AddDevice;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

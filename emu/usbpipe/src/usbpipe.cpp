// UsbPipeDriver for the emulation and its device model.
#include "usbpipe/usbpipe.h"

#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>

#include <emu/sched.h>
#include <nt/io.h>
#include <nt/ke.h>

namespace usbpipe {

namespace {

// Bytes on their way along the paced receive line, due together at `end`.
struct Arrival {
    std::vector<uint8_t> bytes;
    LONGLONG start = 0, end = 0;
    bool cut = false;  // replaced by a shorter arrival: its write was cut off
};

// A paced write on the wire. Its bytes leave one at a time, so a write cancelled before its end
// has sent only those whose time had come; the rest never reach the line.
struct PacedWrite {
    LONGLONG start = 0, byteTime = 0;
    size_t len = 0;
    size_t streamAt = 0;  // where its bytes begin in txStream
    size_t logAt = 0;     // its record in txLog
    std::shared_ptr<Arrival> looped;  // its bytes coming back through the loopback plug
};

struct Entry {
    PIRP irp;
    uint64_t id;
    Pipe pipe;
    PFILE_OBJECT file;
    bool cancelling = false;  // its cancel routine runs and will complete it
    std::shared_ptr<PacedWrite> paced;
};

struct Done {
    PIRP irp;
    NTSTATUS status;
    ULONG_PTR info;
};

struct DevExt {
    Model* model;
    PDEVICE_OBJECT lower;
};

void CancelRoutine(PDEVICE_OBJECT device, PIRP irp);

}  // namespace

class Model {
public:
    explicit Model(const Config& c) : cfg(c), worker("usbpipe") {}

    mutable std::mutex mu;
    Config cfg;
    emu::Worker worker;
    PDEVICE_OBJECT device = nullptr;
    std::list<Entry> pending[kPipeCount];
    uint64_t nextId = 1;
    std::deque<uint8_t> rx;
    std::vector<uint8_t> txStream;
    std::vector<Transfer> txLog;
    std::vector<std::vector<uint8_t>> commands;
    std::map<uint8_t, NTSTATUS> failCommand;
    LineState line;
    uint8_t statusSet = 0;
    uint8_t lastReported = 0xFF;
    bool loopback = false;
    uint64_t arrived = 0;            // bytes that reached the receive line so far
    uint64_t dropAt = UINT64_MAX;    // index of an arriving byte the line loses
    bool unplugged = false;
    bool statusInvalid = false;
    NTSTATUS openFailure[kPipeCount] = {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS};
    bool hold = false;
    std::vector<Done> held;
    bool txStalled = false;
    std::deque<std::pair<uint64_t, std::vector<uint8_t>>> stalledTx;  // by id, in arrival order
    LONGLONG delay = 0;
    int failCount[kPipeCount] = {};
    NTSTATUS failStatus[kPipeCount] = {};
    int opens[kPipeCount] = {};
    int resets[kPipeCount] = {};
    uint64_t requestCount[kRequestKindCount] = {};
    uint64_t failRequestAt[kRequestKindCount] = {};  // the count that fails; 0: disarmed
    NTSTATUS failRequestStatus[kRequestKindCount] = {};
    bool requestFailed[kRequestKindCount] = {};
    LONGLONG txLineFreeAt = 0, rxLineFreeAt = 0;
    bool counting = false;
    uint64_t countingGen = 0;
    uint64_t countingEpoch = 0;
    ULONG countingRate = 0;
    LONGLONG countingLast = 0;
    double countingCarry = 0;

    uint8_t ReportedStatusLocked() const {
        if (!loopback) return statusSet;
        uint8_t s = statusSet & static_cast<uint8_t>(~(kStatusCts | kStatusDsr | kStatusDcd));
        if (line.controlLines & kLineRts) s |= kStatusCts;
        if (line.controlLines & kLineDtr) s |= kStatusDsr | kStatusDcd;
        return s;
    }

    // 100 ns per byte at the configured baud rate and frame.
    LONGLONG ByteTimeLocked() const {
        int bits = 1 + line.dataBits + line.stopBits + (line.parity == Parity::None ? 0 : 1);
        ULONG baud = line.baud ? line.baud : 9600;
        return static_cast<LONGLONG>(bits) * 10000000LL / baud;
    }

    // Hands a finished request to the completion path. Called with mu held; the request is
    // already out of the pending lists and has no cancel routine.
    void FinishLocked(PIRP irp, NTSTATUS status, ULONG_PTR info, std::vector<Done>& now) {
        if (hold) {
            held.push_back({irp, status, info});
        } else if (delay > 0) {
            worker.PostAfter(delay, [irp, status, info] { Complete({irp, status, info}); });
        } else {
            now.push_back({irp, status, info});
        }
    }

    static void Complete(const Done& d) {
        d.irp->IoStatus.Status = d.status;
        d.irp->IoStatus.Information = d.info;
        IoCompleteRequest(d.irp, IO_NO_INCREMENT);
    }

    static void CompleteAll(const std::vector<Done>& now) {
        if (now.empty()) return;
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        for (const auto& d : now) Complete(d);
        KeLowerIrql(old);
    }

    // Takes an entry out of its list and claims it from the cancel path. False when the
    // cancel routine owns it (it completes the request itself).
    bool ClaimLocked(std::list<Entry>::iterator it, Pipe p) {
        if (it->cancelling) return false;
        if (IoSetCancelRoutine(it->irp, nullptr) == nullptr) {
            it->cancelling = true;
            return false;
        }
        pending[p].erase(it);
        return true;
    }

    std::list<Entry>::iterator FirstLive(Pipe p) {
        auto it = pending[p].begin();
        while (it != pending[p].end() && it->cancelling) ++it;
        return it;
    }

    // Queues a request that waits in the device. Returns false when it was cancelled already
    // (it is then in `now`, completed as cancelled).
    uint64_t QueueLocked(PIRP irp, Pipe p, PFILE_OBJECT file, std::vector<Done>& now) {
        IoMarkIrpPending(irp);
        uint64_t id = nextId++;
        pending[p].push_back({irp, id, p, file, false, nullptr});
        IoSetCancelRoutine(irp, CancelRoutine);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            pending[p].pop_back();
            now.push_back({irp, STATUS_CANCELLED, 0});
            return 0;
        }
        return id;
    }

    // Moves received bytes into waiting reads, a packet at a time; a read completes when full
    // or when the data runs out (the device ends the transfer with a short packet).
    void ServiceRxLocked(std::vector<Done>& now) {
        ULONG packet = cfg.packetSize[kRx] ? cfg.packetSize[kRx] : 64;
        while (!rx.empty()) {
            auto it = FirstLive(kRx);
            if (it == pending[kRx].end()) return;
            PIRP irp = it->irp;
            if (!ClaimLocked(it, kRx)) continue;
            ULONG len = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
            auto* dst = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, 0));
            ULONG filled = 0;
            while (filled < len && !rx.empty()) {
                ULONG n = std::min<ULONG>({packet, len - filled, static_cast<ULONG>(rx.size())});
                std::copy(rx.begin(), rx.begin() + n, dst + filled);
                rx.erase(rx.begin(), rx.begin() + n);
                filled += n;
            }
            FinishLocked(irp, STATUS_SUCCESS, filled, now);
        }
    }

    void ServiceStatusLocked(std::vector<Done>& now) {
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
            FinishLocked(irp, STATUS_SUCCESS, 1, now);
        }
    }

    // Runs `fn` with the lock held, either now (inline mode) or on the device thread.
    template <class F>
    void OnDevice(F fn) {
        if (cfg.completeInline) {
            std::vector<Done> now;
            {
                std::lock_guard<std::mutex> g(mu);
                fn(now);
            }
            CompleteAll(now);
        } else {
            worker.Post([this, fn] {
                std::vector<Done> now;
                {
                    std::lock_guard<std::mutex> g(mu);
                    fn(now);
                }
                CompleteAll(now);
            });
        }
    }

    // Received bytes enter the line; with pacing they arrive at the line rate (and the paced
    // arrival is returned, so that a write cut off can shorten it).
    std::shared_ptr<Arrival> ArriveLocked(std::vector<uint8_t> bytes) {
        if (dropAt >= arrived && dropAt - arrived < bytes.size()) {
            bytes.erase(bytes.begin() + static_cast<std::ptrdiff_t>(dropAt - arrived));
            arrived++;  // the dropped byte still counts as arrived
            dropAt = UINT64_MAX;
        }
        arrived += bytes.size();
        if (bytes.empty()) return nullptr;
        if (!cfg.pacing) {
            rx.insert(rx.end(), bytes.begin(), bytes.end());
            OnDevice([this](std::vector<Done>& now) { ServiceRxLocked(now); });
            return nullptr;
        }
        auto a = std::make_shared<Arrival>();
        a->start = std::max(emu::Now(), rxLineFreeAt);
        a->end = a->start + ByteTimeLocked() * static_cast<LONGLONG>(bytes.size());
        a->bytes = std::move(bytes);
        rxLineFreeAt = a->end;
        PostArrivalLocked(a);
        return a;
    }

    void PostArrivalLocked(const std::shared_ptr<Arrival>& a) {
        worker.PostAfter(std::max<LONGLONG>(a->end - emu::Now(), 0), [this, a] {
            std::vector<Done> now;
            {
                std::lock_guard<std::mutex> g(mu);
                if (a->cut) return;
                rx.insert(rx.end(), a->bytes.begin(), a->bytes.end());
                ServiceRxLocked(now);
            }
            CompleteAll(now);
        });
    }

    // A paced write ends before its time (cancel or abort): the bytes it had not yet sent leave
    // the wire, its loopback echo and the line's busy time included. Only the latest write on the
    // line is shortened; one with others queued behind it counts as sent whole.
    void CutUnsentLocked(const PacedWrite& w) {
        LONGLONG now = emu::Now();
        LONGLONG end = w.start + w.byteTime * static_cast<LONGLONG>(w.len);
        if (now >= end || txLineFreeAt != end) return;
        size_t sent = now <= w.start ? 0 : static_cast<size_t>((now - w.start) / w.byteTime);
        size_t unsent = w.len - sent;
        txLineFreeAt = end - w.byteTime * static_cast<LONGLONG>(unsent);
        if (txStream.size() == w.streamAt + w.len) txStream.resize(w.streamAt + sent);
        if (w.logAt + 1 == txLog.size() && txLog.back().bytes.size() == w.len) txLog.back().bytes.resize(sent);
        const auto& a = w.looped;
        if (a && !a->cut && rxLineFreeAt == a->end && a->bytes.size() == w.len) {
            a->cut = true;
            arrived -= unsent;
            if (sent == 0) {
                rxLineFreeAt = std::max(now, a->start);
                return;
            }
            auto rest = std::make_shared<Arrival>();
            rest->start = a->start;
            rest->end = a->start + (a->end - a->start) / static_cast<LONGLONG>(w.len) * static_cast<LONGLONG>(sent);
            rest->bytes.assign(a->bytes.begin(), a->bytes.begin() + static_cast<std::ptrdiff_t>(sent));
            rxLineFreeAt = rest->end;
            PostArrivalLocked(rest);
        }
    }

    NTSTATUS DecodeCommandLocked(const uint8_t* b, ULONG len) {
        auto f = failCommand.find(b[0]);
        if (f != failCommand.end()) return f->second;
        switch (b[0]) {
        case 0x00:
            if (cfg.variant == 1 || cfg.variant == 2) {
                if (len != 2) return STATUS_INVALID_PARAMETER;
                static const ULONG rates[4] = {9600, 19200, 38400, 115200};
                uint8_t s = b[1];
                line.baud = rates[s & 3];
                line.dataBits = (s & 0x04) ? 8 : 7;
                line.stopBits = (s & 0x08) ? 2 : 1;
                line.parity = (s & 0x10) ? Parity::Even : (s & 0x20) ? Parity::Odd : Parity::None;
                if ((s & 0x30) == 0x30) return STATUS_INVALID_PARAMETER;
                line.rtsCts = (s & 0x40) != 0;
                line.xonXoff = (s & 0x80) != 0;
            } else if (cfg.variant == 3) {
                if (len != 3) return STATUS_INVALID_PARAMETER;
                static const ULONG rates[9] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
                uint8_t f2 = b[2];
                if (b[1] > 8 || (f2 & 0xC0) || (f2 & 0x0C) == 0x0C || (f2 & 0x30) == 0x30)
                    return STATUS_INVALID_PARAMETER;
                line.baud = rates[b[1]];
                line.dataBits = (f2 & 0x01) ? 8 : 7;
                line.stopBits = (f2 & 0x02) ? 2 : 1;
                line.parity = (f2 & 0x04) ? Parity::Even : (f2 & 0x08) ? Parity::Odd : Parity::None;
                line.rtsCts = (f2 & 0x10) != 0;
                line.xonXoff = (f2 & 0x20) != 0;
            } else {
                return STATUS_INVALID_DEVICE_REQUEST;  // variant 0 has no line settings
            }
            line.settingsReceived = true;
            return STATUS_SUCCESS;
        case 0x01:
            if (len != 2 || (b[1] & ~0x07)) return STATUS_INVALID_PARAMETER;
            line.controlLines = b[1];
            return STATUS_SUCCESS;
        case 0x02:
            if (len != 3) return STATUS_INVALID_PARAMETER;
            line.xonChar = b[1];
            line.xoffChar = b[2];
            return STATUS_SUCCESS;
        case 0x03:
            if (len != 2 || b[1] > 1) return STATUS_INVALID_PARAMETER;
            line.portEnabled = b[1] == 1;
            return STATUS_SUCCESS;
        case 0x04:
            if (len != 3 || b[1] > 1) return STATUS_INVALID_PARAMETER;
            line.errorCharEnabled = b[1] == 1;
            line.errorChar = b[2];
            return STATUS_SUCCESS;
        default:
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }

    // Counts a request of the kind; true (with the status) when it is the one armed to fail.
    bool TakeNthFailureLocked(RequestKind kind, NTSTATUS* status) {
        int k = static_cast<int>(kind);
        if (++requestCount[k] != failRequestAt[k]) return false;
        failRequestAt[k] = 0;
        requestFailed[k] = true;
        *status = failRequestStatus[k];
        return true;
    }

    // Fails a request as a failed transfer ends: from the device thread (inline mode: in `now`).
    void FailAsTransferLocked(PIRP irp, NTSTATUS status, std::vector<Done>& now) {
        IoMarkIrpPending(irp);
        std::vector<Done> mine;
        FinishLocked(irp, status, 0, mine);
        if (!mine.empty() && !cfg.completeInline) {
            worker.Post([d = mine[0]] { Complete(d); });
            mine.clear();
        }
        now.insert(now.end(), mine.begin(), mine.end());
    }

    // A transfer fault configured for the pipe, consumed by this transfer.
    bool TakeFaultLocked(Pipe p, NTSTATUS* status) {
        if (failCount[p] == 0) return false;
        if (failCount[p] > 0) failCount[p]--;
        *status = failStatus[p];
        return true;
    }

    void FailAllLocked(NTSTATUS status, std::vector<Done>& now, PFILE_OBJECT onlyFile = nullptr,
                       int onlyPipe = -1) {
        for (int p = 0; p < kPipeCount; ++p) {
            if (onlyPipe >= 0 && p != onlyPipe) continue;
            for (auto it = pending[p].begin(); it != pending[p].end();) {
                auto next = std::next(it);
                if (!onlyFile || it->file == onlyFile) {
                    PIRP irp = it->irp;
                    auto paced = it->paced;
                    if (ClaimLocked(it, static_cast<Pipe>(p))) {
                        if (paced) CutUnsentLocked(*paced);
                        now.push_back({irp, status, 0});
                    }
                }
                it = next;
            }
        }
    }

    void CountingTick(uint64_t epoch) {
        std::lock_guard<std::mutex> g(mu);
        if (!counting || epoch != countingEpoch) return;
        LONGLONG t = emu::Now();
        double due = countingCarry + static_cast<double>(t - countingLast) * countingRate / 1e7;
        countingLast = t;
        auto n = static_cast<uint64_t>(due);
        countingCarry = due - static_cast<double>(n);
        std::vector<uint8_t> bytes(n);
        for (auto& b : bytes) b = static_cast<uint8_t>(countingGen++);
        if (!unplugged) ArriveLocked(std::move(bytes));
        worker.PostAfter(10000, [this, epoch] { CountingTick(epoch); });
    }
};

namespace {

std::mutex g_mu;
std::deque<std::shared_ptr<Device>> g_unattached;
std::map<PDEVICE_OBJECT, std::shared_ptr<Device>> g_devices;

Model* ModelOf(PDEVICE_OBJECT device) { return static_cast<DevExt*>(device->DeviceExtension)->model; }

void CancelRoutine(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Model* m = ModelOf(device);
    bool found = false;
    {
        std::lock_guard<std::mutex> g(m->mu);
        for (auto& list : m->pending) {
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (it->irp == irp) {
                    if (it->paced) m->CutUnsentLocked(*it->paced);
                    list.erase(it);
                    found = true;
                    break;
                }
            }
            if (found) break;
        }
    }
    // Not found: the device claimed it before the cancel and completes it normally.
    if (found) Model::Complete({irp, STATUS_CANCELLED, 0});
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR info = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
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

// The pipe a file object of ours was opened on, or -1.
int PipeOfFile(PFILE_OBJECT file) {
    if (!file || !file->FsContext) return -1;
    auto v = reinterpret_cast<uintptr_t>(file->FsContext);
    return v >= 1 && v <= kPipeCount ? static_cast<int>(v - 1) : -1;
}

NTSTATUS DispatchCreateClose(PDEVICE_OBJECT device, PIRP irp) {
    Model* m = ModelOf(device);
    auto* sl = IoGetCurrentIrpStackLocation(irp);
    PFILE_OBJECT file = sl->FileObject;
    std::lock_guard<std::mutex> g(m->mu);
    NTSTATUS injected = STATUS_SUCCESS;
    bool inject = m->TakeNthFailureLocked(
        sl->MajorFunction == IRP_MJ_CLOSE ? RequestKind::Close : RequestKind::Create, &injected);
    if (sl->MajorFunction == IRP_MJ_CLOSE) {
        int p = PipeOfFile(file);
        if (p >= 0) {
            m->opens[p]--;
            file->FsContext = nullptr;
        }
        return CompleteNow(irp, inject ? injected : STATUS_SUCCESS);
    }
    if (inject) return CompleteNow(irp, injected);
    if (m->unplugged) return CompleteNow(irp, STATUS_DEVICE_NOT_CONNECTED);
    if (!file) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    int p = PipeOfName(file->FileName);
    if (p < 0) return CompleteNow(irp, STATUS_OBJECT_NAME_NOT_FOUND);
    if (!m->cfg.hasPipe[p] || (p == kStatus && m->statusInvalid)) return CompleteNow(irp, STATUS_INVALID_HANDLE);
    if (!NT_SUCCESS(m->openFailure[p])) return CompleteNow(irp, m->openFailure[p]);
    file->FsContext = reinterpret_cast<PVOID>(static_cast<uintptr_t>(p + 1));
    m->opens[p]++;
    return CompleteNow(irp, STATUS_SUCCESS);
}

// A read, write or command armed to fail by FailNthRequest is failed as a transfer fails.
bool InjectedTransferFailure(Model* m, RequestKind kind, PIRP irp) {
    std::vector<Done> now;
    {
        std::lock_guard<std::mutex> g(m->mu);
        NTSTATUS status;
        if (!m->TakeNthFailureLocked(kind, &status)) return false;
        m->FailAsTransferLocked(irp, status, now);
    }
    Model::CompleteAll(now);
    return true;
}

NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp) {
    Model* m = ModelOf(device);
    auto* sl = IoGetCurrentIrpStackLocation(irp);
    int p = PipeOfFile(sl->FileObject);
    std::vector<Done> now;
    if (InjectedTransferFailure(m, RequestKind::Read, irp)) return STATUS_PENDING;
    NTSTATUS result;
    NTSTATUS refuse = STATUS_SUCCESS;  // completed outside the lock: the reader re-issues from its completion
    {
        std::lock_guard<std::mutex> g(m->mu);
        NTSTATUS fault;
        if (m->unplugged) refuse = STATUS_DEVICE_NOT_CONNECTED;
        else if (p != kRx && p != kStatus) refuse = STATUS_INVALID_DEVICE_REQUEST;
        else if (!irp->MdlAddress || sl->Parameters.Read.Length == 0 ||
                 MmGetMdlByteCount(irp->MdlAddress) < sl->Parameters.Read.Length)
            refuse = STATUS_INVALID_PARAMETER;
        Pipe pipe = static_cast<Pipe>(p);
        if (!NT_SUCCESS(refuse)) {
            result = refuse;
        } else if (m->TakeFaultLocked(pipe, &fault)) {
            IoMarkIrpPending(irp);
            m->FinishLocked(irp, fault, 0, now);
            if (!now.empty() && !m->cfg.completeInline) {
                m->worker.Post([d = now[0]] { Model::Complete(d); });
                now.clear();
            }
            result = STATUS_PENDING;
        } else if (!m->QueueLocked(irp, pipe, sl->FileObject, now)) {
            result = STATUS_PENDING;
        } else {
            result = STATUS_PENDING;
            m->OnDevice([m, pipe](std::vector<Done>& n) {
                if (pipe == kRx) m->ServiceRxLocked(n);
                else m->ServiceStatusLocked(n);
            });
        }
    }
    if (!NT_SUCCESS(refuse)) return CompleteNow(irp, refuse);
    Model::CompleteAll(now);
    return result;
}

NTSTATUS Write(Model* m, PIRP irp, PIO_STACK_LOCATION sl) {
    ULONG len = sl->Parameters.DeviceIoControl.InputBufferLength;
    auto* src = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (len && !src) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    std::vector<Done> now;
    {
        std::lock_guard<std::mutex> g(m->mu);
        NTSTATUS fault;
        if (m->TakeFaultLocked(kTx, &fault)) {
            IoMarkIrpPending(irp);
            m->FinishLocked(irp, fault, 0, now);
        } else if (m->txStalled) {
            // Not sent until the stall ends; cancellable meanwhile.
            uint64_t id = m->QueueLocked(irp, kTx, sl->FileObject, now);
            if (id) m->stalledTx.emplace_back(id, std::vector<uint8_t>(src, src + len));
        } else {
            std::vector<uint8_t> bytes(src, src + len);
            std::shared_ptr<PacedWrite> paced;
            LONGLONG wait = 0;
            if (m->cfg.pacing && len) {
                paced = std::make_shared<PacedWrite>();
                paced->start = std::max(emu::Now(), m->txLineFreeAt);
                paced->byteTime = m->ByteTimeLocked();
                paced->len = len;
                paced->streamAt = m->txStream.size();
                paced->logAt = m->txLog.size();
                m->txLineFreeAt = paced->start + paced->byteTime * len;
                wait = m->txLineFreeAt - emu::Now();
            }
            m->txStream.insert(m->txStream.end(), bytes.begin(), bytes.end());
            m->txLog.push_back({kTx, bytes});
            if (m->loopback) {
                auto looped = m->ArriveLocked(bytes);
                if (paced) paced->looped = looped;
            }
            uint64_t id = m->QueueLocked(irp, kTx, sl->FileObject, now);
            if (id && paced) m->pending[kTx].back().paced = paced;
            if (id) {
                auto finish = [m, id, len](std::vector<Done>& n) {
                    for (auto it = m->pending[kTx].begin(); it != m->pending[kTx].end(); ++it) {
                        if (it->id != id) continue;
                        PIRP i = it->irp;
                        if (m->ClaimLocked(it, kTx)) m->FinishLocked(i, STATUS_SUCCESS, len, n);
                        return;
                    }
                };
                if (wait > 0) {
                    m->worker.PostAfter(wait, [m, finish] {
                        std::vector<Done> n;
                        {
                            std::lock_guard<std::mutex> g2(m->mu);
                            finish(n);
                        }
                        Model::CompleteAll(n);
                    });
                } else {
                    m->OnDevice(finish);
                }
            }
        }
        if (!now.empty() && !m->cfg.completeInline && now[0].status != STATUS_CANCELLED) {
            m->worker.Post([d = now[0]] { Model::Complete(d); });
            now.clear();
        }
    }
    Model::CompleteAll(now);
    return STATUS_PENDING;
}

NTSTATUS Command(Model* m, PIRP irp, PIO_STACK_LOCATION sl) {
    ULONG len = sl->Parameters.DeviceIoControl.InputBufferLength;
    auto* b = static_cast<const uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (!b || len < 2 || len > 3) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    std::vector<Done> now;
    {
        std::lock_guard<std::mutex> g(m->mu);
        m->commands.emplace_back(b, b + len);
        NTSTATUS status = m->DecodeCommandLocked(b, len);
        IoMarkIrpPending(irp);
        m->FinishLocked(irp, status, 0, now);
        if (b[0] == 0x01) m->ServiceStatusLocked(now);  // loopback lines follow the control lines
        if (!m->cfg.completeInline && !now.empty()) {
            m->worker.Post([n = now] { Model::CompleteAll(n); });
            now.clear();
        }
    }
    Model::CompleteAll(now);
    return STATUS_PENDING;
}

NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp) {
    Model* m = ModelOf(device);
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
        std::vector<Done> now;
        {
            std::lock_guard<std::mutex> g(m->mu);
            m->FailAllLocked(STATUS_CANCELLED, now, nullptr, p);
            // Finished transfers that only wait for their completion are cancelled too, except
            // reads: their bytes have left the device, and a read that finished on the bus
            // completes with them.
            for (auto it = m->held.begin(); it != m->held.end();) {
                auto* hs = IoGetCurrentIrpStackLocation(it->irp);
                if (PipeOfFile(hs->FileObject) == p) {  // commands carry no file object
                    if (hs->MajorFunction == IRP_MJ_READ) {
                        now.push_back(*it);
                    } else {
                        now.push_back({it->irp, STATUS_CANCELLED, 0});
                    }
                    it = m->held.erase(it);
                } else {
                    ++it;
                }
            }
        }
        Model::CompleteAll(now);
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
    std::vector<Done> now;
    {
        std::lock_guard<std::mutex> g(m->mu);
        m->FailAllLocked(STATUS_CANCELLED, now, IoGetCurrentIrpStackLocation(irp)->FileObject);
    }
    Model::CompleteAll(now);
    return CompleteNow(irp, STATUS_SUCCESS);
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* ext = static_cast<DevExt*>(device->DeviceExtension);
    UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
    PDEVICE_OBJECT lower = ext->lower;
    if (minor == IRP_MN_SURPRISE_REMOVAL || minor == IRP_MN_REMOVE_DEVICE) {
        std::vector<Done> now;
        {
            std::lock_guard<std::mutex> g(ext->model->mu);
            ext->model->FailAllLocked(STATUS_DEVICE_NOT_CONNECTED, now);
            ext->model->unplugged = true;
        }
        Model::CompleteAll(now);
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

void Device::Inject(const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->ArriveLocked(bytes);
}

void Device::StartCounting(ULONG bytesPerSecond) {
    Model* m = model_.get();
    uint64_t epoch;
    {
        std::lock_guard<std::mutex> g(m->mu);
        m->counting = true;
        m->countingRate = bytesPerSecond;
        m->countingLast = emu::Now();
        m->countingCarry = 0;
        epoch = ++m->countingEpoch;
    }
    m->worker.PostAfter(10000, [m, epoch] { m->CountingTick(epoch); });
}

void Device::StopCounting() {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->counting = false;
    ++model_->countingEpoch;
}

uint64_t Device::CountingBytesGenerated() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->countingGen;
}

size_t Device::RxBacklog() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->rx.size();
}

bool Device::RxLineBusy() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->cfg.pacing && model_->rxLineFreeAt > emu::Now();
}

std::vector<uint8_t> Device::TxStream() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->txStream;
}

std::vector<Transfer> Device::TransferLog() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->txLog;
}

void Device::ClearTx() {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->txStream.clear();
    model_->txLog.clear();
}

std::vector<std::vector<uint8_t>> Device::Commands() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->commands;
}

void Device::ClearCommands() {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->commands.clear();
}

LineState Device::State() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->line;
}

void Device::FailCommand(uint8_t code, NTSTATUS status) {
    std::lock_guard<std::mutex> g(model_->mu);
    if (NT_SUCCESS(status)) model_->failCommand.erase(code);
    else model_->failCommand[code] = status;
}

void Device::SetStatusByte(uint8_t status) {
    Model* m = model_.get();
    std::lock_guard<std::mutex> g(m->mu);
    m->statusSet = status;
    m->OnDevice([m](std::vector<Done>& n) { m->ServiceStatusLocked(n); });
}

uint8_t Device::StatusByte() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->ReportedStatusLocked();
}

void Device::SetLoopback(bool on) {
    Model* m = model_.get();
    std::lock_guard<std::mutex> g(m->mu);
    m->loopback = on;
    m->OnDevice([m](std::vector<Done>& n) { m->ServiceStatusLocked(n); });
}

void Device::SetPacing(bool on) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->cfg.pacing = on;
}

void Device::FailTransfers(Pipe pipe, int count, NTSTATUS status) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->failCount[pipe] = count;
    model_->failStatus[pipe] = status;
}

void Device::SetCompletionDelay(LONGLONG delay100ns) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->delay = delay100ns;
}

void Device::HoldCompletions(bool hold) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->hold = hold;
}

void Device::StallTx(bool stall) {
    {
        std::lock_guard<std::mutex> g(model_->mu);
        model_->txStalled = stall;
        if (stall) return;
    }
    SendStalled(SIZE_MAX);
}

void Device::SendStalled(size_t count) {
    std::vector<Done> now;
    {
        std::lock_guard<std::mutex> g(model_->mu);
        Model* m = model_.get();
        while (count > 0 && !m->stalledTx.empty()) {
            auto [id, bytes] = std::move(m->stalledTx.front());
            m->stalledTx.pop_front();
            for (auto it = m->pending[kTx].begin(); it != m->pending[kTx].end(); ++it) {
                if (it->id != id) continue;
                PIRP irp = it->irp;
                if (m->ClaimLocked(it, kTx)) {
                    m->txStream.insert(m->txStream.end(), bytes.begin(), bytes.end());
                    m->txLog.push_back({kTx, bytes});
                    if (m->loopback) m->ArriveLocked(bytes);
                    m->FinishLocked(irp, STATUS_SUCCESS, bytes.size(), now);
                    count--;
                }
                break;
            }
        }
    }
    if (model_->cfg.completeInline) {
        Model::CompleteAll(now);
    } else if (!now.empty()) {
        model_->worker.Post([now] { Model::CompleteAll(now); });
    }
}

void Device::ReleaseHeld() {
    std::vector<Done> held;
    {
        std::lock_guard<std::mutex> g(model_->mu);
        held.swap(model_->held);
    }
    Model::CompleteAll(held);
}

size_t Device::HeldCount() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->held.size();
}

void Device::SetStatusPipeInvalid(bool invalid) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->statusInvalid = invalid;
}

void Device::DropArrivingByte(uint64_t index) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->dropAt = model_->arrived + index;
}

void Device::FailOpen(Pipe pipe, NTSTATUS status) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->openFailure[pipe] = status;
}

const char* RequestKindName(RequestKind kind) {
    static const char* const names[kRequestKindCount] = {"create", "close",   "reset", "abort",
                                                         "query",  "command", "read",  "write"};
    int k = static_cast<int>(kind);
    return k >= 0 && k < kRequestKindCount ? names[k] : "?";
}

void Device::FailNthRequest(RequestKind kind, uint64_t n, NTSTATUS status) {
    int k = static_cast<int>(kind);
    std::lock_guard<std::mutex> g(model_->mu);
    model_->failRequestAt[k] = n == 0 ? 0 : model_->requestCount[k] + n;
    model_->failRequestStatus[k] = status;
    model_->requestFailed[k] = false;
}

bool Device::NthRequestFailed(RequestKind kind) const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->requestFailed[static_cast<int>(kind)];
}

uint64_t Device::RequestCount(RequestKind kind) const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->requestCount[static_cast<int>(kind)];
}

void Device::Unplug() {
    std::vector<Done> now;
    {
        std::lock_guard<std::mutex> g(model_->mu);
        model_->unplugged = true;
        model_->counting = false;
        model_->FailAllLocked(STATUS_DEVICE_NOT_CONNECTED, now);
        for (auto& d : model_->held) now.push_back({d.irp, STATUS_DEVICE_NOT_CONNECTED, 0});
        model_->held.clear();
    }
    Model::CompleteAll(now);
}

bool Device::Unplugged() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->unplugged;
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

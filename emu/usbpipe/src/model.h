// The device model's state, shared by its files: pipes and requests (pipes.cpp), device commands
// (commands.cpp), the line and the loopback plug (line.cpp), faults and knobs (faults.cpp).
#pragma once

#include "usbpipe/usbpipe.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <random>

#include <emu/sched.h>
#include <nt/io.h>
#include <nt/ke.h>

namespace usbpipe {

// Received bytes waiting for a read: a flat ring that grows by doubling and never shrinks, so a
// steady stream moves bytes with two memcpy calls and no allocation.
class ByteRing {
public:
    size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    void clear() { head_ = size_ = 0; }
    void Push(const uint8_t* p, size_t n) {
        if (size_ + n > buf_.size()) Grow(size_ + n);
        size_t mask = buf_.size() - 1, tail = (head_ + size_) & mask;
        size_t first = std::min(n, buf_.size() - tail);
        std::memcpy(buf_.data() + tail, p, first);
        std::memcpy(buf_.data(), p + first, n - first);
        size_ += n;
    }
    void Pop(uint8_t* dst, size_t n) {
        size_t first = std::min(n, buf_.size() - head_);
        std::memcpy(dst, buf_.data() + head_, first);
        std::memcpy(dst + first, buf_.data(), n - first);
        head_ = (head_ + n) & (buf_.size() - 1);
        size_ -= n;
    }

private:
    void Grow(size_t need) {
        size_t cap = buf_.empty() ? 4096 : buf_.size();
        while (cap < need) cap *= 2;
        std::vector<uint8_t> next(cap);
        size_t n = size_;
        if (n) Pop(next.data(), n);
        buf_.swap(next);
        head_ = 0;
        size_ = n;
    }
    std::vector<uint8_t> buf_;  // a power of two in size
    size_t head_ = 0, size_ = 0;
};

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
    uint64_t streamAt = 0;  // where its bytes begin in the transmitted stream (txTotal)
    size_t logAt = 0;       // its record in txLog (when recorded)
    std::shared_ptr<Arrival> looped;  // its bytes coming back through the loopback plug
};

struct Entry {
    PIRP irp;
    uint64_t id;
    Pipe pipe;
    PFILE_OBJECT file;
    bool cancelling = false;  // its cancel routine runs and will complete it
    std::shared_ptr<PacedWrite> paced;
    ULONG_PTR onLine = 0;     // bytes of a write already put on the line
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

// Where a finished request is completed once the model's lock is released.
enum class Where {
    Here,    // in this thread at DISPATCH_LEVEL (cancelled, unplugged, aborted)
    Caller,  // in the caller's thread at its own level, inside its IoCallDriver
    Device,  // on the device thread, at the level drawn for it
};

struct Outgoing {
    Done done;
    Where where;
    KIRQL level;  // for Device: PASSIVE_LEVEL or DISPATCH_LEVEL, as drawn
};

class Model {
public:
    explicit Model(const Config& c) : cfg(c), worker("usbpipe"), rng(1), recordTx(c.recordTx) {}

    mutable std::mutex mu;
    Config cfg;
    Knobs knobs;
    emu::Worker worker;
    std::mt19937_64 rng;  // the knobs' draws, seeded by Knobs::seed
    PDEVICE_OBJECT device = nullptr;
    std::list<Entry> pending[kPipeCount];
    uint64_t nextId = 1;
    bool workerSection = false;      // the lock is held by a task of the device thread
    std::vector<Outgoing> outgoing;  // completions decided under the lock, made after it
    bool knobsSet = false;           // a knob other than the seed is on: completions go as they draw
    std::atomic<int> maxNesting{0};  // deepest requests sent into the model from its own completions

    // ---- line (line.cpp) ----
    ByteRing rx;
    uint64_t txTotal = 0;            // bytes transmitted so far, recorded or not
    bool recordTx = false;           // keep txStream and txLog (Config::recordTx)
    std::vector<uint8_t> txStream;
    std::vector<Transfer> txLog;
    LineState line;
    uint8_t statusSet = 0;
    uint8_t lastReported = 0xFF;
    bool loopback = false;
    uint64_t arrived = 0;            // bytes that reached the receive line so far
    uint64_t dropAt = UINT64_MAX;    // index of an arriving byte the line loses
    LONGLONG txLineFreeAt = 0, rxLineFreeAt = 0;
    bool counting = false;
    uint64_t countingGen = 0;
    uint64_t countingEpoch = 0;
    ULONG countingRate = 0;
    LONGLONG countingLast = 0;
    double countingCarry = 0;

    // ---- commands (commands.cpp) ----
    std::vector<std::vector<uint8_t>> commands;
    std::map<uint8_t, NTSTATUS> failCommand;

    // ---- faults (faults.cpp) ----
    bool unplugged = false;
    bool statusInvalid = false;
    NTSTATUS openFailure[kPipeCount] = {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_SUCCESS};
    bool hold = false;
    std::vector<Done> held;
    bool txStalled = false;
    std::deque<std::pair<uint64_t, std::vector<uint8_t>>> stalledTx;  // by id, in arrival order
    std::deque<std::pair<uint64_t, std::vector<uint8_t>>> waitingTx;  // for loopback room, by id
    bool resuming = false;
    LONGLONG delay = 0;
    int failCount[kPipeCount] = {};
    NTSTATUS failStatus[kPipeCount] = {};
    int opens[kPipeCount] = {};
    int resets[kPipeCount] = {};
    uint64_t requestCount[kRequestKindCount] = {};
    uint64_t failRequestAt[kRequestKindCount] = {};  // the count that fails; 0: disarmed
    NTSTATUS failRequestStatus[kRequestKindCount] = {};
    bool requestFailed[kRequestKindCount] = {};
    uint64_t moved = 0;               // bytes moved by transfers since the knobs were set
    LONGLONG statusOutageEnd = -1;    // -1: the outage has not begun
    uint64_t statusReadsFailed = 0;
    uint64_t partialFailures = 0;

    // ---- requests (pipes.cpp) ----
    void FinishLocked(PIRP irp, NTSTATUS status, ULONG_PTR info);
    void FinishHereLocked(PIRP irp, NTSTATUS status, ULONG_PTR info = 0) {
        outgoing.push_back({{irp, status, info}, Where::Here, DISPATCH_LEVEL});
    }
    static void Complete(const Done& d);
    static void CompleteAt(const Done& done, KIRQL level);
    bool ClaimLocked(std::list<Entry>::iterator it, Pipe p);
    std::list<Entry>::iterator FirstLive(Pipe p);
    uint64_t QueueLocked(PIRP irp, Pipe p, PFILE_OBJECT file, ULONG_PTR onLine = 0);
    // What an ended write reports it moved: the bytes that stay on the line.
    ULONG_PTR SentLocked(const Entry& e);
    void ServiceRxLocked();
    // Loopback room: whether a write must wait for reads, and sending those that waited.
    bool MustWaitForRoomLocked();
    void ResumeWaitingLocked();
    bool IsPendingLocked(Pipe p, uint64_t id) const;
    void ServiceStatusLocked();
    // Moves received bytes into a read taken off the queue (or never queued) and finishes it;
    // false when an unplug armed by the knobs cut it (the device is then unplugged).
    bool FillReadLocked(PIRP irp);
    void FailAllLocked(NTSTATUS status, PFILE_OBJECT onlyFile = nullptr, int onlyPipe = -1);
    // Nothing delays, holds, paces or draws the completion of the next request: it completes in
    // the caller's thread, as a lower driver with the data at hand does.
    bool AutoInlineLocked() const {
        return !cfg.completeOnWorker && !knobsSet && !hold && delay == 0 && !cfg.pacing && !txStalled;
    }
    // Requests finishing now complete in the caller (not from a task of the device thread).
    bool InlineLocked() const {
        return !workerSection && (cfg.completeInline || knobs.inlineOneIn != 0 || AutoInlineLocked());
    }
    // Runs `fn` under the lock on the device thread, or at once when requests complete inline.
    template <class F>
    void OnDeviceLocked(F fn);
    void PostToDevice(LONGLONG delay100ns, std::function<void()> fn);
    void CompleteOutgoing(std::vector<Outgoing> out, bool onWorker);
    void CompleteOne(const Outgoing& o, bool onWorker);

    // ---- line ----
    uint8_t ReportedStatusLocked() const;
    LONGLONG ByteTimeLocked() const;
    std::shared_ptr<Arrival> ArriveLocked(const uint8_t* bytes, size_t n);
    std::shared_ptr<Arrival> ArriveLocked(const std::vector<uint8_t>& bytes) { return ArriveLocked(bytes.data(), bytes.size()); }
    void RecordTxLocked(const uint8_t* bytes, size_t n);
    void PostArrivalLocked(const std::shared_ptr<Arrival>& a);
    size_t CutUnsentLocked(const PacedWrite& w);
    void CountingTick(uint64_t epoch);

    // ---- commands ----
    NTSTATUS DecodeCommandLocked(const uint8_t* b, ULONG len);
    ULONG ReplyLocked(uint8_t* b, ULONG len, ULONG room) const;

    // ---- faults and knobs ----
    bool OneInLocked(const unsigned& knob);  // by reference: an unset knob is asked of the schedule
    bool TakeNthFailureLocked(RequestKind kind, NTSTATUS* status);
    void FailAsTransferLocked(PIRP irp, NTSTATUS status);
    bool TakeFaultLocked(Pipe p, NTSTATUS* status);
    bool StatusOutageLocked();
    // How many of `want` bytes a transfer moves before an unplug armed by the knobs cuts it
    // (want itself when none does); *cut says whether it does.
    size_t UnplugCutLocked(size_t want, bool* cut);
    // How many of `want` bytes a transfer moves before it fails (drawn by the knobs; 0: it
    // does not fail).
    size_t PartialFailLocked(size_t want);
    void UnplugLocked();
};

// The model's lock for one entry into it. Completions decided meanwhile are made when it is
// released, never under it: a completion routine may send the next request straight back in.
class Section {
public:
    explicit Section(Model& m, bool onWorker = false) : m_(m), lock_(m.mu), onWorker_(onWorker) {
        m_.workerSection = onWorker;
    }
    ~Section() {
        m_.workerSection = false;
        if (m_.outgoing.size() <= kFew) {  // the common case, without giving up the vector's room
            std::array<Outgoing, kFew> few;
            size_t n = m_.outgoing.size();
            std::copy(m_.outgoing.begin(), m_.outgoing.end(), few.begin());
            m_.outgoing.clear();
            lock_.unlock();
            for (size_t i = 0; i < n; i++) m_.CompleteOne(few[i], onWorker_);
            return;
        }
        std::vector<Outgoing> out;
        out.swap(m_.outgoing);
        lock_.unlock();
        if (!out.empty()) m_.CompleteOutgoing(std::move(out), onWorker_);
    }
    Section(const Section&) = delete;
    Section& operator=(const Section&) = delete;

private:
    static constexpr size_t kFew = 4;
    Model& m_;
    std::unique_lock<std::mutex> lock_;
    bool onWorker_;
};

template <class F>
void Model::OnDeviceLocked(F fn) {
    if (InlineLocked()) {
        fn();
        return;
    }
    PostToDevice(0, [this, fn] {
        Section s(*this, true);
        fn();
    });
}

Model* ModelOf(PDEVICE_OBJECT device);
int PipeOfFile(PFILE_OBJECT file);
NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR info = 0);
NTSTATUS Command(Model* m, PIRP irp, PIO_STACK_LOCATION sl);

}  // namespace usbpipe

// The serial line behind the device: received and sent bytes, pacing at the baud rate, the
// status byte, the loopback plug and the counting pattern.
#include "model.h"

#include <stdexcept>

namespace usbpipe {

uint8_t Model::ReportedStatusLocked() const {
    if (!loopback) return statusSet;
    uint8_t wired = kStatusCts | kStatusDsr | kStatusDcd | (knobs.loopbackRing ? kStatusRi : 0);
    uint8_t s = statusSet & static_cast<uint8_t>(~wired);
    if (line.controlLines & kLineRts) s |= kStatusCts;
    if (line.controlLines & kLineDtr) s |= kStatusDsr | kStatusDcd;
    if (knobs.loopbackRing && (line.controlLines & kLineDtr)) s |= kStatusRi;
    return s;
}

// 100 ns per byte at the configured baud rate and frame.
LONGLONG Model::ByteTimeLocked() const {
    int bits = 1 + line.dataBits + line.stopBits + (line.parity == Parity::None ? 0 : 1);
    ULONG baud = line.baud ? line.baud : 9600;
    return static_cast<LONGLONG>(bits) * 10000000LL / baud;
}

// Received bytes enter the line; with pacing they arrive at the line rate (and the paced arrival
// is returned, so that a write cut off can shorten it).
std::shared_ptr<Arrival> Model::ArriveLocked(const uint8_t* p, size_t n) {
    if (dropAt >= arrived && dropAt - arrived < n) {
        // The line loses one byte: what came before and after it arrives as one.
        std::vector<uint8_t> kept(p, p + n);
        kept.erase(kept.begin() + static_cast<std::ptrdiff_t>(dropAt - arrived));
        arrived++;  // the dropped byte still counts as arrived
        dropAt = UINT64_MAX;
        return ArriveLocked(kept.data(), kept.size());
    }
    arrived += n;
    if (n == 0) return nullptr;
    if (!cfg.pacing) {
        rx.Push(p, n);
        OnDeviceLocked([this] { ServiceRxLocked(); });
        return nullptr;
    }
    auto a = std::make_shared<Arrival>();
    a->start = std::max(emu::Now(), rxLineFreeAt);
    a->end = a->start + ByteTimeLocked() * static_cast<LONGLONG>(n);
    a->bytes.assign(p, p + n);
    rxLineFreeAt = a->end;
    PostArrivalLocked(a);
    return a;
}

void Model::PostArrivalLocked(const std::shared_ptr<Arrival>& a) {
    PostToDevice(std::max<LONGLONG>(a->end - emu::Now(), 0), [this, a] {
        Section s(*this, true);
        if (a->cut) return;
        rx.Push(a->bytes.data(), a->bytes.size());
        ServiceRxLocked();
    });
}

// A paced write ends before its time (cancel or abort): the bytes it had not yet sent leave the
// wire, its loopback echo and the line's busy time included. Only the latest write on the line is
// shortened; one with others queued behind it counts as sent whole.
size_t Model::CutUnsentLocked(const PacedWrite& w) {
    LONGLONG now = emu::Now();
    LONGLONG end = w.start + w.byteTime * static_cast<LONGLONG>(w.len);
    if (now >= end || txLineFreeAt != end) return w.len;
    size_t sent = now <= w.start ? 0 : static_cast<size_t>((now - w.start) / w.byteTime);
    size_t unsent = w.len - sent;
    txLineFreeAt = end - w.byteTime * static_cast<LONGLONG>(unsent);
    // Bytes not taken off the stream count as sent.
    size_t kept = w.len;
    if (txTotal == w.streamAt + w.len) {
        txTotal = w.streamAt + sent;
        if (recordTx && txStream.size() >= unsent) txStream.resize(txStream.size() - unsent);
        kept = sent;
    }
    if (recordTx && w.logAt + 1 == txLog.size() && txLog.back().bytes.size() == w.len) txLog.back().bytes.resize(sent);
    const auto& a = w.looped;
    if (a && !a->cut && rxLineFreeAt == a->end && a->bytes.size() == w.len) {
        a->cut = true;
        arrived -= unsent;
        if (sent == 0) {
            rxLineFreeAt = std::max(now, a->start);
            return kept;
        }
        auto rest = std::make_shared<Arrival>();
        rest->start = a->start;
        rest->end = a->start + (a->end - a->start) / static_cast<LONGLONG>(w.len) * static_cast<LONGLONG>(sent);
        rest->bytes.assign(a->bytes.begin(), a->bytes.begin() + static_cast<std::ptrdiff_t>(sent));
        rxLineFreeAt = rest->end;
        PostArrivalLocked(rest);
    }
    return kept;
}

void Model::CountingTick(uint64_t epoch) {
    Section s(*this, true);
    if (!counting || epoch != countingEpoch) return;
    LONGLONG t = emu::Now();
    double due = countingCarry + static_cast<double>(t - countingLast) * countingRate / 1e7;
    countingLast = t;
    auto n = static_cast<uint64_t>(due);
    countingCarry = due - static_cast<double>(n);
    std::vector<uint8_t> bytes(n);
    for (auto& b : bytes) b = static_cast<uint8_t>(countingGen++);
    if (!unplugged) ArriveLocked(bytes);
    PostToDevice(10000, [this, epoch] { CountingTick(epoch); });
}

// ---- Device handle ---------------------------------------------------------------------------

void Device::Inject(const std::vector<uint8_t>& bytes) {
    Section s(*model_);
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
    m->PostToDevice(10000, [m, epoch] { m->CountingTick(epoch); });
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

// Recorded only on request: a long stream kept whole costs the benchmarks memory and time.
void Model::RecordTxLocked(const uint8_t* bytes, size_t n) {
    txTotal += n;
    if (!recordTx) return;
    txStream.insert(txStream.end(), bytes, bytes + n);
    txLog.push_back({kTx, std::vector<uint8_t>(bytes, bytes + n)});
}

namespace {

void ExpectRecording(const Model& m) {
    if (!m.recordTx)
        throw std::logic_error("usbpipe: the transmit record was not asked for (Config::recordTx or Device::RecordTx)");
}

}  // namespace

std::vector<uint8_t> Device::TxStream() const {
    std::lock_guard<std::mutex> g(model_->mu);
    ExpectRecording(*model_);
    return model_->txStream;
}

std::vector<Transfer> Device::TransferLog() const {
    std::lock_guard<std::mutex> g(model_->mu);
    ExpectRecording(*model_);
    return model_->txLog;
}

uint64_t Device::TxBytes() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->txTotal;
}

void Device::RecordTx(bool on) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->recordTx = on;
}

void Device::ClearTx() {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->txStream.clear();
    model_->txLog.clear();
}

void Device::SetStatusByte(uint8_t status) {
    Model* m = model_.get();
    Section s(*m);
    m->statusSet = status;
    m->OnDeviceLocked([m] { m->ServiceStatusLocked(); });
}

uint8_t Device::StatusByte() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->ReportedStatusLocked();
}

void Device::SetLoopback(bool on) {
    Model* m = model_.get();
    Section s(*m);
    m->loopback = on;
    if (!on) m->ResumeWaitingLocked();  // the plug is out: what waited for its room leaves
    m->OnDeviceLocked([m] { m->ServiceStatusLocked(); });
}

void Device::SetLoopbackRing(bool on) {
    Model* m = model_.get();
    Section s(*m);
    m->knobs.loopbackRing = on;
    m->knobsSet = m->knobs.Describe() != "none";
    m->OnDeviceLocked([m] { m->ServiceStatusLocked(); });
}

void Device::SetPacing(bool on) {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->cfg.pacing = on;
}

}  // namespace usbpipe

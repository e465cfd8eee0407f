#include "workload.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "emu/sched.h"
#include "stack.h"
#include "stream.h"

namespace stress {

double Scale() {
    const char* s = std::getenv("VCOM_STRESS_SCALE");
    double v = s ? std::atof(s) : 1.0;
    return v > 0 ? v : 1.0;
}

std::string Result::Summary() const {
    std::ostringstream os;
    os << (lossless ? "lossless" : "lossy") << (asyncTx ? " async-tx" : " sync-tx")
       << (surpriseRemoved ? " surprise-removed" : "") << (unplugged ? " (unplugged amid a transfer)" : "") << ": "
       << requests << " requests, " << faultsInjected << " faults, " << partialFailures << " partial failures, " << bytesWritten << " bytes written, " << bytesOnWire << " on the wire, " << bytesRead
       << " read (gaps: tx " << txGapBytes << ", rx " << rxGapBytes << "; overruns " << overruns << ")";
    return os.str();
}

namespace {

const char* StatusName(NTSTATUS s) {
    switch (s) {
#define N(x) \
    case x:  \
        return #x;
        N(STATUS_SUCCESS) N(STATUS_TIMEOUT) N(STATUS_PENDING) N(STATUS_BUFFER_OVERFLOW) N(STATUS_UNSUCCESSFUL)
        N(STATUS_NOT_IMPLEMENTED) N(STATUS_INVALID_HANDLE) N(STATUS_INVALID_PARAMETER) N(STATUS_NO_SUCH_DEVICE)
        N(STATUS_INVALID_DEVICE_REQUEST) N(STATUS_NO_MEMORY) N(STATUS_ACCESS_DENIED) N(STATUS_BUFFER_TOO_SMALL)
        N(STATUS_DELETE_PENDING) N(STATUS_INSUFFICIENT_RESOURCES) N(STATUS_DEVICE_NOT_READY) N(STATUS_IO_TIMEOUT)
        N(STATUS_NOT_SUPPORTED) N(STATUS_INTERNAL_ERROR) N(STATUS_CANCELLED) N(STATUS_INVALID_DEVICE_STATE)
        N(STATUS_DEVICE_NOT_CONNECTED) N(STATUS_DEVICE_REMOVED) N(STATUS_POWER_STATE_INVALID)
#undef N
    default:
        return "STATUS_other";
    }
}

// The statuses each kind of request may end with, whatever happened below and around it.
const std::set<NTSTATUS> kGone = {STATUS_DELETE_PENDING, STATUS_DEVICE_NOT_CONNECTED, STATUS_NO_SUCH_DEVICE,
                                  STATUS_DEVICE_REMOVED, STATUS_DEVICE_NOT_READY, STATUS_INVALID_DEVICE_STATE,
                                  STATUS_POWER_STATE_INVALID};
bool Allowed(const std::string& kind, NTSTATUS s) {
    if (s == STATUS_SUCCESS || s == STATUS_CANCELLED || kGone.count(s)) return true;
    if (kind == "read" || kind == "write") return s == STATUS_TIMEOUT || s == STATUS_UNSUCCESSFUL || s == STATUS_IO_TIMEOUT;
    // the immediate character is a device control sent as a transfer: it fails as either may
    if (kind == "immediate" && (s == STATUS_TIMEOUT || s == STATUS_IO_TIMEOUT)) return true;
    if (kind == "flush") return false;
    // device controls: a refused buffer or value, a code not served, or the device refusing
    return s == STATUS_INVALID_PARAMETER || s == STATUS_BUFFER_TOO_SMALL || s == STATUS_NOT_SUPPORTED ||
           s == STATUS_INVALID_DEVICE_REQUEST || s == STATUS_NOT_IMPLEMENTED || s == STATUS_UNSUCCESSFUL ||
           s == STATUS_INSUFFICIENT_RESOURCES || s == STATUS_BUFFER_OVERFLOW;
}

struct Ioctl {
    ULONG code;
    ULONG in, out;  // the sizes a valid request has
};

const Ioctl kIoctls[] = {
    {IOCTL_SERIAL_GET_BAUD_RATE, 0, sizeof(SERIAL_BAUD_RATE)},
    {IOCTL_SERIAL_SET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE), 0},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, sizeof(SERIAL_LINE_CONTROL)},
    {IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0},
    {IOCTL_SERIAL_GET_CHARS, 0, sizeof(SERIAL_CHARS)},
    {IOCTL_SERIAL_SET_CHARS, sizeof(SERIAL_CHARS), 0},
    {IOCTL_SERIAL_GET_HANDFLOW, 0, sizeof(SERIAL_HANDFLOW)},
    {IOCTL_SERIAL_SET_HANDFLOW, sizeof(SERIAL_HANDFLOW), 0},
    {IOCTL_SERIAL_GET_TIMEOUTS, 0, sizeof(SERIAL_TIMEOUTS)},
    {IOCTL_SERIAL_SET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS), 0},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, sizeof(SERIAL_QUEUE_SIZE), 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_SET_WAIT_MASK, sizeof(ULONG), 0},
    {IOCTL_SERIAL_WAIT_ON_MASK, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_PURGE, sizeof(ULONG), 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
    {IOCTL_SERIAL_GET_COMMSTATUS, 0, sizeof(SERIAL_STATUS)},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_DTRRTS, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_MODEM_CONTROL, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_SET_MODEM_CONTROL, sizeof(ULONG), 0},
    {IOCTL_SERIAL_SET_DTR, 0, 0},
    {IOCTL_SERIAL_CLR_DTR, 0, 0},
    {IOCTL_SERIAL_SET_RTS, 0, 0},
    {IOCTL_SERIAL_CLR_RTS, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_ON, 0, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0, 0},
    {IOCTL_SERIAL_SET_XON, 0, 0},
    {IOCTL_SERIAL_SET_XOFF, 0, 0},
    {IOCTL_SERIAL_GET_PROPERTIES, 0, sizeof(SERIAL_COMMPROP)},
    {IOCTL_SERIAL_GET_STATS, 0, sizeof(SERIALPERF_STATS)},
    {IOCTL_SERIAL_CLEAR_STATS, 0, 0},
    {IOCTL_SERIAL_CONFIG_SIZE, 0, sizeof(ULONG)},
    {IOCTL_SERIAL_GET_COMMCONFIG, 0, 64},
    {IOCTL_SERIAL_SET_COMMCONFIG, 64, 0},
    {IOCTL_SERIAL_SET_FIFO_CONTROL, sizeof(ULONG), 0},
    {IOCTL_SERIAL_LSRMST_INSERT, 1, 0},
    {IOCTL_SERIAL_XOFF_COUNTER, sizeof(SERIAL_XOFF_COUNTER), 0},
    {IOCTL_SERIAL_RESET_DEVICE, 0, 0},
    {IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION, 0, 0},
    {0x1b0fff, 0, 0},  // a code the port does not know
};

using Rng = std::mt19937_64;

uint64_t Pick(Rng& r, uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(r); }
bool Chance(Rng& r, int percent) { return static_cast<int>(Pick(r, 100)) < percent; }

// A write as issued, with how much of it the port reported done.
struct WriteRec {
    Bytes data;
    ULONG done = 0;
};

class Workload {
public:
    explicit Workload(const Options& o) : o_(o), rng_(o.seed) {
        lossless_ = Pick(rng_, 3) == 0;
        res_.lossless = lossless_;
        if (lossless_) o_.epochs = 1;  // a close frees what the port still holds
        res_.asyncTx = Chance(rng_, 50);
        pacing_ = lossless_ || Chance(rng_, 50);
    }

    Result Go();

private:
    void Fail(const std::string& what) {
        std::lock_guard<std::mutex> g(mu_);
        res_.ok = false;
        if (res_.failures.size() < 20) res_.failures.push_back(what);
    }
    // A hang cannot be unwound (threads wait on the emulation for ever): the seed, what was
    // found so far and the emulation's state go to stderr, and the run ends.
    [[noreturn]] void Hang(const std::string& what) {
        std::string dump = emu::DumpState();
        auto& dev = stack_->dev();
        dump += "device: pending tx " + std::to_string(dev.Pending(usbpipe::kTx)) + ", rx " +
                std::to_string(dev.Pending(usbpipe::kRx)) + ", status " + std::to_string(dev.Pending(usbpipe::kStatus)) +
                "; held " + std::to_string(dev.HeldCount()) + "; unplugged " + std::to_string(dev.Unplugged());
        {
            std::lock_guard<std::mutex> g(mu_);
            std::fprintf(stderr, "seed %llu hangs: %s\n", static_cast<unsigned long long>(o_.seed), what.c_str());
            for (const auto& f : res_.failures) std::fprintf(stderr, "  earlier: %s\n", f.c_str());
            std::fprintf(stderr, "%s\n", dump.c_str());
        }
        std::abort();
    }
    void Count(const std::string& kind, NTSTATUS s) {
        std::lock_guard<std::mutex> g(mu_);
        res_.requests++;
        res_.statuses[kind + " " + StatusName(s)]++;
        if (s != STATUS_PENDING && !Allowed(kind, s)) {
            std::ostringstream os;
            os << kind << " ended with 0x" << std::hex << static_cast<ULONG>(s) << " (" << StatusName(s) << ")";
            if (res_.failures.size() < 20) res_.failures.push_back(os.str());
            res_.ok = false;
        }
    }
    void Fault() {
        std::lock_guard<std::mutex> g(mu_);
        res_.faultsInjected++;
    }

    bool Epoch(int index, bool last);
    void Writer(emu::io::File& f, uint64_t seed);
    void Reader(emu::io::File& f, uint64_t seed);
    void Controller(emu::io::File& f, uint64_t seed);
    void ClockStep(emu::io::File& f, bool last, int step);
    // Runs a call that waits for the device (open, close, PnP, power) on a thread of its own while
    // this thread keeps the clock moving and releases held completions, as the far end would.
    NTSTATUS OffClock(const std::function<NTSTATUS()>& call, const char* what);
    // An unplug drawn by the knobs ends the device: its PnP manager then sends surprise
    // removal. True once the device is gone (a step that failed for it is no fault).
    bool FollowUnplug();
    void QuietEnd();
    void DumpStreams(const std::string& prefix, const Bytes& sent, const Bytes& wire);
    void Check();

    Options o_;
    Rng rng_;
    bool lossless_ = false;
    bool pacing_ = false;
    std::unique_ptr<vcomtest::Stack> stack_;
    std::mutex mu_;
    Result res_;
    uint64_t position_ = 0;  // next stream position a write carries
    std::vector<WriteRec> writes_;
    Bytes read_;
    Bytes immediates_;
    std::atomic<bool> stop_{false};
    bool removed_ = false;
    bool writerDone_ = false;
    size_t markerAt_ = SIZE_MAX;  // where the closing marker starts on the wire
};

// ---- application threads ----------------------------------------------------------------------

void Workload::Writer(emu::io::File& f, uint64_t seed) {
    Rng r(seed);
    for (int i = 0; i < o_.opsPerThread && !stop_; ++i) {
        int n = 1 + static_cast<int>(Pick(r, 3));
        std::vector<std::pair<size_t, emu::io::Request>> pending;
        for (int k = 0; k < n; ++k) {
            ULONG len = Chance(r, 5) ? 0 : static_cast<ULONG>(1 + Pick(r, Chance(r, 20) ? 2048 : 200));
            size_t index;
            Bytes data(len);
            {
                std::lock_guard<std::mutex> g(mu_);
                for (ULONG b = 0; b < len; ++b) data[b] = StreamByte(o_.seed, position_ + b);
                position_ += len;
                res_.bytesWritten += len;
                index = writes_.size();
                writes_.push_back({data, 0});
            }
            pending.emplace_back(index, f.WriteAsync(data.data(), len));
        }
        for (auto& [index, req] : pending) {
            req.Wait();
            Count("write", req.Status());
            std::lock_guard<std::mutex> g(mu_);
            if (req.Information() > writes_[index].data.size()) Fail("write reported more bytes than it carried");
            writes_[index].done = static_cast<ULONG>(req.Information());
        }
        if (Chance(r, 10)) {
            auto fl = f.FlushAsync();
            fl.Wait();
            Count("flush", fl.Status());
        }
    }
}

void Workload::Reader(emu::io::File& f, uint64_t seed) {
    Rng r(seed);
    // Reads until the round winds down (a budget would leave the bytes still coming unread);
    // after an empty read it sleeps a virtual millisecond so that the clock can move.
    while (!stop_) {
        ULONG len = static_cast<ULONG>(Chance(r, 5) ? 0 : 1 + Pick(r, 512));
        auto req = f.ReadAsync(len);
        // A cancelled read gives up the bytes it had taken: only where loss is allowed.
        if (Chance(r, 10) && !lossless_) req.Cancel();
        req.Wait();
        Count("read", req.Status());
        if (req.Information() > len) Fail("read reported more bytes than asked");
        {
            std::lock_guard<std::mutex> g(mu_);
            read_.insert(read_.end(), req.Data().begin(),
                         req.Data().begin() + std::min<size_t>(req.Information(), req.Data().size()));
        }
        if (req.Information() == 0) {
            LARGE_INTEGER ms;
            ms.QuadPart = -10000;
            KeDelayExecutionThread(KernelMode, FALSE, &ms);
        }
    }
}

void Workload::Controller(emu::io::File& f, uint64_t seed) {
    Rng r(seed);
    std::vector<std::pair<std::string, emu::io::Request>> pending;
    for (int i = 0; i < o_.opsPerThread && !stop_; ++i) {
        const Ioctl& io = kIoctls[Pick(r, std::size(kIoctls))];
        ULONG in = io.in, out = io.out;
        bool valid = Chance(r, 75);
        if (!valid) {
            switch (Pick(r, 3)) {
            case 0: in = in ? in - 1 : 3; break;
            case 1: out = out ? out - 1 : 5; break;
            default: in = 0; out = 0; break;
            }
        }
        uint8_t buf[128] = {};
        for (auto& b : buf) b = static_cast<uint8_t>(Pick(r, 256));
        // Settings that keep the stream's bytes intact in loopback: eight data bits, no software
        // flow control, no character replacement or escape insertion.
        switch (io.code) {
        case IOCTL_SERIAL_SET_BAUD_RATE: {
            static const ULONG rates[] = {9600, 115200, 921600, 0, 0xffffffff};
            ULONG v = rates[Pick(r, Chance(r, 80) ? 3 : 5)];
            std::memcpy(buf, &v, 4);
            break;
        }
        case IOCTL_SERIAL_SET_LINE_CONTROL: {
            SERIAL_LINE_CONTROL lc{static_cast<UCHAR>(Chance(r, 80) ? 0 : Pick(r, 4)),
                                   static_cast<UCHAR>(Chance(r, 80) ? Pick(r, 3) : Pick(r, 8)),
                                   static_cast<UCHAR>(Chance(r, 90) ? 8 : Pick(r, 10))};
            if (lc.WordLength != 8 && lc.WordLength >= 5 && lc.WordLength <= 8) lc.WordLength = 9;  // refused
            std::memcpy(buf, &lc, sizeof lc);
            break;
        }
        case IOCTL_SERIAL_SET_CHARS: {
            SERIAL_CHARS c{};
            c.XonChar = 0x11;
            c.XoffChar = Chance(r, 90) ? 0x13 : 0x11;  // equal ones are refused
            std::memcpy(buf, &c, sizeof c);
            break;
        }
        case IOCTL_SERIAL_SET_HANDFLOW: {
            SERIAL_HANDFLOW h{};
            h.ControlHandShake = static_cast<ULONG>(Pick(r, 4)) | (Chance(r, 30) ? SERIAL_CTS_HANDSHAKE : 0) |
                                 (Chance(r, 20) ? SERIAL_DSR_HANDSHAKE : 0);
            h.FlowReplace = Chance(r, 50) ? SERIAL_RTS_CONTROL : (Chance(r, 50) ? SERIAL_RTS_HANDSHAKE : 0);
            h.XonLimit = static_cast<LONG>(Pick(r, 2048));
            h.XoffLimit = static_cast<LONG>(Pick(r, 2048));
            if (Chance(r, 10)) h.ControlHandShake |= 0x80000000u;  // an undefined bit: refused
            std::memcpy(buf, &h, sizeof h);
            break;
        }
        case IOCTL_SERIAL_SET_TIMEOUTS: {
            static const SERIAL_TIMEOUTS modes[] = {
                {MAXULONG, 0, 0, 0, 0},           // immediate
                {MAXULONG, MAXULONG, 50, 0, 0},   // first byte or 50 ms
                {0, 0, 0, 0, 0},                  // no time-outs
                {20, 1, 100, 1, 200},             // interval and total
                {0, 2, 30, 0, 50},                // total only, write total too
                {MAXULONG, MAXULONG, MAXULONG, 0, 0},  // refused
            };
            SERIAL_TIMEOUTS t = modes[Pick(r, std::size(modes))];
            std::memcpy(buf, &t, sizeof t);
            break;
        }
        case IOCTL_SERIAL_SET_QUEUE_SIZE: {
            SERIAL_QUEUE_SIZE q{static_cast<ULONG>(Chance(r, 90) ? 64 + Pick(r, 16384) : 0x7fffffff),
                                static_cast<ULONG>(Pick(r, 8192))};
            std::memcpy(buf, &q, sizeof q);
            break;
        }
        case IOCTL_SERIAL_SET_WAIT_MASK: {
            ULONG m = static_cast<ULONG>(Pick(r, 0x2000)) | (Chance(r, 10) ? 0x10000u : 0);
            std::memcpy(buf, &m, 4);
            break;
        }
        case IOCTL_SERIAL_PURGE: {
            ULONG m = static_cast<ULONG>(Pick(r, 16)) | (Chance(r, 10) ? 0x20u : 0);
            if (lossless_) m &= ~static_cast<ULONG>(SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT);
            std::memcpy(buf, &m, 4);
            break;
        }
        case IOCTL_SERIAL_IMMEDIATE_CHAR: {
            std::lock_guard<std::mutex> g(mu_);
            if (in == 1) immediates_.push_back(buf[0]);
            break;
        }
        case IOCTL_SERIAL_LSRMST_INSERT:
            buf[0] = 0;
            if (valid) in = 0;  // insertion would alter the data: only the refused forms
            break;
        case IOCTL_SERIAL_XOFF_COUNTER:
            if (valid) in = 2;  // would insert a character: only the refused form
            break;
        case IOCTL_SERIAL_SET_MODEM_CONTROL:
        case IOCTL_SERIAL_SET_FIFO_CONTROL:
            buf[0] &= 0x03;
            buf[1] = buf[2] = buf[3] = 0;
            break;
        default:
            break;
        }
        std::string kind = io.code == IOCTL_SERIAL_WAIT_ON_MASK    ? "wait"
                           : io.code == IOCTL_SERIAL_IMMEDIATE_CHAR ? "immediate"
                                                                    : "ioctl";
        auto req = f.IoctlAsync(io.code, buf, in, out);
        if (io.code == IOCTL_SERIAL_WAIT_ON_MASK && Chance(r, 70)) {
            pending.emplace_back(kind, req);
        } else {
            req.Wait();
            Count(kind, req.Status());
            if (req.Information() > out) Fail("a device control returned more than its output buffer");
        }
        if (pending.size() > 3 || Chance(r, 10)) {
            if (!pending.empty() && Chance(r, 50)) pending.front().second.Cancel();
            for (auto& [k, p] : pending) {
                p.Wait();
                Count(k, p.Status());
            }
            pending.clear();
        }
    }
    for (auto& [k, p] : pending) {
        p.Wait();
        Count(k, p.Status());
    }
}

// ---- the clock thread: time, the device model, PnP and power ----------------------------------

NTSTATUS Workload::OffClock(const std::function<NTSTATUS()>& call, const char* what) {
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_PENDING;
    emu::Thread t([&] {
        status = call();
        done = true;
    }, what);
    for (int i = 0; !done; ++i) {
        if (i == 2000) {
            Hang(std::string(what) + " did not finish");
        }
        emu::AdvanceTime(5);
        if (i % 4 == 3) stack_->dev().ReleaseHeld();
        // Running free, a thread woken from a wait counts as blocked until it takes the
        // scheduler's lock, which this loop may win every time on a busy machine: the call would
        // look hung while it only waits for a processor. A moment of real time lets it run.
        if (i >= 100) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    t.join();
    return status;
}

bool Workload::FollowUnplug() {
    if (removed_) return true;
    if (!stack_->dev().Unplugged()) return false;
    OffClock([&] { return stack_->node().SurpriseRemoval(); }, "SurpriseRemoval");
    removed_ = true;
    res_.surpriseRemoved = true;
    res_.unplugged = true;
    return true;
}

void Workload::ClockStep(emu::io::File& f, bool last, int step) {
    auto& dev = stack_->dev();
    emu::AdvanceTime(static_cast<LONGLONG>(Pick(rng_, 30)));
    if (FollowUnplug()) return;
    if (last && step == o_.stepsPerEpoch / 2 && !lossless_ && Pick(rng_, 4) == 0) {
        // Pulled out under the open port, in the middle of everything.
        Fault();
        dev.Unplug();
        OffClock([&] { return stack_->node().SurpriseRemoval(); }, "SurpriseRemoval");
        removed_ = true;
        res_.surpriseRemoved = true;
        return;
    }
    switch (Pick(rng_, 20)) {
    case 0:
        dev.SetCompletionDelay(static_cast<LONGLONG>(Pick(rng_, 5)) * 10000);
        Fault();
        break;
    case 1:
        dev.HoldCompletions(true);
        Fault();
        break;
    case 2:
    case 3:
        dev.ReleaseHeld();
        dev.HoldCompletions(false);
        break;
    case 4:
        if (!lossless_) {
            dev.FailTransfers(static_cast<usbpipe::Pipe>(Pick(rng_, 3)), 1 + static_cast<int>(Pick(rng_, 2)),
                              Chance(rng_, 50) ? STATUS_UNSUCCESSFUL : STATUS_IO_TIMEOUT);
            Fault();
        }
        break;
    case 5:
        dev.SetStatusByte(static_cast<uint8_t>(Pick(rng_, 16)));
        Fault();
        break;
    case 6:
        if (!lossless_) {
            f.CancelAll();
            Fault();
        }
        break;
    case 7:
        // Power cycles keep every byte, so they run in the lossless mode too.
        Fault();
        if (OffClock([&] { return stack_->node().SetDevicePower(PowerDeviceD3); }, "SetDevicePower") == STATUS_SUCCESS) {
            emu::AdvanceTime(static_cast<LONGLONG>(Pick(rng_, 20)));
            if (OffClock([&] { return stack_->node().SetDevicePower(PowerDeviceD0); }, "SetDevicePower") != STATUS_SUCCESS &&
                !FollowUnplug())
                Fail("D0 after D3 failed");
        }
        break;
    case 8:
        if (!lossless_) {
            Fault();
            if (OffClock([&] { return stack_->node().QueryStop(); }, "QueryStop") == STATUS_SUCCESS) {
                if (Chance(rng_, 30)) {
                    OffClock([&] { return stack_->node().CancelStop(); }, "CancelStop");
                } else {
                    if (OffClock([&] { return stack_->node().Stop(); }, "Stop") != STATUS_SUCCESS && !FollowUnplug())
                        Fail("stop after a granted query-stop failed");
                    emu::AdvanceTime(static_cast<LONGLONG>(Pick(rng_, 20)));
                    if (OffClock([&] { return stack_->node().Start(); }, "Start") != STATUS_SUCCESS && !FollowUnplug())
                        Fail("start after stop failed");
                }
            }
        }
        break;
    default:
        break;
    }
}

bool Workload::Epoch(int index, bool last) {
    std::unique_ptr<emu::io::File> f;
    NTSTATUS s = OffClock([&] { return stack_->Open(&f); }, "open");
    if (s != STATUS_SUCCESS) {
        if (!FollowUnplug()) Fail("open of round " + std::to_string(index) + " failed: " + StatusName(s));
        return false;
    }
    stop_ = false;
    Rng seeds(o_.seed * 1000003 + static_cast<uint64_t>(index));
    std::atomic<int> running{3};
    writerDone_ = false;
    emu::Thread writer([&, sd = seeds()] { Writer(*f, sd); { std::lock_guard<std::mutex> g(mu_); writerDone_ = true; } running--; }, "stress-writer");
    emu::Thread reader([&, sd = seeds()] { Reader(*f, sd); running--; }, "stress-reader");
    emu::Thread control([&, sd = seeds()] { Controller(*f, sd); running--; }, "stress-control");
    for (int step = 0; step < o_.stepsPerEpoch && running > 0; ++step) ClockStep(*f, last, step);
    if (lossless_) {
        // Nothing may be lost: let the writes finish and the reader take every byte before the
        // close frees what is held.
        auto drained = [&] {
            std::lock_guard<std::mutex> g(mu_);
            return writerDone_ && stack_->dev().TxStream().size() == read_.size();  // immediate characters loop back too
        };
        stack_->dev().HoldCompletions(false);
        stack_->dev().ReleaseHeld();
        for (int i = 0; i < 2400 && !drained(); ++i) {
            emu::AdvanceTime(50);
            if (i % 20 == 19) {
                // A read waiting for more than will come ends by its total time-out, bytes kept.
                SERIAL_TIMEOUTS t{0, 0, 1, 0, 0};
                f->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, 0);
            }
        }
        if (!drained()) {
            auto st = f->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
            SERIAL_STATUS ss{};
            if (st.Data().size() >= sizeof ss) std::memcpy(&ss, st.Data().data(), sizeof ss);
            std::lock_guard<std::mutex> g(mu_);
            std::ostringstream os;
            os << "receive stalled: " << read_.size() << " of " << stack_->dev().TxStream().size()
               << " bytes read, " << ss.AmountInInQueue << " held by the port, " << stack_->dev().RxBacklog()
               << " waiting in the device, hold reasons 0x" << std::hex << ss.HoldReasons << ", writer "
               << (writerDone_ ? "done" : "not done");
            res_.failures.push_back(os.str());
            res_.ok = false;
        }
    }
    // Wind down: no new requests; whatever still waits is cancelled.
    stop_ = true;
    stack_->dev().HoldCompletions(false);
    stack_->dev().ReleaseHeld();
    // 40 s of virtual time: more than the 30 s a flush may wait for TxBuffer to drain.
    for (int round = 0; running > 0; ++round) {
        if (round == 800) {
            Hang("the application threads did not finish");
        }
        f->CancelAll();
        emu::AdvanceTime(50);
    }
    writer.join();
    reader.join();
    control.join();
    OffClock([&] { return f->Close(); }, "close");
    return true;
}

// After the storm: with the faults gone, a marker written now must arrive whole and last, and
// nothing must be left queued.
void Workload::QuietEnd() {
    auto& dev = stack_->dev();
    dev.SetCompletionDelay(0);
    dev.HoldCompletions(false);
    dev.ReleaseHeld();
    for (int p = 0; p < usbpipe::kPipeCount; ++p) dev.FailTransfers(static_cast<usbpipe::Pipe>(p), 0, STATUS_SUCCESS);
    emu::AdvanceTime(100);
    std::unique_ptr<emu::io::File> f;
    NTSTATUS s = OffClock([&] { return stack_->Open(&f); }, "open");
    if (s != STATUS_SUCCESS) {
        Fail(std::string("open after the storm failed: ") + StatusName(s));
        return;
    }
    for (ULONG code : {IOCTL_SERIAL_SET_XON, IOCTL_SERIAL_SET_BREAK_OFF, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_SET_DTR})
        f->Ioctl(code, nullptr, 0, 0);
    SERIAL_HANDFLOW h{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
    f->Ioctl(IOCTL_SERIAL_SET_HANDFLOW, &h, sizeof h, 0);
    // What is still on its way belongs to the stream: read it until nothing more comes.
    SERIAL_TIMEOUTS t{MAXULONG, 0, 0, 0, 0};
    f->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, 0);
    // A paced transfer arrives whole after its time on the line, minutes for a long one at a
    // slow rate: quiet means the line idle and three seconds without a byte.
    for (int quiet = 0, i = 0; quiet < 150 && i < 20000; ++i) {
        auto rd = f->Read(4096);
        read_.insert(read_.end(), rd.Data().begin(), rd.Data().begin() + std::min<size_t>(rd.Information(), rd.Data().size()));
        bool onTheLine = dev.RxLineBusy();
        quiet = rd.Information() == 0 && dev.RxBacklog() == 0 && !onTheLine ? quiet + 1 : 0;
        emu::AdvanceTime(onTheLine && rd.Information() == 0 ? 500 : 20);
    }
    t = {MAXULONG, MAXULONG, 200, 0, 0};
    f->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &t, sizeof t, 0);
    Bytes marker(300);
    for (size_t i = 0; i < marker.size(); ++i) marker[i] = StreamByte(o_.seed ^ 0x5a5a, i);
    size_t wireBefore = dev.TxStream().size();
    markerAt_ = wireBefore;
    auto w = f->WriteAsync(marker.data(), static_cast<ULONG>(marker.size()));
    Bytes got;
    for (int i = 0; i < 100 && got.size() < marker.size(); ++i) {
        auto rd = f->ReadAsync(static_cast<ULONG>(marker.size() - got.size()));
        emu::AdvanceTimeUntil([&] { return rd.Done(); }, 300 * 10000);
        if (!rd.Done()) rd.Cancel();
        rd.Wait();
        got.insert(got.end(), rd.Data().begin(), rd.Data().begin() + std::min<size_t>(rd.Information(), rd.Data().size()));
    }
    emu::AdvanceTimeUntil([&] { return w.Done(); }, 1000 * 10000);
    if (!w.Done()) {
        Fail("the marker write did not complete once the faults were gone");
        w.Cancel();
    }
    w.Wait();
    if (w.Status() != STATUS_SUCCESS || w.Information() != marker.size()) Fail("the marker write failed");
    Bytes wire = dev.TxStream();
    if (Bytes(wire.begin() + static_cast<long>(std::min(wireBefore, wire.size())), wire.end()) != marker)
        Fail("the marker did not go out whole and alone on the wire");
    if (got != marker) Fail("the marker did not come back whole: " + std::to_string(got.size()) + " of 300 bytes");
    auto stats = f->Ioctl(IOCTL_SERIAL_GET_STATS, nullptr, 0, sizeof(SERIALPERF_STATS));
    if (stats.Status() == STATUS_SUCCESS && stats.Data().size() >= sizeof(SERIALPERF_STATS)) {
        SERIALPERF_STATS ps;
        std::memcpy(&ps, stats.Data().data(), sizeof ps);
        res_.overruns = ps.BufferOverrunErrorCount + ps.SerialOverrunErrorCount;
    }
    auto st = f->Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, sizeof(SERIAL_STATUS));
    SERIAL_STATUS ss{};
    if (st.Status() == STATUS_SUCCESS && st.Data().size() >= sizeof ss) std::memcpy(&ss, st.Data().data(), sizeof ss);
    else Fail("comm status refused after the storm");
    if (ss.AmountInOutQueue != 0) Fail("AmountInOutQueue is " + std::to_string(ss.AmountInOutQueue) + " at the end");
    if (ss.AmountInInQueue != 0) Fail("AmountInInQueue is " + std::to_string(ss.AmountInInQueue) + " at the end");
    f->Close();
}

// For a failure to be studied offline: <prefix>.sent, .wire and .imm hold the bytes written, the
// bytes on the line and the immediate characters; <prefix>.writes one "size done" line per write.
void Workload::DumpStreams(const std::string& prefix, const Bytes& sent, const Bytes& wire) {
    auto save = [&](const char* ext, const Bytes& b) {
        if (FILE* fp = std::fopen((prefix + ext).c_str(), "wb")) {
            std::fwrite(b.data(), 1, b.size(), fp);
            std::fclose(fp);
        }
    };
    save(".sent", sent);
    save(".wire", wire);
    save(".imm", immediates_);
    if (FILE* fp = std::fopen((prefix + ".writes").c_str(), "w")) {
        for (auto& w : writes_) std::fprintf(fp, "%zu %lu\n", w.data.size(), static_cast<unsigned long>(w.done));
        std::fclose(fp);
    }
}

void Workload::Check() {
    Bytes wire = stack_->dev().TxStream();
    if (markerAt_ < wire.size()) wire.resize(markerAt_);
    // The wire: the writes' bytes in order, runs missing only where bytes could be dropped; with
    // synchronous transmit exactly the part of each write it reported done.
    Bytes sent;
    for (auto& w : writes_) sent.insert(sent.end(), w.data.begin(), w.data.end());
    res_.bytesOnWire = wire.size();
    res_.bytesRead = read_.size();
    // A transfer the device took is on the wire even when its write then failed or was
    // cancelled, so the wire holds each write's reported part and possibly more of it.
    if (const char* prefix = std::getenv("VCOM_STRESS_DUMP")) DumpStreams(prefix, sent, wire);
    Ranges reported;
    for (uint64_t at = 0; auto& w : writes_) {
        if (w.done) reported.emplace_back(at, at + w.done);
        at += w.data.size();
    }
    Match tx = MatchStream(sent, wire, immediates_, reported);
    res_.txGapBytes = tx.gapBytes;
    if (!tx.ok) {
        std::ostringstream os;
        os << "transmit: " << tx.error << "; immediate characters sent:";
        for (uint8_t b : immediates_) os << " " << std::hex << int(b);
        Fail(os.str());
    }
    if (tx.ok && (!res_.asyncTx || lossless_)) {
        // Every byte a write reported done went out: always with synchronous transmit, and with
        // asynchronous transmit where nothing may drop what it buffered. A write that timed out
        // reported less, and the rest of it may be missing. Among a few bytes of cut writes and
        // immediate characters the matcher can place a missing run over a reported byte that did
        // go out (seeds 97, 113, 169, 226): a reported part it finds missing must then also be
        // absent from the wire after the reported parts before it.
        auto missing = tx.gapRuns;
        if (tx.tail) missing.emplace_back(sent.size() - tx.tail, sent.size());
        uint64_t at = 0;
        size_t g = 0;
        auto wireFrom = wire.begin();
        for (auto& w : writes_) {
            uint64_t from = at, to = at + w.done;
            while (g < missing.size() && missing[g].second <= from) ++g;
            auto part = w.data.begin() + static_cast<long>(w.done);
            auto found = w.done ? std::search(wireFrom, wire.end(), w.data.begin(), part) : wireFrom;
            if (w.done && g < missing.size() && missing[g].first < to && found == wire.end()) {
                Fail("transmit: a write reported " + std::to_string(w.done) + " bytes done that never went out");
                break;
            }
            if (found != wire.end()) wireFrom = found + static_cast<long>(w.done);
            at += w.data.size();
        }
    }
    // What the application read: the wire's bytes (loopback) in order, runs missing only where
    // a purge, a stop or a fault may drop them.
    Match rx = MatchStream(wire, read_);
    res_.rxGapBytes = rx.gapBytes;
    if (!rx.ok) Fail("receive: " + rx.error);
    if (rx.ok && lossless_ && (rx.gaps || rx.tail))
        Fail("receive: " + std::to_string(rx.gapBytes + rx.tail) + " bytes lost in a run that drops none");
}

// The step counts of the clock thread catch a request that never ends, not a hang of the clock
// thread itself (a deadlock below the port): this watchdog on wall time does. It may not take
// any lock the hang may hold, so it dumps only the emulation's state, which it try-locks.
class WallWatchdog {
public:
    WallWatchdog(uint64_t seed, int seconds)
        : thread_([this, seed, seconds] {
              std::unique_lock<std::mutex> lk(mu_);
              if (cv_.wait_for(lk, std::chrono::seconds(seconds), [this] { return done_; })) return;
              std::fprintf(stderr, "seed %llu hangs: still running after %d s of wall time\n%s\n",
                           static_cast<unsigned long long>(seed), seconds, emu::DumpState().c_str());
              std::abort();
          }) {}
    ~WallWatchdog() {
        {
            std::lock_guard<std::mutex> g(mu_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;  // last: started once the members it uses exist
};

int WatchdogSeconds() {
    const char* s = std::getenv("VCOM_STRESS_WATCHDOG");
    int v = s ? std::atoi(s) : 0;
    return v > 0 ? v : 240;  // below ctest's 300 s, so the dump is seen rather than a kill
}

Result Workload::Go() {
    WallWatchdog watchdog(o_.seed, WatchdogSeconds());
    vcomtest::StackOptions opts = vcomtest::Variant(static_cast<int>(Pick(rng_, 4)));
    opts.values[u"TxAsync"] = emu::pnp::HardwareValue::Dword(res_.asyncTx ? 1 : 0);
    // Some devices report the line status only when it changes.
    opts.device.statusOnChange = Chance(rng_, 25);
    stack_ = std::make_unique<vcomtest::Stack>(opts);
    stack_->dev().SetLoopback(true);
    stack_->dev().SetPacing(pacing_);
    // The device's own unkindness for the seed, failures included: a transfer failed part-way
    // keeps what it moved, which the lossless profile checks to the byte. An unplug loses what
    // was in flight, so only the other profiles draw it.
    usbpipe::Knobs knobs = usbpipe::Knobs::Draw(o_.seed, true);
    if (lossless_) knobs.unplugAfterBytes = 0;
    stack_->dev().SetKnobs(knobs);
    for (int e = 0; e < o_.epochs && !removed_; ++e) {
        if (!Epoch(e, e == o_.epochs - 1)) break;
        // Between rounds the device may be stopped or powered down with the port closed.
        if (!lossless_ && !FollowUnplug() && Chance(rng_, 30)) {
            Fault();
            if (Chance(rng_, 50)) {
                if (OffClock([&] { return stack_->node().QueryStop(); }, "QueryStop") == STATUS_SUCCESS) {
                    if (OffClock([&] { return stack_->node().Stop(); }, "Stop") != STATUS_SUCCESS && !FollowUnplug())
                        Fail("stop of the closed port failed");
                    if (OffClock([&] { return stack_->node().Start(); }, "Start") != STATUS_SUCCESS && !FollowUnplug())
                        Fail("start of the closed port failed");
                } else if (!FollowUnplug()) {
                    Fail("query-stop of the closed port refused");
                }
            } else {
                if ((OffClock([&] { return stack_->node().SetDevicePower(PowerDeviceD3); }, "SetDevicePower") != STATUS_SUCCESS ||
                     OffClock([&] { return stack_->node().SetDevicePower(PowerDeviceD0); }, "SetDevicePower") != STATUS_SUCCESS) &&
                    !FollowUnplug())
                    Fail("D3/D0 of the closed port failed");
            }
        }
    }
    if (!FollowUnplug()) {
        // The quiet end checks a marker with the faults gone: the knobs' failures go too.
        knobs.partialFailOneIn = 0;
        knobs.unplugAfterBytes = 0;
        stack_->dev().SetKnobs(knobs);
        QuietEnd();
    }
    res_.partialFailures = stack_->dev().PartialFailures();
    Check();
    if (removed_) {
        OffClock([&] { return stack_->node().Remove(); }, "Remove");
    } else if (OffClock([&] { return stack_->Remove(); }, "Remove") != STATUS_SUCCESS) {
        Fail("removal failed");
    }
    stack_.reset();
    return res_;
}

}  // namespace

Result Run(const Options& options) {
    Workload w(options);
    return w.Go();
}

}  // namespace stress

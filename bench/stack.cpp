#include "stack.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "emu/sched.h"
#include "windows.h"

namespace bench {

namespace {

using Clock = std::chrono::steady_clock;

void Expect(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(what);
}

HANDLE Open() {
    HANDLE h = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    Expect(h != INVALID_HANDLE_VALUE, "COM7 did not open");
    return h;
}

bool Transfer1(HANDLE port, bool write, uint8_t* data, DWORD length, DWORD* done) {
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL started = write ? WriteFile(port, data, length, nullptr, &ov) : ReadFile(port, data, length, nullptr, &ov);
    bool ok = (started || GetLastError() == ERROR_IO_PENDING) && GetOverlappedResult(port, &ov, done, TRUE);
    CloseHandle(ov.hEvent);
    return ok;
}

std::unique_ptr<rig::Port> Plug(rig::Rig& rig, ULONG packet, bool txAsync, ULONG rxReqSize = 0) {
    usbpipe::Config config;
    config.packetSize[usbpipe::kTx] = config.packetSize[usbpipe::kRx] = packet;
    rig::PortValues values;
    values.dwords[u"TxAsync"] = txAsync ? 1 : 0;
    if (rxReqSize) values.dwords[u"RxReqSize"] = rxReqSize;
    auto port = rig.Plug(config, values);
    Expect(NT_SUCCESS(port->started), "the device did not start");
    return port;
}

}  // namespace

Transfer VcomLoopback(rig::Rig& rig, const LoopbackOptions& o) {
    auto port = Plug(rig, o.packet, o.txAsync, o.rxReqSize);
    port->device->SetLoopback(true);
    HANDLE com = Open();
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 1000, 0, 0};  // a read returns once bytes are there
    Expect(SetCommTimeouts(com, &t), "SetCommTimeouts failed");

    Transfer result;
    uint64_t writes = 0, reads = 0;
    const Usage before = Usage::Now();
    emu::Thread writer([&] {
        std::vector<uint8_t> buf(o.chunk);
        uint64_t sent = 0;
        while (sent < o.bytes) {
            DWORD n = static_cast<DWORD>(std::min<uint64_t>(o.chunk, o.bytes - sent));
            for (DWORD i = 0; i < n; i++) buf[i] = static_cast<uint8_t>(sent + i);
            DWORD done = 0;
            writes++;
            if (!Transfer1(com, true, buf.data(), n, &done)) break;
            sent += done;
        }
    });
    std::vector<uint8_t> buf(o.chunk);
    uint64_t got = 0;
    while (got < o.bytes) {
        DWORD n = 0;
        reads++;
        if (!Transfer1(com, false, buf.data(), static_cast<DWORD>(o.chunk), &n) || n == 0) break;
        for (DWORD i = 0; i < n; i++) {
            if (buf[i] != static_cast<uint8_t>(got + i)) result.errors++;
        }
        got += n;
    }
    writer.join();
    result.Measured(before, Usage::Now());
    result.requests = writes + reads;
    result.bytes = got;
    result.errors += o.bytes - std::min(got, o.bytes);
    CloseHandle(com);
    return result;
}

Latency ReadLatency(rig::Rig& rig, int samples, bool farThread) {
    auto port = Plug(rig, 64, false);
    HANDLE com = Open();
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 5000, 0, 0};  // wait for the first byte
    Expect(SetCommTimeouts(com, &t), "SetCommTimeouts failed");
    // The far end: sends one byte when asked, noting when it did.
    std::mutex mu;
    std::condition_variable cv;
    int asked = 0;
    bool stop = false;
    std::atomic<int64_t> sentAt{0};
    auto send = [&](int i) {
        sentAt = Clock::now().time_since_epoch().count();
        port->device->Inject({static_cast<uint8_t>(i)});
    };
    std::unique_ptr<emu::Thread> far;
    if (farThread) {
        far = std::make_unique<emu::Thread>([&] {
            int done = 0;
            std::unique_lock<std::mutex> g(mu);
            for (;;) {
                cv.wait(g, [&] { return stop || asked > done; });
                if (stop) return;
                g.unlock();
                send(done++);
                g.lock();
            }
        });
    }
    std::vector<double> us;
    for (int i = 0; i < samples; i++) {
        uint8_t b = 0;
        OVERLAPPED ov{};
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        ReadFile(com, &b, 1, nullptr, &ov);
        // Let the read reach the driver and pend before the byte arrives.
        std::this_thread::sleep_for(std::chrono::microseconds(300));
        if (farThread) {
            std::lock_guard<std::mutex> g(mu);
            asked++;
            cv.notify_one();
        } else {
            send(i);
        }
        DWORD n = 0;
        GetOverlappedResult(com, &ov, &n, TRUE);
        auto end = Clock::now().time_since_epoch().count();
        us.push_back(static_cast<double>(end - sentAt.load()) * Clock::period::num / Clock::period::den * 1e6);
        CloseHandle(ov.hEvent);
    }
    if (far) {
        {
            std::lock_guard<std::mutex> g(mu);
            stop = true;
            cv.notify_one();
        }
        far->join();
    }
    CloseHandle(com);
    std::sort(us.begin(), us.end());
    auto at = [&us](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(static_cast<double>(us.size()) * q))]; };
    Latency l;
    l.samples = samples;
    l.medianUs = at(0.5);
    l.p90Us = at(0.9);
    l.p99Us = at(0.99);
    l.maxUs = us.back();
    return l;
}

std::pair<double, double> Naming(rig::Rig& rig, int count) {
    std::vector<std::unique_ptr<rig::Port>> ports;
    ports.reserve(count);
    auto t0 = Clock::now();
    for (int i = 0; i < count; i++) {
        rig::PortValues values;
        values.portName = "COM" + std::to_string(i + 1);
        ports.push_back(rig.Plug({}, values, i + 1));
        Expect(NT_SUCCESS(ports.back()->started), "a port did not start");
    }
    auto t1 = Clock::now();
    for (auto& p : ports) p->Remove();
    auto t2 = Clock::now();
    ports.clear();
    return {std::chrono::duration<double>(t1 - t0).count(), std::chrono::duration<double>(t2 - t1).count()};
}

}  // namespace bench

// Sequences of device-control requests (code, input bytes, output length) against an open port
// on a device with a loopback plug, interleaved with reads, writes, cancels and passing time.
#include <atomic>
#include <cstring>

#include "emu/sched.h"
#include "harness.h"
#include "ntddser.h"

namespace {

// Every serial code, then codes the port must refuse: unused function numbers, another device
// type, the lower driver's private codes.
std::vector<ULONG> Codes() {
    std::vector<ULONG> c;
    for (ULONG n = 1; n <= 40; n++) c.push_back(SERIAL_IOCTL_(n));
    c.push_back(SERIAL_IOCTL_(0));
    c.push_back(SERIAL_IOCTL_(41));
    c.push_back(SERIAL_IOCTL_(0xfff));
    c.push_back(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS));
    c.push_back(usbpipe::IOCTL_PIPE_WRITE);
    c.push_back(usbpipe::IOCTL_DEVICE_COMMAND);
    c.push_back(0);
    return c;
}

const std::vector<ULONG> kCodes = Codes();
constexpr int kMaxOps = 64;
constexpr size_t kMaxOutstanding = 32;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vcomfuzz::Input in(data, size);
    vcomfuzz::Round round;

    usbpipe::Config cfg;
    uint8_t head = in.U8();
    cfg.variant = head & 3;
    // Half the devices report their status only when it changes (an interrupt pipe that answers
    // nothing meanwhile), half answer every poll, which comes every 100 ms here rather than the
    // usual 10: each poll is a timer firing and two hand-offs between threads, which made most
    // of what an input cost. status_fuzz is where the answers and the periods vary.
    cfg.statusOnChange = (head & 4) != 0;
    std::map<std::u16string, emu::pnp::HardwareValue> values;
    values[u"PortName"] = emu::pnp::HardwareValue::String(u"COM7");
    values[u"EndPointCaps"] = emu::pnp::HardwareValue::Dword((ULONG)cfg.variant);
    if (head & 8) values[u"TxAsync"] = emu::pnp::HardwareValue::Dword(1);
    if (!cfg.statusOnChange) values[u"CtlPollPeriod"] = emu::pnp::HardwareValue::Dword(100);

    std::vector<emu::io::Request> requests;
    {
        // A flush waits in its dispatch routine until the writes before it are done, so it runs
        // on a thread of its own while this one moves the clock.
        std::vector<emu::Thread> flushers;
        std::atomic<int> flushing{0};
        vcomfuzz::Stack stack(cfg, values);
        if (!stack.Added()) vcomfuzz::Fail("add device failed");
        if (stack.Start() != STATUS_SUCCESS) vcomfuzz::Fail("start failed");
        if (stack.Open() != STATUS_SUCCESS) vcomfuzz::Fail("open failed");
        stack.Dev().SetLoopback(true);
        emu::io::File& port = *stack.File();

        for (int op = 0; op < kMaxOps && !in.Empty(); op++) {
            // Completed requests are dropped so that the list stays short.
            std::erase_if(requests, [](const emu::io::Request& r) { return r.Done(); });
            uint8_t kind = in.U8();
            switch (kind % 10) {
            case 0: case 1: case 2: case 3: case 4: {
                ULONG code = kCodes[in.U8() % kCodes.size()];
                ULONG inLength = in.U8();
                if (inLength > 200) inLength = in.U16() % 1024;
                std::vector<uint8_t> input = in.Bytes(inLength);
                input.resize(inLength);  // the tail of the input runs out as zeros
                ULONG outLength = in.U8();
                if (outLength > 200) outLength = in.U16() % 1024;
                if (requests.size() < kMaxOutstanding)
                    requests.push_back(port.IoctlAsync(code, input.data(), inLength, outLength));
                break;
            }
            case 5: {
                ULONG length = in.U16() % 2048;
                std::vector<uint8_t> bytes(length);
                for (ULONG i = 0; i < length; i++) bytes[i] = (uint8_t)i;
                if (requests.size() < kMaxOutstanding) requests.push_back(port.WriteAsync(bytes.data(), length));
                break;
            }
            case 6: {
                ULONG length = in.U16() % 2048;
                if (requests.size() < kMaxOutstanding) requests.push_back(port.ReadAsync(length));
                break;
            }
            case 7:
                stack.Advance(in.U8() * 4u);
                break;
            case 8:
                if (!requests.empty()) requests[in.U8() % requests.size()].Cancel();
                break;
            case 9:
                if (kind & 0x10)
                    stack.Dev().Inject(in.Bytes(in.U8() % 64));
                else if (flushers.size() < 4)
                {
                    flushing++;
                    flushers.emplace_back([&port, &flushing] { port.Flush(); flushing--; }, "flush");
                }
                break;
            }
        }
        stack.Advance(in.U8());
        stack.Settle(requests);
        // A flush whose writes cannot drain (flow control, XOFF) gives up after 30 s: thousands
        // of timer firings, more than all the rest of the input. One input in four waits that
        // out; the others, as an application giving up on the port, purge the transmit side.
        auto flushed = [&] { return flushing == 0; };
        if (!emu::AdvanceTimeUntil(flushed, 1000LL * 10000) && (head & 0x30) != 0x30) {
            ULONG purge = SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR;
            port.Ioctl(IOCTL_SERIAL_PURGE, &purge, sizeof purge, 0);
        }
        emu::AdvanceTimeUntil(flushed, 60LL * 10000000);
        if (flushing != 0) vcomfuzz::Fail("a flush did not return within a minute:\n" + emu::DumpState());
        for (auto& t : flushers) t.join();
        stack.Close(requests);
    }
    return 0;
}

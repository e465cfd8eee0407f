// What the device returns: status-pipe bytes, received data in chunks of any size, failed and
// delayed transfers, on devices of any packet size, against reads and event waits of any size.
#include "harness.h"
#include "ntddser.h"

namespace {

const NTSTATUS kFailures[] = {STATUS_UNSUCCESSFUL, STATUS_CANCELLED, STATUS_DEVICE_NOT_CONNECTED,
                              STATUS_INVALID_PARAMETER, STATUS_IO_TIMEOUT};
const ULONG kPacketSizes[] = {8, 16, 64, 512, 1, 3, 1024};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vcomfuzz::Input in(data, size);
    vcomfuzz::Round round;

    usbpipe::Config cfg;
    uint8_t head = in.U8();
    cfg.variant = head & 3;
    cfg.statusOnChange = (head & 4) != 0;
    uint8_t sizes = in.U8();
    cfg.packetSize[usbpipe::kRx] = kPacketSizes[sizes % std::size(kPacketSizes)];
    cfg.packetSize[usbpipe::kTx] = cfg.packetSize[usbpipe::kRx];
    cfg.packetSize[usbpipe::kStatus] = 1u + (sizes >> 4);

    std::map<std::u16string, emu::pnp::HardwareValue> values;
    values[u"PortName"] = emu::pnp::HardwareValue::String(u"COM7");
    values[u"EndPointCaps"] = emu::pnp::HardwareValue::Dword((ULONG)cfg.variant);
    if (head & 0x10) values[u"RxReqSize"] = emu::pnp::HardwareValue::Dword(in.U16());
    if (head & 0x20) values[u"RxPollPeriod"] = emu::pnp::HardwareValue::Dword(in.U8());
    // A period of 0 polls back to back; only a device that answers on change paces that. A
    // device that answers every poll is polled every 5 ms at most: each poll is a timer firing
    // and two hand-offs between threads, and periods of 1 to 4 ms take the driver's paths of 5
    // ms at up to five times the cost.
    if (head & 0x40) {
        ULONG period = in.U8();
        if (period < 5 && !cfg.statusOnChange) period = 5;
        values[u"CtlPollPeriod"] = emu::pnp::HardwareValue::Dword(period);
    }

    std::vector<emu::io::Request> requests;
    {
        vcomfuzz::Stack stack(cfg, values);
        if (!stack.Added()) vcomfuzz::Fail("add device failed");
        if (stack.Start() != STATUS_SUCCESS) vcomfuzz::Fail("start failed");
        if (!NT_SUCCESS(stack.Open())) return 0;  // a failed open must still leave nothing behind
        emu::io::File& port = *stack.File();
        usbpipe::Device& dev = stack.Dev();
        if (head & 0x80) {
            ULONG mask = in.U16() & 0x1fff;
            port.Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0);
        }

        ULONG longestDelay = 0;  // ms
        for (int op = 0; op < 64 && !in.Empty(); op++) {
            std::erase_if(requests, [](const emu::io::Request& r) { return r.Done(); });
            uint8_t kind = in.U8();
            switch (kind % 9) {
            case 0:
                dev.SetStatusByte(in.U8());
                break;
            case 1: {
                size_t length = in.U8();
                if (length > 200) length = in.U16() % 4096;
                std::vector<uint8_t> bytes = in.Bytes(length);
                bytes.resize(length, 0x11);  // XON past the end of the input
                dev.Inject(bytes);
                break;
            }
            case 2:
                if (requests.size() < 16) requests.push_back(port.ReadAsync(in.U16() % 4096));
                break;
            case 3:
                if (requests.size() < 16) requests.push_back(port.IoctlAsync(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, 4));
                break;
            case 4: {
                static const ULONG codes[] = {IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_COMMSTATUS,
                                              IOCTL_SERIAL_GET_STATS, IOCTL_SERIAL_GET_DTRRTS};
                ULONG code = codes[in.U8() % std::size(codes)];
                requests.push_back(port.IoctlAsync(code, nullptr, 0, 64));
                break;
            }
            case 5: {
                uint8_t f = in.U8();
                usbpipe::Pipe pipe = (f & 1) ? usbpipe::kStatus : usbpipe::kRx;
                dev.FailTransfers(pipe, 1 + ((f >> 1) & 7), kFailures[(f >> 4) % std::size(kFailures)]);
                break;
            }
            case 6: {
                ULONG ms = in.U8();
                if (ms > longestDelay) longestDelay = ms;
                dev.SetCompletionDelay((LONGLONG)ms * 10000);
                break;
            }
            case 7:
                stack.Advance(in.U8());
                break;
            case 8: {
                ULONG mask = in.U16() & 0x1fff;
                requests.push_back(port.IoctlAsync(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, 0));
                break;
            }
            }
        }
        stack.Advance(in.U8());
        // Transfers already delayed complete on the clock; the close would otherwise wait for
        // them with nobody moving time. Only as far as the longest delay: every period of
        // virtual time costs the poll timers' firings.
        dev.SetCompletionDelay(0);
        if (longestDelay != 0) stack.Advance(longestDelay);
        stack.Close(requests);
    }
    return 0;
}

// The hardware key's values (names, types, lengths, contents) through add device, start, open,
// a write and a read, close and removal. Refusing a value is fine; faults and leaks are not.
#include <cstring>

#include "harness.h"

namespace {

const char16_t* const kNames[] = {
    u"PortName", u"EndPointCaps", u"RxReqSize", u"RxPollPeriod", u"CtlPollPeriod",
    u"TxKickThreshold", u"TxAsync", u"NoBaudCheck", u"TxAllowNullPacket",
};
const ULONG kTypes[] = {REG_SZ, REG_DWORD, REG_BINARY, REG_EXPAND_SZ, REG_MULTI_SZ, REG_NONE, 11 /* REG_QWORD */};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vcomfuzz::Input in(data, size);
    vcomfuzz::Round round;

    usbpipe::Config cfg;
    uint8_t head = in.U8();
    cfg.variant = head & 3;
    // "CtlPollPeriod" 0 polls back to back, which only a device answering on change paces.
    cfg.statusOnChange = true;
    std::map<std::u16string, emu::pnp::HardwareValue> values;
    // The usual name unless the input replaces it.
    if (head & 4) values[u"PortName"] = emu::pnp::HardwareValue::String(u"COM7");
    int count = in.U8() % 12;
    for (int i = 0; i < count && !in.Empty(); i++) {
        uint8_t pick = in.U8();
        std::u16string name = kNames[pick % std::size(kNames)];
        uint8_t t = in.U8();
        ULONG type = (t & 0x80) ? t : kTypes[t % std::size(kTypes)];
        size_t length = in.U8();
        if (length > 240) length = in.U16() % 1024;
        emu::pnp::HardwareValue v{type, in.Bytes(length)};
        values[name] = v;
    }
    // A receive request above 64 KiB is read as one above 2 GiB, which the pool refuses and the
    // open must survive: the driver takes the same paths for 1 GiB as for 64 KiB, but mapping and
    // filling a buffer that large costs many times the rest of the input.
    if (auto it = values.find(u"RxReqSize"); it != values.end() && it->second.data.size() >= sizeof(ULONG)) {
        ULONG request;
        std::memcpy(&request, it->second.data.data(), sizeof request);
        if (request > (64u << 10)) request |= 0x80000000u;
        std::memcpy(it->second.data.data(), &request, sizeof request);
    }

    {
        vcomfuzz::Stack stack(cfg, values);
        if (stack.Added() && NT_SUCCESS(stack.Start()) && NT_SUCCESS(stack.Open())) {
            stack.Dev().SetLoopback(true);
            emu::io::File& port = *stack.File();
            std::vector<emu::io::Request> requests;
            uint8_t bytes[300];
            for (size_t i = 0; i < sizeof bytes; i++) bytes[i] = (uint8_t)i;
            requests.push_back(port.WriteAsync(bytes, sizeof bytes));
            requests.push_back(port.ReadAsync(200));
            stack.Advance(50);
            stack.Close(requests);
        }
    }
    return 0;
}

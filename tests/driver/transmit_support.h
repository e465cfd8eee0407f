// An opened port for the transmit tests, with the observations they share.
#pragma once

#include <vector>

#include "stack.h"

namespace vcomtest {

inline StackOptions TxOptions(bool async, ULONG allowNullPacket = 1, ULONG kickThreshold = 0) {
    StackOptions o;
    if (async) o.values[u"TxAsync"] = emu::pnp::HardwareValue::Dword(1);
    o.values[u"TxAllowNullPacket"] = emu::pnp::HardwareValue::Dword(allowNullPacket);
    if (kickThreshold) o.values[u"TxKickThreshold"] = emu::pnp::HardwareValue::Dword(kickThreshold);
    return o;
}

// The sizes of the transfers the device took, zero-length ones included.
inline std::vector<size_t> TransferSizes(usbpipe::Device& dev) {
    std::vector<size_t> sizes;
    for (auto& t : dev.TransferLog()) sizes.push_back(t.bytes.size());
    return sizes;
}

// With the transmit pipe stalled: lets the oldest transfer through and settles.
inline void SendOne(usbpipe::Device& dev) {
    dev.SendStalled(1);
    emu::RunUntilIdle();
}

struct TxPort {
    Stack stack;
    emu::io::File* file;
    explicit TxPort(StackOptions o = TxOptions(false)) : stack(std::move(o)) {
        file = &stack.OpenOk();
        stack.dev().ClearTx();
    }
    PortExtension* p() { return stack.Ext(); }
    usbpipe::Device& dev() { return stack.dev(); }
    ULONG OutQueue() { return ReadULongNoFence(&p()->CommStatus.AmountInOutQueue); }
    bool TxIdle() { return KeReadStateEvent(&p()->TxIdleEvent) != 0; }
    ULONG TakeEvents() { return History(p(), true); }
    // What the platform does with a run of the write timer's DPC queued before the timer was
    // cancelled: it runs anyway, later.
    void RunLateWriteTimer() {
        KeInsertQueueDpc(&p()->WriteTotalDpc, nullptr, nullptr);
        emu::RunUntilIdle();
    }
};

}  // namespace vcomtest

#include "rig.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>

#include "emu/debug.h"
#include "emu/iomgr.h"
#include "emu/sched.h"
#include "emu/verifier.h"
#include "port.h"

namespace rig {

namespace {

std::atomic<int> gFaults{0};

void OnFault(const emu::verifier::Report& r) {
    gFaults++;
    std::fprintf(stderr, "verifier: %s: %s\n", emu::verifier::FaultName(r.fault), r.message.c_str());
}

}  // namespace

NTSTATUS Port::Remove() {
    if (!node || node->Removed()) return STATUS_SUCCESS;
    return node->Remove();
}

Port::~Port() {
    Remove();
    node.reset();
}

Rig::Rig(bool virtualClock) {
    emu::verifier::SetFailHandler(OnFault);
    emu::SetClockMode(virtualClock ? emu::ClockMode::Virtual : emu::ClockMode::RealTime);
    lower_ = emu::pnp::LoadDriver("UsbPipe", UsbPipeDriverEntry);
    vcom_ = emu::pnp::LoadDriver("vcom", DriverEntry);
    if (!lower_ || !vcom_) throw std::runtime_error("the drivers did not load");
}

Rig::~Rig() {
    emu::pnp::UnloadDriver(vcom_);
    emu::pnp::UnloadDriver(lower_);
}

std::unique_ptr<Port> Rig::Plug(const usbpipe::Config& config, const PortValues& values, int instance) {
    auto port = std::make_unique<Port>();
    port->device = usbpipe::Device::Create(config);
    std::map<std::u16string, emu::pnp::HardwareValue> key;
    key[u"PortName"] = emu::pnp::HardwareValue::String(emu::io::ToU16(values.portName));
    for (const auto& [name, value] : values.dwords) key[name] = emu::pnp::HardwareValue::Dword(value);
    port->node = emu::pnp::DeviceNode::Create("USB\\VID_1234&PID_5678\\" + std::to_string(instance), key,
                                              {lower_, vcom_}, &port->added);
    if (NT_SUCCESS(port->added)) port->started = port->node->Start();
    return port;
}

int Rig::Faults() const { return gFaults.load(); }

void Rig::Trace(ULONG levelMask, std::function<void(const std::string&)> sink) {
    VcomTraceMask = levelMask;
    if (!sink) {
        emu::debug::SetSink({});
        return;
    }
    emu::debug::SetSink([sink](ULONG, ULONG, std::string_view text) { sink(std::string(text)); });
}

std::string StatusText(NTSTATUS s) {
    switch (s) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_ACCESS_DENIED: return "STATUS_ACCESS_DENIED";
    case STATUS_TIMEOUT: return "STATUS_TIMEOUT";
    case STATUS_CANCELLED: return "STATUS_CANCELLED";
    case STATUS_DELETE_PENDING: return "STATUS_DELETE_PENDING";
    case STATUS_INVALID_PARAMETER: return "STATUS_INVALID_PARAMETER";
    default: break;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(s));
    return buf;
}

}  // namespace rig

// The whole emulated stack for the tool and the benchmarks: both drivers loaded on the emulated
// kernel, simulated devices plugged in with the registry values a port is configured by.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "emu/pnp.h"
#include "usbpipe/usbpipe.h"

namespace rig {

// The hardware key of a device: every tunable of the port, absent unless set.
struct PortValues {
    std::string portName = "COM7";
    std::map<std::u16string, ULONG> dwords;  // "RxReqSize", "TxAsync", "EndPointCaps", ...
};

struct Port {
    std::shared_ptr<usbpipe::Device> device;
    std::unique_ptr<emu::pnp::DeviceNode> node;
    NTSTATUS added = STATUS_UNSUCCESSFUL;
    NTSTATUS started = STATUS_UNSUCCESSFUL;
    NTSTATUS Remove();  // removes the device if it is still there
    ~Port();
};

class Rig {
public:
    // Loads UsbPipe and vcom; the clock is real time unless `virtualClock`.
    explicit Rig(bool virtualClock = false);
    ~Rig();  // unloads both drivers (after every port was removed)
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    std::unique_ptr<Port> Plug(const usbpipe::Config& config, const PortValues& values, int instance = 1);
    int Faults() const;  // verifier faults so far

    // Driver trace messages of the given level mask go to `sink` (0: none).
    static void Trace(ULONG levelMask, std::function<void(const std::string&)> sink);

private:
    PDRIVER_OBJECT lower_ = nullptr;
    PDRIVER_OBJECT vcom_ = nullptr;
};

std::string StatusText(NTSTATUS status);

}  // namespace rig

// A real stack for driver tests: the simulated UsbPipeDriver and its device model below the vcom
// driver, built by the emulated PnP manager, and the port opened as an application opens it.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "emu/sched.h"
#include "port.h"
#include "usbpipe/usbpipe.h"

namespace vcomtest {

struct StackOptions {
    usbpipe::Config device{};                                  // pipes, packet sizes, variant
    std::map<std::u16string, emu::pnp::HardwareValue> values{};  // hardware key; PortName COM7 added
    bool start = true;
};

// Options for a device of the given variant, "EndPointCaps" set to match.
StackOptions Variant(int variant);

// `o` with the hardware key's DWORD `name` set to `value`.
inline StackOptions WithValue(StackOptions o, const std::u16string& name, ULONG value) {
    o.values[name] = emu::pnp::HardwareValue::Dword(value);
    return o;
}

class Stack {
public:
    explicit Stack(StackOptions options = {});
    ~Stack();  // closes what is open, removes the device and unloads both drivers

    usbpipe::Device& dev() { return *device_; }
    emu::pnp::DeviceNode& node() { return *node_; }
    PDEVICE_OBJECT Port() const { return port_; }
    PortExtension* Ext() const { return GetPortExtension(port_); }
    NTSTATUS AddStatus() const { return added_; }

    // Opens \DosDevices\COM7 as an application does.
    NTSTATUS Open(std::unique_ptr<emu::io::File>* file);
    // Opens and expects success; the file is kept by the stack.
    emu::io::File& OpenOk();
    NTSTATUS Close();  // closes the file OpenOk kept

    // Removes the device now (the destructor then only unloads).
    NTSTATUS Remove();

    // The device commands sent so far, as bytes, and forgets them.
    std::vector<std::vector<uint8_t>> TakeCommands();

private:
    std::shared_ptr<usbpipe::Device> device_;
    PDRIVER_OBJECT lower_ = nullptr;
    PDRIVER_OBJECT vcom_ = nullptr;
    std::unique_ptr<emu::pnp::DeviceNode> node_;
    PDEVICE_OBJECT port_ = nullptr;
    NTSTATUS added_ = STATUS_SUCCESS;
    std::unique_ptr<emu::io::File> file_;
};

using Bytes = std::vector<uint8_t>;

// n bytes counting from `start` by `step`: a stream in which a lost, doubled or misplaced byte shows.
inline Bytes Pattern(size_t n, uint8_t start = 0, uint8_t step = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(start + i * step);
    return b;
}

// Moves the virtual clock `ms` on, checking that `r` is still pending a millisecond before; returns
// whether it has completed by then.
inline bool DoneAfter(const emu::io::Request& r, LONGLONG ms) {
    emu::AdvanceTime(ms - 1);
    EXPECT_FALSE(r.Done()) << "completed before " << ms << " ms";
    emu::AdvanceTime(1);
    return r.Done();
}

// The port's event history, read (and cleared) as the wait path does, under its lock.
inline ULONG History(PortExtension* p, bool clear = false) {
    KIRQL irql;
    KeAcquireSpinLock(&p->WaitLock, &irql);
    ULONG h = p->EventHistory;
    if (clear) p->EventHistory = 0;
    KeReleaseSpinLock(&p->WaitLock, irql);
    return h;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

}  // namespace vcomtest

// Test bed for the driver: loads it on driver objects of the test's own, gives each port a
// pass-through lower driver with a hardware key, and sends Plug and Play and I/O requests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/iomgr.h"
#include "emu/pool.h"
#include "emu/registry.h"
#include "emu/sched.h"
#include "port.h"

namespace vcomtest {

std::u16string Text(const UNICODE_STRING& s);
std::u16string Utf16(const std::vector<uint8_t>& bytes);

// What the lower driver saw of one request.
struct Seen {
    UCHAR major;
    UCHAR minor;
    NTSTATUS status;  // the request's status when it arrived
};

// The lower driver: completes every request with `answer`, at once or from a worker.
struct Lower {
    NTSTATUS answer = STATUS_SUCCESS;
    bool pend = false;
    std::vector<Seen> seen;
    // Runs as each request arrives, after its status is set to `answer`; may change the status
    // and Information it completes with.
    std::function<void(PIRP)> onRequest;
};

class PortBed {
public:
    explicit PortBed(bool load = true);
    ~PortBed();

    NTSTATUS Load();
    void Unload();
    PVOID Driver() const { return (PVOID)&vcom_->object; }
    PDRIVER_OBJECT DriverObject() { return &vcom_->object; }
    const UNICODE_STRING& RegistryPath() const { return registryPath_; }

    // Values for the hardware key of the next device that Add creates.
    void SetDword(const std::u16string& name, ULONG value);
    void SetString(const std::u16string& name, const std::u16string& value);
    void SetBinary(const std::u16string& name, std::vector<uint8_t> data);
    void FailHardwareKeyOpen(bool fail) { failKey_ = fail; }
    void SetLowerFlags(ULONG flags) { lowerFlags_ = flags; }  // of the next lower device

    // A new lower device and AddDevice on it. Ext(i) and Port(i) are the i-th device added.
    NTSTATUS Add();
    PortExtension* Ext(size_t i = SIZE_MAX);
    PDEVICE_OBJECT Port(size_t i = SIZE_MAX);
    Lower& lower(size_t i = SIZE_MAX);

    // A Plug and Play request to the port; returns what the dispatch routine returned, after
    // checking that the request completed with that status.
    NTSTATUS Pnp(UCHAR minor, NTSTATUS initial = STATUS_NOT_SUPPORTED) { return PnpTo(SIZE_MAX, minor, initial); }
    NTSTATUS PnpTo(size_t i, UCHAR minor, NTSTATUS initial = STATUS_NOT_SUPPORTED);
    NTSTATUS Send(UCHAR major, size_t i = SIZE_MAX);

    size_t DeviceCount() const;       // the driver's device objects
    bool LowerHasAttachment(size_t i = SIZE_MAX);
    bool InterfaceEnabled(size_t i);
    size_t EnabledInterfaceCount() const;
    std::optional<std::u16string> LinkTarget(const std::u16string& link) const;
    size_t LinkCount() const;
    std::optional<emu::registry::Value> DeviceMap(const std::u16string& name) const;
    void OccupyDeviceNames(ULONG first, ULONG count);
    void ReleaseDeviceName(ULONG number);
    void OccupyLink(const std::u16string& link);  // a link of someone else's
    void SetDeviceMapValue(const std::u16string& name, const std::u16string& value);

private:
    struct DriverBlock {
        DRIVER_OBJECT object{};
        DRIVER_EXTENSION extension{};
    };
    struct Node {
        PDEVICE_OBJECT pdo = nullptr;
        PDEVICE_OBJECT port = nullptr;
        std::string keyPath;
        std::unique_ptr<Lower> lower;
        bool removed = false;
    };
    std::unique_ptr<DriverBlock> vcom_;
    std::unique_ptr<DriverBlock> lowerDriver_;
    UNICODE_STRING registryPath_{};
    bool loaded_ = false;
    bool failKey_ = false;
    ULONG lowerFlags_ = 0;
    std::vector<std::pair<std::u16string, emu::registry::Value>> pending_;
    std::vector<Node> nodes_;
    std::vector<PDEVICE_OBJECT> occupants_;
    std::vector<std::u16string> occupiedLinks_;
    size_t Index(size_t i) const { return i == SIZE_MAX ? nodes_.size() - 1 : i; }
};

}  // namespace vcomtest

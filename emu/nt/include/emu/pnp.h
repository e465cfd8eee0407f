// The emulated Plug and Play and power manager: loads drivers, builds device stacks on an
// emulated bus and sends PnP and power requests as Windows does.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../nt/types.h"

namespace emu::pnp {

// Builds the driver object and calls DriverEntry with the registry path of the service <name>
// (under CurrentControlSet\Services). Returns null (and the status) when DriverEntry fails.
PDRIVER_OBJECT LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status = nullptr);
// Calls DriverUnload; the verifier reports devices the driver left and its pool per tag.
void UnloadDriver(PDRIVER_OBJECT driver);

struct HardwareValue {
    ULONG type;
    std::vector<uint8_t> data;
    static HardwareValue Dword(ULONG v);
    static HardwareValue String(const std::u16string& s);  // REG_SZ with its NUL
};

class DeviceNode {
public:
    // Creates the bus PDO with its hardware key and calls AddDevice of each driver, bottom up.
    // `addStatus` gets the first failing AddDevice status (the node then has the devices added
    // before it). DO_DEVICE_INITIALIZING left set by an AddDevice is a verifier fault.
    // `pdoPowerFlags`: DO_POWER_PAGABLE and/or DO_POWER_INRUSH of the bus PDO. Power requests go
    // to a top device without DO_POWER_PAGABLE at DISPATCH_LEVEL.
    static std::unique_ptr<DeviceNode> Create(const std::string& instanceId,
                                              const std::map<std::u16string, HardwareValue>& hardwareKey,
                                              const std::vector<PDRIVER_OBJECT>& driversBottomUp,
                                              NTSTATUS* addStatus = nullptr, ULONG pdoPowerFlags = DO_POWER_PAGABLE);
    ~DeviceNode();  // removes the device if it is still there, then deletes the PDO

    PDEVICE_OBJECT Pdo() const;
    PDEVICE_OBJECT Top() const;  // the device the PnP manager sends to
    std::string HardwareKeyPath() const;
    void SetHardwareKeyUnreadable(bool unreadable);

    // A PnP request to the top of the stack; Status starts as STATUS_NOT_SUPPORTED.
    NTSTATUS Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup = {},
                  ULONG_PTR* information = nullptr);
    NTSTATUS Start();
    NTSTATUS QueryStop();
    NTSTATUS Stop();
    NTSTATUS CancelStop();
    NTSTATUS QueryRemove();
    NTSTATUS CancelRemove();
    NTSTATUS SurpriseRemoval();
    // IRP_MN_REMOVE_DEVICE; afterwards the stack's devices other than the PDO must be gone.
    NTSTATUS Remove();
    bool Removed() const;
    NTSTATUS QueryCapabilities(DEVICE_CAPABILITIES* caps);

    // Power requests (IRP_MJ_POWER) to the top of the stack.
    NTSTATUS SendPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
    NTSTATUS SetDevicePower(DEVICE_POWER_STATE state);
    NTSTATUS QueryDevicePower(DEVICE_POWER_STATE state);
    NTSTATUS SetSystemPower(SYSTEM_POWER_STATE state);

    // What the bus driver answers for a PnP minor or a power request (default STATUS_SUCCESS for
    // the state-changing minors and power, the status it was given for the others).
    void SetBusAnswer(UCHAR minor, NTSTATUS status);
    void SetBusPowerAnswer(NTSTATUS status);
    // Requests the bus PDO received, as (major, minor), in order.
    std::vector<std::pair<UCHAR, UCHAR>> BusLog() const;

    struct Impl;

private:
    explicit DeviceNode(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The device nodes that exist, oldest first, as the configuration manager shows them to applications.
struct NodeInfo {
    std::string instanceId;
    PDEVICE_OBJECT pdo;
    std::vector<PDRIVER_OBJECT> drivers;  // of the devices above the PDO, bottom up
    bool removed;
};
std::vector<NodeInfo> ListNodes();

}  // namespace emu::pnp

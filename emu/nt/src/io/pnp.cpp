// The emulated Plug and Play and power manager and its bus driver.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "emu/pool.h"
#include "emu/registry.h"
#include "emu/sched.h"
#include "emu/verifier.h"
#include "nt/io.h"
#include "nt/ke.h"
#include "nt/rtl.h"
#include "irp_internal.h"

using emu::verifier::Fault;
using emu::verifier::Raise;

namespace emu::pnp {

struct DeviceNode::Impl {
    std::string instanceId;
    PDEVICE_OBJECT pdo = nullptr;
    bool removed = false;
    bool removing = false;  // IRP_MN_REMOVE_DEVICE sent: the power manager admits no more requests
    mutable std::mutex m;
    std::map<UCHAR, NTSTATUS> answers;
    NTSTATUS powerAnswer = STATUS_SUCCESS;
    std::vector<std::pair<UCHAR, UCHAR>> log;
    std::vector<PDEVICE_OBJECT> stack;  // devices added above the PDO, bottom up
    bool pagingReported = false;
};

namespace {

struct DriverRecord {
    std::u16string registryPath;
    UNICODE_STRING path;
    DRIVER_EXTENSION extension;
};

struct BusPdoExtension {
    DeviceNode::Impl* node;
};

std::mutex gBusLock;
std::mutex gNodesLock;
std::vector<DeviceNode::Impl*> gNodes;
PDRIVER_OBJECT gBus = nullptr;

NTSTATUS BusDispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* node = static_cast<BusPdoExtension*>(device->DeviceExtension)->node;
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    {
        std::lock_guard<std::mutex> g(node->m);
        node->log.emplace_back(sp->MajorFunction, sp->MinorFunction);
    }
    if (sp->MajorFunction == IRP_MJ_PNP) {
        emu::sched::AtomicSection atomic;  // no switch while node->m is held
        std::lock_guard<std::mutex> g(node->m);
        auto a = node->answers.find(sp->MinorFunction);
        switch (sp->MinorFunction) {
            case IRP_MN_START_DEVICE: case IRP_MN_QUERY_STOP_DEVICE: case IRP_MN_STOP_DEVICE:
            case IRP_MN_CANCEL_STOP_DEVICE: case IRP_MN_QUERY_REMOVE_DEVICE: case IRP_MN_CANCEL_REMOVE_DEVICE:
            case IRP_MN_SURPRISE_REMOVAL: case IRP_MN_REMOVE_DEVICE:
                status = STATUS_SUCCESS;
                break;
            case IRP_MN_QUERY_CAPABILITIES: {
                PDEVICE_CAPABILITIES caps = sp->Parameters.DeviceCapabilities.Capabilities;
                caps->Removable = 1;
                caps->SurpriseRemovalOK = 1;
                caps->UniqueID = 1;
                caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
                for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps->DeviceState[s] = PowerDeviceD3;
                caps->DeviceWake = PowerDeviceUnspecified;
                status = STATUS_SUCCESS;
                break;
            }
            case IRP_MN_QUERY_ID: {
                std::u16string id = sp->Parameters.QueryId.IdType == BusQueryInstanceID ? u"0" : u"EMU\\VCOM";
                if (sp->Parameters.QueryId.IdType == BusQueryHardwareIDs || sp->Parameters.QueryId.IdType == BusQueryCompatibleIDs)
                    id += u'\0';
                auto* buffer = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (id.size() + 1) * 2, 'DIuB'));
                for (size_t i = 0; i < id.size(); ++i) buffer[i] = static_cast<WCHAR>(id[i]);
                buffer[id.size()] = 0;
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(buffer);
                status = STATUS_SUCCESS;
                break;
            }
            default:
                break;  // the status it was given
        }
        if (a != node->answers.end()) status = a->second;
    } else if (sp->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        std::lock_guard<std::mutex> g(node->m);
        status = node->powerAnswer;
    } else {
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& f : driver->MajorFunction) f = BusDispatch;
    return STATUS_SUCCESS;
}

PDRIVER_OBJECT Bus() {
    std::lock_guard<std::mutex> g(gBusLock);
    if (!gBus) gBus = LoadDriver("emubus", BusEntry);
    return gBus;
}

NTSTATUS SignalBack(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request the way the PnP manager does: an IRP of the top device's stack size, the
// completion handing it back, waited for at PASSIVE_LEVEL.
// A power request to a stack that is not pageable is sent at DISPATCH_LEVEL, as the power
// manager may send it; the wait for its completion is the manager's, at PASSIVE_LEVEL.
NTSTATUS SendIrp(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup,
                 ULONG_PTR* information, bool atDispatch = false) {
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    // Admitted before any removal began: it may still reach the driver after the removal, which
    // its remove lock must refuse.
    if (major == IRP_MJ_POWER) emu::io::detail::BoxOf(irp)->admittedBeforeRemoval = true;
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    if (setup) setup(sp);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalBack, &event, TRUE, TRUE, TRUE);
    KIRQL irql = PASSIVE_LEVEL;
    if (atDispatch) KeRaiseIrql(DISPATCH_LEVEL, &irql);
    NTSTATUS status = IofCallDriver(top, irp);
    if (atDispatch) KeLowerIrql(irql);
    if (status == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
    if (information) *information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return status;
}

}  // namespace

HardwareValue HardwareValue::Dword(ULONG v) {
    HardwareValue h{REG_DWORD, std::vector<uint8_t>(4)};
    memcpy(h.data.data(), &v, 4);
    return h;
}

HardwareValue HardwareValue::String(const std::u16string& s) {
    HardwareValue h{REG_SZ, std::vector<uint8_t>((s.size() + 1) * 2, 0)};
    memcpy(h.data.data(), s.data(), s.size() * 2);
    return h;
}

PDRIVER_OBJECT LoadDriver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    auto* driver = static_cast<PDRIVER_OBJECT>(std::calloc(1, sizeof(DRIVER_OBJECT)));
    auto* record = new DriverRecord;
    driver->Type = IO_TYPE_DRIVER;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = &record->extension;
    driver->DriverSection = record;
    record->extension.DriverObject = driver;
    record->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + io::ToU16(name);
    record->path.Buffer = reinterpret_cast<PWSTR>(record->registryPath.data());
    record->path.Length = static_cast<USHORT>(record->registryPath.size() * 2);
    record->path.MaximumLength = record->path.Length;
    record->extension.ServiceKeyName = record->path;
    registry::CreateKey(io::ToUtf8(record->registryPath));
    NTSTATUS s;
    {
        DriverScope scope(driver);
        s = entry(driver, &record->path);
    }
    if (status) *status = s;
    if (!NT_SUCCESS(s)) {
        pool::CheckNoLeaks(driver, "failed driver entry");
        delete record;
        std::free(driver);
        return nullptr;
    }
    return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject != nullptr)
        Raise(Fault::ObjectMisuse, "driver unloaded with device objects still present");
    if (driver->DriverUnload) {
        DriverScope scope(driver);
        driver->DriverUnload(driver);
    }
    pool::CheckNoLeaks(driver, "driver unload");
    delete static_cast<DriverRecord*>(driver->DriverSection);
    emu::sched::ForgetDriver(driver);  // the next driver object may reuse the address
    std::free(driver);
}

DeviceNode::DeviceNode(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<DeviceNode> DeviceNode::Create(const std::string& instanceId,
                                               const std::map<std::u16string, HardwareValue>& hardwareKey,
                                               const std::vector<PDRIVER_OBJECT>& driversBottomUp, NTSTATUS* addStatus,
                                               ULONG pdoPowerFlags) {
    auto impl = std::make_unique<Impl>();
    impl->instanceId = instanceId;
    PDRIVER_OBJECT bus = Bus();
    NTSTATUS s = IoCreateDevice(bus, sizeof(BusPdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &impl->pdo);
    if (!NT_SUCCESS(s)) {
        if (addStatus) *addStatus = s;
        return nullptr;
    }
    static_cast<BusPdoExtension*>(impl->pdo->DeviceExtension)->node = impl.get();
    impl->pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | (pdoPowerFlags & (DO_POWER_PAGABLE | DO_POWER_INRUSH));
    impl->pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    io::SetInstancePath(impl->pdo, io::ToU16(instanceId));
    auto node = std::unique_ptr<DeviceNode>(new DeviceNode(std::move(impl)));
    std::string key = node->HardwareKeyPath();
    registry::CreateKey(key);
    for (auto& [name, value] : hardwareKey) registry::SetValue(key, name, value.type, value.data);
    if (addStatus) *addStatus = STATUS_SUCCESS;
    for (PDRIVER_OBJECT driver : driversBottomUp) {
        PDEVICE_OBJECT before = node->Top();
        NTSTATUS a;
        {
            DriverScope scope(driver);
            a = driver->DriverExtension->AddDevice(driver, node->impl_->pdo);
        }
        if (!NT_SUCCESS(a)) {
            if (addStatus) *addStatus = a;
            break;
        }
        PDEVICE_OBJECT top = node->Top();
        if (top != before) {
            node->impl_->stack.push_back(top);
            if (top->Flags & DO_DEVICE_INITIALIZING)
                Raise(Fault::ObjectMisuse, "AddDevice returned with DO_DEVICE_INITIALIZING still set");
        }
    }
    std::lock_guard<std::mutex> g(gNodesLock);
    gNodes.push_back(node->impl_.get());
    return node;
}

std::vector<NodeInfo> ListNodes() {
    std::lock_guard<std::mutex> g(gNodesLock);
    std::vector<NodeInfo> out;
    for (DeviceNode::Impl* n : gNodes) {
        NodeInfo info{n->instanceId, n->pdo, {}, n->removed};
        for (PDEVICE_OBJECT d : n->stack) info.drivers.push_back(d->DriverObject);
        out.push_back(std::move(info));
    }
    return out;
}

DeviceNode::~DeviceNode() {
    {
        std::lock_guard<std::mutex> g(gNodesLock);
        std::erase(gNodes, impl_.get());
    }
    if (!impl_->removed && !impl_->stack.empty()) Remove();
    emu::registry::DeleteKey("\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + impl_->instanceId);
    IoDeleteDevice(impl_->pdo);
}

PDEVICE_OBJECT DeviceNode::Pdo() const { return impl_->pdo; }

PDEVICE_OBJECT DeviceNode::Top() const {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(impl_->pdo);
    ObDereferenceObject(top);
    return top;
}

std::string DeviceNode::HardwareKeyPath() const {
    return "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + impl_->instanceId + "\\Device Parameters";
}

void DeviceNode::SetHardwareKeyUnreadable(bool unreadable) {
    registry::FailOpen(HardwareKeyPath(), unreadable ? STATUS_ACCESS_DENIED : 0);
}

NTSTATUS DeviceNode::Send(UCHAR minor, const std::function<void(PIO_STACK_LOCATION)>& setup, ULONG_PTR* information) {
    ULONG_PTR info = 0;
    NTSTATUS s = SendIrp(Top(), IRP_MJ_PNP, minor, setup, &info);
    if (minor == IRP_MN_QUERY_ID && NT_SUCCESS(s) && info) {
        if (information) *information = info;  // the caller frees the ID with ExFreePool
    } else if (information) {
        *information = info;
    }
    return s;
}

NTSTATUS DeviceNode::Start() { return Send(IRP_MN_START_DEVICE); }
NTSTATUS DeviceNode::QueryStop() { return Send(IRP_MN_QUERY_STOP_DEVICE); }
NTSTATUS DeviceNode::Stop() { return Send(IRP_MN_STOP_DEVICE); }
NTSTATUS DeviceNode::CancelStop() { return Send(IRP_MN_CANCEL_STOP_DEVICE); }
NTSTATUS DeviceNode::QueryRemove() { return Send(IRP_MN_QUERY_REMOVE_DEVICE); }
NTSTATUS DeviceNode::CancelRemove() { return Send(IRP_MN_CANCEL_REMOVE_DEVICE); }
NTSTATUS DeviceNode::SurpriseRemoval() { return Send(IRP_MN_SURPRISE_REMOVAL); }

NTSTATUS DeviceNode::Remove() {
    std::vector<std::pair<PDRIVER_OBJECT, PDEVICE_OBJECT>> devices;
    for (PDEVICE_OBJECT d : impl_->stack) devices.emplace_back(d->DriverObject, d);
    {
        std::lock_guard<std::mutex> g(impl_->m);
        impl_->removing = true;
    }
    NTSTATUS s = Send(IRP_MN_REMOVE_DEVICE);
    {
        std::lock_guard<std::mutex> g(impl_->m);
        impl_->removed = true;
    }
    for (auto& [driver, device] : devices) {
        for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) {
            if (d == device) Raise(Fault::ObjectMisuse, "a device object is still present after IRP_MN_REMOVE_DEVICE");
        }
    }
    if (impl_->pdo->AttachedDevice != nullptr)
        Raise(Fault::ObjectMisuse, "a device is still attached to the PDO after IRP_MN_REMOVE_DEVICE");
    impl_->stack.clear();
    return s;
}

bool DeviceNode::Removed() const { return impl_->removed; }

NTSTATUS DeviceNode::QueryCapabilities(DEVICE_CAPABILITIES* caps) {
    memset(caps, 0, sizeof *caps);
    caps->Size = sizeof *caps;
    caps->Version = 1;
    caps->Address = caps->UINumber = MAXULONG;
    return Send(IRP_MN_QUERY_CAPABILITIES, [caps](PIO_STACK_LOCATION sp) { sp->Parameters.DeviceCapabilities.Capabilities = caps; });
}

// As the power manager does, the request holds a reference on the top device object until it
// has completed (a removal meanwhile defers the free), and none is sent once a removal began:
// the device objects are being deleted (STATUS_DELETE_PENDING) or are gone
// (STATUS_NO_SUCH_DEVICE).
NTSTATUS DeviceNode::SendPower(UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
    PDEVICE_OBJECT top;
    {
        std::lock_guard<std::mutex> g(impl_->m);
        if (impl_->removed) return STATUS_NO_SUCH_DEVICE;
        if (impl_->removing) return STATUS_DELETE_PENDING;
        top = IoGetAttachedDeviceReference(impl_->pdo);
    }
    // A pageable driver above one that is not would be called at DISPATCH_LEVEL from below.
    bool belowNotPageable = false;
    for (PDEVICE_OBJECT d = impl_->pdo; d; d = d->AttachedDevice) {
        if (!(d->Flags & DO_POWER_PAGABLE)) {
            belowNotPageable = true;
        } else if (belowNotPageable && !impl_->pagingReported) {
            impl_->pagingReported = true;
            char buf[160];
            snprintf(buf, sizeof buf, "device %p sets DO_POWER_PAGABLE above a device of its stack that is not pageable",
                     static_cast<void*>(d));
            Raise(Fault::PowerPagingMismatch, buf);
        }
    }
    NTSTATUS status = SendIrp(top, IRP_MJ_POWER, minor, [&](PIO_STACK_LOCATION sp) {
        sp->Parameters.Power.Type = type;
        sp->Parameters.Power.State = state;
        sp->Parameters.Power.ShutdownType = PowerActionNone;
    }, nullptr, !(top->Flags & DO_POWER_PAGABLE));
    ObDereferenceObject(top);
    return status;
}

NTSTATUS DeviceNode::SetDevicePower(DEVICE_POWER_STATE state) {
    POWER_STATE p;
    p.DeviceState = state;
    return SendPower(IRP_MN_SET_POWER, DevicePowerState, p);
}
NTSTATUS DeviceNode::QueryDevicePower(DEVICE_POWER_STATE state) {
    POWER_STATE p;
    p.DeviceState = state;
    return SendPower(IRP_MN_QUERY_POWER, DevicePowerState, p);
}
NTSTATUS DeviceNode::SetSystemPower(SYSTEM_POWER_STATE state) {
    POWER_STATE p;
    p.SystemState = state;
    return SendPower(IRP_MN_SET_POWER, SystemPowerState, p);
}

void DeviceNode::SetBusAnswer(UCHAR minor, NTSTATUS status) {
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->answers[minor] = status;
}
void DeviceNode::SetBusPowerAnswer(NTSTATUS status) {
    std::lock_guard<std::mutex> g(impl_->m);
    impl_->powerAnswer = status;
}
std::vector<std::pair<UCHAR, UCHAR>> DeviceNode::BusLog() const {
    std::lock_guard<std::mutex> g(impl_->m);
    return impl_->log;
}

}  // namespace emu::pnp

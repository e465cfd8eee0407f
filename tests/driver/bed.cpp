// Test bed implementation: driver objects of the test's own and a pass-through lower driver.
#include "bed.h"

#include <mutex>

namespace vcomtest {
namespace {

const GUID kComPort = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};
const char16_t kServiceKey[] = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\vcom";
const std::string kSerialComm = std::string(emu::registry::kDeviceMap) + "\\SERIALCOMM";

int instanceCounter = 0;

emu::Worker& Completer() {
    static emu::Worker* w = new emu::Worker("lower-completer");
    return *w;
}

Lower* LowerOf(PDEVICE_OBJECT device) { return *static_cast<Lower**>(device->DeviceExtension); }

NTSTATUS LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    Lower* lower = LowerOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    lower->seen.push_back(Seen{stack->MajorFunction, stack->MinorFunction, irp->IoStatus.Status});
    irp->IoStatus.Status = lower->answer;
    if (lower->onRequest) lower->onRequest(irp);
    NTSTATUS answer = irp->IoStatus.Status;
    if (!lower->pend) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return answer;
    }
    IoMarkIrpPending(irp);
    Completer().Post([irp] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    return STATUS_PENDING;
}

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::u16string DeviceNameFor(ULONG number) { return u"\\Device\\zelcom" + emu::io::ToU16(std::to_string(number)); }

}  // namespace

std::u16string Text(const UNICODE_STRING& s) { return emu::io::ToU16(s); }

std::u16string Utf16(const std::vector<uint8_t>& bytes) {
    std::u16string out;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) out += char16_t(bytes[i] | (bytes[i + 1] << 8));
    return out;
}

PortBed::PortBed(bool load) : vcom_(new DriverBlock), lowerDriver_(new DriverBlock) {
    for (DriverBlock* d : {vcom_.get(), lowerDriver_.get()}) {
        d->object.Type = IO_TYPE_DRIVER;
        d->object.Size = sizeof(DRIVER_OBJECT);
        d->object.DriverExtension = &d->extension;
        d->extension.DriverObject = &d->object;
    }
    for (auto& f : lowerDriver_->object.MajorFunction) f = LowerDispatch;
    registryPath_.Buffer = (PWSTR)kServiceKey;
    registryPath_.Length = sizeof(kServiceKey) - 2;
    registryPath_.MaximumLength = sizeof(kServiceKey);
    if (load) {
        EXPECT_EQ(Load(), STATUS_SUCCESS);
    }
}

PortBed::~PortBed() {
    for (size_t i = 0; i < nodes_.size(); i++) {
        if (nodes_[i].port && !nodes_[i].removed) {
            nodes_[i].lower->pend = false;
            nodes_[i].lower->answer = STATUS_SUCCESS;
            PnpTo(i, IRP_MN_REMOVE_DEVICE);
        }
    }
    emu::RunUntilIdle();
    for (auto& n : nodes_) IoDeleteDevice(n.pdo);
    for (auto d : occupants_) IoDeleteDevice(d);
    for (auto& l : occupiedLinks_) {
        UNICODE_STRING s{USHORT(l.size() * 2), USHORT(l.size() * 2), (PWSTR)l.c_str()};
        IoDeleteSymbolicLink(&s);
    }
    Unload();
}

NTSTATUS PortBed::Load() {
    emu::DriverScope scope(Driver());
    NTSTATUS status = DriverEntry(&vcom_->object, &registryPath_);
    loaded_ = NT_SUCCESS(status);
    return status;
}

void PortBed::Unload() {
    if (!loaded_) return;
    {
        emu::DriverScope scope(Driver());
        vcom_->object.DriverUnload(&vcom_->object);
    }
    loaded_ = false;
    EXPECT_TRUE(emu::pool::CheckNoLeaks(Driver(), "driver unload"));
}

void PortBed::SetDword(const std::u16string& name, ULONG value) {
    emu::registry::Value v{REG_DWORD, {}};
    for (int i = 0; i < 4; i++) v.data.push_back(uint8_t(value >> (8 * i)));
    pending_.push_back({name, v});
}

void PortBed::SetString(const std::u16string& name, const std::u16string& value) {
    emu::registry::Value v{REG_SZ, {}};
    for (char16_t c : value + u'\0') {
        v.data.push_back(uint8_t(c));
        v.data.push_back(uint8_t(c >> 8));
    }
    pending_.push_back({name, v});
    // Also to the device already added, for tests that change the value before a start.
    if (!nodes_.empty()) emu::registry::SetValue(nodes_.back().keyPath, name, v.type, v.data);
}

void PortBed::SetBinary(const std::u16string& name, std::vector<uint8_t> data) {
    pending_.push_back({name, emu::registry::Value{REG_BINARY, std::move(data)}});
}

NTSTATUS PortBed::Add() {
    Node node;
    node.lower = std::make_unique<Lower>();
    EXPECT_EQ(IoCreateDevice(&lowerDriver_->object, sizeof(Lower*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &node.pdo),
              STATUS_SUCCESS);
    *static_cast<Lower**>(node.pdo->DeviceExtension) = node.lower.get();
    node.pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    node.pdo->Flags |= lowerFlags_;
    std::string instance = "USB\\VID_1234&PID_5678\\" + std::to_string(++instanceCounter);
    emu::io::SetInstancePath(node.pdo, emu::io::ToU16(instance));
    node.keyPath = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + instance + "\\Device Parameters";
    emu::registry::CreateKey(node.keyPath);
    for (auto& [name, value] : pending_) emu::registry::SetValue(node.keyPath, name, value.type, value.data);
    if (failKey_) emu::registry::FailOpen(node.keyPath, STATUS_ACCESS_DENIED);

    PDEVICE_OBJECT before = vcom_->object.DeviceObject;
    NTSTATUS status;
    {
        emu::DriverScope scope(Driver());
        status = vcom_->object.DriverExtension->AddDevice(&vcom_->object, node.pdo);
    }
    if (failKey_) emu::registry::FailOpen(node.keyPath, 0);
    if (NT_SUCCESS(status)) {
        node.port = vcom_->object.DeviceObject;
        EXPECT_NE(node.port, before);
    }
    nodes_.push_back(std::move(node));
    return status;
}

PortExtension* PortBed::Ext(size_t i) {
    PDEVICE_OBJECT port = Port(i);
    return port ? GetPortExtension(port) : nullptr;
}

PDEVICE_OBJECT PortBed::Port(size_t i) { return nodes_.at(Index(i)).port; }
Lower& PortBed::lower(size_t i) { return *nodes_.at(Index(i)).lower; }

NTSTATUS PortBed::PnpTo(size_t i, UCHAR minor, NTSTATUS initial) {
    Node& node = nodes_.at(Index(i));
    PIRP irp = IoAllocateIrp(node.port->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = minor;
    irp->IoStatus.Status = initial;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(node.port, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (status != STATUS_PENDING) {
        EXPECT_EQ(irp->IoStatus.Status, status) << "minor " << int(minor);
    } else {
        status = irp->IoStatus.Status;
    }
    IoFreeIrp(irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
        node.removed = true;
        node.port = nullptr;
    }
    return status;
}

NTSTATUS PortBed::Send(UCHAR major, size_t i) {
    PDEVICE_OBJECT port = Port(i);
    PIRP irp = IoAllocateIrp(port->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(port, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    if (status == STATUS_PENDING) status = irp->IoStatus.Status;
    EXPECT_EQ(irp->IoStatus.Information, 0u);
    IoFreeIrp(irp);
    return status;
}

size_t PortBed::DeviceCount() const {
    size_t n = 0;
    for (PDEVICE_OBJECT d = vcom_->object.DeviceObject; d; d = d->NextDevice) n++;
    return n;
}

bool PortBed::LowerHasAttachment(size_t i) { return nodes_.at(Index(i)).pdo->AttachedDevice != nullptr; }

bool PortBed::InterfaceEnabled(size_t i) {
    // A registration outlives its device, and a later PDO may reuse the address of a deleted one.
    for (auto& info : emu::io::ListInterfaces(kComPort, true))
        if (info.pdo == nodes_.at(i).pdo) return true;
    return false;
}

size_t PortBed::EnabledInterfaceCount() const { return emu::io::ListInterfaces(kComPort, true).size(); }

std::optional<std::u16string> PortBed::LinkTarget(const std::u16string& link) const {
    return emu::io::ResolveLink(link);
}

size_t PortBed::LinkCount() const {
    size_t n = 0;
    for (auto& l : emu::io::Links()) {
        auto target = emu::io::ResolveLink(l);
        if (target && target->rfind(u"\\Device\\zelcom", 0) == 0) n++;
    }
    return n;
}

std::optional<emu::registry::Value> PortBed::DeviceMap(const std::u16string& name) const {
    return emu::registry::GetValue(kSerialComm, name);
}

void PortBed::OccupyDeviceNames(ULONG first, ULONG count) {
    for (ULONG n = first; n < first + count; n++) {
        std::u16string name = DeviceNameFor(n);
        UNICODE_STRING s{USHORT(name.size() * 2), USHORT(name.size() * 2), (PWSTR)name.c_str()};
        PDEVICE_OBJECT d = nullptr;
        ASSERT_EQ(IoCreateDevice(&lowerDriver_->object, 0, &s, FILE_DEVICE_UNKNOWN, 0, FALSE, &d), STATUS_SUCCESS);
        occupants_.push_back(d);
    }
}

void PortBed::ReleaseDeviceName(ULONG number) {
    auto name = DeviceNameFor(number);
    for (auto it = occupants_.begin(); it != occupants_.end(); ++it) {
        if (emu::io::DeviceName(*it) == name) {
            IoDeleteDevice(*it);
            occupants_.erase(it);
            return;
        }
    }
    ADD_FAILURE() << "no occupant " << number;
}

void PortBed::SetDeviceMapValue(const std::u16string& name, const std::u16string& value) {
    emu::registry::CreateKey(kSerialComm);
    emu::registry::SetString(kSerialComm, name, value);
}

void PortBed::OccupyLink(const std::u16string& link) {
    static const char16_t target[] = u"\\Device\\Elsewhere";
    UNICODE_STRING l{USHORT(link.size() * 2), USHORT(link.size() * 2), (PWSTR)link.c_str()};
    UNICODE_STRING t{sizeof(target) - 2, sizeof(target), (PWSTR)target};
    ASSERT_EQ(IoCreateSymbolicLink(&l, &t), STATUS_SUCCESS);
    occupiedLinks_.push_back(link);
}

}  // namespace vcomtest

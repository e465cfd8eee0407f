#include "stack.h"


namespace vcomtest {

StackOptions Variant(int variant) {
    StackOptions o;
    o.device.variant = variant;
    o.values[u"EndPointCaps"] = emu::pnp::HardwareValue::Dword((ULONG)variant);
    return o;
}

Stack::Stack(StackOptions options) {
    options.values.emplace(u"PortName", emu::pnp::HardwareValue::String(u"COM7"));
    options.device.recordTx = true;  // driver tests check the bytes that reached the wire
    device_ = usbpipe::Device::Create(options.device);
    lower_ = emu::pnp::LoadDriver("UsbPipe", UsbPipeDriverEntry);
    vcom_ = emu::pnp::LoadDriver("vcom", DriverEntry);
    node_ = emu::pnp::DeviceNode::Create("USB\\VID_1234&PID_5678\\0001", options.values, {lower_, vcom_}, &added_);
    if (NT_SUCCESS(added_)) {
        port_ = node_->Top();
        if (options.start) {
            EXPECT_EQ(node_->Start(), STATUS_SUCCESS);
        }
    }
}

Stack::~Stack() {
    if (file_) Close();
    if (node_ && !node_->Removed() && NT_SUCCESS(added_)) node_->Remove();
    node_.reset();
    device_.reset();
    emu::pnp::UnloadDriver(vcom_);
    emu::pnp::UnloadDriver(lower_);
}

NTSTATUS Stack::Open(std::unique_ptr<emu::io::File>* file) {
    return emu::io::File::Open(u"\\DosDevices\\COM7", file);
}

emu::io::File& Stack::OpenOk() {
    NTSTATUS status = Open(&file_);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (!file_) {
        ADD_FAILURE() << "the port did not open";
        std::abort();
    }
    return *file_;
}

NTSTATUS Stack::Close() {
    NTSTATUS status = file_ ? file_->Close() : STATUS_INVALID_HANDLE;
    file_.reset();
    return status;
}

NTSTATUS Stack::Remove() {
    if (file_) Close();
    return node_->Remove();
}

std::vector<std::vector<uint8_t>> Stack::TakeCommands() {
    auto c = device_->Commands();
    device_->ClearCommands();
    return c;
}

}  // namespace vcomtest

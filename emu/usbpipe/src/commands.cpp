// Device commands: decoded for the device's variant into the line state, recorded in order, and
// answered with reply bytes when the knobs ask for them.
#include "model.h"

namespace usbpipe {

NTSTATUS Model::DecodeCommandLocked(const uint8_t* b, ULONG len) {
    auto f = failCommand.find(b[0]);
    if (f != failCommand.end()) return f->second;
    switch (b[0]) {
    case 0x00:
        if (cfg.variant == 1 || cfg.variant == 2) {
            if (len != 2) return STATUS_INVALID_PARAMETER;
            static const ULONG rates[4] = {9600, 19200, 38400, 115200};
            uint8_t s = b[1];
            if ((s & 0x30) == 0x30) return STATUS_INVALID_PARAMETER;
            line.baud = rates[s & 3];
            line.dataBits = (s & 0x04) ? 8 : 7;
            line.stopBits = (s & 0x08) ? 2 : 1;
            line.parity = (s & 0x10) ? Parity::Even : (s & 0x20) ? Parity::Odd : Parity::None;
            line.rtsCts = (s & 0x40) != 0 && !knobs.noHardwareFlow;
            line.xonXoff = (s & 0x80) != 0;
        } else if (cfg.variant == 3) {
            if (len != 3) return STATUS_INVALID_PARAMETER;
            static const ULONG rates[9] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};
            uint8_t f2 = b[2];
            if (b[1] > 8 || (f2 & 0xC0) || (f2 & 0x0C) == 0x0C || (f2 & 0x30) == 0x30)
                return STATUS_INVALID_PARAMETER;
            line.baud = rates[b[1]];
            line.dataBits = (f2 & 0x01) ? 8 : 7;
            line.stopBits = (f2 & 0x02) ? 2 : 1;
            line.parity = (f2 & 0x04) ? Parity::Even : (f2 & 0x08) ? Parity::Odd : Parity::None;
            line.rtsCts = (f2 & 0x10) != 0 && !knobs.noHardwareFlow;
            line.xonXoff = (f2 & 0x20) != 0;
        } else {
            return STATUS_INVALID_DEVICE_REQUEST;  // variant 0 has no line settings
        }
        line.settingsReceived = true;
        return STATUS_SUCCESS;
    case 0x01:
        if (len != 2 || (b[1] & ~0x07)) return STATUS_INVALID_PARAMETER;
        line.controlLines = b[1];
        return STATUS_SUCCESS;
    case 0x02:
        if (len != 3) return STATUS_INVALID_PARAMETER;
        line.xonChar = b[1];
        line.xoffChar = b[2];
        return STATUS_SUCCESS;
    case 0x03:
        if (len != 2 || b[1] > 1) return STATUS_INVALID_PARAMETER;
        line.portEnabled = b[1] == 1;
        return STATUS_SUCCESS;
    case 0x04:
        if (len != 3 || b[1] > 1) return STATUS_INVALID_PARAMETER;
        line.errorCharEnabled = b[1] == 1;
        line.errorChar = b[2];
        return STATUS_SUCCESS;
    default:
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

// The device's answer to a command it accepted, written over the command buffer: the command as
// the device applied it. A device without hardware flow control clears the RTS/CTS bit of the
// line settings. Returns the reply's length (0: none, or no room for it).
ULONG Model::ReplyLocked(uint8_t* b, ULONG len, ULONG room) const {
    if (!knobs.replyToCommands || room < len) return 0;
    if (b[0] == 0x00 && len == 2 && !line.rtsCts) b[1] &= static_cast<uint8_t>(~0x40);
    if (b[0] == 0x00 && len == 3 && !line.rtsCts) b[2] &= static_cast<uint8_t>(~0x10);
    return len;
}

NTSTATUS Command(Model* m, PIRP irp, PIO_STACK_LOCATION sl) {
    ULONG len = sl->Parameters.DeviceIoControl.InputBufferLength;
    auto* b = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (!b || len < 2 || len > 3) return CompleteNow(irp, STATUS_INVALID_PARAMETER);
    Section s(*m);
    m->commands.emplace_back(b, b + len);
    NTSTATUS status = m->DecodeCommandLocked(b, len);
    ULONG reply = 0;
    if (NT_SUCCESS(status)) reply = m->ReplyLocked(b, len, sl->Parameters.DeviceIoControl.OutputBufferLength);
    IoMarkIrpPending(irp);
    m->FinishLocked(irp, status, reply);
    if (m->commands.back()[0] == 0x01) m->ServiceStatusLocked();  // loopback lines follow the control lines
    return STATUS_PENDING;
}

// ---- Device handle ---------------------------------------------------------------------------

std::vector<std::vector<uint8_t>> Device::Commands() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->commands;
}

void Device::ClearCommands() {
    std::lock_guard<std::mutex> g(model_->mu);
    model_->commands.clear();
}

LineState Device::State() const {
    std::lock_guard<std::mutex> g(model_->mu);
    return model_->line;
}

void Device::FailCommand(uint8_t code, NTSTATUS status) {
    std::lock_guard<std::mutex> g(model_->mu);
    if (NT_SUCCESS(status)) model_->failCommand.erase(code);
    else model_->failCommand[code] = status;
}

}  // namespace usbpipe

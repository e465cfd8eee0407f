// Device commands: the line settings in the encoding of the device's variant, and the one path
// by which the output-line shadow ModemControl changes.
#include "port.h"

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ChangeModemControl(PortExtension* Port, UCHAR Clear, UCHAR Set, BOOLEAN Send) {
    PAGED_CODE();
    AcquirePassiveLock(&Port->ModemControlLock);
    UCHAR value = (UCHAR)(((Port->ModemControl & ~Clear) | Set) &
                          (CONTROL_LINE_RTS | CONTROL_LINE_DTR | CONTROL_LINE_BREAK));
    // A single store: the queries read it without the lock.
    __atomic_store_n(&Port->ModemControl, value, __ATOMIC_RELAXED);
    NTSTATUS status = STATUS_SUCCESS;
    if (Send) {
        // Sent under the lock, so commands reach the device in the order of the changes and
        // each carries the value that was current.
        UCHAR command[2] = {DEVCMD_CONTROL_LINES, value};
        status = SendDeviceCommand(Port, command, sizeof(command));
    }
    ReleasePassiveLock(&Port->ModemControlLock);
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS SendPortSetup(PortExtension* Port) {
    PAGED_CODE();
    UCHAR enable[2] = {DEVCMD_PORT_ENABLE, 1};
    NTSTATUS status = SendDeviceCommand(Port, enable, sizeof(enable));
    NTSTATUS lines = ChangeModemControl(Port, 0xFF, CONTROL_LINE_DTR | CONTROL_LINE_RTS, TRUE);
    return NT_SUCCESS(status) ? lines : status;
}

static BOOLEAN HasFlag(ULONG Value, ULONG Flag) {
    return (Value & Flag) == Flag;
}

static UCHAR ErrorCharFlag(const PortExtension* Port) {
    return HasFlag(LoadSetting(&Port->HandFlow.FlowReplace), SERIAL_ERROR_CHAR) ? 1 : 0;
}

// The settings byte of variants 1 and 2; STATUS_INVALID_PARAMETER for what they cannot encode.
static NTSTATUS BuildSettingsByte(const PortExtension* Port, PUCHAR Settings) {
    SERIAL_LINE_CONTROL line;
    CopySettings<UCHAR>(&line, &Port->LineControl);
    SERIAL_HANDFLOW flow;
    CopySettings<ULONG>(&flow, &Port->HandFlow);
    UCHAR value;
    switch (LoadSetting(&Port->BaudRate)) {
    case 9600: value = 0; break;
    case 19200: value = 1; break;
    case 38400: value = 2; break;
    case 115200: value = 3; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    switch (line.WordLength) {
    case 8: value |= 0x04; break;
    case 7: break;
    default: return STATUS_INVALID_PARAMETER;
    }
    switch (line.StopBits) {
    case STOP_BIT_1: break;
    case STOP_BITS_2: value |= 0x08; break;
    default: return STATUS_INVALID_PARAMETER;
    }
    if (line.Parity == EVEN_PARITY) {
        value |= 0x10;
    } else if (line.Parity == ODD_PARITY) {
        value |= 0x20;
    }
    if ((flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE &&
        HasFlag(flow.ControlHandShake, SERIAL_CTS_HANDSHAKE)) {
        value |= 0x40;
    }
    if (HasFlag(flow.FlowReplace, SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) {
        value |= 0x80;
    }
    *Settings = value;
    return STATUS_SUCCESS;
}

static NTSTATUS ApplyLineSettingsNone(PortExtension* Port) {
    UNREFERENCED_PARAMETER(Port);
    return STATUS_SUCCESS;
}

static NTSTATUS ApplyLineSettingsByte(PortExtension* Port) {
    UCHAR command[2] = {DEVCMD_LINE_SETTINGS, 0};
    NTSTATUS status = BuildSettingsByte(Port, &command[1]);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return SendDeviceCommand(Port, command, sizeof(command));
}

// Variant 2 devices do not raise RTS themselves when RTS/CTS flow control is switched on.
static NTSTATUS ApplyLineSettingsByteRts(PortExtension* Port) {
    UCHAR command[2] = {DEVCMD_LINE_SETTINGS, 0};
    NTSTATUS status = BuildSettingsByte(Port, &command[1]);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = SendDeviceCommand(Port, command, sizeof(command));
    if (!NT_SUCCESS(status)) {
        return status;  // the device did not take the settings: RTS stays as it was
    }
    // Byte 1 read again: the lower driver may have answered over it.
    if (command[1] & 0x40) {
        return ChangeModemControl(Port, 0, CONTROL_LINE_RTS, TRUE);
    }
    return status;
}

static const ULONG BaudIndexTable[] = {600, 1200, 2400, 4800, 9600, 19200, 38400, 76800, 115200};

static NTSTATUS ApplyLineSettingsIndexed(PortExtension* Port) {
    ULONG baud = LoadSetting(&Port->BaudRate);
    UCHAR index = 0;
    for (UCHAR i = 0; i < sizeof(BaudIndexTable) / sizeof(BaudIndexTable[0]); i++) {
        if (BaudIndexTable[i] == baud) {
            index = i;
            break;
        }
    }
    SERIAL_LINE_CONTROL line;
    CopySettings<UCHAR>(&line, &Port->LineControl);
    SERIAL_HANDFLOW flow;
    CopySettings<ULONG>(&flow, &Port->HandFlow);
    UCHAR format = 0;
    if (line.WordLength != 7) {
        format |= 0x01;
    }
    if (line.StopBits == STOP_BITS_2) {
        format |= 0x02;
    }
    if (line.Parity == EVEN_PARITY) {
        format |= 0x04;
    } else if (line.Parity == ODD_PARITY) {
        format |= 0x08;
    }
    if ((flow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE ||
        HasFlag(flow.ControlHandShake, SERIAL_CTS_HANDSHAKE)) {
        format |= 0x10;
    } else if (flow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) {
        format |= 0x20;
    }
    UCHAR settings[3] = {DEVCMD_LINE_SETTINGS, index, format};
    SendDeviceCommand(Port, settings, sizeof(settings));

    UCHAR errorChar[3] = {DEVCMD_ERROR_CHAR, ErrorCharFlag(Port), LoadSetting(&Port->SpecialChars.ErrorChar)};
    NTSTATUS status = SendDeviceCommand(Port, errorChar, sizeof(errorChar));
    // This variant's device wants the reader running once its line is set.
    StartReader(Port);
    return status;
}

typedef NTSTATUS (*APPLY_LINE_SETTINGS)(PortExtension* Port);

static const APPLY_LINE_SETTINGS ApplyLineSettingsByVariant[ENDPOINT_CAPS_COUNT] = {
    ApplyLineSettingsNone,
    ApplyLineSettingsByte,
    ApplyLineSettingsByteRts,
    ApplyLineSettingsIndexed,
};

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS ApplyLineSettings(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    // Add-device refuses other values; never index outside the table.
    if (port->EndPointCaps >= ENDPOINT_CAPS_COUNT) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    return ApplyLineSettingsByVariant[port->EndPointCaps](port);
}

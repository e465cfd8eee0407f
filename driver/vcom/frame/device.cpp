// Device creation, the COM-port interface, and the port's DOS name and device map entry.
#include "port.h"

// GUID_DEVINTERFACE_COMPORT, spelled out so that no translation unit has to instantiate it.
static const GUID ComPortInterfaceGuid = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

static const WCHAR DosDevicesPrefix[] = L"\\DosDevices\\";
static const WCHAR SerialCommKey[] = L"SERIALCOMM";

NTSTATUS FormatUnicodeString(PUNICODE_STRING Destination, PCWSTR Format, ...) {
    if ((Destination->Length & 1) || (Destination->MaximumLength & 1) ||
        Destination->Length > Destination->MaximumLength || Destination->MaximumLength > 65534 ||
        (!Destination->Buffer && (Destination->Length || Destination->MaximumLength))) {
        return STATUS_INVALID_PARAMETER;
    }
    size_t capacity = Destination->MaximumLength / sizeof(WCHAR);
    va_list args;
    va_start(args, Format);
    int written = capacity ? _vsnwprintf(Destination->Buffer, capacity, Format, args) : -1;
    va_end(args);
    if (written < 0 || (size_t)written > capacity) {
        Destination->Length = Destination->MaximumLength;
        return STATUS_BUFFER_OVERFLOW;
    }
    Destination->Length = (USHORT)(written * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

static VOID FreeInterfaceName(PortExtension* Port) {
    if (Port->InterfaceName.Buffer) {
        ExFreePool(Port->InterfaceName.Buffer);
    }
    Port->InterfaceName.Buffer = NULL;
    Port->InterfaceName.Length = 0;
    Port->InterfaceName.MaximumLength = 0;
}

static VOID FreeDeviceName(PortExtension* Port) {
    if (Port->DeviceName.Buffer) {
        ExFreePoolWithTag(Port->DeviceName.Buffer, INIT_POOL_TAG);
    }
    Port->DeviceName.Buffer = NULL;
    Port->DeviceName.Length = 0;
    Port->DeviceName.MaximumLength = 0;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CreatePortDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                          PDEVICE_OBJECT* DeviceObject) {
    PAGED_CODE();
    WCHAR nameBuffer[255];
    UNICODE_STRING name;
    name.Buffer = nameBuffer;
    name.Length = 0;
    name.MaximumLength = sizeof(nameBuffer);

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = STATUS_OBJECT_NAME_COLLISION;
    for (ULONG number = 0; number < 1000; number++) {
        name.Length = 0;
        status = FormatUnicodeString(&name, L"\\Device\\zelcom%lu", number);
        if (status != STATUS_SUCCESS) {
            return status;
        }
        status = IoCreateDevice(DriverObject, sizeof(PortExtension), &name,
                                FILE_DEVICE_SERIAL_PORT, 0, TRUE, &device);
        if (status != STATUS_OBJECT_NAME_COLLISION) {
            break;
        }
    }
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "device object not created: %08x", (unsigned)status);
        return status;
    }

    PortExtension* port = GetPortExtension(device);
    RtlZeroMemory(port, sizeof(*port));
    port->PhysicalDeviceObject = PhysicalDeviceObject;

    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &ComPortInterfaceGuid, NULL,
                                       &port->InterfaceName);
    if (!NT_SUCCESS(status)) {
        port->InterfaceName.Buffer = NULL;
        IoDeleteDevice(device);
        return status;
    }

    // A port whose interface cannot be enabled is not created at all: it would otherwise stay
    // attached with no one to delete it.
    status = IoSetDeviceInterfaceState(&port->InterfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "interface not enabled: %08x", (unsigned)status);
        FreeInterfaceName(port);
        IoDeleteDevice(device);
        return status;
    }

    port->DeviceName.Buffer =
        (PWSTR)ExAllocatePoolWithTag(NonPagedPoolNx, name.Length + sizeof(WCHAR), INIT_POOL_TAG);
    if (!port->DeviceName.Buffer) {
        IoSetDeviceInterfaceState(&port->InterfaceName, FALSE);
        FreeInterfaceName(port);
        IoDeleteDevice(device);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlCopyMemory(port->DeviceName.Buffer, name.Buffer, name.Length);
    port->DeviceName.Buffer[name.Length / sizeof(WCHAR)] = 0;
    port->DeviceName.Length = name.Length;
    port->DeviceName.MaximumLength = (USHORT)(name.Length + sizeof(WCHAR));

    port->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
    if (!port->LowerDeviceObject) {
        IoSetDeviceInterfaceState(&port->InterfaceName, FALSE);
        FreeInterfaceName(port);
        FreeDeviceName(port);
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }

    *DeviceObject = device;
    return status;
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
    PAGED_CODE();
    ULONG endPointCaps = 0;
    ReadRegistryDword(PhysicalDeviceObject, L"EndPointCaps", &endPointCaps);
    // The variant indexes the device-command encodings: refuse one that has none.
    if (endPointCaps >= ENDPOINT_CAPS_COUNT) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "EndPointCaps %u has no device variant", (unsigned)endPointCaps);
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }

    PDEVICE_OBJECT device = NULL;
    NTSTATUS status = CreatePortDevice(DriverObject, PhysicalDeviceObject, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = InitPortExtension(device, endPointCaps);
    if (!NT_SUCCESS(status)) {
        PortExtension* port = GetPortExtension(device);
        DisablePortInterface(port);
        FreeDeviceName(port);
        IoDetachDevice(port->LowerDeviceObject);
        IoDeleteDevice(device);
        return status;
    }

    device->Flags &= ~DO_DEVICE_INITIALIZING;
    VCOM_TRACE(TRACE_LEVEL_INFO, "device added");
    return status;
}

static ULONG WideLength(const WCHAR* Text, ULONG Limit) {
    ULONG length = 0;
    while (length < Limit && Text[length] != 0) {
        length++;
    }
    return length;
}

NTSTATUS ReadPortNameValue(HANDLE Key, PWCHAR PortName) {
    const ULONG size = 298;
    PKEY_VALUE_FULL_INFORMATION info =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, INIT_POOL_TAG);
    if (!info) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"PortName");
    ULONG returned = 0;
    NTSTATUS status = ZwQueryValueKey(Key, &name, KeyValueFullInformation, info, size, &returned);
    if (NT_SUCCESS(status)) {
        // Longer data would not fit the caller's buffer; refuse it rather than leave the name
        // empty or cut it short.
        if (info->DataLength > PORT_NAME_VALUE_MAX_BYTES || info->DataOffset > size ||
            size - info->DataOffset < info->DataLength) {
            status = STATUS_BUFFER_OVERFLOW;
        } else {
            RtlCopyMemory(PortName, (PUCHAR)info + info->DataOffset, info->DataLength);
        }
    }
    ExFreePoolWithTag(info, INIT_POOL_TAG);
    return status;
}

static VOID FreeLinkName(PortExtension* Port) {
    if (Port->SymbolicLinkName.Buffer) {
        ExFreePoolWithTag(Port->SymbolicLinkName.Buffer, INIT_POOL_TAG);
    }
    Port->SymbolicLinkName.Buffer = NULL;
    Port->SymbolicLinkName.Length = 0;
    Port->SymbolicLinkName.MaximumLength = 0;
}

// On failure nothing is left behind: no link, no map entry and no link buffer, so that a later
// start can name the port afresh. While SymbolicLinkName has a buffer, the link and the map
// entry exist.
_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS CreatePortName(PDEVICE_OBJECT DeviceObject) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    if (port->SymbolicLinkName.Buffer) {
        return STATUS_SUCCESS;  // already named
    }

    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(port->PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                              STANDARD_RIGHTS_READ, &key);
    if (status != STATUS_SUCCESS) {
        return status;
    }

    port->SymbolicLinkName.Length = 0;
    port->SymbolicLinkName.MaximumLength = LINK_NAME_BYTES;
    port->SymbolicLinkName.Buffer =
        (PWSTR)ExAllocatePoolWithTag(NonPagedPoolNx, LINK_NAME_BYTES, INIT_POOL_TAG);
    if (!port->SymbolicLinkName.Buffer) {
        port->SymbolicLinkName.MaximumLength = 0;
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    WCHAR portName[PORT_NAME_CHARS + 1];
    RtlZeroMemory(portName, sizeof(portName));
    status = ReadPortNameValue(key, portName);
    ZwClose(key);
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "no usable PortName: %08x", (unsigned)status);
        FreeLinkName(port);
        return status;
    }

    ULONG nameChars = WideLength(portName, PORT_NAME_CHARS);
    const ULONG prefixBytes = sizeof(DosDevicesPrefix) - sizeof(WCHAR);
    if (nameChars == 0) {
        FreeLinkName(port);
        return STATUS_OBJECT_NAME_INVALID;
    }
    if (prefixBytes + nameChars * sizeof(WCHAR) > LINK_NAME_BYTES) {
        FreeLinkName(port);
        return STATUS_BUFFER_OVERFLOW;
    }
    RtlAppendUnicodeToString(&port->SymbolicLinkName, DosDevicesPrefix);
    RtlAppendUnicodeToString(&port->SymbolicLinkName, portName);

    status = IoCreateSymbolicLink(&port->SymbolicLinkName, &port->DeviceName);
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "DOS link not created: %08x", (unsigned)status);
        FreeLinkName(port);
        return status;
    }

    status = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, port->DeviceName.Buffer,
                                   REG_SZ, portName, (nameChars + 1) * sizeof(WCHAR));
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "device map entry not written: %08x", (unsigned)status);
        IoDeleteSymbolicLink(&port->SymbolicLinkName);
        FreeLinkName(port);
        return status;
    }
    return STATUS_SUCCESS;
}

VOID RemovePortName(PortExtension* Port) {
    if (!Port->SymbolicLinkName.Buffer) {
        return;
    }
    IoDeleteSymbolicLink(&Port->SymbolicLinkName);
    FreeLinkName(Port);
    RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->DeviceName.Buffer);
}

VOID DisablePortInterface(PortExtension* Port) {
    if (!Port->InterfaceName.Buffer) {
        return;
    }
    IoSetDeviceInterfaceState(&Port->InterfaceName, FALSE);
    FreeInterfaceName(Port);
}

// Port extension defaults and the per-device registry configuration.
#include "port.h"

static NTSTATUS NamePipe(PWCHAR PipeName, PFILE_OBJECT PipeFile, PDEVICE_OBJECT DeviceObject,
                         PCWSTR Name) {
    ULONG length = 0;
    while (Name[length] != 0) {
        if (length + 1 >= PIPE_NAME_CHARS) {
            return STATUS_BUFFER_OVERFLOW;
        }
        PipeName[length] = Name[length];
        length++;
    }
    PipeName[length] = 0;
    PipeFile->Type = IO_TYPE_FILE;
    PipeFile->Size = sizeof(FILE_OBJECT);
    PipeFile->DeviceObject = DeviceObject;
    PipeFile->FileName.Buffer = PipeName;
    PipeFile->FileName.Length = (USHORT)(length * sizeof(WCHAR));
    PipeFile->FileName.MaximumLength = PIPE_NAME_CHARS * sizeof(WCHAR);
    return STATUS_SUCCESS;
}

// Reads the registry values of the device's hardware key; a value that cannot be read keeps
// the default already stored.
static VOID ReadConfiguration(PortExtension* Port) {
    PDEVICE_OBJECT pdo = Port->PhysicalDeviceObject;
    ULONG value;

    Port->RxReqSize = 0;
    if (NT_SUCCESS(ReadRegistryDword(pdo, L"RxReqSize", &value))) {
        Port->RxReqSize = value;
    }
    Port->RxPollPeriod = 0;
    if (NT_SUCCESS(ReadRegistryDword(pdo, L"RxPollPeriod", &value))) {
        Port->RxPollPeriod = value;
    }
    // Negative turns status polling off.
    Port->CtlPollPeriod = 10;
    if (NT_SUCCESS(ReadRegistryDword(pdo, L"CtlPollPeriod", &value))) {
        Port->CtlPollPeriod = (LONG)value;
    }
    // Absent stays 0; a value read is never 0 afterwards.
    Port->TxKickThreshold = 0;
    if (NT_SUCCESS(ReadRegistryDword(pdo, L"TxKickThreshold", &value))) {
        if (value == 0) {
            value = 1;
        } else if (value >= TX_STAGING_SIZE) {
            value = TX_STAGING_SIZE / 2;
        }
        Port->TxKickThreshold = value;
    }
    Port->TxAsync = 0;
    if (NT_SUCCESS(ReadRegistryDword(pdo, L"TxAsync", &value))) {
        Port->TxAsync = value;
    }
    Port->NoBaudCheck = 0;
    if (NT_SUCCESS(ReadRegistryDword(pdo, L"NoBaudCheck", &value))) {
        Port->NoBaudCheck = value;
    }
    Port->TxAllowNullPacket = 1;
    if (NT_SUCCESS(ReadRegistryDword(pdo, L"TxAllowNullPacket", &value))) {
        Port->TxAllowNullPacket = value;
    }
    // "EndPointCaps" is read by AddDevice, which refuses values without a device variant.
}

_IRQL_requires_max_(PASSIVE_LEVEL)
NTSTATUS InitPortExtension(PDEVICE_OBJECT DeviceObject, ULONG EndPointCaps) {
    PAGED_CODE();
    PortExtension* port = GetPortExtension(DeviceObject);
    // An inrush stack gets its power requests at DISPATCH_LEVEL, where the power transitions
    // (which wait for the device) cannot run.
    if (port->LowerDeviceObject->Flags & DO_POWER_INRUSH) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "the lower device needs inrush power: not supported");
        return STATUS_NOT_SUPPORTED;
    }

    DeviceObject->Flags |= DO_BUFFERED_IO;
    // Power requests at PASSIVE_LEVEL whatever the stack below: the transitions wait.
    DeviceObject->Flags |= DO_POWER_PAGABLE;

    port->EndPointCaps = EndPointCaps;
    port->DeviceObject = DeviceObject;

    NTSTATUS status = NamePipe(port->RxPipe.Name, &port->RxPipe.RxPipeFile, DeviceObject, L"\\PIPE01");
    if (NT_SUCCESS(status)) {
        status = NamePipe(port->TxPipe.Name, &port->TxPipe.TxPipeFile, DeviceObject, L"\\PIPE00");
    }
    if (NT_SUCCESS(status) && EndPointCaps != 0) {
        status = NamePipe(port->StatusPipe.Name, &port->StatusPipe.StatusPipeFile, DeviceObject, L"\\PIPE02");
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The device's own acquisition, released by removal.
    IoInitializeRemoveLock(&port->RemoveLock, REMOVE_LOCK_TAG, 1, 10);
    IoAcquireRemoveLock(&port->RemoveLock, NULL);

    port->ReaderStopped = TRUE;
    KeInitializeEvent(&port->ReaderStoppedEvent, SynchronizationEvent, FALSE);
    port->StatusPollStopped = TRUE;
    KeInitializeEvent(&port->StatusPollStoppedEvent, SynchronizationEvent, FALSE);
    port->TxStopped = TRUE;
    KeInitializeEvent(&port->TxIdleEvent, NotificationEvent, TRUE);

    KeInitializeEvent(&port->ModemControlLock, SynchronizationEvent, TRUE);
    KeInitializeEvent(&port->PortStateLock, SynchronizationEvent, TRUE);
    KeInitializeSpinLock(&port->CommStatusLock);
    KeInitializeSpinLock(&port->WaitLock);
    KeInitializeDeviceQueue(&port->ReadQueue);

    port->Timeouts.ReadIntervalTimeout = MAXULONG;
    port->Timeouts.ReadTotalTimeoutMultiplier = 0;
    port->Timeouts.ReadTotalTimeoutConstant = 0;
    port->Timeouts.WriteTotalTimeoutMultiplier = 0;
    port->Timeouts.WriteTotalTimeoutConstant = 0;
    port->LineControl.StopBits = 0;
    port->LineControl.Parity = 0;
    port->LineControl.WordLength = 8;
    port->BaudRate = 115200;
    port->RxQueueSize = 4096;
    port->TxQueueSize = 4096;
    port->ReadTimeoutMode = ReadModeImmediate;

    // The timers' DPCs are bound by the receive and transmit paths that own them.
    KeInitializeTimer(&port->RxPollTimer);
    KeInitializeTimer(&port->ReadIntervalTimer);
    KeInitializeTimer(&port->ReadTotalTimer);
    InitReceivePath(port);

    ReadConfiguration(port);

    KeInitializeTimer(&port->TxKickTimer);
    KeInitializeDpc(&port->TxKickDpc, TxKickRoutine, port);
    port->TxKickDelay = -100000;  // 10 ms, relative

    RingInit(&port->RxBuffer);
    RingInit(&port->TxBuffer);
    status = RingAllocate(&port->TxBuffer, port->TxQueueSize);
    if (!NT_SUCCESS(status)) {
        VCOM_TRACE(TRACE_LEVEL_ERROR, "no memory for the transmit buffer");
        // AddDevice deletes the device: give back the device's own acquisition first.
        IoReleaseRemoveLock(&port->RemoveLock, NULL);
        return status;
    }

    KeInitializeTimer(&port->StatusPollTimer);

    if (port->TxAsync) {
        InitAsyncTransmit(port);
    } else {
        InitSyncTransmit(port);
    }

    port->PowerState = PowerStateNone;
    port->PnpState = NotStarted;
    port->PreviousPnpState = NotStarted;
    return STATUS_SUCCESS;
}

NTSTATUS ReadRegistryDword(PDEVICE_OBJECT PhysicalDeviceObject, PCWSTR ValueName, PULONG Result) {
    HANDLE key;
    NTSTATUS status = IoOpenDeviceRegistryKey(PhysicalDeviceObject, PLUGPLAY_REGKEY_DEVICE,
                                              KEY_ALL_ACCESS, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WCHAR nameBuffer[256];
    ULONG length = 0;
    while (ValueName[length] != 0) {
        if (length + 1 >= 256) {
            ZwClose(key);
            return STATUS_BUFFER_OVERFLOW;
        }
        nameBuffer[length] = ValueName[length];
        length++;
    }
    nameBuffer[length] = 0;
    UNICODE_STRING name;
    name.Buffer = nameBuffer;
    name.Length = (USHORT)(length * sizeof(WCHAR));
    name.MaximumLength = (USHORT)(name.Length + sizeof(WCHAR));

    // Header, name and one 32-bit number.
    ULONG size = name.MaximumLength + 28;
    PKEY_VALUE_FULL_INFORMATION info =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(PagedPool, size, FILTER_POOL_TAG);
    if (!info) {
        ZwClose(key);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG returned = 0;
    status = ZwQueryValueKey(key, &name, KeyValueFullInformation, info, size, &returned);
    if (NT_SUCCESS(status)) {
        // Data shorter than a number is not a number: treat the value as absent rather than
        // read bytes that are not the value's.
        if (info->DataLength < sizeof(ULONG) || info->DataOffset > size ||
            size - info->DataOffset < sizeof(ULONG)) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else {
            ULONG value;
            RtlCopyMemory(&value, (PUCHAR)info + info->DataOffset, sizeof(value));
            *Result = value;
        }
    }
    ExFreePoolWithTag(info, FILTER_POOL_TAG);
    ZwClose(key);
    return status;
}

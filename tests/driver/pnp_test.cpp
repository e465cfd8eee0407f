// Device creation, naming and the Plug and Play state machine, on the emulated kernel with a
// pass-through lower driver.
#include <gtest/gtest.h>

#include <functional>

#include "bed.h"

namespace {

using vcomtest::PortBed;

constexpr ULONG kNoSuchValue = 0xdeadbeef;

// ---- registry configuration ----------------------------------------------------------------

TEST(Configuration, DefaultsWithoutValues) {
    PortBed bed;
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    PortExtension* p = bed.Ext();
    EXPECT_EQ(p->RxReqSize, 0u);
    EXPECT_EQ(p->RxPollPeriod, 0u);
    EXPECT_EQ(p->CtlPollPeriod, 10);
    EXPECT_EQ(p->TxKickThreshold, 0u);
    EXPECT_EQ(p->TxAsync, 0u);
    EXPECT_EQ(p->NoBaudCheck, 0u);
    EXPECT_EQ(p->TxAllowNullPacket, 1u);
    EXPECT_EQ(p->EndPointCaps, 0u);
    EXPECT_EQ(p->StatusPipe.Name[0], 0);
    EXPECT_EQ(p->StatusPipe.StatusPipeFile.FileName.Buffer, nullptr);
    EXPECT_EQ(vcomtest::Text(p->RxPipe.RxPipeFile.FileName), u"\\PIPE01");
    EXPECT_EQ(vcomtest::Text(p->TxPipe.TxPipeFile.FileName), u"\\PIPE00");
    EXPECT_EQ(p->RxPipe.RxPipeFile.DeviceObject, bed.Port());
    // Serial defaults
    EXPECT_EQ(p->BaudRate, 115200u);
    EXPECT_EQ(p->LineControl.WordLength, 8);
    EXPECT_EQ(p->LineControl.Parity, 0);
    EXPECT_EQ(p->LineControl.StopBits, 0);
    EXPECT_EQ(p->RxQueueSize, 4096u);
    EXPECT_EQ(p->TxQueueSize, 4096u);
    EXPECT_EQ(p->Timeouts.ReadIntervalTimeout, MAXULONG);
    EXPECT_EQ(p->Timeouts.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(p->Timeouts.WriteTotalTimeoutConstant, 0u);
    EXPECT_EQ(p->TxBuffer.Size, 4096u);
    EXPECT_EQ(p->RxBuffer.Data, nullptr);
    EXPECT_EQ(p->PnpState, NotStarted);
    EXPECT_EQ(p->PowerState, PowerStateNone);
    EXPECT_TRUE(p->ReaderStopped && p->StatusPollStopped && p->TxStopped);
    EXPECT_TRUE(bed.Port()->Flags & DO_BUFFERED_IO);
    EXPECT_FALSE(bed.Port()->Flags & DO_DEVICE_INITIALIZING);
}

TEST(Configuration, ValuesAndClamps) {
    struct Case { ULONG set; ULONG expect; };
    for (Case c : {Case{0, 1}, Case{1, 1}, Case{4095, 4095}, Case{4096, 2048}, Case{MAXULONG, 2048}}) {
        PortBed bed;
        bed.SetDword(u"TxKickThreshold", c.set);
        bed.SetDword(u"CtlPollPeriod", MAXULONG);
        bed.SetDword(u"RxReqSize", 300);
        bed.SetDword(u"TxAsync", 7);
        bed.SetDword(u"TxAllowNullPacket", 0);
        bed.SetDword(u"EndPointCaps", 3);
        ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
        EXPECT_EQ(bed.Ext()->TxKickThreshold, c.expect) << "set " << c.set;
        EXPECT_EQ(bed.Ext()->CtlPollPeriod, -1);  // polling off
        EXPECT_EQ(bed.Ext()->RxReqSize, 300u);
        EXPECT_EQ(bed.Ext()->TxAsync, 7u);
        EXPECT_EQ(bed.Ext()->TxAllowNullPacket, 0u);
        EXPECT_EQ(bed.Ext()->EndPointCaps, 3u);
        EXPECT_EQ(vcomtest::Text(bed.Ext()->StatusPipe.StatusPipeFile.FileName), u"\\PIPE02");
    }
}

TEST(Configuration, StringsAndShortValues) {
    PortBed bed;
    bed.SetString(u"RxReqSize", u"AB");                // 6 bytes: the first four are taken
    bed.SetString(u"RxPollPeriod", std::u16string(40, u'x'));  // too long: default
    bed.SetBinary(u"CtlPollPeriod", {1, 2});            // shorter than a number: default
    bed.SetBinary(u"TxAllowNullPacket", {});
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    EXPECT_EQ(bed.Ext()->RxReqSize, ULONG(u'A') | (ULONG(u'B') << 16));
    EXPECT_EQ(bed.Ext()->RxPollPeriod, 0u);
    EXPECT_EQ(bed.Ext()->CtlPollPeriod, 10);
    EXPECT_EQ(bed.Ext()->TxAllowNullPacket, 1u);
}

TEST(Configuration, ReadRegistryDwordLeavesResultOnFailure) {
    PortBed bed;
    bed.SetBinary(u"Short", {9, 9, 9});
    bed.SetDword(u"Number", 42);
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    PDEVICE_OBJECT pdo = bed.Ext()->PhysicalDeviceObject;
    ULONG result = kNoSuchValue;
    EXPECT_FALSE(NT_SUCCESS(ReadRegistryDword(pdo, L"Short", &result)));
    EXPECT_FALSE(NT_SUCCESS(ReadRegistryDword(pdo, L"Missing", &result)));
    EXPECT_EQ(result, kNoSuchValue);
    std::u16string longName(300, u'n');
    EXPECT_EQ(ReadRegistryDword(pdo, (PCWSTR)longName.c_str(), &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(ReadRegistryDword(pdo, L"Number", &result), STATUS_SUCCESS);
    EXPECT_EQ(result, 42u);
    // No memory for the query: a failure, result untouched.
    result = kNoSuchValue;
    emu::pool::FailNthWithTag(FILTER_POOL_TAG, 1);
    EXPECT_EQ(ReadRegistryDword(pdo, L"Number", &result), STATUS_INSUFFICIENT_RESOURCES);
    emu::pool::ClearFaults();
    EXPECT_EQ(result, kNoSuchValue);
}

TEST(Configuration, UnreadableKeyGivesDefaults) {
    PortBed bed;
    bed.SetDword(u"CtlPollPeriod", 99);
    bed.FailHardwareKeyOpen(true);
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    EXPECT_EQ(bed.Ext()->CtlPollPeriod, 10);
    EXPECT_EQ(bed.Ext()->TxAllowNullPacket, 1u);
}

// Capabilities naming no device variant, and an inrush power stack (its power requests come at
// DISPATCH_LEVEL, where the port's power transitions cannot wait for the device): refused at once.
TEST(Configuration, StacksThePortCannotServeAreRefused) {
    struct Case { const char* what; std::function<void(PortBed&)> set; NTSTATUS expect; };
    const Case cases[] = {
        {"caps 4", [](PortBed& b) { b.SetDword(u"EndPointCaps", 4); }, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"caps 5", [](PortBed& b) { b.SetDword(u"EndPointCaps", 5); }, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"caps -1", [](PortBed& b) { b.SetDword(u"EndPointCaps", MAXULONG); }, STATUS_DEVICE_CONFIGURATION_ERROR},
        {"inrush", [](PortBed& b) { b.SetLowerFlags(DO_POWER_INRUSH); }, STATUS_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PortBed bed;
        c.set(bed);
        EXPECT_EQ(bed.Add(), c.expect);
        EXPECT_EQ(bed.DeviceCount(), 0u);
        EXPECT_EQ(bed.EnabledInterfaceCount(), 0u);
        EXPECT_FALSE(bed.LowerHasAttachment());
    }
}

// ---- device creation -----------------------------------------------------------------------

TEST(Creation, FirstFreeNumberAndReuse) {
    PortBed bed;
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    EXPECT_EQ(vcomtest::Text(bed.Ext(0)->DeviceName), u"\\Device\\zelcom0");
    EXPECT_EQ(vcomtest::Text(bed.Ext(2)->DeviceName), u"\\Device\\zelcom2");
    EXPECT_EQ(bed.Ext(2)->DeviceName.MaximumLength, bed.Ext(2)->DeviceName.Length + 2);
    EXPECT_EQ(bed.Port(0)->DeviceType, (DEVICE_TYPE)FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(bed.InterfaceEnabled(0));
    EXPECT_EQ(bed.PnpTo(0, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    EXPECT_EQ(vcomtest::Text(bed.Ext(3)->DeviceName), u"\\Device\\zelcom0");
}

TEST(Creation, ThousandCollisions) {
    PortBed bed;
    bed.OccupyDeviceNames(0, 1000);
    EXPECT_EQ(bed.Add(), STATUS_OBJECT_NAME_COLLISION);
    bed.ReleaseDeviceName(999);
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    EXPECT_EQ(vcomtest::Text(bed.Ext()->DeviceName), u"\\Device\\zelcom999");
}

// The device name buffer, the transmit buffer or the interface failing: a port is not left
// half-made.
TEST(Creation, FailuresUndoEverything) {
    struct Case { const char* what; void (*arm)(); };
    const Case cases[] = {
        {"device name", [] { emu::pool::FailNthWithTag(INIT_POOL_TAG, 1); }},
        {"transmit buffer", [] { emu::pool::FailNthWithTag(RING_POOL_TAG, 1); }},
        {"interface", [] { emu::io::FailNextInterfaceEnable(STATUS_INSUFFICIENT_RESOURCES); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PortBed bed;
        c.arm();
        EXPECT_EQ(bed.Add(), STATUS_INSUFFICIENT_RESOURCES);
        emu::pool::ClearFaults();
        EXPECT_EQ(bed.DeviceCount(), 0u);
        EXPECT_EQ(bed.EnabledInterfaceCount(), 0u);
        ASSERT_EQ(bed.Add(), STATUS_SUCCESS);  // nothing left behind: number 0 is free again
        EXPECT_EQ(vcomtest::Text(bed.Ext()->DeviceName), u"\\Device\\zelcom0");
    }
}

TEST(Creation, FormatUnicodeString) {
    WCHAR buffer[8];
    UNICODE_STRING s{0, sizeof(buffer), buffer};
    EXPECT_EQ(FormatUnicodeString(&s, L"ab%lu", 12345u), STATUS_SUCCESS);
    EXPECT_EQ(vcomtest::Text(s), u"ab12345");
    EXPECT_EQ(FormatUnicodeString(&s, L"abc%lu", 123456u), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(s.Length, sizeof(buffer));
    UNICODE_STRING odd{0, 7, buffer};
    EXPECT_EQ(FormatUnicodeString(&odd, L"x"), STATUS_INVALID_PARAMETER);
    UNICODE_STRING over{10, 8, buffer};
    EXPECT_EQ(FormatUnicodeString(&over, L"x"), STATUS_INVALID_PARAMETER);
    UNICODE_STRING none{0, 8, nullptr};
    EXPECT_EQ(FormatUnicodeString(&none, L"x"), STATUS_INVALID_PARAMETER);
}

// ---- naming --------------------------------------------------------------------------------

// COM7, and the longest name that fits.
TEST(Naming, LinkAndDeviceMap) {
    for (const std::u16string& name : {std::u16string(u"COM7"), std::u16string(116, u'P')}) {
        PortBed bed;
        bed.SetString(u"PortName", name);
        ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
        EXPECT_FALSE(bed.LinkTarget(u"\\DosDevices\\" + name));  // not before the start
        EXPECT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(bed.LinkTarget(u"\\DosDevices\\" + name), u"\\Device\\zelcom0");
        auto entry = bed.DeviceMap(u"\\Device\\zelcom0");
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->type, (ULONG)REG_SZ);
        EXPECT_EQ(entry->data.size(), (name.size() + 1) * 2);
        EXPECT_EQ(vcomtest::Utf16(entry->data), name + u'\0');
        EXPECT_EQ(bed.Ext()->PnpState, Started);
        EXPECT_EQ(bed.Ext()->PowerState, PowerStateOn);
    }
}

TEST(Naming, BadPortNamesFailTheStartCleanly) {
    struct Case { const char* what; std::function<void(PortBed&)> set; NTSTATUS expect; };
    std::vector<Case> cases = {
        {"missing", [](PortBed&) {}, STATUS_OBJECT_NAME_NOT_FOUND},
        {"empty", [](PortBed& b) { b.SetString(u"PortName", u""); }, STATUS_OBJECT_NAME_INVALID},
        {"117 chars", [](PortBed& b) { b.SetString(u"PortName", std::u16string(117, u'C')); },
         STATUS_BUFFER_OVERFLOW},
        {"data over 256 bytes",
         [](PortBed& b) { b.SetBinary(u"PortName", std::vector<uint8_t>(258, 'A')); },
         STATUS_BUFFER_OVERFLOW},
    };
    for (auto& c : cases) {
        PortBed bed;
        c.set(bed);
        ASSERT_EQ(bed.Add(), STATUS_SUCCESS) << c.what;
        EXPECT_EQ(bed.Pnp(IRP_MN_START_DEVICE), c.expect) << c.what;
        EXPECT_EQ(bed.LinkCount(), 0u) << c.what;
        EXPECT_FALSE(bed.DeviceMap(u"\\Device\\zelcom0")) << c.what;
        EXPECT_EQ(bed.Ext()->SymbolicLinkName.Buffer, nullptr) << c.what;
        EXPECT_EQ(bed.Ext()->PowerState, PowerStateNone) << c.what;
    }
}

TEST(Naming, RetriedStartNamesThePortWithoutLeaking) {
    PortBed bed;
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    EXPECT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(bed.Ext()->PnpState, Started);
    EXPECT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_OBJECT_NAME_NOT_FOUND);
    bed.SetString(u"PortName", u"COM3");
    // Even after a stop, a port that has no name yet is named at the next start.
    EXPECT_EQ(bed.Pnp(IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bed.LinkTarget(u"\\DosDevices\\COM3"), u"\\Device\\zelcom0");
    EXPECT_EQ(bed.Ext()->PowerState, PowerStateOn);
    EXPECT_EQ(emu::pool::Outstanding(bed.Driver())[INIT_POOL_TAG].allocations, 2u);  // device and link names
}

TEST(Naming, LinkCollisionLeavesNoMapEntry) {
    PortBed bed;
    bed.SetString(u"PortName", u"COM7");
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    bed.OccupyLink(u"\\DosDevices\\COM7");
    EXPECT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_FALSE(bed.DeviceMap(u"\\Device\\zelcom0"));
}

// ---- Plug and Play -------------------------------------------------------------------------

TEST(Pnp, EveryMinorCodeMovesTheStateAndReachesTheLowerDriver) {
    PortBed bed;
    bed.SetString(u"PortName", u"COM7");
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    ASSERT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    struct Step { UCHAR minor; LONG state; bool success; };
    const Step steps[] = {
        {IRP_MN_CANCEL_STOP_DEVICE, Started, true},     // not stop-pending: unchanged
        {IRP_MN_QUERY_STOP_DEVICE, StopPending, true},
        {IRP_MN_CANCEL_STOP_DEVICE, Started, true},
        {IRP_MN_QUERY_REMOVE_DEVICE, RemovePending, true},
        {IRP_MN_CANCEL_REMOVE_DEVICE, Started, true},
        {IRP_MN_CANCEL_REMOVE_DEVICE, Started, true},
        {IRP_MN_QUERY_STOP_DEVICE, StopPending, true},
        {IRP_MN_STOP_DEVICE, Stopped, true},
        {IRP_MN_QUERY_CAPABILITIES, Stopped, false},
        {IRP_MN_QUERY_ID, Stopped, false},
        {IRP_MN_QUERY_DEVICE_RELATIONS, Stopped, false},
        {IRP_MN_QUERY_PNP_DEVICE_STATE, Stopped, false},
    };
    for (const Step& s : steps) {
        bed.lower().seen.clear();
        bed.lower().answer = STATUS_NOT_SUPPORTED;  // the lower driver's status is what returns
        EXPECT_EQ(bed.Pnp(s.minor, STATUS_NOT_SUPPORTED), STATUS_NOT_SUPPORTED) << int(s.minor);
        EXPECT_EQ(bed.Ext()->PnpState, s.state) << int(s.minor);
        ASSERT_EQ(bed.lower().seen.size(), 1u);
        EXPECT_EQ(bed.lower().seen[0].minor, s.minor);
        EXPECT_EQ(bed.lower().seen[0].status, s.success ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED)
            << int(s.minor);
    }
    bed.lower().answer = STATUS_SUCCESS;
    // A start after a stop does not rename: the link stays as it was.
    EXPECT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bed.Ext()->PnpState, Started);
    EXPECT_EQ(bed.LinkTarget(u"\\DosDevices\\COM7"), u"\\Device\\zelcom0");
    EXPECT_EQ(bed.LinkCount(), 1u);
}

TEST(Pnp, StartFailedByLowerDriver) {
    PortBed bed;
    bed.SetString(u"PortName", u"COM7");
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    for (bool pend : {false, true}) {
        bed.lower().answer = STATUS_DEVICE_NOT_READY;
        bed.lower().pend = pend;
        EXPECT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(bed.Ext()->PnpState, NotStarted);
        EXPECT_EQ(bed.LinkCount(), 0u);
    }
    bed.lower().answer = STATUS_SUCCESS;
    bed.lower().pend = true;  // a pending start is waited for
    EXPECT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bed.LinkTarget(u"\\DosDevices\\COM7"), u"\\Device\\zelcom0");
}

TEST(Pnp, SurpriseRemovalThenRemovalUndoesOnce) {
    PortBed bed;
    bed.SetString(u"PortName", u"COM7");
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    ASSERT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bed.Pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(bed.Ext()->SurpriseRemoved);
    EXPECT_EQ(bed.Ext()->PnpState, SurpriseRemovedState);
    EXPECT_FALSE(bed.LinkTarget(u"\\DosDevices\\COM7"));
    EXPECT_FALSE(bed.DeviceMap(u"\\Device\\zelcom0"));
    EXPECT_FALSE(bed.InterfaceEnabled(0));

    // Requests after the flag: opens, reads and writes refused, others passed down unchanged.
    std::unique_ptr<emu::io::File> late;
    EXPECT_EQ(emu::io::File::Open(u"\\Device\\zelcom0", &late), STATUS_DELETE_PENDING);
    EXPECT_EQ(bed.Ext()->OpenCount, 0);
    EXPECT_EQ(bed.Send(IRP_MJ_READ), STATUS_DELETE_PENDING);
    EXPECT_EQ(bed.Send(IRP_MJ_WRITE), STATUS_DELETE_PENDING);
    for (UCHAR major : {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_SYSTEM_CONTROL}) {
        bed.lower().seen.clear();
        bed.lower().answer = STATUS_INVALID_DEVICE_REQUEST;
        EXPECT_EQ(bed.Send(major), STATUS_INVALID_DEVICE_REQUEST);
        ASSERT_EQ(bed.lower().seen.size(), 1u);
        EXPECT_EQ(bed.lower().seen[0].major, major);
    }
    bed.lower().answer = STATUS_SUCCESS;
    // Someone else takes the name meanwhile; removal must not undo the naming a second time.
    bed.OccupyLink(u"\\DosDevices\\COM7");
    bed.SetDeviceMapValue(u"\\Device\\zelcom0", u"COM9");
    EXPECT_EQ(bed.Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bed.LinkTarget(u"\\DosDevices\\COM7"), u"\\Device\\Elsewhere");
    EXPECT_TRUE(bed.DeviceMap(u"\\Device\\zelcom0"));
    EXPECT_EQ(bed.DeviceCount(), 0u);
}

TEST(Pnp, RemovalTearsDownAndUnloadLeavesNoPool) {
    PortBed bed;
    bed.SetString(u"PortName", u"COM7");
    bed.SetDword(u"TxAsync", 1);
    ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
    ASSERT_EQ(bed.Pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(bed.Pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    // The port is torn down before the lower driver handles the removal, and sends it nothing
    // afterwards: the lower device may be gone by then.
    size_t linksAtRemoval = SIZE_MAX;
    bed.lower().onRequest = [&](PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
            linksAtRemoval = bed.LinkCount();
        }
    };
    bed.lower().seen.clear();
    EXPECT_EQ(bed.Pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(linksAtRemoval, 0u);
    ASSERT_FALSE(bed.lower().seen.empty());
    EXPECT_EQ(bed.lower().seen.back().major, IRP_MJ_PNP);
    EXPECT_EQ(bed.lower().seen.back().minor, IRP_MN_REMOVE_DEVICE);
    EXPECT_EQ(bed.DeviceCount(), 0u);
    EXPECT_EQ(bed.LinkCount(), 0u);
    EXPECT_FALSE(bed.DeviceMap(u"\\Device\\zelcom0"));
    EXPECT_FALSE(bed.LowerHasAttachment());
    bed.Unload();
    EXPECT_TRUE(emu::pool::Outstanding(bed.Driver()).empty());
}

TEST(Frame, DriverEntryFailsWithoutMemory) {
    PortBed bed(/*load=*/false);
    emu::pool::FailNthWithTag(FILTER_POOL_TAG, 1);
    EXPECT_EQ(bed.Load(), STATUS_INSUFFICIENT_RESOURCES);
    emu::pool::ClearFaults();
    EXPECT_EQ(bed.Load(), STATUS_SUCCESS);
    EXPECT_EQ(vcomtest::Text(RegistryPathCopy), vcomtest::Text(bed.RegistryPath()));
    EXPECT_EQ(RegistryPathCopy.MaximumLength, RegistryPathCopy.Length + 2);
    EXPECT_EQ(RegistryPathCopy.Buffer[RegistryPathCopy.Length / 2], 0);
    PDRIVER_OBJECT d = bed.DriverObject();
    EXPECT_EQ(d->MajorFunction[IRP_MJ_READ], DispatchReadWrite);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_PNP], DispatchPnp);
    EXPECT_EQ(d->MajorFunction[IRP_MJ_QUERY_INFORMATION], DispatchDefault);
    EXPECT_EQ(d->DriverExtension->AddDevice, AddDevice);
}

TEST(Frame, FlushCompletesAtOnceWhenIdle) {
    for (ULONG async : {0u, 1u}) {
        PortBed bed;
        bed.SetDword(u"TxAsync", async);
        ASSERT_EQ(bed.Add(), STATUS_SUCCESS);
        LONGLONG before = emu::Now();
        EXPECT_EQ(bed.Send(IRP_MJ_FLUSH_BUFFERS), STATUS_SUCCESS);
        EXPECT_EQ(emu::Now(), before);
    }
}

}  // namespace

// The PnP manager sends requests as Windows does (PASSIVE_LEVEL, STATUS_NOT_SUPPORTED to start
// with, to the top of the stack, down to the bus) and reports stacks that break the rules.
#include <gtest/gtest.h>

#include <vector>

#include "emu/pnp.h"
#include "emu/verifier.h"
#include "wdm.h"

namespace {

using emu::verifier::ExpectFaults;
using emu::verifier::Fault;

struct Seen {
    UCHAR major, minor;
    KIRQL irql;
    NTSTATUS initial;
};
std::vector<Seen> gSeen;
bool gDeleteOnRemove = true;
bool gClearInitializing = true;
PDEVICE_OBJECT gLower = nullptr;

NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
    gSeen.push_back({sp->MajorFunction, sp->MinorFunction, KeGetCurrentIrql(), irp->IoStatus.Status});
    bool remove = sp->MajorFunction == IRP_MJ_PNP && sp->MinorFunction == IRP_MN_REMOVE_DEVICE;
    if (sp->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = sp->MajorFunction == IRP_MJ_POWER ? PoCallDriver(gLower, irp) : IoCallDriver(gLower, irp);
    if (remove && gDeleteOnRemove) {
        IoDetachDevice(gLower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    gLower = IoAttachDeviceToDeviceStack(device, pdo);
    if (gClearInitializing) device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    for (auto& f : driver->MajorFunction) f = PassDown;
    driver->DriverExtension->AddDevice = AddDevice;
    // The registry path names the service and stays valid after DriverEntry.
    static const char16_t kTail[] = u"\\Services\\pnpmgr";
    size_t n = sizeof kTail / sizeof kTail[0] - 1;
    size_t len = path->Length / sizeof(WCHAR);
    bool ok = len >= n;
    for (size_t i = 0; ok && i < n; ++i) ok = path->Buffer[len - n + i] == static_cast<WCHAR>(kTail[i]);
    return ok ? STATUS_SUCCESS : STATUS_OBJECT_NAME_INVALID;
}

TEST(PnpManager, RequestsArriveAtPassiveWithNotSupportedAndBusAnswersPropagate) {
    gSeen.clear();
    gDeleteOnRemove = gClearInitializing = true;
    NTSTATUS loaded;
    PDRIVER_OBJECT driver = emu::pnp::LoadDriver("pnpmgr", Entry, &loaded);
    ASSERT_NE(driver, nullptr) << std::hex << loaded;
    {
        auto node = emu::pnp::DeviceNode::Create("ROOT\\PNPMGR\\0", {}, {driver});
        EXPECT_EQ(node->Start(), STATUS_SUCCESS);
        ASSERT_EQ(gSeen.size(), 1u);
        EXPECT_EQ(gSeen[0].minor, IRP_MN_START_DEVICE);
        EXPECT_EQ(gSeen[0].irql, PASSIVE_LEVEL);
        EXPECT_EQ(gSeen[0].initial, STATUS_NOT_SUPPORTED);

        node->SetBusAnswer(IRP_MN_QUERY_STOP_DEVICE, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(node->QueryStop(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(node->SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
        node->SetBusPowerAnswer(STATUS_DEVICE_NOT_READY);
        EXPECT_EQ(node->QueryDevicePower(PowerDeviceD0), STATUS_DEVICE_NOT_READY);

        ULONG_PTR info = 0;
        EXPECT_EQ(node->Send(IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryDeviceID; },
                             &info),
                  STATUS_SUCCESS);
        ASSERT_NE(info, 0u);
        ExFreePool(reinterpret_cast<PVOID>(info));

        EXPECT_EQ(node->Remove(), STATUS_SUCCESS);
        auto log = node->BusLog();
        std::vector<std::pair<UCHAR, UCHAR>> expected = {
            {IRP_MJ_PNP, IRP_MN_START_DEVICE},        {IRP_MJ_PNP, IRP_MN_QUERY_STOP_DEVICE},
            {IRP_MJ_POWER, IRP_MN_SET_POWER},         {IRP_MJ_POWER, IRP_MN_QUERY_POWER},
            {IRP_MJ_PNP, IRP_MN_QUERY_ID},            {IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE},
        };
        EXPECT_EQ(log, expected);
    }
    emu::pnp::UnloadDriver(driver);
}

TEST(PnpManager, DeviceLeftAfterRemoveAndInitializingLeftSetAreReported) {
    PDRIVER_OBJECT driver = emu::pnp::LoadDriver("pnpmgr", Entry);
    ASSERT_NE(driver, nullptr);
    ExpectFaults faults;
    gClearInitializing = false;
    gDeleteOnRemove = false;
    auto node = emu::pnp::DeviceNode::Create("ROOT\\PNPMGR\\1", {}, {driver});
    EXPECT_TRUE(faults.Saw(Fault::ObjectMisuse));
    faults.Take();
    PDEVICE_OBJECT mine = node->Top();
    node->Remove();
    EXPECT_TRUE(faults.Saw(Fault::ObjectMisuse));
    IoDetachDevice(gLower);
    IoDeleteDevice(mine);
    node.reset();
    faults.Take();
    gClearInitializing = gDeleteOnRemove = true;
    emu::pnp::UnloadDriver(driver);
}

}  // namespace

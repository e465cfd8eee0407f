// Device power: leaving D0 stops the port's transfers, returning to D0 while open restarts them.
#include <atomic>

#include "control_util.h"

using namespace vcomtest;
using usbpipe::kRx;
using usbpipe::kStatus;

TEST(Power, LeavingD0StopsTransfersUntilD0Returns) {
    Stack s(Variant(1));
    auto& f = s.OpenOk();
    emu::RunUntilIdle();
    EXPECT_EQ(s.dev().Pending(kRx), 1u);
    s.TakeCommands();

    EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(s.Ext()->PowerState, PowerStateOff);
    EXPECT_TRUE(s.Ext()->ReaderStopped);
    EXPECT_TRUE(s.Ext()->StatusPollStopped);
    EXPECT_TRUE(s.Ext()->TxStopped);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    EXPECT_EQ(s.dev().Pending(kStatus), 0u);
    EXPECT_TRUE(s.TakeCommands().empty());

    // A read while powered down does not restart the reader; bytes wait in the device.
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{}), STATUS_SUCCESS);  // reads wait for all their bytes
    s.dev().Inject({1, 2, 3});
    auto read = f.ReadAsync(3);
    emu::AdvanceTime(100);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    EXPECT_FALSE(read.Done());

    // Whatever the lines were, D0 asserts DTR and RTS again and resends the line settings.
    ChangeModemControl(s.Ext(), 0xFF, 0, FALSE);
    EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(s.Ext()->PowerState, PowerStateOn);
    EXPECT_EQ(s.TakeCommands(), (std::vector<Bytes>{{0x03, 0x01}, {0x01, 0x03}, {0x00, 0x07}}));
    EXPECT_EQ(s.Ext()->ModemControl, 0x03);
    read.Wait();
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Data(), (Bytes{1, 2, 3}));
    EXPECT_FALSE(s.Ext()->TxStopped);
    EXPECT_EQ(s.dev().OpenCount(kRx), 1);  // the pipes stayed open
}

TEST(Power, QueryBelowD0StopsThePortToo) {
    Stack s(Variant(1));
    s.OpenOk();
    emu::RunUntilIdle();
    EXPECT_EQ(s.node().QueryDevicePower(PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(s.Ext()->PowerState, PowerStateOff);
    EXPECT_TRUE(s.Ext()->ReaderStopped);
    emu::AdvanceTime(100);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    // A query of D0 changes nothing; only a set of D0 restarts.
    EXPECT_EQ(s.node().QueryDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_TRUE(s.Ext()->ReaderStopped);
    EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    emu::RunUntilIdle();
    EXPECT_EQ(s.dev().Pending(kRx), 1u);
}

TEST(Power, D0WithThePortClosedOnlyRecordsTheState) {
    Stack s(Variant(1));
    auto aborts = s.dev().RequestCount(usbpipe::RequestKind::Abort);
    auto resets = s.dev().RequestCount(usbpipe::RequestKind::Reset);
    EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(s.Ext()->PowerState, PowerStateOff);
    EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(s.Ext()->PowerState, PowerStateOn);
    EXPECT_TRUE(s.TakeCommands().empty());
    // Nothing is sent on pipes that are not open, by the power-down nor the removal.
    EXPECT_EQ(s.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(s.dev().RequestCount(usbpipe::RequestKind::Abort), aborts);
    EXPECT_EQ(s.dev().RequestCount(usbpipe::RequestKind::Reset), resets);
}

TEST(Power, SystemRequestsPassThroughUntouched) {
    Stack s(Variant(1));
    s.OpenOk();
    emu::RunUntilIdle();
    s.TakeCommands();
    size_t before = s.node().BusLog().size();
    auto& n = s.node();
    EXPECT_EQ(n.SendPower(IRP_MN_QUERY_POWER, SystemPowerState, {.SystemState = PowerSystemSleeping3}), STATUS_SUCCESS);
    EXPECT_EQ(n.SendPower(IRP_MN_SET_POWER, SystemPowerState, {.SystemState = PowerSystemWorking}), STATUS_SUCCESS);
    EXPECT_EQ(n.SendPower(IRP_MN_SET_POWER, DevicePowerState, {.DeviceState = PowerDeviceUnspecified}), STATUS_SUCCESS);
    EXPECT_EQ(s.node().BusLog().size(), before + 3);
    EXPECT_EQ(s.Ext()->PowerState, PowerStateOn);
    EXPECT_FALSE(s.Ext()->ReaderStopped);
    EXPECT_TRUE(s.TakeCommands().empty());
}

// A D0 the lower driver fails leaves the device unpowered: the port is not restarted on it, and
// the lower driver's status is what the power manager sees.
TEST(Power, FailedD0DoesNotRestart) {
    Stack s(Variant(1));
    s.OpenOk();
    emu::RunUntilIdle();
    EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
    s.TakeCommands();
    s.node().SetBusPowerAnswer(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(s.Ext()->PowerState, PowerStateOff);
    EXPECT_TRUE(s.TakeCommands().empty());
    EXPECT_TRUE(s.Ext()->ReaderStopped);
    s.node().SetBusPowerAnswer(STATUS_SUCCESS);
    EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(s.Ext()->PowerState, PowerStateOn);
    EXPECT_FALSE(s.Ext()->ReaderStopped);
}

// A D0 that arrives while the last close is taking the port apart waits for the close, then
// finds the port closed: nothing restarts, nothing reaches the device after the close's
// disable, and the next open reads its own bytes.
TEST(Power, D0DuringTheLastCloseRestartsNothing) {
    Stack s(Variant(1));
    s.OpenOk();
    emu::RunUntilIdle();
    s.TakeCommands();
    s.dev().SetCompletionDelay(10 * 10000);  // every request takes 10 ms
    std::atomic<NTSTATUS> closed{STATUS_PENDING}, powered{STATUS_PENDING};
    emu::Thread closer([&] { closed = s.Close(); }, "closer");
    emu::RunUntilIdle();  // the close waits on its first request
    emu::Thread power([&] { powered = s.node().SetDevicePower(PowerDeviceD0); }, "power");
    EXPECT_TRUE(emu::AdvanceTimeUntil([&] { return closed != STATUS_PENDING && powered != STATUS_PENDING; }));
    closer.join();
    power.join();
    s.dev().SetCompletionDelay(0);
    emu::AdvanceTime(100);
    EXPECT_EQ(powered.load(), STATUS_SUCCESS);
    EXPECT_TRUE(s.Ext()->ReaderStopped);
    EXPECT_TRUE(s.Ext()->StatusPollStopped);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    EXPECT_EQ(s.dev().Pending(kStatus), 0u);
    EXPECT_FALSE(s.dev().State().portEnabled);
    auto commands = s.TakeCommands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), (Bytes{0x03, 0x00}));  // the close's disable is the last word

    auto& f = s.OpenOk();
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_TIMEOUTS, SERIAL_TIMEOUTS{}), STATUS_SUCCESS);  // reads wait for all their bytes
    s.dev().Inject({7, 8, 9});
    auto read = f.Read(3);
    EXPECT_EQ(read.Status(), STATUS_SUCCESS);
    EXPECT_EQ(read.Data(), (Bytes{7, 8, 9}));
}

// Asynchronous writes complete once their bytes are buffered: a sleep in between must not drop
// a byte of them, buffered or in the transfer the power-down aborted, nor send one twice, nor
// hide them from the out-queue count. A synchronous write cut by the sleep reports what left.
TEST(Power, SleepKeepsEveryByteOfCompletedWrites) {
    struct Case {
        const char* name;
        bool async;
        bool paced;  // else stalled: the transfer has sent nothing when the power goes
    };
    for (Case c : {Case{"async, stalled", true, false}, Case{"async, cut on the line", true, true},
                   Case{"sync, cut on the line", false, true}}) {
        SCOPED_TRACE(c.name);
        Stack s(WithValue({}, u"TxAsync", c.async ? 1 : 0));
        auto& f = s.OpenOk();
        ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, 9600u), STATUS_SUCCESS);
        if (c.paced) {
            s.dev().SetPacing(true);
        } else {
            s.dev().StallTx(true);
        }
        Bytes a(100), b(50, 0x62);
        for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<uint8_t>(i);
        auto wa = f.WriteAsync(a.data(), 100);  // in flight
        emu::RunUntilIdle();
        auto wb = f.WriteAsync(b.data(), 50);   // behind it
        emu::AdvanceTime(30);                   // about 28 bytes on the line when paced
        EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD3), STATUS_SUCCESS);
        s.dev().StallTx(false);
        emu::RunUntilIdle();
        size_t left = s.dev().TxStream().size();
        EXPECT_EQ(s.dev().TxStream(), Bytes(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(left)));
        if (c.paced) {
            EXPECT_GT(left, 0u);
            EXPECT_LT(left, 100u);
        }
        ASSERT_TRUE(wa.Done());
        ASSERT_TRUE(wb.Done());
        if (!c.async) {
            EXPECT_EQ(wa.Status(), STATUS_CANCELLED);
            EXPECT_EQ(wa.Information(), left);
            EXPECT_EQ(wb.Information(), 0u);
            continue;
        }
        EXPECT_EQ(wa.Status(), STATUS_SUCCESS);
        EXPECT_EQ(wb.Status(), STATUS_SUCCESS);
        EXPECT_EQ(Get<SERIAL_STATUS>(f, IOCTL_SERIAL_GET_COMMSTATUS).AmountInOutQueue, 150u - left);

        EXPECT_EQ(s.node().SetDevicePower(PowerDeviceD0), STATUS_SUCCESS);
        emu::AdvanceTime(1000);
        Bytes all = a;
        all.insert(all.end(), b.begin(), b.end());
        EXPECT_EQ(s.dev().TxStream(), all);
    }
}

// Stopping the receive side when the abort that ends its transfers is not carried out: the
// transfers wait in the device until an abort reaches them, so the stop must get one there.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <vector>

#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "emu/win32.h"
#include "port.h"
#include "rig.h"
#include "usbpipe/usbpipe.h"

namespace {

using faults::OffClock;
using usbpipe::RequestKind;

// A started port (variant 3, loopback plug) opened through the Win32 API.
class PortStop : public ::testing::Test {
protected:
    void SetUp() override {
        emu::win32::DriveClockFromThisThread();
        device_ = usbpipe::Device::Create({.variant = 3});
        lower_ = OffClock([] { return emu::pnp::LoadDriver("UsbPipe", UsbPipeDriverEntry); });
        vcom_ = OffClock([] { return emu::pnp::LoadDriver("vcom", DriverEntry); });
        std::map<std::u16string, emu::pnp::HardwareValue> values;
        values.emplace(u"PortName", emu::pnp::HardwareValue::String(u"COM7"));
        values.emplace(u"EndPointCaps", emu::pnp::HardwareValue::Dword(3));
        node_ = OffClock([&] {
            return emu::pnp::DeviceNode::Create("USB\\VID_1234&PID_5678\\0001", values, {lower_, vcom_});
        });
        ASSERT_EQ(OffClock([&] { return node_->Start(); }), STATUS_SUCCESS);
        device_->SetLoopback(true);
    }
    void TearDown() override {
        OffClock([&] {
            node_.reset();
            emu::pnp::UnloadDriver(vcom_);
            emu::pnp::UnloadDriver(lower_);
            return 0;
        });
        emu::win32::StopDrivingClock();
    }

    HANDLE Open() {
        HANDLE h = CreateFileW(L"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        COMMTIMEOUTS t = {0, 0, 100, 0, 0};
        EXPECT_TRUE(SetCommTimeouts(h, &t));
        return h;
    }

    // A second open carries bytes through the plug and closes.
    void UsableAgain() {
        HANDLE h = Open();
        const uint8_t out[3] = {1, 2, 3};
        uint8_t in[3] = {};
        DWORD n = 0;
        EXPECT_TRUE(WriteFile(h, out, 3, &n, nullptr));
        EXPECT_TRUE(ReadFile(h, in, 3, &n, nullptr));
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(std::vector<uint8_t>(in, in + 3), std::vector<uint8_t>(out, out + 3));
        EXPECT_TRUE(CloseHandle(h));
    }

    std::shared_ptr<usbpipe::Device> device_;
    PDRIVER_OBJECT lower_ = nullptr;
    PDRIVER_OBJECT vcom_ = nullptr;
    std::unique_ptr<emu::pnp::DeviceNode> node_;
};

// A close whose abort the lower driver refuses, or whose abort request cannot be built, ends the
// reader and the status poll all the same.
TEST_F(PortStop, CloseEndsTheReceiveSideWhenAnAbortFails) {
    for (bool refused : {true, false}) {
        for (uint64_t n = 1; n <= 3; ++n) {  // the close's aborts: transmit, receive, status
            SCOPED_TRACE(testing::Message() << (refused ? "refused" : "not built") << ", abort " << n);
            HANDLE h = Open();
            if (refused) device_->FailNthRequest(RequestKind::Abort, n, STATUS_UNSUCCESSFUL);
            else emu::io::FailNthIrpAllocation(n);
            EXPECT_TRUE(CloseHandle(h));
            if (refused) EXPECT_TRUE(device_->NthRequestFailed(RequestKind::Abort));
            else emu::io::FailNthIrpAllocation(0);
            EXPECT_EQ(device_->Pending(usbpipe::kRx), 0u);
            EXPECT_EQ(device_->Pending(usbpipe::kStatus), 0u);
            UsableAgain();
        }
    }
}

}  // namespace

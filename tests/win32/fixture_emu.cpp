// The scenarios' fixture for the emulation: a real stack (the simulated UsbPipeDriver and its
// device model below the vcom driver) with the loopback plug in, named COM7, and the test's
// thread driving the virtual clock through its blocking Win32 calls.
#include <memory>

#include "../driver/stack.h"
#include "emu/win32.h"
#include "scenario.h"

namespace scenario {

namespace {
std::unique_ptr<vcomtest::Stack> gStack;
}

bool StartPort(TxMode mode, std::string*) {
    vcomtest::StackOptions options = vcomtest::Variant(3);
    options.values[u"TxAsync"] = emu::pnp::HardwareValue::Dword(mode == TxMode::Async ? 1 : 0);
    gStack = std::make_unique<vcomtest::Stack>(options);
    gStack->dev().SetLoopback(true);
    gStack->dev().SetPacing(true);  // bytes take their time on the wire, as on a real line
    emu::win32::DriveClockFromThisThread();
    return true;
}

void StopPort() {
    emu::win32::StopDrivingClock();
    gStack.reset();
}

const WCHAR* PortPath() { return L"\\\\.\\COM7"; }
const WCHAR* PortName() { return L"COM7"; }

DWORD TimingSlack() { return 0; }

bool SurpriseRemove() {
    gStack->dev().Unplug();
    EXPECT_EQ(gStack->node().SurpriseRemoval(), STATUS_SUCCESS);
    return true;
}

}  // namespace scenario

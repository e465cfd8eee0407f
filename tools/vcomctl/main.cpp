// vcomctl: runs the vcom driver on the emulated Windows kernel with a simulated device.
//
// At this stage it loads the simulated UsbPipeDriver and the port driver, plugs in a device
// whose hardware key names the port COM7, starts it and shows what the port made of itself:
// the device name, the DOS link, the SERIALCOMM entry, the COM-port interface and the settings
// read from the registry; then removes the device and unloads both drivers, with the verifier
// watching throughout. It exits non-zero when anything is missing or the verifier objects.
#include <cstdio>
#include <cstring>
#include <string>

#include "emu/iomgr.h"
#include "emu/pnp.h"
#include "emu/registry.h"
#include "emu/sched.h"
#include "emu/verifier.h"
#include "port.h"
#include "usbpipe/usbpipe.h"

namespace {

int gFaults = 0;
void OnFault(const emu::verifier::Report& r) {
    ++gFaults;
    std::fprintf(stderr, "verifier: %s: %s\n", emu::verifier::FaultName(r.fault), r.message.c_str());
}

std::string Status(NTSTATUS s) {
    if (s == STATUS_SUCCESS) return "STATUS_SUCCESS";
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(s));
    return buf;
}

std::string Text(const std::u16string& s) { return emu::io::ToUtf8(s); }

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::puts("usage: vcomctl\n  Runs the vcom driver on the emulated Windows kernel with a simulated USB serial\n"
                  "  device named COM7 and shows the port it creates.");
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "vcomctl: unknown argument '%s' (try --help)\n", argv[1]);
        return 2;
    }
    emu::verifier::SetFailHandler(OnFault);
    emu::SetClockMode(emu::ClockMode::RealTime);
    bool ok = true;

    PDRIVER_OBJECT lower = emu::pnp::LoadDriver("UsbPipe", UsbPipeDriverEntry);
    PDRIVER_OBJECT port = emu::pnp::LoadDriver("vcom", DriverEntry);
    std::printf("drivers loaded      UsbPipe, vcom\n");
    usbpipe::Config config;
    config.variant = 1;
    auto device = usbpipe::Device::Create(config);
    device->SetLoopback(true);
    NTSTATUS added;
    auto node = emu::pnp::DeviceNode::Create(
        "USB\\VID_1234&PID_5678\\0001",
        {{u"PortName", emu::pnp::HardwareValue::String(u"COM7")}, {u"EndPointCaps", emu::pnp::HardwareValue::Dword(1)}},
        {lower, port}, &added);
    std::printf("device added        %s (variant 1, loopback plug)\n", Status(added).c_str());
    NTSTATUS started = node->Start();
    std::printf("device started      %s\n", Status(started).c_str());
    ok = ok && NT_SUCCESS(added) && NT_SUCCESS(started);

    PDEVICE_OBJECT portDevice = node->Top();
    auto name = emu::io::DeviceName(portDevice);
    std::printf("device name         %s\n", name ? Text(*name).c_str() : "(none)");
    auto link = emu::io::ResolveLink(u"\\DosDevices\\COM7");
    std::printf("DOS link            \\DosDevices\\COM7 -> %s\n", link ? Text(*link).c_str() : "(none)");
    ok = ok && name && link && *link == *name;
    auto map = emu::registry::GetString(std::string(emu::registry::kDeviceMap) + "\\SERIALCOMM", name ? *name : u"");
    std::printf("SERIALCOMM          %s = %s\n", name ? Text(*name).c_str() : "?", map ? Text(*map).c_str() : "(none)");
    ok = ok && map && *map == u"COM7";
    auto interfaces = emu::io::ListInterfaces(GUID_DEVINTERFACE_COMPORT);
    for (auto& i : interfaces) std::printf("COM-port interface  %s\n", Text(i.symbolicName).c_str());
    ok = ok && interfaces.size() == 1;

    auto* ext = static_cast<PortExtension*>(portDevice->DeviceExtension);
    std::printf("settings            RxReqSize %u, RxPollPeriod %u, CtlPollPeriod %d, TxKickThreshold %u,\n"
                "                    TxAsync %u, NoBaudCheck %u, TxAllowNullPacket %u, EndPointCaps %u\n",
                ext->RxReqSize, ext->RxPollPeriod, ext->CtlPollPeriod, ext->TxKickThreshold, ext->TxAsync,
                ext->NoBaudCheck, ext->TxAllowNullPacket, ext->EndPointCaps);
    std::printf("line                %u baud, %u data bits, parity %u, stop bits code %u\n", ext->BaudRate,
                ext->LineControl.WordLength, ext->LineControl.Parity, ext->LineControl.StopBits);

    NTSTATUS removed = node->Remove();
    node.reset();
    bool gone = !emu::io::ResolveLink(u"\\DosDevices\\COM7") &&
                !emu::registry::GetString(std::string(emu::registry::kDeviceMap) + "\\SERIALCOMM", name ? *name : u"");
    std::printf("device removed      %s, link and SERIALCOMM entry %s\n", Status(removed).c_str(), gone ? "gone" : "STILL THERE");
    ok = ok && NT_SUCCESS(removed) && gone;
    emu::pnp::UnloadDriver(port);
    emu::pnp::UnloadDriver(lower);
    std::printf("drivers unloaded    verifier: %d fault(s)\n", gFaults);
    return ok && gFaults == 0 ? 0 : 1;
}

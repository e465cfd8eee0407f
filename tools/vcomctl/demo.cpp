// The main job: one port, shown working from plug-in to unplug in a dozen lines.
#include <chrono>
#include <cstdio>
#include <vector>

#include "commands.h"
#include "emu/iomgr.h"
#include "emu/registry.h"
#include "port.h"

namespace vcomctl {

namespace {

std::string Utf8(const std::u16string& s) { return emu::io::ToUtf8(s); }

// One overlapped WaitCommEvent, pending until an event of the mask occurs.
struct PendingWait {
    HANDLE port;
    OVERLAPPED ov{};
    DWORD events = 0;
    bool started = false;
    PendingWait(HANDLE p, DWORD mask) : port(p) {
        ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        SetCommMask(port, mask);
        started = WaitCommEvent(port, &events, &ov) || GetLastError() == ERROR_IO_PENDING;
    }
    std::string Result(DWORD waitMs) {
        if (!started) return "WaitCommEvent failed: " + LastError();
        if (WaitForSingleObject(ov.hEvent, waitMs) != WAIT_OBJECT_0) {
            CancelIo(port);
        }
        DWORD bytes = 0;
        bool ok = GetOverlappedResult(port, &ov, &bytes, TRUE);
        CloseHandle(ov.hEvent);
        return ok ? Events(events) : "no event (" + LastError() + ")";
    }
};

// The modem status once it shows `want` for the three input lines, or whatever it is after a
// second.
DWORD AwaitModem(HANDLE port, DWORD want) {
    const DWORD lines = MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON;
    DWORD modem = 0;
    for (int i = 0; i < 100; i++) {
        GetCommModemStatus(port, &modem);
        if ((modem & lines) == want) break;
        Sleep(10);
    }
    return modem;
}

}  // namespace

int RunDemo(const Common& common) {
    bool ok = true;
    auto check = [&ok](bool good) {
        ok = ok && good;
        return good;
    };
    StartTrace(common);
    rig::Rig rig;
    std::unique_ptr<rig::Port> dev = rig.Plug(common.Device(), common.Values());
    dev->device->SetLoopback(true);
    std::printf("device plugged      variant %d, loopback plug, %s\n", common.variant,
                rig::StatusText(dev->started).c_str());
    if (!check(NT_SUCCESS(dev->started))) return 1;

    PDEVICE_OBJECT portDevice = dev->node->Top();
    auto name = emu::io::DeviceName(portDevice);
    auto link = emu::io::ResolveLink(u"\\DosDevices\\COM7");
    auto map = emu::registry::GetString(std::string(emu::registry::kDeviceMap) + "\\SERIALCOMM", name ? *name : u"");
    auto interfaces = emu::io::ListInterfaces(GUID_DEVINTERFACE_COMPORT);
    std::printf("port                %s, \\DosDevices\\COM7 -> %s, SERIALCOMM %s\n", name ? Utf8(*name).c_str() : "?",
                link ? Utf8(*link).c_str() : "(none)", map ? Utf8(*map).c_str() : "(none)");
    std::printf("interface           %s\n", interfaces.empty() ? "(none)" : Utf8(interfaces[0].symbolicName).c_str());
    check(name && link && *link == *name && map && *map == u"COM7" && interfaces.size() == 1);

    dev->device->ClearCommands();
    HANDLE com = OpenPort(L"\\\\.\\COM7", true);
    if (!check(com != INVALID_HANDLE_VALUE)) {
        std::printf("open COM7           failed: %s\n", LastError().c_str());
        return 1;
    }
    std::printf("opened COM7         device commands %s\n", CommandList(dev->device->Commands()).c_str());

    // DTR drives DSR and DCD, RTS drives CTS on the loopback plug; the status pipe reports them.
    // Without status reads (variant 0 has no status pipe, or --ctl-poll -1) the input lines read
    // on whatever the plug does.
    const bool noStatus = common.variant == 0 || common.ctlPollPeriod == -1;
    const DWORD inputs = MS_DSR_ON | MS_RLSD_ON | MS_CTS_ON;
    const DWORD whenOff = noStatus ? inputs : 0;
    PendingWait lines(com, EV_CTS | EV_DSR | EV_RLSD);
    DWORD modem = 0;
    EscapeCommFunction(com, CLRDTR);
    EscapeCommFunction(com, CLRRTS);
    modem = AwaitModem(com, whenOff);
    std::printf("DTR, RTS off        %s; pending WaitCommEvent -> %s%s\n", ModemLines(modem).c_str(),
                lines.Result(1000).c_str(), noStatus ? " (no status reads: the lines read on)" : "");
    check((modem & inputs) == whenOff);
    EscapeCommFunction(com, SETDTR);
    EscapeCommFunction(com, SETRTS);
    modem = AwaitModem(com, inputs);
    std::printf("DTR, RTS on         %s\n", ModemLines(modem).c_str());
    check((modem & inputs) == inputs);

    dev->device->ClearCommands();
    bool set = ApplyLine(com, 115200, true);
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 1000, 0, 5000};  // reads return once bytes are there
    set = set && SetCommTimeouts(com, &t);
    std::printf("115200 8N1 RTS/CTS  %s, device commands %s\n", set ? "set" : LastError().c_str(),
                CommandList(dev->device->Commands()).c_str());
    check(set);

    PendingWait data(com, EV_RXCHAR | EV_TXEMPTY);
    std::vector<uint8_t> out(4096), in(4096);
    for (size_t i = 0; i < out.size(); i++) out[i] = static_cast<uint8_t>(i * 7 + 3);
    auto t0 = std::chrono::steady_clock::now();
    OVERLAPPED wov{};
    wov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD written = 0, got = 0;
    if (!WriteFile(com, out.data(), static_cast<DWORD>(out.size()), nullptr, &wov) && GetLastError() != ERROR_IO_PENDING) {
        std::printf("write failed: %s\n", LastError().c_str());
    }
    while (got < in.size()) {
        OVERLAPPED rov{};
        rov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        if (!ReadFile(com, in.data() + got, static_cast<DWORD>(in.size() - got), nullptr, &rov) &&
            GetLastError() != ERROR_IO_PENDING) {
            CloseHandle(rov.hEvent);
            break;
        }
        bool r = GetOverlappedResult(com, &rov, &n, TRUE);
        CloseHandle(rov.hEvent);
        if (!r || n == 0) break;
        got += n;
    }
    GetOverlappedResult(com, &wov, &written, TRUE);
    CloseHandle(wov.hEvent);
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    bool same = got == in.size() && in == out;
    std::printf("pattern             wrote %lu, read %lu bytes back, %s (%.1f ms)\n", (unsigned long)written,
                (unsigned long)got, same ? "identical" : "DIFFERENT", ms);
    std::printf("WaitCommEvent       -> %s\n", data.Result(1000).c_str());
    check(same && written == out.size());

    SERIALPERF_STATS stats{};
    DWORD returned = 0;
    OVERLAPPED sov{};
    sov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (DeviceIoControl(com, IOCTL_SERIAL_GET_STATS, nullptr, 0, &stats, sizeof stats, nullptr, &sov) ||
        GetLastError() == ERROR_IO_PENDING) {
        GetOverlappedResult(com, &sov, &returned, TRUE);
    }
    CloseHandle(sov.hEvent);
    DWORD errors = 0;
    COMSTAT comstat{};
    ClearCommError(com, &errors, &comstat);
    std::printf("statistics          received %lu, transmitted %lu, errors %lu; queues in %lu out %lu\n",
                (unsigned long)stats.ReceivedCount, (unsigned long)stats.TransmittedCount, (unsigned long)errors,
                (unsigned long)comstat.cbInQue, (unsigned long)comstat.cbOutQue);

    dev->device->ClearCommands();
    check(CloseHandle(com));
    std::printf("closed COM7         device commands %s\n", CommandList(dev->device->Commands()).c_str());
    NTSTATUS removed = dev->Remove();
    bool gone = !emu::io::ResolveLink(u"\\DosDevices\\COM7");
    std::printf("unplugged           %s, link %s; verifier faults %d\n", rig::StatusText(removed).c_str(),
                gone ? "gone" : "STILL THERE", rig.Faults());
    check(NT_SUCCESS(removed) && gone);
    dev.reset();
    return ok && rig.Faults() == 0 ? 0 : 1;
}

}  // namespace vcomctl

// An interactive terminal on the port, and port discovery as an application does it.
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "commands.h"
#include "emu/iomgr.h"
#include "emu/sched.h"
#include "port.h"
#include "setupapi.h"

namespace vcomctl {

namespace {

struct RawStdin {
    termios saved{};
    bool active = false;
    RawStdin() {
        if (!isatty(STDIN_FILENO)) return;
        tcgetattr(STDIN_FILENO, &saved);
        termios raw = saved;
        raw.c_lflag &= ~(ICANON | ECHO | ISIG);
        raw.c_iflag &= ~(IXON | ICRNL);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        active = true;
    }
    ~RawStdin() {
        if (active) tcsetattr(STDIN_FILENO, TCSANOW, &saved);
    }
};

std::string Utf8(const WCHAR* s) {
    std::u16string u;
    for (; *s; ++s) u.push_back(static_cast<char16_t>(*s));
    return emu::io::ToUtf8(u);
}

}  // namespace

int RunTerm(const Common& common, TermFarEnd farEnd) {
    StartTrace(common);
    rig::Rig rig;
    std::unique_ptr<rig::Port> dev = rig.Plug(common.Device(), common.Values());
    if (!NT_SUCCESS(dev->started)) return 1;
    if (farEnd == TermFarEnd::Loopback) dev->device->SetLoopback(true);
    if (farEnd == TermFarEnd::Echo) dev->device->RecordTx(true);  // the echo sends back what it reads there
    HANDLE com = OpenPort(L"\\\\.\\COM7", false);
    if (com == INVALID_HANDLE_VALUE || !ApplyLine(com, 115200, false)) {
        std::fprintf(stderr, "vcomctl: cannot open COM7: %s\n", LastError().c_str());
        return 1;
    }
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 50, 0, 1000};
    SetCommTimeouts(com, &t);
    std::printf("COM7 open, far end: %s. Type; Ctrl-] or end of input quits.\r\n",
                farEnd == TermFarEnd::Loopback ? "loopback plug" : "echoing device");
    std::fflush(stdout);

    RawStdin raw;
    std::atomic<bool> done{false};
    std::atomic<size_t> echoed{0};
    emu::Thread reader([&] {
        uint8_t buf[256];
        while (!done) {
            DWORD n = 0;
            if (!ReadFile(com, buf, sizeof buf, &n, nullptr)) break;
            if (n) {
                fwrite(buf, 1, n, stdout);
                fflush(stdout);
            }
        }
    });
    std::thread far([&] {
        // The echoing device sends back what it received.
        while (!done && farEnd == TermFarEnd::Echo) {
            auto tx = dev->device->TxStream();
            if (tx.size() > echoed) {
                dev->device->Inject(std::vector<uint8_t>(tx.begin() + static_cast<std::ptrdiff_t>(echoed.load()), tx.end()));
                echoed = tx.size();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    for (;;) {
        uint8_t c;
        ssize_t r = read(STDIN_FILENO, &c, 1);
        if (r <= 0 || c == 0x1d) break;
        if (c == '\r' && raw.active) c = '\n';
        DWORD n = 0;
        if (!WriteFile(com, &c, 1, &n, nullptr)) break;
    }
    // Let the last bytes come back before the port goes.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    done = true;
    reader.join();
    far.join();
    CloseHandle(com);
    dev->Remove();
    dev.reset();
    std::printf("\r\nclosed; verifier faults %d\r\n", rig.Faults());
    return rig.Faults() == 0 ? 0 : 1;
}

int RunPorts(const Common& common, int count) {
    StartTrace(common);
    rig::Rig rig;
    std::vector<std::unique_ptr<rig::Port>> ports;
    for (int i = 0; i < count; i++) {
        rig::PortValues values = common.Values();
        values.portName = "COM" + std::to_string(7 + i);
        ports.push_back(rig.Plug(common.Device(), values, i + 1));
    }

    std::printf("SERIALCOMM (HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM):\n");
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD i = 0;; ++i) {
            WCHAR name[256];
            BYTE data[512];
            DWORD cch = 256, cb = sizeof data - 2, type = 0;
            if (RegEnumValueW(key, i, name, &cch, nullptr, &type, data, &cb) != ERROR_SUCCESS) break;
            data[cb] = data[cb + 1] = 0;
            std::printf("  %-20s %s\n", Utf8(name).c_str(), Utf8(reinterpret_cast<const WCHAR*>(data)).c_str());
        }
        RegCloseKey(key);
    }

    std::printf("COM-port device interfaces:\n");
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_COMPORT, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    int found = 0;
    if (set != INVALID_HANDLE_VALUE) {
        for (DWORD i = 0;; ++i) {
            SP_DEVICE_INTERFACE_DATA data;
            data.cbSize = sizeof data;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &GUID_DEVINTERFACE_COMPORT, i, &data)) break;
            DWORD need = 0;
            SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &need, nullptr);
            std::vector<uint8_t> storage(need);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, need, nullptr, nullptr)) continue;
            HANDLE h = OpenPort(detail->DevicePath, false);
            DCB dcb;
            std::memset(&dcb, 0, sizeof dcb);
            bool state = h != INVALID_HANDLE_VALUE && GetCommState(h, &dcb);
            std::printf("  %s\n    %s\n", Utf8(detail->DevicePath).c_str(),
                        state ? ("opens: " + std::to_string(dcb.BaudRate) + " baud, " + std::to_string(dcb.ByteSize) +
                                 " data bits")
                                    .c_str()
                              : ("does not open: " + LastError()).c_str());
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
            found++;
        }
        SetupDiDestroyDeviceInfoList(set);
    }
    ports.clear();
    std::printf("%d port(s); verifier faults %d\n", found, rig.Faults());
    return found == count && rig.Faults() == 0 ? 0 : 1;
}

}  // namespace vcomctl

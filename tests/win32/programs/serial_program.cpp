// A C++ serial program in the UNICODE (TCHAR) forms: finds the port through the COM-port device
// interface, opens it by its interface path, sets it up from a mode string with timeouts, and
// waits for received characters with WaitCommEvent while another thread writes. Wide strings are
// kept in vectors: the emulation's 16-bit wchar_t does not suit the C++ library's std::wstring.
#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>
#include <tchar.h>
#include <setupapi.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "programs.h"

namespace {

int failures;
#define CHECK(cond)                                                                                      \
    do {                                                                                                 \
        if (!(cond)) {                                                                                   \
            ++failures;                                                                                  \
            std::fprintf(stderr, "serial_program.cpp:%d: %s (last error %lu)\n", __LINE__, #cond,        \
                         static_cast<unsigned long>(GetLastError()));                                     \
        }                                                                                                \
    } while (0)

const GUID kComPort = {0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

// The interface path of the port whose PortName is `port`, or empty.
using Text = std::vector<TCHAR>;  // NUL-terminated

Text FindInterface(const Text& port) {
    Text found;
    HDEVINFO set = SetupDiGetClassDevs(&kComPort, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    CHECK(set != INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE) return found;
    SP_DEVICE_INTERFACE_DATA data;
    data.cbSize = sizeof data;
    for (DWORD i = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kComPort, i, &data); ++i) {
        DWORD need = 0;
        CHECK(!SetupDiGetDeviceInterfaceDetail(set, &data, nullptr, 0, &need, nullptr));
        CHECK(GetLastError() == ERROR_INSUFFICIENT_BUFFER);
        std::vector<BYTE> storage(need);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA);
        SP_DEVINFO_DATA dev;
        dev.cbSize = sizeof dev;
        CHECK(SetupDiGetDeviceInterfaceDetail(set, &data, detail, need, nullptr, &dev));
        HKEY params = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (params == INVALID_HANDLE_VALUE) continue;
        TCHAR name[64];
        DWORD cb = sizeof name, type = 0;
        if (RegQueryValueEx(params, _T("PortName"), nullptr, &type, reinterpret_cast<LPBYTE>(name), &cb) ==
                ERROR_SUCCESS &&
            _tcscmp(name, port.data()) == 0)
            found.assign(detail->DevicePath, detail->DevicePath + _tcslen(detail->DevicePath) + 1);
        RegCloseKey(params);
    }
    CHECK(GetLastError() == ERROR_NO_MORE_ITEMS);
    SetupDiDestroyDeviceInfoList(set);

    // Every class at once: the port's device is among them.
    set = SetupDiGetClassDevs(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    CHECK(set != INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA dev;
    dev.cbSize = sizeof dev;
    DWORD devices = 0;
    while (SetupDiEnumDeviceInfo(set, devices, &dev)) ++devices;
    CHECK(devices >= 1);
    SetupDiDestroyDeviceInfoList(set);
    // A null class without DIGCF_ALLCLASSES is refused.
    CHECK(SetupDiGetClassDevs(nullptr, nullptr, nullptr, DIGCF_PRESENT) == INVALID_HANDLE_VALUE);
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
    return found;
}

struct Shared {
    HANDLE port;
    HANDLE go;
};

DWORD WINAPI Writer(LPVOID p) {
    auto* s = static_cast<Shared*>(p);
    if (WaitForSingleObject(s->go, 5000) != WAIT_OBJECT_0) return 1;
    OVERLAPPED o = {};
    o.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    BOOL ok = WriteFile(s->port, "event", 5, &n, &o);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(s->port, &o, &n, TRUE);
    CloseHandle(o.hEvent);
    return ok && n == 5 ? 0 : 2;
}

}  // namespace

extern "C" int serial_program_cpp(const char* portA) {
    failures = 0;
    Text port;
    for (const char* p = portA; *p; ++p) port.push_back(static_cast<TCHAR>(*p));
    port.push_back(0);
    Text path = FindInterface(port);
    CHECK(!path.empty());
    if (path.empty()) return failures;

    HANDLE h = CreateFile(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                          nullptr);
    CHECK(h != INVALID_HANDLE_VALUE);
    if (h == INVALID_HANDLE_VALUE) return failures;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    COMMTIMEOUTS t = {};
    CHECK(GetCommState(h, &dcb));
    CHECK(BuildCommDCBAndTimeouts(_T("baud=38400 parity=n data=8 stop=1 octs=off xon=off to=on"), &dcb, &t));
    CHECK(t.WriteTotalTimeoutConstant != 0);
    CHECK(SetCommState(h, &dcb));
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = 0;
    t.ReadTotalTimeoutConstant = 0;  // reads return what is there
    CHECK(SetCommTimeouts(h, &t));
    CHECK(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
    CHECK(SetCommMask(h, EV_RXCHAR));

    // Wait for received characters while a second thread writes through the loopback plug.
    Shared shared = {h, CreateEvent(nullptr, TRUE, FALSE, nullptr)};
    HANDLE writer = CreateThread(nullptr, 0, Writer, &shared, 0, nullptr);
    CHECK(writer != nullptr);
    OVERLAPPED o = {};
    o.hEvent = CreateEvent(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0, n = 0;
    BOOL waited = WaitCommEvent(h, &events, &o);
    CHECK(waited || GetLastError() == ERROR_IO_PENDING);
    SetEvent(shared.go);
    if (!waited) CHECK(WaitForSingleObject(o.hEvent, 5000) == WAIT_OBJECT_0 && GetOverlappedResult(h, &o, &n, FALSE));
    CHECK(events & EV_RXCHAR);
    CHECK(WaitForSingleObject(writer, 5000) == WAIT_OBJECT_0);
    DWORD code = 99;
    CHECK(GetExitCodeThread(writer, &code) && code == 0);

    // Collect the five bytes (the event may come with the first of them).
    std::string got;
    ULONGLONG start = GetTickCount64();
    while (got.size() < 5 && GetTickCount64() - start < 5000) {
        char buf[16];
        ResetEvent(o.hEvent);
        BOOL ok = ReadFile(h, buf, sizeof buf, &n, &o);
        if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(h, &o, &n, TRUE);
        CHECK(ok);
        got.append(buf, n);
        if (n == 0) Sleep(10);
    }
    CHECK(got == "event");

    CloseHandle(o.hEvent);
    CloseHandle(writer);
    CloseHandle(shared.go);
    CHECK(CloseHandle(h));
    return failures;
}

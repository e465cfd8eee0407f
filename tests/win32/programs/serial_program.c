/* A C serial program: finds the port through the device map, the DOS device names, SetupAPI and
   the configuration manager, configures it, and moves bytes with completion routines, a second
   thread and ntdll's native calls found at run time. */
#include <windows.h>
#include <winternl.h>
#include <initguid.h>
#include <devguid.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <stdio.h>
#include <string.h>

#include "programs.h"

static int failures;
#define CHECK(cond)                                                                                  \
    do {                                                                                             \
        if (!(cond)) {                                                                               \
            ++failures;                                                                              \
            fprintf(stderr, "serial_program.c:%d: %s (last error %lu)\n", __LINE__, #cond,          \
                    (unsigned long)GetLastError());                                                  \
        }                                                                                            \
    } while (0)

#define PENDING ((LONG)0x00000103L)
#define IOCTL_GET_MODEMSTATUS 0x001B0068 /* CTL_CODE(FILE_DEVICE_SERIAL_PORT, 26, METHOD_BUFFERED, FILE_ANY_ACCESS) */

typedef LONG(NTAPI* NtWriteFileFn)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, PVOID, ULONG, PLARGE_INTEGER, PULONG);
typedef LONG(NTAPI* NtIoctlFn)(HANDLE, HANDLE, PVOID, PVOID, PIO_STATUS_BLOCK, ULONG, PVOID, ULONG, PVOID, ULONG);

static int SameName(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b)
        if ((*a | 0x20) != (*b | 0x20)) return 0;
    return *a == *b;
}

static DWORD completedBytes;
static DWORD completedError = 0xFFFFFFFF;
static void WINAPI Completed(DWORD error, DWORD bytes, LPOVERLAPPED o) {
    (void)o;
    completedError = error;
    completedBytes = bytes;
}

static void FindPort(const char* port) {
    HKEY key;
    DWORD values = 0, maxName = 0, maxData = 0, i, found = 0;
    FILETIME written;
    char target[512];
    CHECK(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) == ERROR_SUCCESS);
    CHECK(RegQueryInfoKeyA(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, &maxName, &maxData, NULL, &written) ==
          ERROR_SUCCESS);
    CHECK(values >= 1);
    for (i = 0; i < values; ++i) {
        char name[256], data[256];
        DWORD cch = sizeof name, cb = sizeof data, type = 0;
        if (RegEnumValueA(key, i, name, &cch, NULL, &type, (LPBYTE)data, &cb) != ERROR_SUCCESS) continue;
        CHECK(cch <= maxName && cb <= maxData);
        if (type == REG_SZ && SameName(data, port)) found = 1;
    }
    CHECK(found);
    RegCloseKey(key);
    CHECK(QueryDosDeviceA(port, target, sizeof target) > 0);
    CHECK(strncmp(target, "\\Device\\", 8) == 0);

    /* The Ports class: the device whose hardware key names the port. */
    {
        HDEVINFO set = SetupDiGetClassDevsA(&GUID_DEVCLASS_PORTS, NULL, NULL, DIGCF_PRESENT);
        SP_DEVINFO_DATA dev;
        DWORD index;
        int named = 0;
        CHECK(set != INVALID_HANDLE_VALUE);
        dev.cbSize = sizeof dev;
        for (index = 0; SetupDiEnumDeviceInfo(set, index, &dev); ++index) {
            char portName[64], friendly[256], id[MAX_DEVICE_ID_LEN], parentId[MAX_DEVICE_ID_LEN];
            DWORD cb = sizeof portName, type = 0;
            DEVINST parent;
            ULONG len = sizeof friendly;
            HKEY params = SetupDiOpenDevRegKey(set, &dev, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
            if (params == INVALID_HANDLE_VALUE) continue;
            if (RegQueryValueExA(params, "PortName", NULL, &type, (LPBYTE)portName, &cb) == ERROR_SUCCESS &&
                SameName(portName, port)) {
                named = 1;
                CHECK(SetupDiGetDeviceRegistryPropertyA(set, &dev, SPDRP_FRIENDLYNAME, &type, (PBYTE)friendly,
                                                        sizeof friendly, NULL));
                CHECK(type == REG_SZ && strstr(friendly, port) != NULL);
                CHECK(CM_Get_Device_IDA(dev.DevInst, id, sizeof id, 0) == CR_SUCCESS && strlen(id) > 0);
                CHECK(CM_Get_Parent(&parent, dev.DevInst, 0) == CR_SUCCESS);
                CHECK(CM_Get_Device_IDA(parent, parentId, sizeof parentId, 0) == CR_SUCCESS);
                CHECK(CM_Get_DevNode_Registry_PropertyA(dev.DevInst, CM_DRP_CLASS, &type, friendly, &len, 0) ==
                          CR_SUCCESS &&
                      strcmp(friendly, "Ports") == 0);
            }
            RegCloseKey(params);
        }
        CHECK(GetLastError() == ERROR_NO_MORE_ITEMS);
        CHECK(named);
        SetupDiDestroyDeviceInfoList(set);
    }
}

static DWORD WINAPI Writer(LPVOID param) {
    HANDLE port = (HANDLE)param;
    OVERLAPPED o;
    DWORD n = 0;
    ZeroMemory(&o, sizeof o);
    o.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!WriteFile(port, "thread", 6, &n, &o) && GetLastError() == ERROR_IO_PENDING)
        GetOverlappedResult(port, &o, &n, TRUE);
    CloseHandle(o.hEvent);
    return n + 100;
}

static void ReadBack(HANDLE port, const char* expect, DWORD length) {
    char buf[64];
    OVERLAPPED o;
    DWORD n = 0;
    ZeroMemory(&o, sizeof o);
    o.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    if (!ReadFile(port, buf, length, &n, &o)) {
        CHECK(GetLastError() == ERROR_IO_PENDING);
        CHECK(WaitForSingleObjectEx(o.hEvent, 5000, FALSE) == WAIT_OBJECT_0);
        CHECK(GetOverlappedResult(port, &o, &n, FALSE));
    }
    CHECK(n == length && memcmp(buf, expect, length) == 0);
    CloseHandle(o.hEvent);
}

static void Talk(HANDLE port) {
    OVERLAPPED o;
    char buf[16];
    DWORD exitCode = 0, status = 0;
    HANDLE thread;
    IO_STATUS_BLOCK iosb;
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    NtWriteFileFn ntWrite = (NtWriteFileFn)(void*)GetProcAddress(ntdll, "NtWriteFile");
    NtIoctlFn ntIoctl = (NtIoctlFn)(void*)GetProcAddress(ntdll, "NtDeviceIoControlFile");
    HANDLE event = CreateEventA(NULL, TRUE, FALSE, NULL);

    /* Completion routines run in this thread's alertable wait. */
    ZeroMemory(&o, sizeof o);
    CHECK(WriteFileEx(port, "hello", 5, &o, Completed));
    while (completedError == 0xFFFFFFFF && SleepEx(5000, TRUE) == WAIT_IO_COMPLETION) {
    }
    CHECK(completedError == ERROR_SUCCESS && completedBytes == 5);
    completedError = 0xFFFFFFFF;
    ZeroMemory(&o, sizeof o);
    CHECK(ReadFileEx(port, buf, 5, &o, Completed));
    while (completedError == 0xFFFFFFFF && SleepEx(5000, TRUE) == WAIT_IO_COMPLETION) {
    }
    CHECK(completedError == ERROR_SUCCESS && completedBytes == 5 && memcmp(buf, "hello", 5) == 0);

    /* A second thread writes; its handle is signalled when it ends, with its exit code. */
    thread = CreateThread(NULL, 0, Writer, port, 0, NULL);
    CHECK(thread != NULL);
    CHECK(WaitForSingleObject(thread, 5000) == WAIT_OBJECT_0);
    CHECK(GetExitCodeThread(thread, &exitCode) && exitCode == 106);
    CloseHandle(thread);
    ReadBack(port, "thread", 6);

    /* ntdll's native calls, found at run time. */
    CHECK(ntWrite != NULL && ntIoctl != NULL);
    if (ntWrite && ntIoctl) {
        LONG s = ntWrite(port, event, NULL, NULL, &iosb, (PVOID) "native", 6, NULL, NULL);
        if (s == PENDING) {
            CHECK(WaitForSingleObject(event, 5000) == WAIT_OBJECT_0);
            s = (LONG)iosb.Status;
        }
        CHECK(s == 0 && iosb.Information == 6);
        ReadBack(port, "native", 6);
        ResetEvent(event);
        s = ntIoctl(port, event, NULL, NULL, &iosb, IOCTL_GET_MODEMSTATUS, NULL, 0, &status, sizeof status);
        if (s == PENDING) {
            CHECK(WaitForSingleObject(event, 5000) == WAIT_OBJECT_0);
            s = (LONG)iosb.Status;
        }
        CHECK(s == 0 && iosb.Information == sizeof status);
    }
    CloseHandle(event);
}

int serial_program_c(const char* port) {
    char path[32];
    HANDLE h;
    DCB dcb;
    COMMCONFIG cc;
    DWORD size = sizeof cc;
    COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, 2000, 0, 5000};
    char* message = NULL;
    wchar_t wide[16];
    LARGE_INTEGER freq, t0;
    failures = 0;

    CHECK(QueryPerformanceFrequency(&freq) && freq.QuadPart > 0);
    CHECK(QueryPerformanceCounter(&t0));
    CHECK(GetStdHandle(STD_ERROR_HANDLE) != INVALID_HANDLE_VALUE);
    CHECK(MultiByteToWideChar(CP_UTF8, 0, "COM\xc3\xa9", -1, wide, 16) == 5 && wide[3] == 0xE9);
    CHECK(FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                         NULL, ERROR_FILE_NOT_FOUND, 0, (LPSTR)&message, 0, NULL) > 0);
    CHECK(message != NULL && strstr(message, "cannot find the file") != NULL);
    LocalFree(message);

    FindPort(port);
    snprintf(path, sizeof path, "\\\\.\\%s", port);
    h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
    CHECK(h != INVALID_HANDLE_VALUE);
    if (h == INVALID_HANDLE_VALUE) return failures;
    CHECK(GetFileType(h) == FILE_TYPE_CHAR);

    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    CHECK(GetCommState(h, &dcb));
    CHECK(BuildCommDCBA("baud=115200 parity=N data=8 stop=1 xon=off octs=off odsr=off dtr=on rts=on", &dcb));
    CHECK(SetCommState(h, &dcb));
    CHECK(SetCommTimeouts(h, &t));
    CHECK(GetCommConfig(h, &cc, &size) && cc.dcb.BaudRate == 115200 && cc.dwSize >= sizeof cc - sizeof(WCHAR));
    cc.dcb.BaudRate = 19200;
    CHECK(SetCommConfig(h, &cc, cc.dwSize));
    CHECK(GetCommState(h, &dcb) && dcb.BaudRate == 19200);
    size = sizeof cc;
    CHECK(GetDefaultCommConfigA(port, &cc, &size));
    CHECK(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));

    Talk(h);

    CHECK(CloseHandle(h));
    CHECK(!CloseHandle(h) && GetLastError() == ERROR_INVALID_HANDLE);
    return failures;
}

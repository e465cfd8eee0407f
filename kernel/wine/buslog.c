/* Prints the device commands a test port's device received, oldest first, read from the test
 * bus through its private request. Usage: buslog.exe <0 (COM7) | 1 (COM8)> */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

#include "../testbus/testbus_ioctl.h"

int main(int argc, char **argv) {
    ULONG port = argc > 1 ? (ULONG)atoi(argv[1]) : 0;
    HANDLE bus = CreateFileA(TESTBUS_WIN32_PATH, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (bus == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "buslog: cannot open the test bus, error %lu\n", GetLastError());
        return 1;
    }
    static TESTBUS_COMMAND log[1024];
    DWORD n = 0;
    if (!DeviceIoControl(bus, IOCTL_TESTBUS_GET_COMMANDS, &port, sizeof port, log, sizeof log, &n, NULL)) {
        fprintf(stderr, "buslog: the request failed, error %lu\n", GetLastError());
        return 1;
    }
    for (DWORD i = 0; i < n / sizeof log[0]; ++i) {
        printf("%02x %02x", log[i].Bytes[0], log[i].Bytes[1]);
        if (log[i].Length == 3) printf(" %02x", log[i].Bytes[2]);
        printf(log[i].Status ? "  -> %08lx\n" : "\n", (unsigned long)log[i].Status);
    }
    CloseHandle(bus);
    return 0;
}

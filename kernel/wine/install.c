/* Installs the test stack as a device installer would: the two port INFs into the system's INF
 * store (where the Plug and Play manager finds a driver for the bus's children), then a root
 * device for the test bus with its driver. Waits until both ports open.
 * Usage: install.exe <dir with testbus.inf, vcom-sync.inf, vcom-async.inf and the .sys files>
 * Exit 0 when COM7 and COM8 are there. */
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <stdio.h>

static const char kHardwareId[] = "root\\vcomtestbus";

static int fail(const char *what) {
    fprintf(stderr, "install: %s failed, error %lu\n", what, GetLastError());
    return 1;
}

static int copy_inf(const char *dir, const char *name) {
    char path[MAX_PATH];
    snprintf(path, sizeof path, "%s\\%s", dir, name);
    if (!SetupCopyOEMInfA(path, NULL, SPOST_PATH, 0, NULL, 0, NULL, NULL)) return fail(name);
    return 0;
}

static int create_root_device(const char *inf) {
    static const GUID system_class = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    char ids[sizeof kHardwareId + 1] = {0};
    memcpy(ids, kHardwareId, sizeof kHardwareId);
    HDEVINFO set = SetupDiCreateDeviceInfoList(&system_class, NULL);
    if (set == INVALID_HANDLE_VALUE) return fail("SetupDiCreateDeviceInfoList");
    SP_DEVINFO_DATA dev;
    memset(&dev, 0, sizeof dev);
    dev.cbSize = sizeof dev;
    int rc = 0;
    if (!SetupDiCreateDeviceInfoA(set, "System", &system_class, NULL, NULL, DICD_GENERATE_ID, &dev))
        rc = fail("SetupDiCreateDeviceInfo");
    else if (!SetupDiSetDeviceRegistryPropertyA(set, &dev, SPDRP_HARDWAREID, (BYTE *)ids, sizeof ids))
        rc = fail("SetupDiSetDeviceRegistryProperty");
    else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &dev))
        rc = fail("DIF_REGISTERDEVICE");
    SetupDiDestroyDeviceInfoList(set);
    if (rc) return rc;
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(NULL, kHardwareId, inf, INSTALLFLAG_FORCE, &reboot))
        return fail("UpdateDriverForPlugAndPlayDevices");
    /* Wine starts the bus's service before the device names it; its host re-reads the root
     * devices on this private control (Windows refuses it, harmlessly). */
    SC_HANDLE scm = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE svc = scm ? OpenServiceA(scm, "testbus", SERVICE_USER_DEFINED_CONTROL) : NULL;
    SERVICE_STATUS st;
    if (svc) ControlService(svc, 128, &st);
    if (svc) CloseServiceHandle(svc);
    if (scm) CloseServiceHandle(scm);
    return 0;
}

static int port_ready(const char *name) {
    char path[32];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    HANDLE h = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_ACCESS_DENIED;  /* open elsewhere */
    CloseHandle(h);
    return 1;
}

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: install.exe <package dir>\n");
        return 2;
    }
    char full[MAX_PATH], inf[MAX_PATH];
    if (!GetFullPathNameA(argv[1], sizeof full, full, NULL)) return fail("GetFullPathName");
    if (copy_inf(full, "vcom-sync.inf") || copy_inf(full, "vcom-async.inf")) return 1;
    snprintf(inf, sizeof inf, "%s\\testbus.inf", full);
    if (create_root_device(inf)) return 1;
    for (int waited = 0; waited < 30000; waited += 100) {
        if (port_ready("COM7") && port_ready("COM8")) {
            printf("install: COM7 (synchronous transmit) and COM8 (asynchronous transmit) ready after %d ms\n", waited);
            return 0;
        }
        Sleep(100);
    }
    fprintf(stderr, "install: the ports did not appear (COM7 %s, COM8 %s)\n", port_ready("COM7") ? "ok" : "missing",
            port_ready("COM8") ? "ok" : "missing");
    return 1;
}

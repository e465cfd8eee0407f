// The scenarios' fixture on Windows: a real port with a loopback plug, named by the environment
// (VCOM_TEST_PORT, default COM7). Its transmit mode is the driver's configuration
// (VCOM_TEST_TXMODE sync or async, default sync); scenarios for the other mode are skipped, and
// so are those that need the device pulled out. Under Wine (scripts/wine-test.sh) the scenarios
// that a Wine behaviour makes impossible are skipped too, each with the behaviour.
#include <cstdlib>
#include <cstring>
#include <string>

#include "scenario.h"

namespace scenario {

namespace {

WCHAR gName[32];
WCHAR gPath[40];

struct WineLimit {
    const char* scenario;
    const char* why;
};

const WineLimit kWineLimits[] = {
    {"PortOpen.BothNameFormsOpenAndOnlyOneOpenerAtATime",
     "Wine sends IRP_MJ_CREATE for a second open of an exclusive device and IRP_MJ_CLOSE when it is refused, "
     "which ends the first opener's session"},
    {"PortLifetime.CloseWithReadsAndAWaitPendingEndsThem",
     "Wine sends no IRP_MJ_CLEANUP, so requests pending at CloseHandle are not ended"},
    {"PortModem.InputLinesFollowDtrAndRts",
     "Wine's SetCommState sends no IOCTL_SERIAL_SET_DTR/CLR_DTR (Windows does), so DTR_CONTROL_DISABLE leaves DTR on"},
    {"Programs.TheCProgramRunsCleanly",
     "Wine's system functions answer the C program's discovery checks otherwise than Windows: no FriendlyName without "
     "the Ports class installer, CM_Get_Parent and CM_Get_DevNode_Registry_Property fail for the port's node, "
     "FormatMessage words ERROR_FILE_NOT_FOUND differently, and GetFileType of the port (a FILE_DEVICE_SERIAL_PORT "
     "device) is not FILE_TYPE_CHAR"},
    {"PortConfig.TheDcbReadsBackAsSet", "Wine's BuildCommDCB keeps the DCB's flow control where Windows turns it off"},
    {"PortEvents.OneWaitAtATimeAndCancellation",
     "Wine's WaitCommEvent marks a pending wait's OVERLAPPED done at once (Internal STATUS_BAD_DEVICE_TYPE) "
     "while the wait pends in the driver"},
    {"PortTimeouts.IntervalTimeoutStartsWithTheFirstByte",
     "Wine's GetOverlappedResult fails a read that ended with STATUS_TIMEOUT (ERROR_TIMEOUT); Windows returns "
     "its bytes as a success"},
};

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

void Widen(const char* s, WCHAR* out, size_t room) {
    size_t i = 0;
    for (; s[i] && i + 1 < room; ++i) out[i] = static_cast<WCHAR>(static_cast<unsigned char>(s[i]));
    out[i] = 0;
}

}  // namespace

bool StartPort(TxMode mode, std::string* why) {
    const char* port = std::getenv("VCOM_TEST_PORT");
    std::string name = port && *port ? port : "COM7";
    Widen(name.c_str(), gName, 32);
    Widen(("\\\\.\\" + name).c_str(), gPath, 40);
    const char* configured = std::getenv("VCOM_TEST_TXMODE");
    TxMode have = configured && std::strcmp(configured, "async") == 0 ? TxMode::Async : TxMode::Sync;
    if (mode != have) {
        *why = "the port's transmit mode is configured in its registry key (VCOM_TEST_TXMODE)";
        return false;
    }
    if (UnderWine()) {
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string scenario = std::string(test->test_suite_name()) + "." + test->name();
        for (const WineLimit& limit : kWineLimits) {
            if (scenario == limit.scenario) {
                *why = std::string("under Wine: ") + limit.why;
                return false;
            }
        }
    }
    return true;
}

void StopPort() {}
const WCHAR* PortPath() { return gPath; }
const WCHAR* PortName() { return gName; }
bool SurpriseRemove() { return false; }
DWORD TimingSlack() { return 50; }  // the system timer's resolution and scheduling

}  // namespace scenario

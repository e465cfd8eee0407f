// The scenarios' fixture on Windows: a real port with a loopback plug, named by the environment
// (VCOM_TEST_PORT, default COM7). Its transmit mode is the driver's configuration
// (VCOM_TEST_TXMODE sync or async, default sync); scenarios for the other mode are skipped, and
// so are those that need the device pulled out.
#include <cstdlib>
#include <cstring>
#include <string>

#include "scenario.h"

namespace scenario {

namespace {

WCHAR gName[32];
WCHAR gPath[40];

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
    return true;
}

void StopPort() {}
const WCHAR* PortPath() { return gPath; }
const WCHAR* PortName() { return gName; }
bool SurpriseRemove() { return false; }
DWORD TimingSlack() { return 50; }  // the system timer's resolution and scheduling

}  // namespace scenario

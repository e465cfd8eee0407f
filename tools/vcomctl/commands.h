// vcomctl's commands. Each runs the real driver on the emulated kernel with a simulated device
// and talks to the port only through the Win32-style communications API, as an application does.
#pragma once

#include <climits>
#include <cstdint>
#include <string>

#include "rig.h"
#include "windows.h"

namespace vcomctl {

// Options every command shares: how the device and its port are configured.
struct Common {
    int variant = 1;  // "EndPointCaps"
    bool txAsync = false;
    long rxReqSize = -1, rxPollPeriod = -1, kickThreshold = -1;
    long ctlPollPeriod = LONG_MIN;  // -1 is a value here: no status reads
    bool noBaudCheck = false, noNullPacket = false;
    ULONG packet = 64;
    std::string trace;  // "", error, warning, info, verbose

    rig::PortValues Values() const;
    usbpipe::Config Device() const;
};

struct LoopbackOptions {
    uint64_t bytes = 1 << 20;
    ULONG chunk = 4096;       // bytes per WriteFile and per ReadFile
    long queue = -1;          // SetupComm receive queue
    ULONG baud = 115200;
    bool paced = false;       // bytes take their time on the line at `baud`
    long dropByte = -1;       // the line loses this byte (to see the check notice)
};

enum class TermFarEnd { Loopback, Echo };

int RunDemo(const Common& common);
int RunLoopback(const Common& common, const LoopbackOptions& options);
int RunTerm(const Common& common, TermFarEnd farEnd);
int RunPorts(const Common& common, int count);

// Win32 helpers shared by the commands.
HANDLE OpenPort(const WCHAR* path, bool overlapped);
std::string LastError();
bool ApplyLine(HANDLE port, DWORD baud, bool rtsCts);
std::string Events(DWORD mask);
std::string ModemLines(DWORD status);
std::string CommandList(const std::vector<std::vector<uint8_t>>& commands);
void StartTrace(const Common& common);

}  // namespace vcomctl

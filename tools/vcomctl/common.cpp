#include <cstdio>
#include <cstring>

#include "commands.h"
#include "port.h"

namespace vcomctl {

rig::PortValues Common::Values() const {
    rig::PortValues v;
    v.dwords[u"EndPointCaps"] = static_cast<ULONG>(variant);
    v.dwords[u"TxAsync"] = txAsync ? 1 : 0;
    if (rxReqSize >= 0) v.dwords[u"RxReqSize"] = static_cast<ULONG>(rxReqSize);
    if (rxPollPeriod >= 0) v.dwords[u"RxPollPeriod"] = static_cast<ULONG>(rxPollPeriod);
    if (ctlPollPeriod != LONG_MIN) v.dwords[u"CtlPollPeriod"] = static_cast<ULONG>(ctlPollPeriod);
    if (kickThreshold >= 0) v.dwords[u"TxKickThreshold"] = static_cast<ULONG>(kickThreshold);
    if (noBaudCheck) v.dwords[u"NoBaudCheck"] = 1;
    if (noNullPacket) v.dwords[u"TxAllowNullPacket"] = 0;
    return v;
}

usbpipe::Config Common::Device() const {
    usbpipe::Config c;
    c.variant = variant;
    c.packetSize[usbpipe::kTx] = c.packetSize[usbpipe::kRx] = packet;
    return c;
}

void StartTrace(const Common& common) {
    ULONG mask = 0;
    if (common.trace == "error") mask = TRACE_LEVEL_ERROR;
    if (common.trace == "warning") mask = TRACE_LEVEL_ERROR | TRACE_LEVEL_WARNING;
    if (common.trace == "info") mask = TRACE_LEVEL_ERROR | TRACE_LEVEL_WARNING | TRACE_LEVEL_INFO;
    if (common.trace == "verbose") mask = TRACE_LEVEL_ERROR | TRACE_LEVEL_WARNING | TRACE_LEVEL_INFO | TRACE_LEVEL_VERBOSE;
    if (mask == 0) {
        rig::Rig::Trace(0, {});
        return;
    }
    rig::Rig::Trace(mask, [](const std::string& text) { std::fprintf(stderr, "  trace  %s", text.c_str()); });
}

HANDLE OpenPort(const WCHAR* path, bool overlapped) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

std::string LastError() {
    DWORD e = GetLastError();
    switch (e) {
    case ERROR_ACCESS_DENIED: return "ERROR_ACCESS_DENIED";
    case ERROR_FILE_NOT_FOUND: return "ERROR_FILE_NOT_FOUND";
    case ERROR_INVALID_PARAMETER: return "ERROR_INVALID_PARAMETER";
    case ERROR_OPERATION_ABORTED: return "ERROR_OPERATION_ABORTED";
    default: return "error " + std::to_string(e);
    }
}

bool ApplyLine(HANDLE port, DWORD baud, bool rtsCts) {
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) return false;
    dcb.BaudRate = baud;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = rtsCts;
    dcb.fRtsControl = rtsCts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = dcb.fInX = FALSE;
    return SetCommState(port, &dcb);
}

std::string Events(DWORD mask) {
    static const struct {
        DWORD bit;
        const char* name;
    } names[] = {{EV_RXCHAR, "EV_RXCHAR"}, {EV_RXFLAG, "EV_RXFLAG"}, {EV_TXEMPTY, "EV_TXEMPTY"},
                 {EV_CTS, "EV_CTS"},       {EV_DSR, "EV_DSR"},       {EV_RLSD, "EV_RLSD"},
                 {EV_RING, "EV_RING"},     {EV_RX80FULL, "EV_RX80FULL"}};
    std::string out;
    for (const auto& n : names) {
        if (mask & n.bit) out += (out.empty() ? "" : " ") + std::string(n.name);
    }
    return out.empty() ? "none" : out;
}

std::string ModemLines(DWORD s) {
    std::string out;
    out += (s & MS_DSR_ON) ? "DSR on, " : "DSR off, ";
    out += (s & MS_RLSD_ON) ? "DCD on, " : "DCD off, ";
    out += (s & MS_CTS_ON) ? "CTS on" : "CTS off";
    return out;
}

std::string CommandList(const std::vector<std::vector<uint8_t>>& commands) {
    std::string out;
    for (const auto& c : commands) {
        out += out.empty() ? "{" : " {";
        for (size_t i = 0; i < c.size(); i++) {
            char b[4];
            std::snprintf(b, sizeof b, i ? " %02x" : "%02x", c[i]);
            out += b;
        }
        out += "}";
    }
    return out.empty() ? "none" : out;
}

}  // namespace vcomctl

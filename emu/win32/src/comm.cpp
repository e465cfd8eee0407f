// The communications functions: each is the serial device control (or sequence of them) that
// Windows issues for it, with the DCB and COMSTAT mapped to and from the serial records.
#include <cctype>
#include <cstring>

#include "emu/registry.h"

#include "internal.h"

using namespace emu::win32;

static_assert(sizeof(DCB) == 28 && sizeof(COMMTIMEOUTS) == sizeof(SERIAL_TIMEOUTS) && sizeof(COMSTAT) == 12);
static_assert(sizeof(COMMPROP) == sizeof(SERIAL_COMMPROP));

namespace {

BOOL Invalid() {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

BOOL Simple(HANDLE h, DWORD code) { return Control(h, code, nullptr, 0, nullptr, 0); }

bool ReadSettings(HANDLE h, SerialSettings* s) {
    return Control(h, IOCTL_SERIAL_GET_BAUD_RATE, nullptr, 0, &s->baud, sizeof s->baud) &&
           Control(h, IOCTL_SERIAL_GET_LINE_CONTROL, nullptr, 0, &s->lineControl, sizeof s->lineControl) &&
           Control(h, IOCTL_SERIAL_GET_CHARS, nullptr, 0, &s->chars, sizeof s->chars) &&
           Control(h, IOCTL_SERIAL_GET_HANDFLOW, nullptr, 0, &s->handFlow, sizeof s->handFlow);
}

void RestoreSettings(HANDLE h, const SerialSettings& s) {
    DWORD error = GetLastError();
    SerialSettings copy = s;
    Control(h, IOCTL_SERIAL_SET_BAUD_RATE, &copy.baud, sizeof copy.baud, nullptr, 0);
    Control(h, IOCTL_SERIAL_SET_LINE_CONTROL, &copy.lineControl, sizeof copy.lineControl, nullptr, 0);
    Control(h, IOCTL_SERIAL_SET_CHARS, &copy.chars, sizeof copy.chars, nullptr, 0);
    Control(h, IOCTL_SERIAL_SET_HANDFLOW, &copy.handFlow, sizeof copy.handFlow, nullptr, 0);
    SetLastError(error);  // the caller learns why the change failed, not how the restore went
}

}  // namespace

BOOL GetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB) return Invalid();
    SerialSettings s{};
    if (!ReadSettings(hFile, &s)) return FALSE;
    *lpDCB = DcbFromSettings(s);
    return TRUE;
}

BOOL SetCommState(HANDLE hFile, LPDCB lpDCB) {
    if (!lpDCB) return Invalid();
    SerialSettings old{};
    if (!ReadSettings(hFile, &old)) return FALSE;
    SerialSettings s = SettingsFromDcb(*lpDCB, old);
    // DTR and RTS follow a DCB that drives them by hand. While the old handflow still has the
    // line under handshake the driver refuses the change, so it waits for the new handflow.
    DWORD dtr = lpDCB->fDtrControl == DTR_CONTROL_ENABLE    ? IOCTL_SERIAL_SET_DTR
                : lpDCB->fDtrControl == DTR_CONTROL_DISABLE ? IOCTL_SERIAL_CLR_DTR
                                                            : 0;
    DWORD rts = lpDCB->fRtsControl == RTS_CONTROL_ENABLE    ? IOCTL_SERIAL_SET_RTS
                : lpDCB->fRtsControl == RTS_CONTROL_DISABLE ? IOCTL_SERIAL_CLR_RTS
                                                            : 0;
    bool dtrLate = (old.handFlow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE;
    bool rtsLate = (old.handFlow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE;
    bool ok = Control(hFile, IOCTL_SERIAL_SET_BAUD_RATE, &s.baud, sizeof s.baud, nullptr, 0) &&
              (rts == 0 || rtsLate || Simple(hFile, rts)) && (dtr == 0 || dtrLate || Simple(hFile, dtr)) &&
              Control(hFile, IOCTL_SERIAL_SET_LINE_CONTROL, &s.lineControl, sizeof s.lineControl, nullptr, 0) &&
              Control(hFile, IOCTL_SERIAL_SET_CHARS, &s.chars, sizeof s.chars, nullptr, 0) &&
              Control(hFile, IOCTL_SERIAL_SET_HANDFLOW, &s.handFlow, sizeof s.handFlow, nullptr, 0) &&
              (rts == 0 || !rtsLate || Simple(hFile, rts)) && (dtr == 0 || !dtrLate || Simple(hFile, dtr));
    if (!ok) {
        if (GetLastError() == ERROR_INVALID_HANDLE && !LookupFile(hFile)) return FALSE;
        RestoreSettings(hFile, old);
        return FALSE;
    }
    return TRUE;
}

BOOL GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpCommTimeouts) return Invalid();
    return Control(hFile, IOCTL_SERIAL_GET_TIMEOUTS, nullptr, 0, lpCommTimeouts, sizeof(COMMTIMEOUTS));
}

BOOL SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpCommTimeouts) return Invalid();
    return Control(hFile, IOCTL_SERIAL_SET_TIMEOUTS, lpCommTimeouts, sizeof(COMMTIMEOUTS), nullptr, 0);
}

BOOL SetupComm(HANDLE hFile, DWORD dwInQueue, DWORD dwOutQueue) {
    SERIAL_QUEUE_SIZE q{dwInQueue, dwOutQueue};
    return Control(hFile, IOCTL_SERIAL_SET_QUEUE_SIZE, &q, sizeof q, nullptr, 0);
}

BOOL PurgeComm(HANDLE hFile, DWORD dwFlags) {
    ULONG mask = dwFlags;
    return Control(hFile, IOCTL_SERIAL_PURGE, &mask, sizeof mask, nullptr, 0);
}

BOOL ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    SERIAL_STATUS status{};
    if (!Control(hFile, IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
    ComStatFromStatus(status, lpErrors, lpStat);
    return TRUE;
}

BOOL GetCommModemStatus(HANDLE hFile, LPDWORD lpModemStat) {
    if (!lpModemStat) return Invalid();
    ULONG status = 0;
    if (!Control(hFile, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status)) return FALSE;
    *lpModemStat = status;  // MS_*_ON are the SERIAL_*_STATE bits
    return TRUE;
}

BOOL EscapeCommFunction(HANDLE hFile, DWORD dwFunc) {
    static const DWORD kCodes[] = {0,
                                   IOCTL_SERIAL_SET_XOFF,
                                   IOCTL_SERIAL_SET_XON,
                                   IOCTL_SERIAL_SET_RTS,
                                   IOCTL_SERIAL_CLR_RTS,
                                   IOCTL_SERIAL_SET_DTR,
                                   IOCTL_SERIAL_CLR_DTR,
                                   IOCTL_SERIAL_RESET_DEVICE,
                                   IOCTL_SERIAL_SET_BREAK_ON,
                                   IOCTL_SERIAL_SET_BREAK_OFF};
    if (dwFunc < SETXOFF || dwFunc > CLRBREAK) {
        if (!LookupFile(hFile)) return FALSE;
        return Invalid();
    }
    return Simple(hFile, kCodes[dwFunc]);
}

BOOL SetCommBreak(HANDLE hFile) { return Simple(hFile, IOCTL_SERIAL_SET_BREAK_ON); }
BOOL ClearCommBreak(HANDLE hFile) { return Simple(hFile, IOCTL_SERIAL_SET_BREAK_OFF); }

BOOL TransmitCommChar(HANDLE hFile, char cChar) {
    UCHAR c = static_cast<UCHAR>(cChar);
    return Control(hFile, IOCTL_SERIAL_IMMEDIATE_CHAR, &c, 1, nullptr, 0);
}

BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask) {
    ULONG mask = dwEvtMask;
    return Control(hFile, IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof mask, nullptr, 0);
}

BOOL GetCommMask(HANDLE hFile, LPDWORD lpEvtMask) {
    if (!lpEvtMask) return Invalid();
    return Control(hFile, IOCTL_SERIAL_GET_WAIT_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD));
}

BOOL WaitCommEvent(HANDLE hFile, LPDWORD lpEvtMask, LPOVERLAPPED lpOverlapped) {
    auto f = LookupFile(hFile);
    if (!f) return FALSE;
    if (!lpEvtMask || (f->overlapped && !lpOverlapped)) return Invalid();
    DWORD n = 0;
    return Issue(f, Kind::Ioctl, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, lpEvtMask, sizeof(DWORD), &n, lpOverlapped);
}

BOOL GetCommProperties(HANDLE hFile, LPCOMMPROP lpCommProp) {
    if (!lpCommProp) return Invalid();
    return Control(hFile, IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, lpCommProp, sizeof(COMMPROP));
}

// ---- configuration records -----------------------------------------------------------------------

namespace {

// Fills a COMMCONFIG around a DCB, as the serial provider describes an RS-232 port.
BOOL PutConfig(const DCB& dcb, LPCOMMCONFIG cc, LPDWORD size) {
    if (!size) return Invalid();
    if (!cc || *size < sizeof(COMMCONFIG)) {
        *size = sizeof(COMMCONFIG);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memset(cc, 0, sizeof *cc);
    cc->dwSize = sizeof(COMMCONFIG);
    cc->wVersion = 1;
    cc->dcb = dcb;
    cc->dwProviderSubType = PST_RS232;
    *size = sizeof(COMMCONFIG);
    return TRUE;
}

}  // namespace

BOOL GetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!LookupFile(hCommDev)) return FALSE;
    if (!lpdwSize) return Invalid();
    if (!lpCC || *lpdwSize < sizeof(COMMCONFIG)) return PutConfig(DCB{}, lpCC, lpdwSize);
    DCB dcb;
    if (!GetCommState(hCommDev, &dcb)) return FALSE;
    return PutConfig(dcb, lpCC, lpdwSize);
}

BOOL SetCommConfig(HANDLE hCommDev, LPCOMMCONFIG lpCC, DWORD dwSize) {
    if (!LookupFile(hCommDev)) return FALSE;
    if (!lpCC || dwSize < sizeof(COMMCONFIG) - sizeof(WCHAR)) return Invalid();
    return SetCommState(hCommDev, &lpCC->dcb);
}

// The defaults of a port the device map names: the "COMn:" mode string of the Ports key if there is
// one, else 9600 baud, 8 data bits, no parity, one stop bit. The port is not opened.
BOOL GetDefaultCommConfigW(LPCWSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpszName || !lpdwSize) return Invalid();
    std::string name = Narrow(lpszName);
    for (char& c : name) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    bool known = false;
    for (const auto& [valueName, value] : emu::registry::Values(std::string(emu::registry::kDeviceMap) + "\\SERIALCOMM")) {
        std::string port;
        for (size_t i = 0; i + 1 < value.data.size(); i += 2) {
            char16_t c = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
            if (!c) break;
            port += static_cast<char>(c < 128 ? toupper(c) : '?');
        }
        if (value.type == REG_SZ && port == name) known = true;
    }
    if (!known) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.fBinary = TRUE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    BuildDcb("9600,n,8,1", &dcb);
    auto mode = emu::registry::GetString("\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports",
                                         emu::io::ToU16(name + ":"));
    if (mode) BuildDcb(emu::io::ToUtf8(*mode), &dcb);  // a mode string it refuses leaves the defaults
    return PutConfig(dcb, lpCC, lpdwSize);
}

BOOL GetDefaultCommConfigA(LPCSTR lpszName, LPCOMMCONFIG lpCC, LPDWORD lpdwSize) {
    if (!lpszName) return Invalid();
    return GetDefaultCommConfigW(AsWide(Widen(lpszName)), lpCC, lpdwSize);
}

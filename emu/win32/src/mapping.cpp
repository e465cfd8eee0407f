// Pure mappings of the Win32 layer: NTSTATUS to Win32 errors, DCB to and from the serial
// records, SERIAL_STATUS to COMSTAT, and BuildCommDCB's mode-string parser.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "emu/win32.h"
#include "internal.h"

namespace emu::win32 {

DWORD NtStatusToWin32Error(NTSTATUS status) {
    struct Row {
        NTSTATUS status;
        DWORD error;
    };
    static const Row kRows[] = {
        {STATUS_SUCCESS, ERROR_SUCCESS},
        {STATUS_PENDING, ERROR_IO_PENDING},
        {STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
        {STATUS_INVALID_HANDLE, ERROR_INVALID_HANDLE},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_NO_MEMORY, ERROR_NOT_ENOUGH_MEMORY},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_OBJECT_TYPE_MISMATCH, ERROR_INVALID_HANDLE},
        {STATUS_OBJECT_NAME_INVALID, ERROR_INVALID_NAME},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_OBJECT_NAME_COLLISION, ERROR_ALREADY_EXISTS},
        {STATUS_OBJECT_PATH_NOT_FOUND, ERROR_PATH_NOT_FOUND},
        {STATUS_SHARING_VIOLATION, ERROR_SHARING_VIOLATION},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_DEVICE_NOT_READY, ERROR_NOT_READY},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_INTERNAL_ERROR, ERROR_INTERNAL_ERROR},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
        {STATUS_POWER_STATE_INVALID, ERROR_NOT_READY},
    };
    for (const Row& r : kRows)
        if (r.status == status) return r.error;
    return ERROR_MR_MID_NOT_FOUND;
}

SerialSettings SettingsFromDcb(const DCB& dcb, const SerialSettings& current) {
    SerialSettings s = current;
    s.baud.BaudRate = dcb.BaudRate;
    s.lineControl.WordLength = dcb.ByteSize;
    s.lineControl.Parity = dcb.Parity;      // NOPARITY.. SPACEPARITY are NO_PARITY.. SPACE_PARITY
    s.lineControl.StopBits = dcb.StopBits;  // ONESTOPBIT.. TWOSTOPBITS are STOP_BIT_1.. STOP_BITS_2
    s.chars.XonChar = static_cast<UCHAR>(dcb.XonChar);
    s.chars.XoffChar = static_cast<UCHAR>(dcb.XoffChar);
    s.chars.ErrorChar = static_cast<UCHAR>(dcb.ErrorChar);
    s.chars.EofChar = static_cast<UCHAR>(dcb.EofChar);
    s.chars.EventChar = static_cast<UCHAR>(dcb.EvtChar);
    ULONG shake = dcb.fDtrControl;  // DTR_CONTROL_* is SERIAL_DTR_CONTROL / SERIAL_DTR_HANDSHAKE
    if (dcb.fOutxCtsFlow) shake |= SERIAL_CTS_HANDSHAKE;
    if (dcb.fOutxDsrFlow) shake |= SERIAL_DSR_HANDSHAKE;
    if (dcb.fDsrSensitivity) shake |= SERIAL_DSR_SENSITIVITY;
    if (dcb.fAbortOnError) shake |= SERIAL_ERROR_ABORT;
    ULONG replace = static_cast<ULONG>(dcb.fRtsControl) << 6;  // RTS_CONTROL_* in SERIAL_RTS_MASK
    if (dcb.fOutX) replace |= SERIAL_AUTO_TRANSMIT;
    if (dcb.fInX) replace |= SERIAL_AUTO_RECEIVE;
    if (dcb.fErrorChar) replace |= SERIAL_ERROR_CHAR;
    if (dcb.fNull) replace |= SERIAL_NULL_STRIPPING;
    if (dcb.fTXContinueOnXoff) replace |= SERIAL_XOFF_CONTINUE;
    s.handFlow.ControlHandShake = shake;
    s.handFlow.FlowReplace = replace;
    s.handFlow.XonLimit = dcb.XonLim;
    s.handFlow.XoffLimit = dcb.XoffLim;
    return s;
}

DCB DcbFromSettings(const SerialSettings& s) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = s.baud.BaudRate;
    dcb.fBinary = TRUE;  // Windows supports binary mode only
    dcb.ByteSize = s.lineControl.WordLength;
    dcb.Parity = s.lineControl.Parity;
    dcb.StopBits = s.lineControl.StopBits;
    dcb.fParity = s.lineControl.Parity != NO_PARITY;
    dcb.XonChar = static_cast<char>(s.chars.XonChar);
    dcb.XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb.ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb.EofChar = static_cast<char>(s.chars.EofChar);
    dcb.EvtChar = static_cast<char>(s.chars.EventChar);
    ULONG shake = s.handFlow.ControlHandShake;
    ULONG replace = s.handFlow.FlowReplace;
    dcb.fDtrControl = shake & SERIAL_DTR_MASK;
    dcb.fOutxCtsFlow = (shake & SERIAL_CTS_HANDSHAKE) != 0;
    dcb.fOutxDsrFlow = (shake & SERIAL_DSR_HANDSHAKE) != 0;
    dcb.fDsrSensitivity = (shake & SERIAL_DSR_SENSITIVITY) != 0;
    dcb.fAbortOnError = (shake & SERIAL_ERROR_ABORT) != 0;
    dcb.fRtsControl = (replace & SERIAL_RTS_MASK) >> 6;
    dcb.fOutX = (replace & SERIAL_AUTO_TRANSMIT) != 0;
    dcb.fInX = (replace & SERIAL_AUTO_RECEIVE) != 0;
    dcb.fErrorChar = (replace & SERIAL_ERROR_CHAR) != 0;
    dcb.fNull = (replace & SERIAL_NULL_STRIPPING) != 0;
    dcb.fTXContinueOnXoff = (replace & SERIAL_XOFF_CONTINUE) != 0;
    // The limits are 16-bit in a DCB; a larger driver value is shown saturated rather than wrapped.
    auto limit = [](LONG v) { return static_cast<WORD>(v < 0 ? 0 : v > 0xFFFF ? 0xFFFF : v); };
    dcb.XonLim = limit(s.handFlow.XonLimit);
    dcb.XoffLim = limit(s.handFlow.XoffLimit);
    return dcb;
}

void ComStatFromStatus(const SERIAL_STATUS& status, DWORD* errors, COMSTAT* stat) {
    if (errors) {
        DWORD e = 0;
        if (status.Errors & SERIAL_ERROR_QUEUEOVERRUN) e |= CE_RXOVER;
        if (status.Errors & SERIAL_ERROR_OVERRUN) e |= CE_OVERRUN;
        if (status.Errors & SERIAL_ERROR_PARITY) e |= CE_RXPARITY;
        if (status.Errors & SERIAL_ERROR_FRAMING) e |= CE_FRAME;
        if (status.Errors & SERIAL_ERROR_BREAK) e |= CE_BREAK;
        *errors = e;
    }
    if (stat) {
        memset(stat, 0, sizeof *stat);
        ULONG h = status.HoldReasons;
        stat->fCtsHold = (h & SERIAL_TX_WAITING_FOR_CTS) != 0;
        stat->fDsrHold = (h & SERIAL_TX_WAITING_FOR_DSR) != 0;
        stat->fRlsdHold = (h & SERIAL_TX_WAITING_FOR_DCD) != 0;
        stat->fXoffHold = (h & SERIAL_TX_WAITING_FOR_XON) != 0;
        stat->fXoffSent = (h & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        stat->fEof = status.EofReceived != 0;
        stat->fTxim = status.WaitForImmediate != 0;
        stat->cbInQue = status.AmountInInQueue;
        stat->cbOutQue = status.AmountInOutQueue;
    }
}

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    size_t e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

// A decimal DWORD: up to ten digits, refused when it does not fit.
bool ParseNumber(const std::string& s, DWORD* out) {
    if (s.empty() || s.size() > 10) return false;
    ULONGLONG v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<ULONGLONG>(c - '0');
    }
    if (v > 0xFFFFFFFFULL) return false;
    *out = static_cast<DWORD>(v);
    return true;
}

bool ParseParity(const std::string& v, BYTE* parity) {
    static const char kLetters[] = "noems";  // NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY
    if (v.size() != 1) return false;
    const char* p = strchr(kLetters, v[0]);
    if (!p || !*p) return false;
    *parity = static_cast<BYTE>(p - kLetters);
    return true;
}

bool ParseStop(const std::string& v, BYTE* stop) {
    if (v == "1") *stop = ONESTOPBIT;
    else if (v == "1.5") *stop = ONE5STOPBITS;
    else if (v == "2") *stop = TWOSTOPBITS;
    else return false;
    return true;
}

bool ParseData(const std::string& v, BYTE* size) {
    DWORD n;
    if (!ParseNumber(v, &n) || n < 5 || n > 8) return false;
    *size = static_cast<BYTE>(n);
    return true;
}

// mode's old form: baud[,parity[,data[,stop[,x|p]]]], the baud possibly abbreviated.
bool ParseOldForm(const std::string& def, DCB* dcb) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t comma = def.find(',', start);
        parts.push_back(Trim(def.substr(start, comma == std::string::npos ? std::string::npos : comma - start)));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    if (parts.size() > 5) return false;
    DWORD baud;
    if (!ParseNumber(parts[0], &baud)) return false;
    static const struct {
        DWORD abbreviation, rate;
    } kShort[] = {{11, 110}, {15, 150}, {30, 300}, {60, 600}, {12, 1200}, {24, 2400}, {48, 4800}, {96, 9600}, {19, 19200}};
    for (auto& a : kShort)
        if (baud == a.abbreviation) baud = a.rate;
    dcb->BaudRate = baud;
    if (parts.size() > 1 && !parts[1].empty() && !ParseParity(parts[1], &dcb->Parity)) return false;
    if (parts.size() > 2 && !parts[2].empty() && !ParseData(parts[2], &dcb->ByteSize)) return false;
    if (parts.size() > 3 && !parts[3].empty() && !ParseStop(parts[3], &dcb->StopBits)) return false;
    else if (parts.size() <= 3 && baud == 110) dcb->StopBits = TWOSTOPBITS;
    // The handshake field names the whole flow control: software (x) or hardware (p).
    if (parts.size() > 4 && !parts[4].empty()) {
        bool x = parts[4] == "x", p = parts[4] == "p";
        if (!x && !p) return false;
        dcb->fOutX = dcb->fInX = x;
        dcb->fOutxCtsFlow = dcb->fOutxDsrFlow = p;
        dcb->fDtrControl = p ? DTR_CONTROL_HANDSHAKE : DTR_CONTROL_ENABLE;
        dcb->fRtsControl = p ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_ENABLE;
    }
    return true;
}

bool OnOff(const std::string& v, DWORD* flag) {
    if (v == "on") *flag = 1;
    else if (v == "off") *flag = 0;
    else return false;
    return true;
}

// mode's new form: key=value words (baud, parity, data, stop, to, xon, odsr, octs, dtr, rts, idsr).
bool ParseNewForm(const std::string& def, DCB* dcb, COMMTIMEOUTS* timeouts) {
    size_t i = 0;
    bool stopGiven = false, baudGiven = false;
    while (i < def.size()) {
        while (i < def.size() && (def[i] == ' ' || def[i] == '\t')) ++i;
        if (i >= def.size()) break;
        size_t end = def.find_first_of(" \t", i);
        std::string word = def.substr(i, end == std::string::npos ? std::string::npos : end - i);
        i = end == std::string::npos ? def.size() : end;
        size_t eq = word.find('=');
        if (eq == std::string::npos) return false;
        std::string key = word.substr(0, eq), v = word.substr(eq + 1);
        DWORD flag;
        if (key == "baud") {
            if (!ParseNumber(v, &dcb->BaudRate)) return false;
            baudGiven = true;
        } else if (key == "parity") {
            if (!ParseParity(v, &dcb->Parity)) return false;
        } else if (key == "data") {
            if (!ParseData(v, &dcb->ByteSize)) return false;
        } else if (key == "stop") {
            if (!ParseStop(v, &dcb->StopBits)) return false;
            stopGiven = true;
        } else if (key == "to") {
            if (!OnOff(v, &flag)) return false;
            // On: writes give up after a minute; off: no timeouts at all.
            if (timeouts) *timeouts = COMMTIMEOUTS{0, 0, 0, 0, flag ? 60000u : 0u};
        } else if (key == "xon") {
            if (!OnOff(v, &flag)) return false;
            dcb->fOutX = dcb->fInX = flag;
        } else if (key == "odsr") {
            if (!OnOff(v, &flag)) return false;
            dcb->fOutxDsrFlow = flag;
        } else if (key == "octs") {
            if (!OnOff(v, &flag)) return false;
            dcb->fOutxCtsFlow = flag;
        } else if (key == "idsr") {
            if (!OnOff(v, &flag)) return false;
            dcb->fDsrSensitivity = flag;
        } else if (key == "dtr") {
            if (v == "hs") dcb->fDtrControl = DTR_CONTROL_HANDSHAKE;
            else if (OnOff(v, &flag)) dcb->fDtrControl = flag ? DTR_CONTROL_ENABLE : DTR_CONTROL_DISABLE;
            else return false;
        } else if (key == "rts") {
            if (v == "hs") dcb->fRtsControl = RTS_CONTROL_HANDSHAKE;
            else if (v == "tg") dcb->fRtsControl = RTS_CONTROL_TOGGLE;
            else if (OnOff(v, &flag)) dcb->fRtsControl = flag ? RTS_CONTROL_ENABLE : RTS_CONTROL_DISABLE;
            else return false;
        } else {
            return false;
        }
    }
    if (!stopGiven && baudGiven && dcb->BaudRate == 110) dcb->StopBits = TWOSTOPBITS;
    return true;
}

}  // namespace

bool BuildDcb(const std::string& definition, DCB* dcb, COMMTIMEOUTS* timeouts) {
    std::string def = Trim(Lower(definition));
    // An optional device prefix: "COM7:", "COM7 :" or "COM7 ".
    if (def.rfind("com", 0) == 0) {
        size_t i = 3;
        while (i < def.size() && std::isdigit(static_cast<unsigned char>(def[i]))) ++i;
        size_t j = i;
        while (j < def.size() && (def[j] == ' ' || def[j] == '\t')) ++j;
        if (i > 3 && (j == def.size() || def[j] == ':' || j > i)) {
            if (j < def.size() && def[j] == ':') ++j;
            def = Trim(def.substr(j));
        }
    }
    if (def.empty()) return false;
    // Only what the string names changes, and nothing when it is refused.
    DCB work = *dcb;
    COMMTIMEOUTS workTimeouts{};
    if (timeouts) workTimeouts = *timeouts;
    bool ok = def.find('=') != std::string::npos ? ParseNewForm(def, &work, timeouts ? &workTimeouts : nullptr)
                                                 : ParseOldForm(def, &work);
    if (!ok) return false;
    *dcb = work;
    if (timeouts) *timeouts = workTimeouts;
    return true;
}

}  // namespace emu::win32

BOOL BuildCommDCBAndTimeoutsA(LPCSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpDef || !lpDCB || !lpCommTimeouts || !emu::win32::BuildDcb(lpDef, lpDCB, lpCommTimeouts)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL BuildCommDCBAndTimeoutsW(LPCWSTR lpDef, LPDCB lpDCB, LPCOMMTIMEOUTS lpCommTimeouts) {
    if (!lpDef) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return BuildCommDCBAndTimeoutsA(emu::win32::Narrow(lpDef).c_str(), lpDCB, lpCommTimeouts);
}

BOOL BuildCommDCBA(LPCSTR lpDef, LPDCB lpDCB) {
    if (!lpDef || !lpDCB || !emu::win32::BuildDcb(lpDef, lpDCB)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

BOOL BuildCommDCBW(LPCWSTR lpDef, LPDCB lpDCB) {
    if (!lpDef) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return BuildCommDCBA(emu::win32::Narrow(lpDef).c_str(), lpDCB);
}

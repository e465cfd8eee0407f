// The Win32 layer's own logic: NTSTATUS to Win32 errors, DCB to and from the serial records,
// COMSTAT from SERIAL_STATUS, and BuildCommDCB's parsing of mode strings.
#include <gtest/gtest.h>

#include <cstring>

#include "emu/win32.h"

namespace {

using emu::win32::DcbFromSettings;
using emu::win32::NtStatusToWin32Error;
using emu::win32::SerialSettings;
using emu::win32::SettingsFromDcb;

TEST(Win32Errors, StatusesMapAsWindowsMapsThem) {
    EXPECT_EQ(NtStatusToWin32Error(STATUS_SUCCESS), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_PENDING), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_CANCELLED), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_INVALID_PARAMETER), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_INVALID_DEVICE_REQUEST), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_DELETE_PENDING), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_ACCESS_DENIED), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_OBJECT_NAME_NOT_FOUND), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_INSUFFICIENT_RESOURCES), static_cast<DWORD>(ERROR_NO_SYSTEM_RESOURCES));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_DEVICE_NOT_CONNECTED), static_cast<DWORD>(ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_BUFFER_OVERFLOW), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(NtStatusToWin32Error(STATUS_IO_TIMEOUT), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    // A status without a Win32 counterpart.
    EXPECT_EQ(NtStatusToWin32Error(static_cast<NTSTATUS>(0xC0DE0001)), static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
}

DCB EveryFlagDcb() {
    DCB d{};
    d.DCBlength = sizeof d;
    d.BaudRate = 38400;
    d.fBinary = TRUE;
    d.fOutxCtsFlow = TRUE;
    d.fOutxDsrFlow = TRUE;
    d.fDtrControl = DTR_CONTROL_HANDSHAKE;
    d.fDsrSensitivity = TRUE;
    d.fTXContinueOnXoff = TRUE;
    d.fOutX = TRUE;
    d.fInX = TRUE;
    d.fErrorChar = TRUE;
    d.fNull = TRUE;
    d.fRtsControl = RTS_CONTROL_TOGGLE;
    d.fAbortOnError = TRUE;
    d.XonLim = 100;
    d.XoffLim = 200;
    d.ByteSize = 7;
    d.Parity = EVENPARITY;
    d.StopBits = TWOSTOPBITS;
    d.XonChar = 0x11;
    d.XoffChar = 0x13;
    d.ErrorChar = '?';
    d.EofChar = 0x1A;
    d.EvtChar = '\n';
    return d;
}

TEST(Win32Dcb, EveryFieldReachesItsSerialRecordAndComesBack) {
    SerialSettings current{};
    current.chars.BreakChar = 0x55;  // a DCB has no break character: the port's stays
    SerialSettings s = SettingsFromDcb(EveryFlagDcb(), current);
    EXPECT_EQ(s.baud.BaudRate, 38400u);
    EXPECT_EQ(s.lineControl.WordLength, 7);
    EXPECT_EQ(s.lineControl.Parity, EVEN_PARITY);
    EXPECT_EQ(s.lineControl.StopBits, STOP_BITS_2);
    EXPECT_EQ(s.chars.XonChar, 0x11);
    EXPECT_EQ(s.chars.XoffChar, 0x13);
    EXPECT_EQ(s.chars.ErrorChar, '?');
    EXPECT_EQ(s.chars.EofChar, 0x1A);
    EXPECT_EQ(s.chars.EventChar, '\n');
    EXPECT_EQ(s.chars.BreakChar, 0x55);
    EXPECT_EQ(s.handFlow.ControlHandShake, SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                                               SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT);
    EXPECT_EQ(s.handFlow.FlowReplace, SERIAL_TRANSMIT_TOGGLE | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE |
                                          SERIAL_ERROR_CHAR | SERIAL_NULL_STRIPPING | SERIAL_XOFF_CONTINUE);
    EXPECT_EQ(s.handFlow.XonLimit, 100);
    EXPECT_EQ(s.handFlow.XoffLimit, 200);

    DCB back = DcbFromSettings(s);
    DCB want = EveryFlagDcb();
    want.fParity = TRUE;  // parity is on whenever the line has one
    EXPECT_EQ(memcmp(&back, &want, sizeof back), 0);
}

TEST(Win32Dcb, LineModesMapOneToOneAndLimitsSaturate) {
    for (DWORD dtr : {DTR_CONTROL_DISABLE, DTR_CONTROL_ENABLE, DTR_CONTROL_HANDSHAKE}) {
        for (DWORD rts : {RTS_CONTROL_DISABLE, RTS_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE}) {
            DCB d{};
            d.fDtrControl = dtr;
            d.fRtsControl = rts;
            SerialSettings s = SettingsFromDcb(d, {});
            EXPECT_EQ(s.handFlow.ControlHandShake, dtr);
            EXPECT_EQ(s.handFlow.FlowReplace, rts << 6);
            DCB back = DcbFromSettings(s);
            EXPECT_EQ(back.fDtrControl, dtr);
            EXPECT_EQ(back.fRtsControl, rts);
            EXPECT_EQ(back.fParity, 0u);
            EXPECT_EQ(back.fBinary, 1u);
        }
    }
    // The driver's limits are 32-bit; a DCB shows them clamped to its 16 bits, never wrapped.
    SerialSettings big{};
    big.handFlow.XonLimit = 70000;
    big.handFlow.XoffLimit = -5;
    DCB d = DcbFromSettings(big);
    EXPECT_EQ(d.XonLim, 0xFFFF);
    EXPECT_EQ(d.XoffLim, 0);
}

TEST(Win32ComStat, ErrorsAndHoldReasonsBecomeTheirWin32Flags) {
    SERIAL_STATUS st{};
    st.Errors = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN | SERIAL_ERROR_QUEUEOVERRUN |
                SERIAL_ERROR_PARITY;
    st.HoldReasons = SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_XON;
    st.AmountInInQueue = 100;
    st.AmountInOutQueue = 7;
    st.WaitForImmediate = 1;
    DWORD errors = 0;
    COMSTAT cs;
    emu::win32::ComStatFromStatus(st, &errors, &cs);
    EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK | CE_FRAME | CE_OVERRUN | CE_RXOVER | CE_RXPARITY));
    EXPECT_EQ(cs.fCtsHold, 1u);
    EXPECT_EQ(cs.fXoffHold, 1u);
    EXPECT_EQ(cs.fDsrHold, 0u);
    EXPECT_EQ(cs.fRlsdHold, 0u);
    EXPECT_EQ(cs.fEof, 0u);
    EXPECT_EQ(cs.fTxim, 1u);
    EXPECT_EQ(cs.cbInQue, 100u);
    EXPECT_EQ(cs.cbOutQue, 7u);
}

DCB Prefilled() {
    DCB d{};
    d.BaudRate = 1200;
    d.ByteSize = 8;
    d.EofChar = 0x1A;
    d.fOutX = d.fInX = TRUE;  // flow control stays unless the string names it
    d.fOutxCtsFlow = TRUE;
    return d;
}

// Each string against the prefilled DCB: the fields it names change, every other byte stays
// (flow control, fBinary and DCBlength included).
TEST(Win32BuildCommDcb, OldAndNewFormsChangeOnlyWhatTheyName) {
    struct Case {
        const char* def;
        void (*want)(DCB&);
    } cases[] = {
        {"96,n,8,1", [](DCB& d) { d.BaudRate = 9600, d.Parity = NOPARITY, d.ByteSize = 8, d.StopBits = ONESTOPBIT; }},
        // A flow letter names the whole flow control.
        {"COM7: 19200,e,7,1.5,x",
         [](DCB& d) {
             d.BaudRate = 19200, d.Parity = EVENPARITY, d.ByteSize = 7, d.StopBits = ONE5STOPBITS;
             d.fOutX = d.fInX = TRUE, d.fOutxCtsFlow = d.fOutxDsrFlow = FALSE;
             d.fDtrControl = DTR_CONTROL_ENABLE, d.fRtsControl = RTS_CONTROL_ENABLE;
         }},
        {"115200,O,8,2,p",
         [](DCB& d) {
             d.BaudRate = 115200, d.Parity = ODDPARITY, d.ByteSize = 8, d.StopBits = TWOSTOPBITS;
             d.fOutX = d.fInX = FALSE, d.fOutxCtsFlow = d.fOutxDsrFlow = TRUE;
             d.fDtrControl = DTR_CONTROL_HANDSHAKE, d.fRtsControl = RTS_CONTROL_HANDSHAKE;
         }},
        // 110 baud takes two stop bits unless the string gives them.
        {"11,m,7", [](DCB& d) { d.BaudRate = 110, d.Parity = MARKPARITY, d.ByteSize = 7, d.StopBits = TWOSTOPBITS; }},
        {"com7 baud=57600 parity=S data=5 stop=2 dtr=hs rts=tg xon=on odsr=on idsr=on to=off",
         [](DCB& d) {
             d.BaudRate = 57600, d.Parity = SPACEPARITY, d.ByteSize = 5, d.StopBits = TWOSTOPBITS;
             d.fDtrControl = DTR_CONTROL_HANDSHAKE, d.fRtsControl = RTS_CONTROL_TOGGLE;
             d.fOutX = d.fInX = TRUE, d.fOutxDsrFlow = d.fDsrSensitivity = TRUE;
         }},
        {"baud=2400 dtr=off rts=on octs=on",
         [](DCB& d) {
             d.BaudRate = 2400, d.fDtrControl = DTR_CONTROL_DISABLE, d.fRtsControl = RTS_CONTROL_ENABLE;
             d.fOutxCtsFlow = TRUE;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.def);
        DCB got = Prefilled(), want = Prefilled();
        c.want(want);
        ASSERT_TRUE(BuildCommDCBA(c.def, &got));
        EXPECT_EQ(memcmp(&got, &want, sizeof got), 0) << "baud " << got.BaudRate << ", parity " << int(got.Parity);
    }
    // The W form parses alike.
    DCB w = Prefilled(), a = Prefilled();
    ASSERT_TRUE(BuildCommDCBW(L"com7 baud=57600 parity=S data=5 stop=2 dtr=hs rts=tg xon=on odsr=on idsr=on", &w));
    ASSERT_TRUE(BuildCommDCBA("com7 baud=57600 parity=S data=5 stop=2 dtr=hs rts=tg xon=on odsr=on idsr=on", &a));
    EXPECT_EQ(memcmp(&w, &a, sizeof w), 0);
}

TEST(Win32BuildCommDcb, DevicePrefixesAndRatesAsWindowsReadsThem) {
    struct Case {
        const char* def;
        DWORD baud;
    } cases[] = {
        {"COM7 : 9600,n,8,1", 9600},        {"com12:baud=4000000000", 4000000000u},
        {"COM7 baud=1234567890", 1234567890}, {"4294967295,n,8,1", 4294967295u},
        {"  COM3:   2400  ", 2400},          {"baud=110 data=7", 110},
    };
    for (const Case& c : cases) {
        DCB d = Prefilled();
        EXPECT_TRUE(BuildCommDCBA(c.def, &d)) << c.def;
        EXPECT_EQ(d.BaudRate, c.baud) << c.def;
    }
    // BuildCommDCBAndTimeouts: only "to=" touches the timeouts.
    DCB d = Prefilled();
    COMMTIMEOUTS t = {1, 2, 3, 4, 5};
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600", &d, &t));
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 5u);
    ASSERT_TRUE(BuildCommDCBAndTimeoutsW(L"baud=9600 to=on", &d, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 60000u);
    ASSERT_TRUE(BuildCommDCBAndTimeoutsA("baud=9600 to=off", &d, &t));
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 0u);
    COMMTIMEOUTS before = t;
    EXPECT_FALSE(BuildCommDCBAndTimeoutsA("baud=9600 to=sometimes", &d, &t));
    EXPECT_EQ(memcmp(&t, &before, sizeof t), 0);
}

TEST(Win32BuildCommDcb, MalformedStringsFailAndLeaveTheDcbAlone) {
    for (const char* bad : {"", "COM7:", "baud=fast", "9600,q,8,1", "9600,n,9,1", "9600,n,8,3", "9600,n,8,1,z",
                            "1,2,3,4,5,6", "baud=9600 colour=blue", "dtr=maybe", "parity=", "9600 8N1",
                            "4294967296,n,8,1", "baud=12345678901", "9600,n,4,1"}) {
        DCB d = Prefilled();
        DCB before = d;
        SetLastError(0);
        EXPECT_FALSE(BuildCommDCBA(bad, &d)) << bad;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER)) << bad;
        EXPECT_EQ(memcmp(&d, &before, sizeof d), 0) << bad;
    }
}

}  // namespace

// Configuring the port: the DCB read back as set, refused settings leaving the old ones, the
// timeouts, queue sizes and the properties report; settings outlive a close.
#include <cstring>

#include "scenario.h"

namespace scenario {
namespace {

using PortConfig = PortTest;

TEST_F(PortConfig, TheDcbReadsBackAsSet) {
    HANDLE h = Open();
    DCB dcb = CommState(h);
    dcb.BaudRate = CBR_19200;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fOutX = TRUE;
    dcb.fInX = FALSE;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\n';
    dcb.XonLim = 1024;
    dcb.XoffLim = 256;
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    DCB back = CommState(h);
    EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_19200));
    EXPECT_EQ(back.ByteSize, 7);
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));
    EXPECT_EQ(back.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 0u);
    EXPECT_EQ(back.XonChar, 0x11);
    EXPECT_EQ(back.XoffChar, 0x13);
    EXPECT_EQ(back.ErrorChar, '?');
    EXPECT_EQ(back.EofChar, 0x1A);
    EXPECT_EQ(back.EvtChar, '\n');
    EXPECT_EQ(back.XonLim, 1024);
    EXPECT_EQ(back.XoffLim, 256);
    EXPECT_EQ(back.fBinary, 1u);

    // A mode string applied through BuildCommDCB.
    ASSERT_TRUE(BuildCommDCBA("baud=38400 parity=N data=8 stop=1", &back));
    ASSERT_TRUE(SetCommState(h, &back)) << GetLastError();
    DCB again = CommState(h);
    EXPECT_EQ(again.BaudRate, static_cast<DWORD>(CBR_38400));
    EXPECT_EQ(again.ByteSize, 8);
    EXPECT_EQ(again.Parity, NOPARITY);
    EXPECT_EQ(again.StopBits, ONESTOPBIT);
    EXPECT_EQ(again.fOutX, 1u);  // BuildCommDCB changes only what the string names
    EXPECT_EQ(again.fOutxCtsFlow, 1u);
}

TEST_F(PortConfig, ARefusedSettingLeavesThePortAsItWas) {
    HANDLE h = Open();
    Configure(h, CBR_9600);
    DCB dcb = CommState(h);
    for (auto change : {+[](DCB& d) { d.BaudRate = CBR_57600; }, +[](DCB& d) { d.StopBits = ONE5STOPBITS; },
                        +[](DCB& d) { d.Parity = MARKPARITY; }, +[](DCB& d) { d.ByteSize = 5; }}) {
        DCB bad = dcb;
        bad.ByteSize = 7;  // changed as well: must be rolled back too
        change(bad);
        EXPECT_FALSE(SetCommState(h, &bad));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        DCB back = CommState(h);
        EXPECT_EQ(back.BaudRate, static_cast<DWORD>(CBR_9600));
        EXPECT_EQ(back.ByteSize, 8);
        EXPECT_EQ(back.Parity, NOPARITY);
        EXPECT_EQ(back.StopBits, ONESTOPBIT);
    }
}

TEST_F(PortConfig, TimeoutsReadBackAndAnImpossibleSetIsRefused) {
    HANDLE h = Open();
    COMMTIMEOUTS t = {50, 10, 100, 5, 500};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    COMMTIMEOUTS back;
    memset(&back, 0, sizeof back);
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(memcmp(&t, &back, sizeof t), 0);
    COMMTIMEOUTS impossible = {MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(h, &impossible));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(memcmp(&t, &back, sizeof t), 0);
}

TEST_F(PortConfig, PropertiesAndQueueSizes) {
    HANDLE h = Open();
    COMMPROP p;
    memset(&p, 0, sizeof p);
    ASSERT_TRUE(GetCommProperties(h, &p)) << GetLastError();
    EXPECT_EQ(p.dwServiceMask, static_cast<DWORD>(SP_SERIALCOMM));
    EXPECT_EQ(p.dwProvSubType, static_cast<DWORD>(PST_RS232));
    EXPECT_TRUE(p.dwProvCapabilities & PCF_RTSCTS);
    EXPECT_TRUE(p.dwProvCapabilities & PCF_TOTALTIMEOUTS);
    EXPECT_TRUE(p.dwSettableBaud & BAUD_9600);
    EXPECT_TRUE(p.wSettableData & DATABITS_8);
    EXPECT_GE(p.dwCurrentRxQueue, 4096u);
    DWORD rx = p.dwCurrentRxQueue;
    ASSERT_TRUE(SetupComm(h, rx * 2, 8192)) << GetLastError();
    ASSERT_TRUE(GetCommProperties(h, &p));
    EXPECT_EQ(p.dwCurrentRxQueue, rx * 2);
    EXPECT_EQ(p.dwCurrentTxQueue, 8192u);
    // The receive queue never shrinks.
    ASSERT_TRUE(SetupComm(h, 1024, 1024));
    ASSERT_TRUE(GetCommProperties(h, &p));
    EXPECT_EQ(p.dwCurrentRxQueue, rx * 2);
}

TEST_F(PortConfig, SettingsOutliveAClose) {
    HANDLE h = Open();
    Configure(h, CBR_4800);
    COMMTIMEOUTS t = {20, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    Close(h);
    h = Open();
    EXPECT_EQ(CommState(h).BaudRate, static_cast<DWORD>(CBR_4800));
    COMMTIMEOUTS back;
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(back.ReadIntervalTimeout, 20u);
}

}  // namespace
}  // namespace scenario

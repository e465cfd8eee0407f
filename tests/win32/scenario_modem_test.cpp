// The modem lines: the loopback plug wires RTS to CTS and DTR to DSR and DCD, so the input lines
// follow what the application drives; and the immediate character.
#include <cstring>

#include "scenario.h"

namespace scenario {
namespace {

using PortModem = PortTest;

DWORD Modem(HANDLE h) {
    DWORD s = 0xFFFFFFFF;
    EXPECT_TRUE(GetCommModemStatus(h, &s)) << GetLastError();
    return s & (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON | MS_RING_ON);
}

TEST_F(PortModem, InputLinesFollowDtrAndRts) {
    HANDLE h = Open();
    Configure(h);  // DTR and RTS on
    EXPECT_TRUE(WaitFor([&] { return Modem(h) == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON); }, 500)) << Modem(h);
    ASSERT_TRUE(EscapeCommFunction(h, CLRRTS));
    EXPECT_TRUE(WaitFor([&] { return Modem(h) == (MS_DSR_ON | MS_RLSD_ON); }, 500)) << Modem(h);
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    EXPECT_TRUE(WaitFor([&] { return Modem(h) == 0; }, 500)) << Modem(h);
    ASSERT_TRUE(EscapeCommFunction(h, SETRTS));
    EXPECT_TRUE(WaitFor([&] { return Modem(h) == MS_CTS_ON; }, 500)) << Modem(h);
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    EXPECT_TRUE(WaitFor([&] { return Modem(h) == (MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON); }, 500)) << Modem(h);
    // The DCB drives them too.
    DCB dcb = CommState(h);
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_TRUE(WaitFor([&] { return Modem(h) == MS_CTS_ON; }, 500)) << Modem(h);
}

TEST_F(PortModem, HandshakeOwnsItsLine) {
    HANDLE h = Open();
    Configure(h);
    DCB dcb = CommState(h);
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    // The driver drives RTS itself now: the application may not.
    EXPECT_FALSE(EscapeCommFunction(h, CLRRTS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_TRUE(EscapeCommFunction(h, CLRRTS));
}

TEST_F(PortModem, TransmitCommCharGoesOutAheadOfNothingAndComesBack) {
    HANDLE h = OpenReady(0, MAXDWORD, MAXDWORD, 1000);
    ASSERT_TRUE(TransmitCommChar(h, 'Z')) << GetLastError();
    char c = 0;
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(c, 'Z');
    // The escape functions without a line of their own succeed.
    EXPECT_TRUE(EscapeCommFunction(h, SETXOFF));
    EXPECT_TRUE(EscapeCommFunction(h, SETXON));
    EXPECT_TRUE(SetCommBreak(h));
    EXPECT_TRUE(ClearCommBreak(h));
}

}  // namespace
}  // namespace scenario

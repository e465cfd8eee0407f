// Line settings, timeouts, queue sizes, properties and statistics through device control.
#include <gtest/gtest.h>

#include "control_util.h"
#include "emu/pool.h"

namespace {

using namespace vcomtest;
using ControlSettings = PortOpened;

constexpr ULONG kMax = MAXULONG;

TEST_F(ControlSettings, BaudRatesWithTheCheck) {
    for (ULONG rate : {600u, 1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 76800u, 115200u}) {
        EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, rate), STATUS_SUCCESS) << rate;
        EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_BAUD_RATE), rate);
    }
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, 38400u), STATUS_SUCCESS);
    for (ULONG rate : {57600u, 0u, 110u, 9601u, 230400u, kMax}) {
        EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, rate), STATUS_INVALID_PARAMETER) << rate;
        EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_BAUD_RATE), 38400u);
    }
    // Variant 0 keeps the rate to itself.
    EXPECT_TRUE(s.TakeCommands().size() == 2);  // open's only
}

TEST(ControlSettingsConfigured, BaudRatesWithoutTheCheck) {
    Stack s(WithValue(Variant(1), u"NoBaudCheck", 1));
    auto& f = s.OpenOk();
    s.TakeCommands();
    // Stored although the device variant cannot encode it; the request fails and nothing is sent.
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, 57600u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_BAUD_RATE), 57600u);
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, 0u), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Get<ULONG>(f, IOCTL_SERIAL_GET_BAUD_RATE), 0u);
    EXPECT_TRUE(s.TakeCommands().empty());
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, 38400u), STATUS_SUCCESS);
    EXPECT_EQ(s.dev().State().baud, 38400u);
}

TEST(ControlSettingsConfigured, BaudRateVariant3SendsEveryRateAccepted) {
    Stack s(Variant(3));
    auto& f = s.OpenOk();
    s.TakeCommands();
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, 76800u), STATUS_SUCCESS);
    auto c = s.TakeCommands();
    ASSERT_GE(c.size(), 1u);
    EXPECT_EQ(c[0], (Bytes{0x00, 7, 0x01}));
    EXPECT_EQ(s.dev().State().baud, 76800u);
}

TEST(ControlSettingsConfigured, LineControlValidation) {
    Stack s(Variant(1));
    auto& f = s.OpenOk();
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_BAUD_RATE, 9600u), STATUS_SUCCESS);
    struct Case { SERIAL_LINE_CONTROL line; NTSTATUS expect; };
    const Case cases[] = {
        {{STOP_BITS_1_5, NO_PARITY, 8}, STATUS_INVALID_PARAMETER},
        {{3, NO_PARITY, 8}, STATUS_INVALID_PARAMETER},
        {{STOP_BIT_1, MARK_PARITY, 8}, STATUS_INVALID_PARAMETER},
        {{STOP_BIT_1, SPACE_PARITY, 8}, STATUS_INVALID_PARAMETER},
        {{STOP_BIT_1, NO_PARITY, 6}, STATUS_INVALID_PARAMETER},
        {{STOP_BIT_1, NO_PARITY, 9}, STATUS_INVALID_PARAMETER},
        {{STOP_BITS_2, EVEN_PARITY, 7}, STATUS_SUCCESS},
        {{STOP_BIT_1, ODD_PARITY, 8}, STATUS_SUCCESS},
    };
    SERIAL_LINE_CONTROL stored = s.Ext()->LineControl;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << int(c.line.StopBits) << " " << int(c.line.Parity) << " "
                                        << int(c.line.WordLength));
        s.TakeCommands();
        EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_LINE_CONTROL, c.line), c.expect);
        if (c.expect == STATUS_SUCCESS) stored = c.line;
        EXPECT_EQ(AsBytes(Get<SERIAL_LINE_CONTROL>(f, IOCTL_SERIAL_GET_LINE_CONTROL)), AsBytes(stored));
        EXPECT_EQ(s.TakeCommands().size(), c.expect == STATUS_SUCCESS ? 1u : 0u);
    }
    auto st = s.dev().State();
    EXPECT_EQ(st.dataBits, 8);
    EXPECT_EQ(st.parity, usbpipe::Parity::Odd);
}

TEST_F(ControlSettings, HandflowLimitsAndBits) {
    ASSERT_EQ(s.Ext()->RxQueueSize, 4096u);
    const SERIAL_HANDFLOW opened = Get<SERIAL_HANDFLOW>(f, IOCTL_SERIAL_GET_HANDFLOW);
    EXPECT_EQ(opened.XonLimit, 2048);
    EXPECT_EQ(opened.XoffLimit, 512);

    struct Case { SERIAL_HANDFLOW flow; NTSTATUS expect; };
    const Case cases[] = {
        {{0, 0, 4096, 0}, STATUS_SUCCESS},
        {{0, 0, 4097, 0}, STATUS_INVALID_PARAMETER},
        {{0, 0, 0, 4096}, STATUS_SUCCESS},
        {{0, 0, 0, 4097}, STATUS_INVALID_PARAMETER},
        {{0, 0, -1, 0}, STATUS_INVALID_PARAMETER},  // compared as unsigned
        {{0, 0, 0, -1}, STATUS_INVALID_PARAMETER},
        {{0x04, 0, 0, 0}, STATUS_INVALID_PARAMETER},
        {{0x40000000, 0, 0, 0}, STATUS_INVALID_PARAMETER},
        {{0, 0x20, 0, 0}, STATUS_INVALID_PARAMETER},
        {{0, 0x100, 0, 0}, STATUS_INVALID_PARAMETER},
        // Every valid bit together, DTR mask fully set: stored as it is.
        {{0x8000007B, 0x800000DF, 100, 200}, STATUS_SUCCESS},
    };
    SERIAL_HANDFLOW stored = opened;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.flow.ControlHandShake << " " << c.flow.FlowReplace << " "
                                        << std::dec << c.flow.XonLimit << " " << c.flow.XoffLimit);
        EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_HANDFLOW, c.flow), c.expect);
        if (c.expect == STATUS_SUCCESS) stored = c.flow;
        EXPECT_EQ(AsBytes(Get<SERIAL_HANDFLOW>(f, IOCTL_SERIAL_GET_HANDFLOW)), AsBytes(stored));
    }
}

TEST_F(ControlSettings, TimeoutsAndReadModes) {
    struct Case { ULONG ri, rm, rc; LONG mode; };
    const Case cases[] = {
        {kMax, 0, 0, ReadModeImmediate},
        {kMax, kMax, 100, ReadModeFirstByte},
        {kMax, kMax, 0, ReadModeTotal},
        {kMax, kMax, kMax - 1, ReadModeFirstByte},
        {kMax, 0, 100, ReadModeTotal},
        {kMax, 1, kMax, ReadModeTotal},
        {0, 0, 0, ReadModeNoTimeouts},
        {10, 0, 0, ReadModeTotal},
        {0, 0, 1, ReadModeTotal},
        {0, kMax, kMax, ReadModeTotal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ri << " " << c.rm << " " << c.rc);
        SERIAL_TIMEOUTS t{c.ri, c.rm, c.rc, 7, 9};
        EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_TIMEOUTS, t), STATUS_SUCCESS);
        EXPECT_EQ(s.Ext()->ReadTimeoutMode, c.mode);
        EXPECT_EQ(AsBytes(Get<SERIAL_TIMEOUTS>(f, IOCTL_SERIAL_GET_TIMEOUTS)), AsBytes(t));
    }
    // All three read values MAXULONG: refused, nothing stored.
    SERIAL_TIMEOUTS before = s.Ext()->Timeouts;
    SERIAL_TIMEOUTS bad{kMax, kMax, kMax, 1, 1};
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_TIMEOUTS, bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(AsBytes(s.Ext()->Timeouts), AsBytes(before));
    EXPECT_EQ(s.Ext()->ReadTimeoutMode, ReadModeTotal);
}

TEST_F(ControlSettings, CharsSendTheTwoCommands) {
    s.TakeCommands();
    SERIAL_CHARS chars{0x1A, 0x3F, 0, 0x7E, 0x11, 0x11};  // XON may equal XOFF
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    EXPECT_EQ(s.TakeCommands(), (std::vector<Bytes>{{0x02, 0x11, 0x11}, {0x04, 0x00, 0x3F}}));
    EXPECT_EQ(AsBytes(Get<SERIAL_CHARS>(f, IOCTL_SERIAL_GET_CHARS)), AsBytes(chars));

    SERIAL_HANDFLOW flow{0, SERIAL_ERROR_CHAR, 0, 0};
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_HANDFLOW, flow), STATUS_SUCCESS);
    s.TakeCommands();
    // The request's status is the error-character command's; the flow characters' is ignored.
    s.dev().FailCommand(DEVCMD_FLOW_CHARS, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_CHARS, chars), STATUS_SUCCESS);
    EXPECT_EQ(s.TakeCommands().back(), (Bytes{0x04, 0x01, 0x3F}));
    s.dev().FailCommand(DEVCMD_ERROR_CHAR, STATUS_UNSUCCESSFUL);
    chars.EventChar = 0x55;
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_CHARS, chars), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(s.Ext()->SpecialChars.EventChar, 0x55);  // kept although the device refused
}

TEST_F(ControlSettings, QueueSizeGrowsOnlyAndKeepsBytes) {
    PortExtension* p = s.Ext();
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{1024, 8192}), STATUS_SUCCESS);
    EXPECT_EQ(p->RxQueueSize, 4096u);
    EXPECT_EQ(p->TxQueueSize, 8192u);
    EXPECT_EQ(p->TxBuffer.Size, 4096u);  // only reported
    auto props = Get<SERIAL_COMMPROP>(f, IOCTL_SERIAL_GET_PROPERTIES);
    EXPECT_EQ(props.CurrentRxQueue, 4096u);
    EXPECT_EQ(props.CurrentTxQueue, 8192u);

    // Bytes held across the wrap of the old buffer survive the growth in order.
    Bytes sink(4000);
    Bytes data(3000);
    for (size_t i = 0; i < data.size(); i++) data[i] = (uint8_t)(i * 7);
    ASSERT_EQ(RingPut(&p->RxBuffer, data.data(), 2000), 2000u);
    ASSERT_EQ(RingGet(sink.data(), &p->RxBuffer, 2000), 2000u);
    ASSERT_EQ(RingPut(&p->RxBuffer, data.data(), 3000), 3000u);
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{10000, 0}), STATUS_SUCCESS);
    EXPECT_EQ(p->RxQueueSize, 10000u);
    EXPECT_EQ(p->RxBuffer.Size, 10000u);
    EXPECT_EQ(p->TxQueueSize, 0u);
    ASSERT_EQ(RingGet(sink.data(), &p->RxBuffer, 4000), 3000u);
    sink.resize(3000);
    EXPECT_EQ(sink, data);
    // The flow-control limits are not recomputed.
    EXPECT_EQ(p->HandFlow.XonLimit, 2048);
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_HANDFLOW, SERIAL_HANDFLOW{0, 0, 10000, 0}), STATUS_SUCCESS);
}

TEST_F(ControlSettings, QueueSizeGrowthFailureStillRecords) {
    emu::pool::FailTag(RING_POOL_TAG);
    EXPECT_EQ(Set(f, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{8192, 100}), STATUS_INSUFFICIENT_RESOURCES);
    emu::pool::ClearFaults();
    EXPECT_EQ(s.Ext()->RxQueueSize, 4096u);
    EXPECT_EQ(s.Ext()->RxBuffer.Size, 4096u);
    EXPECT_EQ(s.Ext()->TxQueueSize, 100u);
}

TEST_F(ControlSettings, PropertiesByteForByte) {
    const Bytes expect = {
        0x40, 0x00, 0x02, 0x00,  // PacketLength 64, PacketVersion 2
        0x01, 0x00, 0x00, 0x00,  // ServiceMask
        0, 0, 0, 0,              // Reserved1
        0, 0, 0, 0,              // MaxTxQueue
        0, 0, 0, 0,              // MaxRxQueue
        0x00, 0x00, 0x02, 0x00,  // MaxBaud 115200
        0x01, 0x00, 0x00, 0x00,  // ProvSubType RS232
        0xF7, 0x00, 0x00, 0x00,  // ProvCapabilities
        0x5F, 0x00, 0x00, 0x00,  // SettableParams
        0x60, 0x6B, 0x02, 0x00,  // SettableBaud
        0x0C, 0x00, 0x05, 0x07,  // SettableData, SettableStopParity
        0x00, 0x10, 0x00, 0x00,  // CurrentTxQueue 4096
        0x00, 0x10, 0x00, 0x00,  // CurrentRxQueue 4096
        0, 0, 0, 0,              // ProvSpec1
        0, 0, 0, 0,              // ProvSpec2
        0, 0, 0, 0,              // ProvChar and padding
    };
    auto r = Control(f, IOCTL_SERIAL_GET_PROPERTIES, {}, 100);
    ASSERT_EQ(r.Status(), STATUS_SUCCESS);
    EXPECT_EQ(r.Data(), expect);
}

TEST_F(ControlSettings, ConfigSizeAndStatistics) {
    auto r = Control(f, IOCTL_SERIAL_CONFIG_SIZE, {}, 4);
    EXPECT_EQ(r.Status(), STATUS_SUCCESS);
    EXPECT_EQ(r.Data(), (Bytes{0, 0, 0, 0}));

    s.Ext()->PerfStats = SERIALPERF_STATS{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(AsBytes(Get<SERIALPERF_STATS>(f, IOCTL_SERIAL_GET_STATS)), AsBytes(SERIALPERF_STATS{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(Control(f, IOCTL_SERIAL_CLEAR_STATS).Status(), STATUS_SUCCESS);
    EXPECT_EQ(Get<SERIALPERF_STATS>(f, IOCTL_SERIAL_GET_STATS).ReceivedCount, 0u);
    EXPECT_EQ(AsBytes(Get<SERIALPERF_STATS>(f, IOCTL_SERIAL_GET_STATS)), Bytes(24, 0));
}

}  // namespace

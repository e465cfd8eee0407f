// Knobs seen through the port driver above the model: the paths of the driver that only an unkind
// device reaches.
#include <gtest/gtest.h>

#include "control_util.h"

namespace {

using namespace vcomtest;

SERIAL_HANDFLOW RtsCtsHandshake() {
    SERIAL_HANDFLOW flow{};
    flow.ControlHandShake = SERIAL_CTS_HANDSHAKE | SERIAL_DTR_CONTROL;
    flow.FlowReplace = SERIAL_RTS_HANDSHAKE;
    flow.XonLimit = 1024;
    flow.XoffLimit = 512;
    return flow;
}

// Variant 2 reads byte 1 of the line-settings command again after it returns: RTS is raised for
// RTS/CTS flow control only when the device's answer still carries the bit.
TEST(WithPort, VariantTwoRaisesRtsOnlyWhenTheDeviceAppliesRtsCts) {
    struct Case {
        bool replies, noHardwareFlow, rtsCommand;
    } cases[] = {
        {false, false, true},
        {true, false, true},
        {true, true, false},   // the reply clears 0x40
        {false, true, true},   // no reply: the byte as sent
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "replies " << c.replies << " no RTS/CTS " << c.noHardwareFlow);
        Stack s(Variant(2));
        s.dev().SetKnobs({.replyToCommands = c.replies, .noHardwareFlow = c.noHardwareFlow});
        auto& f = s.OpenOk();
        s.dev().ClearCommands();
        ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_LINE_CONTROL, SERIAL_LINE_CONTROL{STOP_BIT_1, NO_PARITY, 8}), STATUS_SUCCESS);
        ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_HANDFLOW, RtsCtsHandshake()), STATUS_SUCCESS);
        auto sent = s.dev().Commands();
        ASSERT_FALSE(sent.empty());
        EXPECT_EQ(sent.back()[0] == 0x01, c.rtsCommand);
        EXPECT_EQ(s.dev().State().rtsCts, !c.noHardwareFlow);
        ASSERT_EQ(s.Close(), STATUS_SUCCESS);
    }
}

// The loopback plug's DTR-to-RI switch: raising and dropping DTR ring the application's wait.
TEST(WithPort, RingEventsThroughTheLoopbackPlug) {
    Stack s(Variant(2));
    s.dev().SetLoopback(true);
    s.dev().SetLoopbackRing(true);
    auto& f = s.OpenOk();  // the open raises DTR
    emu::AdvanceTime(100);
    EXPECT_TRUE(Get<ULONG>(f, IOCTL_SERIAL_GET_MODEMSTATUS) & SERIAL_RI_STATE);
    ASSERT_EQ(SetMask(f, SERIAL_EV_RING), STATUS_SUCCESS);
    for (ULONG code : {IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_DTR}) {
        auto wait = WaitAsync(f);
        EXPECT_FALSE(wait.Done());
        ASSERT_EQ(Control(f, code).Status(), STATUS_SUCCESS);
        emu::AdvanceTime(100);
        ASSERT_TRUE(wait.Done());
        EXPECT_EQ(Events(wait), (ULONG)SERIAL_EV_RING);
        EXPECT_EQ((Get<ULONG>(f, IOCTL_SERIAL_GET_MODEMSTATUS) & SERIAL_RI_STATE) != 0,
                  code == IOCTL_SERIAL_SET_DTR);
    }
}

// Every byte through the loopback plug, whichever thread and level each completion comes from.
TEST(WithPort, LoopbackWithoutLossUnderCompletionKnobs) {
    struct Case {
        unsigned inlineOneIn, passiveOneIn;
        bool asyncTx;
    } cases[] = {{1, 0, false}, {0, 1, false}, {2, 2, false}, {2, 2, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "inline 1/" << c.inlineOneIn << " passive 1/" << c.passiveOneIn
                                        << (c.asyncTx ? " async" : " sync"));
        StackOptions o = Variant(2);
        if (c.asyncTx) o.values[u"TxAsync"] = emu::pnp::HardwareValue::Dword(1);
        Stack s(o);
        s.dev().SetKnobs({.seed = 42, .inlineOneIn = c.inlineOneIn, .passiveOneIn = c.passiveOneIn});
        s.dev().SetLoopback(true);
        auto& f = s.OpenOk();
        SERIAL_TIMEOUTS immediate{MAXULONG, 0, 0, 0, 0};  // a read returns what has arrived
        ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_TIMEOUTS, immediate), STATUS_SUCCESS);
        Bytes sent, got;
        for (int i = 0; i < 40; ++i) {
            Bytes chunk(1 + (i * 37) % 200);
            for (auto& b : chunk) b = static_cast<uint8_t>(sent.size() * 7 + (&b - chunk.data()));
            auto w = f.Write(chunk.data(), static_cast<ULONG>(chunk.size()));
            ASSERT_EQ(w.Status(), STATUS_SUCCESS);
            sent.insert(sent.end(), chunk.begin(), chunk.end());
            emu::AdvanceTime(20);
            for (;;) {
                auto r = f.Read(4096);
                ASSERT_TRUE(NT_SUCCESS(r.Status()));
                if (r.Data().empty()) break;
                got.insert(got.end(), r.Data().begin(), r.Data().end());
            }
        }
        EXPECT_EQ(got, sent);
        ASSERT_EQ(s.Close(), STATUS_SUCCESS);
    }
}

// With completions inline, the completion of the reader's read runs inside its send: it hands the
// next read back to the sender's loop, so nothing nests (a kernel stack holds 24 KiB) however
// busy the line.
TEST(WithPort, InlineCompletionsNestBoundedly) {
    Stack s(Variant(2));
    s.dev().SetKnobs({.inlineOneIn = 1});
    auto& f = s.OpenOk();
    SERIAL_TIMEOUTS immediate{MAXULONG, 0, 0, 0, 0};
    ASSERT_EQ(Set(f, IOCTL_SERIAL_SET_TIMEOUTS, immediate), STATUS_SUCCESS);
    s.dev().Inject(Bytes(2000, 0x55));  // 32 packets, each a read of its own
    emu::AdvanceTime(100);
    size_t got = 0;
    for (auto r = f.Read(4096); !r.Data().empty(); r = f.Read(4096)) got += r.Data().size();
    EXPECT_EQ(got, 2000u);
    EXPECT_EQ(s.dev().MaxNesting(), 1);
}

}  // namespace

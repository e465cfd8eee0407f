// The device-control dispatcher: every code's buffer, removal gate and minimum lengths, the codes
// answered here, unknown codes, and the private pipe resets reaching the lower driver.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "control_util.h"

namespace {

using namespace vcomtest;
using ControlDispatch = PortOpened;

// What a refused request must leave alone.
struct Snapshot {
    ULONG baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW flow;
    SERIAL_TIMEOUTS timeouts;
    ULONG waitMask;
    UCHAR modemControl;
    ULONG rxQueue, txQueue;
    ULONG64 rxCount;

    static Snapshot Of(const PortExtension* p) {
        return {p->BaudRate, p->LineControl, p->SpecialChars, p->HandFlow, p->Timeouts, p->WaitMask,
                p->ModemControl, p->RxQueueSize, p->TxQueueSize, p->RxBuffer.Count};
    }
    bool operator==(const Snapshot& o) const {
        return baud == o.baud && !memcmp(&line, &o.line, sizeof line) && !memcmp(&chars, &o.chars, sizeof chars) &&
               !memcmp(&flow, &o.flow, sizeof flow) && !memcmp(&timeouts, &o.timeouts, sizeof timeouts) &&
               waitMask == o.waitMask && modemControl == o.modemControl && rxQueue == o.rxQueue &&
               txQueue == o.txQueue && rxCount == o.rxCount;
    }
};

struct Row {
    const char* name;
    ULONG code;
    bool buffer;      // a system buffer is required
    bool gated;
    ULONG minIn, minOut;
    ULONG data;       // Information on success
    Bytes input;      // valid input, changing state where the request can
    CCHAR boost = IO_NO_INCREMENT;
    std::function<void(Stack&)> prepare = {};  // makes the request succeed at once
};

std::vector<Row> Table() {
    SERIAL_LINE_CONTROL line{STOP_BITS_2, EVEN_PARITY, 7};
    SERIAL_TIMEOUTS timeouts{10, 1, 1, 1, 1};
    SERIAL_QUEUE_SIZE queue{0, 8192};
    SERIAL_CHARS chars{1, 2, 3, 4, 5, 6};
    SERIAL_HANDFLOW flow{0, 0, 100, 100};
    auto readyWait = [](Stack& s) {
        s.Ext()->WaitMask = SERIAL_EV_RXFLAG;
        PostSerialEvents(s.Port(), SERIAL_EV_RXFLAG);
    };
    auto B = [](ULONG v) { return AsBytes(v); };
    return {
        {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, true, true, 4, 0, 0, B(9600)},
        {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, true, true, 8, 0, 0, AsBytes(queue)},
        {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, true, true, 3, 0, 0, AsBytes(line)},
        {"SET_BREAK_ON", IOCTL_SERIAL_SET_BREAK_ON, false, true, 0, 0, 0, {}},
        {"SET_BREAK_OFF", IOCTL_SERIAL_SET_BREAK_OFF, false, true, 0, 0, 0, {}},
        {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, true, true, 20, 0, 0, AsBytes(timeouts)},
        {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, true, true, 0, 20, 20, {}},
        {"SET_DTR", IOCTL_SERIAL_SET_DTR, false, true, 0, 0, 0, {}},
        {"CLR_DTR", IOCTL_SERIAL_CLR_DTR, false, true, 0, 0, 0, {}},
        {"RESET_DEVICE", IOCTL_SERIAL_RESET_DEVICE, false, false, 0, 0, 0, {}},
        {"SET_RTS", IOCTL_SERIAL_SET_RTS, false, true, 0, 0, 0, {}},
        {"CLR_RTS", IOCTL_SERIAL_CLR_RTS, false, true, 0, 0, 0, {}},
        {"SET_XOFF", IOCTL_SERIAL_SET_XOFF, false, false, 0, 0, 0, {}},
        {"SET_XON", IOCTL_SERIAL_SET_XON, false, false, 0, 0, 0, {}},
        {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, true, false, 0, 4, 4, {}},
        {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, true, false, 4, 0, 0, B(0x1ff)},
        {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, true, true, 0, 4, 4, {}, IO_SERIAL_INCREMENT, readyWait},
        {"PURGE", IOCTL_SERIAL_PURGE, true, false, 4, 0, 0, B(SERIAL_PURGE_RXCLEAR)},
        {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, true, true, 0, 4, 4, {}},
        {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, true, true, 0, 3, 3, {}},
        {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, true, true, 0, 6, 6, {}},
        {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, true, true, 6, 0, 0, AsBytes(chars)},
        {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, true, true, 0, 16, 16, {}},
        {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, true, true, 16, 0, 0, AsBytes(flow)},
        {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, true, false, 0, 4, 4, {}},
        {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, true, true, 0, 20, 20, {}},
        {"XOFF_COUNTER", IOCTL_SERIAL_XOFF_COUNTER, false, false, 0, 0, 0, {}},
        {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, true, true, 0, 64, 64, {}},
        {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, false, true, 0, 4, 4, {}},
        {"LSRMST_INSERT", IOCTL_SERIAL_LSRMST_INSERT, false, false, 0, 0, 0, {}},
        {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, true, false, 0, 4, 4, {}},
        {"GET_STATS", IOCTL_SERIAL_GET_STATS, true, true, 0, 24, 24, {}},
        {"CLEAR_STATS", IOCTL_SERIAL_CLEAR_STATS, false, false, 0, 0, 0, {}},
        {"GET_MODEM_CONTROL", IOCTL_SERIAL_GET_MODEM_CONTROL, true, true, 0, 4, 4, {}, IO_SERIAL_INCREMENT},
        {"SET_MODEM_CONTROL", IOCTL_SERIAL_SET_MODEM_CONTROL, true, true, 4, 0, 0, B(0), IO_SERIAL_INCREMENT},
        {"SET_FIFO_CONTROL", IOCTL_SERIAL_SET_FIFO_CONTROL, false, false, 0, 0, 0, {}},
    };
}

// Input of `length` bytes: the valid input, cut or padded with zeros.
Bytes Sized(const Bytes& input, ULONG length) {
    Bytes b(input);
    b.resize(length, 0);
    return b;
}

void SetRemoved(PortExtension* p, bool surprise, bool on) {
    (surprise ? p->SurpriseRemoved : p->Removed) = on ? TRUE : FALSE;
}

// One table, one port of variant 2 (every line request reaches the device there).
TEST(ControlDispatchConfigured, EveryCodeOfTheTable) {
    Stack s(Variant(2));
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();

    for (const Row& row : Table()) {
        SCOPED_TRACE(row.name);
        ULONG inLength = std::max<ULONG>(row.minIn, (ULONG)row.input.size());
        ULONG outLength = row.minOut;

        auto refused = [&](ULONG in, ULONG out, NTSTATUS expect) {
            s.TakeCommands();
            Snapshot before = Snapshot::Of(p);
            auto r = f.Ioctl(row.code, Sized(row.input, in).data(), in, out);
            EXPECT_EQ(r.Status(), expect) << "in " << in << " out " << out;
            EXPECT_EQ(r.Information(), 0u);
            EXPECT_EQ(r.Boost(), IO_NO_INCREMENT);
            EXPECT_TRUE(Snapshot::Of(p) == before) << "state changed by a refused request";
            EXPECT_TRUE(s.TakeCommands().empty()) << "a refused request sent a command";
        };

        // No system buffer at all: refused before the gate, also on a removed device.
        if (row.buffer) {
            refused(0, 0, STATUS_INVALID_PARAMETER);
            SetRemoved(p, true, true);
            refused(0, 0, STATUS_INVALID_PARAMETER);
            SetRemoved(p, true, false);
        }
        // The gate comes before the length check: a short buffer on a removed device is a
        // removal refusal.
        if (row.gated) {
            for (bool surprise : {true, false}) {
                SetRemoved(p, surprise, true);
                refused(inLength, outLength, STATUS_DELETE_PENDING);
                if (row.minIn > 1) refused(row.minIn - 1, outLength, STATUS_DELETE_PENDING);
                if (row.minOut > 1) refused(inLength, row.minOut - 1, STATUS_DELETE_PENDING);
                SetRemoved(p, surprise, false);
            }
        }
        // Short buffers, one byte short on each side that has a minimum.
        if (row.minIn > 0) refused(row.minIn - 1, outLength, STATUS_INVALID_PARAMETER);
        if (row.minOut > 0) refused(inLength, row.minOut - 1, STATUS_INVALID_PARAMETER);

        // Exact and longer buffers are taken; only the structure's bytes come back.
        for (ULONG extra : {0u, 16u}) {
            if (row.prepare) row.prepare(s);
            ULONG in = inLength ? inLength + extra : 0;
            auto r = f.Ioctl(row.code, Sized(row.input, in).data(), in, outLength ? outLength + extra : 0);
            EXPECT_EQ(r.Status(), STATUS_SUCCESS) << "extra " << extra;
            EXPECT_EQ(r.Information(), row.data) << "extra " << extra;
            EXPECT_EQ(r.Boost(), row.boost);
        }
    }
    // The valid inputs took effect; spot checks that the rows reached their handlers.
    EXPECT_EQ(p->BaudRate, 9600u);
    EXPECT_EQ(p->LineControl.WordLength, 7);
    EXPECT_EQ(p->TxQueueSize, 8192u);
    EXPECT_EQ(p->SpecialChars.XoffChar, 6);
    EXPECT_EQ(p->Timeouts.ReadIntervalTimeout, 10u);
    EXPECT_EQ(p->ModemControl, 0);  // set modem control 0 came after break on/off and the lines
}

// The no-op codes answer success whatever the device's state.
TEST_F(ControlDispatch, CodesAnsweredHereIgnoreRemoval) {
    s.TakeCommands();
    s.Ext()->SurpriseRemoved = TRUE;
    for (ULONG code : {IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_SET_XOFF, IOCTL_SERIAL_SET_XON,
                       IOCTL_SERIAL_XOFF_COUNTER, IOCTL_SERIAL_LSRMST_INSERT, IOCTL_SERIAL_SET_FIFO_CONTROL,
                       IOCTL_SERIAL_CLEAR_STATS}) {
        Bytes junk(12, 0xAB);  // an XOFF counter record the port ignores
        auto r = f.Ioctl(code, junk.data(), (ULONG)junk.size(), 12);
        EXPECT_EQ(r.Status(), STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(r.Information(), 0u) << std::hex << code;
    }
    s.Ext()->SurpriseRemoved = FALSE;
    EXPECT_TRUE(s.TakeCommands().empty());
}

TEST_F(ControlDispatch, UnknownCodesAreInvalidDeviceRequests) {
    const ULONG codes[] = {
        IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG, IOCTL_SERIAL_APPLY_DEFAULT_CONFIGURATION,
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xCA, METHOD_BUFFERED, FILE_ANY_ACCESS),
        // The private resets with another method or access are other codes.
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xC8, METHOD_NEITHER, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0xC9, METHOD_BUFFERED, FILE_READ_ACCESS),
        // The lower driver's own codes must not reach it from an application.
        IOCTL_PIPE_RESET, IOCTL_DEVICE_COMMAND, IOCTL_PIPE_WRITE, 0,
    };
    s.TakeCommands();
    int resets = s.dev().ResetCount(usbpipe::kTx) + s.dev().ResetCount(usbpipe::kRx);
    for (ULONG code : codes) {
        Bytes in(16, 0x55);
        auto r = f.Ioctl(code, in.data(), (ULONG)in.size(), 16);
        EXPECT_EQ(r.Status(), STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
        EXPECT_EQ(r.Information(), 0u);
    }
    EXPECT_TRUE(s.TakeCommands().empty());
    EXPECT_EQ(s.dev().ResetCount(usbpipe::kTx) + s.dev().ResetCount(usbpipe::kRx), resets);
}

TEST_F(ControlDispatch, PipeResetsReachTheirPipe) {
    auto& d = s.dev();
    int tx = d.ResetCount(usbpipe::kTx), rx = d.ResetCount(usbpipe::kRx);

    EXPECT_EQ(Control(f, IOCTL_TXPIPE_RESET).Status(), STATUS_SUCCESS);
    EXPECT_EQ(d.ResetCount(usbpipe::kTx), tx + 1);
    EXPECT_EQ(d.ResetCount(usbpipe::kRx), rx);

    EXPECT_EQ(Control(f, IOCTL_RXPIPE_RESET).Status(), STATUS_SUCCESS);
    EXPECT_EQ(d.ResetCount(usbpipe::kRx), rx + 1);
    EXPECT_EQ(d.ResetCount(usbpipe::kTx), tx + 1);

    // Removed: refused here, never seen below.
    for (bool surprise : {true, false}) {
        SetRemoved(s.Ext(), surprise, true);
        EXPECT_EQ(Control(f, IOCTL_RXPIPE_RESET).Status(), STATUS_DELETE_PENDING);
        EXPECT_EQ(Control(f, IOCTL_TXPIPE_RESET).Status(), STATUS_DELETE_PENDING);
        SetRemoved(s.Ext(), surprise, false);
    }
    EXPECT_EQ(d.ResetCount(usbpipe::kRx), rx + 1);
    EXPECT_EQ(d.ResetCount(usbpipe::kTx), tx + 1);
}

// The caller sees the lower driver's status for a reset it passed down.
TEST_F(ControlDispatch, PipeResetReturnsTheLowerStatus) {
    s.dev().Unplug();
    EXPECT_EQ(Control(f, IOCTL_TXPIPE_RESET).Status(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Control(f, IOCTL_RXPIPE_RESET).Status(), STATUS_DEVICE_NOT_CONNECTED);
}

}  // namespace

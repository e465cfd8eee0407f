// Asynchronous transmit against the device model: writes complete once buffered, TxBuffer
// drains through one transfer at a time paced by the kick threshold and timer, and the stop
// path waits for the transfer in flight. Also the order and integrity of concurrent streams in
// both modes.
#include <atomic>
#include <functional>
#include <random>

#include "emu/iomgr.h"
#include "stack.h"
#include "transmit_support.h"

using namespace vcomtest;
using usbpipe::kTx;

namespace {

struct AsyncPort : TxPort {
    explicit AsyncPort(ULONG allowNullPacket = 1, ULONG kickThreshold = 0)
        : TxPort(TxOptions(true, allowNullPacket, kickThreshold)) {}
    ULONG64 Buffered() { return RingCount(&p()->TxBuffer); }
};

}  // namespace

TEST(AsyncTransmit, WriteOnAnIdlePortCompletesAtOnce) {
    AsyncPort t;
    t.TakeEvents();
    t.dev().StallTx(true);
    Bytes a = Pattern(100, 1, 7);
    auto w = t.file->WriteAsync(a.data(), 100);
    emu::RunUntilIdle();
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(w.Information(), 100u);
    EXPECT_EQ(w.Boost(), IO_SERIAL_INCREMENT);
    EXPECT_EQ(t.TakeEvents() & SERIAL_EV_TXEMPTY, (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_EQ(t.dev().Pending(kTx), 1u);  // the transfer started at once
    EXPECT_EQ(t.OutQueue(), 0u);
    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(TransferSizes(t.dev()), (std::vector<size_t>{100}));
    EXPECT_EQ(t.dev().TxStream(), a);
    EXPECT_EQ(t.p()->PerfStats.TransmittedCount, 100u);
}

TEST(AsyncTransmit, LongWriteCompletesWhenItsLastByteIsBuffered) {
    AsyncPort t;
    t.dev().StallTx(true);
    Bytes a = Pattern(10000, 3, 7);
    auto w = t.file->WriteAsync(a.data(), 10000);
    emu::RunUntilIdle();
    EXPECT_FALSE(w.Done());
    EXPECT_EQ(t.OutQueue(), 10000u);
    SendOne(t.dev());  // 4096 sent, the next 4096 copied and on their way
    EXPECT_FALSE(w.Done());
    SendOne(t.dev());  // the last 1808 copied: done before they are sent
    ASSERT_TRUE(w.Done());
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(w.Information(), 10000u);
    EXPECT_EQ(t.dev().Pending(kTx), 1u);
    EXPECT_EQ(t.OutQueue(), 0u);
    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(TransferSizes(t.dev()), (std::vector<size_t>{4096, 4096, 1808}));
    EXPECT_EQ(t.dev().TxStream(), a);
}

TEST(AsyncTransmit, SmallWritesCollectUntilTheKickTimer) {
    AsyncPort t;  // threshold: one 64-byte packet
    t.dev().StallTx(true);
    Bytes a = Pattern(10, 1, 7), b = Pattern(20, 2, 7), c = Pattern(30, 3, 7);
    auto wa = t.file->WriteAsync(a.data(), 10);
    emu::RunUntilIdle();
    auto wb = t.file->WriteAsync(b.data(), 20);
    auto wc = t.file->WriteAsync(c.data(), 30);
    emu::RunUntilIdle();
    EXPECT_TRUE(wa.Done() && wb.Done() && wc.Done());
    EXPECT_EQ(t.Buffered(), 50u);
    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(TransferSizes(t.dev()), (std::vector<size_t>{10}));
    emu::AdvanceTime(9);
    EXPECT_EQ(TransferSizes(t.dev()), (std::vector<size_t>{10}));
    emu::AdvanceTime(1);
    EXPECT_EQ(TransferSizes(t.dev()), (std::vector<size_t>{10, 50}));
    EXPECT_EQ(t.dev().TxStream(), Cat({a, b, c}));
}

TEST(AsyncTransmit, KickThresholdStartsTheNextTransferAtOnce) {
    for (size_t buffered : {100u, 200u}) {
        AsyncPort t(1, 128);
        ASSERT_EQ(t.p()->TxKickThreshold, 128u);
        t.dev().StallTx(true);
        Bytes a = Pattern(10, 1, 7), b = Pattern(buffered, 9, 7);
        t.file->WriteAsync(a.data(), 10);
        emu::RunUntilIdle();
        EXPECT_EQ(t.file->WriteAsync(b.data(), (ULONG)buffered).Status(), STATUS_SUCCESS);
        t.dev().StallTx(false);
        emu::RunUntilIdle();
        if (buffered >= 128) {
            EXPECT_EQ(TransferSizes(t.dev()), (std::vector<size_t>{10, buffered}));
        } else {
            EXPECT_EQ(TransferSizes(t.dev()), (std::vector<size_t>{10}));
            // A write reaching the idle transmitter first takes the bytes along.
            Bytes c = Pattern(5, 5, 7);
            t.file->Write(c.data(), 5);
            emu::RunUntilIdle();
            EXPECT_EQ(TransferSizes(t.dev()), (std::vector<size_t>{10, buffered + 5}));
        }
        emu::AdvanceTime(100);
        EXPECT_EQ(t.Buffered(), 0u);
    }
}

TEST(AsyncTransmit, TimeoutOfTheCurrentWriteKeepsItsBytes) {
    AsyncPort t;
    t.p()->Timeouts.WriteTotalTimeoutConstant = 1000;
    t.dev().StallTx(true);
    Bytes a = Pattern(5000, 4, 7);
    auto w = t.file->WriteAsync(a.data(), 5000);
    ASSERT_TRUE(DoneAfter(w, 1000));
    EXPECT_EQ(w.Status(), STATUS_TIMEOUT);
    EXPECT_EQ(w.Information(), 4096u);
    EXPECT_EQ(w.Boost(), IO_NO_INCREMENT);
    EXPECT_EQ(t.OutQueue(), 0u);
    t.dev().StallTx(false);
    emu::RunUntilIdle();
    EXPECT_EQ(t.dev().TxStream(), Bytes(a.begin(), a.begin() + 4096));
}

// A late run of the timer's DPC, queued before the timer was cancelled, finds another write
// current and leaves it alone.
TEST(AsyncTransmit, LateTimerRunLeavesTheNextWriteAlone) {
    AsyncPort t;
    t.p()->Timeouts.WriteTotalTimeoutConstant = 100;
    t.dev().StallTx(true);
    Bytes a = Pattern(5000, 4, 7), b = Pattern(5000, 5, 7);
    auto wa = t.file->WriteAsync(a.data(), 5000);
    auto wb = t.file->WriteAsync(b.data(), 5000);
    emu::RunUntilIdle();
    SendOne(t.dev());  // wa's rest copied and done; wb current with its own timer
    ASSERT_TRUE(wa.Done());
    EXPECT_EQ(wa.Status(), STATUS_SUCCESS);
    EXPECT_FALSE(wb.Done());
    t.RunLateWriteTimer();
    EXPECT_FALSE(wb.Done());
    emu::AdvanceTime(100);
    EXPECT_EQ(wb.Status(), STATUS_TIMEOUT);
    t.dev().StallTx(false);
}

TEST(AsyncTransmit, CancellingTheCurrentWriteTakesUpTheNext) {
    AsyncPort t;
    t.TakeEvents();
    t.dev().StallTx(true);
    Bytes a = Pattern(5000, 4, 7), b = Pattern(50, 5, 7);
    auto wa = t.file->WriteAsync(a.data(), 5000);
    auto wb = t.file->WriteAsync(b.data(), 50);
    emu::RunUntilIdle();
    EXPECT_FALSE(wb.Done());
    EXPECT_TRUE(wa.Cancel());
    emu::RunUntilIdle();
    EXPECT_EQ(wa.Status(), STATUS_CANCELLED);
    EXPECT_EQ(wa.Information(), 0u);
    ASSERT_TRUE(wb.Done());
    EXPECT_EQ(wb.Status(), STATUS_SUCCESS);
    EXPECT_EQ(t.TakeEvents() & SERIAL_EV_TXEMPTY, (ULONG)SERIAL_EV_TXEMPTY);
    EXPECT_EQ(t.OutQueue(), 0u);
    t.dev().StallTx(false);
    emu::AdvanceTime(10);  // b waits below the threshold for the kick timer
    EXPECT_EQ(t.dev().TxStream(), Cat({Bytes(a.begin(), a.begin() + 4096), b}));
}

// Purge with TXABORT is a stop and a resume; bytes already in TxBuffer survive it unless
// TXCLEAR empties the buffer too.
TEST(AsyncTransmit, AbortCancelsWritesAndKeepsBufferedBytes) {
    for (bool clear : {false, true}) {
        AsyncPort t;
        t.dev().StallTx(true);
        Bytes full = Pattern(4096, 0, 7), kept = Pattern(100, 1, 7), big = Pattern(5000, 2, 7), c = Pattern(10, 3, 7);
        t.file->WriteAsync(full.data(), 4096);  // in flight
        emu::RunUntilIdle();
        EXPECT_EQ(t.file->WriteAsync(kept.data(), 100).Status(), STATUS_SUCCESS);
        auto wbig = t.file->WriteAsync(big.data(), 5000);  // current, 3996 copied
        auto wc = t.file->WriteAsync(c.data(), 10);         // waiting
        emu::RunUntilIdle();
        EXPECT_EQ(t.Buffered(), 4096u);
        EXPECT_EQ(StopTransmit(t.p()), STATUS_SUCCESS);
        EXPECT_EQ(wbig.Status(), STATUS_CANCELLED);
        EXPECT_EQ(wc.Status(), STATUS_CANCELLED);
        EXPECT_EQ(wc.Information(), 0u);
        EXPECT_EQ(t.OutQueue(), 0u);
        if (clear) ClearTxBuffer(t.p());
        t.dev().StallTx(false);
        emu::RunUntilIdle();
        EXPECT_TRUE(t.dev().TransferLog().empty());  // the aborted transfer was never sent
        // The resume sends what the buffer kept without waiting for another write.
        ResumeTransmit(t.p());
        emu::AdvanceTime(100);
        Bytes kepts = clear ? Bytes{} : Cat({kept, Bytes(big.begin(), big.begin() + 3996)});
        EXPECT_EQ(t.dev().TxStream(), kepts) << "clear " << clear;
        EXPECT_EQ(t.Buffered(), 0u);
        t.file->Write(c.data(), 10);
        emu::AdvanceTime(100);
        EXPECT_EQ(t.dev().TxStream(), Cat({kepts, c})) << "clear " << clear;
    }
}

TEST(AsyncTransmit, StopWaitsForTheTransferInFlight) {
    AsyncPort t;
    t.dev().SetCompletionDelay(50 * 10000);
    Bytes a = Pattern(100, 1, 7);
    EXPECT_EQ(t.file->Write(a.data(), 100).Status(), STATUS_SUCCESS);
    emu::RunUntilIdle();  // the device has finished the transfer; only its completion waits
    std::atomic<bool> stopped{false};
    emu::Thread stopper([&] {
        StopTransmit(t.p());
        stopped = true;
    });
    emu::AdvanceTime(49);
    EXPECT_FALSE(stopped);
    emu::AdvanceTime(1);
    EXPECT_TRUE(stopped);
    stopper.join();
    EXPECT_EQ(t.dev().TxStream(), a);
    EXPECT_EQ(t.p()->TxBusy, 0);
    t.dev().SetCompletionDelay(0);
    ResumeTransmit(t.p());
}

TEST(AsyncTransmit, WriteWhileStoppedSendsNothing) {
    AsyncPort t;
    StopTransmit(t.p());
    Bytes a = Pattern(10, 1, 7);
    auto w = t.file->Write(a.data(), 10);
    EXPECT_EQ(w.Status(), STATUS_SUCCESS);
    EXPECT_EQ(w.Information(), 0u);
    EXPECT_EQ(t.Buffered(), 0u);
    EXPECT_EQ(t.OutQueue(), 0u);
    ResumeTransmit(t.p());
}

// Bytes whose writes have completed are not lost when a transfer request cannot be allocated:
// they stay in TxBuffer and the kick timer tries again.
TEST(AsyncTransmit, TransferAllocationFailureLosesNothing) {
    AsyncPort t;
    // Only the transmit side may allocate requests here: the reader and status poller would
    // take the injected failure instead.
    StopReceiveSide(t.stack.Port());
    Bytes a = Pattern(100, 1, 7), b = Pattern(50, 2, 7);
    emu::io::FailNthIrpAllocation(1);
    EXPECT_EQ(t.file->Write(a.data(), 100).Information(), 100u);
    emu::RunUntilIdle();
    EXPECT_TRUE(t.dev().TransferLog().empty());
    EXPECT_EQ(t.Buffered(), 100u);
    emu::AdvanceTime(10);
    EXPECT_EQ(t.dev().TxStream(), a);

    // From the completion of a transfer: the first retry fails too.
    t.dev().ClearTx();
    t.dev().StallTx(true);
    t.file->Write(a.data(), 100);
    t.file->Write(b.data(), 50);
    emu::io::FailNthIrpAllocation(1);
    t.dev().StallTx(false);
    emu::AdvanceTime(10);
    EXPECT_EQ(t.dev().TxStream(), a);
    emu::io::FailNthIrpAllocation(1);
    emu::AdvanceTime(10);
    EXPECT_EQ(t.Buffered(), 50u);
    emu::AdvanceTime(10);
    EXPECT_EQ(t.dev().TxStream(), Cat({a, b}));
}

TEST(AsyncTransmit, FlushWaitsForTheBufferToDrain) {
    AsyncPort t;
    EXPECT_EQ(t.file->Flush().Status(), STATUS_SUCCESS);  // empty: at once
    t.dev().StallTx(true);
    Bytes a = Pattern(4096, 1, 7), b = Pattern(10, 2, 7);
    t.file->Write(a.data(), 4096);
    t.file->Write(b.data(), 10);  // stays in TxBuffer while the first transfer hangs
    std::atomic<bool> done{false};
    emu::Thread app([&] {
        t.file->Flush();
        done = true;
    });
    emu::AdvanceTime(29990);
    EXPECT_FALSE(done);
    emu::AdvanceTime(20);
    EXPECT_TRUE(done);
    app.join();
    t.dev().StallTx(false);
    emu::AdvanceTime(10);
    EXPECT_EQ(t.dev().TxStream(), Cat({a, b}));
}

// A transfer that ends on a whole packet (a synchronous write of 64-byte packets, the whole
// 4096-byte transmit buffer) is followed by a zero-length one, where allowed, unless more bytes
// follow it at once; never with the power off. Every write counts its bytes either way.
TEST(Transmit, ZeroLengthTransferEndsAWholePacketTransferWhenAllowed) {
    struct Row {
        const char* name;
        bool async, allowed, stalled, powerOff;
        std::vector<ULONG> writes;
        std::vector<size_t> transfers;
    } rows[] = {
        {"sync", false, true, false, false, {128, 100}, {128, 0, 100}},
        {"sync, not allowed", false, false, false, false, {128}, {128}},
        {"sync, power off", false, true, false, true, {128}, {128}},
        {"async", true, true, false, false, {4096, 100}, {4096, 0, 100}},
        {"async, bytes waiting behind the full transfer", true, true, true, false, {4096, 100}, {4096, 100}},
        {"async, not allowed", true, false, false, false, {4096}, {4096}},
    };
    static Bytes data = Pattern(4096, 0, 7);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TxPort t(TxOptions(row.async, row.allowed));
        if (row.powerOff) t.p()->PowerState = PowerStateOff;
        t.dev().StallTx(row.stalled);
        Bytes sent;
        for (ULONG n : row.writes) {
            auto w = t.file->Write(data.data(), n);
            EXPECT_EQ(w.Status(), STATUS_SUCCESS);
            EXPECT_EQ(w.Information(), n);
            EXPECT_EQ(w.Boost(), IO_SERIAL_INCREMENT);
            sent = Cat({sent, Bytes(data.begin(), data.begin() + n)});
            if (!row.stalled) emu::RunUntilIdle();
        }
        t.dev().StallTx(false);
        emu::RunUntilIdle();
        EXPECT_EQ(TransferSizes(t.dev()), row.transfers);
        EXPECT_EQ(t.dev().TxStream(), sent);
        EXPECT_EQ(t.OutQueue(), 0u);
        EXPECT_EQ(t.p()->PerfStats.TransmittedCount, sent.size());
    }
}

// Several application threads write records of random sizes; every record arrives whole and
// each thread's records in its order.
class TransmitStreams : public ::testing::TestWithParam<bool> {};

TEST_P(TransmitStreams, ArriveInOrderAndComplete) {
    TxPort t(TxOptions(GetParam()));
    constexpr int kThreads = 3, kWrites = 60;
    std::atomic<int> finished{0};
    std::vector<emu::Thread> threads;
    uint64_t total = 0;
    std::vector<std::vector<Bytes>> records(kThreads);
    for (int id = 0; id < kThreads; id++) {
        std::mt19937 rng(id + 1);
        for (int seq = 0; seq < kWrites; seq++) {
            size_t n = 5 + rng() % 6000;
            Bytes r(n);
            r[0] = (uint8_t)id;
            r[1] = (uint8_t)seq;
            r[2] = (uint8_t)(n & 0xFF);
            r[3] = (uint8_t)(n >> 8);
            for (size_t i = 4; i < n; i++) r[i] = (uint8_t)rng();
            total += n;
            records[id].push_back(std::move(r));
        }
    }
    for (int id = 0; id < kThreads; id++) {
        threads.emplace_back([&, id] {
            for (auto& r : records[id]) {
                auto w = t.file->Write(r.data(), (ULONG)r.size());
                EXPECT_EQ(w.Status(), STATUS_SUCCESS);
                EXPECT_EQ(w.Information(), r.size());
            }
            finished++;
        });
    }
    for (int i = 0; i < 10000 && finished < kThreads; i++) emu::AdvanceTime(10);
    if (finished < kThreads) {
        // A lost write leaves its thread waiting for ever: report and stop here.
        fprintf(stderr, "writes stuck: %u bytes outstanding\n%s", t.OutQueue(), emu::DumpState().c_str());
        std::abort();
    }
    for (auto& th : threads) th.join();
    emu::AdvanceTime(100);

    Bytes stream = t.dev().TxStream();
    ASSERT_EQ(stream.size(), total);
    int next[kThreads] = {};
    size_t at = 0;
    while (at + 4 <= stream.size()) {
        int id = stream[at];
        ASSERT_LT(id, kThreads);
        ASSERT_LT(next[id], kWrites);
        const Bytes& r = records[id][next[id]];
        ASSERT_LE(at + r.size(), stream.size());
        ASSERT_TRUE(std::equal(r.begin(), r.end(), stream.begin() + (ptrdiff_t)at))
            << "record " << next[id] << " of thread " << id << " at " << at;
        at += r.size();
        next[id]++;
    }
    EXPECT_EQ(at, stream.size());
    for (int id = 0; id < kThreads; id++) EXPECT_EQ(next[id], kWrites);
    EXPECT_EQ(t.OutQueue(), 0u);
}

INSTANTIATE_TEST_SUITE_P(BothModes, TransmitStreams, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Async" : "Sync"; });

// A lower driver that fails requests inline (the device unplugged with writes queued) must not
// nest a call per request: 500 queued writes, or the 256 transfers of one 1 MiB asynchronous
// write, would need far more than a kernel stack. Measured as the spread of frame addresses
// between the test and the completions of the writes.
TEST(TransmitNesting, InlineFailuresDoNotDeepenTheStack) {
    struct Case {
        bool async;
        int writes;
        ULONG size;
    };
    for (Case c : {Case{false, 500, 10}, Case{true, 1, 1u << 20}}) {
        TxPort t(TxOptions(c.async));
        std::atomic<uintptr_t> deepest{UINTPTR_MAX};
        std::atomic<int> done{0};
        auto onDone = [&](emu::io::Request&) {
            uintptr_t at = (uintptr_t)__builtin_frame_address(0);
            uintptr_t seen = deepest;
            while (at < seen && !deepest.compare_exchange_weak(seen, at)) {
            }
            done++;
        };
        uintptr_t top = (uintptr_t)__builtin_frame_address(0);
        Bytes data = Pattern(c.size, 5, 7);
        if (c.async) {
            t.dev().Unplug();
            t.file->WriteAsync(data.data(), c.size, onDone);
        } else {
            t.dev().StallTx(true);
            for (int i = 0; i < c.writes; i++) t.file->WriteAsync(data.data(), c.size, onDone);
            emu::RunUntilIdle();
            t.dev().Unplug();
        }
        emu::RunUntilIdle();
        EXPECT_EQ(done, c.writes) << "async " << c.async;
        ASSERT_NE(deepest, UINTPTR_MAX);
        // A few dozen frames of dispatch, completion and the emulation at most.
        EXPECT_LT(top - deepest, 64u * 1024) << "async " << c.async;
    }
}

// The priority boost each way a write or a flush ends with: the serial boost for a request
// whose bytes went (or were buffered) and for a flush, none for one cancelled.
TEST(TransmitBoost, EachWayAWriteOrFlushEndsCarriesItsBoost) {
    using Start = std::function<emu::io::Request(TxPort&)>;
    struct Row {
        const char* name;
        bool async;
        Start start;
        NTSTATUS status;
        CCHAR boost;
    };
    static Bytes data = Pattern(10000, 5, 7);
    const Row rows[] = {
        {"sync write", false, [](TxPort& t) { return t.file->WriteAsync(data.data(), 100); }, STATUS_SUCCESS,
         IO_SERIAL_INCREMENT},
        {"async write buffered at once", true, [](TxPort& t) { return t.file->WriteAsync(data.data(), 100); },
         STATUS_SUCCESS, IO_SERIAL_INCREMENT},
        {"async write buffered as transfers free room", true,
         [](TxPort& t) {
             t.dev().StallTx(true);
             auto w = t.file->WriteAsync(data.data(), 10000);
             emu::RunUntilIdle();
             SendOne(t.dev());
             SendOne(t.dev());
             t.dev().StallTx(false);
             return w;
         },
         STATUS_SUCCESS, IO_SERIAL_INCREMENT},
        {"sync write cancelled", false,
         [](TxPort& t) {
             t.dev().StallTx(true);
             auto w = t.file->WriteAsync(data.data(), 100);
             emu::RunUntilIdle();
             w.Cancel();
             t.dev().StallTx(false);
             return w;
         },
         STATUS_CANCELLED, IO_NO_INCREMENT},
        {"sync flush", false, [](TxPort& t) { return t.file->FlushAsync(); }, STATUS_SUCCESS, IO_SERIAL_INCREMENT},
        {"async flush", true, [](TxPort& t) { return t.file->FlushAsync(); }, STATUS_SUCCESS, IO_SERIAL_INCREMENT},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TxPort t(TxOptions(row.async));
        auto r = row.start(t);
        emu::RunUntilIdle();
        ASSERT_TRUE(r.Done());
        EXPECT_EQ(r.Status(), row.status);
        EXPECT_EQ(r.Boost(), row.boost);
    }
}

// A timer of the port's is armed only while its request is current: once the request has ended,
// however it ended, the timer is gone (a stray one is harmless while its DPC checks the request,
// but it would outlive the device were teardown to stop cancelling it).
TEST(PortTimers, NoneLeftArmedOnceTheirRequestEnded) {
    struct Row {
        const char* name;
        StackOptions options;
        std::function<void(TxPort&)> run;
        std::function<PKTIMER(PortExtension*)> timer;
    };
    static Bytes data = Pattern(100, 9, 7);
    const Row rows[] = {
        {"sync write with a total time-out, sent", TxOptions(false),
         [](TxPort& t) {
             t.p()->Timeouts.WriteTotalTimeoutConstant = 60000;
             auto w = t.file->WriteAsync(data.data(), 100);
             emu::RunUntilIdle();
             EXPECT_EQ(w.Status(), STATUS_SUCCESS);
         },
         [](PortExtension* p) { return &p->WriteTotalTimer; }},
        {"async transfer sent, nothing left, after small bytes had armed the kick", TxOptions(true, 1, 50),
         [](TxPort& t) {
             t.dev().StallTx(true);
             t.file->WriteAsync(data.data(), 100);
             t.file->WriteAsync(data.data(), 10);
             emu::RunUntilIdle();
             SendOne(t.dev());  // 10 bytes below the threshold wait for the kick
             t.file->WriteAsync(data.data(), 100);
             emu::RunUntilIdle();
             SendOne(t.dev());  // the 110 went with the write: nothing is left to kick
             t.dev().StallTx(false);
             EXPECT_EQ(t.dev().TxStream().size(), 210u);
         },
         [](PortExtension* p) { return &p->TxKickTimer; }},
        {"read with a total time-out, cancelled by the close", TxOptions(false),
         [](TxPort& t) {
             SERIAL_TIMEOUTS to{0, 0, 60000, 0, 0};
             t.file->Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, &to, sizeof to, 0);
             auto r = t.file->ReadAsync(10);
             emu::RunUntilIdle();
             EXPECT_FALSE(r.Done());
             EXPECT_EQ(t.stack.Close(), STATUS_SUCCESS);
             EXPECT_EQ(r.Status(), STATUS_CANCELLED);
         },
         [](PortExtension* p) { return &p->ReadTotalTimer; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TxPort t(row.options);
        row.run(t);
        emu::RunUntilIdle();
        EXPECT_FALSE(KeCancelTimer(row.timer(t.p())));  // TRUE: it was still armed
    }
}

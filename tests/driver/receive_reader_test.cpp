// The bulk-in reader and the status poller against the simulated device: flow control by not
// reading, the bytes that did not fit, pacing and retries on the virtual clock, line status.
#include <atomic>
#include <chrono>
#include <thread>
#include <optional>

#include "emu/explore.h"
#include "receive_util.h"

using namespace vcomtest;
using usbpipe::kRx;
using usbpipe::kStatus;

namespace {

const NTSTATUS kDeviceError = (NTSTATUS)0xC000009CL;  // STATUS_DEVICE_DATA_ERROR

// The next read of `pipe` reaches the device `ms` from now, and not a millisecond sooner.
void ExpectReadSentAfter(Stack& s, usbpipe::Pipe pipe, LONGLONG ms) {
    emu::AdvanceTime(ms - 1);
    EXPECT_EQ(s.dev().Pending(pipe), 0u) << "sent before " << ms << " ms";
    emu::AdvanceTime(1);
    EXPECT_EQ(s.dev().Pending(pipe), 1u) << "not sent at " << ms << " ms";
}

// Reads everything held, in immediate mode.
Bytes Drain(emu::io::File& f) {
    Bytes all;
    for (;;) {
        auto r = f.Read(4096);
        EXPECT_EQ(r.Status(), STATUS_SUCCESS);
        if (r.Information() == 0) return all;
        all.insert(all.end(), r.Data().begin(), r.Data().begin() + r.Information());
    }
}

}  // namespace

TEST(Reader, StopsAtXoffFreeAndResumesAtXonHeld) {
    Stack s(NoPolling());
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();
    ASSERT_EQ(p->RxReqSize, 64u);
    Bytes sent = Pattern(5000);
    s.dev().Inject(sent);
    emu::AdvanceTime(1);
    // 56 transfers of 64 leave 512 free: the reader stops and the rest stays with the device.
    EXPECT_EQ(Held(p), 4096u - 512);
    EXPECT_EQ(s.dev().RxBacklog(), 5000u - 3584);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    emu::AdvanceTime(100);
    EXPECT_EQ(Held(p), 3584u);

    // Above XonLimit the reader keeps waiting; at 2048 held it resumes within one poll.
    Bytes got = f.Read(1000).Data();
    emu::AdvanceTime(100);
    EXPECT_EQ(Held(p), 2584u);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    got = Cat({got, f.Read(536).Data()});
    emu::AdvanceTime(10);
    EXPECT_EQ(s.dev().RxBacklog(), 0u);
    EXPECT_EQ(Held(p), 2048u + 1416);
    EXPECT_EQ(s.dev().Pending(kRx), 1u);

    got = Cat({got, Drain(f)});
    EXPECT_EQ(got, sent);
    EXPECT_EQ(p->PerfStats.ReceivedCount, 5000u);
}

TEST(Reader, CountingPatternManyTimesTheBufferWithASlowReader) {
    Stack s(NoPolling());
    auto& f = s.OpenOk();
    s.dev().StartCounting(20000);
    // The application takes 15000 bytes/s of 20000: the buffer fills and the reader throttles.
    uint64_t next = 0;
    bool throttled = false;
    for (int i = 0; i < 250; ++i) {
        emu::AdvanceTime(20);
        throttled |= s.dev().RxBacklog() > 1000;
        auto r = f.Read(300);
        ASSERT_EQ(r.Status(), STATUS_SUCCESS);
        for (size_t k = 0; k < r.Information(); ++k, ++next) {
            ASSERT_EQ(r.Data()[k], static_cast<uint8_t>(next)) << "byte " << next;
        }
    }
    s.dev().StopCounting();
    EXPECT_TRUE(throttled);
    for (int i = 0; i < 100 && next < s.dev().CountingBytesGenerated(); ++i) {
        emu::AdvanceTime(10);
        auto r = f.Read(4096);
        for (size_t k = 0; k < r.Information(); ++k, ++next) {
            ASSERT_EQ(r.Data()[k], static_cast<uint8_t>(next)) << "byte " << next;
        }
    }
    EXPECT_EQ(next, s.dev().CountingBytesGenerated());
    EXPECT_GT(next, 10u * 4096);
}

TEST(Reader, BytesThatDidNotFitAreStoredLaterWithTheirEvents) {
    Stack s(WithValue(NoPolling(), u"RxReqSize", 320));
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();
    ASSERT_EQ(p->RxReqSize, 320u);
    p->HandFlow.XoffLimit = 0;  // store to the brim, so a transfer can overflow
    p->SpecialChars.EventChar = 0x7E;
    // 13 transfers of 320: the last has room for 256, its 64 last bytes hold the event char.
    Bytes sent(13 * 320, 0x11);
    sent[13 * 320 - 10] = 0x7E;
    s.dev().Inject(sent);
    emu::AdvanceTime(1);
    EXPECT_EQ(Held(p), 4096u);
    EXPECT_EQ(p->RxLeftover, 64u);
    EXPECT_EQ(History(p, true), (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL));

    emu::AdvanceTime(100);
    EXPECT_EQ(History(p), 0u);
    EXPECT_EQ(p->RxLeftover, 64u);

    Bytes got = f.Read(2048).Data();
    emu::AdvanceTime(10);
    EXPECT_EQ(p->RxLeftover, 0u);
    EXPECT_EQ(Held(p), 2048u + 64);
    EXPECT_EQ(History(p), (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_RXFLAG));
    EXPECT_EQ(s.dev().Pending(kRx), 1u);  // reading again
    got = Cat({got, Drain(f)});
    EXPECT_EQ(got, sent);
}

TEST(Reader, AReadThatMakesRoomResumesTheReaderWithoutWaitingForThePoll) {
    // Otherwise every refill of a full buffer waits a poll period: 4096 bytes per 5 ms at most.
    Stack s(WithValue(NoPolling(), u"RxReqSize", 512));
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();
    Bytes sent = Pattern(6000);
    s.dev().Inject(sent);
    emu::AdvanceTime(1);
    ASSERT_FALSE(p->RxHasRoom);
    ASSERT_GT(s.dev().RxBacklog(), 0u);
    const LONGLONG before = emu::Now();
    Bytes got = f.Read(3000).Data();
    emu::RunUntilIdle();
    EXPECT_EQ(emu::Now(), before);  // no time passed
    EXPECT_EQ(p->RxLeftover, 0u);
    EXPECT_EQ(s.dev().RxBacklog(), 0u);
    got = Cat({got, Drain(f)});
    EXPECT_EQ(got, sent);
}

TEST(Reader, EightyPercentFullIsPostedAfterEveryStoreAboveTheMark) {
    Stack s(NoPolling());
    s.OpenOk();
    PortExtension* p = s.Ext();
    p->SpecialChars.EventChar = 0xFF;
    s.dev().Inject(Bytes(3200, 1));  // 78 percent
    emu::AdvanceTime(1);
    EXPECT_EQ(History(p, true), (ULONG)SERIAL_EV_RXCHAR);
    s.dev().Inject(Bytes(100, 1));
    emu::AdvanceTime(1);
    EXPECT_EQ(History(p, true), (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL));
    s.dev().Inject(Bytes(10, 1));
    emu::AdvanceTime(1);
    EXPECT_EQ(History(p, true), (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_RX80FULL));
}

TEST(Reader, EmptiedBufferLetsAStalledReaderResumeWithinOnePoll) {
    Stack s(NoPolling());
    s.OpenOk();
    PortExtension* p = s.Ext();
    s.dev().Inject(Pattern(4000));
    emu::AdvanceTime(1);
    ASSERT_FALSE(p->RxHasRoom);
    // What a receive purge does.
    RingClear(&p->RxBuffer);
    p->RxHasRoom = TRUE;
    emu::AdvanceTime(10);
    EXPECT_EQ(Held(p), 4000u - 3584);
    EXPECT_EQ(s.dev().RxBacklog(), 0u);
}

TEST(Reader, PollPeriodPacesReadsAfterDataAndEmptyReads) {
    Stack s(WithValue(NoPolling(), u"RxPollPeriod", 50));
    s.OpenOk();
    EXPECT_EQ(s.dev().Pending(kRx), 1u);
    s.dev().Inject(Pattern(10));
    emu::RunUntilIdle();
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    s.dev().FailTransfers(kRx, 1, STATUS_SUCCESS);  // the next read comes back empty
    emu::AdvanceTime(49);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    emu::AdvanceTime(1);
    // The empty read came and went at once; the next one follows 10 ms later.
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    ExpectReadSentAfter(s, kRx, 10);
    EXPECT_EQ(Held(s.Ext()), 10u);
}

TEST(Reader, NoPollPeriodChainsEmptyReadsAndRetriesFailuresAfter20ms) {
    Stack s(NoPolling());
    s.dev().FailTransfers(kRx, 3, STATUS_SUCCESS);
    s.OpenOk();
    emu::RunUntilIdle();
    EXPECT_EQ(s.dev().Pending(kRx), 1u);  // three empty reads, no time passed

    s.dev().FailTransfers(kRx, 1, kDeviceError);
    s.dev().Inject(Pattern(10));
    emu::RunUntilIdle();  // data, then the next read fails at once
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    ExpectReadSentAfter(s, kRx, 20);
    EXPECT_EQ(Held(s.Ext()), 10u);
}

// A moment of low memory does not end reception: the read that could not be built is tried
// again on the poll timer, and a stop meanwhile finds that timer.
TEST(Reader, ReaderRetriesWhenTheReadCannotBeBuiltAndStopStillReturns) {
    Stack s(NoPolling());
    s.OpenOk();
    PortExtension* p = s.Ext();
    emu::io::FailNthIrpAllocation(1);
    s.dev().Inject(Pattern(10));
    emu::RunUntilIdle();
    EXPECT_EQ(s.dev().Pending(kRx), 0u);  // waiting for the retry
    EXPECT_EQ(Held(p), 10u);
    emu::AdvanceTime(100);
    EXPECT_EQ(s.dev().Pending(kRx), 1u);
    s.dev().Inject(Pattern(5));
    emu::AdvanceTime(10);
    EXPECT_EQ(Held(p), 15u);

    emu::io::FailNthIrpAllocation(1);
    s.dev().Inject(Pattern(1));
    emu::RunUntilIdle();
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    EXPECT_EQ(StopReader(p), STATUS_SUCCESS);
    emu::AdvanceTime(100);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);  // the stop ended the retry
    EXPECT_EQ(StartReader(p), STATUS_SUCCESS);
    emu::RunUntilIdle();
    EXPECT_EQ(s.dev().Pending(kRx), 1u);
}

TEST(Reader, StartWaitsForAStopInProgress) {
    // The reader's completion runs beside this thread, which holds its lock.
    Stack s(NoPolling({.device = {.completeOnWorker = true}}));
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();
    auto until = [](auto done) {
        while (!done()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    // Keep the reader's completion routine inside the loop: it serves reads under this lock.
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    s.dev().Inject(Pattern(10));
    until([&] { return InterlockedCompareExchange(&p->RxSending, 0, 0) != 0; });
    std::atomic<bool> stopped{false};
    emu::Thread stopper([&] {
        EXPECT_EQ(StopReader(p), STATUS_SUCCESS);
        stopped = true;
    });
    until([&] { return LoadFlag(&p->ReaderStopped) != FALSE; });
    // A read arriving now must neither restart the reader under the stop nor pass it.
    std::optional<emu::io::Request> read;
    std::atomic<bool> dispatched{false};
    emu::Thread reader([&] {
        read.emplace(f.ReadAsync(10));
        dispatched = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(stopped);
    EXPECT_FALSE(dispatched);
    IoReleaseCancelSpinLock(irql);
    stopper.join();
    reader.join();
    emu::RunUntilIdle();
    EXPECT_TRUE(stopped);
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->Status(), STATUS_SUCCESS);
    EXPECT_EQ(read->Data(), Pattern(10));
    EXPECT_FALSE(p->ReaderStopped);
    EXPECT_EQ(s.dev().Pending(kRx), 1u);  // one loop, not two
    s.dev().Inject(Pattern(10, 10));
    emu::AdvanceTime(1);
    EXPECT_EQ(Held(p), 10u);
}

TEST(Reader, StopAndCloseLeaveNothingOutstanding) {
    Stack s(WithValue(NoPolling(), u"RxPollPeriod", 30));
    s.OpenOk();
    s.dev().Inject(Pattern(10));
    emu::RunUntilIdle();  // the poll timer is armed now, no read outstanding
    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    emu::AdvanceTime(100);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    EXPECT_EQ(s.Ext()->RxTransferBuffer, nullptr);
    // A second open starts afresh.
    auto& f = s.OpenOk();
    s.dev().Inject(Pattern(5, 7));
    emu::AdvanceTime(1);
    EXPECT_EQ(f.Read(10).Data(), Pattern(5, 7));
}

TEST(StatusPoller, PeriodPacesReadsAndChangesPostEvents) {
    StackOptions o = Variant(1);
    o.device.statusOnChange = true;
    Stack s(o);
    s.dev().SetStatusByte(0x0F);
    s.OpenOk();
    PortExtension* p = s.Ext();
    EXPECT_EQ(p->ModemStatus, 0xF0u);  // the initial read decodes, posts nothing
    EXPECT_EQ(History(p), 0u);
    EXPECT_EQ(s.dev().Pending(kStatus), 0u);
    emu::AdvanceTime(10);
    EXPECT_EQ(s.dev().Pending(kStatus), 1u);

    s.dev().SetStatusByte(0x0D);  // DSR off
    emu::RunUntilIdle();
    EXPECT_EQ(p->ModemStatus, 0xD0u);
    EXPECT_EQ(History(p, true), (ULONG)SERIAL_EV_DSR);
    EXPECT_EQ(s.dev().Pending(kStatus), 0u);
    ExpectReadSentAfter(s, kStatus, 10);

    s.dev().SetStatusByte(0x02);  // CTS, DCD and RI off, DSR on
    emu::AdvanceTime(10);
    EXPECT_EQ(p->ModemStatus, 0x20u);
    EXPECT_EQ(History(p, true), (ULONG)(SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING));
    s.dev().SetStatusByte(0x0A);  // RI on and off again: two ring events
    emu::AdvanceTime(10);
    EXPECT_EQ(History(p, true), (ULONG)SERIAL_EV_RING);
    s.dev().SetStatusByte(0x02);
    emu::AdvanceTime(10);
    EXPECT_EQ(History(p, true), (ULONG)SERIAL_EV_RING);
    s.dev().SetStatusByte(0xF2);  // high bits do not matter
    emu::AdvanceTime(10);
    EXPECT_EQ(History(p), 0u);
}

// A device that reports the status byte only when it changes has nothing to say to a second
// open: the open still completes, after a bounded wait, and the poller takes over.
TEST(StatusPoller, OpenDoesNotWaitForeverForAnUnchangedStatus) {
    StackOptions o = Variant(1);
    o.device.statusOnChange = true;
    Stack s(o);
    s.dev().SetStatusByte(0x0F);
    s.OpenOk();
    EXPECT_EQ(s.Ext()->ModemStatus, 0xF0u);
    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    std::unique_ptr<emu::io::File> second;
    std::atomic<bool> opened{false};
    NTSTATUS status = STATUS_PENDING;
    emu::Thread opener([&] {
        status = s.Open(&second);
        opened = true;
    });
    emu::AdvanceTime(249);
    EXPECT_FALSE(opened);
    emu::AdvanceTime(1);
    opener.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(s.Ext()->ModemStatus, 0xF0u);  // what the first open learned stands
    s.dev().SetStatusByte(0x0D);
    emu::AdvanceTime(20);
    EXPECT_EQ(s.Ext()->ModemStatus, 0xD0u);
    second->Close();
}

TEST(StatusPoller, ZeroPeriodChainsReadsAndRetriesFailuresAfter20ms) {
    StackOptions o = WithValue(Variant(1), u"CtlPollPeriod", 0);
    o.device.statusOnChange = true;
    Stack s(o);
    s.OpenOk();
    emu::RunUntilIdle();
    EXPECT_EQ(s.dev().Pending(kStatus), 1u);
    s.dev().SetStatusByte(0x01);
    emu::RunUntilIdle();
    EXPECT_EQ(s.Ext()->ModemStatus, (ULONG)SERIAL_CTS_STATE);
    EXPECT_EQ(s.dev().Pending(kStatus), 1u);  // the next read at once

    s.dev().FailTransfers(kStatus, 1, kDeviceError);
    s.dev().SetStatusByte(0x03);
    emu::RunUntilIdle();
    EXPECT_EQ(s.dev().Pending(kStatus), 0u);
    ExpectReadSentAfter(s, kStatus, 20);
    EXPECT_EQ(s.Ext()->ModemStatus, (ULONG)(SERIAL_CTS_STATE | SERIAL_DSR_STATE));
}

TEST(StatusPoller, NegativePeriodReadsNothingAndReportsLinesOn) {
    Stack s(NoPolling(Variant(1)));
    s.OpenOk();
    PortExtension* p = s.Ext();
    EXPECT_EQ(p->ModemStatus, 0xB0u);
    EXPECT_EQ(p->StatusByte, 7);
    s.dev().SetStatusByte(0x00);
    emu::AdvanceTime(100);
    EXPECT_EQ(s.dev().Pending(kStatus), 0u);
    EXPECT_EQ(p->ModemStatus, 0xB0u);
    EXPECT_EQ(History(p), 0u);
}

TEST(StatusPoller, DecodeStatusByte) {
    EXPECT_EQ(DecodeStatusByte(0x0F), 0xF0u);
    EXPECT_EQ(DecodeStatusByte(0x01), (ULONG)SERIAL_CTS_STATE);
    EXPECT_EQ(DecodeStatusByte(0x08), (ULONG)SERIAL_RI_STATE);
    EXPECT_EQ(DecodeStatusByte(0xF4), (ULONG)SERIAL_DCD_STATE);
}

// A transfer that completes with bytes just as a stop begins (the stop flag is set, the abort
// not yet sent) must not lose them: they are stored, and what did not fit is stored after the
// next start instead of being overwritten by a new read.
TEST(Reader, BytesOfATransferFinishingAsTheStopBeginsAreKept) {
    Stack s(WithValue(NoPolling(), u"RxReqSize", 320));
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();
    emu::RunUntilIdle();
    ASSERT_EQ(s.dev().Pending(kRx), 1u);

    WriteBooleanNoFence(&p->ReaderStopped, TRUE);  // where StopReader sets it, before its abort
    Bytes first = Pattern(100, 1);
    s.dev().Inject(first);
    emu::RunUntilIdle();
    EXPECT_EQ(Held(p), 100u);
    EXPECT_EQ(s.dev().Pending(kRx), 0u);
    EXPECT_EQ(StopReader(p), STATUS_SUCCESS);

    // Now with a full buffer: the bytes stay leftover until the next start has room for them.
    EXPECT_EQ(StartReader(p), STATUS_SUCCESS);
    p->HandFlow.XoffLimit = 0;
    Bytes fill = Pattern(4096 - 100 - 20, 2);
    s.dev().Inject(fill);
    emu::AdvanceTime(1);
    ASSERT_EQ(Held(p), 4076u);
    WriteBooleanNoFence(&p->ReaderStopped, TRUE);
    Bytes late = Pattern(300, 3);
    s.dev().Inject(late);
    emu::RunUntilIdle();
    EXPECT_EQ(Held(p), 4096u);
    EXPECT_EQ(p->RxLeftover, 280u);
    EXPECT_EQ(StopReader(p), STATUS_SUCCESS);
    EXPECT_EQ(StartReader(p), STATUS_SUCCESS);

    Bytes got = f.Read(4096).Data();
    emu::AdvanceTime(50);  // the poll routine stores the leftover once there is room
    got = Cat({got, Drain(f)});
    Bytes expect = Cat({first, fill, late});
    EXPECT_EQ(got.size(), expect.size());
    EXPECT_EQ(got, expect);
}

// A device that fails every transfer after moving part of its bytes: the bytes it moved are
// kept, stored later where they did not fit, and the rest comes with the reads that follow, so
// the application reads the whole stream in order. Chained reads, reads paced by a poll period,
// and a buffer too small for the stream (the failed transfer's bytes left over for a while).
TEST(Reader, BytesOfATransferThatFailedPartWayAreKept) {
    struct Case {
        const char* name;
        ULONG pollPeriod;
        size_t bytes;
    } cases[] = {
        {"chained", 0, 3000},
        {"poll period", 5, 3000},
        {"left over", 0, 9000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Stack s(WithValue(NoPolling(), u"RxPollPeriod", c.pollPeriod));
        auto& f = s.OpenOk();
        s.dev().SetKnobs({.partialFailOneIn = 1, .faultStatus = kDeviceError});
        Bytes sent = Pattern(c.bytes, 3);
        s.dev().Inject(sent);
        Bytes got;
        for (int i = 0; i < 2000 && got.size() < sent.size(); ++i) {
            emu::AdvanceTime(5);
            if (i % 10 == 9) {
                got = Cat({got, Drain(f)});
            }
        }
        EXPECT_GT(s.dev().PartialFailures(), 10u);
        EXPECT_EQ(got, sent);
        EXPECT_EQ(s.Ext()->PerfStats.ReceivedCount, c.bytes);
    }
}

// A close drops what the reader held back for lack of room; the next open delivers only what
// arrives after it.
TEST(Reader, BytesHeldBackAtCloseAreNotDeliveredByTheNextOpen) {
    Stack s(WithValue(NoPolling(), u"RxReqSize", 320));
    s.OpenOk();
    PortExtension* p = s.Ext();
    p->HandFlow.XoffLimit = 0;
    s.dev().Inject(Bytes(13 * 320, 0x11));
    emu::AdvanceTime(1);
    ASSERT_EQ(p->RxLeftover, 64u);
    ASSERT_EQ(s.Close(), STATUS_SUCCESS);
    auto& f = s.OpenOk();
    Bytes fresh = Pattern(100, 7);
    s.dev().Inject(fresh);
    emu::AdvanceTime(20);
    EXPECT_EQ(Drain(f), fresh);
}

// A lower driver that completes inline runs the completion inside the reader's own send: the
// completion hands the next read back to the sender's loop, so requests never nest, however long
// the device streams, and every byte arrives once and in order. Each row streams 40 KiB (640
// full-speed packets) through a slow reader, with completions always inline or one in three,
// with and without transfers failing part-way, which keep their bytes.
TEST(Reader, InlineCompletionsNeitherNestNorLoseBytes) {
    struct Row {
        const char* name;
        bool alwaysInline;
        unsigned inlineOneIn;
        unsigned partialFailOneIn;
    };
    const Row rows[] = {
        {"always inline", true, 0, 0},
        {"one in three inline", false, 3, 0},
        {"inline, partial failures", true, 0, 7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Stack s(NoPolling({.device = {.completeInline = row.alwaysInline}}));
        s.dev().SetKnobs({.inlineOneIn = row.inlineOneIn,
                          .partialFailOneIn = row.partialFailOneIn});
        auto& f = s.OpenOk();
        Bytes sent = Pattern(40 * 1024, 3), got;
        for (size_t at = 0; at < sent.size(); at += 5000) {
            s.dev().Inject(Bytes(sent.begin() + (ptrdiff_t)at, sent.begin() + (ptrdiff_t)std::min(at + 5000, sent.size())));
            emu::AdvanceTime(25);  // past a retry after a failed transfer
            got = Cat({got, Drain(f)});
        }
        // A failed transfer is retried after 20 ms: one in seven takes a while.
        for (int i = 0; i < 1000 && got.size() < sent.size(); i++) {
            emu::AdvanceTime(25);
            got = Cat({got, Drain(f)});
        }
        EXPECT_EQ(got, sent);
        EXPECT_EQ(s.dev().MaxNesting(), 1);
        // The last drain freed room: the restart it caused may still be on its way to the device.
        emu::RunUntilIdle();
        EXPECT_EQ(s.dev().Pending(kRx), 1u);  // one read outstanding, no second loop beside it
    }
}

// A device that always has bytes must not keep the sender in its loop: after 16 transfers
// handed back to it, the poll DPC carries on. Without preemption the DPC cannot run before the
// start returns, so what the start's own thread stored is exactly those 16 packets.
TEST(Reader, TheSendersLoopLeavesTheRestToThePollDpc) {
    Stack s(NoPolling({.device = {.completeInline = true}}));
    auto& f = s.OpenOk();
    PortExtension* p = s.Ext();
    ASSERT_EQ(HoldReader(p), STATUS_SUCCESS);
    Bytes sent = Pattern(3000);
    s.dev().Inject(sent);
    auto strategy = emu::sched::Replay({});
    {
        emu::sched::Session session(*strategy);
        session.Choose(false);
        EXPECT_EQ(ReleaseReader(p, TRUE), STATUS_SUCCESS);
        EXPECT_EQ(Held(p), 16u * 64);
        EXPECT_EQ(emu::sched::ArmedIn(&p->RxPollDpc, sizeof p->RxPollDpc).size(), 1u);  // the DPC takes over
    }
    emu::RunUntilIdle();
    EXPECT_EQ(Drain(f), sent);
    EXPECT_EQ(s.dev().MaxNesting(), 1);
}

// The status poller's loop alike: with a zero period and status reads answered inline, the
// start's own thread sends 16 reads, none nested, and leaves the rest to the poll DPC.
TEST(StatusPoller, TheSendersLoopLeavesTheRestToThePollDpc) {
    StackOptions o = Variant(1);
    o.device.completeInline = true;
    Stack s(o);
    s.OpenOk();
    PortExtension* p = s.Ext();
    ASSERT_EQ(StopReceiveSide(p->DeviceObject), STATUS_SUCCESS);
    p->CtlPollPeriod = 0;  // every read answered at once: a device that always has news
    s.dev().SetStatusByte(0x05);
    LONG before = p->StatusReadCompletions;
    auto strategy = emu::sched::Replay({});
    {
        emu::sched::Session session(*strategy);
        session.Choose(false);
        EXPECT_EQ(StartStatusPoller(p), STATUS_SUCCESS);
        EXPECT_EQ(p->StatusReadCompletions - before, 16);
        EXPECT_EQ(emu::sched::ArmedIn(&p->StatusPollDpc, sizeof p->StatusPollDpc).size(), 1u);
        EXPECT_EQ(p->ModemStatus, DecodeStatusByte(0x05));
        ASSERT_EQ(StopReceiveSide(p->DeviceObject), STATUS_SUCCESS);
    }
    p->CtlPollPeriod = 10;
    EXPECT_EQ(s.dev().MaxNesting(), 1);
}

// Read requests: the four timeout modes and their timers on the virtual clock, queueing,
// cancellation, races between completion causes, and teardown with reads pending.
#include <chrono>
#include <thread>
#include <vector>

#include "receive_util.h"

using namespace vcomtest;
using emu::io::Request;

namespace {

void Arrive(Stack& s, const Bytes& b) {
    s.dev().Inject(b);
    emu::RunUntilIdle();
}

void ExpectDone(const Request& r, NTSTATUS status, const Bytes& data, CCHAR boost) {
    ASSERT_TRUE(r.Done());
    EXPECT_EQ(r.Status(), status);
    EXPECT_EQ(r.Information(), data.size());
    EXPECT_EQ(Bytes(r.Data().begin(), r.Data().begin() + r.Information()), data);
    EXPECT_EQ(r.Boost(), boost);
}

// An open port whose status poller stays quiet, in immediate read mode until a test sets timeouts.
class Read : public ::testing::Test {
protected:
    Stack s{NoPolling()};
    emu::io::File& f = s.OpenOk();
};

}  // namespace

TEST_F(Read, ImmediateModeReturnsWhatIsHeldAndZeroLengthReturnsNothing) {
    Arrive(s, Pattern(5));
    ExpectDone(f.Read(0), STATUS_SUCCESS, {}, IO_NO_INCREMENT);
    ExpectDone(f.Read(3), STATUS_SUCCESS, Pattern(3), IO_SERIAL_INCREMENT);
    ExpectDone(f.Read(10), STATUS_SUCCESS, Pattern(2, 3), IO_SERIAL_INCREMENT);
    ExpectDone(f.Read(10), STATUS_SUCCESS, {}, IO_SERIAL_INCREMENT);
}

TEST_F(Read, FirstByteModeCompletesWithTheFirstChunkOrTimesOut) {
    SetReadTimeouts(s.Ext(), MAXULONG, MAXULONG, 500);
    Request r = f.ReadAsync(10);
    emu::AdvanceTime(100);
    EXPECT_FALSE(r.Done());
    Arrive(s, Pattern(4));
    ExpectDone(r, STATUS_SUCCESS, Pattern(4), IO_SERIAL_INCREMENT);

    r = f.ReadAsync(10);
    ASSERT_TRUE(DoneAfter(r, 500));
    ExpectDone(r, STATUS_TIMEOUT, {}, IO_NO_INCREMENT);

    // Bytes already held satisfy it at once.
    Arrive(s, Pattern(3, 9));
    ExpectDone(f.Read(10), STATUS_SUCCESS, Pattern(3, 9), IO_SERIAL_INCREMENT);
}

TEST_F(Read, NoTimeoutsWaitsForTheFullLength) {
    SetReadTimeouts(s.Ext(), 0, 0, 0);
    Arrive(s, Pattern(4));
    Request r = f.ReadAsync(10);
    EXPECT_EQ(Held(s.Ext()), 0u);  // took the 4 at once
    emu::AdvanceTime(60000);
    EXPECT_FALSE(r.Done());
    Arrive(s, Pattern(8, 4));
    ExpectDone(r, STATUS_SUCCESS, Pattern(10), IO_SERIAL_INCREMENT);
    EXPECT_EQ(Held(s.Ext()), 2u);
}

TEST_F(Read, IntervalTimeoutCountsFromTheLastChunkOnly) {
    SetReadTimeouts(s.Ext(), 100, 0, 0);
    Request r = f.ReadAsync(10);
    emu::AdvanceTime(5000);  // no limit before the first byte
    EXPECT_FALSE(r.Done());
    Arrive(s, Pattern(3));
    emu::AdvanceTime(99);
    EXPECT_FALSE(r.Done());
    Arrive(s, Pattern(2, 3));
    ASSERT_TRUE(DoneAfter(r, 100));
    ExpectDone(r, STATUS_TIMEOUT, Pattern(5), IO_NO_INCREMENT);
}

TEST_F(Read, TotalTimeoutIsLengthTimesMultiplierPlusConstant) {
    SetReadTimeouts(s.Ext(), 0, 10, 100);
    Request r = f.ReadAsync(50);
    emu::AdvanceTime(300);
    Arrive(s, Pattern(20));
    ASSERT_TRUE(DoneAfter(r, 300));
    ExpectDone(r, STATUS_TIMEOUT, Pattern(20), IO_NO_INCREMENT);
}

TEST_F(Read, HugeMultiplierOrConstantIsALongTimeoutNotAnExpiredOne) {
    for (auto [m, c] : {std::pair<ULONG, ULONG>{0x80000000u, 0}, {0, 0x80000000u}, {0xFFFFFFFEu, 0xFFFFFFFEu}}) {
        SetReadTimeouts(s.Ext(), 0, m, c);
        Request r = f.ReadAsync(1000);
        emu::AdvanceTime(10000);
        EXPECT_FALSE(r.Done()) << m << " " << c;
        r.Cancel();
        ExpectDone(r, STATUS_CANCELLED, {}, IO_NO_INCREMENT);
    }
}

TEST_F(Read, QueuedReadsWaitInOrderAndEachGetsItsOwnTotalTimer) {
    SetReadTimeouts(s.Ext(), 0, 10, 100);
    Request a = f.ReadAsync(50);
    Request b = f.ReadAsync(50);
    Request c = f.ReadAsync(5);
    emu::AdvanceTime(300);
    // a is filled; b becomes current, takes the rest and starts its timer now.
    Arrive(s, Pattern(70));
    ExpectDone(a, STATUS_SUCCESS, Pattern(50), IO_SERIAL_INCREMENT);
    EXPECT_FALSE(b.Done());
    ASSERT_TRUE(DoneAfter(b, 600));
    ExpectDone(b, STATUS_TIMEOUT, Pattern(20, 50), IO_NO_INCREMENT);
    // c started at 900 with 5 x 10 + 100 = 150.
    ASSERT_TRUE(DoneAfter(c, 150));
    ExpectDone(c, STATUS_TIMEOUT, {}, IO_NO_INCREMENT);
}

TEST_F(Read, WaitingReadBehindACurrentOneIsServedFromHeldBytesWhenItsTurnComes) {
    SetReadTimeouts(s.Ext(), 0, 0, 0);
    Request a = f.ReadAsync(4);
    SetReadTimeouts(s.Ext(), MAXULONG, 0, 0);
    Request b = f.ReadAsync(10);  // immediate, but a read is current: it waits
    EXPECT_FALSE(b.Done());
    Arrive(s, Pattern(7));
    ExpectDone(a, STATUS_SUCCESS, Pattern(4), IO_SERIAL_INCREMENT);
    ExpectDone(b, STATUS_SUCCESS, Pattern(3, 4), IO_SERIAL_INCREMENT);
}

TEST_F(Read, CancellingTheCurrentOrAWaitingRead) {
    SetReadTimeouts(s.Ext(), 0, 0, 0);
    Request a = f.ReadAsync(10);
    Request b = f.ReadAsync(10);
    Request c = f.ReadAsync(4);
    Arrive(s, Pattern(3));
    EXPECT_TRUE(b.Cancel());
    ExpectDone(b, STATUS_CANCELLED, {}, IO_NO_INCREMENT);
    EXPECT_FALSE(a.Done());
    // Its bytes go with it; the next waiting read becomes current.
    EXPECT_TRUE(a.Cancel());
    ExpectDone(a, STATUS_CANCELLED, {}, IO_NO_INCREMENT);
    EXPECT_FALSE(c.Done());
    Arrive(s, Pattern(4, 3));
    ExpectDone(c, STATUS_SUCCESS, Pattern(4, 3), IO_SERIAL_INCREMENT);
}

TEST_F(Read, NewTimeoutsReArmTheCurrentReadsTotalTimer) {
    SetReadTimeouts(s.Ext(), 0, 0, 1000);
    Request r = f.ReadAsync(10);
    emu::AdvanceTime(400);
    SetReadTimeouts(s.Ext(), 0, 0, 200);
    ASSERT_TRUE(DoneAfter(r, 200));
    ExpectDone(r, STATUS_TIMEOUT, {}, IO_NO_INCREMENT);

    // Timeouts changed to none take the old timer away.
    r = f.ReadAsync(10);
    SetReadTimeouts(s.Ext(), 0, 0, 0);
    emu::AdvanceTime(5000);
    EXPECT_FALSE(r.Done());
    Arrive(s, Pattern(10));
    ExpectDone(r, STATUS_SUCCESS, Pattern(10), IO_SERIAL_INCREMENT);
}

TEST_F(Read, ReadDrainingToXonLimitLetsAStalledReaderResume) {
    SetReadTimeouts(s.Ext(), 0, 0, 0);
    s.dev().Inject(Pattern(4000));
    emu::AdvanceTime(1);
    ASSERT_EQ(Held(s.Ext()), 3584u);
    // A waiting read served by the reader's store, not at dispatch.
    Request r = f.ReadAsync(3600);
    emu::AdvanceTime(10);
    ExpectDone(r, STATUS_SUCCESS, Pattern(3600), IO_SERIAL_INCREMENT);
    EXPECT_EQ(Held(s.Ext()), 400u);
}

// Data, the read's own timer and a cancellation all land at about the same moment, from three
// threads, on the real-time clock. Whatever wins, the read completes once (the verifier sees
// every completion) with a status that fits its bytes.
TEST(ReadRace, CompletionCausesCompleteEachReadOnce) {
    emu::SetClockMode(emu::ClockMode::RealTime);
    {
        Stack s(NoPolling());
        auto& f = s.OpenOk();
        emu::Worker canceller("canceller");
        for (int i = 0; i < 100; ++i) {
            SetReadTimeouts(s.Ext(), i % 2 ? 0 : 2, 0, 5);
            s.dev().SetCompletionDelay(5 * 10000);
            Request r = f.ReadAsync(8);
            s.dev().Inject(Pattern(i % 3 + 1));
            if (i % 5 != 4) canceller.PostAfter(5 * 10000, [r]() mutable { r.Cancel(); });
            r.Wait();
            canceller.Drain();
            NTSTATUS st = r.Status();
            if (st == STATUS_CANCELLED) {
                EXPECT_EQ(r.Information(), 0u) << i;
            } else if (st == STATUS_SUCCESS) {
                EXPECT_GT(r.Information(), 0u) << i;
            } else {
                EXPECT_EQ(st, STATUS_TIMEOUT) << i;
            }
            s.dev().SetCompletionDelay(0);
            SetReadTimeouts(s.Ext(), MAXULONG, 0, 0);
            while (s.dev().RxBacklog() != 0 || f.Read(64).Information() != 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }
    }
    emu::SetClockMode(emu::ClockMode::Virtual);
}

// Reads with interval and total timers racing the reader while the device streams: every
// byte is delivered once, in order, to exactly one read.
TEST_F(Read, StreamUnderTimeoutsDeliversEveryByteOnce) {
    SetReadTimeouts(s.Ext(), 3, 1, 7);
    s.dev().StartCounting(40000);
    uint64_t next = 0;
    std::vector<Request> open;
    for (int i = 0; i < 400; ++i) {
        while (open.size() < 3) open.push_back(f.ReadAsync(37 + (i % 5) * 50));
        emu::AdvanceTime(1 + i % 4);
        while (!open.empty() && open.front().Done()) {
            Request r = open.front();
            open.erase(open.begin());
            ASSERT_TRUE(r.Status() == STATUS_SUCCESS || r.Status() == STATUS_TIMEOUT) << r.Status();
            for (size_t k = 0; k < r.Information(); ++k, ++next) {
                ASSERT_EQ(r.Data()[k], static_cast<uint8_t>(next)) << "byte " << next;
            }
        }
    }
    s.dev().StopCounting();
    emu::AdvanceTime(1000);
    for (auto& r : open) {
        ASSERT_TRUE(r.Done());
        for (size_t k = 0; k < r.Information(); ++k, ++next) ASSERT_EQ(r.Data()[k], static_cast<uint8_t>(next));
    }
    SetReadTimeouts(s.Ext(), MAXULONG, 0, 0);
    for (auto r = f.Read(4096); r.Information(); r = f.Read(4096)) {
        for (size_t k = 0; k < r.Information(); ++k, ++next) ASSERT_EQ(r.Data()[k], static_cast<uint8_t>(next));
    }
    EXPECT_EQ(next, s.dev().CountingBytesGenerated());
}

TEST_F(Read, CleanupCancelsPendingReads) {
    SetReadTimeouts(s.Ext(), 0, 0, 0);
    Request a = f.ReadAsync(10);
    Request b = f.ReadAsync(10);
    Arrive(s, Pattern(2));
    EXPECT_EQ(s.Close(), STATUS_SUCCESS);
    ExpectDone(a, STATUS_CANCELLED, {}, IO_NO_INCREMENT);
    ExpectDone(b, STATUS_CANCELLED, {}, IO_NO_INCREMENT);
}

TEST_F(Read, SurpriseRemovalCancelsPendingReadsAndRefusesNewOnes) {
    SetReadTimeouts(s.Ext(), 0, 10, 100);
    Request a = f.ReadAsync(10);
    Request b = f.ReadAsync(10);
    EXPECT_EQ(s.node().SurpriseRemoval(), STATUS_SUCCESS);
    ExpectDone(a, STATUS_CANCELLED, {}, IO_NO_INCREMENT);
    ExpectDone(b, STATUS_CANCELLED, {}, IO_NO_INCREMENT);
    ExpectDone(f.Read(10), STATUS_DELETE_PENDING, {}, IO_NO_INCREMENT);
    emu::AdvanceTime(1000);  // no timer of the cancelled reads fires into anything
    EXPECT_EQ(s.Remove(), STATUS_SUCCESS);
}

// The limits of one connection, on a clock the test moves, and the output
// queue that shares large records between recipients.
#include "LinkPolicy.h"
#include "OutBuffer.h"

#include <gtest/gtest.h>

using namespace kelvra;

namespace {

class LinkPolicyTest : public ::testing::Test {
protected:
    LinkPolicyTest() : Policy([this] { return NowUs; }) {
        TLinkLimits l;
        l.ReadRate = 1000;
        l.FanOutRate = 10000;
        l.PendingInputBudget = 100;
        l.RecordTimeLimitSeconds = 2;
        l.OutputBudget = 8000;
        Policy.SetLimits(l);
    }
    int64_t NowUs = 1'000'000;
    TLinkPolicy Policy;
};

TEST_F(LinkPolicyTest, ReadRateAndFanOutPauseUntilTheirBucketsRefill) {
    TLinkMeter m;
    Policy.Open(m);
    Policy.ChargeRead(m, 1000); // one second's worth: no wait yet
    EXPECT_EQ(Policy.PauseUs(m), 0);
    Policy.ChargeRead(m, 500);
    EXPECT_EQ(Policy.PauseUs(m), 500'001);
    NowUs += 500'001;
    EXPECT_EQ(Policy.PauseUs(m), 0);
    // Fan-out has its own bucket; the longer wait of the two counts.
    Policy.ChargeFanOut(m, 10000 + 20000);
    EXPECT_EQ(Policy.PauseUs(m), 2'000'001);
    // A long quiet time fills the buckets only to their depth.
    NowUs += 60'000'000;
    Policy.ChargeRead(m, 1001);
    EXPECT_GT(Policy.PauseUs(m), 0);
}

TEST_F(LinkPolicyTest, PendingInputBudgetRefusesOnlyTheConnectionThatGrew) {
    TLinkMeter a, b;
    EXPECT_TRUE(Policy.CountPending(a, 80, 80));
    EXPECT_FALSE(Policy.CountPending(b, 30, 30)); // 110 > 100
    EXPECT_TRUE(Policy.CountPending(a, 60, 0));   // shrinking is always fine
    Policy.ForgetPending(b);
    EXPECT_EQ(Policy.PendingTotal(), 60);
    Policy.ForgetPending(a);
    EXPECT_EQ(Policy.PendingTotal(), 0);
}

TEST_F(LinkPolicyTest, RecordAgeRunsFromItsFirstByteAndHandshakesCount) {
    TLinkMeter m;
    Policy.CountPending(m, 10, 10);
    NowUs += 1'500'000;
    // More bytes of the same record: the clock stays.
    Policy.CountPending(m, 20, 10);
    NowUs += 600'000;
    EXPECT_TRUE(Policy.TooOld(m));
    // All pending bytes came with the last read: a new record, a new clock.
    Policy.CountPending(m, 5, 5);
    EXPECT_FALSE(Policy.TooOld(m));
    Policy.ForgetPending(m);
    NowUs += 10'000'000;
    EXPECT_FALSE(Policy.TooOld(m));

    TLinkMeter handshake;
    Policy.StartAgeClock(handshake);
    NowUs += 2'000'001;
    EXPECT_TRUE(Policy.TooOld(handshake));
}

TEST_F(LinkPolicyTest, OutputVictimsAreNonLoggedOnOverTheirShareThenTheLargest) {
    TLinkLimits l = Policy.Limits();
    l.OutputBudget = 1'000'000;
    Policy.SetLimits(l);
    Policy.NoteQueued(1'100'000);
    ASSERT_TRUE(Policy.OverOutputBudget(0));
    // Down to seven eighths of the budget: 225,000 bytes to free.
    const std::vector<TLinkPolicy::THolder> holders = {{1, 100'000, true},
                                                       {2, 90'000, true},
                                                       {3, 70'000, false}, // over its share
                                                       {4, 60'000, false}, // within it
                                                       {5, 80'000, true}};
    EXPECT_EQ(Policy.PickVictims(holders, 0), (std::vector<int>{3, 1, 2}));
    const std::vector<TLinkPolicy::THolder> few = {
        {7, 100'000, true}, {8, 200'000, true}, {9, 150'000, true}};
    EXPECT_EQ(Policy.PickVictims(few, 100'000), (std::vector<int>{8, 9}));
}

TEST_F(LinkPolicyTest, NotLoggedOnOverItsShareGoesOnlyOnceItsSocketStalled) {
    TLinkMeter m;
    Policy.Open(m);
    const qsizetype over = TLinkPolicy::kUnloggedShare + 1;
    EXPECT_FALSE(Policy.OverShare(m, over, false));
    NowUs += TLinkPolicy::kStallUs;
    EXPECT_TRUE(Policy.OverShare(m, over, false));
    EXPECT_FALSE(Policy.OverShare(m, over, true));
    EXPECT_FALSE(Policy.OverShare(m, TLinkPolicy::kUnloggedShare, false));
}

TEST_F(LinkPolicyTest, NonPositiveLimitsMeanTheDefaults) {
    Policy.SetLimits(TLinkLimits{0, -1, 0, 0, -5});
    const TLinkLimits d;
    // The default output budget grows with the connections; a set one does not.
    Policy.SetOpenLinks(10);
    EXPECT_EQ(Policy.OutputBudget(), TLinkLimits::kDefaultOutputBudget);
    Policy.SetOpenLinks(20'000);
    EXPECT_EQ(Policy.OutputBudget(), 20'000 * TLinkLimits::kOutputBudgetPerLink);
    TLinkLimits set = Policy.Limits();
    set.OutputBudget = 1'000'000;
    Policy.SetLimits(set);
    EXPECT_EQ(Policy.OutputBudget(), 1'000'000);
    EXPECT_EQ(Policy.Limits().FanOutRate, d.FanOutRate);
    EXPECT_EQ(Policy.Limits().RecordTimeLimitSeconds, d.RecordTimeLimitSeconds);
}

TEST(OutBufferTest, RefersToSharedRecordsAndKeepsOffsetsAcrossPartialWrites) {
    TOutBuffer out;
    const TSharedRecord small(QByteArray("ab"));
    const TSharedRecord shared(QByteArray(TOutBuffer::kCopyBelow, 'S'));
    const TSharedRecord big(QByteArray(64 * 1024, 'B'));
    out.Append(small);
    out.Append(small);
    out.Append(shared);
    out.Append(big);
    out.Append(QByteArray("cd"));
    EXPECT_EQ(out.Pending(), 6 + shared.Size() + big.Size());
    iovec parts[8];
    ASSERT_EQ(out.Gather(parts, 8, 1 << 20), 4);
    // Tiny records are copied together; the others are referred to.
    EXPECT_EQ(QByteArray(static_cast<const char*>(parts[0].iov_base), 4), "abab");
    EXPECT_EQ(parts[1].iov_base, shared.Data());
    EXPECT_EQ(parts[2].iov_base, big.Data());
    const void* tailChunk = parts[3].iov_base;
    // A write that stops inside the shared record; more queued meanwhile
    // leaves the gathered pieces where they were.
    out.Consume(4 + shared.Size() + 10);
    for (int i = 0; i < 100; ++i)
        out.Append(small);
    ASSERT_EQ(out.Gather(parts, 8, 1 << 20), 2);
    EXPECT_EQ(static_cast<const char*>(parts[0].iov_base), big.Data() + 10);
    EXPECT_EQ(parts[1].iov_base, tailChunk);
    EXPECT_EQ(parts[1].iov_len, 202u);
    out.Consume(out.Pending());
    EXPECT_EQ(out.WrittenOffset(), out.QueuedOffset());
    EXPECT_EQ(out.Gather(parts, 8, 1 << 20), 0);

    // The emptied list waits for the next buffer with output.
    const qsizetype pooled = TOutBuffer::PooledBytes();
    EXPECT_GT(pooled, 0);
    TOutBuffer other;
    other.Append(small);
    EXPECT_LT(TOutBuffer::PooledBytes(), pooled);
    EXPECT_EQ(other.Discard(), 2);
    EXPECT_EQ(TOutBuffer::PooledBytes(), pooled);
    EXPECT_EQ(out.QueuedOffset(), 206u + static_cast<uint64_t>(shared.Size() + big.Size()));
}

} // namespace

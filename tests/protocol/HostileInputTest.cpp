// Clients that hold input back, pile it up or flood: the server bounds what
// it keeps for them and keeps serving everybody else.
#include "TestServer.h"

#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

namespace {

bool ShowsFailure(const TRecordingView& view, const char* words) {
    for (const QString& row : view.ClientFailures)
        if (row.contains(QLatin1String(words)))
            return true;
    return false;
}

TEST(HostileInputTest, IncompleteRecordsPastTheBudgetDropTheConnectionThatGrew) {
    TTestServer server;
    server.Manager().SetPendingInputBudget(256 * 1024);
    TTestClient holder, grower;
    ASSERT_TRUE(holder.Connect(server.Port()));
    ASSERT_TRUE(grower.Connect(server.Port()));
    const QByteArray record = EncodePacket(Rec(KMS_SERVERNICK, QByteArray(190 * 1024, 'h')));
    holder.SendRaw(record.left(record.size() - 10));
    ASSERT_TRUE(
        WaitUntil([&] { return server.Manager().PendingInputBytes() >= record.size() - 10; }));
    grower.SendRaw(EncodePacket(Rec(KMS_SERVERNICK, QByteArray(600 * 1024, 'g'))).left(200 * 1024));
    ASSERT_TRUE(grower.WaitForDisconnect());
    EXPECT_TRUE(ShowsFailure(server.View(), "over the budget"));
    // The holder's bytes were kept: its record completes.
    holder.Settle();
    holder.Take(); // the notice that the grower is gone
    holder.SendRaw(record.right(10));
    ASSERT_TRUE(holder.WaitFor(1));
    EXPECT_EQ(holder.Received()[0], Rec(KMC_SERVERNICK, "Admin"));
    EXPECT_EQ(server.Manager().PendingInputBytes(), 0);
}

TEST(HostileInputTest, IncompleteRecordPastTheTimeLimitDropsItsConnection) {
    TTestServer server;
    server.Manager().SetRecordTimeLimit(1);
    TTestClient stalled, idle;
    ASSERT_TRUE(stalled.Connect(server.Port()));
    ASSERT_TRUE(idle.Connect(server.Port()));
    ASSERT_TRUE(idle.LoginAs("idle", 2));
    stalled.SendRaw(EncodePacket(Rec(KMS_SERVERNICK, QByteArray(1000, 's'))).left(40));
    ASSERT_TRUE(stalled.WaitForDisconnect(10000));
    EXPECT_TRUE(ShowsFailure(server.View(), "incomplete record older than 1 s"));
    EXPECT_EQ(server.Manager().PendingInputBytes(), 0);
    // A connection with nothing half-sent is left alone.
    idle.Send(KMS_SERVERNICK);
    ASSERT_TRUE(idle.WaitFor(1));
    EXPECT_TRUE(idle.Connected());
}

TEST(HostileInputTest, FloodingConnectionIsReadSlowerLosesNothingAndOthersAreServed) {
    TTestServer server;
    server.Manager().SetReadRatePerConnection(64 * 1024);
    TTestClient flooder, canary;
    ASSERT_TRUE(flooder.Connect(server.Port()));
    ASSERT_TRUE(canary.Connect(server.Port()));
    constexpr int kFlood = 6000; // 23 bytes each: about two seconds at that rate
    const QByteArray one = EncodePacket(Rec(KMS_SERVERNICK));
    QByteArray flood;
    for (int i = 0; i < kFlood; ++i)
        flood += one;
    flooder.SendRaw(flood);
    ASSERT_TRUE(WaitUntil([&] { return server.Manager().ThrottleCount() > 0; }));
    canary.Send(KMS_SERVERNICK);
    ASSERT_TRUE(canary.WaitFor(1));
    // The canary did not wait for the flood to be handled.
    EXPECT_LT(flooder.Received().size(), static_cast<size_t>(kFlood));
    ASSERT_TRUE(flooder.WaitFor(kFlood, 20000));
    flooder.Settle();
    EXPECT_EQ(flooder.Received().size(), static_cast<size_t>(kFlood));
    EXPECT_TRUE(flooder.Connected());
}

} // namespace

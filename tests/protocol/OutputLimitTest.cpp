// Unsent output and fan-out: the server bounds what it holds for clients that
// do not read, and slows a sender down rather than drop its listeners.
#include "PairPeer.h"
#include "TestServer.h"

#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

namespace {

TEST(OutputLimitTest, PastTheBudgetTheLargestNonReadersGoFirst) {
    constexpr qsizetype kBudget = 1024 * 1024;
    TTestServer server;
    server.Manager().SetOutputBudget(kBudget);
    TPairPeer quiet(4096), slow(4096); // neither ever reads
    const SocketHandle quietSocket =
        server.Manager().Adopt(std::make_unique<TPlainIo>(quiet.ServerFd));
    const SocketHandle slowSocket =
        server.Manager().Adopt(std::make_unique<TPlainIo>(slow.ServerFd));
    slow.Send(Rec(KMS_LOGIN, "slow", "0"));
    slow.Send(Rec(KMS_USER, "slow"));
    ASSERT_TRUE(WaitUntil([&] { return server.Core().IsLoggedOn(slowSocket); }));
    TTestClient reader;
    ASSERT_TRUE(reader.Connect(server.Port()));
    ASSERT_TRUE(reader.LoginAs("reader", 3));

    const TRegistry& users = server.Core().Registry();
    const QByteArray text(32 * 1024, 't');
    bool quietFirst = false;
    for (int i = 0; i < 300 && users.FindUserBySocket(slowSocket); ++i) {
        server.Core().Broadcast(text, false);
        EXPECT_LE(server.Manager().TotalQueuedBytes(), kBudget);
        reader.Settle(2);
        reader.Take();
        if (!users.FindUserBySocket(quietSocket) && users.FindUserBySocket(slowSocket))
            quietFirst = true;
    }
    EXPECT_TRUE(quietFirst);
    ASSERT_FALSE(users.FindUserBySocket(slowSocket));
    bool budgetRow = false;
    for (const QString& row : server.View().ClientFailures)
        budgetRow = budgetRow || row.contains(QLatin1String("over the output budget of 1048576"));
    EXPECT_TRUE(budgetRow);
    // The client that reads was never in question.
    reader.Send(KMS_SERVERNICK);
    ASSERT_TRUE(WaitUntil([&] {
        return !reader.Received().empty() && reader.Received().back().Code == KMC_SERVERNICK;
    }));
}

TEST(OutputLimitTest, NotLoggedOnNonReaderKeepsOnlyItsShare) {
    TTestServer server;
    int64_t ahead = 0;
    server.Manager().SetClock([&ahead] { return TLinkPolicy::SteadyClockUs() + ahead; });
    TPairPeer quiet(65536), slow(65536); // neither ever reads
    const SocketHandle quietSocket =
        server.Manager().Adopt(std::make_unique<TPlainIo>(quiet.ServerFd));
    const SocketHandle slowSocket =
        server.Manager().Adopt(std::make_unique<TPlainIo>(slow.ServerFd));
    slow.Send(Rec(KMS_LOGIN, "slow", "0"));
    slow.Send(Rec(KMS_USER, "slow"));
    ASSERT_TRUE(WaitUntil([&] { return server.Core().IsLoggedOn(slowSocket); }));
    for (int i = 0; i < 10; ++i)
        server.Core().Broadcast(QByteArray(20 * 1024, 's'), false);
    ASSERT_TRUE(WaitUntil([&] { return server.Manager().Settled(); }));
    // The socket holds no more than the share; the rest waits here.
    EXPECT_GT(server.Manager().QueuedBytes(quietSocket), 100 * 1024);
    ahead += 3'000'000; // neither socket has taken anything for three seconds
    const TRegistry& users = server.Core().Registry();
    ASSERT_TRUE(WaitUntil([&] { return !users.FindUserBySocket(quietSocket); }));
    ASSERT_FALSE(server.View().ClientFailures.empty());
    EXPECT_TRUE(
        server.View().ClientFailures[0].contains(QLatin1String("not logged on and not reading")));
    EXPECT_TRUE(users.FindUserBySocket(slowSocket));
}

TEST(OutputLimitTest, SenderPastItsFanOutIsReadSlowerAndNoMemberIsDropped) {
    TTestServer server;
    server.Manager().SetFanOutPerSecond(256 * 1024);
    TTestClient sender, a, b, c;
    int users = 0;
    for (auto* client : {&sender, &a, &b, &c}) {
        ASSERT_TRUE(client->Connect(server.Port()));
        const QByteArray nick = "u" + QByteArray::number(users++);
        ASSERT_TRUE(client->LoginAs(nick, users));
    }
    sender.Send(KMS_CREATE, "Flood", {}, false);
    for (auto* member : {&a, &b, &c})
        member->Send(KMS_JOIN, "Flood", {}, false);
    const TRegistry& registry = server.Core().Registry();
    ASSERT_TRUE(WaitUntil(
        [&] { return !registry.Chats().empty() && registry.Chats().front()->Users.size() == 4; }));
    sender.Settle();
    for (auto* client : {&sender, &a, &b, &c})
        client->Take();

    // About 400 KB of fan-out: well past one second's worth.
    constexpr int kTexts = 24;
    const QByteArray text(4096, 'x');
    for (int i = 0; i < kTexts; ++i)
        sender.Send(KMS_CHATDATA, "Flood", QByteArray::number(i) + ':' + text, false);
    ASSERT_TRUE(WaitUntil([&] { return server.Manager().FanOutPauseCount() > 0; }));
    for (auto* member : {&sender, &a, &b, &c}) {
        ASSERT_TRUE(member->WaitFor(kTexts, 10000));
        const auto& got = member->Received();
        ASSERT_EQ(got.size(), static_cast<size_t>(kTexts));
        for (int i = 0; i < kTexts; ++i)
            EXPECT_TRUE(
                got[static_cast<size_t>(i)].Param2.startsWith("N" + QByteArray::number(i) + ':'));
        EXPECT_TRUE(member->Connected());
    }
    EXPECT_TRUE(server.View().ClientFailures.empty());
}

} // namespace

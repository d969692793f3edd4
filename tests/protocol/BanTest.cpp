// Bans at login: the first matching ban refuses and counts a hit.
#include "TestServer.h"

#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

namespace {

TEST(BanLoginTest, FirstMatchingBanRefusesAndCountsAHit) {
    TTestServer server;
    TBan* loopback = server.Core().Bans().NewBan();
    loopback->IP1 = 127;
    loopback->IP1_On = true;
    loopback->Nick = "troll";
    loopback->Nick_On = true;
    loopback->InString = true;
    TBan* second = server.Core().Bans().NewBan(); // would match too
    second->Nick = "trolling";
    second->Nick_On = true;
    TTestClient c, d;
    ASSERT_TRUE(c.Connect(server.Port()));
    ASSERT_TRUE(d.Connect(server.Port()));
    c.Send(KMS_LOGIN, "trolling", "0");
    c.Send(KMS_LOGIN, "TROLL", "0");
    ASSERT_TRUE(c.WaitFor(2));
    c.Settle();
    EXPECT_EQ(c.Received(), (std::vector<TDataPacket>{Rec(KMC_BANNED), Rec(KMC_BANNED)}));
    EXPECT_EQ(loopback->Hits, 2);
    EXPECT_EQ(second->Hits, 0);
    EXPECT_EQ(server.View().BanHitUpdates, 2);
    EXPECT_TRUE(d.Received().empty()); // nobody else is told
    EXPECT_TRUE(c.LoginAs("friendly", 2));
}

TEST(BanLoginTest, NicknameInUseIsCheckedBeforeBansAndBansBeforeServerNick) {
    TTestServer server("Admin");
    TTestClient owner, c;
    ASSERT_TRUE(owner.Connect(server.Port()));
    ASSERT_TRUE(owner.LoginAs("taken", 1));
    TBan* all = server.Core().Bans().NewBan(); // every flag off: matches everybody
    ASSERT_TRUE(c.Connect(server.Port()));
    c.Send(KMS_LOGIN, "taken", "0");
    c.Send(KMS_LOGIN, "admin", "0");
    ASSERT_TRUE(c.WaitFor(2));
    EXPECT_EQ(c.Received(), (std::vector<TDataPacket>{Rec(KMC_NICKINUSE), Rec(KMC_BANNED)}));
    EXPECT_EQ(all->Hits, 1);
}

TEST(BanLoginTest, OctetsMustMatchEveryEnabledPosition) {
    TTestServer server;
    TBan* elsewhere = server.Core().Bans().NewBan();
    elsewhere->IP1 = 127;
    elsewhere->IP1_On = true;
    elsewhere->IP4 = 2; // we connect from 127.0.0.1
    elsewhere->IP4_On = true;
    TTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    EXPECT_TRUE(c.LoginAs("fine", 1));
    EXPECT_EQ(elsewhere->Hits, 0);
}

} // namespace

// Login over real loopback sockets: the sequence a newcomer receives, what
// everybody else is told, and every refusal.
#include "TestServer.h"

#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

namespace {

class LoginTest : public ::testing::Test {
protected:
    TTestServer Server{"Admin"};
};

TEST_F(LoginTest, NewcomerGetsStateInOrderAndOthersAreTold) {
    TTestClient idle; // connected, never logged in
    TTestClient alice;
    ASSERT_TRUE(idle.Connect(Server.Port()));
    ASSERT_TRUE(alice.Connect(Server.Port()));
    alice.Send(KMS_LOGIN, "  alice  ", "7");
    ASSERT_TRUE(alice.WaitFor(5));
    alice.Settle();
    const std::vector<TDataPacket> expected = {
        Rec(KMC_OKAY),
        Rec(KMC_SERVERNICK, "Admin"),
        Rec(KMC_ADDUSER, "", "0"),      // the idle connection, announced with no nickname
        Rec(KMC_ADDUSER, "alice", "7"), // the newcomer itself, at its place in accept order
        Rec(KMC_PING),
    };
    EXPECT_EQ(alice.Received(), expected);
    ASSERT_TRUE(idle.WaitFor(1));
    EXPECT_EQ(idle.Received(), std::vector<TDataPacket>{Rec(KMC_ADDUSER, "alice", "7")});
    ASSERT_EQ(Server.View().UserRows.size(), 1u);
    EXPECT_EQ(Server.View().UserRows[0], "alice");
    // The outgoing log shows every record with From 0.
    for (const TDataPacket& p : Server.View().Outgoing)
        EXPECT_EQ(p.From, 0);
}

TEST_F(LoginTest, ChatsAreSentBeforeTheServerNickname) {
    TTestClient alice, bob;
    ASSERT_TRUE(alice.Connect(Server.Port()));
    ASSERT_TRUE(alice.LoginAs("alice", 1));
    alice.Send(KMS_CREATE, "Lobby", {}, false);
    alice.Send(KMS_CREATE, "Vault", {}, true);
    ASSERT_TRUE(alice.WaitFor(6));
    ASSERT_TRUE(bob.Connect(Server.Port()));
    bob.Send(KMS_LOGIN, "bob", "$1F");
    ASSERT_TRUE(bob.WaitFor(7));
    const std::vector<TDataPacket> got(bob.Received().begin(), bob.Received().begin() + 7);
    const std::vector<TDataPacket> expected = {Rec(KMC_OKAY),
                                               Rec(KMC_ADDCHAT, "Lobby"),
                                               Rec(KMC_ADDCHAT, "Vault", {}, true),
                                               Rec(KMC_SERVERNICK, "Admin"),
                                               Rec(KMC_ADDUSER, "alice", "0"),
                                               Rec(KMC_ADDUSER, "bob", "31"),
                                               Rec(KMC_PING)};
    EXPECT_EQ(got, expected);
}

TEST_F(LoginTest, Refusals) {
    TTestClient bob, other;
    ASSERT_TRUE(bob.Connect(Server.Port()));
    ASSERT_TRUE(bob.LoginAs("Bob", 1));
    ASSERT_TRUE(other.Connect(Server.Port()));
    other.Send(KMS_LOGIN, " \t ", "0");
    other.Send(KMS_LOGIN, "BOB", "0");
    other.Send(KMS_LOGIN, " admin ", "0"); // the server's own nickname, any case
    ASSERT_TRUE(other.WaitFor(3));
    other.Settle();
    EXPECT_EQ(other.Received(),
              (std::vector<TDataPacket>{Rec(KMC_BADNICK), Rec(KMC_NICKINUSE), Rec(KMC_NICKINUSE)}));
    // No refusal closes the connection or changes the record.
    EXPECT_TRUE(other.Connected());
    EXPECT_EQ(Server.Core().Registry().UserCount(), 2);
    EXPECT_EQ(Server.Core().Registry().FindUserByNickname("bob")->Nickname, "Bob");
}

TEST_F(LoginTest, IconThatIsNotAnIntegerGetsNoAnswerAndIsReportedQuietly) {
    TTestClient c;
    ASSERT_TRUE(c.Connect(Server.Port()));
    c.Send(KMS_LOGIN, "", ""); // would be refused, but the icon is checked first
    c.Send(KMS_LOGIN, "carl", "12x");
    c.Send(KMS_SERVERNICK); // the records after it are still served
    ASSERT_TRUE(c.WaitFor(1));
    c.Settle();
    EXPECT_EQ(c.Received(), std::vector<TDataPacket>{Rec(KMC_SERVERNICK, "Admin")});
    ASSERT_EQ(Server.View().ClientFailures.size(), 2u);
    EXPECT_EQ(Server.View().ClientFailures[1], "'12x' is not a valid integer value");
}

TEST_F(LoginTest, RepeatedLoginReplacesTheOldNickname) {
    TTestClient a, b;
    ASSERT_TRUE(a.Connect(Server.Port()));
    ASSERT_TRUE(a.LoginAs("alpha", 1));
    ASSERT_TRUE(b.Connect(Server.Port()));
    ASSERT_TRUE(b.LoginAs("beta", 2));
    a.Take();
    b.Send(KMS_LOGIN, "gamma", "2");
    ASSERT_TRUE(a.WaitFor(2));
    a.Settle();
    EXPECT_EQ(a.Received(),
              (std::vector<TDataPacket>{Rec(KMC_DELUSER, "beta"), Rec(KMC_ADDUSER, "gamma", "2")}));
    EXPECT_EQ(Server.View().RemovedUserRows, 1);
    EXPECT_EQ(Server.Core().Registry().FindUserByNickname("beta"), nullptr);
    ASSERT_NE(Server.Core().Registry().FindUserByNickname("GAMMA"), nullptr);
    // The freed nickname can be taken by someone else.
    TTestClient c;
    ASSERT_TRUE(c.Connect(Server.Port()));
    EXPECT_TRUE(c.LoginAs("beta", 3));
}

TEST_F(LoginTest, ServerNicknameIsAnsweredInAnyState) {
    TTestClient c;
    ASSERT_TRUE(c.Connect(Server.Port()));
    c.Send(KMS_SERVERNICK);
    ASSERT_TRUE(c.WaitFor(1));
    EXPECT_EQ(c.Received()[0], Rec(KMC_SERVERNICK, "Admin"));
}

TEST_F(LoginTest, UnknownAndServerCodesAreIgnored) {
    TTestClient c;
    ASSERT_TRUE(c.Connect(Server.Port()));
    c.Send(12);
    c.Send(-1);
    c.Send(KMC_OKAY);
    c.Send(KMS_SERVERNICK);
    ASSERT_TRUE(c.WaitFor(1));
    c.Settle();
    EXPECT_EQ(c.Received().size(), 1u);
}

} // namespace

// Chat text, private messages, invitations and the offline mail store.
#include "TestServer.h"

#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

namespace {

class MessagingTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto* c : {&Alice, &Bob, &Carol})
            ASSERT_TRUE(c->Connect(Server.Port()));
        ASSERT_TRUE(Alice.LoginAs("alice", 3));
        ASSERT_TRUE(Bob.LoginAs("bob", 3));
        ASSERT_TRUE(Carol.LoginAs("carol", 3));
        Alice.Send(KMS_CREATE, "Lobby", {}, false);
        Bob.Send(KMS_JOIN, "Lobby", {}, false);
        ASSERT_TRUE(Bob.WaitFor(3));
        Clear();
    }
    void Clear() {
        Alice.Settle(30);
        for (auto* c : {&Alice, &Bob, &Carol})
            c->Take();
    }
    TTestServer Server{"Admin"};
    TTestClient Alice, Bob, Carol;
};

TEST_F(MessagingTest, ChatTextIsRelayedToMembersWithItsKindLetter) {
    Carol.Send(KMS_CHATDATA, "LOBBY", "hello", false); // no member: still relayed
    ASSERT_TRUE(Alice.WaitFor(1));
    Alice.Send(KMS_CHATDATA, "Lobby", "waves", true);
    ASSERT_TRUE(Alice.WaitFor(2));
    ASSERT_TRUE(Bob.WaitFor(2));
    Carol.Settle();
    const std::vector<TDataPacket> expected = {Rec(KMC_CHATDATA, "LOBBY", "Nhello"),
                                               Rec(KMC_CHATDATA, "Lobby", "Ewaves")};
    EXPECT_EQ(Alice.Received(), expected);
    EXPECT_EQ(Bob.Received(), expected);
    EXPECT_TRUE(Carol.Received().empty());
    Carol.Send(KMS_CHATDATA, "Nowhere", "hello", false);
    Carol.Settle();
    EXPECT_TRUE(Carol.Received().empty());
}

TEST_F(MessagingTest, PrivateAndAnonymousMessages) {
    Alice.Send(KMS_MESSAGE, "BOB", "psst", false);
    Alice.Send(KMS_MESSAGE, "bob", "guess who", true);
    Alice.Send(KMS_MESSAGE, "ALICE", "me", false);
    ASSERT_TRUE(Bob.WaitFor(2));
    ASSERT_TRUE(Alice.WaitFor(1));
    EXPECT_EQ(Bob.Received(),
              (std::vector<TDataPacket>{Rec(KMC_MESSAGE, "alice", "psst"),
                                        Rec(KMC_MESSAGE, "Anonymous", "guess who", true)}));
    EXPECT_EQ(Alice.Received(),
              std::vector<TDataPacket>{Rec(KMC_MESSAGE, "Admin", "Talking to yourself?")});
}

TEST_F(MessagingTest, InvitationsPassParam2Unchanged) {
    Alice.Send(KMS_INVITE, "carol", "Lobby please");
    Alice.Send(KMS_INVITE, "nobody", "x");
    ASSERT_TRUE(Carol.WaitFor(1));
    Carol.Settle();
    EXPECT_EQ(Carol.Received(), std::vector<TDataPacket>{Rec(KMC_INVITE, "alice", "Lobby please")});
    EXPECT_EQ(Server.Core().Mail().Count(), 0);
}

TEST_F(MessagingTest, MessageToAbsentNicknameIsMailedAndDeliveredOnRequest) {
    // One sender at a time: the store keeps the order of arrival.
    Alice.Send(KMS_MESSAGE, "dave", "first", false);
    Alice.Settle(30);
    Bob.Send(KMS_MESSAGE, "erin", "between", false);
    Bob.Send(KMS_MESSAGE, "Dave", "second", true);
    Bob.Settle(30);
    Alice.Send(KMS_MESSAGE, "dave ", "trailing blank", false);
    Alice.Settle(80);
    EXPECT_TRUE(Alice.Received().empty()); // the sender is not told
    ASSERT_EQ(Server.Core().Mail().Count(), 4);
    EXPECT_EQ(Server.View().MailRows, 4);

    TTestClient dave;
    ASSERT_TRUE(dave.Connect(Server.Port()));
    ASSERT_TRUE(dave.LoginAs("DAVE", 4));
    dave.Send(KMS_GETPOST);
    ASSERT_TRUE(dave.WaitFor(2));
    dave.Settle();
    EXPECT_EQ(dave.Received(),
              (std::vector<TDataPacket>{Rec(KMC_MESSAGE, "alice", "first"),
                                        Rec(KMC_MESSAGE, "Anonymous", "second", true)}));
    auto items = Server.Core().Mail().Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->Target, "erin");
    EXPECT_EQ(items[1]->Target, "dave ");
    EXPECT_EQ(Server.View().MailRows, 2);
    dave.Send(KMS_GETPOST); // nothing left for dave
    dave.Settle();
    EXPECT_EQ(dave.Received().size(), 2u);
}

TEST_F(MessagingTest, EmptyTargetReachesFirstConnectionWithoutNickname) {
    Alice.Send(KMS_MESSAGE, "", "to nobody", false);
    Alice.Settle();
    ASSERT_EQ(Server.Core().Mail().Count(), 1); // no such connection: mailed
    TTestClient anon;
    ASSERT_TRUE(anon.Connect(Server.Port()));
    Alice.Settle();
    Alice.Send(KMS_MESSAGE, "", "hello stranger", false);
    ASSERT_TRUE(anon.WaitFor(1));
    EXPECT_EQ(anon.Received()[0], Rec(KMC_MESSAGE, "alice", "hello stranger"));
    // A connection without a nickname collects the mail for the empty nickname.
    anon.Send(KMS_GETPOST);
    ASSERT_TRUE(anon.WaitFor(2));
    EXPECT_EQ(anon.Received()[1], Rec(KMC_MESSAGE, "alice", "to nobody"));
}

} // namespace

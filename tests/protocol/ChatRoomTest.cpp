// Chat rooms: creation, the notices of joining and leaving and their order,
// secure chats, duplicate entries and names, and the operator's kill request.
#include "TestServer.h"

#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

namespace {

class ChatRoomTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (auto* c : {&Alice, &Bob, &Carol})
            ASSERT_TRUE(c->Connect(Server.Port()));
        ASSERT_TRUE(Alice.LoginAs("alice", 3));
        ASSERT_TRUE(Bob.LoginAs("bob", 3));
        ASSERT_TRUE(Carol.LoginAs("carol", 3));
        Settle();
    }
    void Settle() {
        Alice.Settle(30);
        for (auto* c : {&Alice, &Bob, &Carol})
            c->Take();
    }
    TTestServer Server{"Admin"};
    TTestClient Alice, Bob, Carol;
};

TEST_F(ChatRoomTest, CreateAnnouncesToAllThenSeatsTheCreator) {
    Alice.Send(KMS_CREATE, "  Lobby ", {}, false);
    ASSERT_TRUE(Alice.WaitFor(3));
    ASSERT_TRUE(Bob.WaitFor(1));
    ASSERT_TRUE(Carol.WaitFor(1));
    Alice.Settle();
    EXPECT_EQ(Alice.Received(),
              (std::vector<TDataPacket>{Rec(KMC_ADDCHAT, "Lobby"), Rec(KMC_JOINED, "Lobby"),
                                        Rec(KMC_CHATDATA, "Lobby", "SYou are alone.")}));
    EXPECT_EQ(Bob.Received(), std::vector<TDataPacket>{Rec(KMC_ADDCHAT, "Lobby")});
}

TEST_F(ChatRoomTest, BlankNameIsRefused) {
    Alice.Send(KMS_CREATE, "   ", {}, false);
    ASSERT_TRUE(Alice.WaitFor(1));
    Alice.Settle();
    EXPECT_EQ(Alice.Received(), std::vector<TDataPacket>{Rec(KMC_STATUS, "Invalid Chat Name")});
    EXPECT_TRUE(Bob.Received().empty());
    EXPECT_EQ(Server.Core().Registry().ChatCount(), 0);
}

TEST_F(ChatRoomTest, JoinNoticesFollowAcceptOrder) {
    // bob creates, alice joins later: the who-is-here list still follows the
    // order of the connections (alice was accepted first).
    Bob.Send(KMS_CREATE, "Lobby", {}, false);
    ASSERT_TRUE(Bob.WaitFor(3));
    Alice.Send(KMS_JOIN, "lobby", {}, false);
    ASSERT_TRUE(Alice.WaitFor(3));
    Settle();
    Carol.Send(KMS_JOIN, "LOBBY", {}, false);
    ASSERT_TRUE(Carol.WaitFor(2));
    ASSERT_TRUE(Alice.WaitFor(1));
    ASSERT_TRUE(Bob.WaitFor(1));
    EXPECT_EQ(Carol.Received(),
              (std::vector<TDataPacket>{
                  Rec(KMC_JOINED, "Lobby"),
                  Rec(KMC_CHATDATA, "Lobby", "SUsers on this chat : alice, bob.")}));
    EXPECT_EQ(Alice.Received()[0], Rec(KMC_CHATDATA, "Lobby", "Scarol has joined the chat"));
    EXPECT_EQ(Bob.Received()[0], Rec(KMC_CHATDATA, "Lobby", "Scarol has joined the chat"));
    EXPECT_EQ(Server.Core().Registry().FindChatByName("Lobby")->MemberCount(), 3);
}

TEST_F(ChatRoomTest, JoinRefusals) {
    Alice.Send(KMS_CREATE, "Vault", {}, true);
    ASSERT_TRUE(Alice.WaitFor(3));
    Settle();
    Bob.Send(KMS_JOIN, "Nowhere", {}, false);
    Bob.Send(KMS_JOIN, "Vault", {}, false);
    ASSERT_TRUE(Bob.WaitFor(2));
    EXPECT_EQ(Bob.Take(),
              (std::vector<TDataPacket>{Rec(KMC_MESSAGE, "Admin", "The chat does not exist"),
                                        Rec(KMC_MESSAGE, "Admin", "This is a private chat")}));
    Bob.Send(KMS_JOIN, "Vault", {}, true);
    ASSERT_TRUE(Bob.WaitFor(2));
    EXPECT_EQ(Bob.Received()[1], Rec(KMC_CHATDATA, "Vault", "SUsers on this chat : alice."));
}

TEST_F(ChatRoomTest, UsersNotLoggedInCannotCreateOrJoin) {
    TTestClient guest;
    ASSERT_TRUE(guest.Connect(Server.Port()));
    guest.Send(KMS_LOGIN, "guest", "0");
    ASSERT_TRUE(guest.WaitFor(6));
    guest.Take();
    guest.Send(KMS_CREATE, "Lobby", {}, false);
    guest.Send(KMS_CHATDATA, "Lobby", "hi", false);
    guest.Send(KMS_MESSAGE, "alice", "hi", false);
    guest.Send(KMS_INVITE, "alice", "x");
    guest.Settle(100);
    EXPECT_TRUE(guest.Received().empty());
    EXPECT_EQ(Server.Core().Registry().ChatCount(), 0);
    EXPECT_EQ(Server.Core().Mail().Count(), 0);
}

TEST_F(ChatRoomTest, LeavingNotifiesRemainingAndLastOneDeletesTheChat) {
    Alice.Send(KMS_CREATE, "Lobby", {}, false);
    ASSERT_TRUE(Alice.WaitFor(3));
    Bob.Send(KMS_JOIN, "Lobby", {}, false);
    ASSERT_TRUE(Bob.WaitFor(3));
    Settle();
    Alice.Send(KMS_QUITCHAT, "lobby");
    ASSERT_TRUE(Bob.WaitFor(1));
    Alice.Settle();
    EXPECT_EQ(Bob.Take(),
              std::vector<TDataPacket>{Rec(KMC_CHATDATA, "Lobby", "Salice has quit the chat")});
    EXPECT_TRUE(Alice.Received().empty());
    Alice.Send(KMS_QUITCHAT, "Lobby"); // not a member any more: nothing happens
    Bob.Send(KMS_QUITCHAT, "Lobby");
    for (auto* c : {&Alice, &Bob, &Carol})
        ASSERT_TRUE(c->WaitFor(1));
    Alice.Settle();
    for (auto* c : {&Alice, &Bob, &Carol})
        EXPECT_EQ(c->Take(), std::vector<TDataPacket>{Rec(KMC_DELCHAT, "Lobby")});
    EXPECT_EQ(Server.Core().Registry().ChatCount(), 0);
}

TEST_F(ChatRoomTest, DoubleJoinStandsTwice) {
    Alice.Send(KMS_CREATE, "Lobby", {}, false);
    ASSERT_TRUE(Alice.WaitFor(3));
    Bob.Send(KMS_JOIN, "Lobby", {}, false);
    Bob.Send(KMS_JOIN, "Lobby", {}, false);
    ASSERT_TRUE(Alice.WaitFor(5));
    Settle();
    EXPECT_EQ(Server.Core().Registry().FindChatByName("Lobby")->MemberCount(), 3);
    // One quit removes one entry; the left notice reaches every remaining
    // entry, the leaver's other entry included.
    Bob.Send(KMS_QUITCHAT, "Lobby");
    ASSERT_TRUE(Bob.WaitFor(1));
    ASSERT_TRUE(Alice.WaitFor(1));
    EXPECT_EQ(Bob.Received()[0], Rec(KMC_CHATDATA, "Lobby", "Sbob has quit the chat"));
    EXPECT_EQ(Server.Core().Registry().FindChatByName("Lobby")->MemberCount(), 2);
}

TEST_F(ChatRoomTest, EntriesPastTheCapAreRefusedSilentlyWithOneErrorRow) {
    Server.Core().StoreLimits.ChatEntriesPerConnection = 2;
    Alice.Send(KMS_CREATE, "Lobby", {}, false);
    ASSERT_TRUE(Alice.WaitFor(3));
    Settle();
    Alice.Send(KMS_JOIN, "Lobby", {}, false);
    Alice.Send(KMS_JOIN, "Lobby", {}, false);
    Alice.Send(KMS_CREATE, "Den", {}, false);
    Alice.Send(KMS_SERVERNICK);
    ASSERT_TRUE(Alice.WaitFor(3));
    Bob.Send(KMS_SERVERNICK);
    ASSERT_TRUE(Bob.WaitFor(1));
    EXPECT_EQ(Alice.Take(), (std::vector<TDataPacket>{Rec(KMC_JOINED, "Lobby"),
                                                      Rec(KMC_CHATDATA, "Lobby", "SYou are alone."),
                                                      Rec(KMC_SERVERNICK, "Admin")}));
    EXPECT_EQ(Bob.Take(), std::vector<TDataPacket>{Rec(KMC_SERVERNICK, "Admin")});
    EXPECT_EQ(Server.Core().Registry().ChatCount(), 1);
    const auto& rows = Server.View().ClientFailures;
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_TRUE(rows[0].startsWith("Join of 'Lobby' by 'alice' refused: connection "));
    EXPECT_TRUE(rows[0].contains("already holds 2 chat entries"));

    // Leaving makes room again.
    Alice.Send(KMS_QUITCHAT, "Lobby");
    Alice.Send(KMS_CREATE, "Den", {}, false);
    ASSERT_TRUE(Carol.WaitFor(1));
    EXPECT_EQ(Carol.Take(), std::vector<TDataPacket>{Rec(KMC_ADDCHAT, "Den")});
}

TEST_F(ChatRoomTest, DuplicateNamesReachTheFirstChat) {
    Alice.Send(KMS_CREATE, "Lobby", {}, false);
    ASSERT_TRUE(Alice.WaitFor(3));
    Bob.Send(KMS_CREATE, "Lobby", {}, false);
    ASSERT_TRUE(Bob.WaitFor(4));
    Settle();
    ASSERT_EQ(Server.Core().Registry().ChatCount(), 2);
    Carol.Send(KMS_JOIN, "Lobby", {}, false);
    ASSERT_TRUE(Carol.WaitFor(2));
    EXPECT_EQ(Carol.Received()[1], Rec(KMC_CHATDATA, "Lobby", "SUsers on this chat : alice."));
    Bob.Send(KMS_QUITCHAT, "Lobby"); // reaches the first chat, of which bob is not a member
    Bob.Settle();
    EXPECT_EQ(Server.Core().Registry().ChatCount(), 2);
}

TEST_F(ChatRoomTest, KillChatAsksEveryEntryToLeave) {
    Alice.Send(KMS_CREATE, "Lobby", {}, false);
    ASSERT_TRUE(Alice.WaitFor(3));
    Bob.Send(KMS_JOIN, "Lobby", {}, false);
    ASSERT_TRUE(Bob.WaitFor(3));
    Settle();
    Server.Core().KillChat(Server.Core().Registry().FindChatByName("Lobby")->Id());
    ASSERT_TRUE(Alice.WaitFor(1));
    ASSERT_TRUE(Bob.WaitFor(1));
    EXPECT_EQ(Alice.Received()[0], Rec(KMC_BYE, "Lobby"));
    EXPECT_EQ(Server.Core().Registry().ChatCount(), 1); // nothing changes until they leave
}

TEST_F(ChatRoomTest, OnePassOfGroupAndDirectRecordsKeepsEachClientsOrder) {
    // Everything below happens in one pass of the event loop, where records
    // to everybody and to the chat's members are kept once and taken by each
    // member later: each client must still see exactly what it was sent, in
    // the order it was sent, across members joining and leaving meanwhile.
    Alice.Send(KMS_CREATE, "Lobby", {}, false);
    ASSERT_TRUE(Alice.WaitFor(3));
    Bob.Send(KMS_JOIN, "Lobby", {}, false);
    ASSERT_TRUE(Bob.WaitFor(3));
    Settle();
    TServer& core = Server.Core();
    const auto user = [&](const char* nick) { return core.Registry().FindUserByNickname(nick); };
    const auto from = [&](const char* nick, int32_t code) {
        TDataPacket p = Rec(code, "Lobby");
        p.From = static_cast<int32_t>(user(nick)->Socket);
        return p;
    };
    const uint64_t lobby = core.Registry().FindChatByName("Lobby")->Id();
    const auto status = [](const char* text) { return Rec(KMC_STATUS, text); };
    const auto said = [](const char* text) { return Rec(KMC_CHATDATA, "Lobby", text); };

    core.SendToAll(status("1"));
    core.SendToGroup(lobby, TPreparedPacket(said("2")), user("alice"));
    core.Send(user("carol"), status("3"));
    core.Dispatch(from("carol", KMS_JOIN));
    core.SendToGroup(lobby, TPreparedPacket(said("4")), nullptr);
    core.Dispatch(from("bob", KMS_QUITCHAT));
    core.SendToGroup(lobby, TPreparedPacket(said("5")), nullptr);
    core.SendToAll(status("6"), user("carol"));
    core.SendToGroup(lobby, TPreparedPacket(said("7")), nullptr);
    core.SendToAll(status("8"));

    ASSERT_TRUE(Alice.WaitFor(8));
    ASSERT_TRUE(Bob.WaitFor(6));
    ASSERT_TRUE(Carol.WaitFor(9));
    Alice.Settle();
    EXPECT_EQ(Alice.Received(),
              (std::vector<TDataPacket>{status("1"), said("Scarol has joined the chat"), said("4"),
                                        said("Sbob has quit the chat"), said("5"), status("6"),
                                        said("7"), status("8")}));
    EXPECT_EQ(Bob.Received(),
              (std::vector<TDataPacket>{status("1"), said("2"), said("Scarol has joined the chat"),
                                        said("4"), status("6"), status("8")}));
    EXPECT_EQ(Carol.Received(),
              (std::vector<TDataPacket>{status("1"), status("3"), Rec(KMC_JOINED, "Lobby"),
                                        said("SUsers on this chat : alice, bob."), said("4"),
                                        said("Sbob has quit the chat"), said("5"), said("7"),
                                        status("8")}));
}

} // namespace

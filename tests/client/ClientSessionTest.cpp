#include "ClientSession.h"
#include "FakeServer.h"
#include "PacketCodes.h"

#include <gtest/gtest.h>

using namespace kelvra;
using kelvra::clienttest::Text;
using kelvra::clienttest::Texts;

namespace {

class clientSession : public ::testing::Test {
protected:
    std::vector<TDataPacket> Sent;
    TClientSession Session{[this](const TDataPacket& p) { Sent.push_back(p); }};

    TCommandResult Run(const char* line) { return Session.Execute(ParseCommand(line)); }
    std::vector<std::string> TakeSent() {
        auto out = Texts(Sent);
        Sent.clear();
        return out;
    }
};

TEST_F(clientSession, LoginSendsBothSteps) {
    Session.Login("  bob ", 3, "Robert", "secret");
    EXPECT_EQ(TakeSent(), (std::vector<std::string>{Text(KMS_LOGIN, "  bob ", "3"),
                                                    Text(KMS_USER, "Robert", "secret")}));
    // The server registers the nickname trimmed.
    EXPECT_EQ(Session.Nickname(), "bob");
}

TEST_F(clientSession, AnswersEveryPingSilently) {
    EXPECT_TRUE(Session.HandlePacket(MakePacket(KMC_PING)).isEmpty());
    EXPECT_TRUE(Session.HandlePacket(MakePacket(KMC_PING)).isEmpty());
    EXPECT_EQ(TakeSent(), (std::vector<std::string>{Text(KMS_PING), Text(KMS_PING)}));
}

TEST_F(clientSession, TracksUsersAndRooms) {
    for (const TDataPacket& p :
         {MakePacket(KMC_OKAY), MakePacket(KMC_ADDCHAT, "Lobby"),
          MakePacket(KMC_ADDCHAT, "Vault", {}, true), MakePacket(KMC_ADDCHAT, "Lobby"),
          MakePacket(KMC_SERVERNICK, "Admin"), MakePacket(KMC_ADDUSER, "", "0"),
          MakePacket(KMC_ADDUSER, "Bob", "2"), MakePacket(KMC_ADDUSER, "alice", "1")})
        Session.HandlePacket(p);
    EXPECT_TRUE(Session.LoginAccepted());
    EXPECT_EQ(Session.ServerNick(), "Admin");
    EXPECT_EQ(Session.UsersText(), "Users (3): (no nickname), Bob, alice");
    EXPECT_EQ(Session.RoomsText(), "Rooms (3): Lobby, Vault (secure), Lobby");

    Session.HandlePacket(MakePacket(KMC_JOINED, "Lobby"));
    Session.HandlePacket(MakePacket(KMC_DELUSER, "BOB"));
    Session.HandlePacket(MakePacket(KMC_DELUSER, "nobody"));
    EXPECT_EQ(Session.UsersText(), "Users (2): (no nickname), alice");
    // Two rooms of one name: one entry goes per KMC_DELCHAT, and we are out of it.
    EXPECT_EQ(Session.RoomsText(), "Rooms (3): Lobby [joined], Vault (secure), Lobby");
    Session.HandlePacket(MakePacket(KMC_DELCHAT, "lobby"));
    EXPECT_EQ(Session.RoomsText(), "Rooms (2): Vault (secure), Lobby");
    EXPECT_TRUE(Session.JoinedRooms().isEmpty());

    // A repeated login brings the whole state again: no duplicates.
    Session.HandlePacket(MakePacket(KMC_OKAY));
    Session.HandlePacket(MakePacket(KMC_ADDUSER, "alice", "1"));
    EXPECT_EQ(Session.UsersText(), "Users (1): alice");
    EXPECT_EQ(Session.RoomsText(), "No rooms known");
    EXPECT_TRUE(Sent.empty());
}

TEST_F(clientSession, PlainTextGoesToTheRoomJoinedLast) {
    EXPECT_FALSE(Run("hello").Error.isEmpty());
    EXPECT_TRUE(Sent.empty());

    Session.HandlePacket(MakePacket(KMC_JOINED, "Lobby"));
    Session.HandlePacket(MakePacket(KMC_JOINED, "Den"));
    Run("hi den");
    Run("/part");
    Run("hi lobby");
    Run("/part LOBBY");
    EXPECT_FALSE(Run("lost").Error.isEmpty());
    EXPECT_FALSE(Run("/part").Error.isEmpty());
    EXPECT_EQ(TakeSent(), (std::vector<std::string>{Text(KMS_CHATDATA, "Den", "hi den"),
                                                    Text(KMS_QUITCHAT, "Den"),
                                                    Text(KMS_CHATDATA, "Lobby", "hi lobby"),
                                                    Text(KMS_QUITCHAT, "LOBBY")}));
}

TEST_F(clientSession, LeavesARoomTheOperatorCloses) {
    Session.HandlePacket(MakePacket(KMC_JOINED, "Lobby"));
    Session.HandlePacket(MakePacket(KMC_JOINED, "Den"));
    Session.HandlePacket(MakePacket(KMC_BYE, "Den"));
    EXPECT_EQ(TakeSent(), std::vector<std::string>{Text(KMS_QUITCHAT, "Den")});
    EXPECT_EQ(Session.LastJoinedRoom(), "Lobby");
}

TEST_F(clientSession, CommandsSendTheirRecords) {
    const std::pair<const char*, std::string> cases[] = {
        {"/create Lobby", Text(KMS_CREATE, "Lobby")},
        {"/create --secure Vault", Text(KMS_CREATE, "Vault", {}, true)},
        {"/join Lobby", Text(KMS_JOIN, "Lobby")},
        {"/join --pass Vault", Text(KMS_JOIN, "Vault", {}, true)},
        {"/say Lobby hi", Text(KMS_CHATDATA, "Lobby", "hi")},
        {"/emote Lobby waves", Text(KMS_CHATDATA, "Lobby", "waves", true)},
        {"/msg bob hi", Text(KMS_MESSAGE, "bob", "hi")},
        {"/anon bob boo", Text(KMS_MESSAGE, "bob", "boo", true)},
        {"/invite bob Vault", Text(KMS_INVITE, "bob", "Vault")},
        {"/mail", Text(KMS_GETPOST)},
        {"/servernick", Text(KMS_SERVERNICK)},
        {"/raw KMS_JOIN Vault x 1", Text(KMS_JOIN, "Vault", "x", true)},
        {"/msg Ren\xc3\xa9 caf\xc3\xa9", Text(KMS_MESSAGE, "Ren\xe9", "caf\xe9")},
    };
    for (const auto& [line, record] : cases) {
        const TCommandResult r = Session.Execute(ParseCommand(QString::fromUtf8(line)));
        EXPECT_TRUE(r.Error.isEmpty()) << line;
        EXPECT_EQ(TakeSent(), std::vector<std::string>{record}) << line;
    }
    EXPECT_TRUE(Run("/create Lobby").AwaitsJoin);
    EXPECT_TRUE(Run("/join Lobby").AwaitsJoin);
    EXPECT_FALSE(Run("/say Lobby x").AwaitsJoin);
    Sent.clear();

    const TCommandResult quit = Run("/quit");
    EXPECT_TRUE(quit.Quit);
    EXPECT_EQ(TakeSent(), std::vector<std::string>{Text(KMS_QUIT)});

    // Local commands and bad lines send nothing.
    EXPECT_FALSE(Run("/help").Output.isEmpty());
    EXPECT_EQ(Run("/users").Output, "No users known");
    EXPECT_FALSE(Run("/bogus").Error.isEmpty());
    EXPECT_TRUE(Sent.empty());
}

TEST_F(clientSession, WhatSettlesAPendingJoin) {
    Session.HandlePacket(MakePacket(KMC_SERVERNICK, "Admin"));
    EXPECT_TRUE(Session.AnswersJoin(MakePacket(KMC_JOINED, "Lobby")));
    EXPECT_TRUE(Session.AnswersJoin(MakePacket(KMC_STATUS, "Invalid Chat Name")));
    EXPECT_TRUE(Session.AnswersJoin(MakePacket(KMC_MESSAGE, "Admin", "This is a private chat")));
    EXPECT_TRUE(Session.AnswersJoin(MakePacket(KMC_BADPASS)));
    EXPECT_FALSE(Session.AnswersJoin(MakePacket(KMC_MESSAGE, "bob", "hi")));
    EXPECT_FALSE(Session.AnswersJoin(MakePacket(KMC_MESSAGE, "Admin", "mail", true)));
    EXPECT_FALSE(Session.AnswersJoin(MakePacket(KMC_ADDCHAT, "Lobby")));
    EXPECT_FALSE(Session.AnswersJoin(MakePacket(KMC_PING)));
}

} // namespace

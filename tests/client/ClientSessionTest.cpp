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

    TCommandResult Run(const char* line) {
        return Session.Execute(ParseCommand(QString::fromUtf8(line)));
    }
    std::vector<std::string> TakeSent() {
        auto out = Texts(Sent);
        Sent.clear();
        return out;
    }
    QStringList Feed(std::initializer_list<TDataPacket> packets) {
        QStringList lines;
        for (const TDataPacket& p : packets)
            lines += Session.HandlePacket(p);
        return lines;
    }
    // alice logged in; bob online; rooms Lobby (joined) and Vault (secure).
    void LogIn() {
        Session.Login("alice", 1, "alice", "pw");
        Feed({MakePacket(KMC_OKAY), MakePacket(KMC_ADDCHAT, "Lobby"),
              MakePacket(KMC_ADDCHAT, "Vault", {}, true), MakePacket(KMC_SERVERNICK, "Admin"),
              MakePacket(KMC_ADDUSER, "alice", "1"), MakePacket(KMC_ADDUSER, "bob", "2"),
              MakePacket(KMC_SERVERNICK, "Admin"), MakePacket(KMC_JOINED, "Lobby")});
        ASSERT_TRUE(Session.LoginAccepted());
        Sent.clear();
    }
};

TEST_F(clientSession, LoginEndsWithAMarkerAndSumsUpTheState) {
    Session.Login("  bob ", 3, "Robert", "secret");
    EXPECT_EQ(TakeSent(),
              (std::vector<std::string>{Text(KMS_LOGIN, "  bob ", "3"),
                                        Text(KMS_USER, "Robert", "secret"), Text(KMS_SERVERNICK)}));
    // The server registers the nickname trimmed.
    EXPECT_EQ(Session.Nickname(), "bob");
    // The login's own KMC_SERVERNICK is not the answer to ours.
    EXPECT_TRUE(Feed({MakePacket(KMC_OKAY), MakePacket(KMC_ADDCHAT, "Lobby"),
                      MakePacket(KMC_SERVERNICK, "Admin"), MakePacket(KMC_ADDUSER, "bob", "3"),
                      MakePacket(KMC_PING)})
                    .isEmpty());
    EXPECT_EQ(Session.LoginState(), TLoginState::Pending);
    EXPECT_EQ(Feed({MakePacket(KMC_SERVERNICK, "Admin")}),
              (QStringList{"Logged in as bob", "Rooms (1): Lobby", "Users (1): bob"}));
    EXPECT_TRUE(Session.LoginAccepted());
    EXPECT_EQ(TakeSent(), std::vector<std::string>{Text(KMS_PING)});
}

TEST_F(clientSession, RefusedLoginsSayWhyAndRetryOnlyWhatFailed) {
    struct TCase {
        std::vector<TDataPacket> Answers;
        const char* Why;
        bool NickRefused;
        bool PassRefused;
    };
    const TDataPacket okay = MakePacket(KMC_OKAY);
    const TDataPacket stateNick = MakePacket(KMC_SERVERNICK, "Admin");
    const TCase cases[] = {
        {{MakePacket(KMC_BADNICK)}, "the nickname is empty", true, false},
        {{MakePacket(KMC_NICKINUSE)}, "the nickname alice is already in use", true, false},
        {{MakePacket(KMC_BANNED), MakePacket(KMC_BADPASS)},
         "you are banned from this server; wrong server password",
         true,
         true},
        {{okay, stateNick, MakePacket(KMC_BADPASS)}, "wrong server password", false, true},
        {{}, "the server did not answer the login", false, false},
    };
    for (const TCase& c : cases) {
        TClientSession s([](const TDataPacket&) {});
        s.Login("alice", 0, "alice", "x");
        for (const TDataPacket& p : c.Answers)
            EXPECT_TRUE(s.HandlePacket(p).isEmpty()) << c.Why;
        EXPECT_TRUE(s.HandlePacket(MakePacket(KMC_SERVERNICK, "Admin")).isEmpty()) << c.Why;
        EXPECT_EQ(s.LoginState(), TLoginState::Refused) << c.Why;
        EXPECT_EQ(s.LoginRefusal().toStdString(), c.Why);
        EXPECT_EQ(s.NicknameRefused(), c.NickRefused) << c.Why;
        EXPECT_EQ(s.PasswordRefused(), c.PassRefused) << c.Why;
    }

    // The server refuses its own nickname as one in use; the marker's answer tells them apart.
    Session.Login(" ADMIN", 0, "u", "pw");
    Feed({MakePacket(KMC_NICKINUSE), MakePacket(KMC_SERVERNICK, "Admin ")});
    EXPECT_EQ(Session.LoginRefusal(), "ADMIN is the server's own nickname");
    Sent.clear();
    Session.RetryLogin(QStringLiteral("carol"), std::nullopt);
    EXPECT_EQ(TakeSent(),
              (std::vector<std::string>{Text(KMS_LOGIN, "carol", "0"), Text(KMS_SERVERNICK)}));
    Feed({MakePacket(KMC_OKAY), MakePacket(KMC_SERVERNICK, "Admin"), MakePacket(KMC_BADPASS),
          MakePacket(KMC_SERVERNICK, "Admin")});
    EXPECT_TRUE(Session.PasswordRefused());
    Session.RetryLogin(std::nullopt, QStringLiteral("pw2"));
    EXPECT_EQ(TakeSent(),
              (std::vector<std::string>{Text(KMS_USER, "u", "pw2"), Text(KMS_SERVERNICK)}));
    Feed({MakePacket(KMC_SERVERNICK, "Admin")});
    EXPECT_TRUE(Session.LoginAccepted());
    EXPECT_EQ(Session.Nickname(), "carol");
    // Outside a login, refusals show as they come.
    EXPECT_EQ(Feed({MakePacket(KMC_BADPASS)}), QStringList{"Login refused: wrong server password"});
}

TEST_F(clientSession, MailSaysWhenNothingWaits) {
    LogIn();
    Run("/mail");
    EXPECT_EQ(TakeSent(), (std::vector<std::string>{Text(KMS_GETPOST), Text(KMS_SERVERNICK)}));
    EXPECT_EQ(Feed({MakePacket(KMC_SERVERNICK, "Admin")}), QStringList{"No mail waiting"});
    Run("/mail");
    Run("/servernick");
    EXPECT_EQ(Feed({MakePacket(KMC_MESSAGE, "carol", "hi"),
                    MakePacket(KMC_MESSAGE, "Anonymous", "boo", true),
                    MakePacket(KMC_SERVERNICK, "Admin"), MakePacket(KMC_SERVERNICK, "Admin")}),
              (QStringList{"Private message from carol: hi",
                           "Private message from Anonymous [anonymous]: boo",
                           "End of mail (2 messages)", "Server nickname: Admin"}));
}

TEST_F(clientSession, TracksUsersAndRooms) {
    Feed({MakePacket(KMC_OKAY), MakePacket(KMC_ADDCHAT, "Lobby"),
          MakePacket(KMC_ADDCHAT, "Vault", {}, true), MakePacket(KMC_ADDCHAT, "Lobby"),
          MakePacket(KMC_SERVERNICK, "Admin"), MakePacket(KMC_ADDUSER, "", "0"),
          MakePacket(KMC_ADDUSER, "Bob", "2"), MakePacket(KMC_ADDUSER, "alice", "1")});
    EXPECT_EQ(Session.ServerNick(), "Admin");
    EXPECT_EQ(Session.UsersText(), "Users (3): (no nickname), Bob, alice");
    EXPECT_EQ(Session.RoomsText(), "Rooms (3): Lobby, Vault (secure), Lobby");

    Feed({MakePacket(KMC_JOINED, "Lobby"), MakePacket(KMC_DELUSER, "BOB"),
          MakePacket(KMC_DELUSER, "nobody")});
    EXPECT_EQ(Session.UsersText(), "Users (2): (no nickname), alice");
    // Two rooms of one name: one entry goes per KMC_DELCHAT, and we are out of it.
    EXPECT_EQ(Session.RoomsText(), "Rooms (3): Lobby [joined], Vault (secure), Lobby");
    Feed({MakePacket(KMC_DELCHAT, "lobby")});
    EXPECT_EQ(Session.RoomsText(), "Rooms (2): Vault (secure), Lobby");
    EXPECT_TRUE(Session.JoinedRooms().isEmpty());

    // A repeated login brings the whole state again: no duplicates.
    Feed({MakePacket(KMC_OKAY), MakePacket(KMC_ADDUSER, "alice", "1")});
    EXPECT_EQ(Session.UsersText(), "Users (1): alice");
    EXPECT_EQ(Session.RoomsText(), "No rooms known");
    EXPECT_TRUE(Sent.empty());
}

TEST_F(clientSession, ChatTextCarriesTheNicknameAndGoesToTheRoomJoinedLast) {
    EXPECT_FALSE(Run("hello").Error.isEmpty());
    LogIn();
    Feed({MakePacket(KMC_ADDCHAT, "Den"), MakePacket(KMC_JOINED, "Den")});
    Run("hi den");
    Run("/part");
    Run("hi lobby");
    Run("/emote Lobby waves");
    EXPECT_EQ(Run("/part LOBBY").Notices, QStringList{"You left room LOBBY"});
    EXPECT_FALSE(Run("lost").Error.isEmpty());
    EXPECT_FALSE(Run("/part").Error.isEmpty());
    EXPECT_EQ(TakeSent(),
              (std::vector<std::string>{
                  Text(KMS_CHATDATA, "Den", "<alice> hi den"), Text(KMS_QUITCHAT, "Den"),
                  Text(KMS_CHATDATA, "Lobby", "<alice> hi lobby"),
                  Text(KMS_CHATDATA, "Lobby", "alice waves", true), Text(KMS_QUITCHAT, "LOBBY")}));
}

TEST_F(clientSession, LeavesARoomTheOperatorCloses) {
    Feed({MakePacket(KMC_JOINED, "Lobby"), MakePacket(KMC_JOINED, "Den"),
          MakePacket(KMC_BYE, "Den")});
    EXPECT_EQ(TakeSent(), std::vector<std::string>{Text(KMS_QUITCHAT, "Den")});
    EXPECT_EQ(Session.LastJoinedRoom(), "Lobby");
}

TEST_F(clientSession, CommandsSendTheirRecords) {
    LogIn();
    const std::pair<const char*, std::string> cases[] = {
        {"/create Den", Text(KMS_CREATE, "Den")},
        {"/create --secure Attic", Text(KMS_CREATE, "Attic", {}, true)},
        {"/join Hall", Text(KMS_JOIN, "Hall")},
        {"/join --pass Vault", Text(KMS_JOIN, "Vault", {}, true)},
        {"/say Lobby hi", Text(KMS_CHATDATA, "Lobby", "<alice> hi")},
        {"/msg bob hi", Text(KMS_MESSAGE, "bob", "hi")},
        {"/anon bob boo", Text(KMS_MESSAGE, "bob", "boo", true)},
        {"/invite BOB Vault", Text(KMS_INVITE, "BOB", "Vault")},
        {"/servernick", Text(KMS_SERVERNICK)},
        {"/raw KMS_JOIN Vault x 1", Text(KMS_JOIN, "Vault", "x", true)},
        {"/msg Ren\xc3\xa9 caf\xc3\xa9", Text(KMS_MESSAGE, "Ren\xe9", "caf\xe9")},
    };
    for (const auto& [line, record] : cases) {
        const TCommandResult r = Run(line);
        EXPECT_TRUE(r.Error.isEmpty()) << line << ": " << r.Error.toStdString();
        EXPECT_EQ(TakeSent(), std::vector<std::string>{record}) << line;
    }
    EXPECT_TRUE(Run("/create Den2").AwaitsJoin);
    EXPECT_TRUE(Run("/join Hall").AwaitsJoin);
    EXPECT_FALSE(Run("/say Lobby x").AwaitsJoin);
    Sent.clear();

    const TCommandResult quit = Run("/quit");
    EXPECT_TRUE(quit.Quit);
    EXPECT_EQ(TakeSent(), std::vector<std::string>{Text(KMS_QUIT)});

    // Local commands and bad lines send nothing.
    EXPECT_FALSE(Run("/help").Output.isEmpty());
    EXPECT_EQ(Run("/users").Output, "Users (2): alice, bob");
    EXPECT_FALSE(Run("/bogus").Error.isEmpty());
    EXPECT_TRUE(Sent.empty());
}

TEST_F(clientSession, EveryCommandSaysWhatBecameOfIt) {
    LogIn();
    EXPECT_EQ(Run("/msg carol later").Notices, QStringList{"carol is not online; kept as mail"});
    EXPECT_EQ(Run("/msg BOB hi").Notices, QStringList{"-> BOB: hi"});
    EXPECT_EQ(Run("/anon bob boo").Notices, QStringList{"-> bob (anonymous): boo"});
    EXPECT_EQ(Run("/invite bob").Notices, QStringList{"Invitation sent to bob"});
    EXPECT_TRUE(Run("/emote Vault peeks").Notices.first().startsWith("You are not in room Vault"));
    EXPECT_EQ(TakeSent().size(), 5u);

    // Refused before anything goes out.
    for (const auto& [line, why] :
         {std::pair{"/join vault", "/join --pass vault"}, std::pair{"/join lobby", "already"},
          std::pair{"/create LOBBY", "exists already"},
          std::pair{"/say Nowhere hi", "no room Nowhere"}, std::pair{"/invite carol", "not online"},
          std::pair{"/part Vault", "not in room Vault"}}) {
        const TCommandResult r = Run(line);
        EXPECT_TRUE(r.Error.contains(QLatin1String(why))) << line << ": " << r.Error.toStdString();
    }
    EXPECT_TRUE(Sent.empty());
}

TEST_F(clientSession, WhatCodePage1252CannotHoldIsNamed) {
    LogIn();
    EXPECT_TRUE(Run("h\xc3\xa9llo w\xc3\xb6rld \xe2\x82\xac").Notices.isEmpty());
    const TCommandResult r = Run("snow \xe2\x98\x83 and \xf0\x9f\x98\x80?");
    EXPECT_EQ(r.Notices, QStringList{"2 characters cannot be sent in code page 1252 and became ?"});
    EXPECT_EQ(Run("/msg bob \xe2\x98\x83").Notices.last(),
              "1 character cannot be sent in code page 1252 and became ?");
    ASSERT_EQ(Sent.size(), 3u);
    EXPECT_EQ(Sent[0].Param2, QByteArray("<alice> h\xe9llo w\xf6rld \x80"));
    EXPECT_EQ(Sent[1].Param2, QByteArray("<alice> snow ? and ??"));
    // What goes out comes back as it was typed.
    const QStringList back = Feed({MakePacket(KMC_CHATDATA, "Lobby", "N" + Sent[0].Param2)});
    EXPECT_EQ(back, QStringList{QString::fromUtf8("[Lobby] <alice> h\xc3\xa9llo w\xc3\xb6rld "
                                                  "\xe2\x82\xac")});
}

TEST_F(clientSession, WhatSettlesAPendingJoin) {
    Feed({MakePacket(KMC_SERVERNICK, "Admin")});
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

namespace {

// After a lost connection the rooms we sat in are joined again where they
// still exist (secure ones with the pass) and made again where they went.
TEST_F(clientSession, RejoinsWhatExistsAndMakesWhatWent) {
    LogIn();
    Feed({MakePacket(KMC_JOINED, "Vault"), MakePacket(KMC_ADDCHAT, "Den", {}, true),
          MakePacket(KMC_JOINED, "Den")});
    Session.ConnectionLost();
    EXPECT_TRUE(Session.JoinedRooms().isEmpty());
    EXPECT_TRUE(Session.Users().isEmpty());
    // A second loss before any login keeps what is owed.
    Session.ConnectionLost();

    Session.Login(Session.Nickname(), 1, "alice", "pw");
    Feed({MakePacket(KMC_OKAY), MakePacket(KMC_ADDCHAT, "Vault", {}, true),
          MakePacket(KMC_SERVERNICK, "Admin"), MakePacket(KMC_SERVERNICK, "Admin")});
    ASSERT_TRUE(Session.LoginAccepted());
    Sent.clear();
    EXPECT_EQ(Session.Rejoin(), (QStringList{"Lobby", "Vault", "Den"}));
    EXPECT_EQ(TakeSent(), (std::vector<std::string>{Text(KMS_CREATE, "Lobby"),
                                                    Text(KMS_JOIN, "Vault", {}, true),
                                                    Text(KMS_CREATE, "Den", {}, true)}));
    EXPECT_TRUE(Session.Rejoin().isEmpty());
}

} // namespace

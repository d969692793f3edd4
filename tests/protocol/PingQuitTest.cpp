// Pings, the second logon step with the login log, and quitting.
#include "TestServer.h"

#include <QFile>
#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

namespace {

QList<QByteArray> LogLines(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    QList<QByteArray> lines = f.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

TEST(PingTest, AnswerIsMeasuredOnceAndUnaskedPingsAreIgnored) {
    TTestServer server;
    TTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    c.Send(KMS_PING); // not asked for
    c.Send(KMS_LOGIN, "pinger", "0");
    ASSERT_TRUE(c.WaitFor(4));
    TConnection* user = server.Core().Registry().FindUserByNickname("pinger");
    ASSERT_NE(user, nullptr);
    EXPECT_TRUE(user->PingPending);
    c.Settle(40);
    c.Send(KMS_PING);
    c.Send(KMS_PING);
    c.Settle(40);
    EXPECT_FALSE(user->PingPending);
    ASSERT_EQ(server.View().Pings.size(), 1u);
    EXPECT_GE(server.View().Pings[0], 30);
    EXPECT_EQ(user->PingTime, server.View().Pings[0]);
}

TEST(UserInfoTest, PasswordCheckAndLoginLogBlocks) {
    TTestServer server("Admin", "Secret");
    QFile(server.Folder() + "/klog.dat").open(QIODevice::WriteOnly); // the log must exist
    TTestClient early, c;
    ASSERT_TRUE(early.Connect(server.Port()));
    early.Send(KMS_USER, "before", "secret"); // before any login: empty nickname in the log
    ASSERT_TRUE(c.Connect(server.Port()));
    c.Send(KMS_LOGIN, "neo", "0");
    c.Send(KMS_USER, "  thomas", "wrong");
    c.Send(KMS_USER, "thomas", "SECRET");
    c.Send(KMS_USER, "thomas", "wrong"); // stays logged in
    ASSERT_TRUE(c.WaitFor(7));
    c.Settle();
    std::vector<int32_t> badPass;
    for (const TDataPacket& p : c.Received())
        if (p.Code == KMC_BADPASS)
            badPass.push_back(p.Code);
    EXPECT_EQ(badPass.size(), 2u);
    EXPECT_TRUE(server.Core().Registry().FindUserByNickname("neo")->LoggedIn);
    EXPECT_TRUE(server.Core().Registry().FindUserByNickname("")->LoggedIn);
    EXPECT_EQ(server.View().UserNames, std::vector<QByteArray>{"thomas"});

    const QList<QByteArray> lines = LogLines(server.Folder() + "/klog.dat");
    ASSERT_EQ(lines.size(), 20);
    EXPECT_EQ(lines[0], "------------------------\r");
    EXPECT_EQ(lines[1], "User Name : before\r");
    EXPECT_EQ(lines[2], "Nickname : \r");
    EXPECT_TRUE(lines[3].startsWith("Login Time : "));
    EXPECT_TRUE(lines[4].startsWith("Login Date : "));
    EXPECT_EQ(lines[6], "User Name :   thomas\r");
    EXPECT_EQ(lines[7], "Nickname : neo\r");
}

TEST(UserInfoTest, MissingLogFileIsNotRecreatedAndLoginStillWorks) {
    TTestServer server;
    TTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    c.Send(KMS_USER, "x", "");
    c.Send(KMS_SERVERNICK);
    ASSERT_TRUE(c.WaitFor(1));
    EXPECT_FALSE(QFile::exists(server.Folder() + "/klog.dat"));
    EXPECT_TRUE(server.Core()
                    .Registry()
                    .FindUserBySocket(server.Core().Registry().Users().front()->Socket)
                    ->LoggedIn);
}

// A user whose leaving costs more notices than one pass may send leaves its
// chats over several passes: the same notices, in the same order.
class QuitTest : public ::testing::TestWithParam<qint64> {};

TEST_P(QuitTest, QuitLeavesChatsTellsOthersAndStopsReading) {
    TTestServer server;
    server.Core().LeaveSendsPerPass = GetParam();
    TTestClient a, b, idle;
    ASSERT_TRUE(a.Connect(server.Port()));
    ASSERT_TRUE(b.Connect(server.Port()));
    ASSERT_TRUE(a.LoginAs("a", 2));
    ASSERT_TRUE(b.LoginAs("b", 2));
    a.Send(KMS_CREATE, "Solo1", {}, false);
    a.Send(KMS_CREATE, "Solo2", {}, false);
    a.Send(KMS_CREATE, "Shared", {}, false);
    b.Send(KMS_CREATE, "Other", {}, false);
    ASSERT_TRUE(b.WaitFor(6));
    b.Send(KMS_JOIN, "Shared", {}, false);
    ASSERT_TRUE(b.WaitFor(8));
    ASSERT_TRUE(idle.Connect(server.Port()));
    b.Settle();
    a.Take();
    b.Take();
    // The quit and a ping in one read: the ping is handled without a record.
    a.SendRaw(EncodePacket(Rec(KMS_QUIT)) + EncodePacket(Rec(KMS_SERVERNICK)));
    ASSERT_TRUE(b.WaitFor(4));
    b.Settle();
    EXPECT_EQ(b.Received(),
              (std::vector<TDataPacket>{Rec(KMC_DELCHAT, "Solo1"), Rec(KMC_DELCHAT, "Solo2"),
                                        Rec(KMC_CHATDATA, "Shared", "Sa has quit the chat"),
                                        Rec(KMC_DELUSER, "a")}));
    EXPECT_EQ(a.Received(),
              (std::vector<TDataPacket>{Rec(KMC_DELCHAT, "Solo1"), Rec(KMC_DELCHAT, "Solo2"),
                                        Rec(KMC_SERVERNICK, "Admin")}));
    EXPECT_EQ(server.Core().Registry().ChatCount(), 2);
    EXPECT_EQ(server.Core().Registry().UserCount(), 2);
    // Later data on that connection is never read; its close causes nothing.
    a.Send(KMS_SERVERNICK);
    a.Settle();
    EXPECT_EQ(a.Received().size(), 3u);
    a.Socket().disconnectFromHost();
    b.Settle();
    EXPECT_EQ(b.Received().size(), 4u);
    EXPECT_EQ(server.Manager().ConnectionCount(), 2);
}

INSTANTIATE_TEST_SUITE_P(InOnePassOrSpread, QuitTest, ::testing::Values(10'000, 2));

TEST(QuitEdgeTest, ClosedConnectionWithoutNicknameIsAnnouncedEmpty) {
    TTestServer server;
    TTestClient a, anon;
    ASSERT_TRUE(a.Connect(server.Port()));
    ASSERT_TRUE(a.LoginAs("a", 1));
    ASSERT_TRUE(anon.Connect(server.Port()));
    a.Settle();
    anon.Socket().abort();
    ASSERT_TRUE(a.WaitFor(1));
    EXPECT_EQ(a.Received()[0], Rec(KMC_DELUSER, ""));
    EXPECT_EQ(server.Core().Registry().UserCount(), 1);
    EXPECT_TRUE(WaitUntil([&] { return server.Manager().ConnectionCount() == 1; }));
}

TEST(QuitEdgeTest, DoubleEntriesLeaveNoTrace) {
    TTestServer server;
    TTestClient a, b;
    ASSERT_TRUE(a.Connect(server.Port()));
    ASSERT_TRUE(b.Connect(server.Port()));
    ASSERT_TRUE(a.LoginAs("a", 2));
    ASSERT_TRUE(b.LoginAs("b", 2));
    a.Send(KMS_CREATE, "Lobby", {}, false);
    b.Send(KMS_JOIN, "Lobby", {}, false);
    b.Send(KMS_JOIN, "Lobby", {}, false);
    ASSERT_TRUE(a.WaitFor(5));
    a.Take();
    b.Socket().abort();
    ASSERT_TRUE(a.WaitFor(2));
    a.Settle();
    EXPECT_EQ(a.Received(),
              (std::vector<TDataPacket>{Rec(KMC_CHATDATA, "Lobby", "Sb has quit the chat"),
                                        Rec(KMC_DELUSER, "b")}));
    EXPECT_EQ(server.Core().Registry().FindChatByName("Lobby")->MemberCount(), 1);
}

} // namespace

// kelvra-serverd as a process: it serves, keeps the console's shutdown order
// (notice, save, close) and reports start-up failures with exit code 1.
#include "MailSaver.h"
#include "ToolProcess.h"

#include <QRegularExpression>
#include <QTcpServer>
#include <gtest/gtest.h>

using kelvra::MakePacket;
using kelvra::TDataPacket;
using namespace kelvra;
using kelvra::test::ReadFile;
using kelvra::test::TRecordClient;
using kelvra::test::TServerdProcess;

namespace {

void LogIn(TRecordClient& client, const QByteArray& nick, const QByteArray& password = {}) {
    client.Send(MakePacket(KMS_LOGIN, nick, "0"));
    client.Send(MakePacket(KMS_USER, nick, password));
}

// The server has handled everything sent before this returns.
bool RoundTrip(TRecordClient& client) {
    client.Send(MakePacket(KMS_SERVERNICK));
    return client.WaitForCode(KMC_SERVERNICK).has_value();
}

} // namespace

TEST(Serverd, ServesStoresMailAndShutsDownLikeTheConsole) {
    TServerdProcess server;
    ASSERT_TRUE(server.Start()) << server.Process.readAllStandardError().constData();
    EXPECT_TRUE(server.ListenLine.startsWith("listening on 0.0.0.0:"));

    TRecordClient alice;
    ASSERT_TRUE(alice.Connect(server.Port));
    LogIn(alice, "alice");
    ASSERT_TRUE(alice.WaitForCode(KMC_OKAY));
    const auto nick = alice.WaitForCode(KMC_SERVERNICK);
    ASSERT_TRUE(nick);
    EXPECT_EQ(nick->Param1, "srv");
    ASSERT_TRUE(alice.WaitForCode(KMC_PING));
    alice.Send(MakePacket(KMS_PING));

    // Nobody holds the nickname: the message goes to the mail store, unanswered.
    alice.Send(MakePacket(KMS_MESSAGE, "nobody", "hello there"));
    ASSERT_TRUE(RoundTrip(alice));
    EXPECT_TRUE(ReadFile(server.LogPath).contains("User Name : alice"));

    server.Signal(SIGTERM);
    const auto notice = alice.WaitFor([](const TDataPacket& p) { return p.Code == KMC_STATUS; });
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->Param1, "Server is shuting down...");
    EXPECT_EQ(server.WaitForExit(), 0);
    // The socket is closed after the notice.
    EXPECT_TRUE(alice.Socket.state() == QAbstractSocket::UnconnectedState ||
                alice.Socket.waitForDisconnected(5000));

    const QByteArray mail = ReadFile(server.MailPath);
    EXPECT_TRUE(mail.contains("[Mail]")) << mail.constData();
    for (const char* line : {"Mail=1", "1Target=nobody", "1Sender=alice", "1Msg=hello there"})
        EXPECT_TRUE(mail.contains(line)) << line << " missing from\n" << mail.constData();
    // Quiet without --log.
    EXPECT_TRUE(server.Process.readAllStandardError().isEmpty());
}

TEST(Serverd, TakesPortAndPasswordFromTheSettingsWhenNotGiven) {
    quint16 freePort = 0;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        freePort = probe.serverPort();
    }
    TServerdProcess server;
    // The second preset is the default one, as the Server Login dialog would show it.
    server.WriteSettings("[Main]\nPassword=Secret\n[Ports]\nNum=2\nPreset1=1\nPreset2=" +
                         QByteArray::number(freePort) + "\nDef=2\n");
    ASSERT_TRUE(server.Start({}, false)) << server.Process.readAllStandardError().constData();
    EXPECT_EQ(server.Port, freePort);

    TRecordClient wrong;
    ASSERT_TRUE(wrong.Connect(server.Port));
    LogIn(wrong, "bob", "guess");
    EXPECT_TRUE(wrong.WaitForCode(KMC_BADPASS));

    TRecordClient right;
    ASSERT_TRUE(right.Connect(server.Port));
    LogIn(right, "carol", "SECRET"); // case is ignored
    ASSERT_TRUE(RoundTrip(right));
    for (const TDataPacket& p : right.Received)
        EXPECT_NE(p.Code, KMC_BADPASS);

    server.Signal(SIGINT);
    EXPECT_EQ(server.WaitForExit(), 0);
}

TEST(Serverd, StartFailuresGiveOneMessageAndExitCode1) {
    TServerdProcess first;
    ASSERT_TRUE(first.Start());

    {
        TServerdProcess second;
        second.WriteSettings();
        second.Launch({"--nick", "srv", "--settings", second.SettingsPath, "--port",
                       QString::number(first.Port), "--bind", "127.0.0.1"});
        EXPECT_EQ(second.WaitForExit(), 1);
        EXPECT_EQ(second.Process.readAllStandardError().trimmed(),
                  "kelvra-serverd: Cannot bind to socket - Another instance of the server may "
                  "already be running on this port. Port " +
                      QByteArray::number(first.Port) + " is in use.");
        EXPECT_TRUE(second.Process.readAllStandardOutput().isEmpty());
    }
    {
        // An address this machine does not have (a documentation address).
        TServerdProcess elsewhere;
        elsewhere.WriteSettings();
        elsewhere.Launch({"--nick", "srv", "--settings", elsewhere.SettingsPath, "--port", "0",
                          "--bind", "192.0.2.1"});
        EXPECT_EQ(elsewhere.WaitForExit(), 1);
        EXPECT_EQ(elsewhere.Process.readAllStandardError().trimmed(),
                  "kelvra-serverd: Cannot bind to socket - 192.0.2.1 is not an IPv4 address of "
                  "this machine.");
    }
    {
        TServerdProcess badPort;
        badPort.WriteSettings();
        badPort.Launch(
            {"--nick", "srv", "--settings", badPort.SettingsPath, "--port", "nosuchservice"});
        EXPECT_EQ(badPort.WaitForExit(), 1);
        EXPECT_TRUE(badPort.Process.readAllStandardError().contains("'nosuchservice'"));
    }
    {
        TServerdProcess noPort;
        noPort.WriteSettings();
        noPort.Launch({"--nick", "srv", "--settings", noPort.SettingsPath, "--port", ""});
        EXPECT_EQ(noPort.WaitForExit(), 1);
        EXPECT_TRUE(noPort.Process.readAllStandardError().contains("No Port Specified"));
    }
    {
        TServerdProcess blankNick;
        blankNick.WriteSettings();
        blankNick.Launch({"--nick", "  ", "--settings", blankNick.SettingsPath, "--port", "0"});
        EXPECT_EQ(blankNick.WaitForExit(), 1);
        EXPECT_FALSE(blankNick.Process.readAllStandardError().isEmpty());
    }
    first.Signal(SIGTERM);
    EXPECT_EQ(first.WaitForExit(), 0);
}

TEST(Serverd, LogPrintsEveryRecordInAndOutAsOneLine) {
    TServerdProcess server;
    ASSERT_TRUE(server.Start({"--log"}));
    TRecordClient client;
    ASSERT_TRUE(client.Connect(server.Port));
    client.Send(MakePacket(KMS_CHATDATA, "room\tone", "tab\tand\nline", true));
    ASSERT_TRUE(RoundTrip(client));
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);

    const QString log = QString::fromLatin1(server.Process.readAllStandardError());
    EXPECT_TRUE(log.contains(QRegularExpression(
        "^in\\t\\d+\\tKMS_CHATDATA\\troom\\\\x09one\\ttab\\\\x09and\\\\x0aline\\tTrue$",
        QRegularExpression::MultilineOption)))
        << log.toStdString();
    EXPECT_TRUE(log.contains(QRegularExpression("^in\\t\\d+\\tKMS_SERVERNICK\\t\\t\\tFalse$",
                                                QRegularExpression::MultilineOption)));
    EXPECT_TRUE(log.contains("\nout\t0\tKMC_SERVERNICK\tsrv\t\tFalse\n") ||
                log.startsWith("out\t0\tKMC_SERVERNICK\tsrv\t\tFalse\n"));
    EXPECT_TRUE(log.contains("out\t0\tKMC_STATUS\tServer is shuting down...\t\tFalse\n"));
}

TEST(Serverd, FailedSaveStillClosesEverySocketAndExits1) {
    TServerdProcess server;
    server.WriteSettings();
    // A mail file in a folder that does not exist cannot be written at shutdown.
    QByteArray settings = ReadFile(server.SettingsPath);
    settings.replace(server.MailPath.toUtf8(), server.Dir.filePath("gone/kmail.dat").toUtf8());
    QFile f(server.SettingsPath);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(settings);
    f.close();
    ASSERT_TRUE(server.Start());

    TRecordClient client;
    ASSERT_TRUE(client.Connect(server.Port));
    LogIn(client, "dave");
    ASSERT_TRUE(RoundTrip(client));
    server.Signal(SIGTERM);
    EXPECT_TRUE(client.WaitForCode(KMC_STATUS));
    EXPECT_EQ(server.WaitForExit(), 1);
    EXPECT_TRUE(server.Process.readAllStandardError().contains("gone/kmail.dat"));
    EXPECT_TRUE(client.Socket.state() == QAbstractSocket::UnconnectedState ||
                client.Socket.waitForDisconnected(5000));
}

TEST(Serverd, MailReachesTheDiskWithoutAnOrderlyEnd) {
    TServerdProcess server;
    server.WriteSettings("# a note the settings store cannot read\n");
    ASSERT_TRUE(server.Start()) << server.Process.readAllStandardError().constData();
    TRecordClient alice;
    ASSERT_TRUE(alice.Connect(server.Port));
    LogIn(alice, "alice");
    alice.Send(MakePacket(KMS_MESSAGE, "nobody", "kept through a kill"));
    ASSERT_TRUE(RoundTrip(alice));

    // Taken in means on disk: a kill right now loses nothing.
    server.Signal(SIGKILL);
    EXPECT_EQ(server.WaitForExit(), -1);
    TMailStore stored;
    TMailSaver::ReadStored(server.MailPath, stored);
    const auto items = stored.Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->Target, "nobody");
    EXPECT_EQ(items[0]->Sender, "alice");
    EXPECT_EQ(items[0]->Msg, "kept through a kill");
}

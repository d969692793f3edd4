// kelvra-serverd as a process: it serves, keeps the console's shutdown order
// (notice, save, close) and reports start-up failures with exit code 1.
#include "MailSaver.h"
#include "ToolProcess.h"

#include <QDir>
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
    return client.RoundTrip();
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
    // Without --log only the journal: a line per event, each with its priority.
    const QString journal = QString::fromUtf8(server.Process.readAllStandardError());
    for (const QString& line : journal.split('\n', Qt::SkipEmptyParts))
        EXPECT_TRUE(line.contains(QRegularExpression("^<[3-6]>"))) << line.toStdString();
    for (const char* event :
         {"<6>started as 'srv', listening on 0.0.0.0:", "<6>connect from 127.0.0.1:",
          "<6>login 'alice' from 127.0.0.1:", "<6>logged on 'alice' from 127.0.0.1:",
          "as user 'alice'\n", "<6>stopped\n"})
        EXPECT_TRUE(journal.contains(event)) << event << " missing from\n" << journal.toStdString();
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
                  "<3>kelvra-serverd: Cannot bind to socket - Another instance of the server may "
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
                  "<3>kelvra-serverd: Cannot bind to socket - 192.0.2.1 is not an IPv4 address of "
                  "this machine.");
    }
    {
        // Kept in the settings as the console keeps it: not widened to every address.
        TServerdProcess kept;
        kept.WriteSettings("[Main]\nHome=192.0.2.1\n");
        kept.Launch({"--nick", "srv", "--settings", kept.SettingsPath, "--port", "0"});
        EXPECT_EQ(kept.WaitForExit(), 1);
        EXPECT_TRUE(kept.Process.readAllStandardError().contains("192.0.2.1 is not an IPv4"));
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
    client.Send(MakePacket(KMS_USER, "bob", "s3cret"));
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
    // The trace never shows the server password.
    EXPECT_FALSE(log.contains("s3cret"));
    EXPECT_TRUE(log.contains("\tKMS_USER\tbob\t********\tFalse\n"));
}

TEST(Serverd, FailedSaveStillClosesEverySocketAndExits1) {
    TServerdProcess server;
    // A mail file whose folder goes away while the server runs cannot be
    // written at shutdown.
    ASSERT_TRUE(QDir(server.Dir.path()).mkdir("gone"));
    server.MailPath = server.Dir.filePath("gone/kmail.dat");
    server.WriteSettings();
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(QDir(server.Dir.filePath("gone")).removeRecursively());

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

namespace {

void WriteAll(const QString& path, const QByteArray& content) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
}

// A nickname ban in the settings' layout.
QByteArray NickBan(int i, const QByteArray& nick) {
    const QByteArray n = QByteArray::number(i);
    QByteArray ban = n + "Nick=" + nick + "\n" + n + "InString=0\n";
    for (const char* ip : {"IP1_On", "IP2_On", "IP3_On", "IP4_On"})
        ban += n + ip + "=0\n";
    return ban;
}

// KMS_LOGIN and KMS_USER, then the first answer that tells how it went.
int32_t LoginAnswer(quint16 port, const QByteArray& nick, const QByteArray& password) {
    TRecordClient client;
    if (!client.Connect(port))
        return -1;
    LogIn(client, nick, password);
    if (!RoundTrip(client))
        return -1;
    for (const TDataPacket& p : client.Received)
        if (p.Code == KMC_BANNED || p.Code == KMC_BADPASS)
            return p.Code;
    return KMC_OKAY;
}

} // namespace

TEST(Serverd, ConfigurationDecidesStateFileKeepsAndHangUpReloads) {
    TServerdProcess server;
    const QString configPath = server.Dir.filePath("kelvra-serverd.conf");
    const QByteArray config = "# the operator's own\n[Server]\nNickname=confnick\nPort=0\n"
                              "Bind=127.0.0.1\nPassword=fromconfig\n[Files]\nLoginLog=" +
                              server.LogPath.toUtf8() + "\nMailFile=" + server.MailPath.toUtf8() +
                              "\n";
    WriteAll(configPath, config);
    // Under a configuration the state file's password and paths are not read; its bans are.
    WriteAll(server.SettingsPath,
             "; state\n[General]\nLogfile=" + server.Dir.filePath("elsewhere.dat").toUtf8() +
                 "\n[Main]\nPassword=fromstate\n[Bans]\nBans=1\n" + NickBan(1, "mallory"));
    ASSERT_TRUE(server.StartWith({"--config", configPath, "--settings", server.SettingsPath}))
        << server.Process.readAllStandardError().constData();
    EXPECT_TRUE(server.ListenLine.startsWith("listening on 127.0.0.1:"));
    EXPECT_EQ(LoginAnswer(server.Port, "carol", "fromconfig"), KMC_OKAY);
    EXPECT_EQ(LoginAnswer(server.Port, "dave", "fromstate"), KMC_BADPASS);
    EXPECT_EQ(LoginAnswer(server.Port, "mallory", "fromconfig"), KMC_BANNED);
    EXPECT_TRUE(ReadFile(server.LogPath).contains("User Name : carol"));
    EXPECT_FALSE(QFile::exists(server.Dir.filePath("elsewhere.dat")));

    // Edited while it runs; SIGHUP takes the password, the limits and the
    // bans, and says what waits for a restart.
    QByteArray changed = config;
    changed.replace("Password=fromconfig", "Password=changed");
    changed.replace("Port=0", "Port=1");
    WriteAll(configPath, changed + "[Limits]\nLogTextBytes=4\n");
    QByteArray state = ReadFile(server.SettingsPath);
    state.replace("Bans=1\n", "Bans=2\n" + NickBan(2, "trudy"));
    WriteAll(server.SettingsPath, state);
    server.Signal(SIGHUP);
    ASSERT_TRUE(server.WaitForStderr("reload: 2 ban(s) in force\n")) << server.Err.constData();
    EXPECT_TRUE(server.Err.contains("<4>reload: the port is now 1 in the settings"));
    EXPECT_EQ(LoginAnswer(server.Port, "trudy", "changed"), KMC_BANNED);
    EXPECT_EQ(LoginAnswer(server.Port, "erin", "fromconfig"), KMC_BADPASS);
    EXPECT_EQ(LoginAnswer(server.Port, "frank", "changed"), KMC_OKAY);
    EXPECT_TRUE(ReadFile(server.LogPath).contains("User Name : fran...[cut, 5 bytes]"));

    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);
    EXPECT_EQ(ReadFile(configPath), changed + "[Limits]\nLogTextBytes=4\n");
    const QByteArray saved = ReadFile(server.SettingsPath);
    EXPECT_TRUE(saved.startsWith("; state\n")) << saved.constData();
    EXPECT_TRUE(saved.contains("2Nick=trudy")) << saved.constData();
}

TEST(Serverd, FilesThatCannotBeWrittenOrAreNotSettingsStopTheStart) {
    {
        TServerdProcess server;
        const QByteArray script = "#!/bin/sh\necho not settings\n";
        WriteAll(server.SettingsPath, script);
        server.Launch({"--nick", "srv", "--settings", server.SettingsPath, "--port", "0"});
        EXPECT_EQ(server.WaitForExit(), 1);
        const QByteArray err = server.Process.readAllStandardError();
        EXPECT_TRUE(err.startsWith("<3>kelvra-serverd: " + server.SettingsPath.toUtf8() +
                                   " is not a settings file"))
            << err.constData();
        EXPECT_EQ(ReadFile(server.SettingsPath), script);
    }
    {
        TServerdProcess server;
        ASSERT_TRUE(QDir(server.Dir.path()).mkdir("settings.ini"));
        server.Launch({"--nick", "srv", "--settings", server.SettingsPath, "--port", "0"});
        EXPECT_EQ(server.WaitForExit(), 1);
        EXPECT_TRUE(server.Process.readAllStandardError().contains("is a folder"));
    }
    {
        // A folder where the login log should be: no login would ever be kept.
        TServerdProcess server;
        ASSERT_TRUE(QDir(server.Dir.path()).mkdir("klog.dat"));
        server.WriteSettings();
        server.Launch({"--nick", "srv", "--settings", server.SettingsPath, "--port", "0"});
        EXPECT_EQ(server.WaitForExit(), 1);
        const QByteArray err = server.Process.readAllStandardError();
        EXPECT_TRUE(err.contains("cannot write the login log " + server.LogPath.toUtf8()))
            << err.constData();
        EXPECT_TRUE(server.Process.readAllStandardOutput().isEmpty());
    }
}

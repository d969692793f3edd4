// The real kelvra-client binary against a fake server: what it sends, what it
// prints, and how it exits.
#include "FakeServer.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::clienttest;

namespace {

QString ClientBinary() {
    QString dir = qEnvironmentVariable("KELVRA_BIN_DIR");
    if (dir.isEmpty())
        dir = QCoreApplication::applicationDirPath() + QStringLiteral("/../bin");
    return dir + QStringLiteral("/kelvra-client");
}

struct TRun {
    bool Finished = false;
    int ExitCode = -1;
    QString Out;
    QString Err;
    QStringList ErrLines() const { return Err.split('\n', Qt::SkipEmptyParts); }
    // stdout without the times in front of event lines.
    QStringList OutLines() const {
        QStringList lines = Out.split('\n');
        static const QRegularExpression time(QStringLiteral("^\\d\\d:\\d\\d "));
        for (QString& l : lines)
            l.remove(time);
        return lines;
    }
};

// Runs the client with a script on stdin while the fake server is served.
TRun RunClient(const QStringList& args, const QByteArray& script, int timeoutMs = 20000) {
    TRun run;
    QProcess proc;
    proc.start(ClientBinary(), args);
    if (!proc.waitForStarted(5000))
        return run;
    proc.write(script);
    proc.closeWriteChannel();
    run.Finished = QTest::qWaitFor([&] { return proc.state() == QProcess::NotRunning; }, timeoutMs);
    if (!run.Finished) {
        proc.kill();
        proc.waitForFinished(3000);
    }
    run.ExitCode = proc.exitStatus() == QProcess::NormalExit ? proc.exitCode() : -1;
    run.Out = QString::fromUtf8(proc.readAllStandardOutput());
    run.Err = QString::fromUtf8(proc.readAllStandardError());
    return run;
}

QStringList Args(quint16 port, const QStringList& more = {}) {
    return QStringList{"--port", QString::number(port), "--nick", "alice"} + more;
}

// Answers like a chat server would, enough for one client.
void ChatResponder(TFakeServer& s, const TDataPacket& p) {
    switch (p.Code) {
    case KMS_LOGIN:
        s.Send(KMC_OKAY);
        s.Send(KMC_SERVERNICK, "Admin");
        s.Send(KMC_ADDUSER, p.Param1, p.Param2);
        s.Send(KMC_ADDUSER, "bob", "5");
        s.Send(KMC_PING);
        break;
    case KMS_CREATE:
        s.Send(KMC_ADDCHAT, p.Param1, {}, p.Switch);
        s.Send(KMC_JOINED, p.Param1);
        s.Send(KMC_CHATDATA, p.Param1, "SYou are alone.");
        break;
    case KMS_CHATDATA:
        s.Send(KMC_CHATDATA, p.Param1, (p.Switch ? "E" : "N") + p.Param2);
        break;
    case KMS_GETPOST:
        s.Send(KMC_MESSAGE, "carol", "see you");
        s.Send(KMC_MESSAGE, "Anonymous", "boo", true);
        break;
    case KMS_SERVERNICK:
        s.Send(KMC_SERVERNICK, "Admin");
        break;
    default:
        break;
    }
}

TEST(clientEndToEnd, ScriptSendsItsRecordsAndPrintsTheReplies) {
    if (!QFileInfo(ClientBinary()).isExecutable())
        FAIL() << "kelvra-client not built at " << ClientBinary().toStdString();
    TFakeServer server;
    server.SetResponder(ChatResponder);
    QTemporaryDir dir;
    const QString log = dir.filePath("chat.log");
    const TRun run = RunClient(Args(server.Port(), {"--icon", "3", "--user", "Alice Smith",
                                                    "--password-stdin", "--log", log}),
                               "s3cret\n"
                               "/create --secure Lobby\n"
                               "hello all\n"
                               "/emote Lobby waves\n"
                               "/users\n"
                               "/rooms\n"
                               "/msg bob hi bob\n"
                               "/anon bob guess who\n"
                               "/invite bob Lobby\n"
                               "/mail\n"
                               "/servernick\n"
                               "/bogus\n");
    ASSERT_TRUE(run.Finished);
    EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();

    EXPECT_EQ(
        Texts(server.WithoutPings()),
        (std::vector<std::string>{
            Text(KMS_LOGIN, "alice", "3"), Text(KMS_USER, "Alice Smith", "s3cret"),
            Text(KMS_SERVERNICK), Text(KMS_CREATE, "Lobby", {}, true),
            Text(KMS_CHATDATA, "Lobby", "<alice> hello all"),
            Text(KMS_CHATDATA, "Lobby", "alice waves", true), Text(KMS_MESSAGE, "bob", "hi bob"),
            Text(KMS_MESSAGE, "bob", "guess who", true), Text(KMS_INVITE, "bob", "Lobby"),
            Text(KMS_GETPOST), Text(KMS_SERVERNICK), Text(KMS_SERVERNICK), Text(KMS_QUIT)}));
    EXPECT_EQ(server.Count(KMS_PING), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.PeerClosed; }, 3000));

    const QStringList out = run.OutLines();
    for (const char* line :
         {"Logged in as alice", "Users (2): alice, bob", "Room available: Lobby (secure)",
          "You joined room Lobby", "[Lobby] -- You are alone.", "[Lobby] <alice> hello all",
          "[Lobby] * alice waves", "Rooms (1): Lobby (secure) [joined]", "-> bob: hi bob",
          "Private message from carol: see you", "Private message from Anonymous [anonymous]: boo",
          "End of mail (2 messages)", "Server nickname: Admin"})
        EXPECT_TRUE(out.contains(QString::fromUtf8(line))) << line << "\n--- stdout:\n"
                                                           << run.Out.toStdString();
    // Events carry their time; listings do not. No colours off a terminal.
    EXPECT_TRUE(
        run.Out.contains(QRegularExpression("\\n\\d\\d:\\d\\d \\[Lobby\\] <alice> hello all\\n")));
    EXPECT_TRUE(run.Out.contains("\nUsers (2): alice, bob\n"));
    EXPECT_FALSE(run.Out.contains('\x1b'));
    // The bad line is reported and the script goes on.
    ASSERT_EQ(run.ErrLines().size(), 1) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("/bogus"));

    QFile transcript(log);
    ASSERT_TRUE(transcript.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(transcript.readAll());
    EXPECT_TRUE(logged.contains("[Lobby] <alice> hello all\n")) << logged.toStdString();
    EXPECT_TRUE(logged.contains("/bogus"));
}

TEST(clientEndToEnd, RawModeAndQuitCommand) {
    TFakeServer server;
    server.SetResponder([](TFakeServer& s, const TDataPacket& p) {
        if (p.Code == KMS_CREATE)
            s.Send(KMC_STATUS, "Invalid Chat Name");
        else
            ChatResponder(s, p);
    });
    const TRun run =
        RunClient(Args(server.Port(), {"--raw", "--linger", "30"}), "/raw 42 \"x y\" \"\" true\n"
                                                                    "/raw KMS_JOIN Lobby\n"
                                                                    "/create Lobby\n"
                                                                    "/quit\n"
                                                                    "/say Lobby never sent\n");
    ASSERT_TRUE(run.Finished);
    EXPECT_EQ(run.ExitCode, 0) << run.Err.toStdString();
    EXPECT_EQ(Texts(server.WithoutPings()),
              (std::vector<std::string>{Text(KMS_LOGIN, "alice", "0"), Text(KMS_USER, "alice", ""),
                                        Text(KMS_SERVERNICK), Text(42, "x y", "", true),
                                        Text(KMS_JOIN, "Lobby"), Text(KMS_CREATE, "Lobby"),
                                        Text(KMS_QUIT)}));
    EXPECT_TRUE(
        run.Out.contains("\nKMC_STATUS Param1=\"Invalid Chat Name\" Param2=\"\" Switch=false\n"))
        << run.Out.toStdString();
    // A /quit does not wait out the linger.
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.PeerClosed; }, 3000));
}

TEST(clientEndToEnd, RefusedLoginEndsAScriptBeforeItsFirstLine) {
    for (const auto& [refusal, why] :
         {std::pair{KMC_NICKINUSE, "login refused: the nickname alice is already in use"},
          std::pair{KMC_BADPASS, "login refused: wrong server password"}}) {
        TFakeServer server;
        server.SetResponder([refusal = refusal](TFakeServer& s, const TDataPacket& p) {
            if (p.Code == KMS_LOGIN && refusal == KMC_NICKINUSE)
                s.Send(KMC_NICKINUSE);
            else if (p.Code == KMS_USER && refusal == KMC_BADPASS)
                s.Send(KMC_BADPASS);
            else if (p.Code != KMS_USER)
                ChatResponder(s, p);
        });
        const TRun run = RunClient(Args(server.Port(), {"--linger", "30"}),
                                   "/create Lobby\n/msg bob hi\n/mail\n");
        ASSERT_TRUE(run.Finished) << why;
        EXPECT_EQ(run.ExitCode, 8) << why;
        EXPECT_EQ(run.ErrLines(), QStringList{QStringLiteral("kelvra-client: ") + why});
        EXPECT_EQ(
            Texts(server.WithoutPings()),
            (std::vector<std::string>{Text(KMS_LOGIN, "alice", "0"), Text(KMS_USER, "alice", ""),
                                      Text(KMS_SERVERNICK), Text(KMS_QUIT)}))
            << why;
    }
}

TEST(clientEndToEnd, TextWithoutARoomIsRefusedLocally) {
    TFakeServer server;
    server.SetResponder(ChatResponder);
    const TRun run = RunClient(Args(server.Port(), {"--linger", "0"}), "hello?\n");
    ASSERT_TRUE(run.Finished);
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_EQ(server.Count(KMS_CHATDATA), 0);
    EXPECT_TRUE(run.Err.contains("no room joined")) << run.Err.toStdString();
}

TEST(clientEndToEnd, FailuresGiveOneMessageAndTheirExitCode) {
    quint16 freePort;
    {
        QTcpServer probe;
        ASSERT_TRUE(probe.listen(QHostAddress::LocalHost, 0));
        freePort = probe.serverPort();
    }
    TRun run = RunClient(Args(freePort), {});
    ASSERT_TRUE(run.Finished);
    EXPECT_EQ(run.ExitCode, 4);
    ASSERT_EQ(run.ErrLines().size(), 1) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("cannot connect")) << run.Err.toStdString();

    run = RunClient(Args(1, {"--host", "no-such-host.invalid"}), {});
    ASSERT_TRUE(run.Finished);
    EXPECT_EQ(run.ExitCode, 3);
    ASSERT_EQ(run.ErrLines().size(), 1) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("host not found")) << run.Err.toStdString();

    run = RunClient({"--port", "1"}, {});
    EXPECT_EQ(run.ExitCode, 2);
    ASSERT_EQ(run.ErrLines().size(), 1) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("--nick")) << run.Err.toStdString();
    run = RunClient({"--version"}, {});
    EXPECT_EQ(run.ExitCode, 0);
    EXPECT_TRUE(QRegularExpression("^kelvra-client \\d+\\.\\d+\\S*\\n$").match(run.Out).hasMatch())
        << run.Out.toStdString();
    EXPECT_EQ(RunClient({"--nick", "a", "--port", "0"}, {}).ExitCode, 2);
    EXPECT_EQ(RunClient({"--nick", "a", "--linger", "-1"}, {}).ExitCode, 2);

    run = RunClient({"--help"}, {});
    EXPECT_EQ(run.ExitCode, 0);
    for (const char* text :
         {"--password-stdin", "--raw", "--linger", "--no-color", "--log", "3  host not found",
          "6  the server sent data that is not a valid record", "8  login refused",
          "\"<NICK> TEXT\""})
        EXPECT_TRUE(run.Out.contains(text)) << text;
}

TEST(clientEndToEnd, ServerEndingTheConnection) {
    struct TCase {
        const char* Name;
        TFakeServer::TResponder OnLogin;
        int ExitCode;
        const char* Stderr;
    };
    const TCase cases[] = {
        {"closed", [](TFakeServer& s, const TDataPacket&) { s.CloseClient(); }, 5,
         "closed the connection"},
        {"garbage",
         [](TFakeServer& s, const TDataPacket&) {
             s.Send(KMC_OKAY);
             s.SendRaw("this is not a record");
         },
         6, "not a valid record"},
        {"truncated record, then closed",
         [](TFakeServer& s, const TDataPacket&) {
             s.SendRaw(EncodePacket(MakePacket(KMC_OKAY)).left(12));
             s.CloseClient();
         },
         6, "not a valid record"},
        {"kicked", [](TFakeServer& s, const TDataPacket&) { s.Send(KMC_KICK); }, 7, nullptr},
    };
    for (const TCase& c : cases) {
        TFakeServer server;
        server.SetResponder([&c](TFakeServer& s, const TDataPacket& p) {
            if (p.Code == KMS_LOGIN)
                c.OnLogin(s, p);
        });
        // A long linger: the server's move, not the end of the script, must end the run.
        const TRun run = RunClient(Args(server.Port(), {"--linger", "30"}), {}, 10000);
        ASSERT_TRUE(run.Finished) << c.Name;
        EXPECT_EQ(run.ExitCode, c.ExitCode) << c.Name << ": " << run.Err.toStdString();
        if (c.Stderr) {
            ASSERT_EQ(run.ErrLines().size(), 1) << c.Name << ": " << run.Err.toStdString();
            EXPECT_TRUE(run.Err.contains(c.Stderr)) << c.Name << ": " << run.Err.toStdString();
        } else {
            EXPECT_TRUE(run.Err.isEmpty()) << c.Name << ": " << run.Err.toStdString();
            EXPECT_TRUE(run.Out.contains("You were kicked by the operator"));
            EXPECT_TRUE(QTest::qWaitFor([&] { return server.PeerClosed; }, 3000));
        }
    }
}

} // namespace

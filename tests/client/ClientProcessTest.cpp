// The real kelvra-client binary against a fake server: what it sends, what it
// prints, and how it exits.
#include "FakeServer.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslKey>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <sys/stat.h>

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
    case KMS_JOIN:
        s.Send(KMC_MESSAGE, "Admin", "The chat does not exist");
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
                               "/me grins\n"
                               "/users\n"
                               "/rooms\n"
                               "/msg bob hi bob\n"
                               "/anon bob guess who\n"
                               "/invite bob Lobby\n"
                               "/mail\n"
                               "/servernick\n"
                               "/bogus\n");
    ASSERT_TRUE(run.Finished);
    // The bad last line fails the script.
    EXPECT_EQ(run.ExitCode, 9) << run.Err.toStdString();

    EXPECT_EQ(
        Texts(server.WithoutPings()),
        (std::vector<std::string>{
            Text(KMS_LOGIN, "alice", "3"), Text(KMS_USER, "Alice Smith", "s3cret"),
            Text(KMS_SERVERNICK), Text(KMS_GETPOST), Text(KMS_SERVERNICK),
            Text(KMS_CREATE, "Lobby", {}, true), Text(KMS_CHATDATA, "Lobby", "<alice> hello all"),
            Text(KMS_CHATDATA, "Lobby", "alice waves", true),
            Text(KMS_CHATDATA, "Lobby", "alice grins", true), Text(KMS_MESSAGE, "bob", "hi bob"),
            Text(KMS_MESSAGE, "bob", "guess who", true), Text(KMS_INVITE, "bob", "Lobby"),
            Text(KMS_GETPOST), Text(KMS_SERVERNICK), Text(KMS_SERVERNICK), Text(KMS_QUIT)}));
    EXPECT_EQ(server.Count(KMS_PING), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.PeerClosed; }, 3000));

    const QStringList out = run.OutLines();
    // The mail fetched at login comes counted, then the messages.
    const qsizetype mailAtLogin = out.indexOf("2 messages were kept for you as mail:");
    ASSERT_GE(mailAtLogin, 0) << run.Out.toStdString();
    EXPECT_EQ(out.mid(mailAtLogin + 1, 2),
              (QStringList{"Private message from carol: see you",
                           "Private message from Anonymous [anonymous]: boo"}));
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
    ASSERT_EQ(run.ErrLines().size(), 1) << run.Err.toStdString();
    EXPECT_TRUE(run.Err.contains("/bogus"));

    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(log).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    QFile transcript(log);
    ASSERT_TRUE(transcript.open(QIODevice::ReadOnly));
    const QString logged = QString::fromUtf8(transcript.readAll());
    EXPECT_TRUE(logged.contains("[Lobby] <alice> hello all\n")) << logged.toStdString();
    EXPECT_TRUE(logged.contains("/bogus"));
}

TEST(clientEndToEnd, RawModeAndQuitCommand) {
    TFakeServer server;
    server.SetResponder([](TFakeServer& s, const TDataPacket& p) {
        if (p.Code == 42)
            s.Send(KMC_MESSAGE, "bob", "x y");
        else if (p.Code != KMS_JOIN) // its refusal would be taken for the create's
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
              (std::vector<std::string>{
                  Text(KMS_LOGIN, "alice", "0"), Text(KMS_USER, "alice", ""), Text(KMS_SERVERNICK),
                  Text(KMS_GETPOST), Text(KMS_SERVERNICK), Text(42, "x y", "", true),
                  Text(KMS_JOIN, "Lobby"), Text(KMS_CREATE, "Lobby"), Text(KMS_QUIT)}));
    EXPECT_TRUE(run.Out.contains("\nKMC_MESSAGE Param1=\"bob\" Param2=\"x y\" Switch=false\n"))
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

TEST(clientEndToEnd, AFailedLineEndsTheScriptWithStatus9) {
    for (const auto& [line, why] :
         {std::pair{"hello?", "no room joined"},
          std::pair{"/join Nowhere", "/join Nowhere: refused by the server (The chat does not "
                                     "exist)"}}) {
        TFakeServer server;
        server.SetResponder(ChatResponder);
        const TRun run = RunClient(Args(server.Port(), {"--linger", "0", "--no-mail"}),
                                   QByteArray(line) + "\n/create Lobby\n");
        ASSERT_TRUE(run.Finished) << line;
        EXPECT_EQ(run.ExitCode, 9) << line;
        EXPECT_EQ(server.Count(KMS_CHATDATA) + server.Count(KMS_CREATE), 0) << line;
        EXPECT_EQ(server.Count(KMS_GETPOST), 0) << line;
        ASSERT_EQ(run.ErrLines().size(), 1) << run.Err.toStdString();
        EXPECT_TRUE(run.Err.contains(why)) << run.Err.toStdString();
    }
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
          "9  a script line failed", "--tls-ca", "--no-reconnect", "--no-mail", "\"<NICK> TEXT\""})
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
        {"shut down",
         [](TFakeServer& s, const TDataPacket&) {
             s.Send(KMC_STATUS, "Server is shuting down...");
             s.CloseClient();
         },
         5, "the server shut down (\"Server is shuting down...\")"},
        {"kicked", [](TFakeServer& s, const TDataPacket&) { s.Send(KMC_KICK); }, 7,
         "kicked by the operator"},
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
        ASSERT_EQ(run.ErrLines().size(), 1) << c.Name << ": " << run.Err.toStdString();
        EXPECT_TRUE(run.Err.contains(c.Stderr)) << c.Name << ": " << run.Err.toStdString();
        if (c.ExitCode == 7) {
            EXPECT_TRUE(run.Out.contains("You were kicked by the operator"));
            EXPECT_TRUE(QTest::qWaitFor([&] { return server.PeerClosed; }, 3000));
        }
    }
}

// A server that goes away and comes back: the client (a script told to
// reconnect) logs in again as before, makes its room again, and the script
// goes on there.
TEST(clientEndToEnd, ReconnectsLogsInAgainAndRejoins) {
    TFakeServer server;
    server.SetResponder(ChatResponder);
    const quint16 port = server.Port();
    QProcess proc;
    proc.start(ClientBinary(),
               Args(port, {"--reconnect", "--linger", "0", "--user", "Alice", "--password-stdin"}));
    ASSERT_TRUE(proc.waitForStarted(5000));
    QString out;
    const auto waitForOut = [&](const QString& text) {
        return QTest::qWaitFor(
            [&] {
                out += QString::fromUtf8(proc.readAllStandardOutput());
                return out.contains(text);
            },
            20000);
    };
    proc.write("pw\n/create --secure Lobby\n");
    ASSERT_TRUE(waitForOut("You joined room Lobby")) << out.toStdString();

    server.Send(KMC_STATUS, "Server is shuting down...");
    server.GoAway();
    ASSERT_TRUE(waitForOut("Connection lost: the server shut down (\"Server is shuting down...\"); "
                           "reconnecting to 127.0.0.1:" +
                           QString::number(port) + " in 1 s"))
        << out.toStdString();
    // The first attempt finds nobody; the back-off doubles.
    ASSERT_TRUE(waitForOut("in 2 s (attempt 2 of 20")) << out.toStdString();
    ASSERT_TRUE(server.Listen(port));
    ASSERT_TRUE(
        waitForOut("Reconnected to 127.0.0.1:" + QString::number(port) + "; rejoining Lobby"))
        << out.toStdString();
    proc.write("back again\n");
    proc.closeWriteChannel();
    ASSERT_TRUE(QTest::qWaitFor([&] { return proc.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(proc.exitCode(), 0) << proc.readAllStandardError().toStdString();

    const std::vector<std::string> again{Text(KMS_LOGIN, "alice", "0"),
                                         Text(KMS_USER, "Alice", "pw"),
                                         Text(KMS_SERVERNICK),
                                         Text(KMS_GETPOST),
                                         Text(KMS_SERVERNICK),
                                         Text(KMS_CREATE, "Lobby", {}, true),
                                         Text(KMS_CHATDATA, "Lobby", "<alice> back again"),
                                         Text(KMS_QUIT)};
    const std::vector<std::string> sent = Texts(server.WithoutPings());
    ASSERT_GE(sent.size(), again.size());
    EXPECT_EQ(std::vector<std::string>(sent.end() - static_cast<std::ptrdiff_t>(again.size()),
                                       sent.end()),
              again);
    EXPECT_EQ(server.Count(KMS_LOGIN), 2);
}

// A TLS server with a certificate made for the test.
class clientTls : public ::testing::Test {
protected:
    void SetUp() override {
        if (!QSslSocket::supportsSsl() || QStandardPaths::findExecutable("openssl").isEmpty())
            GTEST_SKIP() << "no TLS library or no openssl command";
        ASSERT_TRUE(MakeCertificate("good", "IP:127.0.0.1"));
        ASSERT_TRUE(MakeCertificate("other", "DNS:other.test"));
    }
    bool MakeCertificate(const QString& name, const QString& altName) {
        QProcess openssl;
        openssl.start("openssl",
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                       "-nodes", "-days", "2", "-subj", "/CN=kelvra test", "-addext",
                       "subjectAltName=" + altName, "-keyout", Dir.filePath(name + ".key"), "-out",
                       Dir.filePath(name + ".pem")});
        return openssl.waitForFinished(30000) && openssl.exitCode() == 0;
    }
    QSslConfiguration ServerConfig(const QString& name) {
        QSslConfiguration config = QSslConfiguration::defaultConfiguration();
        config.setLocalCertificateChain(QSslCertificate::fromPath(Dir.filePath(name + ".pem")));
        QFile key(Dir.filePath(name + ".key"));
        key.open(QIODevice::ReadOnly);
        config.setPrivateKey(QSslKey(key.readAll(), QSsl::Ec));
        config.setPeerVerifyMode(QSslSocket::VerifyNone);
        return config;
    }
    QTemporaryDir Dir;
};

TEST_F(clientTls, VerifiesTheCertificateAndTheHostName) {
    struct TCase {
        const char* Certificate;
        QStringList Options;
        int ExitCode;
        const char* Stderr; // nullptr: nothing
    };
    const QString good = Dir.filePath("good.pem");
    const QString other = Dir.filePath("other.pem");
    const TCase cases[] = {
        {"good", {"--tls-ca", good}, 0, nullptr},
        {"good", {}, 10, "certificate not trusted (self-signed)"},
        {"other", {"--tls-ca", other}, 10, "host name mismatch: the certificate is for"},
        {"other", {"--tls-ca", other, "--tls-insecure"}, 0, "warning: host name mismatch"},
    };
    for (const TCase& c : cases) {
        const QSslConfiguration config = ServerConfig(c.Certificate);
        TFakeServer server(&config);
        server.SetResponder(ChatResponder);
        const TRun run =
            RunClient(Args(server.Port(), QStringList{"--tls", "--linger", "0"} + c.Options), "");
        const std::string name = c.Options.join(' ').toStdString();
        ASSERT_TRUE(run.Finished) << name;
        EXPECT_EQ(run.ExitCode, c.ExitCode) << name << ": " << run.Err.toStdString();
        if (c.Stderr) {
            ASSERT_EQ(run.ErrLines().size(), 1) << name << ": " << run.Err.toStdString();
            EXPECT_TRUE(run.Err.contains(c.Stderr)) << name << ": " << run.Err.toStdString();
        } else {
            EXPECT_TRUE(run.Err.isEmpty()) << name << ": " << run.Err.toStdString();
        }
        // Records flow only over a checked (or knowingly accepted) connection.
        EXPECT_EQ(server.Count(KMS_LOGIN), c.ExitCode == 0 ? 1 : 0) << name;
    }
}

} // namespace

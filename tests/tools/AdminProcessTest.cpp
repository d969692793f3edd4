// kelvra-admin against a real kelvra-serverd: every command over the control
// socket, records that went before the command, usage errors, and the socket's
// own bounds.
#include "ToolProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalSocket>
#include <QThread>
#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace kelvra;
using kelvra::test::ReadFile;
using kelvra::test::ToolPath;
using kelvra::test::TRecordClient;
using kelvra::test::TServerdProcess;

namespace {

struct TAdminRun {
    int Code = -1;
    QByteArray Out, Err;
    QJsonObject Json() const { return QJsonDocument::fromJson(Out).object(); }
};

void StartAdmin(QProcess& p, const TServerdProcess& server, const QStringList& args) {
    p.start(ToolPath("kelvra-admin"), QStringList{"--socket", server.ControlPath} + args);
}

TAdminRun Finish(QProcess& p) {
    TAdminRun run;
    if (p.waitForFinished(15000) && p.exitStatus() == QProcess::NormalExit)
        run.Code = p.exitCode();
    run.Out = p.readAllStandardOutput();
    run.Err = p.readAllStandardError();
    return run;
}

TAdminRun Admin(const TServerdProcess& server, const QStringList& args) {
    QProcess p;
    StartAdmin(p, server, args);
    return Finish(p);
}

// Logs on (nickname and password) and answers the first ping.
void LogIn(TRecordClient& client, const QByteArray& nick) {
    client.Send(MakePacket(KMS_LOGIN, nick, "0"));
    client.Send(MakePacket(KMS_USER, nick, {}));
    ASSERT_TRUE(client.WaitForCode(KMC_PING));
    client.Send(MakePacket(KMS_PING));
}

// The server has handled everything the client sent before this returns.
bool RoundTrip(TRecordClient& client) {
    return client.RoundTrip();
}

QJsonObject UserNamed(const TServerdProcess& server, const QString& nick) {
    for (const QJsonValue& u : Admin(server, {"--json", "users"}).Json()["users"].toArray())
        if (u["nick"].toString() == nick)
            return u.toObject();
    return {};
}

// Waits (bounded) until the file holds the text: saves follow changes shortly.
bool FileGets(const QString& path, const QByteArray& text) {
    QDeadlineTimer deadline(15000);
    while (!ReadFile(path).contains(text) && !deadline.hasExpired())
        QThread::msleep(50);
    return ReadFile(path).contains(text);
}

} // namespace

TEST(Admin, ActsOnUsersAndChatsWithTheConsolesMeaning) {
    TServerdProcess server;
    ASSERT_TRUE(server.Start()) << server.Process.readAllStandardError().constData();
    TRecordClient alice, bob, idle;
    ASSERT_TRUE(alice.Connect(server.Port));
    ASSERT_TRUE(bob.Connect(server.Port));
    ASSERT_TRUE(idle.Connect(server.Port)); // connected, never logs on
    LogIn(alice, "alice");
    LogIn(bob, "bob");
    alice.Send(MakePacket(KMS_CREATE, "Lobby", {}, false));
    ASSERT_TRUE(alice.WaitForCode(KMC_JOINED));
    bob.Send(MakePacket(KMS_JOIN, "Lobby", {}, false));
    ASSERT_TRUE(bob.WaitForCode(KMC_JOINED));
    ASSERT_TRUE(RoundTrip(alice) && RoundTrip(bob));

    // Lists: every connection with its user name, link and ping; the chat.
    const TAdminRun users = Admin(server, {"users", "--json"});
    ASSERT_EQ(users.Code, 0) << users.Err.constData();
    const QJsonArray list = users.Json()["users"].toArray();
    ASSERT_EQ(list.size(), 3) << users.Out.constData();
    EXPECT_EQ(list[0]["nick"].toString(), "alice");
    EXPECT_EQ(list[0]["user_name"].toString(), "alice");
    EXPECT_EQ(list[0]["address"].toString(), "127.0.0.1");
    EXPECT_EQ(list[0]["link"].toString(), "tcp");
    EXPECT_EQ(list[0]["chats"].toArray(), QJsonArray{"Lobby"});
    EXPECT_TRUE(list[1]["logged_on"].toBool());
    EXPECT_FALSE(list[2]["logged_on"].toBool());
    EXPECT_TRUE(list[2]["user_name"].isNull());
    const TAdminRun table = Admin(server, {"users"});
    EXPECT_TRUE(table.Out.startsWith("Nickname  Username  ID")) << table.Out.constData();
    EXPECT_TRUE(table.Out.contains("127.0.0.1")) << table.Out.constData();
    const TAdminRun chats = Admin(server, {"--json", "chats"});
    ASSERT_EQ(chats.Code, 0);
    const QJsonObject lobby = chats.Json()["chats"].toArray()[0].toObject();
    EXPECT_EQ(lobby["name"].toString(), "Lobby");
    EXPECT_EQ(lobby["members"].toInt(), 2);
    EXPECT_TRUE(Admin(server, {"chats"}).Out.contains("Lobby"));

    // Messages from the server's nickname; line breaks as the console sends them.
    EXPECT_EQ(Admin(server, {"send", "BOB", "hello", "there"}).Code, 0);
    auto told = bob.WaitForCode(KMC_MESSAGE);
    ASSERT_TRUE(told);
    EXPECT_EQ(told->Param1, "srv");
    EXPECT_EQ(told->Param2, "hello there");
    const TAdminRun broadcast = Admin(server, {"broadcast", "--anonymous", "two\nlines"});
    EXPECT_EQ(broadcast.Code, 0);
    EXPECT_EQ(broadcast.Out, "Sent to 3 connections.\n");
    for (TRecordClient* c : {&alice, &bob, &idle}) {
        const auto b = c->WaitForCode(KMC_MESSAGE);
        ASSERT_TRUE(b);
        EXPECT_EQ(b->Param2, "two\r\nlines");
        EXPECT_TRUE(b->Switch);
    }

    EXPECT_EQ(Admin(server, {"kick", "Alice"}).Code, 0);
    EXPECT_TRUE(alice.WaitForCode(KMC_KICK));
    EXPECT_EQ(Admin(server, {"kill-chat", "lobby"}).Code, 0);
    for (TRecordClient* c : {&alice, &bob}) {
        const auto bye = c->WaitForCode(KMC_BYE);
        ASSERT_TRUE(bye);
        EXPECT_EQ(bye->Param1, "Lobby");
    }

    // Ping waits for the answer and shows the round trip.
    QProcess ping;
    StartAdmin(ping, server, {"ping", "bob"});
    ASSERT_TRUE(bob.WaitForCode(KMC_PING));
    bob.Send(MakePacket(KMS_PING));
    const TAdminRun pinged = Finish(ping);
    EXPECT_EQ(pinged.Code, 0) << pinged.Err.constData();
    EXPECT_TRUE(pinged.Out.startsWith("bob (id ")) << pinged.Out.constData();
    EXPECT_TRUE(pinged.Out.endsWith(" ms\n") || pinged.Out.endsWith(" s\n"));

    // Remove forgets bob without a word; his connection stays open.
    const int bobId = UserNamed(server, "bob")["id"].toInt();
    EXPECT_EQ(Admin(server, {"remove", "bob"}).Code, 0);
    EXPECT_TRUE(UserNamed(server, "bob").isEmpty());
    EXPECT_EQ(bob.Socket.state(), QAbstractSocket::ConnectedState);

    // Targets that went before the command: errors, never somebody else.
    const int aliceId = UserNamed(server, "alice")["id"].toInt();
    alice.Socket.disconnectFromHost();
    QDeadlineTimer deadline(15000);
    while (!UserNamed(server, "alice").isEmpty() && !deadline.hasExpired())
        QThread::msleep(20);
    for (const QStringList& args :
         {QStringList{"kick", "alice"}, QStringList{"kick", "--id", QString::number(aliceId)},
          QStringList{"send", "--id", QString::number(bobId), "still", "there?"},
          QStringList{"ping", "bob"}, QStringList{"kill-chat", "Lobby"}}) {
        const TAdminRun gone = Admin(server, args);
        EXPECT_EQ(gone.Code, 1) << args.join(' ').toStdString();
        EXPECT_TRUE(gone.Err.startsWith("kelvra-admin: no ")) << gone.Err.constData();
        EXPECT_TRUE(gone.Out.isEmpty());
    }
    EXPECT_TRUE(RoundTrip(idle));
    for (const TDataPacket& p : idle.Received)
        EXPECT_NE(p.Code, KMC_KICK);

    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);
    EXPECT_FALSE(QFile::exists(server.ControlPath)); // removed at the orderly end
}

TEST(Admin, BansAndMailAreSavedAsTheConsolesAre) {
    TServerdProcess server;
    ASSERT_TRUE(server.Start()) << server.Process.readAllStandardError().constData();

    EXPECT_EQ(Admin(server, {"ban", "add", "--nick", "eve", "--comment", "no eve"}).Out,
              "Added ban 1: eve from *.*.*.*.\n");
    EXPECT_EQ(Admin(server, {"ban", "add", "--ip", "10.1.*.*"}).Code, 0);
    EXPECT_EQ(Admin(server, {"ban", "edit", "1", "--within"}).Code, 0);
    EXPECT_EQ(Admin(server, {"ban", "remove", "2"}).Code, 0);
    EXPECT_EQ(Admin(server, {"ban", "remove", "2"}).Code, 1);
    // Saved to the settings as the console's editor saves, soon after the change.
    EXPECT_TRUE(FileGets(server.SettingsPath, "1Comment=no eve"));
    EXPECT_TRUE(FileGets(server.SettingsPath, "1InString=1"));
    EXPECT_TRUE(FileGets(server.SettingsPath, "Bans=1"));

    TRecordClient evelyn;
    ASSERT_TRUE(evelyn.Connect(server.Port));
    evelyn.Send(MakePacket(KMS_LOGIN, "Evelyn", "0"));
    EXPECT_TRUE(evelyn.WaitForCode(KMC_BANNED));

    // Kick and Ban: the user's nickname and address, the kick as the first hit.
    TRecordClient carol;
    ASSERT_TRUE(carol.Connect(server.Port));
    LogIn(carol, "carol");
    ASSERT_TRUE(RoundTrip(carol));
    EXPECT_EQ(Admin(server, {"kick-ban", "carol", "--comment", "spam"}).Code, 0);
    EXPECT_TRUE(carol.WaitForCode(KMC_KICK));
    const TAdminRun bans = Admin(server, {"bans", "--json"});
    const QJsonArray list = bans.Json()["bans"].toArray();
    ASSERT_EQ(list.size(), 2) << bans.Out.constData();
    EXPECT_EQ(list[0]["hits"].toInt(), 1); // Evelyn
    EXPECT_EQ(list[1]["nick"].toString(), "carol");
    EXPECT_EQ(list[1]["ip_mask"].toString(), "127.0.0.1");
    EXPECT_EQ(list[1]["hits"].toInt(), 1);
    EXPECT_EQ(list[1]["comment"].toString(), "spam");
    EXPECT_TRUE(Admin(server, {"bans"}).Out.contains("*eve*"));

    // Mail: stored for an absent nickname, edited (stored anew), delivered
    // at once when the target is connected.
    const TAdminRun stored = Admin(server, {"--json", "mail", "add", "--to", "dora", "hi", "dora"});
    ASSERT_EQ(stored.Code, 0) << stored.Err.constData();
    const int mailId = stored.Json()["mail"].toObject()["id"].toInt();
    // On disk within a second: in the journal beside the mail file until the
    // next fold.
    EXPECT_TRUE(FileGets(server.MailPath + ".journal", "hi dora"));
    EXPECT_TRUE(FileGets(server.MailPath + ".journal", "srv"));
    const TAdminRun edited = Admin(
        server, {"mail", "edit", QString::number(mailId), "--text", "changed", "--from", "op"});
    EXPECT_TRUE(edited.Out.startsWith("Stored as mail ")) << edited.Out.constData();
    EXPECT_TRUE(Admin(server, {"mail"}).Out.contains("changed"));
    EXPECT_EQ(Admin(server, {"mail", "edit", QString::number(mailId), "--text", "x"}).Code, 1);
    const int newId =
        Admin(server, {"--json", "mail"}).Json()["mail"].toArray()[0].toObject()["id"].toInt();
    EXPECT_EQ(Admin(server, {"mail", "edit", QString::number(newId), "--to", "CAROL"}).Out,
              "Delivered at once: the target is connected.\n");
    const auto mail = carol.WaitForCode(KMC_MESSAGE);
    ASSERT_TRUE(mail);
    EXPECT_EQ(mail->Param1, "op");
    EXPECT_EQ(mail->Param2, "changed");
    EXPECT_EQ(Admin(server, {"mail", "add", "--to", "dora", "bye"}).Code, 0);
    const int lastId =
        Admin(server, {"--json", "mail"}).Json()["mail"].toArray()[0].toObject()["id"].toInt();
    EXPECT_EQ(Admin(server, {"mail", "delete", QString::number(lastId)}).Code, 0);
    EXPECT_EQ(Admin(server, {"mail"}).Out, "No mail is stored.\n");

    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);
    const QByteArray settings = ReadFile(server.SettingsPath);
    EXPECT_TRUE(settings.contains("2Nick=carol")) << settings.constData();
    EXPECT_TRUE(settings.contains("Bans=2"));
    EXPECT_TRUE(ReadFile(server.MailPath).contains("Mail=0"));
}

TEST(Admin, UsageErrorsRefusalsAndFigures) {
    TServerdProcess server;
    ASSERT_TRUE(server.Start()) << server.Process.readAllStandardError().constData();

    for (const QStringList& args :
         {QStringList{}, QStringList{"frobnicate"}, QStringList{"kick"},
          QStringList{"kick", "bob", "--id", "3"}, QStringList{"send", "bob"},
          QStringList{"ban", "add"}, QStringList{"ban", "add", "--ip", "300.1.1.1"},
          QStringList{"ban", "add", "--nick", "  "}, QStringList{"ban", "edit", "1"},
          QStringList{"mail", "add", "--to", "x", " "}, QStringList{"kill-chat"}}) {
        const TAdminRun run = Admin(server, args);
        EXPECT_EQ(run.Code, 2) << args.join(' ').toStdString() << ": " << run.Err.constData();
        EXPECT_TRUE(run.Err.startsWith("kelvra-admin: ")) << run.Err.constData();
    }
    // Texts the wire's code page cannot carry are refused, not sent as "?".
    EXPECT_EQ(Admin(server, {"broadcast", "snow \u2603"}).Code, 1);

    const TAdminRun version = Admin(server, {"--version"});
    EXPECT_EQ(version.Code, 0);
    EXPECT_TRUE(version.Out.startsWith("kelvra-admin "));

    const TAdminRun stats = Admin(server, {"stats", "--json"});
    ASSERT_EQ(stats.Code, 0) << stats.Err.constData();
    const QJsonObject figures = stats.Json();
    for (const char* key : {"connections", "users", "chats", "mails", "bans", "deliveries",
                            "deliveries_per_second", "rss_bytes"})
        EXPECT_TRUE(figures[key].isDouble()) << key;
    EXPECT_GT(figures["rss_bytes"].toDouble(), 0);
    EXPECT_TRUE(Admin(server, {"stats"}).Out.contains("Memory (RSS):"));

    // Without a reload function in the daemon the command says so.
    const TAdminRun reload = Admin(server, {"reload"});
    EXPECT_TRUE(reload.Code == 0 || reload.Err.contains("reload not available"))
        << reload.Err.constData();

    QProcess nowhere;
    nowhere.start(ToolPath("kelvra-admin"), {"--socket", server.Dir.filePath("none"), "users"});
    const TAdminRun unreachable = Finish(nowhere);
    EXPECT_EQ(unreachable.Code, 1);
    EXPECT_TRUE(unreachable.Err.contains("cannot connect")) << unreachable.Err.constData();

    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);
}

TEST(ControlSocket, IsPrivateReplacesAStaleSocketAndBoundsItsClients) {
    TServerdProcess first;
    ASSERT_TRUE(first.Start()) << first.Process.readAllStandardError().constData();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(first.ControlPath).constData(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A second server on the same socket does not start while the first answers.
    TServerdProcess second;
    second.Launch({"--nick", "srv", "--settings", second.SettingsPath, "--port", "0", "--control",
                   first.ControlPath});
    EXPECT_EQ(second.WaitForExit(), 1);
    EXPECT_TRUE(second.Process.readAllStandardError().contains("another server answers"));

    // Requests in one write are answered in order; bad ones get a reason.
    QLocalSocket raw;
    raw.connectToServer(first.ControlPath);
    ASSERT_TRUE(raw.waitForConnected(5000));
    raw.write("{\"id\":1,\"op\":\"hello\"}\nnot json\n{\"id\":\"x\",\"op\":\"nope\"}\n");
    QList<QJsonObject> answers;
    QDeadlineTimer deadline(10000);
    while (answers.size() < 3 && !deadline.hasExpired()) {
        if (!raw.canReadLine())
            raw.waitForReadyRead(100);
        while (raw.canReadLine())
            answers << QJsonDocument::fromJson(raw.readLine()).object();
    }
    ASSERT_EQ(answers.size(), 3);
    EXPECT_EQ(answers[0]["id"].toInt(), 1);
    EXPECT_EQ(answers[0]["result"].toObject()["protocol"].toInt(), 1);
    EXPECT_EQ(answers[1]["code"].toString(), "bad_request");
    EXPECT_EQ(answers[2]["id"].toString(), "x");
    EXPECT_EQ(answers[2]["code"].toString(), "unknown_op");

    // An endless request is cut off; the server goes on serving others.
    QLocalSocket flood;
    flood.connectToServer(first.ControlPath);
    ASSERT_TRUE(flood.waitForConnected(5000));
    flood.write(QByteArray(3 * 1024 * 1024, 'x'));
    QByteArray refusal;
    deadline = QDeadlineTimer(15000);
    while (!refusal.contains('\n') && flood.state() == QLocalSocket::ConnectedState &&
           !deadline.hasExpired()) {
        flood.waitForReadyRead(100);
        refusal += flood.readAll();
    }
    EXPECT_TRUE(refusal.contains("too_large")) << refusal.left(200).constData();
    EXPECT_EQ(Admin(first, {"stats"}).Code, 0);

    // Past the connection cap a client is told so at once (raw holds one).
    std::vector<std::unique_ptr<QLocalSocket>> held;
    for (int i = 1; i < 16; ++i) {
        held.push_back(std::make_unique<QLocalSocket>());
        held.back()->connectToServer(first.ControlPath);
        ASSERT_TRUE(held.back()->waitForConnected(5000));
    }
    const TAdminRun busy = Admin(first, {"stats"});
    EXPECT_EQ(busy.Code, 1);
    EXPECT_TRUE(busy.Err.contains("too many control connections")) << busy.Err.constData();
    held.clear();

    // A socket left by a killed server is replaced by the next one.
    first.Signal(SIGKILL);
    first.WaitForExit();
    ASSERT_TRUE(QFile::exists(first.ControlPath));
    TServerdProcess third;
    ASSERT_TRUE(third.Start({"--control", first.ControlPath}))
        << third.Process.readAllStandardError().constData();
    EXPECT_EQ(Admin(first, {"users"}).Code, 0);
    third.Signal(SIGTERM);
    EXPECT_EQ(third.WaitForExit(), 0);
}

TEST(ControlSocket, DefaultPathFollowsTheRuntimeDirectoryForBothPrograms) {
    QTemporaryDir runtime;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("RUNTIME_DIRECTORY");
    env.insert("XDG_RUNTIME_DIR", runtime.path());

    TServerdProcess server;
    server.OwnControl = false;
    server.Process.setProcessEnvironment(env);
    ASSERT_TRUE(server.Start()) << server.Process.readAllStandardError().constData();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(runtime.filePath("kelvra")).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(QFile::exists(runtime.filePath("kelvra/control")));

    QProcess admin;
    admin.setProcessEnvironment(env);
    admin.start(ToolPath("kelvra-admin"), {"stats"});
    EXPECT_EQ(Finish(admin).Code, 0);
    // systemd's RUNTIME_DIRECTORY comes first.
    QProcessEnvironment service = env;
    service.insert("RUNTIME_DIRECTORY", runtime.filePath("service"));
    admin.setProcessEnvironment(service);
    admin.start(ToolPath("kelvra-admin"), {"stats"});
    const TAdminRun elsewhere = Finish(admin);
    if (!QFile::exists("/run/kelvra/control")) {
        EXPECT_EQ(elsewhere.Code, 1);
        EXPECT_TRUE(elsewhere.Err.contains(runtime.filePath("service/control").toUtf8()))
            << elsewhere.Err.constData();
    }
    server.Signal(SIGTERM);
    EXPECT_EQ(server.WaitForExit(), 0);

    // With neither variable the daemon serves its users without a control
    // socket and says so.
    env.remove("XDG_RUNTIME_DIR");
    TServerdProcess bare;
    bare.OwnControl = false;
    bare.Process.setProcessEnvironment(env);
    ASSERT_TRUE(bare.Start());
    bare.Signal(SIGTERM);
    EXPECT_EQ(bare.WaitForExit(), 0);
    EXPECT_TRUE(bare.Process.readAllStandardError().contains("no control socket"));
}

// What the server stores for clients: mail handed over only as far as the
// connection takes it, bounds on mail and on the login log, and saves that
// reach the disk soon after a change and survive a broken settings store.
#include "LoginLog.h"
#include "RegLink.h"
#include "ServerRuntime.h"
#include "TestFiles.h"
#include "TestServer.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

using namespace kelvra;
using namespace kelvra::test;

TEST(StoredMail, BombedMailboxHandsOverWhatFitsAndKeepsTheRest) {
    TTestServer server;
    server.Core().StoreLimits.MailBytesPerTarget = 64 * 1024 * 1024; // let the whole bomb in
    TTestClient eve;
    ASSERT_TRUE(eve.Connect(server.Port()));
    ASSERT_TRUE(eve.LoginAs("eve", 1));
    eve.Send(KMS_MESSAGE, "bob", "see you at noon");
    // Together far more than one connection may have queued.
    constexpr int kBig = 5;
    for (int i = 0; i < kBig; ++i)
        eve.Send(KMS_MESSAGE, "bob", QByteArray(900 * 1024, 'x') + QByteArray::number(i));
    ASSERT_TRUE(WaitUntil([&] { return server.Core().Mail().Count() == kBig + 1; }, 10000));

    TTestClient bob;
    ASSERT_TRUE(bob.Connect(server.Port()));
    ASSERT_TRUE(bob.LoginAs("bob", 2));
    bob.Send(KMS_GETPOST);
    ASSERT_TRUE(bob.WaitFor(2, 10000));
    bob.Settle(200);
    const size_t first = bob.Received().size();
    EXPECT_EQ(bob.Received().front(), Rec(KMC_MESSAGE, "eve", "see you at noon"));
    EXPECT_LT(first, static_cast<size_t>(kBig + 1));
    EXPECT_EQ(server.Core().Mail().Count(), static_cast<int>(kBig + 1 - first));
    EXPECT_TRUE(bob.Connected());

    // Each later request hands over more, in order, until nothing is left.
    for (int round = 0; round < 10 && server.Core().Mail().Count() > 0; ++round) {
        const size_t had = bob.Received().size();
        bob.Send(KMS_GETPOST);
        ASSERT_TRUE(bob.WaitFor(had + 1, 10000));
        bob.Settle(100);
    }
    ASSERT_EQ(bob.Received().size(), static_cast<size_t>(kBig + 1));
    for (int i = 0; i < kBig; ++i)
        EXPECT_TRUE(
            bob.Received()[static_cast<size_t>(i) + 1].Param2.endsWith(QByteArray::number(i)));
    EXPECT_EQ(server.Core().Mail().Count(), 0);
    EXPECT_EQ(server.View().MailRows, 0);
}

// A transport that keeps write receipts; its sockets write only when told.
class TReceiptTransport : public ITransport {
public:
    void SendPrepared(SocketHandle socket, const TPreparedPacket& packet) override {
        Sent[socket].push_back(packet.Packet);
        Queued[socket] += static_cast<uint64_t>(packet.Bytes.size());
    }
    uint64_t QueuedOffset(SocketHandle socket) const override { return Queued.value(socket); }
    void NotifyWhenWritten(SocketHandle socket, uint64_t offset) override {
        Asked[socket].push_back(offset);
    }
    // The socket wrote the first `count` records asked about.
    void Write(TServer& server, SocketHandle socket, size_t count = SIZE_MAX) {
        std::vector<uint64_t>& asked = Asked[socket];
        const size_t n = std::min(count, asked.size());
        const std::vector<uint64_t> due(asked.begin(), asked.begin() + n);
        asked.erase(asked.begin(), asked.begin() + n);
        for (const uint64_t offset : due)
            server.OutputWritten(socket, offset);
    }
    std::vector<QByteArray> Messages(SocketHandle socket) const {
        std::vector<QByteArray> texts;
        for (const TDataPacket& p : Sent.value(socket))
            if (p.Code == KMC_MESSAGE)
                texts.push_back(p.Param2);
        return texts;
    }
    QHash<SocketHandle, std::vector<TDataPacket>> Sent;
    QHash<SocketHandle, uint64_t> Queued;
    QHash<SocketHandle, std::vector<uint64_t>> Asked;
};

TEST(StoredMail, MailLeavesTheStoreOnlyOnceWrittenAndComesBackFromAClosedConnection) {
    TReceiptTransport transport;
    TRecordingView view;
    TServer core(transport, view);
    core.ServerNick = "Admin";
    for (const char* text : {"one", "two", "three"})
        core.StoreMail("bob", "eve", text);
    const TMailId forCarol = core.StoreMail("carol", "eve", "not yours")->Id;
    const TMailId three = core.Mail().MailFor("bob").back()->Id;
    core.ConnectionAccepted(5, 0x7F000001, 4000);
    core.Login(5, "BOB", 0);

    core.DeliverMail(5);
    core.DeliverMail(5); // in flight already: not handed over twice
    EXPECT_EQ(transport.Messages(5), (std::vector<QByteArray>{"one", "two", "three"}));
    EXPECT_EQ(core.Mail().Count(), 4);
    EXPECT_TRUE(core.MailInFlight(three));
    EXPECT_FALSE(core.MailInFlight(forCarol));

    transport.Write(core, 5, 1);
    EXPECT_EQ(core.Mail().Count(), 3);
    EXPECT_EQ(view.MailRows, 3);
    EXPECT_TRUE(core.RemoveMail(three)); // the operator deletes one in flight
    core.ConnectionClosed(5);
    transport.Write(core, 5); // too late: a closed connection wrote nothing more

    // What was not written is back in its place, once.
    std::vector<QByteArray> left;
    for (const TMailItem* item : core.Mail().Items())
        left.push_back(item->Msg);
    EXPECT_EQ(left, (std::vector<QByteArray>{"two", "not yours"}));
    EXPECT_EQ(view.MailRows, 2);
    core.ConnectionAccepted(6, 0x7F000001, 4001);
    core.Login(6, "bob", 0);
    core.DeliverMail(6);
    transport.Write(core, 6);
    EXPECT_EQ(transport.Messages(6), std::vector<QByteArray>{"two"});
    EXPECT_EQ(core.Mail().Count(), 1);
    EXPECT_EQ(view.MailRows, 1);
}

TEST(StoredMail, RecipientThatVanishesBeforeReadingKeepsWhatWasNotWritten) {
    TTestServer server;
    constexpr int kMails = 20;
    std::vector<TMailId> ids;
    for (int i = 0; i < kMails; ++i)
        ids.push_back(
            server.Core()
                .StoreMail("bob", "Admin", QByteArray(900 * 1024, 'm') + QByteArray::number(i))
                ->Id);
    TTestClient bob;
    ASSERT_TRUE(bob.Connect(server.Port()));
    bob.Socket().setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
    ASSERT_TRUE(bob.LoginAs("bob", 1));
    const SocketHandle socket = server.Core().Registry().FindUserByNickname("bob")->Socket;
    bob.StopReading();
    bob.Send(KMS_GETPOST);
    ASSERT_TRUE(WaitUntil([&] {
        return server.Core().Mail().Count() < kMails || server.Core().MailInFlight(ids.front());
    }));
    if (server.Manager().QueuedOffset(socket) == 0)
        GTEST_SKIP() << "the socket layer keeps no write receipts";
    int handed = 0;
    for (const TMailId id : ids)
        handed += server.Core().FindMail(id) == nullptr || server.Core().MailInFlight(id);
    const bool unwritten = server.Manager().QueuedBytes(socket) > 0;
    bob.Socket().abort();
    ASSERT_TRUE(
        WaitUntil([&] { return server.Core().Registry().FindUserBySocket(socket) == nullptr; }));

    // Nothing in flight any more; what is left is the tail of the list, in
    // order, each once, with its row.
    const auto items = server.Core().Mail().Items();
    ASSERT_GE(items.size(), static_cast<size_t>(kMails - handed + (unwritten ? 1 : 0)));
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i]->Id, ids[kMails - items.size() + i]);
        EXPECT_FALSE(server.Core().MailInFlight(items[i]->Id));
    }
    EXPECT_EQ(server.View().MailRows, static_cast<int>(items.size()));
}

TEST(StoredMail, LimitsRefuseClientMailIntoTheErrorLogButNotTheOperators) {
    TTestServer server;
    TStoreLimits& limits = server.Core().StoreLimits;
    limits.MailPerTarget = 2;
    limits.MailBytesTotal = 100;
    TTestClient eve;
    ASSERT_TRUE(eve.Connect(server.Port()));
    ASSERT_TRUE(eve.LoginAs("eve", 1));
    for (const char* text : {"one", "two", "three"})
        eve.Send(KMS_MESSAGE, "BOB", text);
    eve.Send(KMS_MESSAGE, "carol", QByteArray(100, 'x')); // past the total
    eve.Send(KMS_MESSAGE, "dave", "fits");
    ASSERT_TRUE(WaitUntil([&] { return server.View().ClientFailures.size() == 2; }));
    eve.Settle(50);
    EXPECT_EQ(server.Core().Mail().Count(), 3);
    EXPECT_TRUE(eve.Received().empty()); // the sender is told nothing
    const auto& rows = server.View().ClientFailures;
    EXPECT_EQ(rows[0], "Mail for 'BOB' from 'eve' refused: 2 messages already stored for 'BOB'");
    EXPECT_TRUE(rows[1].startsWith("Mail for 'carol' from 'eve' refused: "))
        << rows[1].toStdString();

    // The operator's own mail is not bounded.
    EXPECT_FALSE(server.Core().DeliverOrStoreMail("bob", "Admin", "from the console"));
    EXPECT_EQ(server.Core().Mail().UsageFor("Bob").Count, 3);
}

TEST(StoredLoginLog, LongUserNameIsWrittenCutAndControlsEscaped) {
    TTestServer server("Admin", "pw"); // a wrong password is answered: something to wait for
    LoginLog::EnsureFile(server.Core().LogFile);
    EXPECT_EQ(QFile::permissions(server.Core().LogFile) & 0x0077, 0) << "readable by others";
    TTestClient c;
    ASSERT_TRUE(c.Connect(server.Port()));
    const QByteArray name = QByteArray(1000 * 1000, 'u');
    c.Send(KMS_USER, name, "bad");
    c.Send(KMS_USER, "plain", "bad");
    // Never logged in, and a name that would forge a block of its own.
    c.Send(KMS_USER, "eve\r\n------------------------\r\nUser Name : admin", "bad");
    ASSERT_TRUE(c.WaitFor(3));
    const QByteArray log = ReadAll(server.Core().LogFile);
    EXPECT_TRUE(log.contains("User Name : " + QByteArray(TStoreLimits::kLogTextBytes, 'u') +
                             "...[cut, 1000000 bytes]\r\n"));
    EXPECT_TRUE(log.contains("User Name : plain\r\n"));
    EXPECT_EQ(log.count('\n'), 15); // three blocks of five lines
    const QList<QByteArray> lines = log.split('\n');
    EXPECT_EQ(lines[11], "User Name : eve\\r\\n------------------------\\r\\nUser Name : admin\r");
    EXPECT_EQ(lines[12], "Nickname : \r");
    EXPECT_LT(log.size(), 2000);
}

TEST(StoredLoginLog, AFileMovedAwayOrReplacedIsNoticedAtTheNextBlock) {
    QTemporaryDir dir;
    const QString path = dir.filePath("klog.dat");
    const QString moved = dir.filePath("klog.dat.1");
    LoginLog::EnsureFile(path);
    ASSERT_TRUE(LoginLog::AppendBlock(path, "first", "a"));
    ASSERT_TRUE(QFile::rename(path, moved)); // rotated away
    // Not recreated where nobody asked for it, and nothing more to the old file.
    EXPECT_FALSE(LoginLog::AppendBlock(path, "second", "b"));
    EXPECT_FALSE(QFile::exists(path));
    LoginLog::EnsureFile(path);
    ASSERT_TRUE(LoginLog::AppendBlock(path, "third", "c"));
    EXPECT_EQ(ReadAll(moved).count("User Name"), 1);
    EXPECT_TRUE(ReadAll(path).contains("User Name : third\r\n"));

    // The service has it created; a file written elsewhere is left alone.
    LoginLog::SetCreateMissing(true);
    ASSERT_TRUE(QFile::remove(path));
    EXPECT_TRUE(LoginLog::AppendBlock(path, "fourth", "d"));
    EXPECT_TRUE(LoginLog::AppendBlock(moved, "fifth", "e"));
    LoginLog::SetCreateMissing(false);
    EXPECT_EQ(ReadAll(path).count("User Name"), 1);
    EXPECT_EQ(ReadAll(moved).count("User Name"), 2);
}

class RuntimeSave : public ::testing::Test {
protected:
    QString Path(const char* name) const { return Dir.filePath(QString::fromLatin1(name)); }
    QTemporaryDir Dir;
    TRecordingView View;
};

TEST_F(RuntimeSave, ChangesReachTheFilesSoonAfterwardsDespiteALineTheStoreCannotRead) {
    const QString settings = Path("settings.ini");
    WriteAll(settings, "[General]\n# operator note\nMailfile=" + Path("kmail.dat").toUtf8() +
                           "\nLogfile=" + Path("klog.dat").toUtf8() + "\n");
    auto reg = TRegLink::AtPath(settings);
    TServerRuntime runtime(View, *reg);
    runtime.ReadPaths();
    runtime.LoadStores();
    TServer& core = runtime.Server();

    TBan fields;
    fields.Nick = "eve";
    fields.Nick_On = true;
    const TBanId ban = core.NewBanWithRow(fields)->Id;
    const TMailId mail = core.StoreMail("bob", "eve", "kept")->Id;
    // The mail is on disk at once, where the next start finds it.
    const auto restartedMail = [&] {
        TMailStore store;
        TMailSaver::ReadStored(Path("kmail.dat"), store);
        return store.Count();
    };
    EXPECT_EQ(restartedMail(), 1);
    const auto stored = [&](int bans) {
        return WaitUntil(
            [&] { return TRegLink::AtPath(settings)->ReadInteger("Bans", "Bans", -1) == bans; },
            10000);
    };
    ASSERT_TRUE(stored(1));
    EXPECT_EQ(TRegLink::AtPath(settings)->ReadString("Bans", "1Nick", {}), "eve");
    EXPECT_FALSE(QFile::permissions(settings) & (QFileDevice::ReadGroup | QFileDevice::ReadOther));

    // Later changes are written as well.
    EXPECT_TRUE(core.RemoveBan(ban));
    EXPECT_TRUE(core.RemoveMail(mail));
    EXPECT_EQ(restartedMail(), 0);
    EXPECT_TRUE(stored(0));
    EXPECT_TRUE(View.ClientFailures.empty());
}

TEST_F(RuntimeSave, CloseWritesTheMailWhenTheSettingsFailAndTriesAgainLater) {
    WriteAll(Path("blocked"), "a file where the settings folder should be");
    auto reg = TRegLink::AtPath(Path("blocked/settings.ini"));
    TServerRuntime runtime(View, *reg);
    runtime.Server().LogFile = Path("klog.dat");
    runtime.Server().MailFile = Path("kmail.dat");
    runtime.Server().StoreMail("bob", "eve", "kept");

    QString error;
    EXPECT_FALSE(runtime.SaveState(&error));
    EXPECT_EQ(error, "Failed to set data for 'Bans'");
    EXPECT_TRUE(ReadAll(Path("kmail.dat")).contains("1Msg=kept"));

    ASSERT_TRUE(QFile::remove(Path("blocked")));
    ASSERT_TRUE(QDir(Dir.path()).mkdir("blocked"));
    EXPECT_TRUE(runtime.SaveState(&error)) << error.toStdString();
    EXPECT_EQ(TRegLink::AtPath(Path("blocked/settings.ini"))->ReadString("", "Mailfile", {}),
              Path("kmail.dat"));
}

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
    const auto stored = [&](int bans, const QByteArray& mailLine) {
        return WaitUntil(
            [&] {
                return TRegLink::AtPath(settings)->ReadInteger("Bans", "Bans", -1) == bans &&
                       ReadAll(Path("kmail.dat")).contains(mailLine);
            },
            10000);
    };
    ASSERT_TRUE(stored(1, "1Msg=kept"));
    EXPECT_EQ(TRegLink::AtPath(settings)->ReadString("Bans", "1Nick", {}), "eve");
    EXPECT_FALSE(QFile::permissions(settings) & (QFileDevice::ReadGroup | QFileDevice::ReadOther));

    // Later changes are written as well.
    EXPECT_TRUE(core.RemoveBan(ban));
    EXPECT_TRUE(core.RemoveMail(mail));
    EXPECT_TRUE(stored(0, "Mail=0"));
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

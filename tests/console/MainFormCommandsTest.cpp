// The frame's menus and commands against a running console: broadcast, the
// Kick dialogs, the file choices, the tray, and the close on a signal.
#include "ActiveButton.h"
#include "BanEditor.h"
#include "ConsoleTestSupport.h"
#include "MainForm.h"
#include "OperatorDialogs.h"
#include "ServerLoginForm.h"
#include "TestServer.h"
#include "TrayForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>

namespace kelvra {
namespace {

using test::ModalScript;
using test::Rec;
using test::TTestClient;

class MainFormCommandsTest : public test::ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        Store("Logfile", Dir.filePath("klog.dat"));
        Store("Mailfile", Dir.filePath("kmail.dat"));
        Frame = std::make_unique<TMainForm>();
        ModalScript script;
        script.Then([](QWidget* w) {
            auto* form = qobject_cast<TForm18*>(w);
            if (!form)
                return false;
            QTest::keyClicks(form->Edit1, "Operator");
            form->Edit2->setEditText("0");
            QTest::keyClick(form->Edit2, Qt::Key_Return);
            return true;
        });
        ASSERT_TRUE(Frame->Startup());
        Port = Frame->Runtime().Connections().ListenPort();
    }
    void TearDown() override {
        if (Frame && Frame->IsRunning())
            Frame->CloseForSignal();
        Frame.reset();
    }
    std::unique_ptr<TTestClient> LoggedIn(const QByteArray& nick, int users) {
        auto c = std::make_unique<TTestClient>();
        EXPECT_TRUE(c->Connect(Port));
        EXPECT_TRUE(c->LoginAs(nick, users));
        return c;
    }

    // Made after the settings store has moved to the test's folder.
    std::unique_ptr<TMainForm> Frame;
    uint16_t Port = 0;
};

TEST_F(MainFormCommandsTest, MenuBarReadsAsTheOperatorExpects) {
    QStringList seen;
    for (QAction* top : Frame->menuBar()->actions()) {
        seen << top->text();
        if (top->menu() && top->text() != "&Window")
            for (QAction* item : top->menu()->actions())
                seen << "  " + (item->isSeparator() ? QString("-") : item->text());
    }
    EXPECT_EQ(seen, QStringList({"&File", "  Log Off Without Exit", "  -", "  E&xit", "&Users",
                                 "  &Broadcast Message...", "  -", "  &Kick...",
                                 "  Kick and &Ban...", "  Create Ban Mask...", "&Options",
                                 "  Log File...", "  Mail Storage...", "&Window", "About..."}));
}

TEST_F(MainFormCommandsTest, BroadcastReachesEveryConnectionAndKickFindsItsUser) {
    auto alice = LoggedIn("alice", 1);
    TTestClient unnamed;
    ASSERT_TRUE(unnamed.Connect(Port));
    ASSERT_TRUE(test::WaitUntil([&] { return Frame->Server().Registry().UserCount() == 2; }));
    {
        ModalScript script;
        script.ThenOn<TForm7>([](TForm7* d) {
            QTest::keyClicks(d->Memo1, "two");
            QTest::keyClick(d->Memo1, Qt::Key_Return);
            QTest::keyClicks(d->Memo1, "lines");
            d->CheckBox1->setChecked(true);
            d->ActiveButton1->click();
        });
        Frame->BroadcastMessage1Click();
    }
    // Anonymous changes only Switch: the server nickname stays the sender.
    const TDataPacket expected = Rec(KMC_MESSAGE, "Operator", "two\r\nlines", true);
    ASSERT_TRUE(alice->WaitFor(1));
    EXPECT_EQ(alice->Take(), std::vector<TDataPacket>{expected});
    ASSERT_TRUE(unnamed.WaitFor(1));
    EXPECT_EQ(unnamed.Take(), std::vector<TDataPacket>{expected});

    // Kick by a typed nickname, any case; an unknown one sends nothing.
    for (const char* typed : {"nobody", "ALICE"}) {
        ModalScript script;
        script.ThenOn<TForm8>([typed](TForm8* d) {
            d->ComboBox1->setEditText(typed);
            d->ActiveButton1->click();
        });
        Frame->Kick1Click();
    }
    ASSERT_TRUE(alice->WaitFor(1));
    EXPECT_EQ(alice->Take(), std::vector<TDataPacket>{Rec(KMC_KICK)});
    unnamed.Settle();
    EXPECT_TRUE(unnamed.Received().empty());
}

TEST_F(MainFormCommandsTest, KickAndBanKicksBeforeTheEditorOpens) {
    auto bob = LoggedIn("bob", 1);
    QString caption;
    bool kickedFirst = false;
    {
        ModalScript script;
        script.ThenOn<TForm8>([&](TForm8* d) {
            caption = d->windowTitle();
            d->ComboBox1->setEditText("bob");
            d->ActiveButton1->click();
        });
        script.ThenOn<TForm14>([&](TForm14* d) {
            kickedFirst = bob->WaitFor(1);
            d->ActiveButton1->click();
        });
        Frame->KickandBan1Click();
    }
    EXPECT_EQ(caption, "Kick and Ban");
    EXPECT_TRUE(kickedFirst);
    EXPECT_EQ(bob->Take(), std::vector<TDataPacket>{Rec(KMC_KICK)});
    ASSERT_EQ(Frame->Server().Bans().Count(), 1);
    const TBan& ban = *Frame->Server().Bans().Bans().front();
    EXPECT_EQ(ban.Nick, "bob");
    EXPECT_EQ(ban.Hits, 1);
    EXPECT_EQ(TBanList::DisplayIP(ban), "127.0.0.1");
}

TEST_F(MainFormCommandsTest, ChosenLogFileIsCreatedUsedAtOnceAndSaved) {
    const QString chosen = Dir.filePath("chosen.txt");
    {
        ModalScript script;
        script.ThenOn<QFileDialog>([&](QFileDialog* d) {
            EXPECT_EQ(d->nameFilters(), QStringList({"Text Files (*.txt)", "All Files (*.*)"}));
            d->selectFile(chosen);
            QMetaObject::invokeMethod(d, "accept");
        });
        Frame->Logfile1Click();
    }
    ASSERT_TRUE(QFile::exists(chosen));
    EXPECT_EQ(QFile(chosen).size(), 0);
    auto carol = LoggedIn("carol", 1);
    ASSERT_TRUE(test::WaitUntil([&] { return QFile(chosen).size() > 0; }));

    // A cancelled choice changes nothing.
    {
        ModalScript script;
        script.ThenOn<QFileDialog>([](QFileDialog* d) { d->reject(); });
        Frame->MailStorage1Click();
    }
    EXPECT_EQ(Frame->Server().MailFile, Dir.filePath("kmail.dat"));
    EXPECT_EQ(Frame->CloseForSignal(), 0);
    EXPECT_EQ(Stored("Logfile"), chosen);
}

TEST_F(MainFormCommandsTest, MinimisingHidesIntoTheTrayAndRestoreBringsItBack) {
    TForm5::SetAvailableForTests(true);
    Frame->showMinimized();
    ASSERT_TRUE(test::WaitUntil([&] { return Frame->isHidden(); }));
    TForm5* tray = Frame->TrayForm();
    EXPECT_TRUE(tray->IsActive());
    // A double click arrives as a click and then the double click: the menu
    // of the first must not open and take the second.
    tray->TrayIconClick();
    EXPECT_TRUE(tray->MenuPending());
    tray->TrayIconDblClick();
    EXPECT_FALSE(tray->MenuPending());
    EXPECT_FALSE(tray->PopupMenu1->isVisible());
    EXPECT_TRUE(Frame->isVisible());
    EXPECT_FALSE(Frame->isMinimized());
    EXPECT_FALSE(tray->IsActive());

    // A single click opens the menu once no second click came.
    tray->TrayIconClick();
    EXPECT_FALSE(tray->PopupMenu1->isVisible());
    EXPECT_TRUE(test::WaitUntil([&] { return tray->PopupMenu1->isVisible(); }));
    tray->PopupMenu1->hide();
    tray->TrayIconContextClick();
    EXPECT_TRUE(tray->PopupMenu1->isVisible());
    tray->PopupMenu1->hide();

    // Without a notification area the console stays where the operator can see it.
    TForm5::SetAvailableForTests(false);
    Frame->showMinimized();
    QTest::qWait(30);
    EXPECT_FALSE(Frame->isHidden());
    EXPECT_FALSE(Frame->TrayForm()->IsActive());
}

TEST_F(MainFormCommandsTest, SignalClosesWithoutTheQuestionAndSavesEverything) {
    auto dave = LoggedIn("dave", 1);
    dave->Send(KMS_MESSAGE, "absent", "kept for later");
    ASSERT_TRUE(test::WaitUntil([&] { return Frame->Server().Mail().Count() == 1; }));
    TBan fields;
    fields.Nick = "mallory";
    fields.Nick_On = true;
    Frame->Server().NewBanWithRow(fields);

    EXPECT_EQ(Frame->CloseForSignal(), 0);
    ASSERT_TRUE(dave->WaitFor(1));
    EXPECT_EQ(dave->Take().front(), Rec(KMC_STATUS, "Server is shuting down..."));
    EXPECT_EQ(Stored("Bans/1Nick"), "mallory");
    QFile mail(Dir.filePath("kmail.dat"));
    ASSERT_TRUE(mail.open(QIODevice::ReadOnly));
    EXPECT_TRUE(mail.readAll().contains("kept for later"));
    EXPECT_FALSE(Frame->Runtime().Connections().IsListening());
}

} // namespace
} // namespace kelvra

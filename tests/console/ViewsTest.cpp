// The Users, Chats, Bans and Mail windows fed by a real loopback server:
// what the rows read, enabling, the context menu, and the commands that reach
// clients.
#include "ActiveButton.h"
#include "BanEditor.h"
#include "ConsoleTestSupport.h"
#include "ConsoleView.h"
#include "OperatorDialogs.h"
#include "PicClip.h"
#include "TestServer.h"
#include "ViewBans.h"
#include "ViewChats.h"
#include "ViewMail.h"
#include "ViewUsers.h"

#include <QAction>
#include <QComboBox>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTreeView>

namespace kelvra {
namespace {

using test::Rec;
using test::TTestClient;
using test::WaitUntil;

QString Cell(const TListWindow& w, int row, int column) {
    return w.ListView1->model()->index(row, column).data().toString();
}
int RowCount(const TListWindow& w) {
    return w.ListView1->model()->rowCount();
}
qint64 ImageKey(const TListWindow& w, int row) {
    return w.ListView1->model()->index(row, 0).data(Qt::DecorationRole).value<QIcon>().cacheKey();
}
void Select(TListWindow& w, int row) {
    w.ListView1->setCurrentIndex(w.ListView1->model()->index(row, 0));
}
void RightPress(TListWindow& w, QPoint at) {
    QTest::mousePress(w.ListView1->viewport(), Qt::RightButton, {}, at);
}

// A right press below the rows opens the menu: create enabled, the rest not.
void ExpectMenuWithoutRow(TListWindow& w, QAction* create,
                          std::initializer_list<QAction*> rowOnly) {
    w.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&w));
    w.ListView1->clearSelection();
    RightPress(w, w.ListView1->viewport()->rect().bottomLeft() + QPoint(5, -5));
    EXPECT_TRUE(w.PopupMenu1->isVisible());
    EXPECT_TRUE(create->isEnabled());
    for (QAction* a : rowOnly)
        EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    w.PopupMenu1->hide();
}

// The four windows with a server whose rows go to them.
struct Console {
    Console() { Router.SetListViews(&Users, &Chats, &Bans, &Mail); }
    ~Console() { Router.SetListViews(nullptr, nullptr, nullptr, nullptr); }

    std::unique_ptr<TTestClient> Join(const QByteArray& nick, int expectedUsers) {
        auto client = std::make_unique<TTestClient>();
        EXPECT_TRUE(client->Connect(Server.Port()));
        EXPECT_TRUE(client->LoginAs(nick, expectedUsers));
        return client;
    }

    TConsoleView Router;
    test::TTestServer Server{Router};
    TPicClip Sheet;
    TviewUsers Users{Server.Core(), Sheet};
    TviewChats Chats{Server.Core()};
    TviewBans Bans{Server.Core()};
    TviewMail Mail{Server.Core()};
};

class ViewsTest : public test::ConsoleTest {};

TEST_F(ViewsTest, UsersRowWaitsForUserNameAndGoesWithTheClient) {
    Console c;
    TTestClient alice;
    ASSERT_TRUE(alice.Connect(c.Server.Port()));
    alice.Send(KMS_LOGIN, "alice", "3");
    ASSERT_TRUE(WaitUntil([&] { return RowCount(c.Users) == 1; }));
    EXPECT_EQ(Cell(c.Users, 0, 0), "alice");
    EXPECT_EQ(Cell(c.Users, 0, 1), "Wait...");
    EXPECT_EQ(Cell(c.Users, 0, 4), "127.0.0.1");
    EXPECT_EQ(Cell(c.Users, 0, 5), "3");
    EXPECT_EQ(Cell(c.Users, 0, 7), "Wait...");
    EXPECT_EQ(Cell(c.Users, 0, 3), QString::number(alice.Socket().localPort()));

    alice.Send(KMS_USER, "Alice Smith");
    ASSERT_TRUE(WaitUntil([&] { return Cell(c.Users, 0, 1) == "Alice Smith"; }));
    alice.Socket().abort();
    ASSERT_TRUE(WaitUntil([&] { return RowCount(c.Users) == 0; }));
}

TEST_F(ViewsTest, PingTimesAndIconImages) {
    EXPECT_EQ(TviewUsers::PingText(99), "99 ms");
    EXPECT_EQ(TviewUsers::PingText(100), "0.1 s");
    EXPECT_EQ(TviewUsers::PingText(250), "0.25 s");
    EXPECT_EQ(TviewUsers::PingText(1500), "1.5 s");
    EXPECT_EQ(TviewUsers::PingText(1234567), "1234.567 s");

    Console c;
    const int32_t icons[] = {0, 1, 100, 101, -1};
    for (int i = 0; i < 5; ++i) {
        TConnection user;
        user.Socket = static_cast<SocketHandle>(900 + i);
        user.Order = static_cast<uint64_t>(i + 1);
        user.IconId = icons[i];
        c.Users.AddUserRow(user, QDateTime::currentDateTime());
    }
    ASSERT_EQ(c.Users.ImageList1.size(), 107u);
    EXPECT_EQ(ImageKey(c.Users, 0), c.Users.ImageList1[6].cacheKey());
    EXPECT_EQ(ImageKey(c.Users, 1), c.Users.ImageList1[7].cacheKey());
    EXPECT_EQ(ImageKey(c.Users, 2), c.Users.ImageList1[106].cacheKey());
    EXPECT_EQ(ImageKey(c.Users, 3), 0);
    EXPECT_EQ(ImageKey(c.Users, 4), 0);

    c.Users.SetUserPing(901, 1500);
    EXPECT_EQ(Cell(c.Users, 1, 7), "1.5 s");
    EXPECT_EQ(Cell(c.Users, 0, 7), "Wait...");
    c.Users.RemoveUserRow(900);
    c.Users.SetUserPing(902, 42);
    EXPECT_EQ(Cell(c.Users, 1, 7), "42 ms");

    // The sheet's purple is see-through in every cell.
    EXPECT_EQ(c.Sheet.TransparentColor(), QColor(128, 0, 128));
    EXPECT_EQ(c.Sheet.Cell(99).toImage().pixelColor(0, 15).alpha(), 0);
    EXPECT_EQ(c.Sheet.Cell(99).toImage().pixelColor(1, 1), QColor(255, 0, 0));
    EXPECT_TRUE(c.Sheet.Cell(100).isNull());
}

TEST_F(ViewsTest, ABurstOfRowsIsPaintedOnceTheBurstIsOver) {
    Console c;
    c.Users.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&c.Users));
    for (int i = 0; i < 200; ++i) {
        TConnection user;
        user.Socket = static_cast<SocketHandle>(1000 + i);
        user.Order = static_cast<uint64_t>(i + 1);
        c.Users.AddUserRow(user, QDateTime::currentDateTime());
    }
    // Rows and hit tests follow at once; only the painting waits.
    EXPECT_EQ(RowCount(c.Users), 200);
    EXPECT_TRUE(c.Users.RepaintHeld());
    EXPECT_TRUE(c.Users.ListView1->visualRect(c.Users.ListView1->model()->index(0, 0)).isValid());
    ASSERT_TRUE(WaitUntil([&] { return !c.Users.RepaintHeld(); }));
    EXPECT_TRUE(c.Users.ListView1->updatesEnabled());
    EXPECT_TRUE(c.Users.ListView1->viewport()->updatesEnabled());
}

TEST_F(ViewsTest, CommandsFollowTheSelectionAndTheMenuNeedsOne) {
    Console c;
    auto alice = c.Join("alice", 1);
    auto bob = c.Join("bob", 2);
    c.Users.resize(600, 300);
    c.Users.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&c.Users));

    for (QAction* a :
         {c.Users.SendMessage1, c.Users.Kick1, c.Users.KickandBan1, c.Users.Ping1, c.Users.Remove1})
        EXPECT_FALSE(a->isEnabled()) << a->text().toStdString();
    EXPECT_FALSE(c.Users.ButtonOf(c.Users.Kick1)->isEnabled());
    const QPoint empty = c.Users.ListView1->viewport()->rect().bottomLeft() + QPoint(5, -5);
    RightPress(c.Users, empty);
    EXPECT_FALSE(c.Users.PopupMenu1->isVisible());

    // A right press on a row selects it and opens the menu.
    const QPoint onBob =
        c.Users.ListView1->visualRect(c.Users.ListView1->model()->index(1, 0)).center();
    RightPress(c.Users, onBob);
    EXPECT_EQ(c.Users.SelectedRow(), 1);
    EXPECT_TRUE(c.Users.PopupMenu1->isVisible());
    EXPECT_TRUE(c.Users.ButtonOf(c.Users.Remove1)->isEnabled());
    EXPECT_EQ(c.Users.ButtonOf(c.Users.Remove1)->statusTip(), "Remove");
    c.Users.PopupMenu1->hide();

    // Kick reaches bob only, and leaves nothing selected for a second click.
    alice->Take();
    c.Users.Kick1->trigger();
    ASSERT_TRUE(bob->WaitFor(1));
    EXPECT_EQ(bob->Take(), std::vector<TDataPacket>{Rec(KMC_KICK)});
    alice->Settle();
    EXPECT_TRUE(alice->Received().empty());
    EXPECT_EQ(c.Users.SelectedRow(), -1);
    EXPECT_FALSE(c.Users.Kick1->isEnabled());
    EXPECT_FALSE(c.Users.ButtonOf(c.Users.SendMessage1)->isEnabled());

    // The selected row going does not hand the selection to its neighbour.
    Select(c.Users, 0);
    EXPECT_TRUE(c.Users.Kick1->isEnabled());
    alice->Socket().abort();
    ASSERT_TRUE(WaitUntil([&] { return RowCount(c.Users) == 1; }));
    EXPECT_EQ(c.Users.SelectedRow(), -1);
    EXPECT_FALSE(c.Users.ListView1->currentIndex().isValid());
    EXPECT_FALSE(c.Users.ButtonOf(c.Users.Kick1)->isEnabled());
}

TEST_F(ViewsTest, RemoveClosedByItsCloseBoxEndsTheUserSilently) {
    Console c;
    auto alice = c.Join("alice", 1);
    auto bob = c.Join("bob", 2);
    alice->Send(KMS_CREATE, "den");
    ASSERT_TRUE(WaitUntil([&] { return RowCount(c.Chats) == 1; }));
    bob->Send(KMS_JOIN, "den");
    ASSERT_TRUE(WaitUntil([&] { return Cell(c.Chats, 0, 1) == "2"; }));
    alice->Settle();
    alice->Take();
    bob->Take();
    Select(c.Users, 1);
    {
        test::ModalScript script;
        script.ThenOn<TForm13>([](TForm13* d) { d->close(); });
        c.Users.Remove1->trigger();
    }
    EXPECT_EQ(RowCount(c.Users), 1);
    EXPECT_EQ(Cell(c.Users, 0, 0), "alice");
    EXPECT_EQ(c.Server.Core().Registry().UserCount(), 1);
    // No chat refers to the ended record any more.
    EXPECT_EQ(Cell(c.Chats, 0, 1), "1");
    EXPECT_EQ(c.Server.Core().Registry().FindChatByName("den")->MemberCount(), 1);

    // Nobody is told, bob stays connected, and what he sends is not read.
    bob->Send(KMS_SERVERNICK);
    bob->Settle(150);
    EXPECT_TRUE(bob->Connected());
    EXPECT_TRUE(bob->Received().empty());
    EXPECT_TRUE(alice->Received().empty());
}

TEST_F(ViewsTest, RemoveLeavesAUserAloneThatQuitWhileTheDialogWasOpen) {
    Console c;
    auto alice = c.Join("alice", 1);
    auto bob = c.Join("bob", 2);
    alice->Take();
    Select(c.Users, 1);
    {
        test::ModalScript script;
        script.ThenOn<TForm13>([&](TForm13* d) {
            bob->Socket().abort();
            EXPECT_TRUE(WaitUntil([&] { return RowCount(c.Users) == 1; }));
            d->done(MrYes);
        });
        c.Users.Remove1->trigger();
    }
    EXPECT_EQ(RowCount(c.Users), 1);
    EXPECT_EQ(c.Server.Core().Registry().UserCount(), 1);
    alice->Send(KMS_SERVERNICK);
    ASSERT_TRUE(alice->WaitFor(2));
    EXPECT_EQ(alice->Take(),
              (std::vector<TDataPacket>{Rec(KMC_DELUSER, "bob"), Rec(KMC_SERVERNICK, "Admin")}));
}

TEST_F(ViewsTest, SendMailAndKickAndBanActOnTheSelectedUser) {
    Console c;
    auto alice = c.Join("alice", 1);
    auto bob = c.Join("bob", 2);
    Select(c.Users, 1);
    {
        test::ModalScript script;
        script.ThenOn<TForm9>([](TForm9* d) {
            EXPECT_EQ(d->To(), "bob");
            d->Memo1->setPlainText("hello\nthere");
            d->ActiveButton1->Click();
        });
        c.Users.SendMessage1->trigger();
    }
    ASSERT_TRUE(bob->WaitFor(1));
    EXPECT_EQ(bob->Take(), std::vector<TDataPacket>{Rec(KMC_MESSAGE, "Admin", "hello\r\nthere")});

    // The kick is out before the editor opens; cancelling it keeps the kick.
    {
        test::ModalScript script;
        script.ThenOn<TForm14>([&](TForm14* d) {
            EXPECT_TRUE(bob->WaitFor(1));
            EXPECT_EQ(d->ComboBox1->currentText(), "bob");
            d->reject();
        });
        c.Users.KickandBan1->trigger();
    }
    EXPECT_EQ(bob->Take(), std::vector<TDataPacket>{Rec(KMC_KICK)});
    EXPECT_EQ(RowCount(c.Bans), 0);
}

TEST_F(ViewsTest, BanRowsFollowTheBanList) {
    Console c;
    TBan fields;
    fields.Nick = "Bob";
    fields.Nick_On = true;
    fields.IP1_On = true;
    fields.IP1 = 10;
    fields.Comment = "flood";
    TServer& server = c.Server.Core();
    const TBanId first = server.NewBanWithRow(fields)->Id;
    fields.Nick_On = false;
    server.NewBanWithRow(fields);
    ASSERT_EQ(RowCount(c.Bans), 2);
    EXPECT_EQ(Cell(c.Bans, 0, 0), "bob");
    EXPECT_EQ(Cell(c.Bans, 0, 1), "10.*.*.*");
    EXPECT_EQ(Cell(c.Bans, 0, 3), "flood");
    EXPECT_EQ(Cell(c.Bans, 1, 0), "*");
    server.RecordBanHit(server.FindBanById(first));
    EXPECT_EQ(Cell(c.Bans, 0, 2), "1");

    // Editing and cancelling moves the row to the end.
    EXPECT_TRUE(c.Bans.CreateBanAction()->isEnabled());
    EXPECT_FALSE(c.Bans.EditBan1->isEnabled());
    Select(c.Bans, 0);
    {
        test::ModalScript script;
        script.ThenOn<TForm14>([&](TForm14* d) {
            EXPECT_EQ(RowCount(c.Bans), 1);
            d->reject();
        });
        c.Bans.EditBan1->trigger();
    }
    ASSERT_EQ(RowCount(c.Bans), 2);
    EXPECT_EQ(Cell(c.Bans, 1, 0), "bob");

    Select(c.Bans, 1);
    c.Bans.RemoveBan1->trigger();
    EXPECT_EQ(RowCount(c.Bans), 1);
    EXPECT_EQ(server.Bans().Count(), 1);
    EXPECT_EQ(server.FindBanById(first), nullptr);
    EXPECT_EQ(c.Bans.SelectedRow(), -1);
    EXPECT_FALSE(c.Bans.ButtonOf(c.Bans.RemoveBan1)->isEnabled());

    // The menu opens without a selection, with only Create enabled.
    ExpectMenuWithoutRow(c.Bans, c.Bans.CreateBan1, {c.Bans.EditBan1, c.Bans.RemoveBan1});
}

TEST_F(ViewsTest, ChatRowsCountMembersAndKillChatAsksEachEntryToLeave) {
    Console c;
    auto alice = c.Join("alice", 1);
    auto bob = c.Join("bob", 2);
    alice->Send(KMS_CREATE, "den", {}, true);
    ASSERT_TRUE(WaitUntil([&] { return RowCount(c.Chats) == 1; }));
    EXPECT_EQ(Cell(c.Chats, 0, 0), "den");
    EXPECT_EQ(Cell(c.Chats, 0, 1), "1");
    EXPECT_EQ(Cell(c.Chats, 0, 2), "Yes");
    EXPECT_EQ(ImageKey(c.Chats, 0), c.Chats.ImageList1[1].cacheKey());

    bob->Send(KMS_JOIN, "den", {}, true);
    ASSERT_TRUE(WaitUntil([&] { return Cell(c.Chats, 0, 1) == "2"; }));
    alice->Take();
    bob->Take();

    EXPECT_FALSE(c.Chats.KillChat1->isEnabled());
    Select(c.Chats, 0);
    c.Chats.KillChat1->trigger();
    ASSERT_TRUE(alice->WaitFor(1));
    ASSERT_TRUE(bob->WaitFor(1));
    alice->Settle();
    EXPECT_EQ(alice->Take(), std::vector<TDataPacket>{Rec(KMC_BYE, "den")});
    EXPECT_EQ(bob->Take(), std::vector<TDataPacket>{Rec(KMC_BYE, "den")});
    EXPECT_EQ(RowCount(c.Chats), 1);

    // A connection that just closes leaves the count right too.
    bob->Socket().abort();
    ASSERT_TRUE(WaitUntil([&] { return Cell(c.Chats, 0, 1) == "1"; }));
    alice->Send(KMS_QUITCHAT, "den");
    ASSERT_TRUE(WaitUntil([&] { return RowCount(c.Chats) == 0; }));
}

TEST_F(ViewsTest, StoredMailHasARowUntilDeleted) {
    Console c;
    auto alice = c.Join("alice", 1);
    alice->Send(KMS_MESSAGE, "nobody", "first line\r\nsecond line");
    ASSERT_TRUE(WaitUntil([&] { return RowCount(c.Mail) == 1; }));
    EXPECT_EQ(Cell(c.Mail, 0, 0), "nobody");
    EXPECT_EQ(Cell(c.Mail, 0, 1), "alice");
    EXPECT_FALSE(Cell(c.Mail, 0, 2).contains('\n'));
    EXPECT_TRUE(Cell(c.Mail, 0, 2).startsWith("first line"));
    EXPECT_TRUE(Cell(c.Mail, 0, 2).endsWith("second line"));

    EXPECT_TRUE(c.Mail.CreateMail1->isEnabled());
    EXPECT_FALSE(c.Mail.DeleteMail1->isEnabled());
    Select(c.Mail, 0);
    c.Mail.DeleteMail1->trigger();
    EXPECT_EQ(RowCount(c.Mail), 0);
    EXPECT_EQ(c.Server.Core().Mail().Count(), 0);
    EXPECT_FALSE(c.Mail.DeleteMail1->isEnabled());
    ExpectMenuWithoutRow(c.Mail, c.Mail.CreateMail1, {c.Mail.EditMail1, c.Mail.DeleteMail1});
}

} // namespace
} // namespace kelvra

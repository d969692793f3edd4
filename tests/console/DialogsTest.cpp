// The numeric field, the operator's small dialogs, the ban editor and the
// mail editor, driven as the operator would, against a real loopback server
// where the result reaches clients.
#include "ActiveButton.h"
#include "BanEditor.h"
#include "ConsoleTestSupport.h"
#include "EditMessageForm.h"
#include "NumberEdit.h"
#include "OperatorDialogs.h"
#include "TestServer.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <algorithm>

namespace kelvra {
namespace {

using test::ModalScript;
using test::Rec;
using test::TTestClient;
using test::TTestServer;

void Click(QWidget* button) {
    QTest::mouseClick(button, Qt::LeftButton);
}

void FocusOut(QWidget* w) {
    QFocusEvent out(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(w, &out);
}

TEST(NumberEditTest, TypingSteppingAndLimits) {
    TNumberEdit edit;
    EXPECT_EQ(edit.text(), "0");
    QTest::keyClick(&edit, Qt::Key_A);
    QTest::keyClick(&edit, Qt::Key_Period);
    EXPECT_EQ(edit.text(), "0");

    edit.SetMinValue(3);
    edit.SetMaxValue(255);
    edit.clear();
    QTest::keyClick(&edit, Qt::Key_Minus);
    EXPECT_EQ(edit.text(), "-");
    EXPECT_EQ(edit.Value(), 3);

    edit.clear();
    QTest::keyClicks(&edit, "300");
    EXPECT_EQ(edit.Value(), 300);
    FocusOut(&edit);
    EXPECT_EQ(edit.text(), "255");

    edit.SetValue(5);
    QTest::keyClick(&edit, Qt::Key_Up);
    EXPECT_EQ(edit.text(), "6");
    QTest::keyClick(&edit, Qt::Key_Down);
    QTest::keyClick(&edit, Qt::Key_Down);
    EXPECT_EQ(edit.text(), "4");
    edit.setReadOnly(true);
    QTest::keyClick(&edit, Qt::Key_Up);
    EXPECT_EQ(edit.text(), "4");

    // Equal limits mean none.
    TNumberEdit free;
    free.SetValue(-1000);
    FocusOut(&free);
    EXPECT_EQ(free.text(), "-1000");
}

TEST(OperatorDialogsTest, EnterAndEscapePressNoButtonAndMemosKeepLines) {
    TTestServer server;
    TTestClient bob, anonymous;
    ASSERT_TRUE(bob.Connect(server.Port()));
    ASSERT_TRUE(bob.LoginAs("bob", 1));
    ASSERT_TRUE(anonymous.Connect(server.Port()));
    ASSERT_TRUE(test::WaitUntil([&] { return server.Core().Registry().UserCount() == 2; }));

    TForm8 kick(server.Core().Registry());
    kick.show();
    ASSERT_EQ(kick.ComboBox1->count(), 2);
    EXPECT_EQ(kick.ComboBox1->itemText(0), "bob");
    EXPECT_EQ(kick.ComboBox1->itemText(1), "");
    EXPECT_EQ(kick.Nickname(), "");
    QTest::keyClicks(kick.ComboBox1->lineEdit(), "carol");
    QTest::keyClick(kick.ComboBox1->lineEdit(), Qt::Key_Return);
    QTest::keyClick(kick.ComboBox1, Qt::Key_Escape);
    EXPECT_TRUE(kick.isVisible());
    EXPECT_EQ(kick.ComboBox1->count(), 2);
    EXPECT_EQ(kick.Nickname(), "carol");

    TForm9 send(server.Core().Registry());
    send.show();
    QTest::keyClicks(send.Memo1, "one");
    QTest::keyClick(send.Memo1, Qt::Key_Return);
    QTest::keyClicks(send.Memo1, "two");
    EXPECT_TRUE(send.isVisible());
    EXPECT_EQ(send.Text(), "one\r\ntwo");
}

TEST(OperatorDialogsTest, RemoveAnswersYesNoOrCancelForTheCloseBox) {
    auto answer = [](std::function<void(TForm13*)> act) {
        TForm13 form(QStringLiteral("Sure?"));
        ModalScript script;
        script.ThenOn<TForm13>(act);
        return form.exec();
    };
    EXPECT_EQ(answer([](TForm13* f) { Click(f->ActiveButton1); }), MrYes);
    EXPECT_EQ(answer([](TForm13* f) { Click(f->ActiveButton2); }), MrNo);
    EXPECT_EQ(answer([](TForm13* f) { f->close(); }), MrCancel);
}

TEST(BanEditorTest, CheckBoxesEnableTheirBoxesAndOkNeedsANickname) {
    TRegistry users;
    TForm14 form(users);
    form.show();
    form.CheckBox2->click();
    EXPECT_FALSE(form.NumberEdit2->isEnabled());
    EXPECT_TRUE(form.NumberEdit1->isEnabled());

    TBan shown;
    shown.Nick_On = false;
    shown.IP2_On = true;
    form.ShowBan(shown);
    EXPECT_FALSE(form.ComboBox1->isEnabled());
    EXPECT_TRUE(form.NumberEdit2->isEnabled());
    EXPECT_FALSE(form.NumberEdit3->isEnabled());

    form.CheckBox5->click();
    form.ComboBox1->setEditText("  ");
    Click(form.ActiveButton1);
    EXPECT_TRUE(form.isVisible());
    form.CheckBox5->click();
    Click(form.ActiveButton1);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), MrOk);
}

TEST(BanEditorTest, FillingReducesOctetsAndStopsAtTheFirstBadBox) {
    TRegistry users;
    TForm14 form(users);
    form.NumberEdit1->setText("300");
    form.CheckBox2->click();
    form.NumberEdit3->setText("-1");
    form.NumberEdit4->setText("12");
    form.ComboBox1->setEditText(" Troll ");
    form.CheckBox5->click();
    form.Edit1->setText(" why ");

    TBan ban;
    ban.IP2 = 7;
    ban.Hits = 4;
    QString error;
    ASSERT_TRUE(form.FillBan(ban, true, &error));
    EXPECT_EQ(ban.IP1, 44);
    EXPECT_FALSE(ban.IP2_On);
    EXPECT_EQ(ban.IP2, 7); // a switched-off octet keeps its value
    EXPECT_EQ(ban.IP3, 255);
    EXPECT_EQ(ban.IP4, 12);
    EXPECT_EQ(ban.Hits, 5);
    EXPECT_EQ(ban.Comment, " why ");
    EXPECT_EQ(ban.Nick, "*");
    EXPECT_FALSE(ban.Nick_On);

    form.CheckBox5->click();
    form.NumberEdit3->clear();
    TBan partial;
    EXPECT_FALSE(form.FillBan(partial, true, &error));
    EXPECT_EQ(error, "'' is not a valid integer value");
    EXPECT_EQ(partial.IP1, 44);
    EXPECT_EQ(partial.Hits, 0);
    EXPECT_EQ(partial.Nick, "");

    TBan whole;
    form.NumberEdit3->setText("9");
    ASSERT_TRUE(form.FillBan(whole, false, &error));
    EXPECT_EQ(whole.Nick, " Troll "); // untrimmed
    EXPECT_TRUE(whole.Nick_On);
}

// The Bans view's rows, in order, by ban id.
class TBanRows : public TQuietView {
public:
    void AddBanRow(const TBan& ban) override { Rows.push_back(ban.Id); }
    void RemoveBanRow(const TBan& ban) override {
        Rows.erase(std::remove(Rows.begin(), Rows.end(), ban.Id), Rows.end());
    }
    std::vector<TBanId> Rows;
};

class BanEditorServerTest : public test::ConsoleTest {
protected:
    TBanRows View;
    TTestServer Server{View};
    TServer& Core() { return Server.Core(); }
};

TEST_F(BanEditorServerTest, ANewBanJoinsTheListOnlyOnOk) {
    ModalScript cancel;
    cancel.ThenOn<TForm14>([](TForm14* f) {
        f->ComboBox1->setEditText("troll");
        Click(f->ActiveButton2);
    });
    ShowBanEditor(Core(), {}, 0, nullptr);
    EXPECT_EQ(Core().Bans().Count(), 0);
    EXPECT_TRUE(View.Rows.empty());

    ModalScript ok;
    ok.ThenOn<TForm14>([](TForm14* f) {
        EXPECT_EQ(f->windowTitle(), "Ban");
        for (QCheckBox* box : {f->CheckBox1, f->CheckBox2, f->CheckBox3, f->CheckBox4})
            box->click();
        f->ComboBox1->setEditText("troll");
        Click(f->ActiveButton1);
    });
    ShowBanEditor(Core(), {}, 0, nullptr);
    ASSERT_EQ(Core().Bans().Count(), 1);
    const TBan& ban = *Core().Bans().Bans().front();
    EXPECT_EQ(View.Rows, std::vector<TBanId>{ban.Id});
    EXPECT_EQ(ban.Hits, 0);

    TTestClient c;
    ASSERT_TRUE(c.Connect(Server.Port()));
    c.Send(KMS_LOGIN, "TROLL", "0");
    ASSERT_TRUE(c.WaitFor(1));
    EXPECT_EQ(c.Received().front(), Rec(KMC_BANNED));
}

TEST_F(BanEditorServerTest, KickAndBanPrefillsFromTheUserAndCountsItsHit) {
    TTestClient bob;
    ASSERT_TRUE(bob.Connect(Server.Port()));
    ASSERT_TRUE(bob.LoginAs("bob", 1));
    const TUserHandle handle = Core().Registry().Users().front()->Handle();

    QStringList octets;
    ModalScript script;
    script.ThenOn<TForm14>([&](TForm14* f) {
        EXPECT_EQ(f->ComboBox1->currentText(), "bob");
        for (TNumberEdit* e : {f->NumberEdit1, f->NumberEdit2, f->NumberEdit3, f->NumberEdit4})
            octets << e->text();
        Click(f->ActiveButton1);
    });
    ShowBanEditor(Core(), handle, 0, nullptr);
    EXPECT_EQ(octets, (QStringList{"127", "0", "0", "1"}));
    ASSERT_EQ(Core().Bans().Count(), 1);
    const TBan& ban = *Core().Bans().Bans().front();
    EXPECT_EQ(ban.Nick, "bob");
    EXPECT_TRUE(ban.Nick_On && ban.IP1_On && ban.IP4_On);
    EXPECT_EQ(ban.IP1, 127);
    EXPECT_EQ(ban.IP4, 1);
    EXPECT_EQ(ban.Hits, 1);
}

TEST_F(BanEditorServerTest, EditingKeepsARowAndPutsItLast) {
    TBan fields;
    fields.Nick = "a";
    fields.Nick_On = true;
    fields.IP1_On = fields.IP2_On = true;
    const TBanId first = Core().NewBanWithRow(fields)->Id;
    const TBanId second = Core().NewBanWithRow(fields)->Id;

    ModalScript cancel;
    cancel.ThenOn<TForm14>([&](TForm14* f) {
        EXPECT_EQ(f->windowTitle(), "EditBan");
        EXPECT_EQ(View.Rows, std::vector<TBanId>{second}); // hidden while edited
        f->ComboBox1->setEditText("changed");
        Click(f->ActiveButton2);
    });
    ShowBanEditor(Core(), {}, first, nullptr);
    EXPECT_EQ(View.Rows, (std::vector<TBanId>{second, first}));
    EXPECT_EQ(Core().FindBanById(first)->Nick, "a");

    // A bad octet still returns the row, after filling what came before it.
    test::SeenBox seen;
    ModalScript bad;
    bad.ThenOn<TForm14>([](TForm14* f) {
        f->NumberEdit1->setText("300");
        f->NumberEdit2->setText("x");
        Click(f->ActiveButton1);
    });
    bad.ThenBox(&seen);
    ShowBanEditor(Core(), {}, second, nullptr);
    EXPECT_EQ(seen.Text, "'x' is not a valid integer value.");
    EXPECT_EQ(View.Rows, (std::vector<TBanId>{first, second}));
    EXPECT_EQ(Core().FindBanById(second)->IP1, 44);
    EXPECT_EQ(Core().FindBanById(second)->Nick, "a");

    // Removed while open: nothing comes back.
    ModalScript gone;
    gone.ThenOn<TForm14>([&](TForm14* f) {
        Core().RemoveBan(first);
        Click(f->ActiveButton1);
    });
    ShowBanEditor(Core(), {}, first, nullptr);
    EXPECT_EQ(View.Rows, std::vector<TBanId>{second});
}

class EditMessageTest : public test::ConsoleTest {};

TEST_F(EditMessageTest, OkFollowsTheMessageBoxNotTheDropDowns) {
    TRegistry users;
    TForm16 form(users);
    form.show();
    EXPECT_FALSE(form.ActiveButton1->isEnabled());
    QTest::keyClicks(form.ComboBox1->lineEdit(), "bob");
    QTest::keyClicks(form.ComboBox2->lineEdit(), "op");
    EXPECT_FALSE(form.ActiveButton1->isEnabled());
    QTest::keyClicks(form.Memo1, " ");
    EXPECT_FALSE(form.ActiveButton1->isEnabled());
    QTest::keyClicks(form.Memo1, "hi");
    EXPECT_TRUE(form.ActiveButton1->isEnabled());
    form.ComboBox2->setEditText(" ");
    EXPECT_TRUE(form.ActiveButton1->isEnabled());

    TForm16 filled(users);
    filled.SetFields("bob", "op", "line 1\r\nline 2");
    filled.show();
    EXPECT_TRUE(filled.ActiveButton1->isEnabled());
    EXPECT_EQ(filled.Message(), "line 1\r\nline 2");
}

TEST_F(EditMessageTest, EditedMailGoesToAConnectedTargetAtOnce) {
    TTestServer server;
    const TMailId id = server.Core().StoreMail("bob", "op", "hello")->Id;
    TTestClient bob;
    ASSERT_TRUE(bob.Connect(server.Port()));
    ASSERT_TRUE(bob.LoginAs("BOB", 1));

    ModalScript script;
    script.ThenOn<TForm16>([](TForm16* f) {
        EXPECT_EQ(f->Target(), "bob");
        Click(f->ActiveButton1);
    });
    EXPECT_TRUE(EditMail(server.Core(), id, nullptr));
    ASSERT_TRUE(bob.WaitFor(1));
    EXPECT_EQ(bob.Received().front(), Rec(KMC_MESSAGE, "op", "hello"));
    EXPECT_EQ(server.Core().Mail().Count(), 0);
}

TEST_F(EditMessageTest, MailThatWentWhileOpenIsLeftAloneAndTheEditIsStored) {
    TTestServer server;
    const TMailId id = server.Core().StoreMail("carol", "op", "old")->Id;
    const TMailId other = server.Core().StoreMail("dave", "op", "keep")->Id;

    ModalScript script;
    script.ThenOn<TForm16>([&](TForm16* f) {
        server.Core().RemoveMail(id);
        f->Memo1->setPlainText("new");
        Click(f->ActiveButton1);
    });
    EXPECT_TRUE(EditMail(server.Core(), id, nullptr));
    const std::vector<TMailItem*> items = server.Core().Mail().Items();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->Id, other);
    EXPECT_EQ(items[1]->Msg, "new");
    EXPECT_EQ(items[1]->Target, "carol");

    EXPECT_FALSE(EditMail(server.Core(), id, nullptr)); // gone before it opened
}

} // namespace
} // namespace kelvra

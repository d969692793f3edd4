// The Server Login and Server Configuration dialogs, driven as the operator
// would, and exactly what they leave in the settings store.
#include "ServerLoginForm.h"
#include "ActiveButton.h"
#include "ConsoleTestSupport.h"
#include "RegLink.h"
#include "ServerConfigForm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

namespace kelvra {
namespace {

using test::ModalScript;

class ServerLoginFormTest : public test::ConsoleTest {
protected:
    // A dialog over the current store, shown as the operator sees it.
    std::unique_ptr<TForm18> Open() {
        Reg = std::make_unique<TRegLink>();
        auto form = std::make_unique<TForm18>(*Reg);
        form->show();
        return form;
    }
    static void SetPort(TForm18& form, const QString& text) {
        form.Edit2->lineEdit()->selectAll();
        if (text.isEmpty())
            QTest::keyClick(form.Edit2->lineEdit(), Qt::Key_Delete);
        else
            QTest::keyClicks(form.Edit2->lineEdit(), text);
    }

    std::unique_ptr<TRegLink> Reg;
};

TEST_F(ServerLoginFormTest, FirstStartOffersPort1024AndStoresOnePreset) {
    auto form = Open();
    EXPECT_EQ(form->windowTitle(), "Splash Form");
    EXPECT_EQ(form->Edit2->currentText(), "1024");
    EXPECT_EQ(form->BindAddress(), "<Any Connection>");
    EXPECT_FALSE(form->ActiveButton1->isEnabled());

    QTest::keyClicks(form->Edit1, "  Op ");
    ASSERT_TRUE(form->ActiveButton1->isEnabled());
    QTest::mouseClick(form->ActiveButton1, Qt::LeftButton);

    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(form->Nickname(), QByteArray("  Op ")); // as typed, not trimmed
    EXPECT_EQ(form->Port(), "1024");
    EXPECT_EQ(Stored("Main/Home"), "<Any Connection>");
    EXPECT_TRUE(HasStored("Main/Password"));
    EXPECT_EQ(Stored("Main/Password"), "");
    EXPECT_EQ(StoredKeys("Ports"), (QStringList{"Def", "Num", "Preset1"}));
    EXPECT_EQ(Stored("Ports/Num"), "1");
    EXPECT_EQ(Stored("Ports/Preset1"), "1024");
    EXPECT_EQ(Stored("Ports/Def"), "1");
}

TEST_F(ServerLoginFormTest, OkNeedsANicknameAndAPortBeyondBlanks) {
    auto form = Open();
    QTest::keyClicks(form->Edit1, "   \t");
    EXPECT_FALSE(form->ActiveButton1->isEnabled());
    form->Edit1->setText(QString(QChar(1)) + " ");
    EXPECT_FALSE(form->ActiveButton1->isEnabled());

    // Enter with only blanks does nothing.
    QTest::keyClick(form->Edit1, Qt::Key_Return);
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(HasStored("Ports/Num"));

    form->Edit1->setText("Op");
    EXPECT_TRUE(form->ActiveButton1->isEnabled());
    SetPort(*form, " ");
    EXPECT_FALSE(form->ActiveButton1->isEnabled());
    SetPort(*form, "2000");
    EXPECT_TRUE(form->ActiveButton1->isEnabled());
}

TEST_F(ServerLoginFormTest, EnterInThePortFieldPressesOkEvenWithoutAPort) {
    auto form = Open();
    QTest::keyClicks(form->Edit1, "Op");
    SetPort(*form, "");
    EXPECT_FALSE(form->ActiveButton1->isEnabled());
    QTest::keyClick(form->Edit2, Qt::Key_Enter);

    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(form->Port(), "");
    // A port that cannot be opened is not kept as a preset.
    EXPECT_EQ(Stored("Ports/Num"), "0");
    EXPECT_FALSE(HasStored("Ports/Preset1"));
    EXPECT_FALSE(HasStored("Ports/Def"));
}

TEST_F(ServerLoginFormTest, StoredPresetsAreOfferedAndANewPortIsAppended) {
    Store("Ports/Num", "2");
    Store("Ports/Preset1", "1024");
    Store("Ports/Preset2", "2000");
    Store("Ports/Def", "2");
    auto form = Open();
    EXPECT_EQ(form->Edit2->count(), 2);
    EXPECT_EQ(form->Edit2->currentText(), "2000");

    QTest::keyClicks(form->Edit1, "Op");
    SetPort(*form, "3000");
    QTest::keyClick(form->Edit1, Qt::Key_Return);

    EXPECT_EQ(form->result(), QDialog::Accepted);
    EXPECT_EQ(Stored("Ports/Num"), "3");
    EXPECT_EQ(Stored("Ports/Preset1"), "1024");
    EXPECT_EQ(Stored("Ports/Preset2"), "2000");
    EXPECT_EQ(Stored("Ports/Preset3"), "3000");
    EXPECT_EQ(Stored("Ports/Def"), "3");
}

TEST_F(ServerLoginFormTest, DefIsTheLastPresetEqualToThePortAndBadPortsAreNotKept) {
    Store("Ports/Num", "3");
    Store("Ports/Preset1", "2000");
    Store("Ports/Preset2", "3000");
    Store("Ports/Preset3", "2000");
    Store("Ports/Def", "2");
    auto form = Open();
    QTest::keyClicks(form->Edit1, "Op");
    SetPort(*form, "99999");
    QTest::mouseClick(form->ActiveButton1, Qt::LeftButton);
    EXPECT_EQ(Stored("Ports/Num"), "3");
    EXPECT_FALSE(HasStored("Ports/Preset4"));
    EXPECT_EQ(Stored("Ports/Def"), "2");

    auto again = Open();
    QTest::keyClicks(again->Edit1, "Op");
    SetPort(*again, "2000");
    QTest::mouseClick(again->ActiveButton1, Qt::LeftButton);
    EXPECT_EQ(Stored("Ports/Num"), "3");
    EXPECT_EQ(Stored("Ports/Def"), "3");
}

TEST_F(ServerLoginFormTest, UnusablePresetChoicesFallBack) {
    // A Def naming no preset shows the first one.
    Store("Ports/Num", "2");
    Store("Ports/Preset1", "1500");
    Store("Ports/Preset2", "2000");
    Store("Ports/Def", "7");
    EXPECT_EQ(Open()->Edit2->currentText(), "1500");

    // Leftovers beyond the count are ignored.
    Store("Ports/Num", "0");
    auto form = Open();
    EXPECT_EQ(form->Edit2->count(), 0);
    EXPECT_EQ(form->Edit2->currentText(), "1024");

    // An empty preset gives the default port.
    Store("Ports/Num", "1");
    Store("Ports/Preset1", "");
    EXPECT_EQ(Open()->Edit2->currentText(), "1024");
}

TEST_F(ServerLoginFormTest, AHomeAddressTheMachineLacksBecomesAnyConnection) {
    Store("Main/Home", "10.254.253.252");
    auto form = Open();
    ASSERT_FALSE(form->Addresses().contains("10.254.253.252"));
    EXPECT_EQ(form->Addresses().value(0), "<Any Connection>");
    EXPECT_EQ(form->BindAddress(), "<Any Connection>");
    QTest::keyClicks(form->Edit1, "Op");
    QTest::mouseClick(form->ActiveButton1, Qt::LeftButton);
    EXPECT_EQ(Stored("Main/Home"), "<Any Connection>");
}

TEST_F(ServerLoginFormTest, CancelWritesNothing) {
    auto form = Open();
    QTest::keyClicks(form->Edit1, "Op");
    QTest::mouseClick(form->ActiveButton2, Qt::LeftButton);
    EXPECT_EQ(form->result(), QDialog::Rejected);
    EXPECT_FALSE(QFile::exists(SettingsFile()));
}

TEST_F(ServerLoginFormTest, ConfigUntickingThePasswordStoresAnEmptyOne) {
    Store("Main/Password", "secret");
    auto form = Open();
    bool wasTicked = false;
    QString shownPassword;
    ModalScript script;
    script.ThenOn<TForm19>([&](TForm19* config) {
        wasTicked = config->CheckBox1->isChecked();
        shownPassword = config->Edit1->text();
        QTest::mouseClick(config->CheckBox1, Qt::LeftButton);
        QTest::mouseClick(config->ActiveButton1, Qt::LeftButton);
    });
    QTest::mouseClick(form->ActiveButton3, Qt::LeftButton);
    EXPECT_TRUE(wasTicked);
    EXPECT_EQ(shownPassword, "secret");
    EXPECT_TRUE(form->Password().isEmpty());
    // Nothing is written until OK in the login dialog.
    EXPECT_EQ(Stored("Main/Password"), "secret");

    QTest::keyClicks(form->Edit1, "Op");
    QTest::mouseClick(form->ActiveButton1, Qt::LeftButton);
    EXPECT_TRUE(HasStored("Main/Password"));
    EXPECT_EQ(Stored("Main/Password"), "");
}

TEST_F(ServerLoginFormTest, ConfigCancelKeepsTheAnswers) {
    auto form = Open();
    ModalScript script;
    script.ThenOn<TForm19>([](TForm19* config) {
        config->CheckBox1->setChecked(true);
        config->Edit1->setText("changed");
        QTest::mouseClick(config->ActiveButton2, Qt::LeftButton);
    });
    QTest::mouseClick(form->ActiveButton3, Qt::LeftButton);
    EXPECT_TRUE(form->Password().isEmpty());
    EXPECT_EQ(form->BindAddress(), "<Any Connection>");
}

TEST(ServerConfigFormTest, PasswordBoxSwitchesTheEditAtOnce) {
    const QStringList addresses{"<Any Connection>", "10.0.0.5", "192.168.1.9"};
    TForm19 form(addresses, "", "", nullptr);
    form.show();
    EXPECT_EQ(form.windowTitle(), "Server Configuration");
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::Tool));
    EXPECT_FALSE(form.ComboBox1->isEditable());
    EXPECT_FALSE(form.CheckBox1->isChecked());
    EXPECT_FALSE(form.Edit1->isEnabled());
    const QPalette& app = QApplication::palette();
    EXPECT_EQ(form.Edit1->palette().color(QPalette::Base), app.color(QPalette::Button));

    QTest::mouseClick(form.CheckBox1, Qt::LeftButton);
    EXPECT_TRUE(form.Edit1->isEnabled());
    EXPECT_EQ(form.Edit1->palette().color(QPalette::Base), app.color(QPalette::Base));
    QTest::keyClicks(form.Edit1, "pw");
    EXPECT_EQ(form.Password(), "pw");
    EXPECT_EQ(form.Edit1->echoMode(), QLineEdit::Password);

    // Unticked, the typed text no longer counts.
    QTest::mouseClick(form.CheckBox1, Qt::LeftButton);
    EXPECT_FALSE(form.Edit1->isEnabled());
    EXPECT_TRUE(form.Password().isEmpty());
}

TEST(ServerConfigFormTest, SelectionFollowsTheBindAddressWithoutCase) {
    const QStringList addresses{"<Any Connection>", "10.0.0.5"};
    EXPECT_EQ(TForm19(addresses, "<any connection>", "", nullptr).BindAddress(),
              "<Any Connection>");
    EXPECT_EQ(TForm19(addresses, "10.0.0.5", "", nullptr).BindAddress(), "10.0.0.5");
    EXPECT_EQ(TForm19(addresses, "10.9.9.9", "", nullptr).BindAddress(), "<Any Connection>");

    TForm19 form(addresses, "", "pw", nullptr);
    EXPECT_TRUE(form.CheckBox1->isChecked());
    EXPECT_TRUE(form.Edit1->isEnabled());
    form.ComboBox1->setCurrentIndex(1);
    EXPECT_EQ(form.BindAddress(), "10.0.0.5");
    EXPECT_EQ(form.Password(), "pw");
}

} // namespace
} // namespace kelvra

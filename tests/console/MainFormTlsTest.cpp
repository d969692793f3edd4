// The console asked for a TLS port it cannot serve: an error box, and the
// program ends rather than run plain-only. With one, its web port is HTTPS.
#include "ConsoleTestSupport.h"
#include "MainForm.h"
#include "SelfSignedCertificate.h"
#include "ServerLoginForm.h"
#include "WebFront.h"

#include <QComboBox>
#include <QLineEdit>

namespace kelvra {
namespace {

using test::ModalScript;
using test::SeenBox;

class MainFormTlsTest : public test::ConsoleTest {
protected:
    // Answers the Server Login dialog with a nickname and a free port.
    static bool LogIn(QWidget* w) {
        auto* login = qobject_cast<TForm18*>(w);
        if (!login)
            return false;
        QTest::keyClicks(login->Edit1, "Operator");
        login->Edit2->setEditText("0");
        QTest::keyClick(login->Edit2, Qt::Key_Return);
        return true;
    }
};

TEST_F(MainFormTlsTest, TheWebPortTakesTheTlsCertificate) {
    TCertificateFiles mine;
    ASSERT_TRUE(MakeSelfSignedCertificate(Dir.path(), "mine", "mine", mine));
    Store("Logfile", Dir.filePath("klog.dat"));
    Store("Mailfile", Dir.filePath("kmail.dat"));
    Store("TLS/Port", "0");
    Store("TLS/Certificate", mine.CertificatePath);
    Store("TLS/Key", mine.KeyPath);
    Store("Web/Port", "0");

    TMainForm form;
    {
        ModalScript script;
        script.Then(LogIn);
        ASSERT_TRUE(form.Startup());
    }
    const auto* web = form.Runtime().Connections().findChild<TWebFront*>();
    ASSERT_NE(web, nullptr);
    EXPECT_TRUE(web->Secure());
    EXPECT_NE(web->Port(), 0);
    EXPECT_TRUE(form.close());
}

TEST_F(MainFormTlsTest, AKeyOfAnotherCertificateEndsTheStartWithAnErrorBox) {
    TCertificateFiles mine, other;
    ASSERT_TRUE(MakeSelfSignedCertificate(Dir.path(), "mine", "mine", mine));
    ASSERT_TRUE(MakeSelfSignedCertificate(Dir.path(), "other", "other", other));
    Store("Logfile", Dir.filePath("klog.dat"));
    Store("Mailfile", Dir.filePath("kmail.dat"));
    Store("TLS/Port", "0");
    Store("TLS/Certificate", mine.CertificatePath);
    Store("TLS/Key", other.KeyPath);

    TMainForm form;
    SeenBox box;
    ModalScript script;
    script.Then(LogIn).ThenBox(&box);
    EXPECT_FALSE(form.Startup());
    EXPECT_EQ(box.Icon, QMessageBox::Critical);
    EXPECT_TRUE(box.Text.contains("does not belong to the certificate")) << box.Text.toStdString();
    EXPECT_FALSE(form.Runtime().Connections().IsListening());
}

} // namespace
} // namespace kelvra

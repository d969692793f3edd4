// Start-up and shutdown of the console with a real listener on the loopback
// interface: the login dialog answered as the operator would, a client that
// logs on, the closing confirmation, and what ends up in the settings.
#include "MainForm.h"
#include "ActiveButton.h"
#include "ConsoleTestSupport.h"
#include "DataIn.h"
#include "DataOut.h"
#include "LogModel.h"
#include "PacketCodes.h"
#include "ServerLoginForm.h"
#include "ViewErrors.h"
#include "WireCodec.h"

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStatusBar>
#include <QTcpServer>
#include <QTcpSocket>

namespace kelvra {
namespace {

using test::ModalScript;
using test::SeenBox;
using test::WaitUntil;

// The operator's answers in the Server Login dialog.
ModalScript::Step Login(const QString& nick, const QString& port, bool* shown = nullptr) {
    return [=](QWidget* w) {
        auto* form = qobject_cast<TForm18*>(w);
        if (!form)
            return false;
        if (shown)
            *shown = true;
        QTest::keyClicks(form->Edit1, nick);
        form->Edit2->setEditText(port);
        QTest::keyClick(form->Edit2, Qt::Key_Return);
        return true;
    };
}

ModalScript::Step CancelLogin() {
    return [](QWidget* w) {
        auto* form = qobject_cast<TForm18*>(w);
        if (!form)
            return false;
        QTest::mouseClick(form->ActiveButton2, Qt::LeftButton);
        return true;
    };
}

// A client on the loopback interface that collects every record it receives.
struct Client {
    explicit Client(uint16_t port) {
        QObject::connect(&Socket, &QTcpSocket::readyRead, [this] {
            const QByteArray bytes = Socket.readAll();
            Decoder.Feed(bytes.constData(), bytes.size());
            TDataPacket p;
            while (Decoder.Next(p))
                Received.push_back(p);
        });
        Socket.connectToHost(QHostAddress::LocalHost, port);
    }
    bool Has(int32_t code, const QByteArray& param1 = QByteArray()) const {
        for (const TDataPacket& p : Received)
            if (p.Code == code && (param1.isNull() || p.Param1 == param1))
                return true;
        return false;
    }
    QTcpSocket Socket;
    TStreamDecoder Decoder;
    std::vector<TDataPacket> Received;
};

QStringList LogRow(TLogWindow* w, int row) {
    w->Model()->FlushPending();
    QStringList texts;
    for (int c = 0; c < w->Model()->columnCount(); ++c)
        texts << w->Model()->index(row, c).data().toString();
    return texts;
}

class MainFormTest : public test::ConsoleTest {
protected:
    void SetUp() override {
        ConsoleTest::SetUp();
        // Keep the login log and mail file out of the program's folder.
        Store("Logfile", Dir.filePath("klog.dat"));
        Store("Mailfile", Dir.filePath("kmail.dat"));
    }
};

// Every visible child inside the viewport, none overlapping another.
QList<QRect> ExpectTiled(QMdiArea* area) {
    QList<QRect> tiles;
    for (QMdiSubWindow* child : area->subWindowList())
        tiles << child->geometry();
    for (int i = 0; i < tiles.size(); ++i) {
        EXPECT_TRUE(area->viewport()->rect().contains(tiles[i])) << i;
        for (int j = i + 1; j < tiles.size(); ++j)
            EXPECT_FALSE(tiles[i].intersects(tiles[j])) << i << " " << j;
    }
    return tiles;
}

TEST_F(MainFormTest, StartsListensAndShutsDownWithANoticeToClients) {
    TMainForm form;
    EXPECT_EQ(form.windowTitle(), "MDI Application");
    bool asked = false;
    {
        ModalScript script;
        script.Then(Login("Operator", "0", &asked));
        ASSERT_TRUE(form.Startup());
    }
    EXPECT_TRUE(asked);
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.windowTitle().startsWith("Kelvra Chat Server - Operator ["));
    EXPECT_TRUE(QFile::exists(Dir.filePath("klog.dat")));
    EXPECT_EQ(form.Runtime().Server().ServerNick, QByteArray("Operator"));

    // Seven children in their order; the error log's first activation tiles
    // them, so none hides another.
    QMdiArea* area = form.MdiArea();
    const QList<QMdiSubWindow*> children = area->subWindowList();
    QStringList titles;
    for (QMdiSubWindow* child : children)
        titles << child->windowTitle();
    EXPECT_EQ(titles, QStringList({"Outgoing Data Log", "Incoming Data Log", "Users", "Chats",
                                   "Bans", "Mail", "Winsock Errors"}));
    ASSERT_TRUE(WaitUntil([&] { return area->activeSubWindow() == form.ViewErrors(); }));
    ExpectTiled(area);

    const uint16_t port = form.Runtime().Connections().ListenPort();
    ASSERT_NE(port, 0);
    Client client(port);
    ASSERT_TRUE(
        WaitUntil([&] { return client.Socket.state() == QAbstractSocket::ConnectedState; }));
    client.Socket.write(EncodePacket(MakePacket(KMS_LOGIN, "alice", "3")));
    ASSERT_TRUE(WaitUntil([&] { return client.Has(KMC_OKAY); }));

    // The traffic shows in the logs.
    ASSERT_TRUE(WaitUntil([&] { return form.DataIn()->Model()->rowCount() >= 1; }));
    const QStringList in = LogRow(form.DataIn(), 0);
    EXPECT_NE(in[0], "0");
    EXPECT_EQ(in.mid(1), (QStringList{"KMS_LOGIN", "alice", "3", "False"}));
    ASSERT_TRUE(WaitUntil([&] { return form.DataOut()->Model()->rowCount() >= 1; }));
    EXPECT_EQ(LogRow(form.DataOut(), 0), (QStringList{"0", "KMC_OKAY", "", "", "False"}));

    // Cancel keeps the server running and sends nothing.
    SeenBox question;
    {
        ModalScript script;
        script.ThenBox(&question, QMessageBox::Cancel);
        EXPECT_FALSE(form.close());
    }
    EXPECT_EQ(question.Title, "Kelvra Chat Server");
    EXPECT_EQ(question.Text,
              "Clients are still logged on to the server. Are you sure you wish to quit?");
    EXPECT_EQ(question.Icon, QMessageBox::Question);
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(HasStored("MainForm/PlaceShowCmd"));
    QTest::qWait(50);
    EXPECT_FALSE(client.Has(KMC_STATUS));

    {
        ModalScript script;
        script.ThenBox(nullptr, QMessageBox::Ok);
        EXPECT_TRUE(form.close());
    }
    EXPECT_FALSE(form.isVisible());
    ASSERT_TRUE(
        WaitUntil([&] { return client.Socket.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_TRUE(client.Has(KMC_STATUS, "Server is shuting down..."));
    EXPECT_FALSE(form.Runtime().Connections().IsListening());

    EXPECT_EQ(Stored("Logfile"), Dir.filePath("klog.dat"));
    EXPECT_EQ(Stored("Mailfile"), Dir.filePath("kmail.dat"));
    EXPECT_EQ(Stored("Bans/Bans"), "0");
    const QStringList placement = StoredKeys("MainForm");
    for (const char* name :
         {"PlaceFlags", "PlaceShowCmd", "PlaceMinPosX", "PlaceMinPosY", "PlaceMaxPosX",
          "PlaceMaxPosY", "PlaceNormPosL", "PlaceNormPosT", "PlaceNormPosR", "PlaceNormPosB"})
        EXPECT_TRUE(placement.contains(name)) << name;
    EXPECT_EQ(Stored("MainForm/PlaceShowCmd"), "1");
    EXPECT_GT(Stored("MainForm/PlaceNormPosR").toInt(), Stored("MainForm/PlaceNormPosL").toInt());
    EXPECT_GT(Stored("MainForm/PlaceNormPosB").toInt(), Stored("MainForm/PlaceNormPosT").toInt());
}

TEST_F(MainFormTest, CancelledLoginEndsTheProgramWithoutSaving) {
    Store("Bans/Bans", "1");
    Store("Bans/1Nick", "troll");
    {
        TMainForm form;
        ModalScript script;
        script.Then(CancelLogin());
        EXPECT_FALSE(form.Startup());
        EXPECT_FALSE(form.isVisible());
        EXPECT_TRUE(form.close());
    }
    EXPECT_EQ(Stored("Bans/Bans"), "1");
    EXPECT_EQ(Stored("Bans/1Nick"), "troll");
    EXPECT_TRUE(StoredKeys("MainForm").isEmpty());
    EXPECT_FALSE(HasStored("Ports/Num"));
}

TEST_F(MainFormTest, RefusesWhatIsNotASettingsFileAndWarnsOfFilesItCannotWrite) {
    const QByteArray notes = "my notes, not settings\n";
    {
        QFile file(SettingsFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(notes);
    }
    {
        TMainForm form;
        SeenBox refused;
        ModalScript script;
        script.ThenBox(&refused);
        EXPECT_FALSE(form.Startup());
        EXPECT_TRUE(form.SettingsRefused());
        EXPECT_EQ(refused.Icon, QMessageBox::Critical);
        EXPECT_TRUE(refused.Text.startsWith(SettingsFile() + " is not a settings file"))
            << refused.Text.toStdString();
        EXPECT_TRUE(form.close());
    }
    QFile file(SettingsFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), notes);
    file.close();

    // A folder where the login log should be is said at start, not found out later.
    ASSERT_TRUE(QFile::remove(SettingsFile()));
    ASSERT_TRUE(QDir(Dir.path()).mkdir("klog.dat"));
    Store("Logfile", Dir.filePath("klog.dat"));
    Store("Mailfile", Dir.filePath("kmail.dat"));
    TMainForm form;
    SeenBox warning;
    {
        ModalScript script;
        script.ThenBox(&warning).Then(Login("Operator", "0"));
        ASSERT_TRUE(form.Startup());
    }
    EXPECT_EQ(warning.Icon, QMessageBox::Warning);
    EXPECT_TRUE(warning.Text.startsWith("cannot write the login log " + Dir.filePath("klog.dat")))
        << warning.Text.toStdString();
    EXPECT_TRUE(form.close());
}

TEST_F(MainFormTest, NoPortEndsTheProgram) {
    TMainForm form;
    SeenBox box;
    ModalScript script;
    script.Then(Login("Operator", "")).ThenBox(&box);
    EXPECT_FALSE(form.Startup());
    EXPECT_EQ(box.Title, "WINSOCK ERROR");
    EXPECT_EQ(box.Text, "No Port Specified");
    EXPECT_EQ(box.Icon, QMessageBox::NoIcon);
    EXPECT_TRUE(StoredKeys("MainForm").isEmpty());
}

TEST_F(MainFormTest, ABadPortOrAFailedBindAsksAgain) {
    QTcpServer blocker;
    ASSERT_TRUE(blocker.listen(QHostAddress::Any, 0));
    const QString taken = QString::number(blocker.serverPort());

    TMainForm form;
    SeenBox badPort;
    SeenBox bindFailed;
    {
        ModalScript script;
        script.Then(Login("Operator", "99999"))
            .ThenBox(&badPort)
            .Then(Login("Operator", taken))
            .ThenBox(&bindFailed)
            .Then(Login("Second", "0"));
        ASSERT_TRUE(form.Startup());
    }
    EXPECT_TRUE(badPort.Text.startsWith("Invalid port: 99999")) << badPort.Text.toStdString();
    EXPECT_EQ(bindFailed.Title, "Kelvra Chat Server");
    EXPECT_EQ(bindFailed.Text, "Cannot bind to socket - Another instance of the server may "
                               "already be running on this port.\n\nPort " +
                                   taken + " is in use.");
    EXPECT_EQ(bindFailed.Icon, QMessageBox::NoIcon);
    // The last answers count.
    EXPECT_EQ(form.Runtime().Server().ServerNick, QByteArray("Second"));
    EXPECT_TRUE(form.Runtime().Connections().IsListening());
    EXPECT_NE(QString::number(form.Runtime().Connections().ListenPort()), taken);
    EXPECT_TRUE(form.close());
}

TEST_F(MainFormTest, ASettingsFailureAtShutdownKeepsTheServerRunning) {
    TMainForm form;
    {
        ModalScript script;
        script.Then(Login("Operator", "0"));
        ASSERT_TRUE(form.Startup());
    }
    // A regular file where the settings folder should be: nothing can be written.
    ASSERT_TRUE(QDir(SettingsFolder()).removeRecursively());
    {
        QFile blocker(SettingsFolder());
        ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    }

    SeenBox box;
    {
        ModalScript script;
        script.ThenBox(&box);
        EXPECT_FALSE(form.close());
    }
    EXPECT_EQ(box.Title, "Kelvra Chat Server");
    EXPECT_EQ(box.Icon, QMessageBox::Critical);
    EXPECT_TRUE(box.Text.startsWith("Failed to")) << box.Text.toStdString();
    EXPECT_TRUE(form.isVisible());
    EXPECT_TRUE(form.Runtime().Connections().IsListening());

    // Once the store can be written again, closing goes through.
    ASSERT_TRUE(QFile::remove(SettingsFolder()));
    EXPECT_TRUE(form.close());
    EXPECT_EQ(Stored("Logfile"), Dir.filePath("klog.dat"));
    EXPECT_FALSE(form.Runtime().Connections().IsListening());
}

TEST_F(MainFormTest, StoredPlacementIsRestored) {
    Store("MainForm/PlaceShowCmd", "3");
    Store("MainForm/PlaceNormPosL", "40");
    Store("MainForm/PlaceNormPosT", "30");
    Store("MainForm/PlaceNormPosR", "740");
    Store("MainForm/PlaceNormPosB", "530");
    TMainForm form;
    {
        ModalScript script;
        script.Then(Login("Operator", "0"));
        ASSERT_TRUE(form.Startup());
    }
    EXPECT_TRUE(form.isMaximized());
    EXPECT_EQ(form.normalGeometry(), QRect(40, 30, 700, 500));

    form.showNormal();
    ASSERT_TRUE(WaitUntil([&] { return !form.isMaximized(); }));
    form.setGeometry(60, 50, 640, 480);
    ASSERT_TRUE(form.close());
    EXPECT_EQ(Stored("MainForm/PlaceShowCmd"), "1");
    EXPECT_EQ(Stored("MainForm/PlaceNormPosL"), "60");
    EXPECT_EQ(Stored("MainForm/PlaceNormPosT"), "50");
    EXPECT_EQ(Stored("MainForm/PlaceNormPosR"), "700");
    EXPECT_EQ(Stored("MainForm/PlaceNormPosB"), "530");
}

TEST_F(MainFormTest, ClearButtonHintShowsInTheStatusBar) {
    TMainForm form;
    {
        ModalScript script;
        script.Then(Login("Operator", "0"));
        ASSERT_TRUE(form.Startup());
    }
    QWidget* clear = form.DataIn()->findChild<QWidget*>("ActiveButton1");
    ASSERT_NE(clear, nullptr);
    QTest::mouseMove(clear);
    EXPECT_TRUE(WaitUntil([&] { return form.statusBar()->currentMessage() == "Clear"; }, 2000));
    EXPECT_TRUE(form.close());
}

TEST_F(MainFormTest, WindowMenuTilesBothWaysAndBringsBackAClosedLog) {
    TMainForm form;
    {
        ModalScript script;
        script.Then(Login("Operator", "0"));
        ASSERT_TRUE(form.Startup());
    }
    QMdiArea* area = form.MdiArea();
    form.TileHorizontally1Click();
    const QList<QRect> horizontal = ExpectTiled(area);
    form.Tile1Click();
    EXPECT_NE(ExpectTiled(area), horizontal);

    // A closed log is only minimised, and its entry in the Window menu restores it.
    ASSERT_FALSE(form.DataIn()->close());
    EXPECT_TRUE(form.DataIn()->isMinimized());
    QMenu* window = nullptr;
    for (QAction* a : form.menuBar()->actions())
        if (a->text() == "&Window")
            window = a->menu();
    ASSERT_NE(window, nullptr);
    emit window->aboutToShow();
    QStringList texts;
    QAction* inEntry = nullptr;
    for (QAction* a : window->actions()) {
        texts << a->text();
        if (a->text().endsWith("Incoming Data Log"))
            inEntry = a;
    }
    EXPECT_TRUE(texts.contains("Tile &Vertically"));
    EXPECT_TRUE(texts.contains("&Arrange Icons"));
    ASSERT_NE(inEntry, nullptr);
    inEntry->trigger();
    EXPECT_FALSE(form.DataIn()->isMinimized());
    EXPECT_EQ(area->activeSubWindow(), form.DataIn());
    EXPECT_TRUE(form.close());
}

} // namespace
} // namespace kelvra

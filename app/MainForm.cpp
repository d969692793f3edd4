#include "MainForm.h"

#include "ConsoleIcons.h"
#include "DataIn.h"
#include "DataOut.h"
#include "MessageBoxes.h"
#include "ServerLoginForm.h"
#include "SessionLogOff.h"
#include "TrayForm.h"
#include "ViewBans.h"
#include "ViewChats.h"
#include "ViewErrors.h"
#include "ViewMail.h"
#include "ViewUsers.h"
#include "WebSettings.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QMdiArea>
#include <QMessageBox>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <cstdio>

namespace kelvra {

namespace {

const QString kPlacementSection = QStringLiteral("MainForm");

// Show commands of the stored placement.
constexpr int kShowNormal = 1;
constexpr int kShowMinimized = 2;
constexpr int kShowMaximized = 3;
constexpr int kMinimize = 6;
constexpr int kShowMinNoActive = 7;

} // namespace

TMainForm::TMainForm(QWidget* parent) : QMainWindow(parent), ServerRuntime(View, RegLink1) {
    setWindowTitle(QStringLiteral("MDI Application"));
    setWindowIcon(ConsoleIcons::App());
    Mdi = new QMdiArea;
    Mdi->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    Mdi->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setCentralWidget(Mdi);
    // One panel; QMainWindow puts the hint of the control under the mouse in it.
    statusBar()->setMinimumHeight(20);
    statusBar()->setSizeGripEnabled(false);
    resize(960, 640);
}

TMainForm::~TMainForm() {
    // The windows go before the server core that their rows refer to.
    View.SetListViews(nullptr, nullptr, nullptr, nullptr);
    View.SetTrafficLogs(nullptr, nullptr);
    View.SetErrorLog(nullptr);
}

void TMainForm::AddChild(TMdiChild* child) {
    Mdi->addSubWindow(child);
    child->show();
}

bool TMainForm::AskServerLogin() {
    hide();
    TForm18 login(RegLink1);
    if (login.exec() != QDialog::Accepted)
        return false;
    ServerNick = login.Nickname();
    ServerPort = login.Port();
    ServerPassword = login.Password();
    BindAddress = login.BindAddress();
    return true;
}

QString TMainForm::BindFailureText(TConnectionManager::ListenResult result) {
    using Result = TConnectionManager::ListenResult;
    switch (result) {
    case Result::PortInUse:
        return QStringLiteral("Cannot bind to socket - Another instance of the server may already "
                              "be running on this port.\n\nPort %1 is in use.")
            .arg(ServerPort);
    case Result::AddressNotLocal:
        return QStringLiteral("%1 is not an IPv4 address of this machine.\nChoose another "
                              "address under Config.")
            .arg(BindAddress);
    default:
        return QStringLiteral("Cannot bind to socket - Another instance of the server may already "
                              "be running on this port.\n\n(%1)")
            .arg(ServerRuntime.Connections().BindErrorText());
    }
}

bool TMainForm::Startup() {
    // A file that is not a settings file is never written: the program ends
    // and leaves it as it is. What cannot be written is said now, not at the close.
    QString problem;
    switch (RegLink1.Open(&problem)) {
    case TRegLink::TOpenResult::Refused:
        ErrorBox(nullptr, problem + QStringLiteral(".\n\nThe server does not start. Move the "
                                                   "file away or correct it."));
        Refused = true;
        return false;
    case TRegLink::TOpenResult::NotWritable:
        WarningBox(nullptr, problem + QStringLiteral(".\n\nThe settings and bans will not be "
                                                     "saved at the close."));
        break;
    case TRegLink::TOpenResult::Ok:
        break;
    }
    ServerRuntime.ReadPaths();
    if (const QStringList problems = ServerRuntime.CheckDataFiles(); !problems.isEmpty())
        WarningBox(nullptr, problems.join(QLatin1Char('\n')) +
                                QStringLiteral(".\n\nChoose other files under Options once "
                                               "the server runs, or nothing will be kept there."));
    // Exists before the listener, so that its failures are recorded; it joins
    // the frame after the other windows.
    Errors = new TviewErrors(this);
    Errors->hide();
    View.SetErrorLog(Errors);

    for (;;) {
        if (!AskServerLogin())
            return false;
        using Result = TConnectionManager::ListenResult;
        const Result result =
            ServerRuntime.Start(ServerNick, ServerPort, ServerPassword, BindAddress);
        if (result == Result::Ok)
            break;
        switch (result) {
        case Result::NoPort:
            NoPortBox(nullptr);
            return false;
        case Result::BindFailed:
        case Result::PortInUse:
        case Result::AddressNotLocal:
            // Ask again rather than run a server that listens nowhere.
            PlainMessage(nullptr, BindFailureText(result));
            continue;
        case Result::BadPort:
            PlainMessage(nullptr, QStringLiteral("Invalid port: %1\nEnter a service name or a "
                                                 "number from 0 to 65535.")
                                      .arg(ServerPort));
            continue;
        default:
            // The failed call is in the Winsock Errors log.
            return false;
        }
    }

    QString tlsError;
    const TTlsSettings tlsSettings = ReadTlsSettings(RegLink1);
    if (!Tls.Start(ServerRuntime.Connections(), tlsSettings, BindAddress, &tlsError)) {
        // Asked for TLS: never run without it.
        ErrorBox(nullptr, QStringLiteral("The TLS port cannot be opened: %1.").arg(tlsError));
        ServerRuntime.Stop();
        return false;
    }
    // The chat runs without its web page rather than not at all.
    QString webError;
    TWebSettings web = ReadWebSettings(RegLink1);
    if (Tls.IsActive()) {
        web.Certificate = tlsSettings.Certificate;
        web.Key = tlsSettings.Key;
    }
    OpenWebPort(ServerRuntime.Connections(), web, BindAddress, webError);
    if (!webError.isEmpty())
        PlainMessage(nullptr, QStringLiteral("The chat page is not served: %1.").arg(webError));

    const QString caption = ServerRuntime.Caption(AppTitle());
    if (!caption.isEmpty())
        setWindowTitle(caption);

    CreateChildren();
    CreateMenus();
    Tray = new TForm5(this);
    connect(Tray, &TForm5::RestoreRequested, this, &TMainForm::AppEvents1Restore);
    connect(Tray, &TForm5::ExitRequested, this, &TMainForm::Exit1Click);
    connect(qApp, &QGuiApplication::commitDataRequest, this, &TMainForm::CommitDataRequest);

    // The Bans and Mail views show the stores as they are loaded.
    ServerRuntime.LoadStores();
    Running = true;
    RestorePlacementAndShow();
    // The error log is the last child created, and so the active one.
    QTimer::singleShot(0, this, [this] { Mdi->setActiveSubWindow(Errors); });
    return true;
}

void TMainForm::CreateChildren() {
    TServer& server = ServerRuntime.Server();
    Out = new TdataOut;
    In = new TdataIn;
    Users = new TviewUsers(server, PicClip1);
    Chats = new TviewChats(server);
    Bans = new TviewBans(server);
    Mail = new TviewMail(server);
    for (TMdiChild* child : std::initializer_list<TMdiChild*>{Out, In, Users, Chats, Bans, Mail})
        AddChild(child);
    AddChild(Errors);
    View.SetTrafficLogs(In, Out);
    View.SetListViews(Users, Chats, Bans, Mail);
    connect(Errors, &TviewErrors::FirstActivated, this, &TMainForm::Tile1Click);
}

void TMainForm::RestorePlacementAndShow() {
    auto read = [this](const char* name, int def) {
        return RegLink1.ReadInteger(kPlacementSection, QString::fromLatin1(name), def);
    };
    const int showCmd = read("PlaceShowCmd", kShowNormal);
    const int left = read("PlaceNormPosL", 0);
    const int top = read("PlaceNormPosT", 0);
    const int right = read("PlaceNormPosR", 0);
    const int bottom = read("PlaceNormPosB", 0);
    if (right <= left) {
        show();
        return;
    }
    QRect normal(left, top, right - left, std::max(1, bottom - top));
    // A place on a screen that is no longer there would leave the console unseen.
    if (!QGuiApplication::screenAt(normal.center()) && QGuiApplication::primaryScreen())
        normal.moveTopLeft(QGuiApplication::primaryScreen()->availableGeometry().topLeft());
    setGeometry(normal);
    switch (showCmd) {
    case kShowMaximized:
        showMaximized();
        break;
    case kShowMinimized:
    case kMinimize:
    case kShowMinNoActive:
        showMinimized();
        break;
    default:
        showNormal();
        break;
    }
}

bool TMainForm::SavePlacement(QString* error) {
    const int showCmd =
        isMinimized() ? kShowMinimized : (isMaximized() ? kShowMaximized : kShowNormal);
    QRect normal = normalGeometry();
    if (!normal.isValid())
        normal = geometry();
    // Minimised and maximised positions are left to the window system (-1).
    const std::pair<const char*, int> values[] = {
        {"PlaceFlags", 0},
        {"PlaceShowCmd", showCmd},
        {"PlaceMinPosX", -1},
        {"PlaceMinPosY", -1},
        {"PlaceMaxPosX", -1},
        {"PlaceMaxPosY", -1},
        {"PlaceNormPosL", normal.left()},
        {"PlaceNormPosT", normal.top()},
        {"PlaceNormPosR", normal.left() + normal.width()},
        {"PlaceNormPosB", normal.top() + normal.height()},
    };
    for (const auto& [name, value] : values)
        if (!RegLink1.WriteInteger(kPlacementSection, QString::fromLatin1(name), value)) {
            *error = RegLink1.LastError();
            return false;
        }
    if (!RegLink1.Flush()) {
        *error = RegLink1.LastError();
        return false;
    }
    return true;
}

bool TMainForm::ShutDown(QString* error) {
    QString placementError;
    const bool saved = ServerRuntime.SaveState(error);
    if (saved && !SavePlacement(&placementError))
        ErrorBox(this, placementError); // reported, but does not keep the server running
    if (!saved)
        return false;
    ServerRuntime.Stop();
    Running = false;
    return true;
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (!Running) {
        event->accept();
        return;
    }
    TServer& server = ServerRuntime.Server();
    if (server.Registry().UserCount() > 0) {
        const auto answer = QMessageBox::question(
            this, AppTitle(),
            QStringLiteral(
                "Clients are still logged on to the server. Are you sure you wish to quit?"),
            QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok);
        if (answer != QMessageBox::Ok || !Running) {
            event->ignore();
            return;
        }
        // To whoever is connected now: clients may have come and gone meanwhile.
        server.SendShutdownNotice();
    }
    QString error;
    if (!ShutDown(&error)) {
        ErrorBox(this, error);
        event->ignore();
        return;
    }
    if (Tray)
        Tray->SetActive(false);
    event->accept();
}

int TMainForm::CloseForSignal() {
    if (!Running)
        return 0;
    // Nobody may be at the screen: no question and no boxes, only stderr.
    ServerRuntime.Server().SendShutdownNotice();
    QString error;
    const bool saved = ServerRuntime.SaveState(&error) && SavePlacement(&error);
    if (!saved)
        std::fprintf(stderr, "kelvra-server: %s\n", qPrintable(error));
    ServerRuntime.Stop();
    Running = false;
    if (Tray)
        Tray->SetActive(false);
    return saved ? 0 : 1;
}

void TMainForm::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !Running)
        return;
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    if (isMinimized() && !(change->oldState() & Qt::WindowMinimized)) {
        WasMaximized = change->oldState() & Qt::WindowMaximized;
        // After the state change has been handled by the window system.
        QTimer::singleShot(0, this, &TMainForm::AppEvents1Minimize);
    }
}

void TMainForm::AppEvents1Minimize() {
    if (!Tray || !isMinimized() || !TForm5::Available())
        return;
    hide(); // no console window and no task-bar entry remain
    Tray->SetActive(true);
}

void TMainForm::AppEvents1Restore() {
    if (isHidden() || isMinimized()) {
        if (WasMaximized)
            showMaximized();
        else
            showNormal();
    }
    if (Tray)
        Tray->SetActive(false);
    raise();
    activateWindow();
}

void TMainForm::CommitDataRequest(QSessionManager& manager) {
    if (Running)
        RefuseSessionEnd(manager, this);
}

} // namespace kelvra
